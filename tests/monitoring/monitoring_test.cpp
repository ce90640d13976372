// The poll against a controller module written by the test: the bridge, the
// new-entry search, the check-and-report pass, the monitoring thread, and long
// runs against a hostile module and the simulated controller.
#include "PyCompat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "LogFile.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "Report.h"
#include "Setting.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

// Returns its DATETIME and IML globals, or raises them when they are exceptions.
const char *kModule =
    "GOOD = {'EventNumber': 7, 'Class': 5, 'Code': 26, 'Severity': 'Critical', 'Created': '2026-12-05T00:00:00Z',\n"
    "        'Updated': '2026-12-06T01:02:03Z', 'Repaired': 0, 'Message': u'Fan 2 failed',\n"
    "        'RecommendedAction': u'Replace fan 2'}\n"
    "DATETIME, IML = (200, '2026-12-06T01:02:03.5'), (200, [GOOD])\n"
    "def _give(v):\n"
    "    if isinstance(v, BaseException):\n"
    "        raise v\n"
    "    return v\n"
    "def get_datetime():\n"
    "    return _give(DATETIME)\n"
    "def get_iml():\n"
    "    return _give(IML)\n";

class Bridge : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        ASSERT_EQ(0, mkdir(Path("mod").c_str(), 0755));
        Write(Path("mod/zavsmsrv.py"), kModule);
        ASSERT_EQ(1, ZavPyInitialize());
        Run("import sys; sys.path.insert(0, '" + Path("mod") + "')");
    }
    void TearDown() override {
        ClearImlList();
        (void)ZavPyFinalize();
        ZavTest::TearDown();
    }
    void Run(const std::string &strCode) { ASSERT_EQ(0, PyRun_SimpleString(strCode.c_str())) << strCode; }
    // One poll's bridge call: "result time record-of-the-first-entry".
    std::string Poll() {
        std::string strTime;
        const int nResult = ExecutePythonScript(strTime);
        EXPECT_EQ(nullptr, PyErr_Occurred()) << "the error indicator is left set";
        PyErr_Clear();
        const std::string s = std::to_string(nResult) + " " + strTime + " " +
                              (g_dwMaxIndex ? MakeDatRecord(g_tagImlList[0], MakeSummary(g_tagImlList[0])) : "");
        ClearImlList();
        return s;
    }
};

}  // namespace

TEST_F(Bridge, EachFieldAndEachCallFailsAloneToItsDefault) {
    const std::string strTime = "2026-12-06 01:02:03 ", strDates = ",2026-12-06 01:02:03,2026-12-05 00:00:00,";
    const std::string strGood = "1 " + strTime + "07,0,Critical,05,1A" + strDates + "Fan 2 failed,Replace fan 2,";
    const std::pair<const char *, std::string> cases[] = {
        {"pass", strGood},
        {"e['Class'] = 127", "1 " + strTime + "07,0,Critical,7F,1A" + strGood.substr(41)},
        {"e['Class'] = 128", "1 " + strTime + "07,0,Critical,00,1A" + strGood.substr(41)},
        {"e['Code'] = 65536", "1 " + strTime + "07,0,Critical,05,00" + strGood.substr(41)},
        {"e['Repaired'] = 2", "1 " + strTime + "07,1" + strGood.substr(26)},
        {"e['EventNumber'] = -5", "1 " + strTime + "00" + strGood.substr(24)},
        {"e['Severity'] = 5", "1 " + strTime + "07,0,,05,1A" + strGood.substr(41)},
        {"e['Message'] = u'Fan\\x002'", "1 " + strTime + "07,0,Critical,05,1A" + strDates + ",Replace fan 2,"},
        {"del e['Created']", "1 " + strTime + "07,0,Critical,05,1A,2026-12-06 01:02:03,,Fan 2 failed,Replace fan 2,"},
        {"e['Updated'] = '2026-12-06'", "1 " + strTime + "07,0,Critical,05,1A,,2026-12-05 00:00:00,Fan 2 failed,Replace fan 2,"},
        {"zavsmsrv.IML = (200, [None, e])", "1 " + strTime + "00,0,,00,00,,,,,"},
        {"zavsmsrv.IML = (200, [])", "0 " + strTime},
        {"zavsmsrv.IML = (500, [e])", "0 " + strTime},
        {"zavsmsrv.IML = (200, None)", "0 " + strTime},
        {"zavsmsrv.IML = 'text'", "0 " + strTime},
        {"zavsmsrv.IML = RuntimeError('busy')", "0 " + strTime},
        {"zavsmsrv.DATETIME = (500, '2026-12-06T01:02:03')", "0  "},
        {"zavsmsrv.DATETIME = (404, '2026-12-06T01:02:03')", "0  "},
        {"zavsmsrv.DATETIME = (200, '2026-12-06T01:02:0')", "0  "},
        {"zavsmsrv.DATETIME = (200, None)", "0  "},
        {"zavsmsrv.DATETIME = ValueError('no clock')", "0  "},
    };
    for (const auto &c : cases) {
        Run(std::string("import zavsmsrv\ne = dict(zavsmsrv.GOOD)\nzavsmsrv.IML = (200, [e])\n"
                        "zavsmsrv.DATETIME = (200, '2026-12-06T01:02:03')\n") + c.first);
        EXPECT_EQ(c.second, Poll()) << c.first;
    }
    EXPECT_EQ("2026-12-06 01:02:03", g_strServiceStartTime) << "the first clock reading";
}

// The module runs as root: one that anyone could have written is not used.
TEST_F(Bridge, AWorldWritableModuleFolderOrFileIsRefused) {
    const struct {
        mode_t dir, file;
        std::string strResult, strLine;
    } cases[] = {{0777, 0644, "0  ", "World-writable " + Path("mod")},
                 {0755, 0666, "0  ", "World-writable " + Path("mod/zavsmsrv.py")},
                 {0775, 0664, "1 2026-12-06 01:02:03 ", ""}};
    for (const auto &c : cases) {
        ASSERT_EQ(0, chmod(Path("mod").c_str(), c.dir));
        ASSERT_EQ(0, chmod(Path("mod/zavsmsrv.py").c_str(), c.file));
        EXPECT_EQ(c.strResult, Poll().substr(0, c.strResult.size())) << c.strLine;
        EXPECT_EQ(!c.strLine.empty(), LogHas("[PyImport_ImportModule],Error," + c.strLine)) << c.strLine;
    }
}

namespace {

IMLINFO E(DWORD dwNumber, const std::string &strCreated, const std::string &strUpdated,
          const std::string &strSeverity = "Critical", DWORD dwRepaired = 0) {
    IMLINFO t = Entry(dwNumber, 1, 2, strSeverity, dwRepaired, strCreated, strUpdated);
    t.strMessage = "msg" + std::to_string(dwNumber);
    t.strRecommendedAction = "act" + std::to_string(dwNumber);
    return t;
}

class Pass : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        g_tagTargetEvent[0].wEventClass = 1;
        g_tagTargetEvent[0].wEventCode = 2;
    }
    void List(const std::vector<IMLINFO> &v) {
        ASSERT_EQ(1, AllocImlList(DWORD(v.size())));
        std::copy(v.begin(), v.end(), g_tagImlList);
    }
    static std::string Record(const IMLINFO &t) { return MakeDatRecord(t, MakeSummary(t)) + "\n"; }
};

std::vector<IMLINFO> Ten() {
    std::vector<IMLINFO> v;
    for (int i = 0; i < 10; ++i) v.push_back(E(DWORD(i + 1), T(10 + i), T(10 + i)));
    return v;
}

}  // namespace

TEST_F(Pass, TheSearchFindsTheEntryAfterTheCheckedOneElseDecidesByTime) {
    std::vector<IMLINFO> vecReused = Ten();  // index 2 reuses the checked number; index 5 is never looked at
    vecReused[2] = E(42, T(12), T(12));
    vecReused[5] = E(42, T(30), T(30));
    IMLINFO tagFifthUpdated = Ten()[4];
    tagFifthUpdated.strUpdated = T(59);
    const struct {
        DWORD dwStart;
        IMLINFO tagChecked;
        std::string strCheckedTime;
        std::vector<IMLINFO> vecList;
        int nResult;
        DWORD dwIndex;
    } cases[] = {
        {0, Ten()[4], T(15), Ten(), 1, 0},         {1, IMLINFO(), T(15), Ten(), 1, 0},
        {1, tagFifthUpdated, "", Ten(), 1, 5},     {1, Ten()[9], "", Ten(), 1, 10},
        {1, E(99, T(13), T(13)), T(13), Ten(), 1, 3}, {1, E(42, T(30), T(30)), T(14), vecReused, 1, 4},
        {1, E(99, T(13), T(13)), "", Ten(), 0, 77}, {1, E(99, T(0), T(0)), T(59), Ten(), 1, 10},
    };
    for (const auto &c : cases) {
        List(c.vecList);
        g_dwServiceStart = c.dwStart;
        g_tagCheckedIml = c.tagChecked;
        g_strCheckedTime = c.strCheckedTime;
        g_dwNewEventIndex = 77;
        EXPECT_EQ(c.nResult, SearchNewEventNumber()) << "case " << &c - cases;
        EXPECT_EQ(c.dwIndex, g_dwNewEventIndex) << "case " << &c - cases;
    }
}

TEST_F(Pass, NewEntriesAreRecordedReportedAndCheckedInTurn) {
    std::vector<IMLINFO> v = {E(1, T(1), T(1)), E(2, T(2), T(2)), E(3, T(3), T(3), "Warning", 1), E(4, T(4), T(4))};
    v[3].wEventCode = 3;  // not in the table: recorded and checked only
    List(v);
    g_tagCheckedIml = v[0];
    g_dwNewEventIndex = 1;
    g_strServiceStartTime = T(3);  // the first pass: entries updated before the service start are past
    CheckAndReportIml();
    EXPECT_EQ(1, g_bCurrentReport) << "later passes are all current";
    EXPECT_EQ(Record(v[1]) + Record(v[2]) + Record(v[3]), Read(g_strZavDir + "/log/zavsmsel.log"));
    const std::vector<std::string> vecSent = {
        "C000057F type=1 n=5 r=0/2/0 ZAVCommonService||Date : " + T(2) +
            "\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Critical\nDescription : msg2\nRecommended Action : act2|||",
        "40008102 type=4 n=2 r=0/2/0 ZAVCommonService|Date : " + T(3) +
            "\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Repaired\nDescription : msg3\n||||"};
    EXPECT_EQ(vecSent, Indications());
    EXPECT_EQ("dword:4\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")));
}

TEST_F(Pass, AnOldUpdatedEntryIsReportedAgainButOnlyTheLastIsStored) {
    g_bCurrentReport = 1;
    g_strCheckedTime = T(50);
    const std::vector<IMLINFO> v = {E(1, T(1), T(60)), E(2, T(2), T(40)), E(3, T(3), T(55), "Warning")};
    List(v);
    g_tagCheckedIml = E(3, T(3), T(45), "Warning");
    g_dwNewEventIndex = 3;
    CheckAndReportIml();
    EXPECT_EQ(Record(v[0]) + Record(v[2]), Read(g_strZavDir + "/log/zavsmsel.log"));
    ASSERT_EQ(2u, Indications().size());
    EXPECT_EQ("sz:" + T(55) + "\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadUpdated")));
    EXPECT_EQ(3u, g_tagCheckedIml.dwEventNumber);
}

namespace {

// The service's two threads: this one stands for the main thread.
class MonitoringThread : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        ASSERT_EQ(0, mkdir(Path("mod").c_str(), 0755));
        Write(Path("mod/zavsmsrv.py"), kModule);
        // Read when the thread starts the interpreter (each test runs in a process of its own).
        setenv("PYTHONPATH", Path("mod").c_str(), 1);
        g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_hExitThreadEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_tagTargetEvent[0] = {5, 26, "", "", ""};
    }
    void TearDown() override {
        if (m_tid) Stop();
        (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
        (void)CloseHandle(g_hExitThreadEvent);
        unsetenv("PYTHONPATH");
        ZavTest::TearDown();
    }
    void Start() { ASSERT_NE(pthread_t(0), m_tid = StartMonitoringThread()); }
    void Stop() {
        (void)SetEvent(g_hServerStopEvent.load());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hExitThreadEvent, 60000)) << "the thread did not end";
        (void)pthread_join(m_tid, nullptr);
        m_tid = 0;
    }
    int Count(const std::string &strLine) {
        const std::vector<std::string> v = Log();
        return int(std::count(v.begin(), v.end(), strLine));
    }
    pthread_t m_tid = 0;
};

}  // namespace

TEST_F(MonitoringThread, AStopBeforeTheFirstPollLoadsTheStateAndEndsTheThread) {
    SetValue(ZAV_PARAMETERS_KEY, "CheckedTime", "sz:2026-12-01 00:00:00\n");
    (void)SetEvent(g_hServerStopEvent.load());
    Start();
    Stop();
    EXPECT_EQ("2026-12-01 00:00:00", g_strCheckedTime);
    EXPECT_EQ(0, Count("Check"));
    EXPECT_EQ("[ZavMonitoringThread],End", Log().back());
}

TEST_F(MonitoringThread, AStopInTheWaitEndsTheThreadWithThePollRecorded) {
    g_dwMonitoringCycle = 600000;  // only the stop can end this wait
    Start();
    for (int i = 0; i < 3000 && Count("Wait") == 0; ++i) usleep(10000);
    Stop();
    EXPECT_EQ(1, Count("Check"));
    EXPECT_EQ("sz:2026-12-06 01:02:03\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "CheckedTime")));
    EXPECT_EQ("dword:1\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ServiceStart")));
    EXPECT_EQ("dword:7\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")));
    EXPECT_EQ(std::vector<std::string>{"C000851A type=1 n=2 r=0/2/0 ZAVCommonService|Date : 2026-12-06 01:02:03\n"
                                       "Event Class : 0x05\nEvent Code : 0x1A\nStatus : Critical\nDescription : "
                                       "Fan 2 failed\nRecommended Action : Replace fan 2||||"},
              Indications());
}

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    return 0;
}

// Thousands of polls, with the registry on a memory file system.
class PollEndurance : public ZavTest {
protected:
    PollEndurance() { m_strBase = "/dev/shm"; }
    void StartInterpreter(const std::string &strModuleDir) {
        g_dwLogLevel = 1;
        g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_tagTargetEvent[0] = {1, 1, "", "", ""};
        ASSERT_EQ(1, ZavPyInitialize());
        ASSERT_EQ(1, ZavPyRunStatement(("import sys; sys.path.insert(0, '" + strModuleDir + "')").c_str()));
    }
    void TearDown() override {
        (void)ZavPyFinalize();
        (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
        ZavTest::TearDown();
    }
    static int Polls(const char *pszVariable, int nDefault) {
        const char *p = getenv(pszVariable);
        return p ? atoi(p) : nDefault;
    }
};

long ObjectCount() {
    PyRef module(PyImport_ImportModule("zavsmsrv"));
    PyRef result(module ? PyObject_CallMethod(module.get(), const_cast<char *>("object_count"), nullptr) : nullptr);
    return result ? PyLong_AsLong(result.get()) : -1;
}

}  // namespace

// Wrong types everywhere, huge, deep and cyclic objects, NULs, exceptions from
// every call: no crash, no error left set, no growing object count.
TEST_F(PollEndurance, MalformedResultsNeverCrashLeakOrLeaveAnError) {
    StartInterpreter(ZAV_TEST_SOURCE_DIR "/tests/monitoring/hostile");
    const int nPolls = Polls("ZAV_HOSTILE_POLLS", 1500);
    long nWarm = 0, nGood = 0;
    for (int i = 1; i <= nPolls; ++i) {
        g_dwServiceStart = i % 3 == 0 ? 0 : 1;  // first-start and restart paths both
        ASSERT_EQ(1, MonitoringPoll()) << "poll " << i;
        ASSERT_EQ(nullptr, PyErr_Occurred()) << "poll " << i << " left an interpreter error";
        ASSERT_EQ(0u, g_dwMaxIndex);
        nGood += !g_strCheckedTime.empty();
        ASSERT_TRUE(g_strCheckedTime.empty() || g_strCheckedTime.size() == 19u) << g_strCheckedTime;
        if (i == nPolls / 10) nWarm = ObjectCount();
    }
    EXPECT_GT(nGood, 0) << "no poll succeeded: the pass went untested";
    ASSERT_GT(nWarm, 0);
    EXPECT_LT(ObjectCount() - nWarm, nPolls / 4) << "interpreter objects grow";  // a leak per poll adds 0.9 * nPolls
}

// The simulated controller in a steady state (100 entries, nothing new).
TEST_F(PollEndurance, SteadyPollsKeepResidentSizeFlat) {
    ASSERT_EQ(0, system(("mkdir -p '" + Path("inst/bin") + "' && cp '" ZAV_TEST_SOURCE_DIR "/controller/zavsmsrv.py' '" +
                         Path("inst/bin") + "/'").c_str()));
    std::string strEntries;
    char buf[400];
    for (int i = 1; i <= 100; ++i)
        strEntries.append(buf, size_t(snprintf(buf, sizeof buf,
            "%s{\"EventNumber\": %d, \"Class\": 1, \"Code\": %d, \"Severity\": \"Critical\", \"Created\": "
            "\"2026-12-07T00:%02d:%02d\", \"Updated\": \"2026-12-07T00:%02d:%02d\", \"Repaired\": 0, \"Message\": "
            "\"\\u30d5\\u30a1\\u30f3 %d failed\", \"RecommendedAction\": \"Replace it\"}",
            i == 1 ? "" : ", ", i, i, i / 60, i % 60, i / 60, i % 60, i)));
    Write(Path("inst/data/iml-sim.json"), "{\"clock\": \"2026-12-08T00:00:00\", \"entries\": [" + strEntries + "]}");
    StartInterpreter(Path("inst/bin"));
#ifdef ZAV_TEST_SANITIZED
    const int nPolls = Polls("ZAV_STEADY_POLLS", 1000);  // the sanitizer's quarantine grows anyway
#else
    const int nPolls = Polls("ZAV_STEADY_POLLS", 10000);
#endif
    long nRss100 = 0;
    for (int i = 1; i <= nPolls; ++i) {
        ASSERT_EQ(1, MonitoringPoll());
        ASSERT_EQ(100u, g_tagCheckedIml.dwEventNumber) << "poll " << i;
        if (i == 100) nRss100 = RssKb();
    }
    EXPECT_EQ("2026-12-08 00:00:00", g_strCheckedTime);
#ifdef ZAV_TEST_SANITIZED
    GTEST_SKIP() << "resident size is not measured under a sanitizer (leaks are: at exit)";
#endif
    ASSERT_GT(nRss100, 0);
    EXPECT_LE(RssKb(), nRss100 + nRss100 / 20) << "KB after 100 polls: " << nRss100;
}
