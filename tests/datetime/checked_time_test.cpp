// Time-text normalisation and the persisted checked time.
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "LogFile.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "ZavDateTime.h"
#include "zavsmsrv.h"

namespace {

class CheckedTime : public TracedTest {
protected:
    CheckedTime() : TracedTest("ZavDateTime") {}
};

}  // namespace

TEST(TimeText, KeepsNineteenCharactersWithABlankAtIndexTen) {
    struct Case {
        std::string strIn, strOut;
    };
    const Case cases[] = {
        {"", ""},
        {"x", ""},
        {"2026-12-06T01:02:0", ""},  // 18 characters
        {"2026-12-06T01:02:03", "2026-12-06 01:02:03"},
        {"2026-12-06T01:02:03.500", "2026-12-06 01:02:03"},
        {"2026-12-06 01:02:03", "2026-12-06 01:02:03"},
        {"2026-12-06X01:02:03Z+09:00", "2026-12-06 01:02:03"},
        {"abcdefghijKlmnopqrs", "abcdefghij lmnopqrs"},
        {std::string("2026-12-06\0" "01:02:03", 19), "2026-12-06 01:02:03"},
        {"\xC6\xFC\xBB\xFE\xC6\xFC\xBB\xFE\xC6\xFC\xBB\xFE\xC6\xFC\xBB\xFE\xC6\xFC\xBB\xFE",
         "\xC6\xFC\xBB\xFE\xC6\xFC\xBB\xFE\xC6\xFC \xFE\xC6\xFC\xBB\xFE\xC6\xFC\xBB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.strIn);
        EXPECT_EQ(c.strOut, ConvertTimeString(c.strIn));
    }
}

TEST_F(CheckedTime, ValueWrittenByHandIsReadUpToItsNul) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "CheckedTime", std::string("sz:2026-12-06 01:02:03\0tail", 27));
    EXPECT_EQ("2026-12-06 01:02:03", GetCheckedTime());
}

TEST_F(CheckedTime, FailedStoreIsLoggedAndKeepsTheOldValue) {
    ASSERT_EQ(1, SetCheckedTime("2026-12-06 01:02:03"));
    const std::string strFile = ValueFilePath(ZAV_PARAMETERS_KEY, "CheckedTime");
    ASSERT_EQ(0, unlink(strFile.c_str()));
    ASSERT_EQ(0, mkdir(strFile.c_str(), 0755));
    (void)unlink(g_strLogFilePath.c_str());
    EXPECT_EQ(0, SetCheckedTime("2026-12-07 00:00:00"));
    const std::vector<std::string> vecLog = {"[SetCheckedTime],Debug,Start",
                                             "[SetCheckedTime],Debug,2026-12-07 00:00:00",
                                             "[SetCheckedTime],Error,0x15"};
    EXPECT_EQ(vecLog, LogMessages());
    EXPECT_TRUE(TraceHas(1, "<SetCheckedTime failed"));
}

TEST_F(CheckedTime, TextTooLongForTheStringBlockIsRefused) {
    ASSERT_EQ(1, SetCheckedTime("2026-12-06 01:02:03"));
    EXPECT_EQ(0, SetCheckedTime(std::string(128, '9')));
    EXPECT_TRUE(LogHas("[SetCheckedTime],Error,0x22"));
    EXPECT_EQ("2026-12-06 01:02:03", GetCheckedTime());
}
