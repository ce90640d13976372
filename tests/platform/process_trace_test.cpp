// Process look-up by name, descriptor clean-up, and the trace library.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "ProcUtil.h"
#include "TestSupport.h"
#include "TraceLog.h"

namespace {

// Runs /bin/sleep under another name (the kernel names a process after the
// file it ran, a symbolic link's own name included).
pid_t SpawnNamed(const std::string &strLink) {
    (void)symlink("/bin/sleep", strLink.c_str());
    const pid_t pid = fork();
    if (pid == 0) {
        execl(strLink.c_str(), strLink.c_str(), "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 200; ++i) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == strLink.substr(strLink.rfind('/') + 1)) break;
        usleep(10000);
    }
    return pid;
}

void Reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::vector<std::string> Lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

}  // namespace

TEST(ProcessUtilities, ProcessesAreFoundByNameTheCallerExcluded) {
    ScratchDir dir;
    // (Whether a ZAVntserver is absent cannot be asserted: sandboxes of
    // parallel end-to-end tests run one, visible from here.)
    EXPECT_EQ(0, IsServiceAlreadyRunning("zavtestsvc"));
    const pid_t core = SpawnNamed(dir.file("ZAVntserver"));
    const pid_t other = SpawnNamed(dir.file("zavtestsvc"));
    EXPECT_NE(0, IsZAVntserverReady());
    EXPECT_NE(0, IsServiceAlreadyRunning("zavtestsvc"));
    Reap(other);
    EXPECT_EQ(0, IsServiceAlreadyRunning("zavtestsvc")) << "a process that ended is not running";
    Reap(core);
    // The caller itself is never "another instance" (a name of its own, as
    // other test programs of the same name may run in parallel).
    ASSERT_EQ(0, prctl(PR_SET_NAME, "zavselfcheck", 0, 0, 0));
    EXPECT_EQ(0, IsServiceAlreadyRunning("zavselfcheck"));
}

TEST(ProcessUtilities, CloseAllClosesEveryDescriptorFromTheFirstGiven) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int a = open("/dev/null", O_RDONLY), b = open("/dev/null", O_RDONLY);
        if (a < 3 || b < 3) _exit(2);
        close_allfd(a);
        const bool bothClosed = fcntl(a, F_GETFD) == -1 && fcntl(b, F_GETFD) == -1;
        const bool stdKept = fcntl(2, F_GETFD) != -1;
        _exit(bothClosed && stdKept ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(Trace, RecordsCarryTheirFieldsAndDetailIsOptIn) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1024, 2, 0);
    TraceLogSetDetail(0);
    TraceLog(3, "Monitoring", "ZavMonitoringThread", 42, "Start loop.");
    TraceLog(0, "Monitoring", "ZavMonitoringThread", 43, "hidden %d", 1);
    TraceLogSetDetail(1);
    TraceLog(0, "Setting", "IsTargetEvent", 44, "shown %s", "%s %n");  // data is never a format
    TraceLogSetDetail(0);
    const auto lines = Lines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[3] Monitoring ZavMonitoringThread(42): Start loop.")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("[0] Setting IsTargetEvent(44): shown %s %n")) << lines[1];
    EXPECT_EQ(std::to_string(getpid()), lines[0].substr(25, std::to_string(getpid()).size())) << lines[0];
}

TEST(Trace, RotatesIntoNumberedGenerationsAndSurvivesClosedDescriptors) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1, 2, 0);  // 1 KB, two backups
    const std::string text(200, 'x');
    for (int i = 0; i < 40; ++i) TraceLog(1, "T", "f", i, "%s", text.c_str());
    std::ifstream cur(path), one(path + ".1"), two(path + ".2"), three(path + ".3");
    EXPECT_TRUE(cur.good() && one.good() && two.good());
    EXPECT_FALSE(three.good()) << "only the configured generations are kept";
    for (const auto &p : {path, path + ".1", path + ".2"}) {
        std::ifstream f(p, std::ios::ate);
        EXPECT_LE(int(f.tellg()), 1024 + 300) << p;
    }
    // Descriptors closed under it (the daemon does close_allfd after init).
    for (int fd = 3; fd < 64; ++fd) (void)fcntl(fd, F_GETFD);
    TraceLog(1, "T", "f", 1, "after");
    const auto lines = Lines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("after", lines.back().substr(lines.back().size() - 5));
}

TEST(Trace, TwoThreadsLoseAndInterleaveNothing) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 4096, 1, 0);
    auto writer = [](int id) {
        for (int i = 0; i < 2000; ++i) TraceLog(1, "T", "w", id, "thread %d record %d end", id, i);
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    const auto lines = Lines(path);
    ASSERT_EQ(4000u, lines.size());
    int perThread[3] = {0, 0, 0};
    for (const auto &l : lines) {
        ASSERT_EQ(" end", l.substr(l.size() - 4)) << l;
        perThread[l.find("thread 1 ") != std::string::npos ? 1 : 2]++;
    }
    EXPECT_EQ(2000, perThread[1]);
    EXPECT_EQ(2000, perThread[2]);
}

TEST(Trace, HugeGenerationCountsAreCapped) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1, 4294967295u, 0);
    const std::string text(600, 'y');
    for (int i = 0; i < 6; ++i) TraceLog(1, "T", "f", i, "%s", text.c_str());  // rotations finish at once
    std::ifstream one(path + ".1");
    EXPECT_TRUE(one.good());
}
