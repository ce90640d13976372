// Byte strings written for scripts: a JSON string literal and lower-case hex.
// Header-only, so the report library can use it without the core.
#pragma once

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
