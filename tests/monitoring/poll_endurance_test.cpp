// Long runs of the poll in-process.
//
// Thousands of polls against a controller module whose results are randomly
// malformed (wrong types everywhere, huge and empty lists, deep and cyclic
// objects, NULs, unpaired surrogates, exceptions, a key lookup that empties
// the list being walked): nothing crashes, the interpreter's error indicator
// is clear after every poll, and the interpreter's object count does not keep
// growing. (Resident memory is not a measure here: the interpreter's own
// arenas fragment under this load; the steady-state memory test covers it.)
#include "PyCompat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "LogFile.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "Report.h"
#include "Setting.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return 0;
}

long ObjectCount() {
    PyRef module(PyImport_ImportModule("zavsmsrv"));
    if (!module) return -1;
    PyRef result(PyObject_CallMethod(module.get(), const_cast<char *>("object_count"), nullptr));
    if (!result) return -1;
    return PyLong_AsLong(result.get());
}

class PollEndurance : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        // Registry writes on tmpfs: this test is about the bridge, not the disk.
        char tmpl[] = "/dev/shm/zavhostile-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        m_strShm = tmpl;
        ASSERT_EQ(0, system(("mkdir -p '" + m_strShm +
                             "/HKEY_LOCAL_MACHINE/SYSTEM/CURRENTCONTROLSET/SERVICES/ZAVSYSTEMMANAGEMENTSERVICE/"
                             "PARAMETERS'")
                                .c_str()));
        SetRegistryRoot(m_strShm);
        g_dwLogLevel = 1;  // errors only: thousands of polls
        g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
        g_tagTargetEvent[0].wEventClass = 1;
        g_tagTargetEvent[0].wEventCode = 1;
        CaptureIndications();
    }
    void StartInterpreter(const std::string &strModuleDir) {
        ASSERT_EQ(1, ZavPyInitialize());
        const std::string stmt = "import sys; sys.path.insert(0, '" + strModuleDir + "')";
        ASSERT_EQ(1, ZavPyRunStatement(stmt.c_str()));
    }
    void TearDown() override {
        (void)ZavPyFinalize();
        (void)CloseHandle(g_hServerStopEvent.exchange(nullptr));
        (void)system(("rm -rf '" + m_strShm + "'").c_str());
        ZavTest::TearDown();
    }
    std::string m_strShm;
};

TEST_F(PollEndurance, MalformedResultsNeverCrashLeakOrLeaveAnError) {
    StartInterpreter(std::string(ZAV_TEST_SOURCE_DIR) + "/tests/monitoring/hostile");
    const char *env = getenv("ZAV_HOSTILE_POLLS");
    const int nPolls = env ? atoi(env) : 1500;
    const int nWarm = nPolls / 10;
    long objectsWarm = 0;
    int nGood = 0;
    for (int i = 1; i <= nPolls; ++i) {
        g_dwServiceStart = (i % 3 == 0) ? 0 : 1;  // first-start and restart paths both
        if (MonitoringPoll() != 1) FAIL() << "poll " << i << " saw a stop request";
        ASSERT_EQ(nullptr, PyErr_Occurred()) << "poll " << i << " left an interpreter error";
        ASSERT_EQ(nullptr, g_tagImlList);
        ASSERT_EQ(0u, g_dwMaxIndex);
        if (!g_strCheckedTime.empty()) {
            ++nGood;
            ASSERT_EQ(19u, g_strCheckedTime.size());
        }
        if (getenv("ZAV_HOSTILE_VERBOSE") && i % 500 == 0) fprintf(stderr, "poll %d rss %ld KB objects %ld\n", i, RssKb(), ObjectCount());
        if (i == nWarm) {
            objectsWarm = ObjectCount();
        }
    }
    const long objectsEnd = ObjectCount();
    EXPECT_GT(nGood, 0) << "no poll ever succeeded: the generator is too hostile to test the pass";
    ASSERT_GT(objectsWarm, 0);
    // A leak of one object per poll would add nPolls * 0.9 objects.
    EXPECT_LT(objectsEnd - objectsWarm, nPolls / 4) << "interpreter objects grow";
    for (const auto &c : CapturedIndications()) {
        EXPECT_EQ(2u, c.dwReserved2);
        EXPECT_FALSE(c.vecStrings[0].empty() && c.vecStrings[1].empty());
    }
}

// The simulated controller in a steady state (100 entries, nothing new):
// resident size after 10,000 polls stays within 5% of its size after 100.
TEST_F(PollEndurance, SteadyPollsKeepResidentSizeFlat) {
    const std::string strBin = m_dir.file("inst/bin");
    ASSERT_EQ(0, system(("mkdir -p '" + strBin + "' && cp '" ZAV_TEST_SOURCE_DIR "/controller/zavsmsrv.py' '" +
                         strBin + "/'")
                            .c_str()));
    std::string strScenario = "{\"clock\": \"2026-12-08T00:00:00\", \"entries\": [";
    for (int i = 1; i <= 100; ++i) {
        char buf[400];
        snprintf(buf, sizeof buf,
                 "%s{\"EventNumber\": %d, \"Class\": 1, \"Code\": %d, \"Severity\": \"Critical\", "
                 "\"Created\": \"2026-12-07T00:%02d:%02d\", \"Updated\": \"2026-12-07T00:%02d:%02d\", "
                 "\"Repaired\": 0, \"Message\": \"\\u30d5\\u30a1\\u30f3 %d failed\", "
                 "\"RecommendedAction\": \"Replace it\"}",
                 i == 1 ? "" : ", ", i, i, i / 60, i % 60, i / 60, i % 60, i);
        strScenario += buf;
    }
    WriteFile(m_dir.file("inst/data/iml-sim.json"), strScenario + "]}");
    StartInterpreter(strBin);
    const char *env = getenv("ZAV_STEADY_POLLS");
#ifdef ZAV_TEST_SANITIZED
    const int nPolls = env ? atoi(env) : 1000;  // the sanitizer's quarantine grows anyway
#else
    const int nPolls = env ? atoi(env) : 10000;
#endif
    ASSERT_EQ(1, MonitoringPoll());  // the first pass checks all 100 entries
    ASSERT_EQ(100u, g_tagCheckedIml.dwEventNumber);
    long rss100 = 0;
    for (int i = 2; i <= nPolls; ++i) {
        ASSERT_EQ(1, MonitoringPoll());
        if (i == 100) rss100 = RssKb();
    }
    const long rssEnd = RssKb();
    EXPECT_EQ(100u, g_tagCheckedIml.dwEventNumber);
    EXPECT_EQ("2026-12-08 00:00:00", g_strCheckedTime);
    ASSERT_GT(rss100, 0);
#ifdef ZAV_TEST_SANITIZED
    GTEST_SKIP() << "resident size is not measured under a sanitizer (leaks are: at exit)";
#endif
    EXPECT_LE(rssEnd, rss100 + rss100 / 20) << "KB after 100 polls: " << rss100 << ", after " << nPolls << ": "
                                            << rssEnd;
    RecordProperty("rss_kb_after_100", int(rss100));
    RecordProperty("rss_kb_after_all", int(rssEnd));
}

}  // namespace
