// The report message composed for one entry, English and Japanese.
#include <string>
#include <vector>

#include "LogFile.h"
#include "Monitoring.h"
#include "Setting.h"
#include "TestSupport.h"

namespace {

// EUC-JP labels: date, status, description, recommended action.
#define JP_DATE "\xC6\xFC\xBB\xFE : "
#define JP_STATUS "\xBE\xF5\xC2\xD6 : "
#define JP_DESCRIPTION "\xBE\xDC\xBA\xD9 : "
#define JP_ACTION "\xC2\xD0\xBD\xE8 : "

IMLINFO Entry(const std::string &strSeverity, DWORD dwRepaired, const std::string &strAction) {
    IMLINFO t;
    t.dwEventNumber = 7;
    t.strCreated = "2026-12-05 00:00:00";
    t.strUpdated = "2026-12-06 01:02:03";
    t.wEventClass = 0x05;
    t.wEventCode = 0x1A;
    t.dwRepaired = dwRepaired;
    t.strSeverity = strSeverity;
    t.strMessage = "Fan 2 failed";
    t.strRecommendedAction = strAction;
    return t;
}

class ReportMessage : public ZavTest {};

}  // namespace

TEST_F(ReportMessage, ComposesTheLabelledLines) {
    struct Case {
        const char *pszName;
        int bJapanese;
        IMLINFO tagEntry;
        std::string strHeadline;
        std::string strExpected;
    };
    IMLINFO tagNoDate = Entry("Critical", 0, "");
    tagNoDate.strUpdated.clear();
    IMLINFO tagWide = Entry("Warning", 0, "");
    tagWide.wEventClass = 0x7F;
    tagWide.wEventCode = 0x123;
    tagWide.strMessage.clear();
    IMLINFO tagZero = Entry("OK", 0, "");
    tagZero.wEventClass = 0;
    tagZero.wEventCode = 0xFFFF;
    const std::string strHeadline = "\xA5\xD5\xA5\xA1\xA5\xF3";
    const std::vector<Case> cases = {
        {"english with an action", 0, Entry("Critical", 0, "Replace the fan"), "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : Critical\n"
         "Description : Fan 2 failed\nRecommended Action : Replace the fan"},
        {"english ignores the headline", 0, Entry("Critical", 0, "Replace"), strHeadline,
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : Critical\n"
         "Description : Fan 2 failed\nRecommended Action : Replace"},
        {"no update time", 0, tagNoDate, "",
         "Date : (NOT SET)\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : Critical\n"
         "Description : Fan 2 failed\n"},
        {"repaired", 0, Entry("Critical", 1, "Replace"), "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : Repaired\n"
         "Description : Fan 2 failed\n"},
        {"repaired value 2", 0, Entry("Warning", 2, "Replace"), "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : Warning\n"
         "Description : Fan 2 failed\n"},
        {"empty severity", 0, Entry("", 0, ""), "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : \n"
         "Description : Fan 2 failed\n"},
        {"wide numbers, empty message", 0, tagWide, "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x7F\nEvent Code : 0x123\nStatus : Warning\n"
         "Description : \n"},
        {"class 0, code FFFF", 0, tagZero, "",
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x00\nEvent Code : 0xFFFF\nStatus : OK\n"
         "Description : Fan 2 failed\n"},
        {"switch value 2 is english", 2, Entry("OK", 0, "x"), strHeadline,
         "Date : 2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\nStatus : OK\n"
         "Description : Fan 2 failed\nRecommended Action : x"},
        {"japanese without a headline", 1, Entry("Critical", 0, "Replace the fan"), "",
         JP_DATE "2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\n" JP_STATUS "Critical\n"
         JP_DESCRIPTION "Fan 2 failed\n" JP_ACTION "Replace the fan"},
        {"japanese with a headline", 1, Entry("Critical", 0, "Replace the fan"), strHeadline,
         strHeadline + "\n" JP_DATE "2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\n" JP_STATUS
                       "Critical\n" JP_DESCRIPTION "Fan 2 failed\n" JP_ACTION "Replace the fan"},
        {"japanese repaired, no date", 1,
         [] {
             IMLINFO t = Entry("Critical", 1, "Replace");
             t.strUpdated.clear();
             return t;
         }(),
         "H",
         "H\n" JP_DATE "(NOT SET)\nEvent Class : 0x05\nEvent Code : 0x1A\n" JP_STATUS "Repaired\n" JP_DESCRIPTION
         "Fan 2 failed\n"},
        {"japanese, empty action", 1, Entry("Warning", 0, ""), "",
         JP_DATE "2026-12-06 01:02:03\nEvent Class : 0x05\nEvent Code : 0x1A\n" JP_STATUS "Warning\n"
         JP_DESCRIPTION "Fan 2 failed\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        g_bJapaneseMessage = c.bJapanese;
        EXPECT_EQ(c.strExpected, CreateReportEventMessage(c.tagEntry, c.strHeadline));
    }
}

TEST_F(ReportMessage, WritesStartAndEndLines) {
    (void)CreateReportEventMessage(Entry("OK", 0, ""), "");
    EXPECT_EQ((std::vector<std::string>{"[CreateReportEventMessage],Debug,Start",
                                        "[CreateReportEventMessage],Debug,End"}),
              LogMessages());
}
