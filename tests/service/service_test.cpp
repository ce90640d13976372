// The stop request: it signals the stop event, or is kept until the event exists.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

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

TEST(ZavDir, TakenFromTheEnvironmentWhenItFits) {
    // %ZavDir%, the install folder the service takes (under 2 or over 4094 characters: the default)
    const std::string strLongest = "/" + std::string(4093, 'x');
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"/srv/zav", "/srv/zav"}, {"/", ZAV_DEFAULT_DIR}, {strLongest, strLongest}, {strLongest + "x", ZAV_DEFAULT_DIR}}) {
        setenv("ZavDir", c.first.c_str(), 1);
        GetZavDirPath();
        EXPECT_EQ(c.second, g_strZavDir) << c.first.size();
    }
    unsetenv("ZavDir");
}
