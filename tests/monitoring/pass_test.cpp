// The check-and-report pass over one poll's entry list.
#include <algorithm>
#include <string>
#include <vector>

#include "LogFile.h"
#include "Monitoring.h"
#include "Report.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

std::string T(int nSecond) {
    char buf[32];
    snprintf(buf, sizeof buf, "2026-12-06 01:00:%02d", nSecond);
    return buf;
}

IMLINFO E(DWORD dwNumber, int nCreated, int nUpdated, WORD wClass, WORD wCode, const std::string &strSeverity,
          DWORD dwRepaired = 0) {
    IMLINFO t;
    t.dwEventNumber = dwNumber;
    t.strCreated = T(nCreated);
    t.strUpdated = nUpdated < 0 ? "" : T(nUpdated);
    t.wEventClass = wClass;
    t.wEventCode = wCode;
    t.dwRepaired = dwRepaired;
    t.strSeverity = strSeverity;
    t.strMessage = "msg" + std::to_string(dwNumber);
    t.strRecommendedAction = "act" + std::to_string(dwNumber);
    return t;
}

class Pass : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        CaptureIndications();
        g_tagTargetEvent[0].wEventClass = 0x01;
        g_tagTargetEvent[0].wEventCode = 0x0002;
        g_tagTargetEvent[1].wEventClass = 0x23;
        g_tagTargetEvent[1].wEventCode = 0x1A05;
        g_dwServiceStart = 1;
        g_bCurrentReport = 1;
        g_strCheckedTime = T(50);
    }
    void List(const std::vector<IMLINFO> &v, DWORD dwNewIndex) {
        ASSERT_EQ(1, AllocImlList(DWORD(v.size())));
        std::copy(v.begin(), v.end(), g_tagImlList);
        g_dwNewEventIndex = dwNewIndex;
    }
    std::string Dat() { return ReadFile(g_strZavDir + "/log/zavsmsel.log"); }
    std::string Line(const IMLINFO &t) { return MakeDatRecord(t, MakeSummary(t)) + "\n"; }
    std::vector<DWORD> ReportedIDs() {
        std::vector<DWORD> v;
        for (const CapturedIndication &c : CapturedIndications()) v.push_back(c.dwEventID);
        return v;
    }
    int Count(const std::string &strLine) {
        const std::vector<std::string> v = LogMessages();
        return int(std::count(v.begin(), v.end(), strLine));
    }
    // Position of a log line, or -1.
    long At(const std::string &strLine) {
        const std::vector<std::string> v = LogMessages();
        const auto it = std::find(v.begin(), v.end(), strLine);
        return it == v.end() ? -1 : long(it - v.begin());
    }
};

}  // namespace

TEST(PassTexts, SummaryAndDataRecordFormats) {
    struct Case {
        DWORD dwNumber, dwRepaired;
        const char *pszSeverity;
        WORD wClass, wCode;
        const char *pszSummary;
    };
    const Case cases[] = {
        {123, 1, "OK", 0x1F, 0x0004, "123,1,OK,1F,04"},
        {7, 0, "Critical", 0x0A, 0x0123, "07,0,Critical,0A,123"},
        {0, 0, "", 0, 0, "00,0,,00,00"},
        {2147483647, 2, "Warning", 0x7F, 0xFFFF, "2147483647,2,Warning,7F,FFFF"},
    };
    for (const Case &c : cases) {
        IMLINFO t;
        t.dwEventNumber = c.dwNumber;
        t.dwRepaired = c.dwRepaired;
        t.strSeverity = c.pszSeverity;
        t.wEventClass = c.wClass;
        t.wEventCode = c.wCode;
        EXPECT_EQ(c.pszSummary, MakeSummary(t));
    }
    IMLINFO t;
    t.strUpdated = "U";
    t.strCreated = "C";
    t.strMessage = "a,b\nc";
    EXPECT_EQ("07,0,Critical,0A,123,U,C,a,b\nc,,", MakeDatRecord(t, "07,0,Critical,0A,123"));
}

TEST_F(Pass, NewTailIsRecordedReportedAndCheckedInTurn) {
    std::vector<IMLINFO> v;
    for (int i = 0; i < 4; ++i) v.push_back(E(DWORD(i + 1), i, i, 0x01, 0x0002, "Critical"));
    v.push_back(E(5, 4, 4, 0x23, 0x1A05, "Warning"));
    v[3].strMessage = "fan, left";
    v[3].strRecommendedAction = "";
    g_tagCheckedIml = v[2];
    List(v, 3);
    CheckAndReportIml();

    // New entries need no update time after the checked time; old ones do.
    EXPECT_EQ("04,0,Critical,01,02,2026-12-06 01:00:03,2026-12-06 01:00:03,fan, left,,\n"
              "05,0,Warning,23,1A05,2026-12-06 01:00:04,2026-12-06 01:00:04,msg5,act5,\n",
              Dat());
    ASSERT_EQ((std::vector<DWORD>{0xC0008102, 0x801AA305}), ReportedIDs());
    const CapturedIndication &c = CapturedIndications()[0];
    EXPECT_EQ("ZAVCommonService", c.strSource);
    EXPECT_EQ(2u, c.dwStringCount);
    EXPECT_EQ((std::vector<std::string>{"Date : 2026-12-06 01:00:03\nEvent Class : 0x01\nEvent Code : 0x02\n"
                                        "Status : Critical\nDescription : fan, left\n",
                                        "", "", "", ""}),
              c.vecStrings);

    const long nSummary4 = At("[CheckAndReportIml],04,0,Critical,01,02");
    const long nChecked4 = At("[SetCheckedImlInfo],04,0,01,02,2026-12-06 01:00:03,2026-12-06 01:00:03");
    const long nSummary5 = At("[CheckAndReportIml],05,0,Warning,23,1A05");
    const long nChecked5 = At("[SetCheckedImlInfo],05,0,23,1A05,2026-12-06 01:00:04,2026-12-06 01:00:04");
    EXPECT_TRUE(nSummary4 >= 0 && nSummary4 < nChecked4 && nChecked4 < nSummary5 && nSummary5 < nChecked5)
        << nSummary4 << " " << nChecked4 << " " << nSummary5 << " " << nChecked5;
    EXPECT_EQ(2, Count("[SetCheckedImlInfo],Debug,Start"));
    EXPECT_EQ(5u, g_tagCheckedIml.dwEventNumber);
    EXPECT_EQ("dword:5\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ReadEventNumber"));
}

TEST_F(Pass, NothingNewOrUpdatedOnlyEndsTheFirstPass) {
    g_bCurrentReport = 0;
    g_strServiceStartTime = T(0);
    List({E(1, 1, 1, 1, 2, "Critical"), E(2, 2, 2, 1, 2, "Critical"), E(3, 3, 3, 1, 2, "Critical")}, 3);
    g_tagCheckedIml = g_tagImlList[2];
    CheckAndReportIml();
    EXPECT_EQ("", Dat());
    EXPECT_TRUE(CapturedIndications().empty());
    EXPECT_EQ((std::vector<std::string>{"[CheckAndReportIml],Debug,Start", "[CheckAndReportIml],Debug,End"}),
              LogMessages());
    EXPECT_EQ(1, g_bCurrentReport);
}

TEST_F(Pass, OldUpdatedEntriesAreReportedAgainAndOnlyTheNewestIsStored) {
    const IMLINFO tagChecked = E(3, 3, 45, 0x01, 0x0002, "Warning");
    std::vector<IMLINFO> v = {E(1, 1, 60, 0x01, 0x0002, "Critical"), E(2, 2, 40, 0x01, 0x0002, "Critical"),
                              E(3, 3, 50, 0x01, 0x0002, "Warning")};
    g_tagCheckedIml = tagChecked;
    List(v, 3);
    CheckAndReportIml();
    EXPECT_EQ(Line(v[0]) + Line(v[2]), Dat());
    EXPECT_EQ((std::vector<DWORD>{0xC0008102, 0x80008102}), ReportedIDs());
    EXPECT_EQ(1, Count("[SetCheckedImlInfo],Debug,Start"));
    EXPECT_EQ("sz:2026-12-06 01:00:50\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ReadUpdated"));
}

TEST_F(Pass, OldUpdatedEntryOtherThanTheNewestIsNotStored) {
    std::vector<IMLINFO> v = {E(1, 1, 55, 0x01, 0x0002, "Critical"), E(2, 2, 2, 0x01, 0x0002, "Critical")};
    g_tagCheckedIml = v[1];
    List(v, 2);
    CheckAndReportIml();
    EXPECT_EQ(Line(v[0]), Dat());
    EXPECT_EQ((std::vector<DWORD>{0xC0008102}), ReportedIDs());
    EXPECT_EQ(0, Count("[SetCheckedImlInfo],Debug,Start"));
    EXPECT_EQ(2u, g_tagCheckedIml.dwEventNumber);
    EXPECT_EQ("", ReadValueFile(ZAV_PARAMETERS_KEY, "ReadEventNumber"));
}

TEST_F(Pass, EntriesThatAreNotReportedAreStillRecordedAndChecked) {
    std::vector<IMLINFO> v = {E(1, 1, 1, 0x05, 0x0006, "Critical"),   // not in the table
                              E(2, 2, 2, 0x01, 0x0002, "critical"),   // lower case
                              E(3, 3, 3, 0x23, 0x1A05, "")};          // no severity
    List(v, 0);
    CheckAndReportIml();
    EXPECT_EQ(Line(v[0]) + Line(v[1]) + Line(v[2]), Dat());
    EXPECT_TRUE(CapturedIndications().empty());
    EXPECT_TRUE(LogHas("[CheckAndReportIml],01,0,Critical,05,06"));
    EXPECT_EQ(3, Count("[SetCheckedImlInfo],Debug,Start"));
    EXPECT_EQ(3u, g_tagCheckedIml.dwEventNumber);
}

TEST_F(Pass, EntryEqualToTheCheckedOneIsSkippedEvenWhenNew) {
    std::vector<IMLINFO> v = {E(1, 1, 1, 0x01, 0x0002, "Critical"), E(2, 2, 2, 0x01, 0x0002, "OK")};
    g_tagCheckedIml = v[0];
    g_tagCheckedIml.strMessage = "other texts do not count";
    List(v, 0);
    CheckAndReportIml();
    EXPECT_EQ(Line(v[1]), Dat());
    EXPECT_EQ((std::vector<DWORD>{0x40008102}), ReportedIDs());
}
