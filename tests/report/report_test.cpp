// Event delivery to the report library and the past-report rules.
#include <sstream>
#include <string>
#include <vector>

#include "Monitoring.h"
#include "Report.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

class Reporting : public TracedTest {
protected:
    Reporting() : TracedTest("Report") {}
    void SetUp() override {
        TracedTest::SetUp();
        CaptureIndications();
    }
};

const DWORD kPastIDs[] = {0x40000585, 0x40000581, 0x80000579, 0x80000580, 0xC0000578, 0xC000057F};

}  // namespace

TEST_F(Reporting, IndicationRecordCarriesSourceTypeAndStrings) {
    const std::string strMessage = "Date : (NOT SET)\n\xBE\xF5\xC2\xD6 : x,y\n";
    struct Case {
        DWORD dwID;
        int nSource;
        const char *pszSource;
        DWORD dwType;
        bool bPast;
    };
    const Case cases[] = {
        {0xC000238D, 0, "ZAVSystemManagementService", 1, false},
        {0x80000579, 1, "ZAVCommonService", 2, true},
        {0x40008123, 1, "ZAVCommonService", 4, false},
        {0x3FFFFFFF, 7, "ZAVCommonService", 4, false},
        {0x00000001, -1, "ZAVCommonService", 4, false},
        {0xBFFFFFFF, 0, "ZAVSystemManagementService", 2, false},
        {0xC0000000, 1, "ZAVCommonService", 1, false},
        {0x80000000, 1, "ZAVCommonService", 2, false},
        {0xFFFFFFFF, 1, "ZAVCommonService", 1, false},
        {0x40000585, 1, "ZAVCommonService", 4, true},
        {0x40000581, 1, "ZAVCommonService", 4, true},
        {0x80000580, 1, "ZAVCommonService", 2, true},
        {0xC0000578, 1, "ZAVCommonService", 1, true},
        {0xC000057F, 0, "ZAVSystemManagementService", 1, true},
        {0x40000582, 1, "ZAVCommonService", 4, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.dwID));
        CaptureIndications();
        EXPECT_EQ(1, ReportEventlog(c.dwID, strMessage, "the detail", c.nSource));
        ASSERT_EQ(1u, CapturedIndications().size());
        const CapturedIndication &r = CapturedIndications()[0];
        EXPECT_EQ(0u, r.dwReserved1);
        EXPECT_EQ(2u, r.dwReserved2);
        EXPECT_EQ(0u, r.dwPadding);
        EXPECT_EQ(c.pszSource, r.strSource);
        EXPECT_EQ(c.dwID, r.dwEventID);
        EXPECT_EQ(c.dwType, r.dwEventType);
        EXPECT_EQ(c.bPast ? 5u : 2u, r.dwStringCount);
        const std::vector<std::string> vecPast = {"", strMessage, "", "", ""};
        const std::vector<std::string> vecCurrent = {strMessage, "", "", "", ""};
        EXPECT_EQ(c.bPast ? vecPast : vecCurrent, r.vecStrings);
    }
    EXPECT_TRUE(TraceHas(0, "Report Source : ZAVSystemManagementService"));
    EXPECT_TRUE(TraceHas(0, "Report EventID : 0xc000238d"));
    EXPECT_TRUE(LogHas("[ReportEventlog],Debug,End"));
}

TEST_F(Reporting, EventIdZeroIsRefused) {
    EXPECT_EQ(0, ReportEventlog(0, "message", "", 1));
    EXPECT_TRUE(CapturedIndications().empty());
    EXPECT_EQ(std::vector<std::string>{"[ReportEventlog],Debug,Start"}, LogMessages());
    EXPECT_TRUE(TraceHas(1, "<Invalid EventID, not report."));
}

TEST_F(Reporting, EmptyMessageIsRefused) {
    EXPECT_EQ(0, ReportEventlog(0xC000238D, "", "detail", 0));
    EXPECT_TRUE(CapturedIndications().empty());
    EXPECT_EQ(std::vector<std::string>{"[ReportEventlog],Debug,Start"}, LogMessages());
    EXPECT_TRUE(TraceHas(1, "<Messsage is NULL, not report"));
}

TEST_F(Reporting, WithoutTheReportLibraryTheEventStillPasses) {
    g_SendIndication = nullptr;
    EXPECT_EQ(1, ReportEventlog(0x40008102, "message", "", 1));
    EXPECT_TRUE(LogHas("[ReportEventlog],Debug,End"));
}

TEST_F(Reporting, ExactlySixIdsArePastReportIds) {
    for (DWORD dw : kPastIDs) EXPECT_EQ(1, IsPastEventID(dw)) << std::hex << dw;
    const DWORD others[] = {0,          0x40000580, 0x40000586, 0x40008585, 0x80000578, 0x80000581,
                            0xC0000577, 0xC0000580, 0x00000585, 0xC000238D, 0xFFFFFFFF};
    for (DWORD dw : others) EXPECT_EQ(0, IsPastEventID(dw)) << std::hex << dw;
}

TEST_F(Reporting, FirstPassComparesTheUpdateTimeWithTheServiceStart) {
    g_strServiceStartTime = "2026-12-06 01:02:03";
    struct Case {
        const char *pszUpdated;
        int bPast;
        const char *pszTrace;
    };
    const Case cases[] = {
        {"2026-12-06 01:02:02", 1, "<Past report, IML's Updated: 2026-12-06 01:02:02"},
        {"2026-12-06 01:02:03", 0, "Current Report."},
        {"2026-12-06 01:02:04", 0, "Current Report."},
        {"", 1, "<IML's Updated is blank. Regard as past report."},
        {"2026-12-06 01:02", 1, nullptr},
        {"2026-12-06 01:02:03 ", 0, nullptr},
        {"2026-12-06 01:02:0\xB0", 0, nullptr},
    };
    for (int bCurrent : {0, 2}) {
        g_bCurrentReport = bCurrent;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.pszUpdated) + " flag " + std::to_string(bCurrent));
            ClearTrace();
            EXPECT_EQ(c.bPast, IsPastReport(c.pszUpdated));
            if (c.pszTrace) {
                EXPECT_TRUE(TraceHas(0, c.pszTrace));
            }
        }
    }
    EXPECT_TRUE(LogHas("[IsPastReport],Debug,Start"));
}

TEST_F(Reporting, LaterPassesAreCurrentWithoutComparison) {
    g_strServiceStartTime = "2026-12-06 01:02:03";
    g_bCurrentReport = 1;
    for (const char *pszUpdated : {"", "2000-01-01 00:00:00", "2026-12-06 01:02:03"}) {
        SCOPED_TRACE(pszUpdated);
        EXPECT_EQ(0, IsPastReport(pszUpdated));
    }
    EXPECT_TRUE(TraceHas(0, "<Current Report."));
    EXPECT_FALSE(LogHas("[IsPastReport],Debug,Start"));
}

TEST_F(Reporting, UnknownServiceStartMakesOnlyBlankUpdatesPast) {
    EXPECT_EQ(0, IsPastReport("2026-12-06 01:02:03"));
    EXPECT_EQ(1, IsPastReport(""));
}
