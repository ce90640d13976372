#include "ZavDateTime.h"

std::string ConvertTimeString(std::string strText) {
    if (strText.empty()) return "";
    // The first 19 characters with index 10 made a blank, in one copy: this
    // runs twice per entry of every poll.
    if (strText.size() < 19) return "";
    strText.resize(19);
    strText[10] = ' ';
    return strText;
}
