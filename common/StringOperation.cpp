#include "StringOperation.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "TraceLog.h"

namespace {
const char *kModule = "StringOperation";
const char *kLocale = "ja_JP.eucjp";
}

std::string WideCharToChar(const wchar_t *pwszText) {
    std::string strResult;
    WideCharToChar(pwszText, strResult);
    return strResult;
}

void WideCharToChar(const wchar_t *pwszText, std::string &strOut) {
    strOut.clear();
    if (!pwszText) return;
    // Setting a locale costs far more than asking for it; the result is the same.
    const char *pszCurrent = setlocale(LC_ALL, nullptr);
    if (!pszCurrent || strcmp(pszCurrent, kLocale) != 0) {
        if (!setlocale(LC_ALL, kLocale)) ZTRACE(1, kModule, "setlocale eucjp failed!");
    }
    const size_t n = wcslen(pwszText);
    if (n == 0) return;
    // One conversion buffer per thread, so the result is allocated at its
    // exact size; a buffer grown by a huge text is not kept.
    thread_local std::string t_strBuffer;
    try {
        t_strBuffer.resize(4 * n);
    } catch (...) {
        return;
    }
    const size_t len = wcstombs(&t_strBuffer[0], pwszText, 4 * n);
    if (len != 0 && len != static_cast<size_t>(-1)) strOut.assign(t_strBuffer, 0, len);
    if (t_strBuffer.capacity() > 65536) std::string().swap(t_strBuffer);
}

int StringToInt(std::string strText, int nRadix) {
    if (strText.empty()) return 0;
    if (nRadix == 16) {
        unsigned int v = 0;
        if (sscanf(strText.c_str(), "%x", &v) != 1) return 0;
        return static_cast<int>(v);
    }
    int v = 0;
    if (sscanf(strText.c_str(), "%d", &v) != 1) return 0;
    return v;
}

std::string GetLeftString(std::string strText, std::string strSeparator) {
    if (strSeparator.empty()) return "";
    const size_t pos = strText.find(strSeparator);
    if (pos == std::string::npos) return "";
    return strText.substr(0, pos);
}

std::string GetRightString(std::string strText, std::string strSeparator) {
    if (strSeparator.empty()) return "";
    const size_t pos = strText.find(strSeparator);
    if (pos == std::string::npos) return "";
    return strText.substr(pos + strSeparator.size());
}

std::string GetReplaceString(std::string strText, DWORD dwPosition, std::string strReplace) {
    if (strText.empty() || dwPosition > strText.size()) return "";
    if (dwPosition == strText.size()) return strText + strReplace;
    return strText.replace(dwPosition, 1, strReplace);
}

std::string GetSubString(std::string strText, DWORD dwStart, DWORD dwLength) {
    if (strText.empty()) return "";
    const uint64_t len = dwLength == 0 ? strText.size() : dwLength;
    if (uint64_t(dwStart) + len > strText.size()) return "";
    return strText.substr(dwStart, size_t(len));
}

std::string GetEnclosedString(std::string strText, std::string strOpen, std::string strClose) {
    if (strOpen.empty() || strClose.empty()) return "";
    const std::string strRest = GetRightString(strText, strOpen);
    if (strRest.empty()) return "";
    return GetLeftString(strRest, strClose);
}

std::string IntToString(int nValue, int nRadix, int nPad) {
    char buf[32];
    std::string s;
    if (nRadix == 16) {
        snprintf(buf, sizeof buf, "%X", static_cast<unsigned int>(nValue));
        for (const char *p = buf; *p; ++p)
            if (*p != ',') s += *p;
    } else {
        snprintf(buf, sizeof buf, "%d", nValue);
        s = buf;
    }
    if (nPad == 1 && s.size() == 1) s = "0" + s;
    return s;
}
