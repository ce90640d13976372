// The report library: SendIndication turns one indication record into one
// structured journal entry (a syslog line where there is no journal) and,
// when switched on, one line of the JSON-lines indication file.
#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "StdAlert.h"
#include "TextFormat.h"

namespace {

// MESSAGE_ID of the three kinds of alert; fixed, so a query keeps working.
const char kEntryAlertId[] = "d6d6ffb96ab843099e30187c9e10a91a";
const char kPastReportId[] = "63805a8f82eb47fa91ef0aa5315a7dad";
const char kServiceFailureId[] = "a89a256159b146aaa764410daf37aa31";

// Far above any caller's count: a corrupt count cannot send us reading on.
const DWORD kMaxStrings = 64;

std::mutex s_mtxSend;

const char *MessageIdOf(DWORD dwEventID) {
    if (dwEventID == ZAV_EVENT_SERVICE_ERROR) return kServiceFailureId;
    return ZavIsPastId(dwEventID) ? kPastReportId : kEntryAlertId;
}

int PriorityOf(DWORD dwEventType) {
    switch (dwEventType) {
        case 1:
            return LOG_ERR;
        case 2:
            return LOG_WARNING;
        default:
            return LOG_INFO;
    }
}

std::vector<std::string> ReadStrings(const INDICATIONINFO &info) {
    std::vector<std::string> strings;
    if (!info.ppszStrings) return strings;
    const DWORD dwCount = std::min(info.dwStringCount, kMaxStrings);
    for (DWORD i = 0; i < dwCount; ++i) strings.push_back(info.ppszStrings[i] ? info.ppszStrings[i] : "");
    return strings;
}

// journalctl shows only UTF-8 as text; the service's Japanese texts are EUC-JP.
std::string ToUtf8(const std::string &s) {
    if (IsUtf8(s)) return s;
    std::string out;
    if (EucJpToUtf8(s, out)) return out;
    for (unsigned char c : s) {
        char buf[8];
        snprintf(buf, sizeof buf, c < 0x80 ? "%c" : "\\x%02x", c);
        out += buf;
    }
    return out;
}

// "<first line of the first non-empty string> (0xXXXXXXXX)", or "Event 0xXXXXXXXX".
std::string ComposeMessage(const std::vector<std::string> &strings, const std::string &strEventId) {
    std::string strLine;
    for (const std::string &s : strings) {
        if (s.empty()) continue;
        strLine = s.substr(0, s.find('\n'));
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        break;
    }
    return strLine.empty() ? "Event " + strEventId : ToUtf8(strLine) + " (" + strEventId + ")";
}

}  // namespace

bool IsUtf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
        if (n == 4 || i + n >= s.size() + (n == 0 ? 1 : 0)) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

extern "C" __attribute__((visibility("default"))) int SendIndication(INDICATIONINFO info) {
    try {
        // One alert at a time: the journal probe and the send belong together.
        std::lock_guard<std::mutex> lock(s_mtxSend);
        const std::vector<std::string> strings = ReadStrings(info);
        char szEventId[16];
        snprintf(szEventId, sizeof szEventId, "0x%08X", info.dwEventID);
        const std::string strMessage = ComposeMessage(strings, szEventId);
        const int nPriority = PriorityOf(info.dwEventType);

        std::vector<std::string> fields = {
            "MESSAGE=" + strMessage,
            "PRIORITY=" + std::to_string(nPriority),
            "SYSLOG_IDENTIFIER=ZAVsmsrv",
            std::string("MESSAGE_ID=") + MessageIdOf(info.dwEventID),
            std::string("ZAV_EVENT_ID=") + szEventId,
            std::string("ZAV_SOURCE=") + (info.pszSource ? info.pszSource : ""),
            "ZAV_STRING_COUNT=" + std::to_string(info.dwStringCount),
        };
        // Bytes as given: a value holding a line feed travels in the protocol's binary form.
        for (size_t i = 0; i < strings.size(); ++i)
            if (!strings[i].empty()) fields.push_back("ZAV_STRING_" + std::to_string(i + 1) + "=" + strings[i]);
        DeliverToJournal(fields, nPriority, strMessage);

        if (IndicationFileEnabled()) {
            const int err = AppendIndicationFile(info, strings);
            if (err) {
                char buf[128];
                SendSyslogLine(LOG_ERR, std::string("indication file not written (") +
                                            strerror_r(err, buf, sizeof buf) + "): " + strMessage);
            }
        }
    } catch (...) {
        // An alert must never take the service down, and nothing is left to report to.
    }
    return 0;
}
