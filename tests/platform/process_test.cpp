// Descriptor clean-up. The look-ups by process name run end to end (the
// start modes' tests), where only the sandbox's processes are visible.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ProcUtil.h"
#include "TestSupport.h"

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
