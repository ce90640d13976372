// String utilities: no crash on any input, and the results keep their documented shape.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StringOperation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const DWORD a = DWORD(data[0]) | DWORD(data[1]) << 8, b = data[2];
    const std::string strAll(reinterpret_cast<const char *>(data + 3), size - 3);
    const size_t cut = strAll.find('\x01');
    const std::string strText = strAll.substr(0, cut);
    const std::string strSep = cut == std::string::npos ? "=" : strAll.substr(cut + 1, 3);
    const std::string strSub = GetSubString(strText, a, b), strLeft = GetLeftString(strText, strSep);
    const std::string strRight = GetRightString(strText, strSep), strRepl = GetReplaceString(strText, a, strSep);
    const size_t nRight = strRight.size();
    if (!strSub.empty() && (strSub.size() != (b == 0 ? strText.size() : b) || strText.find(strSub) == strText.npos))
        abort();
    if (strText.compare(0, strLeft.size(), strLeft) != 0) abort();  // a prefix
    if (nRight > strText.size() || strText.compare(strText.size() - nRight, nRight, strRight)) abort();  // a suffix
    if (GetEnclosedString(strText, "[", "]").find(']') != std::string::npos) abort();
    if (!strRepl.empty() && strRepl.size() != strText.size() + strSep.size() - (a < strText.size() ? 1 : 0)) abort();
    const int nHex = StringToInt(strText, 16), nDec = StringToInt(strText, 10);
    if (StringToInt(IntToString(nHex, 16, 0), 16) != nHex || StringToInt(IntToString(nDec, 10, 1), 10) != nDec)
        abort();
    if (IntToString(int(a) - 32768, (b & 1) ? 16 : 10, 1).size() < 2) abort();  // padded to two digits
    std::vector<wchar_t> wide;
    for (size_t i = 0; i + 4 <= strAll.size(); i += 4) {
        uint32_t c;
        memcpy(&c, strAll.data() + i, 4);
        wide.push_back(wchar_t(c & 0x1FFFFF));
    }
    wide.push_back(L'\0');
    (void)WideCharToChar(wide.data());
    return 0;
}
