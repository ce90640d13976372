// Event filtering against the definition table and event ID construction.
#include <sstream>
#include <string>

#include "Monitoring.h"
#include "Report.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

class EventId : public TracedTest {
protected:
    EventId() : TracedTest("Setting") {}

    // A report table entry for the ID: optionally the Halvern destination
    // key, optionally an AliveLevel.
    void ReportTableEntry(DWORD dwID, bool bHalvern, int nAliveLevel) {
        const std::string strKey = ZAV_REPORT_TABLE_KEY + IntToString(int(dwID), 16, 1);
        CreateKey(strKey);
        if (bHalvern) CreateKey(strKey + "\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT");
        if (nAliveLevel >= 0) {
            CreateKey(strKey + "\\EVENTSETTING");
            WriteValueFile(strKey + "\\EVENTSETTING", "AliveLevel", "dword:" + std::to_string(nAliveLevel) + "\n");
        }
    }
};

IMLINFO Entry(WORD wClass, WORD wCode, const std::string &strSeverity, DWORD dwRepaired = 0) {
    IMLINFO t;
    t.dwEventNumber = 1;
    t.wEventClass = wClass;
    t.wEventCode = wCode;
    t.strSeverity = strSeverity;
    t.dwRepaired = dwRepaired;
    return t;
}

void SetRow(int n, WORD wClass, WORD wCode, const std::string &strCritical, const std::string &strWarning,
            const std::string &strInformation) {
    g_tagTargetEvent[n].wEventClass = wClass;
    g_tagTargetEvent[n].wEventCode = wCode;
    g_tagTargetEvent[n].strCriticalText = strCritical;
    g_tagTargetEvent[n].strWarningText = strWarning;
    g_tagTargetEvent[n].strInformationText = strInformation;
}

}  // namespace

TEST_F(EventId, TargetLookupPicksTheFirstRowAndTheSeverityText) {
    SetRow(0, 0x01, 0x0002, "C0", "W0", "I0");
    SetRow(1, 0x23, 0x1A05, "", "W1", "I1");
    SetRow(2, 0x01, 0x0002, "C2", "W2", "I2");  // same pair again: never used
    // row 3 stays empty and ends the scan
    SetRow(4, 0x05, 0x0006, "C4", "W4", "I4");
    struct Case {
        IMLINFO tagEntry;
        bool bMatch;
        std::string strText;
    };
    const Case cases[] = {
        {Entry(0x01, 0x0002, "Critical"), true, "C0"},
        {Entry(0x01, 0x0002, "Warning"), true, "W0"},
        {Entry(0x01, 0x0002, "OK"), true, "I0"},
        {Entry(0x01, 0x0002, "critical"), true, "I0"},
        {Entry(0x01, 0x0002, ""), true, "I0"},
        {Entry(0x01, 0x0002, "Critical", 1), true, "I0"},
        {Entry(0x01, 0x0002, "Warning", 2), true, "W0"},
        {Entry(0x23, 0x1A05, "Warning"), true, "W1"},
        {Entry(0x23, 0x1A05, "Critical"), true, ""},
        {Entry(0x05, 0x0006, "Critical"), false, "keep"},
        {Entry(0x01, 0x0003, "Critical"), false, "keep"},
        {Entry(0x00, 0x0000, "Critical"), false, "keep"},
    };
    for (int bJapanese : {1, 0}) {
        g_bJapaneseMessage = bJapanese;
        for (const Case &c : cases) {
            SCOPED_TRACE(MakeSummary(c.tagEntry) + " japanese " + std::to_string(bJapanese));
            std::string strText = "keep";
            EXPECT_EQ(c.bMatch, IsTargetEvent(c.tagEntry, strText));
            EXPECT_EQ(bJapanese ? c.strText : "keep", strText);
        }
    }
    EXPECT_TRUE(LogHas("[IsTargetEvent],Debug,Start"));
    EXPECT_TRUE(LogHas("[IsTargetEvent],Debug,End"));
}

TEST_F(EventId, ShortIdSplitsTheCodeAroundTheClass) {
    struct Case {
        WORD wClass, wCode;
        DWORD dwShort;
    };
    const Case cases[] = {
        {0x01, 0x0002, 0x00000102}, {0x23, 0x1A05, 0x001A2305}, {0x7F, 0xFFFF, 0x00FF7FFF},
        {0x7F, 0x0100, 0x00017F00}, {0x00, 0x0001, 0},          {0x80, 0x0001, 0},
        {0xFFFF, 0x0001, 0},        {0x01, 0x0000, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.wClass) + "/" + std::to_string(c.wCode));
        EXPECT_EQ(c.dwShort, CreateShortEventID(c.wClass, c.wCode));
    }
    EXPECT_TRUE(TraceHas(1, "<Invalid wEventClass(0x80)."));
    EXPECT_TRUE(TraceHas(1, "<Invalid wEventClass(0x0)."));
    EXPECT_TRUE(TraceHas(1, "<Invalid wEventCode(0x0)."));
    EXPECT_TRUE(TraceHas(0, "dwShortEventID : 0x001a2305"));
}

TEST_F(EventId, CurrentReportIdsFollowTheWorkedExamples) {
    struct Case {
        WORD wClass, wCode;
        DWORD dwOk, dwWarning, dwCritical;
    };
    const Case cases[] = {
        {0x01, 0x0002, 0x40008102, 0x80008102, 0xC0008102},
        {0x23, 0x1A05, 0x401AA305, 0x801AA305, 0xC01AA305},
        {0x7F, 0xFFFF, 0x40FFFFFF, 0x80FFFFFF, 0xC0FFFFFF},
    };
    for (DWORD dwStart : {1u, 0u}) {  // the first start only matters for past entries
        g_dwServiceStart = dwStart;
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(c.wClass) + " start " + std::to_string(dwStart));
            EXPECT_EQ(c.dwOk, CreateReportEventID(0, Entry(c.wClass, c.wCode, "OK")));
            EXPECT_EQ(c.dwOk, CreateReportEventID(0, Entry(c.wClass, c.wCode, "Critical", 1)));
            EXPECT_EQ(c.dwOk, CreateReportEventID(0, Entry(c.wClass, c.wCode, "", 1)));
            EXPECT_EQ(c.dwWarning, CreateReportEventID(0, Entry(c.wClass, c.wCode, "Warning")));
            EXPECT_EQ(c.dwCritical, CreateReportEventID(0, Entry(c.wClass, c.wCode, "Critical")));
            EXPECT_EQ(c.dwCritical, CreateReportEventID(0, Entry(c.wClass, c.wCode, "Critical", 2)));
            EXPECT_EQ(c.dwCritical, CreateReportEventID(2, Entry(c.wClass, c.wCode, "Critical")));
        }
    }
    EXPECT_TRUE(TraceHas(0, "<ReportEventID : 0xc01aa305"));
    EXPECT_TRUE(LogHas("[CreateReportEventID],Debug,Start"));
    EXPECT_FALSE(LogHas("[CreateReportEventID],Debug,End"));
}

TEST_F(EventId, EntriesWithoutAValidIdAreNotReported) {
    EXPECT_EQ(0u, CreateReportEventID(0, Entry(0x01, 0x0002, "critical")));
    EXPECT_TRUE(TraceHas(1, "<Invalide Severity(critical). Not to report."));
    EXPECT_EQ(0u, CreateReportEventID(0, Entry(0x01, 0x0002, "")));
    EXPECT_TRUE(TraceHas(1, "<Invalide Severity(). Not to report."));
    EXPECT_EQ(0u, CreateReportEventID(0, Entry(0x80, 0x0002, "Critical")));
    EXPECT_TRUE(TraceHas(1, "<Invalid wEventClass(0x80)."));
    EXPECT_TRUE(TraceHas(1, "<Create Report Event ID failed. Class:0x0080, Code:0x0002"));
    EXPECT_EQ(0u, CreateReportEventID(1, Entry(0x00, 0x0002, "Critical")));
    EXPECT_TRUE(TraceHas(1, "<Create Report Event ID failed. Class:0x0000, Code:0x0002"));
    EXPECT_EQ(0u, CreateReportEventID(0, Entry(0x01, 0x0000, "Critical")));
    EXPECT_TRUE(TraceHas(1, "<Invalid wEventCode(0x0)."));
}

TEST_F(EventId, PastEntriesOnTheFirstStartAreNotReportedWhateverTheSeverity) {
    g_dwServiceStart = 0;
    for (const char *pszSeverity : {"Critical", "Warning", "OK", "bogus"}) {
        SCOPED_TRACE(pszSeverity);
        ClearTrace();
        EXPECT_EQ(0u, CreateReportEventID(1, Entry(0x01, 0x0002, pszSeverity)));
        EXPECT_TRUE(TraceHas(0, "<First start, no to report past report. EventID:0x00000102"));
        EXPECT_FALSE(TraceHas(1, "<Invalide Severity(bogus). Not to report."));
    }
}

TEST_F(EventId, PastEntriesTakeTheSixFixedIdsByHalvernRouting) {
    ReportTableEntry(0x40008102, true, 0);
    ReportTableEntry(0x80008102, true, 3);
    ReportTableEntry(0xC0008102, true, 2);
    ReportTableEntry(0x401AA305, true, 5);    // AliveLevel above 3
    ReportTableEntry(0x801AA305, false, 0);   // no destination key
    ReportTableEntry(0xC01AA305, true, 4);
    struct Case {
        IMLINFO tagEntry;
        DWORD dwID;
    };
    const Case cases[] = {
        {Entry(0x01, 0x0002, "OK"), 0x40000585},
        {Entry(0x01, 0x0002, "Critical", 1), 0x40000585},
        {Entry(0x01, 0x0002, "Warning"), 0x80000579},
        {Entry(0x01, 0x0002, "Critical"), 0xC0000578},
        {Entry(0x23, 0x1A05, "OK"), 0x40000581},
        {Entry(0x23, 0x1A05, "Warning"), 0x80000580},
        {Entry(0x23, 0x1A05, "Critical"), 0xC000057F},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(MakeSummary(c.tagEntry));
        EXPECT_EQ(c.dwID, CreateReportEventID(1, c.tagEntry));
    }
    EXPECT_TRUE(TraceHas(0, "<Is Halvern Event. EventID:0x80008102"));
    EXPECT_TRUE(TraceHas(0, "<Not Halvern Event. EventID:0x801aa305"));
    EXPECT_TRUE(LogHas("[IsHalvernEvent],Debug,ID = 0x80008102 Res = 0x01"));
}
