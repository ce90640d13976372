// Time-text normaliser: the result is empty or the first 19 characters of
// the input with index 10 made a blank.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZavDateTime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string strIn(reinterpret_cast<const char *>(data), size);
    const std::string strOut = ConvertTimeString(strIn);
    if (strIn.size() < 19) {
        if (!strOut.empty()) abort();
        return 0;
    }
    if (strOut.size() != 19 || strOut[10] != ' ') abort();
    for (size_t i = 0; i < 19; ++i)
        if (i != 10 && strOut[i] != strIn[i]) abort();
    return 0;
}
