// The report library called as the service calls it, read back from
// datagram sockets bound where the journal and syslog listen, inside a
// private mount namespace (root).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ZavTypes.h"

extern "C" int SendIndication(INDICATIONINFO info);
extern char **environ;

namespace {

typedef std::map<std::string, std::string> Fields;

const char kJournalSocket[] = "/run/systemd/journal/socket";
const char kSyslogSocket[] = "/dev/log";
const char kEntryAlertId[] = "d6d6ffb96ab843099e30187c9e10a91a";
const char kPastReportId[] = "63805a8f82eb47fa91ef0aa5315a7dad";
const char kServiceFailureId[] = "a89a256159b146aaa764410daf37aa31";
// "Fan failure" in Japanese (EUC-JP) as a headline, then a second line.
const char kEucJpMessage[] = "\xa5\xd5\xa5\xa1\xa5\xf3\xbe\xe3\xb3\xb2\nDate : x";

// Once per process: scratch /run and /dev, so the sockets below stand where
// the journal and syslog listen and nothing reaches the machine's own.
void EnterPrivateMounts() {
    static bool bDone = false;
    if (bDone) return;
    ASSERT_EQ(0, unshare(CLONE_NEWNS)) << "a private mount namespace needs root: " << strerror(errno);
    ASSERT_EQ(0, mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) << strerror(errno);
    ASSERT_EQ(0, mount("zavrun", "/run", "tmpfs", 0, "mode=0755")) << strerror(errno);
    ASSERT_EQ(0, mkdir("/run/hostdev", 0755));
    ASSERT_EQ(0, mount("/dev", "/run/hostdev", nullptr, MS_BIND | MS_REC, nullptr)) << strerror(errno);
    ASSERT_EQ(0, mount("zavdev", "/dev", "tmpfs", 0, "mode=0755")) << strerror(errno);
    for (const char *name : {"null", "zero", "random", "urandom"})
        ASSERT_EQ(0, symlink((std::string("/run/hostdev/") + name).c_str(), (std::string("/dev/") + name).c_str()));
    ASSERT_EQ(0, mkdir("/run/systemd", 0755));
    ASSERT_EQ(0, mkdir("/run/systemd/journal", 0755));
    bDone = true;
}

// A datagram socket bound at a path, as the journal or a syslog daemon binds one.
class BoundSocket {
public:
    explicit BoundSocket(const char *pszPath) : m_strPath(pszPath) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_un sa = Address(pszPath);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa)) << pszPath << strerror(errno);
    }
    ~BoundSocket() {
        (void)unlink(m_strPath.c_str());
        (void)close(m_fd);
    }
    BoundSocket(const BoundSocket &) = delete;
    BoundSocket &operator=(const BoundSocket &) = delete;

    static sockaddr_un Address(const char *pszPath) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        strncpy(sa.sun_path, pszPath, sizeof sa.sun_path - 1);
        return sa;
    }

    // The next datagram, or "" when none comes within the wait.
    std::string Receive(int nWaitMs = 2000) {
        pollfd pfd{m_fd, POLLIN, 0};
        if (poll(&pfd, 1, nWaitMs) != 1) return "";
        std::string buf(1 << 16, '\0');
        char control[CMSG_SPACE(sizeof(int))];
        iovec iov{&buf[0], buf.size()};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = control;
        mh.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(m_fd, &mh, MSG_DONTWAIT);
        EXPECT_EQ(0u, mh.msg_controllen) << "payload passed as a file descriptor: keep test values small";
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }

private:
    std::string m_strPath;
    int m_fd;
};

// The journal's native protocol: "NAME=value\n", or for a value holding a
// line feed "NAME\n", its length (64-bit little endian), the bytes and "\n".
Fields DecodeNative(const std::string &d) {
    Fields fields;
    size_t i = 0;
    while (i < d.size()) {
        const size_t nl = d.find('\n', i);
        if (nl == std::string::npos) {
            ADD_FAILURE() << "field without a line end at " << i;
            break;
        }
        const std::string strLine = d.substr(i, nl - i);
        std::string strName, strValue;
        const size_t eq = strLine.find('=');
        if (eq != std::string::npos) {
            strName = strLine.substr(0, eq);
            strValue = strLine.substr(eq + 1);
            i = nl + 1;
        } else {
            uint64_t qwLen = 0;
            if (nl + 9 <= d.size()) memcpy(&qwLen, d.data() + nl + 1, 8);  // x86-64: little endian
            const size_t end = nl + 9 + size_t(qwLen);
            if (nl + 9 > d.size() || end >= d.size() || d[end] != '\n') {
                ADD_FAILURE() << "bad binary field " << strLine;
                break;
            }
            strName = strLine;
            strValue = d.substr(nl + 9, size_t(qwLen));
            i = end + 1;
        }
        EXPECT_TRUE(fields.emplace(strName, strValue).second) << "field twice: " << strName;
    }
    return fields;
}

// "<PRI>Mmm dd hh:mm:ss ZAVsmsrv[pid]: text" as ("<PRI>", "text"); empty when the header is wrong.
std::pair<std::string, std::string> SplitSyslogLine(const std::string &strLine) {
    const size_t gt = strLine.find('>');
    const std::string strIdent = " ZAVsmsrv[" + std::to_string(getpid()) + "]: ";
    tm t{};
    if (strLine.empty() || strLine[0] != '<' || gt == std::string::npos) return {};
    const char *end = strptime(strLine.c_str() + gt + 1, "%b %e %H:%M:%S", &t);
    if (end != strLine.c_str() + gt + 16 || strLine.compare(gt + 16, strIdent.size(), strIdent) != 0) return {};
    return {strLine.substr(0, gt + 1), strLine.substr(gt + 16 + strIdent.size())};
}

struct Record {
    const char *pszSource;
    DWORD dwEventID;
    DWORD dwEventType;
    DWORD dwStringCount;
    std::vector<const char *> strings;  // empty: a null array
};

int Send(const Record &r) {
    std::vector<char *> strings;
    for (const char *s : r.strings) strings.push_back(const_cast<char *>(s));
    INDICATIONINFO info{0,
                        2,
                        const_cast<char *>(r.pszSource),
                        r.dwEventID,
                        r.dwEventType,
                        r.dwStringCount,
                        0,
                        strings.empty() ? nullptr : strings.data()};
    return SendIndication(info);
}

const Record kFanFailed{"ZAVCommonService", 0xC0008102, 1, 2, {"Fan 2 failed\nReplace fan 2", "", "", "", ""}};

class StdAlert : public testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(EnterPrivateMounts()); }
};

TEST_F(StdAlert, JournalEntryCarriesEveryField) {
    struct Case {
        Record record;
        Fields expected;  // beside SYSLOG_IDENTIFIER and ZAV_EVENT_ID, which follow the record
    };
    const Case cases[] = {
        {kFanFailed,
         {{"MESSAGE", "Fan 2 failed (0xC0008102)"},
          {"PRIORITY", "3"},
          {"MESSAGE_ID", kEntryAlertId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "2"},
          {"ZAV_STRING_1", "Fan 2 failed\nReplace fan 2"}}},
        {{"ZAVCommonService", 0x80000579, 2, 5, {"", "Date : 2026-12-07 08:10:00\r\nFan 3 slow", "", "", ""}},
         {{"MESSAGE", "Date : 2026-12-07 08:10:00 (0x80000579)"},
          {"PRIORITY", "4"},
          {"MESSAGE_ID", kPastReportId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "5"},
          {"ZAV_STRING_2", "Date : 2026-12-07 08:10:00\r\nFan 3 slow"}}},
        {{"ZAVSystemManagementService", 0xC000238D, 1, 2, {"Definition File(zavsmsrv.conf) Invalid", "", "", "", ""}},
         {{"MESSAGE", "Definition File(zavsmsrv.conf) Invalid (0xC000238D)"},
          {"PRIORITY", "3"},
          {"MESSAGE_ID", kServiceFailureId},
          {"ZAV_SOURCE", "ZAVSystemManagementService"},
          {"ZAV_STRING_COUNT", "2"},
          {"ZAV_STRING_1", "Definition File(zavsmsrv.conf) Invalid"}}},
        // EUC-JP: the message in UTF-8 for journalctl, the string as given.
        {{"ZAVCommonService", 0x40000585, 4, 5, {"", kEucJpMessage, "", "", ""}},
         {{"MESSAGE", u8"ファン障害 (0x40000585)"},
          {"PRIORITY", "6"},
          {"MESSAGE_ID", kPastReportId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "5"},
          {"ZAV_STRING_2", kEucJpMessage}}},
        {{"ZAVCommonService", 0x40001000, 4, 1, {"\xff\xfe raw", "", "", "", ""}},
         {{"MESSAGE", "\\xff\\xfe raw (0x40001000)"},
          {"PRIORITY", "6"},
          {"MESSAGE_ID", kEntryAlertId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "1"},
          {"ZAV_STRING_1", "\xff\xfe raw"}}},
        // Strings past the count are not read; an unknown type is information.
        {{"ZAVCommonService", 0x00010002, 7, 1, {"", "past the count", "", "", ""}},
         {{"MESSAGE", "Event 0x00010002"},
          {"PRIORITY", "6"},
          {"MESSAGE_ID", kEntryAlertId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "1"}}},
        {{nullptr, 0x80001000, 2, 3, {nullptr, nullptr, "third"}},
         {{"MESSAGE", "third (0x80001000)"},
          {"PRIORITY", "4"},
          {"MESSAGE_ID", kEntryAlertId},
          {"ZAV_SOURCE", ""},
          {"ZAV_STRING_COUNT", "3"},
          {"ZAV_STRING_3", "third"}}},
        {{"ZAVCommonService", 0xC0001000, 1, 5, {}},
         {{"MESSAGE", "Event 0xC0001000"},
          {"PRIORITY", "3"},
          {"MESSAGE_ID", kEntryAlertId},
          {"ZAV_SOURCE", "ZAVCommonService"},
          {"ZAV_STRING_COUNT", "5"}}},
    };
    BoundSocket journal(kJournalSocket);
    BoundSocket syslog(kSyslogSocket);
    for (const Case &c : cases) {
        char szId[16];
        snprintf(szId, sizeof szId, "0x%08X", c.record.dwEventID);
        SCOPED_TRACE(szId);
        Fields expected = c.expected;
        expected["SYSLOG_IDENTIFIER"] = "ZAVsmsrv";
        expected["ZAV_EVENT_ID"] = szId;
        EXPECT_EQ(0, Send(c.record));
        EXPECT_EQ(expected, DecodeNative(journal.Receive()));
        EXPECT_EQ("", syslog.Receive(0));
    }
}

TEST_F(StdAlert, SyslogCarriesTheMessageWithoutAJournal) {
    const std::pair<DWORD, const char *> cases[] = {{1, "<11>"}, {2, "<12>"}, {4, "<14>"}, {0, "<14>"}};
    BoundSocket syslog(kSyslogSocket);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.second);
        Record r = kFanFailed;
        r.dwEventType = c.first;
        EXPECT_EQ(0, Send(r));
        const std::string strGot = syslog.Receive();
        EXPECT_EQ(std::make_pair(std::string(c.second), std::string("Fan 2 failed (0xC0008102)")),
                  SplitSyslogLine(strGot))
            << strGot;
    }
}

TEST_F(StdAlert, FullJournalCostsTheServiceAtMostTheBound) {
    BoundSocket journal(kJournalSocket);
    BoundSocket syslog(kSyslogSocket);
    // Fill the queue as a journal that stopped reading would leave it.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_un sa = BoundSocket::Address(kJournalSocket);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa));
    int nQueued = 0;
    while (send(fd, "X=1\n", 4, 0) == 4) ++nQueued;
    EXPECT_EQ(EAGAIN, errno);
    (void)close(fd);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Send(kFanFailed));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(400));
    const std::string strGot = syslog.Receive();
    EXPECT_EQ(
        std::make_pair(std::string("<11>"), std::string("not in the journal (socket full): Fan 2 failed (0xC0008102)")),
        SplitSyslogLine(strGot))
        << strGot;
    int nDrained = 0;
    while (!journal.Receive(0).empty()) ++nDrained;
    EXPECT_EQ(nQueued, nDrained) << "the alert went into a full queue";
}

// Runs `argv[0] --send-one` in a fresh process: the switch is read once per process.
int SendInFreshProcess(const std::string &strZavDir) {
    if (setenv("ZavDir", strZavDir.c_str(), 1) != 0) return -1;
    char szSelf[] = "/proc/self/exe", szArg[] = "--send-one";
    char *argv[] = {szSelf, szArg, nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, szSelf, nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string &strPath) {
    std::ifstream f(strPath, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST_F(StdAlert, IndicationFileFollowsTheRegistryValue) {
    struct Case {
        const char *pszValue;  // nullptr: no value file
        bool bLink;            // indication.log is a symbolic link to another file
        bool bWritten;
    };
    const Case cases[] = {{nullptr, false, false},     {"dword:0\n", false, false},  {"dword:1\n", false, true},
                          {"dword:1", false, true},    {"dword:0x1\n", false, true}, {"dword:01\n", false, true},
                          {"dword:2\n", false, false}, {"sz:1\n", false, false},     {"dword:1\n\n", false, false},
                          {"dword:\n", false, false},  {"dword:1\n", true, false}};
    const std::string strLine =
        "{\"reserved\":[0,2],\"event_id\":\"0xC0008102\",\"type\":1,\"count\":2,\"source\":\"ZAVCommonService\","
        "\"strings\":[\"Fan 2 failed\\u000aReplace fan 2\",\"\",\"\",\"\",\"\"],"
        "\"hex\":[\"46616e2032206661696c65640a5265706c6163652066616e2032\",\"\",\"\",\"\",\"\"]}\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pszValue ? c.pszValue : "(none)") + (c.bLink ? " link" : ""));
        char szDir[] = "/tmp/zavalert-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szDir));
        const std::string strDir = szDir, strFile = strDir + (c.bLink ? "/target" : "/log/indication.log");
        const std::string strKey = strDir + "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV_INTERNAL";
        ASSERT_EQ(0, system(("mkdir -p '" + strKey + "' '" + strDir + "/log'").c_str()));
        if (c.pszValue) std::ofstream(strKey + "/V_INDICATIONFILE") << c.pszValue;
        if (c.bLink) {
            ASSERT_EQ(0, symlink(strFile.c_str(), (strDir + "/log/indication.log").c_str()));
        }
        EXPECT_EQ(0, SendInFreshProcess(strDir));
        EXPECT_EQ(c.bWritten ? strLine : "", ReadFile(strFile));
        ASSERT_EQ(0, system(("rm -rf '" + strDir + "'").c_str()));
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--send-one") == 0) return Send(kFanFailed);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
