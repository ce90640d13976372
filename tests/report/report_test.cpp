// Delivery to the report library, the past-report rule and remote-report routing.
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
