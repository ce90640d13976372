// Process look-up by name and descriptor clean-up.
//
// Other developers' daemons (sandboxed, but visible in the host's /proc) may
// run under the very names looked up here, so the look-ups run in a private
// PID namespace with its own /proc, where only this test's processes live.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "ProcUtil.h"
#include "TestSupport.h"

namespace {

std::string Comm(pid_t pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Runs /bin/sleep under another name: the kernel names a process after the
// file it ran, a symbolic link's own name included.
pid_t SpawnNamed(const std::string &strDir, const std::string &strName) {
    const std::string strLink = strDir + "/" + strName;
    (void)symlink("/bin/sleep", strLink.c_str());
    const pid_t pid = fork();
    if (pid == 0) {
        execl(strLink.c_str(), strLink.c_str(), "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && Comm(pid) != strName.substr(0, 15); ++i) usleep(10000);
    return pid;
}

void Reap(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Runs body as PID 1 of a fresh PID namespace with /proc mounted for it; the
// failures it appends to its text come back through a pipe. Empty: all well.
// "unavailable": no namespace could be made (not root).
std::string RunIsolated(const std::function<void(std::string &)> &body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t outer = fork();
    if (outer == 0) {
        close(fds[0]);
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            (void)!write(fds[1], "unavailable", 11);
            _exit(0);
        }
        const pid_t inner = fork();
        if (inner == 0) {
            std::string err;
            if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                err = "mount /proc failed";
            else
                body(err);
            (void)!write(fds[1], err.data(), err.size());
            _exit(0);
        }
        close(fds[1]);
        int status = 0;
        waitpid(inner, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
    }
    close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(outer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " (isolated run crashed)";
    return out;
}

void Check(std::string &err, bool bOk, const char *pszWhat) {
    if (!bOk) err += std::string(pszWhat) + "; ";
}

}  // namespace

TEST(ProcessUtilities, TheCoreDaemonIsFoundByItsName) {
    ScratchDir dir;
    const std::string strDir = dir.path();
    const std::string err = RunIsolated([&](std::string &e) {
        Check(e, IsZAVntserverReady() == 0, "found with none running");
        const pid_t decoy = SpawnNamed(strDir, "ZAVntserverX");
        Check(e, IsZAVntserverReady() == 0, "a longer name matched");
        const pid_t core = SpawnNamed(strDir, "ZAVntserver");
        Check(e, IsZAVntserverReady() != 0, "not found while running");
        Reap(core);
        Reap(decoy);
        Check(e, IsZAVntserverReady() == 0, "found after it ended");
    });
    if (err == "unavailable") GTEST_SKIP() << "no PID namespace (needs root)";
    EXPECT_EQ("", err);
}

TEST(ProcessUtilities, AnotherInstanceIsFoundTheCallerNever) {
    ScratchDir dir;
    const std::string strDir = dir.path();
    const std::string err = RunIsolated([&](std::string &e) {
        Check(e, IsServiceAlreadyRunning("zavtestsvc") == 0, "found with none running");
        const pid_t other = SpawnNamed(strDir, "zavtestsvc");
        Check(e, IsServiceAlreadyRunning("zavtestsvc") != 0, "another instance not found");
        // Killed but not reaped yet: a zombie is no running instance.
        kill(other, SIGKILL);
        for (int i = 0; i < 500; ++i) {
            std::ifstream stat("/proc/" + std::to_string(other) + "/stat");
            std::string s;
            std::getline(stat, s);
            if (s.find(") Z ") != std::string::npos) break;
            usleep(10000);
        }
        Check(e, IsServiceAlreadyRunning("zavtestsvc") == 0, "a zombie counted");
        waitpid(other, nullptr, 0);

        // The caller's own name: never counted for the caller itself, but a
        // second process under that name is another instance.
        const std::string self = Comm(getpid());
        Check(e, !self.empty(), "own name unreadable");
        Check(e, IsServiceAlreadyRunning(self.c_str()) == 0, "the caller counted itself");
        const pid_t twin = SpawnNamed(strDir, self);
        Check(e, IsServiceAlreadyRunning(self.c_str()) != 0, "a twin of the caller not found");
        Reap(twin);
        Check(e, IsServiceAlreadyRunning("") == 0 && IsServiceAlreadyRunning(nullptr) == 0, "no name matched");
    });
    if (err == "unavailable") GTEST_SKIP() << "no PID namespace (needs root)";
    EXPECT_EQ("", err);
}

TEST(ProcessUtilities, CloseAllClosesEveryDescriptorFromTheFirstGiven) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int a = open("/dev/null", O_RDONLY), b = open("/dev/null", O_RDONLY);
        const int high = dup2(a, 900);
        if (a < 3 || b <= a || high != 900) _exit(2);
        close_allfd(b);
        const bool below = fcntl(a, F_GETFD) != -1 && fcntl(2, F_GETFD) != -1;
        const bool from = fcntl(b, F_GETFD) == -1 && fcntl(900, F_GETFD) == -1;
        _exit(below && from ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "2: set-up failed, 1: wrong descriptors closed";
}
