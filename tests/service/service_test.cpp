// The stop request: it signals the stop event, or is kept until the event exists.
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "zavsmsrv.h"

TEST_F(ZavTest, ServiceStopSignalsTheEventOrIsKeptUntilItExists) {
    g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
    ServiceStop();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hServerStopEvent.load(), 0));
    EXPECT_EQ(0, IsStopPending());
    (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
    const pid_t pid = fork();  // the kept request lasts for the process
    if (pid == 0) {
        ServiceStop();
        _exit(IsStopPending() == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a stop without an event was lost";
}
