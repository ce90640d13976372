// The report library called as the service calls it, read back from datagram sockets bound where
// the journal and syslog listen, inside a private mount namespace (root).
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <vector>

#include "ZavTypes.h"

extern "C" int SendIndication(INDICATIONINFO info);

namespace {

const char kJournal[] = "/run/systemd/journal/socket", kSyslog[] = "/dev/log", kFan[] = "Fan\n2";
const char kAlertId[] = "d6d6ffb96ab843099e30187c9e10a91a", kPastId[] = "63805a8f82eb47fa91ef0aa5315a7dad";

int Send(DWORD dwId, DWORD dwType, std::vector<const char *> strings) {
    return SendIndication({0, 2, const_cast<char *>("ZAVCommonService"), dwId, dwType, DWORD(strings.size()), 0,
                           strings.empty() ? nullptr : const_cast<char **>(strings.data())});
}

// A datagram socket bound afresh where the journal or syslog listens, a read waiting at most 2 s; full:
// its queue filled, as a journal that stopped reading leaves it.
int Bind(const char *pszPath, bool bFull = false) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0), feed = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un sa{AF_UNIX, {}};
    const timeval tv{2, 0};
    strncpy(sa.sun_path, pszPath, sizeof sa.sun_path - 1);
    (void)unlink(pszPath);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa)) << pszPath << strerror(errno);
    EXPECT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
    EXPECT_EQ(0, connect(feed, reinterpret_cast<const sockaddr *>(&sa), sizeof sa));
    while (bFull && send(feed, "X=1\n", 4, 0) == 4) {}
    return fd;
}

std::string Receive(int fd, int nFlags = 0) {  // the next datagram, or ""
    std::string s(1 << 16, '\0');
    s.resize(size_t(std::max(recv(fd, &s[0], s.size(), nFlags), ssize_t(0))));
    return s;
}

// Journal native protocol: "NAME=value\n", or "NAME\n", a 64-bit little-endian length, the bytes, "\n".
std::string Field(const std::string &strName, const std::string &strValue) {
    const uint64_t qwLen = strValue.size();
    if (strValue.find('\n') == std::string::npos) return strName + "=" + strValue + "\n";
    return strName + "\n" + std::string(reinterpret_cast<const char *>(&qwLen), 8) + strValue + "\n";
}

TEST(StdAlert, JournalEntryCarriesTheseFields) {
    const char kEucJp[] = "\xa5\xd5\xa5\xa1\xa5\xf3\xbe\xe3\xb3\xb2\nDate : x";  // "fan failure", EUC-JP
    // event ID, type, strings; MESSAGE, PRIORITY, MESSAGE_ID, ZAV_EVENT_ID, then a non-empty string's number and value
    struct Case { DWORD dwId, dwType; std::vector<const char *> strings; std::vector<std::string> f; } const cases[] = {
        {0xC0008102, 1, {kFan, ""}, {"Fan (0xC0008102)", "3", kAlertId, "0xC0008102", "1", kFan}},
        {0x80000579, 2, {"", "Up\r\nFan", ""}, {"Up (0x80000579)", "4", kPastId, "0x80000579", "2", "Up\r\nFan"}},
        {0x40000585, 4, {"", kEucJp}, {u8"ファン障害 (0x40000585)", "6", kPastId, "0x40000585", "2", kEucJp}},
        {0x00010002, 7, {}, {"Event 0x00010002", "6", kAlertId, "0x00010002"}}};  // unknown type: information
    const int journal = Bind(kJournal), syslog = Bind(kSyslog);
    for (const auto &c : cases) {
        EXPECT_EQ(0, Send(c.dwId, c.dwType, c.strings));
        EXPECT_EQ(Field("MESSAGE", c.f[0]) + Field("PRIORITY", c.f[1]) + "SYSLOG_IDENTIFIER=ZAVsmsrv\n" +
                      Field("MESSAGE_ID", c.f[2]) + Field("ZAV_EVENT_ID", c.f[3]) + "ZAV_SOURCE=ZAVCommonService\n" +
                      Field("ZAV_STRING_COUNT", std::to_string(c.strings.size())) +
                      (c.f.size() > 4 ? Field("ZAV_STRING_" + c.f[4], c.f[5]) : ""),
                  Receive(journal)) << c.f[0];
        EXPECT_EQ("", Receive(syslog, MSG_DONTWAIT));
    }
}

TEST(StdAlert, SyslogCarriesTheAlertWhenTheJournalCannot) {
    // "<PRI>", then the text after the 15-character time stamp
    const auto Line = [](const std::string &s) { return s.size() < 19 ? s : s.substr(0, 4) + s.substr(19); };
    const std::string strPid = " ZAVsmsrv[" + std::to_string(getpid()) + "]: ";
    const int syslog = Bind(kSyslog);
    (void)unlink(kJournal);
    EXPECT_EQ(0, Send(0x80000579, 2, {kFan}));
    EXPECT_EQ("<12>" + strPid + "Fan (0x80000579)", Line(Receive(syslog))) << "no journal";
    // A journal that stopped reading: the alert goes to syslog instead (a send into the full queue would hang here).
    (void)Bind(kJournal, true);
    EXPECT_EQ(0, Send(0xC0008102, 1, {kFan}));
    EXPECT_EQ("<11>" + strPid + "not in the journal (socket full): Fan (0xC0008102)", Line(Receive(syslog)));
}

TEST(StdAlert, IndicationFileFollowsTheRegistryValue) {
    const std::string strLine =
        R"({"reserved":[0,2],"event_id":"0xC0008102","type":1,"count":1,"source":"ZAVCommonService",)"
        R"("strings":["Fan\u000a2","","","",""],"hex":["46616e0a32","","","",""]})";
    // the registry value and indication.log as found (shell); whether the alert is written to indication.log
    for (const auto &c : std::vector<std::pair<std::string, bool>>{{"true", false}, {"echo dword:0 >$K", false},
             {"echo dword:1 >$K", true}, {"echo dword:1 >$K && ln -s ../x $D/log/indication.log", false}}) {
        // A fresh process of this program sends one alert: the switch is read once per process.
        const std::string strCmd =
            "D=/run/zavalert; rm -rf $D; K=$D/registry/HKEY_LOCAL_MACHINE/SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV_INTERNAL; "
            "mkdir -p $D/log $K && K=$K/V_INDICATIONFILE && " + c.first + " && ZavDir=$D /proc/" +
            std::to_string(getpid()) + "/exe --send-one && { cat $D/log/indication.log 2>/dev/null || true; }";
        FILE *p = popen(strCmd.c_str(), "r");
        std::string strGot(4096, '\0');
        strGot.resize(fread(&strGot[0], 1, strGot.size(), p));
        EXPECT_EQ(0, pclose(p));
        EXPECT_EQ(c.second ? strLine + "\n" : "", strGot) << c.first;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--send-one") == 0) return Send(0xC0008102, 1, {kFan});
    testing::InitGoogleTest(&argc, argv);
    // Scratch /run and /dev: the sockets above stand where the journal and syslog listen; none is the machine's.
    if (!testing::GTEST_FLAG(list_tests) && (unshare(CLONE_NEWNS) != 0 || system("mount --make-rprivate / && mount "
            "-t tmpfs zavrun /run && mount -t tmpfs zavdev /dev && mkdir -p /run/systemd/journal") != 0))
        return perror("private mount namespace (root needed)"), 1;
    return RUN_ALL_TESTS();
}
