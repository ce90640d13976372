// Stand-in report library: SendIndication appends one JSON line per call to
// <install>/log/indication.log and sends one syslog line.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ZavTypes.h"

namespace {

bool ValidUtf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        int n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (n < 0 || i + size_t(n) >= s.size() + (n == 0 ? 1 : 0)) return false;
        for (int k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + size_t(k)]) & 0xC0) != 0x80) return false;
        i += size_t(n) + 1;
    }
    return true;
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

extern "C" int SendIndication(INDICATIONINFO info) {
    const char *dir = getenv("ZavDir");
    const std::string strPath = std::string(dir && *dir ? dir : "/opt/kym/tolvex_sa") + "/log/indication.log";
    const std::string strSource = info.pszSource ? info.pszSource : "";
    char head[160];
    snprintf(head, sizeof head, "{\"reserved\":[%u,%u],\"event_id\":\"0x%08X\",\"type\":%u,\"count\":%u,",
             info.dwReserved1, info.dwReserved2, info.dwEventID, info.dwEventType, info.dwStringCount);
    std::string line = head;
    line += "\"source\":" + JsonString(strSource) + ",\"strings\":[";
    std::string hex;
    for (int i = 0; i < 5; ++i) {
        const std::string s = info.ppszStrings && info.ppszStrings[i] ? info.ppszStrings[i] : "";
        if (i) line += ",";
        if (ValidUtf8(s)) {
            line += JsonString(s);
        } else {
            line += "null";
        }
        if (i) hex += ",";
        hex += "\"" + Hex(s) + "\"";
    }
    line += "],\"hex\":[" + hex + "]}\n";
    int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t n = write(fd, line.data(), line.size());
        (void)n;
        (void)close(fd);
    }
    syslog(LOG_INFO, "ZAVsmsrv indication: source %s event 0x%08X type %u", strSource.c_str(), info.dwEventID,
           info.dwEventType);
    return 0;
}
