// The operating-system layer: value-file format, rotation, process look-up.
// (Waits across threads and the trace both threads write run in the thread
// tests and, under ThreadSanitizer, end to end.)
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <utime.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FileOps.h"
#include "NTwin32.h"
#include "ProcUtil.h"
#include "Reg.h"
#include "TestSupport.h"

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

// A killed write's temporary file goes with a later write into its folder,
// once a minute old; a younger one may be another writer's work.
TEST_F(ZavTest, AWriteRemovesItsFoldersStaleTemporaries) {
    const std::string strDir = Path("registry/HKEY_LOCAL_MACHINE/SYSTEM");
    const std::string strNames[] = {"V_A.tmp000000", "V_B.tmp111111", "V_C.tmp222222", "V_D.tmp3333"};
    for (const std::string &n : strNames) Write(strDir + "/" + n, "sz:x\n");
    const utimbuf old{time(nullptr) - 120, time(nullptr) - 120};
    for (const std::string &n : {strNames[0], strNames[1], strNames[3]})
        ASSERT_EQ(0, utime((strDir + "/" + n).c_str(), &old));
    ASSERT_EQ(1, SetRegValue("SYSTEM", "Z", "v"));
    std::string strLeft;
    for (const std::string &n : strNames) strLeft += access((strDir + "/" + n).c_str(), F_OK) == 0 ? n + " " : "";
    EXPECT_EQ("V_C.tmp222222 V_D.tmp3333 ", strLeft);
}

// The trace settings are read as files before the registry is used: the
// internal key's two spellings must name one folder.
TEST_F(ZavTest, TheInternalKeyAndItsValueFolderAreOne) {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyEx(HKEY_LOCAL_MACHINE, ZAV_INTERNAL_KEY, nullptr));
    struct stat st {};
    EXPECT_EQ(0, stat((m_strDir + ZAV_INTERNAL_REG_REL).c_str(), &st));
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
