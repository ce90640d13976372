// The service controller in-process: install folder, first-start flag, the
// report library, the stop request and the start-up failures' shutdown.
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

const char *kStandIn = ZAV_TEST_BUILD_DIR "/stand-ins/libstdalert.so";

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
        if (g_hReportLib) (void)FreeLibrary(g_hReportLib);
        ZavTest::TearDown();
    }
    // An install folder of its own whose report library links to strTarget
    // (none for ""). Each case needs its own path: a library another one
    // already loaded stays loaded under that path.
    std::string InstallReportLib(const std::string &strName, const std::string &strTarget) {
        const std::string strInst = m_dir.file(strName);
        EXPECT_EQ(0, system(("mkdir -p '" + strInst + "/lib' '" + strInst + "/log' '" + strInst + "/data'").c_str()));
        if (!strTarget.empty()) {
            EXPECT_EQ(0, symlink(strTarget.c_str(), (strInst + "/lib/libstdalert.so").c_str()));
        }
        g_strZavDir = strInst;
        return strInst;
    }
    // ServiceStart as the daemon runs it: install folder from the
    // environment, operation log from the registry.
    void PrepareServiceStart(const std::string &strInst) {
        setenv("ZavDir", strInst.c_str(), 1);
        WriteValueFile(ZAV_LOG_KEY, "FilePath", "expand_sz:" + m_dir.file("inst/log/zavsmflw.log") + "\n");
        // Every setting present: a missing one costs the read retries.
        for (const char *psz : {"LogLevel=dword:5", "Generation=dword:2", "MaxLogSize=dword:524288"}) {
            const std::string str = psz;
            WriteValueFile(ZAV_LOG_KEY, str.substr(0, str.find('=')), str.substr(str.find('=') + 1) + "\n");
        }
        for (const char *psz : {"MonitorInterval=dword:30", "JapaneseMessage=dword:0", "ServiceStart=dword:1",
                                "NumberOfBackup=dword:4", "MaxDatSize=dword:65536"}) {
            const std::string str = psz;
            WriteValueFile(ZAV_PARAMETERS_KEY, str.substr(0, str.find('=')), str.substr(str.find('=') + 1) + "\n");
        }
        g_strZavDir.clear();
        g_strLogFilePath.clear();
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

TEST_F(Controller, ReportLibraryAndItsEntryAreBothRequired) {
    InstallReportLib("none", "");
    EXPECT_EQ(0, LoadReportFunc());
    EXPECT_TRUE(LogHas("[LoadReportFunc],Error,libstdalert.so"));
    EXPECT_EQ(nullptr, g_hReportLib);

    // A loadable library without the entry: kept loaded for the shutdown to free.
    InstallReportLib("other", "/lib/x86_64-linux-gnu/libz.so.1");
    EXPECT_EQ(0, LoadReportFunc());
    EXPECT_TRUE(LogHas("[GetProcAddress],Error,SendIndication"));
    EXPECT_NE(nullptr, g_hReportLib);
    EXPECT_EQ(nullptr, g_SendIndication);
    (void)FreeLibrary(g_hReportLib);
    g_hReportLib = nullptr;

    InstallReportLib("standin", kStandIn);
    EXPECT_EQ(1, LoadReportFunc());
    EXPECT_NE(nullptr, g_hReportLib);
    EXPECT_NE(nullptr, g_SendIndication);
    EXPECT_TRUE(LogHas("[LoadReportFunc],Debug,End"));
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

// Every start-up failure ends in the same orderly shutdown: what was made is
// released, nothing is left behind, the log ends with "End" and an empty line.
TEST_F(Controller, StartUpFailuresReleaseWhatWasMadeAndEndTheLog) {
    struct Case {
        const char *pszName;
        std::string strLib;  // link target of the report library, "" for none
        bool bDefinition;
        const char *pszLine;  // the failure's own line
        bool bLibFreed;
    } cases[] = {
        {"no report library", "", true, "[LoadReportFunc],Error,libstdalert.so", false},
        {"library without entry", "/lib/x86_64-linux-gnu/libz.so.1", true, "[GetProcAddress],Error,SendIndication",
         true},
        {"no definition file", kStandIn, false, "PID=", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        const std::string strInst = InstallReportLib(std::string("case-") + std::to_string(&c - cases), c.strLib);
        PrepareServiceStart(strInst);
        const std::string strDef = strInst + "/data/zavsmsrv.conf";
        if (c.bDefinition) WriteFile(strDef, "[00010002]\nf=Fan failure\n");
        WriteFile(m_dir.file("inst/log/zavsmflw.log"), "");

        ServiceStart();

        EXPECT_EQ(nullptr, g_hServerStopEvent.load());
        EXPECT_EQ(nullptr, g_hExitThreadEvent);
        EXPECT_EQ(nullptr, g_hReportLib);
        const auto lines = LogMessages();
        bool bFailureLine = false, bThread = false;
        for (const auto &m : lines) {
            bFailureLine |= m.rfind(c.pszLine, 0) == 0;
            bThread |= m.find("MonitoringThread") != std::string::npos ||
                       m.find("ZavMonitoringThread") != std::string::npos;
        }
        EXPECT_TRUE(bFailureLine) << c.pszLine;
        EXPECT_FALSE(bThread) << "no thread may start";
        EXPECT_EQ(c.bLibFreed, LogHas("[FreeLibrary],Debug,ReportLib"));
        EXPECT_TRUE(LogHas("[CloseHandle],Debug,ServerStopEvent"));
        EXPECT_TRUE(LogHas("[CloseHandle],Debug,ExitThreadEvent"));
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ("End", lines[lines.size() - 2]);
        EXPECT_EQ("", lines.back());
    }
}
