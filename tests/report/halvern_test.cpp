// Classification of events routed to the Halvern remote-report destination.
#include <sstream>
#include <string>

#include "Report.h"
#include "StringOperation.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

class Halvern : public TracedTest {
protected:
    Halvern() : TracedTest("Report") {}
    std::string EventKey(DWORD dwID) { return ZAV_REPORT_TABLE_KEY + IntToString(int(dwID), 16, 1); }
    // A report table entry; nAliveLevel < 0 leaves the value out.
    void Entry(DWORD dwID, bool bHalvern, long long nAliveLevel) {
        CreateKey(EventKey(dwID));
        if (bHalvern) CreateKey(EventKey(dwID) + "\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT");
        CreateKey(EventKey(dwID) + "\\EVENTSETTING");
        if (nAliveLevel >= 0)
            WriteValueFile(EventKey(dwID) + "\\EVENTSETTING", "AliveLevel",
                           "dword:" + std::to_string(nAliveLevel) + "\n");
    }
};

}  // namespace

TEST_F(Halvern, AliveLevelDecidesForEntriesWithTheDestinationKey) {
    struct Case {
        DWORD dwID;
        bool bHalvern;
        long long nAliveLevel;
        int nResult;
        const char *pszLine;
    };
    const Case cases[] = {
        {0xC0008100, true, 0, 1, "ID = 0xC0008100 Res = 0x01"},
        {0xC0008101, true, 1, 1, "ID = 0xC0008101 Res = 0x01"},
        {0xC0008102, true, 2, 1, "ID = 0xC0008102 Res = 0x01"},
        {0xC0008103, true, 3, 1, "ID = 0xC0008103 Res = 0x01"},
        {0xC0008104, true, 4, 0, "ID = 0xC0008104 Res = 0x00"},
        {0xC0008105, true, 4294967295LL, 0, "ID = 0xC0008105 Res = 0x00"},
        {0x00000102, true, 0, 1, "ID = 0x102 Res = 0x01"},
        // AliveLevel is not consulted without the destination key
        {0x80008123, false, 0, 0, "ID = 0x80008123 Res = 0x00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszLine);
        Entry(c.dwID, c.bHalvern, c.nAliveLevel);
        EXPECT_EQ(c.nResult, IsHalvernEvent(c.dwID));
        EXPECT_TRUE(LogHas(std::string("[IsHalvernEvent],Debug,") + c.pszLine));
        EXPECT_EQ(c.nResult, IsZavHalvernEvent(c.dwID));
    }
    EXPECT_TRUE(TraceHas(0, "<EventID 0xc0008103 : halvern event."));
    EXPECT_TRUE(TraceHas(0, "<EventID 0xc0008104 : not halvern event."));
    EXPECT_TRUE(TraceHas(0, "EventID 0x80008123 : HALVERNREPORT not exist."));
    EXPECT_TRUE(LogHas("[IsZavHalvernEvent],Debug,Start"));
    EXPECT_TRUE(LogHas("[IsZavHalvernEvent],Debug,End"));
}

// Missing keys and values cost the registry retries: two calls only.
TEST_F(Halvern, MissingEntryAndMissingAliveLevelAreErrorsThatCountAsNo) {
    EXPECT_EQ(-1, IsHalvernEvent(0x40008102));
    EXPECT_TRUE(LogHas("[IsHalvernEvent],Debug,ID = 0x40008102 Res = 0xFFFFFFFF"));
    EXPECT_TRUE(TraceHas(1, "EventID 0x40008102 : not exist."));

    Entry(0xC0008123, true, -1);
    EXPECT_EQ(0, IsZavHalvernEvent(0xC0008123));
    EXPECT_TRUE(LogHas("[IsHalvernEvent],Debug,ID = 0xC0008123 Res = 0xFFFFFFFE"));
    EXPECT_TRUE(TraceHas(1, "EventID 0xc0008123 : get AliveLevel failed."));
}
