// The poll against a controller module written by the test: the bridge, the
// new-entry search, the check-and-report pass, the monitoring thread, and long
// runs against a hostile module and the simulated controller.
#include "PyCompat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "CheckedState.h"
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
    "get_datetime = lambda: _give(DATETIME)\n"
    "get_iml = lambda: _give(IML)\n";

// A scratch install whose controller module is kModule in mod/.
class ModuleTest : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        ASSERT_EQ(0, system(("mkdir '" + Path("mod") + "'").c_str()));
        Write(Path("mod/zavsmsrv.py"), kModule);
    }
};

class Bridge : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(1, ZavPyInitialize());
        Run("import sys; sys.path.insert(0, '" + Path("mod") + "')");
    }
    void TearDown() override {
        (void)ZavPyFinalize();
        ZavTest::TearDown();
    }
    void Run(const std::string &strCode) { ASSERT_EQ(0, PyRun_SimpleString(strCode.c_str())) << strCode; }
    // One poll's bridge call: "result time record-of-the-first-entry".
    std::string Poll() {
        POLLRESULT tagPoll;
        const int nResult = ExecutePythonScript(tagPoll, m_tagList, m_strStartTime);
        EXPECT_EQ(nullptr, PyErr_Occurred()) << "the error indicator is left set";
        PyErr_Clear();
        const IMLINFO *p = m_tagList.dwMaxIndex ? &m_tagList.vecRecords[0] : nullptr;
        const std::string s = std::to_string(nResult) + " " + tagPoll.strTime + " " + (p ? MakeDatRecord(*p, MakeSummary(*p)) : "");
        ClearImlList(m_tagList);
        return s;
    }
    IMLLIST m_tagList;
    std::string m_strStartTime;
};

}  // namespace

TEST_F(Bridge, EachFieldAndEachCallFailsAloneToItsDefault) {
    const std::string strOk = "1 2026-12-06 01:02:03 ", strDates = ",2026-12-06 01:02:03,2026-12-05 00:00:00,";
    const std::string strTexts = strDates + "Fan 2 failed,Replace fan 2,", strFailed = "0 2026-12-06 01:02:03 ";
    const std::pair<const char *, std::string> cases[] = {
        {"pass", strOk + "07,0,Critical,05,1A" + strTexts}, {"e['Class'] = 127", strOk + "07,0,Critical,7F,1A" + strTexts},
        {"e['Class'] = 128", strOk + "07,0,Critical,00,1A" + strTexts},
        {"e['Code'] = 65536", strOk + "07,0,Critical,05,00" + strTexts},
        {"e['Repaired'] = 2", strOk + "07,1,Critical,05,1A" + strTexts},
        {"e['EventNumber'] = -5", strOk + "00,0,Critical,05,1A" + strTexts},
        {"e['Severity'] = 5", strOk + "07,0,,05,1A" + strTexts},
        {"e['Message'] = u'Fan\\x002'", strOk + "07,0,Critical,05,1A" + strDates + ",Replace fan 2,"},
        {"e['Message'] = u'\\u30d5\\u30a1\\u30f3 2'", strOk + "07,0,Critical,05,1A" + strDates + "\xA5\xD5\xA5\xA1\xA5\xF3 2,Replace fan 2,"},
        {"del e['Created']", strOk + "07,0,Critical,05,1A,2026-12-06 01:02:03,,Fan 2 failed,Replace fan 2,"},
        {"e['Updated'] = '2026-12-06'", strOk + "07,0,Critical,05,1A,,2026-12-05 00:00:00,Fan 2 failed,Replace fan 2,"},
        {"zavsmsrv.IML = (200, [None, e])", strOk + "00,0,,00,00,,,,,"}, {"zavsmsrv.IML = (200, [])", strFailed},
        {"zavsmsrv.IML = (500, [e])", strFailed}, {"zavsmsrv.IML = (200, None)", strFailed},
        {"zavsmsrv.IML = 'text'", strFailed}, {"zavsmsrv.IML = RuntimeError('busy')", strFailed},
        {"zavsmsrv.DATETIME = (500, '2026-12-06T01:02:03')", "0  "},
        {"zavsmsrv.DATETIME = (404, '2026-12-06T01:02:03')", "0  "},
        {"zavsmsrv.DATETIME = (200, '2026-12-06T01:02:0')", "0  "}, {"zavsmsrv.DATETIME = (200, None)", "0  "},
        {"zavsmsrv.DATETIME = ValueError('no clock')", "0  "},
    };
    for (const auto &c : cases) {
        Run(std::string("import zavsmsrv\ne = dict(zavsmsrv.GOOD)\nzavsmsrv.IML = (200, [e])\n"
                        "zavsmsrv.DATETIME = (200, '2026-12-06T01:02:03')\n") + c.first);
        EXPECT_EQ(c.second, Poll()) << c.first;
    }
}

// How each call ended ("end/status" for the clock, then the list) and the entries read, for the poll's counts.
TEST_F(Bridge, EachCallSaysHowItEnded) {
    const std::pair<const char *, std::string> cases[] = {
        {"", "1/200 1/200 1"}, {"zavsmsrv.IML = (500, [e])", "1/200 1/500 0"},
        {"zavsmsrv.IML = (200, None)", "1/200 3/0 0"}, {"zavsmsrv.IML = 'text'", "1/200 3/0 0"},
        {"zavsmsrv.IML = RuntimeError('busy')", "1/200 2/0 0"}, {"zavsmsrv.IML = (200, [e, e])", "1/200 1/200 2"},
        {"zavsmsrv.DATETIME = ValueError('no clock')", "2/0 0/0 0"}, {"zavsmsrv.DATETIME = (200, None)", "3/0 0/0 0"},
        {"zavsmsrv.DATETIME = (404, '2026-12-06T01:02:03')", "1/404 0/0 0"},
    };
    for (const auto &c : cases) {
        Run(std::string("import zavsmsrv\ne = dict(zavsmsrv.GOOD)\nzavsmsrv.IML = (200, [e])\n"
                        "zavsmsrv.DATETIME = (200, '2026-12-06T01:02:03')\n") + c.first);
        POLLRESULT r;
        (void)ExecutePythonScript(r, m_tagList, m_strStartTime);
        PyErr_Clear();
        ClearImlList(m_tagList);
        const CALLSTATUS &d = r.tagDateTimeCall, &i = r.tagImlCall;
        EXPECT_EQ(c.second, std::to_string(d.nEnd) + "/" + std::to_string(d.nStatus) + " " + std::to_string(i.nEnd) +
                                "/" + std::to_string(i.nStatus) + " " + std::to_string(r.dwEntries)) << c.first;
    }
}

// The module runs as root: one that anyone could have written is not used.
TEST_F(Bridge, AWorldWritableModuleFolderOrFileIsRefused) {
    const std::pair<std::string, mode_t> cases[] = {{Path("mod"), 0777}, {Path("mod/zavsmsrv.py"), 0666}, {"", 0}};
    for (const auto &c : cases) {
        ASSERT_EQ(0, chmod(Path("mod").c_str(), c.second == 0777 ? 0777 : 0775));
        ASSERT_EQ(0, chmod(Path("mod/zavsmsrv.py").c_str(), c.second == 0666 ? 0666 : 0664));
        EXPECT_EQ(c.first.empty() ? '1' : '0', Poll()[0]) << c.first;
        EXPECT_EQ(!c.first.empty(), LogHas("[PyImport_ImportModule],Error,World-writable " + c.first)) << c.first;
    }
}

// The list is kept between polls: a walk cut short (here the list shrinks
// under it) must leave the records it did not reach empty, not as last time.
TEST_F(Bridge, RecordsAWalkDidNotReachAreEmpty) {
    Run("import zavsmsrv\nzavsmsrv.IML = (200, [zavsmsrv.GOOD, zavsmsrv.GOOD])");
    ASSERT_EQ('1', Poll()[0]);
    Run("class K(object):\n    __hash__ = lambda s: hash('EventNumber')\n"
        "    __eq__ = lambda s, o: zavsmsrv.IML[1].pop() and False\n"
        "d = {K(): 0}\nd.update(zavsmsrv.GOOD)\nzavsmsrv.IML = (200, [d, dict(zavsmsrv.GOOD)])");
    POLLRESULT tagPoll;
    ASSERT_EQ(1, ExecutePythonScript(tagPoll, m_tagList, m_strStartTime));
    ASSERT_EQ(2u, m_tagList.dwMaxIndex);
    const std::vector<IMLINFO> &v = m_tagList.vecRecords;
    EXPECT_EQ("07,00,", MakeSummary(v[0]).substr(0, 3) + MakeSummary(v[1]).substr(0, 3));
    EXPECT_EQ("", v[1].strMessage);
    ClearImlList(m_tagList);
}

namespace {

IMLINFO E(DWORD dwNumber, int nCreated, int nUpdated, const std::string &strSeverity = "Critical", DWORD dwRep = 0) {
    const std::string n = std::to_string(dwNumber);
    return IMLINFO{dwNumber, T(nCreated), T(nUpdated), 1, 2, dwRep, strSeverity, "msg" + n, "act" + n};
}

class Pass : public ZavTest {
protected:
    void List(const std::vector<IMLINFO> &v, const IMLINFO &tagChecked, DWORD dwNewIndex) {
        g_tagTargetEvent[0] = {1, 2, "", "", ""};
        ASSERT_EQ(1, AllocImlList(m_tagList, DWORD(v.size())));
        std::copy(v.begin(), v.end(), m_tagList.vecRecords.begin());
        m_tagChecked.tagIml = tagChecked;
        m_dwNewIndex = dwNewIndex;
    }
    void CheckAndReport(const std::string &strServiceStartTime = "") {
        CheckAndReportIml(m_tagList, m_dwNewIndex, m_tagChecked, strServiceStartTime, m_vecOutcomes);
    }
    // What the pass decided, one text an entry: "state recorded/target/past report-reason event-ID".
    std::vector<std::string> Outcomes() const {
        std::vector<std::string> out;
        for (const ENTRYOUTCOME &o : m_vecOutcomes) {
            char sz[64];
            snprintf(sz, sizeof sz, "%u:%u %d %d%d%d %d %08X %d s%d", unsigned(o.dwIndex), unsigned(o.dwEventNumber),
                     o.nState, o.bRecorded, o.bTarget, o.bPast, o.nReport, unsigned(o.dwEventID), o.bStored, o.nSeverity);
            out.push_back(sz + std::string(o.strMessage.empty() ? "" : " +message"));
        }
        return out;
    }
    IMLLIST m_tagList;
    CHECKEDSTATE m_tagChecked;
    DWORD m_dwNewIndex = 0;
    std::vector<ENTRYOUTCOME> m_vecOutcomes;
    static std::string Record(const IMLINFO &t) { return MakeDatRecord(t, MakeSummary(t)) + "\n"; }
    std::string Dat() { return Read(g_strZavDir + "/log/zavsmsel.log"); }
};

std::vector<IMLINFO> Ten(int nReplaced = -1, const IMLINFO &tagBy = IMLINFO()) {
    std::vector<IMLINFO> v;
    for (int i = 0; i < 10; ++i) v.push_back(i == nReplaced ? tagBy : E(DWORD(i + 1), 10 + i, 10 + i));
    return v;
}

}  // namespace

TEST_F(Pass, TheSearchFindsTheEntryAfterTheCheckedOneElseDecidesByTime) {
    std::vector<IMLINFO> vecReused = Ten(2, E(42, 12, 12));  // the checked number reused: index 5 is never looked at
    vecReused[5] = E(42, 30, 30);
    const struct { DWORD dwStart; IMLINFO tagChecked; std::string strTime; std::vector<IMLINFO> vecList; std::string strResult; } cases[] = {
        {0, E(5, 14, 14), T(15), Ten(), "1 0"}, {1, IMLINFO(), T(15), Ten(), "1 0"}, {1, E(5, 14, 59, "OK", 1), "", Ten(), "1 5"},
        {1, E(10, 19, 19), "", Ten(), "1 10"}, {1, E(99, 13, 13), T(13), Ten(), "1 3"}, {1, E(42, 30, 30), T(14), vecReused, "1 4"},
        {1, E(99, 13, 13), "", Ten(), "0 77"}, {1, E(99, 0, 0), T(59), Ten(), "1 10"},
    };
    for (const auto &c : cases) {
        List(c.vecList, c.tagChecked, 77);
        m_tagChecked.dwServiceStart = c.dwStart;
        m_tagChecked.strTime = c.strTime;
        const int nResult = SearchNewEventNumber(m_tagList, m_tagChecked, m_dwNewIndex);
        EXPECT_EQ(c.strResult, std::to_string(nResult) + " " + std::to_string(m_dwNewIndex)) << "case " << &c - cases;
    }
}

TEST_F(Pass, NewEntriesAreRecordedReportedAndCheckedInTurn) {
    std::vector<IMLINFO> v = {E(1, 1, 1), E(2, 2, 2), E(3, 3, 3, "Warning", 1), E(4, 4, 4)};
    v[3].wEventCode = 3;  // not in the table: recorded and checked only
    List(v, v[0], 1);
    CheckAndReport(T(3));  // the first pass: entries updated before the service start are past
    EXPECT_EQ(1, g_bCurrentReport) << "later passes are all current";
    EXPECT_EQ(Record(v[1]) + Record(v[2]) + Record(v[3]), Dat());
    const std::vector<std::string> vecSent = {
        "C000057F type=1 n=5 r=0/2/0 ZAVCommonService||Date : " + T(2) +
            "\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Critical\nDescription : msg2\nRecommended Action : act2|||",
        "40008102 type=4 n=2 r=0/2/0 ZAVCommonService|Date : " + T(3) +
            "\nEvent Class : 0x01\nEvent Code : 0x02\nStatus : Repaired\nDescription : msg3\n||||"};
    EXPECT_EQ(vecSent, Indications());
    EXPECT_EQ("dword:4\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")));
    const std::vector<std::string> vecDecided = {"0:1 0 000 0 00000000 0 s0", "1:2 1 111 1 C000057F 1 s3 +message",
                                                 "2:3 1 110 1 40008102 1 s4 +message", "3:4 1 100 2 00000000 1 s3"};
    EXPECT_EQ(vecDecided, Outcomes());
}

TEST_F(Pass, AnOldUpdatedEntryIsReportedAgainButOnlyTheLastIsStored) {
    g_bCurrentReport = 1;
    m_tagChecked.strTime = T(50);
    const std::vector<IMLINFO> v = {E(1, 1, 60), E(2, 2, 40), E(3, 3, 55, "Warning")};
    List(v, E(3, 3, 45, "Warning"), 3);
    CheckAndReport();
    EXPECT_EQ(Record(v[0]) + Record(v[2]), Dat());
    EXPECT_EQ(2u, Indications().size());
    EXPECT_EQ("dword:3\nsz:" + T(55) + "\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")) +
                                                Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadUpdated")));
}

namespace {

// The service's two threads: this one stands for the main thread.
class MonitoringThread : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        setenv("PYTHONPATH", Path("mod").c_str(), 1);  // read when the thread starts the interpreter
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
    void Start() {
        m_tagArgs = {&m_tagChecked, g_hExitThreadEvent};
        ASSERT_NE(pthread_t(0), m_tid = StartMonitoringThread(m_tagArgs));
    }
    void Stop() {
        (void)SetEvent(g_hServerStopEvent.load());
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_hExitThreadEvent, 60000)) << "the thread did not end";
        (void)pthread_join(m_tid, nullptr);
        m_tid = 0;
    }
    pthread_t m_tid = 0;
    CHECKEDSTATE m_tagChecked;
    MONITORINGARGS m_tagArgs{};
};

}  // namespace

TEST_F(MonitoringThread, AStopBeforeTheFirstPollLoadsTheStateAndEndsTheThread) {
    SetValue(ZAV_PARAMETERS_KEY, "CheckedTime", "sz:2026-12-01 00:00:00\n");
    (void)SetEvent(g_hServerStopEvent.load());
    Start();
    Stop();
    EXPECT_EQ("2026-12-01 00:00:00", m_tagChecked.strTime);
    EXPECT_FALSE(LogHas("Check"));
    EXPECT_EQ("[ZavMonitoringThread],End", Log().back());
}

TEST_F(MonitoringThread, AStopInTheWaitEndsTheThreadWithThePollRecorded) {
    g_dwMonitoringCycle = 600000;  // only the stop can end this wait
    Start();
    for (int i = 0; i < 3000 && !LogHas("Wait"); ++i) usleep(10000);
    Stop();
    const std::vector<std::string> vecLog = Log();
    EXPECT_EQ(1, std::count(vecLog.begin(), vecLog.end(), "Check"));
    EXPECT_EQ("sz:2026-12-06 01:02:03\ndword:1\ndword:7\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "CheckedTime")) +
              Read(ValuePath(ZAV_PARAMETERS_KEY, "ServiceStart")) + Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")));
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
        ASSERT_EQ(0, PyRun_SimpleString(("import sys; sys.path.insert(0, '" + strModuleDir + "')").c_str()));
    }
    void TearDown() override {
        (void)ZavPyFinalize();
        (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
        ZavTest::TearDown();
    }
    static int Polls(const char *pszVariable, int nDefault) { return getenv(pszVariable) ? atoi(getenv(pszVariable)) : nDefault; }
    POLLSTATE m_tagState;
    CHECKEDSTATE m_tagChecked;
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
        m_tagChecked.dwServiceStart = i % 3 == 0 ? 0 : 1;  // first-start and restart paths both
        ASSERT_EQ(1, MonitoringPoll(m_tagState, m_tagChecked)) << "poll " << i;
        ASSERT_EQ(nullptr, PyErr_Occurred()) << "poll " << i << " left an interpreter error";
        ASSERT_EQ(0u, m_tagState.tagImlList.dwMaxIndex);
        const std::string &strTime = m_tagChecked.strTime;
        nGood += !strTime.empty();
        ASSERT_TRUE(strTime.empty() || strTime.size() == 19u) << strTime;
        if (i == nPolls / 10) nWarm = ObjectCount();
    }
    EXPECT_GT(nGood, 0) << "no poll succeeded: the pass went untested";
    ASSERT_GT(nWarm, 0);
    EXPECT_LT(ObjectCount() - nWarm, nPolls / 4) << "interpreter objects grow";  // one a poll would add 0.9 * nPolls
}

// The simulated controller in a steady state (100 entries, nothing new).
TEST_F(PollEndurance, SteadyPollsKeepResidentSizeFlat) {
    ASSERT_EQ(0, system(("mkdir -p '" + Path("inst/bin") + "' && cp '" ZAV_TEST_SOURCE_DIR "/controller/'*.py '" +
                         Path("inst/bin") + "/'").c_str()));
    StartInterpreter(Path("inst/bin"));
    ASSERT_EQ(0, PyRun_SimpleString(("import json\nt = lambda i: '2026-12-07T00:%02d:%02d' % divmod(i, 60)\n"
        "e = [{'EventNumber': i, 'Class': 1, 'Code': i, 'Severity': 'Critical', 'Created': t(i), 'Updated': t(i), "
        "'Repaired': 0, 'Message': u'\\u30d5\\u30a1\\u30f3 %d failed' % i, 'RecommendedAction': u'Replace it'} "
        "for i in range(1, 101)]\nopen('" + Path("inst/data/iml-sim.json") + "', 'w').write(json.dumps("
        "{'clock': '2026-12-08T00:00:00', 'entries': e}))").c_str()));
#ifdef ZAV_TEST_SANITIZED
    const int nPolls = Polls("ZAV_STEADY_POLLS", 1000);  // the sanitizer's quarantine grows anyway
#else
    const int nPolls = Polls("ZAV_STEADY_POLLS", 10000);
#endif
    long nRss100 = 0;
    for (int i = 1; i <= nPolls; ++i) {
        ASSERT_EQ(1, MonitoringPoll(m_tagState, m_tagChecked));
        ASSERT_EQ(100u, m_tagChecked.tagIml.dwEventNumber) << "poll " << i;
        nRss100 = i == 100 ? RssKb() : nRss100;
    }
    EXPECT_EQ("2026-12-08 00:00:00", m_tagChecked.strTime);
#ifdef ZAV_TEST_SANITIZED
    GTEST_SKIP() << "resident size is not measured under a sanitizer (leaks are: at exit)";
#endif
    ASSERT_GT(nRss100, 0);
    EXPECT_LE(RssKb(), nRss100 + nRss100 / 20) << "KB after 100 polls: " << nRss100;
}
