// Time-text normaliser: the result is empty for fewer than 19 characters, else the first 19 with
// index 10 made a blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZavDateTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string strIn(reinterpret_cast<const char *>(data), size), strOut = ConvertTimeString(strIn);
    if (strOut.size() != (size < 19 ? 0 : 19) || (size >= 19 && strOut[10] != ' ')) abort();
    for (size_t i = 0; i < strOut.size(); ++i)
        if (i != 10 && strOut[i] != strIn[i]) abort();
    return 0;
}
