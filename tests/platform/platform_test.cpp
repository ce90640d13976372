// The operating-system layer: value-file format, rotation, process look-up,
// waits across threads and the trace both threads write.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "FileOps.h"
#include "NTwin32.h"
#include "ProcUtil.h"
#include "TestSupport.h"
#include "TraceLog.h"

TEST(Registry, ValueFilesParseOnlyInTheFixedFormat) {
    const std::pair<std::string, std::string> cases[] = {
        {"dword:60\n", "4:60"}, {"dword:0x3C", "4:60"}, {"dword:0XffFFffFF\n", "4:4294967295"},
        {"sz:a\nb\n", "1:a\nb"}, {std::string("sz:ab\0cd\n", 9), "1:ab"}, {"expand_sz:%ZavDir%", "2:%ZavDir%"},
        {"dword:4294967296", "-"}, {"dword:-1", "-"}, {"dword:5\n\n", "-"}, {"dword: 5", "-"}, {"dword:", "-"},
        {"dword:0x", "-"}, {"DWORD:5", "-"}, {"", "-"},
    };
    for (const auto &c : cases) {
        DWORD dwType = 0;
        std::string strPayload;
        const int ok = ParseRegValueText(c.first, dwType, strPayload);
        EXPECT_EQ(c.second, ok ? std::to_string(dwType) + ":" + strPayload : "-") << c.first;
    }
}

TEST_F(ZavTest, RotationShiftsEveryBackupAndKeepsOnlyTheGenerationsAsked) {
    const std::string p = Path("f.log");
    const auto Files = [&] { return Read(p) + "|" + Read(p + ".1") + "|" + Read(p + ".2") + "|" + Read(p + ".3"); };
    Write(p, "new");
    Write(p + ".1", "one");
    Write(p + ".2", "two");
    RotateFiles(p, 3, ".");
    EXPECT_EQ("|new|one|two", Files());
    Write(p, "next");
    RotateFiles(p, 2, ".");  // the oldest is overwritten, nothing beyond generation 2 moves
    EXPECT_EQ("|next|new|two", Files());
    Write(p, "gone");
    RotateFiles(p, 0, ".");
    EXPECT_EQ("|next|new|two", Files());
}

// A process that has ended but was not reaped yet is not running.
TEST(Process, AZombieDoesNotCountAsRunning) {
    const std::string strName = "zavz" + std::to_string(getpid() % 100000);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
        (void)prctl(PR_SET_NAME, strName.c_str());
        (void)!write(fds[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(fds[0], &c, 1));
    EXPECT_EQ(1, IsServiceAlreadyRunning(strName.c_str()));
    ASSERT_EQ(0, kill(pid, SIGKILL));
    siginfo_t info{};
    ASSERT_EQ(0, waitid(P_PID, pid, &info, WEXITED | WNOWAIT));
    EXPECT_EQ(0, IsServiceAlreadyRunning(strName.c_str()));
    (void)waitpid(pid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
}

// A signal on the waiting thread (SIGTERM lands on any thread) neither ends
// the wait nor reads as signalled; another thread's SetEvent does.
TEST(Events, AWaitOnOneThreadEndsOnlyWhenAnotherSetsTheEvent) {
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    HANDLE h[2] = {CreateEvent(nullptr, 1, 0, nullptr), CreateEvent(nullptr, 1, 0, nullptr)};
    std::atomic<DWORD> result{12345};
    std::thread t([&] { result = WaitForMultipleObjects(2, h, 0, INFINITE); });
    for (int i = 0; i < 10; ++i, usleep(10000)) pthread_kill(t.native_handle(), SIGUSR1);
    EXPECT_EQ(12345u, result.load());
    ASSERT_TRUE(SetEvent(h[1]));
    t.join();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, result.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h[0], 0));
    for (HANDLE e : h) (void)CloseHandle(e);
}

TEST_F(ZavTest, TraceFromTwoThreadsLosesAndInterleavesNothing) {
    ASSERT_EQ(1, TraceLogInit(Path("trace.log").c_str(), "ZAVsmsrv", 65536, 1, 0));
    const auto Writer = [](int id) {
        for (int i = 0; i < 2000; ++i) TraceLog(1, "T", "w", id, "thread %d record %d end", id, i);
    };
    std::thread a(Writer, 1), b(Writer, 2);
    a.join();
    b.join();
    (void)TraceLogInit("", "", 1, 0, 0);
    std::istringstream in(Read(Path("trace.log")));
    int n[3] = {0, 0, 0};
    for (std::string l; std::getline(in, l);)
        ++n[l.size() > 4 && l.compare(l.size() - 4, 4, " end") == 0 ? (l.find("thread 1 ") != std::string::npos ? 1 : 2) : 0];
    EXPECT_EQ(0, n[0]);
    EXPECT_EQ(2000, n[1]);
    EXPECT_EQ(2000, n[2]);
}
