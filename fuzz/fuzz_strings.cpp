// String utilities: no crash on any input, and the results keep their
// documented shape.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StringOperation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const DWORD a = DWORD(data[0]) | DWORD(data[1]) << 8;
    const DWORD b = DWORD(data[2]);
    const std::string strAll(reinterpret_cast<const char *>(data + 3), size - 3);
    const size_t cut = strAll.find('\x01');
    const std::string strText = strAll.substr(0, cut);
    const std::string strSep = cut == std::string::npos ? "=" : strAll.substr(cut + 1, 3);

    const std::string strSub = GetSubString(strText, a, b);
    if (!strSub.empty() && (strSub.size() != (b == 0 ? strText.size() : b) || strText.find(strSub) == std::string::npos))
        abort();
    const std::string strLeft = GetLeftString(strText, strSep);
    const std::string strRight = GetRightString(strText, strSep);
    if (!strLeft.empty() && strText.compare(0, strLeft.size(), strLeft) != 0) abort();
    if (!strRight.empty() && strText.compare(strText.size() - strRight.size(), strRight.size(), strRight) != 0)
        abort();
    const std::string strEnclosed = GetEnclosedString(strText, "[", "]");
    if (strEnclosed.find(']') != std::string::npos) abort();
    const std::string strRepl = GetReplaceString(strText, a, strSep);
    if (!strRepl.empty() && strRepl.size() != strText.size() + strSep.size() - (a < strText.size() ? 1 : 0)) abort();

    const int nHex = StringToInt(strText, 16);
    const int nDec = StringToInt(strText, 10);
    if (StringToInt(IntToString(nHex, 16, 0), 16) != nHex) abort();
    if (StringToInt(IntToString(nDec, 10, 1), 10) != nDec) abort();
    const std::string strPad = IntToString(int(a) - 32768, int(b & 1) ? 16 : 10, 1);
    if (strPad.size() < 2) abort();

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
