// Byte-string helpers shared by every module. Results are new strings;
// out-of-range positions and missing separators give the empty string.
#pragma once

#include <string>

#include "NTwin32.h"

// Converts a NUL-terminated wide text to EUC-JP; puts the process into the
// "ja_JP.eucjp" locale. Monitoring thread only.
std::string WideCharToChar(const wchar_t *pwszText);
// The same into strOut, reusing its buffer.
void WideCharToChar(const wchar_t *pwszText, std::string &strOut);
int StringToInt(std::string strText, int nRadix);
std::string GetLeftString(std::string strText, std::string strSeparator);
std::string GetRightString(std::string strText, std::string strSeparator);
std::string GetReplaceString(std::string strText, DWORD dwPosition, std::string strReplace);
std::string GetSubString(std::string strText, DWORD dwStart, DWORD dwLength);
std::string GetEnclosedString(std::string strText, std::string strOpen, std::string strClose);
std::string IntToString(int nValue, int nRadix, int nPad);
