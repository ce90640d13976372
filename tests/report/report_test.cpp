// Delivery to the report library, the past-report rule, remote-report routing and the metrics file.
#include <sys/stat.h>

#include <set>
#include <sstream>

#include "Metrics.h"
#include "Report.h"
#include "TestSupport.h"

TEST_F(ZavTest, EachIndicationCarriesItsTypeSourceAndMessageSlot) {
    const std::pair<DWORD, std::string> cases[] = {
        {0xC000238D, "C000238D type=1 n=2 r=0/2/0 ZAVSystemManagementService|m||||"},
        {0xBFFFFFFF, "BFFFFFFF type=2 n=2 r=0/2/0 ZAVCommonService|m||||"},
        {0x80000000, "80000000 type=2 n=2 r=0/2/0 ZAVCommonService|m||||"},
        {0x7FFFFFFF, "7FFFFFFF type=4 n=2 r=0/2/0 ZAVCommonService|m||||"},
        {ZAV_PAST_WARNING, "80000580 type=2 n=5 r=0/2/0 ZAVCommonService||m|||"},
        {ZAV_PAST_INFORMATION_HALVERN, "40000585 type=4 n=5 r=0/2/0 ZAVCommonService||m|||"},
    };
    for (const auto &c : cases) EXPECT_EQ(1, ReportEventlog(c.first, "m", "detail", c.first == 0xC000238D ? 0 : 1));
    std::vector<std::string> vecExpected;
    for (const auto &c : cases) vecExpected.push_back(c.second);
    EXPECT_EQ(vecExpected, Indications());
    EXPECT_EQ(0, ReportEventlog(0, "m", "", 1));
    EXPECT_EQ(0, ReportEventlog(0xC000238D, "", "", 1));
    EXPECT_EQ(6u, Indications().size()) << "no ID or no message: nothing is sent";
}

TEST_F(ZavTest, OnlyTheFirstPassComparesTheUpdateTimeWithTheServiceStart) {
    const std::pair<std::string, int> cases[] = {{T(2), 1}, {T(3), 0}, {T(4), 0}, {"", 1}, {"2026-12-06 01:00", 1}};
    for (const auto &c : cases) EXPECT_EQ(c.second, IsPastReport(c.first, T(3))) << c.first;
    g_bCurrentReport = 1;
    for (const auto &c : cases) EXPECT_EQ(0, IsPastReport(c.first, T(3))) << c.first;
}

TEST_F(ZavTest, RemoteRoutingNeedsTheDestinationKeyAndAnAliveLevelUpToThree) {
    const std::string strTable = ZAV_REPORT_TABLE_KEY;
    // The alive level's value text, or nullptr for none.
    const struct { const char *pszID; bool bDestination; const char *pszAliveLevel; int nResult; } cases[] = {
        {"C0008100", true, "dword:0", 1}, {"C0008103", true, "dword:3", 1}, {"C0008104", true, "dword:4", 0},
        {"C0008105", true, "dword:4294967295", 0}, {"80008123", false, "dword:0", 0}, {"C0008123", true, nullptr, -2},
        {"40008102", false, nullptr, -1}};
    for (const auto &c : cases) {
        if (c.bDestination) (void)Key(strTable + c.pszID + "\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT");
        if (c.pszAliveLevel) SetValue(strTable + c.pszID + "\\EVENTSETTING", "AliveLevel", c.pszAliveLevel);
        const DWORD dwID = DWORD(strtoul(c.pszID, nullptr, 16));
        EXPECT_EQ(c.nResult, IsHalvernEvent(dwID)) << c.pszID;
        EXPECT_EQ(c.nResult == 1, IsZavHalvernEvent(dwID) == 1) << c.pszID;
    }
}

namespace {

CALLSTATUS Call(int nEnd, int nStatus = 200) {
    CALLSTATUS c;
    c.nEnd = nEnd, c.nStatus = nStatus;
    return c;
}

ENTRYOUTCOME Outcome(bool bRecorded, int nReport, int nSeverity, DWORD dwEventID) {
    ENTRYOUTCOME o;
    o.bRecorded = bRecorded, o.nReport = nReport, o.nSeverity = nSeverity, o.dwEventID = dwEventID;
    return o;
}

struct POLL {
    POLLRESULT r;
    double dStart, dEnd;
    DWORD dwChecked;
};

}  // namespace

TEST(Metrics, TheFileShowsEveryFamilyOnceWithWhatThePollsDid) {
    POLL failed{{}, 1000.5, 1001.75, 7};  // the clock call failed, the list call was not made
    failed.r.tagDateTimeCall = Call(CALL_RETURNED, 503);
    failed.r.dwEntries = 9;
    POLL good{{}, 1030, 1030.25, 8};
    good.r.bFetched = 1, good.r.dwEntries = 3;
    good.r.tagDateTimeCall = good.r.tagImlCall = Call(CALL_RETURNED);
    good.r.vecOutcomes = {Outcome(true, REPORT_SENT, SEVERITY_CRITICAL, 0xC0008102),
                          Outcome(true, REPORT_SENT, SEVERITY_REPAIRED, ZAV_PAST_INFORMATION),
                          Outcome(false, REPORT_SENT, SEVERITY_REPAIRED, ZAV_PAST_INFORMATION_HALVERN),
                          Outcome(false, REPORT_NOT_TARGET, SEVERITY_WARNING, 0), Outcome(false, REPORT_NONE, 0, 0)};
    POLL odd = failed;
    odd.r.tagDateTimeCall = Call(CALL_RETURNED), odd.r.tagImlCall = Call(CALL_INVALID);
    POLL raised = failed;
    raised.r.tagDateTimeCall = Call(CALL_EXCEPTION, 0);
    const struct {
        std::vector<POLL> vecPolls;
        std::vector<std::string> vecHas, vecLacks;
    } cases[] = {
        {{},
         {"zavsmsrv_start_time_seconds 12.500", "zavsmsrv_build_info{version=\"1.0\\\"x\\\\\\n\",python=\"3.11\"} 1",
          "zavsmsrv_polls_total 0", "zavsmsrv_poll_success 0",
          "zavsmsrv_controller_calls_total{call=\"get_datetime\",status=\"200\"} 0",
          "zavsmsrv_controller_calls_total{call=\"get_iml\",status=\"200\"} 0",
          "zavsmsrv_alerts_total{kind=\"current\",severity=\"critical\"} 0",
          "zavsmsrv_alerts_total{kind=\"past\",severity=\"repaired\"} 0", "zavsmsrv_entries_recorded_total 0"},
         {"zavsmsrv_poll_last_timestamp_seconds", "zavsmsrv_poll_last_success_timestamp_seconds"}},
        {{failed},
         {"zavsmsrv_polls_total 1", "zavsmsrv_poll_success 0", "zavsmsrv_poll_last_timestamp_seconds 1000.500",
          "zavsmsrv_poll_duration_seconds 1.250",
          "zavsmsrv_controller_calls_total{call=\"get_datetime\",status=\"503\"} 1",
          "zavsmsrv_controller_calls_total{call=\"get_iml\",status=\"200\"} 0", "zavsmsrv_controller_entries 0",
          "zavsmsrv_checked_event_number 7"},
         {"zavsmsrv_poll_last_success_timestamp_seconds", "call=\"get_iml\",status=\"\""}},
        {{failed, good, odd, raised},
         {"zavsmsrv_polls_total 4", "zavsmsrv_poll_success 0", "zavsmsrv_poll_last_success_timestamp_seconds 1030.000",
          "zavsmsrv_controller_calls_total{call=\"get_datetime\",status=\"200\"} 2",
          "zavsmsrv_controller_calls_total{call=\"get_iml\",status=\"invalid\"} 1", "zavsmsrv_controller_entries 3",
          "zavsmsrv_controller_calls_total{call=\"get_datetime\",status=\"exception\"} 1",
          "zavsmsrv_entries_recorded_total 2", "zavsmsrv_alerts_total{kind=\"current\",severity=\"critical\"} 1",
          "zavsmsrv_alerts_total{kind=\"past\",severity=\"repaired\"} 2",
          "zavsmsrv_alerts_total{kind=\"past\",severity=\"critical\"} 0"},
         {}},
    };
    for (const auto &c : cases) {
        METRICS m = StartMetrics(12.5, "1.0\"x\\\n", "3.11");
        for (const auto &p : c.vecPolls) AddPollToMetrics(m, p.r, p.dStart, p.dEnd, p.dwChecked);
        const std::string strText = RenderMetrics(m);
        ASSERT_EQ('\n', strText.back());
        std::istringstream in(strText);
        std::set<std::string> setSeries, setHelp, setType;
        for (std::string strLine; std::getline(in, strLine);) {
            if (strLine.compare(0, 7, "# HELP ") == 0)
                EXPECT_TRUE(setHelp.insert(strLine.substr(7, strLine.find(' ', 7) - 7)).second);
            else if (strLine.compare(0, 7, "# TYPE ") == 0)
                EXPECT_TRUE(setType.insert(strLine.substr(7, strLine.find(' ', 7) - 7)).second);
            else
                EXPECT_TRUE(setSeries.insert(strLine.substr(0, strLine.rfind(' '))).second) << "twice: " << strLine;
        }
        EXPECT_EQ(setHelp, setType);
        for (const auto &s : c.vecHas) EXPECT_NE(std::string::npos, strText.find(s + "\n")) << s << " in\n" << strText;
        for (const auto &s : c.vecLacks) EXPECT_EQ(std::string::npos, strText.find(s)) << s;
    }
}

TEST_F(ZavTest, MetricsSayOnceWhyTheyAreMissingAndWhenTheyAreBack) {
    const std::string strDir = Path("prom"), strFile = strDir + "/zavsmsrv.prom";
    SetValue(ZAV_PARAMETERS_KEY, "METRICSFILE", "sz:" + strFile);
    GetMetricsInfo();  // the folder does not exist yet
    POLLRESULT r;
    UpdateMetrics(r, 0, 0, 0);
    ASSERT_EQ(0, mkdir(strDir.c_str(), 0755));
    const mode_t old = umask(077);
    UpdateMetrics(r, 0, 0, 0);
    umask(old);
    struct stat st {};
    ASSERT_EQ(0, stat(strFile.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_NE(std::string::npos, Read(strFile).find("zavsmsrv_polls_total 2\n"));
    ASSERT_EQ(0, rename(strFile.c_str(), (strFile + ".gone").c_str()));
    ASSERT_EQ(0, mkdir(strFile.c_str(), 0755));  // a folder at the path: refused, twice, one line
    UpdateMetrics(r, 0, 0, 0);
    UpdateMetrics(r, 0, 0, 0);
    const std::vector<std::string> vecWant = {
        "MetricsFile=" + strFile,
        "[GetMetricsInfo],No metrics until it can be written: folder of " + strFile + ": No such file or directory",
        "[UpdateMetrics],Written again: " + strFile, "[UpdateMetrics],Error,0x15 " + strFile + ": Is a directory"};
    EXPECT_EQ(vecWant, Log());
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"sz:", "MetricsFile="},
             {"sz:relative.prom", "[GetMetricsInfo],No metrics: MetricsFile relative.prom is not an absolute path"},
             {"dword:1", "[GetMetricsInfo],No metrics: MetricsFile is not an sz value of under 128 bytes"}}) {
        SetValue(ZAV_PARAMETERS_KEY, "METRICSFILE", c.first);
        GetMetricsInfo();
        EXPECT_EQ(c.second, Log().back()) << c.first;
        EXPECT_EQ("", GetMetricsFilePath());
    }
}
