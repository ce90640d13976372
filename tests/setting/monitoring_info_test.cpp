// The poll interval and the Japanese switch read at start-up.
#include <unistd.h>

#include <string>
#include <vector>

#include "LogFile.h"
#include "Setting.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

class MonitoringInfo : public ZavTest {};

}  // namespace

TEST_F(MonitoringInfo, IntervalHasItsFloorAndCapAndOnlyOneSwitchesJapaneseOn) {
    struct Case {
        const char *pszInterval, *pszJapanese;  // nullptr: no value file
        DWORD dwCycle;
        int bJapanese;
    };
    const Case cases[] = {
        // both missing costs two rounds of registry retries: one case only
        {nullptr, nullptr, 30000, 0},
        {"sz:60\n", "dword:1\n", 30000, 1},  // another type: the default
        {"dword:0\n", "dword:0\n", 10000, 0},
        {"dword:9\n", "dword:2\n", 10000, 0},
        {"dword:10\n", "dword:255\n", 10000, 0},
        {"dword:11", "dword:257\n", 11000, 0},
        {"dword:0x3C\n", "dword:0x1\n", 60000, 1},
        {"dword:2147483\n", "dword:0\n", 2147483000u, 0},
        {"dword:4294967\n", "dword:0\n", 4294967000u, 0},
        // above this the product would wrap: capped at the largest that fits
        {"dword:4294968\n", "dword:0\n", 4294967000u, 0},
        {"dword:4294967295\n", "dword:0\n", 4294967000u, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.pszInterval ? c.pszInterval : "-") + " " + (c.pszJapanese ? c.pszJapanese : "-"));
        for (const auto &v : {std::make_pair("MonitorInterval", c.pszInterval),
                              std::make_pair("JapaneseMessage", c.pszJapanese)}) {
            (void)unlink(ValueFilePath(ZAV_PARAMETERS_KEY, v.first).c_str());
            if (v.second) WriteValueFile(ZAV_PARAMETERS_KEY, v.first, v.second);
        }
        (void)unlink(g_strLogFilePath.c_str());
        g_dwMonitoringCycle = 1;
        g_bJapaneseMessage = 7;
        GetMonitoringInfo();
        EXPECT_EQ(c.dwCycle, g_dwMonitoringCycle);
        EXPECT_EQ(c.bJapanese, g_bJapaneseMessage);
        // Shown unsigned, also above 2147483647 ms.
        const std::vector<std::string> vecLog = {"[GetMonitoringInfo],Debug,Start",
                                                 "Cycle=" + std::to_string(c.dwCycle),
                                                 c.bJapanese ? "JP=01" : "JP=00", "[GetMonitoringInfo],Debug,End"};
        EXPECT_EQ(vecLog, LogMessages());
    }
}
