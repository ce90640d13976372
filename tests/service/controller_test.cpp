// The service controller in-process: install folder, first-start flag and
// the stop request (start-up failures run end to end).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LogFile.h"
#include "Reg.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

class Controller : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        const char *p = getenv("ZavDir");
        m_bHadZavDir = p != nullptr;
        if (p) m_strOldZavDir = p;
    }
    void TearDown() override {
        if (m_bHadZavDir) {
            setenv("ZavDir", m_strOldZavDir.c_str(), 1);
        } else {
            unsetenv("ZavDir");
        }
        ZavTest::TearDown();
    }
    bool m_bHadZavDir = false;
    std::string m_strOldZavDir;
};

}  // namespace

TEST_F(Controller, InstallFolderComesFromZavDirWithinItsBounds) {
    struct Case {
        const char *pszName;
        std::string strValue;  // "-" for unset
        std::string strExpected;
    } cases[] = {
        {"unset", "-", ZAV_DEFAULT_DIR},
        {"empty", "", ZAV_DEFAULT_DIR},
        {"one character", "a", ZAV_DEFAULT_DIR},
        {"two characters", "/z", "/z"},
        {"usual", "/srv/zav", "/srv/zav"},
        {"4094 characters", "/" + std::string(4093, 'x'), "/" + std::string(4093, 'x')},
        {"4095 characters", "/" + std::string(4094, 'x'), ZAV_DEFAULT_DIR},
        {"far too long", std::string(10000, 'y'), ZAV_DEFAULT_DIR},
    };
    for (const auto &c : cases) {
        if (c.strValue == "-")
            unsetenv("ZavDir");
        else
            setenv("ZavDir", c.strValue.c_str(), 1);
        g_strZavDir.clear();
        GetZavDirPath();
        EXPECT_EQ(c.strExpected, g_strZavDir) << c.pszName;
    }
}

TEST_F(Controller, FirstStartFlagReadsAndPersists) {
    struct Case {
        const char *pszValue;  // nullptr: no value file
        DWORD dwExpected;
        const char *pszLine;
    } cases[] = {
        {nullptr, 0, "[GetServiceStart],00"}, {"dword:1\n", 1, "[GetServiceStart],01"},
        {"dword:0\n", 0, "[GetServiceStart],00"}, {"dword:7\n", 7, "[GetServiceStart],07"},
        {"sz:1\n", 0, "[GetServiceStart],00"},
    };
    for (const auto &c : cases) {
        (void)unlink(ValueFilePath(ZAV_PARAMETERS_KEY, "ServiceStart").c_str());
        if (c.pszValue) WriteValueFile(ZAV_PARAMETERS_KEY, "ServiceStart", c.pszValue);
        WriteFile(g_strLogFilePath, "");
        g_dwServiceStart = 12345;
        GetServiceStart();
        EXPECT_EQ(c.dwExpected, g_dwServiceStart) << (c.pszValue ? c.pszValue : "none");
        EXPECT_TRUE(LogHas(c.pszLine)) << c.pszLine;
    }

    EXPECT_EQ(1, SetServiceStart());
    EXPECT_EQ("dword:1\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ServiceStart"));
    EXPECT_TRUE(LogHas("[SetServiceStart],OK"));
    GetServiceStart();
    EXPECT_EQ(1u, g_dwServiceStart);
}

TEST_F(Controller, FirstStartFlagWriteFailureIsLoggedWithTheErrorCode) {
    ASSERT_EQ(0, system(("rm -rf '" + m_dir.file("registry/HKEY_LOCAL_MACHINE/SYSTEM") + "'").c_str()));
    EXPECT_EQ(0, SetServiceStart());
    bool bLogged = false;
    for (const auto &m : LogMessages()) bLogged |= m.rfind("[SetServiceStart],Error,0x", 0) == 0 && m.size() > 26;
    EXPECT_TRUE(bLogged) << "no error line with a code";
    EXPECT_FALSE(LogHas("[SetServiceStart],OK"));
}

TEST_F(Controller, StopSignalsTheEventOrIsRememberedUntilItExists) {
    g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
    ServiceStop();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hServerStopEvent.load(), 0));
    EXPECT_EQ(0, IsStopPending());
    (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));

    // The remembered stop lasts for the process: try it in a child.
    const pid_t pid = fork();
    if (pid == 0) {
        ServiceStop();
        _exit(IsStopPending() == 1 ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "a stop without an event was lost";
}
