// The poll interval and the Japanese switch read at start-up.
#include <unistd.h>

#include <string>
#include <vector>

#include "LogFile.h"
#include "Setting.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

class MonitoringInfo : public ZavTest {
protected:
    // Reads the settings afresh, with a new operation log and sentinel globals.
    void Read() {
        (void)unlink(g_strLogFilePath.c_str());
        g_dwMonitoringCycle = 1;
        g_bJapaneseMessage = 7;
        GetMonitoringInfo();
    }
};

}  // namespace

// Both values missing costs two rounds of registry retries: one test only.
TEST_F(MonitoringInfo, MissingValuesGiveTheDefaults) {
    Read();
    EXPECT_EQ(30000u, g_dwMonitoringCycle);
    EXPECT_EQ(0, g_bJapaneseMessage);
    const std::vector<std::string> vecLog = {"[GetMonitoringInfo],Debug,Start", "Cycle=30000", "JP=00",
                                             "[GetMonitoringInfo],Debug,End"};
    EXPECT_EQ(vecLog, LogMessages());
}

TEST_F(MonitoringInfo, IntervalIsSecondsWithATenSecondFloor) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "JapaneseMessage", "dword:0\n");
    struct Case {
        const char *pszValue;
        DWORD dwCycle;
    };
    const Case cases[] = {
        {"dword:0\n", 10000},
        {"dword:5\n", 10000},
        {"dword:9\n", 10000},
        {"dword:10\n", 10000},
        {"dword:11", 11000},
        {"dword:60\n", 60000},
        {"dword:0x3C\n", 60000},
        {"dword:2147483\n", 2147483000u},
        {"dword:4294967\n", 4294967000u},
        // above this the product would wrap: capped at the largest that fits
        {"dword:4294968\n", 4294967000u},
        {"dword:4294967295\n", 4294967000u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszValue);
        WriteValueFile(ZAV_PARAMETERS_KEY, "MonitorInterval", c.pszValue);
        Read();
        EXPECT_EQ(c.dwCycle, g_dwMonitoringCycle);
        // Shown unsigned, also above 2147483647 ms.
        EXPECT_TRUE(LogHas("Cycle=" + std::to_string(c.dwCycle)));
        EXPECT_TRUE(LogHas("JP=00"));
    }
}

TEST_F(MonitoringInfo, IntervalOfAnotherTypeGivesTheDefault) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "JapaneseMessage", "dword:1\n");
    WriteValueFile(ZAV_PARAMETERS_KEY, "MonitorInterval", "sz:60\n");
    Read();
    EXPECT_EQ(30000u, g_dwMonitoringCycle);
    EXPECT_TRUE(LogHas("Cycle=30000"));
    EXPECT_EQ(1, g_bJapaneseMessage);
}

TEST_F(MonitoringInfo, OnlyTheValueOneSwitchesJapaneseOn) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "MonitorInterval", "dword:30\n");
    struct Case {
        const char *pszValue;
        int bJapanese;
        const char *pszLine;
    };
    const Case cases[] = {
        {"dword:1\n", 1, "JP=01"},   {"dword:0\n", 0, "JP=00"},   {"dword:2\n", 0, "JP=00"},
        {"dword:255\n", 0, "JP=00"}, {"dword:257\n", 0, "JP=00"}, {"dword:0x1\n", 1, "JP=01"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszValue);
        WriteValueFile(ZAV_PARAMETERS_KEY, "JapaneseMessage", c.pszValue);
        Read();
        EXPECT_EQ(c.bJapanese, g_bJapaneseMessage);
        EXPECT_EQ(30000u, g_dwMonitoringCycle);
        EXPECT_TRUE(LogHas(c.pszLine));
    }
}
