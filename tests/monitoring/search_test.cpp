// Where the new entries of a poll begin.
#include <string>
#include <vector>

#include "LogFile.h"
#include "Monitoring.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

IMLINFO E(DWORD dwNumber, const std::string &strCreated, WORD wClass = 1, WORD wCode = 2) {
    IMLINFO t;
    t.dwEventNumber = dwNumber;
    t.strCreated = strCreated;
    t.strUpdated = strCreated;
    t.wEventClass = wClass;
    t.wEventCode = wCode;
    t.strSeverity = "OK";
    return t;
}

std::string T(int nSecond) {
    char buf[32];
    snprintf(buf, sizeof buf, "2026-12-06 01:00:%02d", nSecond);
    return buf;
}

// Ten entries numbered 1..10, created at seconds 10, 11, ... 19.
std::vector<IMLINFO> Ten() {
    std::vector<IMLINFO> v;
    for (int i = 0; i < 10; ++i) v.push_back(E(DWORD(i + 1), T(10 + i)));
    return v;
}

struct Case {
    const char *pszName;
    DWORD dwServiceStart;
    IMLINFO tagChecked;
    std::string strCheckedTime;
    std::vector<IMLINFO> vecList;
    int nResult;
    DWORD dwIndex;
    std::vector<std::string> vecLog;  // operation log after the "Start" line
};

class NewEntrySearch : public ZavTest {
protected:
    void Run(const Case &c) {
        SCOPED_TRACE(c.pszName);
        g_strLogFilePath = m_dir.file("inst/log/search-" + std::to_string(m_nRun++) + ".log");
        ASSERT_EQ(1, AllocImlList(DWORD(c.vecList.size())));
        for (size_t i = 0; i < c.vecList.size(); ++i) g_tagImlList[i] = c.vecList[i];
        g_dwServiceStart = c.dwServiceStart;
        g_tagCheckedIml = c.tagChecked;
        g_strCheckedTime = c.strCheckedTime;
        g_dwNewEventIndex = 77;
        EXPECT_EQ(c.nResult, SearchNewEventNumber());
        EXPECT_EQ(c.dwIndex, g_dwNewEventIndex);
        std::vector<std::string> vecLog = {"[SearchNewEventNumber],Debug,Start"};
        for (const std::string &s : c.vecLog) vecLog.push_back("[SearchNewEventNumber]," + s);
        EXPECT_EQ(vecLog, LogMessages());
    }
    int m_nRun = 0;
};

const char *kNoMatch = "Match Event Not Found";

}  // namespace

TEST_F(NewEntrySearch, FindsTheEntryAfterTheCheckedOne) {
    IMLINFO tagFifth = Ten()[4];
    tagFifth.strUpdated = "2030-01-01 00:00:00";  // only number, created, class and code count
    tagFifth.dwRepaired = 1;
    const std::vector<Case> cases = {
        {"first start", 0, Ten()[4], T(15), Ten(), 1, 0, {}},
        {"checked entry empty", 1, IMLINFO(), T(15), Ten(), 1, 0, {"Checked Info Not Found"}},
        {"match at index 4 of 10", 1, tagFifth, "", Ten(), 1, 5, {}},
        {"match is the newest", 1, Ten()[9], "", Ten(), 1, 10, {}},
        {"match is the oldest", 1, Ten()[0], "", Ten(), 1, 1, {}},
        {"checked entry only has a class", 1, E(0, "", 5, 0), "", {E(1, T(1)), E(0, "", 5, 0), E(3, T(3))}, 1, 2,
         {}},
    };
    for (const Case &c : cases) Run(c);
}

TEST_F(NewEntrySearch, FirstEntryWithTheNumberDecidesAndMismatchFallsBackOnTime) {
    // Index 2 carries the checked number with another created time; index 5
    // would match in full but is never examined.
    std::vector<IMLINFO> vecReused = Ten();
    vecReused[2] = E(42, T(12));
    vecReused[5] = E(42, T(30));
    std::vector<IMLINFO> vecClass = Ten();
    vecClass[3].wEventClass = 9;
    std::vector<IMLINFO> vecCode = Ten();
    vecCode[3].wEventCode = 9;
    std::vector<IMLINFO> vecLonger = Ten();
    vecLonger[3].strCreated += " ";
    const std::vector<Case> cases = {
        {"number reused", 1, E(42, T(30)), T(14), vecReused, 1, 4, {kNoMatch}},
        {"class differs", 1, Ten()[3], T(17), vecClass, 1, 7, {kNoMatch}},
        {"code differs", 1, Ten()[3], T(17), vecCode, 1, 7, {kNoMatch}},
        {"created longer by a blank", 1, Ten()[3], T(17), vecLonger, 1, 7, {kNoMatch}},
        {"number not in the list", 1, E(99, T(13)), T(13), Ten(), 1, 3, {kNoMatch}},
    };
    for (const Case &c : cases) Run(c);
}

TEST_F(NewEntrySearch, NoMatchAndNoCheckedTimeGivesNoDecision) {
    Run({"no basis", 1, E(99, T(13)), "", Ten(), 0, 77, {kNoMatch, "Checked Time Not Found"}});
}

TEST_F(NewEntrySearch, TimeFallbackTakesTheFirstEntryNotEarlierThanTheCheckedTime) {
    std::vector<IMLINFO> vecBlanks = {E(1, ""), E(2, T(10)), E(3, ""), E(4, T(20)), E(5, "")};
    std::vector<IMLINFO> vecPrefix = {E(1, "2026-12-06 01:00"), E(2, T(20))};
    std::vector<IMLINFO> vecHigh = {E(1, T(4)), E(2, "2026-12-06 01:00:0\xB0")};
    std::vector<IMLINFO> vecUnordered = {E(1, T(10)), E(2, T(30)), E(3, T(15)), E(4, T(40))};
    const IMLINFO tagGone = E(99, T(0));
    const std::vector<Case> cases = {
        {"created exactly at the checked time", 1, tagGone, T(15), Ten(), 1, 5, {kNoMatch}},
        {"empty created times are passed over", 1, tagGone, T(11), vecBlanks, 1, 3, {kNoMatch}},
        {"a prefix is earlier", 1, tagGone, T(0), vecPrefix, 1, 1, {kNoMatch}},
        {"bytes compare unsigned", 1, tagGone, T(5), vecHigh, 1, 1, {kNoMatch}},
        {"list order, not the smallest time", 1, tagGone, T(12), vecUnordered, 1, 1, {kNoMatch}},
        {"all entries older", 1, tagGone, T(59), Ten(), 1, 10, {kNoMatch, "New Event Not Found"}},
        {"only empty created times", 1, tagGone, T(1), {E(1, ""), E(2, "")}, 1, 2,
         {kNoMatch, "New Event Not Found"}},
    };
    for (const Case &c : cases) Run(c);
}
