// The monitoring thread in-process against a small controller module: where
// a stop request is seen, what a poll records, and the first-start flag.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "LogFile.h"
#include "Monitoring.h"
#include "Setting.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

// The clock advances one second per reading; with a file "slow" beside it,
// get_iml leaves a file "inside" and takes two seconds.
const char *kModuleSource =
    "import os, time\n"
    "HERE = os.path.dirname(os.path.abspath(__file__))\n"
    "_n = [0]\n"
    "def get_datetime():\n"
    "    _n[0] += 1\n"
    "    return (200, '2026-12-07T00:%02d:%02d' % (_n[0] // 60 % 60, _n[0] % 60))\n"
    "def get_iml():\n"
    "    if os.path.exists(os.path.join(HERE, 'slow')):\n"
    "        open(os.path.join(HERE, 'inside'), 'w').close()\n"
    "        time.sleep(2)\n"
    "    return (200, [{'EventNumber': 1, 'Class': 1, 'Code': 2, 'Severity': 'Critical', "
    "'Created': '2026-12-07T00:00:00', 'Updated': '2026-12-07T00:00:00', 'Repaired': 0, "
    "'Message': u'Fan 1 failed', 'RecommendedAction': u'Replace fan 1'}])\n";

class MonitoringThread : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        m_strModDir = m_dir.file("mod");
        ASSERT_EQ(0, mkdir(m_strModDir.c_str(), 0755));
        WriteFile(m_strModDir + "/zavsmsrv.py", kModuleSource);
        const char *p = getenv("PYTHONPATH");
        m_bHadPath = p != nullptr;
        if (p) m_strOldPath = p;
        // Read when the thread starts the interpreter. Python 2 computes its
        // path once per process: ctest runs each test in a process of its own.
        setenv("PYTHONPATH", m_strModDir.c_str(), 1);
        g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_hExitThreadEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_tagTargetEvent[0].wEventClass = 1;
        g_tagTargetEvent[0].wEventCode = 2;
        CaptureIndications();
    }
    void TearDown() override {
        if (m_tid) Stop();
        (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
        (void)CloseHandle(g_hExitThreadEvent);
        g_hExitThreadEvent = nullptr;
        if (m_bHadPath)
            setenv("PYTHONPATH", m_strOldPath.c_str(), 1);
        else
            unsetenv("PYTHONPATH");
        ZavTest::TearDown();
    }
    void Start() {
        m_tid = StartMonitoringThread();
        ASSERT_NE(pthread_t(0), m_tid);
    }
    // Signals the stop, then requires the thread to end and signal its exit.
    void Stop() {
        (void)SetEvent(g_hServerStopEvent.load());
        Join();
    }
    void Join() {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hExitThreadEvent, 60000)) << "the thread did not end";
        (void)pthread_join(m_tid, nullptr);
        m_tid = 0;
    }
    int Count(const std::string &strMessage) {
        int n = 0;
        for (const auto &m : LogMessages()) n += m == strMessage;
        return n;
    }
    // Waits (bounded) until the operation log holds a line n times.
    bool AwaitLine(const std::string &strMessage, int n = 1) {
        for (int i = 0; i < 3000; ++i) {
            if (Count(strMessage) >= n) return true;
            usleep(10000);
        }
        return false;
    }
    bool Exists(const std::string &strPath) { return access(strPath.c_str(), F_OK) == 0; }

    std::string m_strModDir;
    pthread_t m_tid = 0;
    bool m_bHadPath = false;
    std::string m_strOldPath;
};

}  // namespace

TEST_F(MonitoringThread, AStopBeforeTheFirstPollStillLoadsTheStateAndEndsCleanly) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "CheckedTime", "sz:2026-12-01 00:00:00\n");
    (void)SetEvent(g_hServerStopEvent.load());
    Start();
    Join();
    EXPECT_TRUE(LogHas("[Py_Initialize],OK"));
    EXPECT_EQ("2026-12-01 00:00:00", g_strCheckedTime);
    EXPECT_EQ(0, Count("Check"));
    const auto lines = LogMessages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("[ZavMonitoringThread],End", lines.back());
}

TEST_F(MonitoringThread, AStopInTheWaitEndsTheThreadWithThePollRecorded) {
    g_dwMonitoringCycle = 600000;  // ten minutes: only the stop can end this wait
    Start();
    ASSERT_TRUE(AwaitLine("Wait"));
    Stop();
    EXPECT_EQ(1, Count("Check"));
    EXPECT_EQ("sz:2026-12-07 00:00:01\n", ReadValueFile(ZAV_PARAMETERS_KEY, "CheckedTime"));
    EXPECT_EQ("2026-12-07 00:00:01", g_strCheckedTime);
    EXPECT_EQ(1u, g_dwServiceStart);
    EXPECT_EQ("dword:1\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ServiceStart"));
}

TEST_F(MonitoringThread, TheFirstStartFlagIsPersistedOnceOverManyPolls) {
    g_dwMonitoringCycle = 1;
    Start();
    ASSERT_TRUE(AwaitLine("Wait", 6));
    Stop();
    EXPECT_EQ(1, Count("[SetServiceStart],OK"));
    EXPECT_EQ(1u, g_dwServiceStart);
    EXPECT_EQ(1u, g_tagCheckedIml.dwEventNumber);
    // The entry never changes: recorded by the first poll only.
    EXPECT_EQ(1, Count("[CheckAndReportIml],01,0,Critical,01,02"));
}

TEST_F(MonitoringThread, AStopDuringTheFetchSkipsThePassAndRecordsNothing) {
    WriteFile(m_strModDir + "/slow", "");
    g_dwMonitoringCycle = 600000;
    Start();
    for (int i = 0; i < 3000 && !Exists(m_strModDir + "/inside"); ++i) usleep(10000);
    ASSERT_TRUE(Exists(m_strModDir + "/inside"));
    Stop();  // lands while get_iml runs: seen before the pass
    EXPECT_EQ(1, Count("[SearchNewEventNumber],Debug,Start"));
    EXPECT_EQ(0, Count("[CheckAndReportIml],Debug,Start"));
    EXPECT_EQ(0, Count("Wait"));
    EXPECT_FALSE(Exists(ValueFilePath(ZAV_PARAMETERS_KEY, "CheckedTime")));
    EXPECT_EQ("", g_strCheckedTime);
    EXPECT_EQ(0u, g_dwServiceStart);
    EXPECT_TRUE(CapturedIndications().empty());
}
