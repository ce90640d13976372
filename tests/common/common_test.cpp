// The string helpers, the operation log and the registry helpers.
#include <sys/stat.h>

#include "LogFile.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

TEST(Texts, HelpersGiveWholeResultsOrNothing) {
    const SYSTEMTIME st{2024, 3, 2, 5, 7, 8, 9, 123};
    const std::pair<std::string, std::string> cases[] = {
        {IntToString(5, 16, 1), "05"}, {IntToString(0x2A, 16, 1), "2A"}, {IntToString(-1, 16, 1), "FFFFFFFF"},
        {IntToString(7, 10, 1), "07"}, {IntToString(-5, 10, 1), "-5"}, {IntToString(5, 10, 0), "5"},
        {IntToString(0x123, 16, 1), "123"}, {std::to_string(StringToInt("0x1F", 16)), "31"},
        {std::to_string(StringToInt("12abc", 10)), "12"}, {std::to_string(StringToInt("xyz", 16)), "0"},
        {GetLeftString("Key=Value", "="), "Key"}, {GetLeftString("KeyValue", "="), ""},
        {GetRightString("a=b=c", "="), "b=c"}, {GetRightString("Key==Value", "=Val"), "ue"},
        {GetRightString("a=b", ""), ""}, {GetEnclosedString("x[a]b]", "[", "]"), "a"},
        {GetEnclosedString("[Section", "[", "]"), ""}, {GetReplaceString("abc", 1, "XY"), "aXYc"},
        {GetReplaceString("abc", 4, "X"), ""}, {GetSubString("0123456789", 8, 2), "89"},
        {GetSubString("0123456789", 9, 2), ""}, {GetSubString("0123456789", 0xFFFFFFFFu, 2), ""},
        {WideCharToChar(L"Fan \u65E5\u6642"), "Fan \xC6\xFC\xBB\xFE"}, {WideCharToChar(L"\U0001F600"), ""},
        {FormatLogLine(st, "Start", "GetServiceStart", 5), "2024-03-05 07:08:09,[GetServiceStart],Debug,Start"},
        {FormatLogLine(st, "0x1C", "WriteDat", 1), "2024-03-05 07:08:09,[WriteDat],Error,0x1C"},
        {FormatLogLine(st, "Start", "", 3), "2024-03-05 07:08:09,Start"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.second, c.first) << "case " << &c - cases;
}

TEST_F(ZavTest, OperationLogFiltersByLevelAndRotatesPastItsSize) {
    for (DWORD dwLevel : {0u, 3u, 4u}) {
        g_dwLogLevel = dwLevel;
        for (DWORD dwLine : {1u, 3u, 5u}) WriteLog(std::to_string(dwLevel) + "/" + std::to_string(dwLine), "", dwLine, 0);
    }
    EXPECT_EQ((std::vector<std::string>{"Error,3/1", "3/3", "Error,4/1", "4/3"}), Log());

    (void)unlink(g_strLogFilePath.c_str());
    g_dwLogCurrentSize = 0;
    g_dwLogMaxSize = 1024;
    int nLines = 0;
    for (; g_bLogBackup == 0 && nLines < 100; ++nLines) WriteLog(std::string(100, 'a'), "", 3, 0);
    EXPECT_EQ(9, nLines) << "9 lines count 9 * (20 + 100 + 2) = 1098 > 1024";
    WriteLog("next", "", 3, 0);
    EXPECT_EQ(std::vector<std::string>{"next"}, Log());
    EXPECT_EQ(9u * 121u, Read(g_strLogFilePath + "1").size());
}

TEST_F(ZavTest, RegistryHelpersRoundTripAndRefuseTextsThatDoNotFitTheBlock) {
    ASSERT_EQ(1, SetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", std::string(127, 't').c_str()));
    EXPECT_EQ(0, SetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", std::string(128, 'u').c_str()));
    ASSERT_EQ(1, SetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", DWORD(4294967295u)));
    char szText[128] = {};
    DWORD dwValue = 0;
    ASSERT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", szText));
    ASSERT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", dwValue));
    EXPECT_EQ(std::string(127, 't'), szText);
    EXPECT_EQ(4294967295u, dwValue);
    EXPECT_EQ("dword:4294967295\n", Read(ValuePath(ZAV_PARAMETERS_KEY, "ReadEventNumber")));
    // A value of another type is not read as this one.
    EXPECT_EQ(0, GetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", szText));
    EXPECT_EQ(0, GetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", dwValue));
}
