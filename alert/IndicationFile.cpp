// The JSON-lines indication file <install>/log/indication.log, written beside
// the journal while the registry value IndicationFile is 1 (tests read it).
#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "StdAlert.h"

namespace {

const char kSwitchValue[] = "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV_INTERNAL/V_INDICATIONFILE";
const int kSlots = 5;

std::string InstallDir() {
    const char *dir = getenv("ZavDir");
    return dir && *dir ? dir : "/opt/kym/tolvex_sa";
}

// The registry's dword form: "dword:" then decimal or 0x hexadecimal up to
// 0xFFFFFFFF, optionally one line feed. Anything else counts as missing.
bool ParseDword(std::string strText, uint32_t &dwValue) {
    if (strText.compare(0, 6, "dword:") != 0) return false;
    strText.erase(0, 6);
    if (!strText.empty() && strText.back() == '\n') strText.pop_back();
    size_t i = 0;
    int nBase = 10;
    if (strText.size() > 2 && strText[0] == '0' && (strText[1] == 'x' || strText[1] == 'X')) {
        nBase = 16;
        i = 2;
    }
    if (i == strText.size()) return false;
    uint64_t v = 0;
    for (; i < strText.size(); ++i) {
        const char c = strText[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (nBase == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (nBase == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * uint64_t(nBase) + uint64_t(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    dwValue = uint32_t(v);
    return true;
}

// Straight from the value file: the registry's retries for a missing value
// would cost the first alert almost a second.
bool ReadSwitch() {
    UniqueFd fd(open((InstallDir() + kSwitchValue).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return false;
    char buf[64];
    const ssize_t n = read(fd.Get(), buf, sizeof buf);
    uint32_t dwValue = 0;
    return n > 0 && size_t(n) < sizeof buf && ParseDword(std::string(buf, size_t(n)), dwValue) && dwValue == 1;
}

std::string JsonString(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string Hex(const std::string &s) {
    static const char *digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace

bool IndicationFileEnabled() {
    static const bool bOn = ReadSwitch();
    return bOn;
}

int AppendIndicationFile(const INDICATIONINFO &info, const std::vector<std::string> &strings) {
    static const std::string strPath = InstallDir() + "/log/indication.log";
    char head[160];
    snprintf(head, sizeof head, "{\"reserved\":[%u,%u],\"event_id\":\"0x%08X\",\"type\":%u,\"count\":%u,",
             info.dwReserved1, info.dwReserved2, info.dwEventID, info.dwEventType, info.dwStringCount);
    std::string strLine = head;
    strLine += "\"source\":" + JsonString(info.pszSource ? info.pszSource : "") + ",\"strings\":[";
    std::string strHex;
    for (int i = 0; i < kSlots; ++i) {
        const std::string s = size_t(i) < strings.size() ? strings[size_t(i)] : "";
        if (i) strLine += ",";
        strLine += IsUtf8(s) ? JsonString(s) : "null";
        if (i) strHex += ",";
        strHex += "\"" + Hex(s) + "\"";
    }
    strLine += "],\"hex\":[" + strHex + "]}\n";
    UniqueFd fd(open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.Valid()) return errno;
    const ssize_t n = write(fd.Get(), strLine.data(), strLine.size());
    if (n < 0) return errno;
    return size_t(n) == strLine.size() ? 0 : ENOSPC;
}
