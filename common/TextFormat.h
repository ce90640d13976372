// Byte strings written for scripts and terminals: a JSON string literal,
// lower-case hex, EUC-JP as UTF-8. Header-only, so the report library can use
// it without the core.
#pragma once

#include <iconv.h>

#include <cstdio>
#include <string>

// The bytes as a JSON string: quotes, backslashes and control bytes escaped,
// everything else as given (the caller makes sure it is UTF-8).
inline std::string JsonQuote(const std::string &s) {
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

inline std::string HexBytes(const std::string &s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

// The service's texts are EUC-JP bytes; journals, terminals and JSON want
// UTF-8. False when the bytes are not EUC-JP (strUtf8 is then empty).
inline bool EucJpToUtf8(const std::string &strEuc, std::string &strUtf8) {
    strUtf8.clear();
    if (strEuc.empty()) return true;
    iconv_t cd = iconv_open("UTF-8", "EUC-JP");
    if (cd == iconv_t(-1)) return false;
    std::string in = strEuc, out(strEuc.size() * 4 + 4, '\0');
    char *pIn = &in[0], *pOut = &out[0];
    size_t nIn = in.size(), nOut = out.size();
    const size_t rc = iconv(cd, &pIn, &nIn, &pOut, &nOut);
    (void)iconv_close(cd);
    if (rc == size_t(-1) || nIn != 0) return false;
    out.resize(out.size() - nOut);
    strUtf8.swap(out);
    return true;
}
