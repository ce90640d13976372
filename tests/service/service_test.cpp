// The stop request: it signals the stop event, or is kept until the event exists.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "Service.h"
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
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{{"/srv/zav", "/srv/zav"},
                                                                          {"/", ZAV_DEFAULT_DIR},
                                                                          {strLongest, strLongest},
                                                                          {strLongest + "x", ZAV_DEFAULT_DIR}}) {
        setenv("ZavDir", c.first.c_str(), 1);
        GetZavDirPath();
        EXPECT_EQ(c.second, g_strZavDir) << c.first.size();
    }
    unsetenv("ZavDir");
}

TEST_F(ZavTest, RequireCoreDaemonIsOneUnlessAZeroDwordIsStored) {
    // stored value file ("" none), effective setting, whether a reason is given
    const struct {
        const char *pszStored;
        DWORD dwWant;
        bool bWhy;
    } cases[] = {{"", 1, false},       {"dword:0\n", 0, false}, {"dword:1", 1, false},   {"dword:0x0", 0, false},
                 {"dword:2", 1, true}, {"sz:0", 1, true},       {"dword:zero", 1, true}, {"expand_sz:", 1, true}};
    for (const auto &c : cases) {
        const std::string strFile = ValuePath(ZAV_PARAMETERS_KEY, "REQUIRECOREDAEMON");
        if (*c.pszStored)
            Write(strFile, c.pszStored);
        else
            (void)unlink(strFile.c_str());
        std::string strWhy = "stale";
        EXPECT_EQ(c.dwWant, GetRequireCoreDaemon(strWhy)) << c.pszStored;
        EXPECT_EQ(c.bWhy, !strWhy.empty()) << c.pszStored << ": " << strWhy;
    }
}
