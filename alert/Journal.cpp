// Delivery of one alert to the system journal (native protocol through
// libsystemd), with syslog for a machine without a journal.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <syslog.h>
// The code location of this library says nothing to whoever reads the alert.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "StdAlert.h"

namespace {

const char kJournalSocket[] = "/run/systemd/journal/socket";
const char kSyslogSocket[] = "/dev/log";
// The longest an alert may hold up the service when the journal does not read.
const int kJournalWaitMs = 100;

enum class JournalState { Absent, Busy, Ready };

sockaddr_un UnixAddress(const char *pszPath) {
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, pszPath, strlen(pszPath) + 1);
    return sa;
}

int64_t MonotonicMs() {
    timespec ts{};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// sd_journal_sendv blocks while the journal's queue is full and reports a
// missing socket as success, so a probe of our own comes first: a connected
// datagram socket polls writable only while the peer's queue has room.
JournalState ProbeJournal() {
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!bool(fd)) return JournalState::Busy;
    const sockaddr_un sa = UnixAddress(kJournalSocket);
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) return JournalState::Absent;
    const int64_t qwDeadline = MonotonicMs() + kJournalWaitMs;
    for (;;) {
        pollfd pfd{fd.get(), POLLOUT, 0};
        const int64_t qwLeft = qwDeadline - MonotonicMs();
        const int n = poll(&pfd, 1, qwLeft > 0 ? int(qwLeft) : 0);
        if (n > 0)
            return (pfd.revents & POLLOUT) && !(pfd.revents & POLLERR) ? JournalState::Ready : JournalState::Busy;
        if (n == 0 || errno != EINTR) return JournalState::Busy;
    }
}

}  // namespace

void SendSyslogLine(int nPriority, const std::string &strText) {
    // Month names fixed: the service may run under a Japanese locale.
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    tm lt{};
    if (!localtime_r(&now, &lt)) return;
    char head[80];
    snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ZAVsmsrv[%d]: ", LOG_USER | (nPriority & LOG_PRIMASK),
             kMonths[lt.tm_mon % 12], lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec, int(getpid()));
    const std::string strLine = head + strText;
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!bool(fd)) return;
    const sockaddr_un sa = UnixAddress(kSyslogSocket);
    // A full or missing syslog socket drops the line: there is nowhere left to report to.
    (void)sendto(fd.get(), strLine.data(), strLine.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
}

void DeliverToJournal(const std::vector<std::string> &fields, int nPriority, const std::string &strMessage) {
    switch (ProbeJournal()) {
        case JournalState::Absent:
            SendSyslogLine(nPriority, strMessage);
            return;
        case JournalState::Busy:
            SendSyslogLine(nPriority, "not in the journal (socket full): " + strMessage);
            return;
        case JournalState::Ready:
            break;
    }
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (const std::string &f : fields) iov.push_back(iovec{const_cast<char *>(f.data()), f.size()});
    const int r = sd_journal_sendv(iov.data(), int(iov.size()));
    if (r < 0) {
        char buf[128];
        SendSyslogLine(nPriority,
                       std::string("not in the journal (") + strerror_r(-r, buf, sizeof buf) + "): " + strMessage);
    }
}
