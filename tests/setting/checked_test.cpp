// The last checked entry: load, store and the freshness test.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "Guards.h"
#include "LogFile.h"
#include "Monitoring.h"
#include "Setting.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

const char *kCreated = "2026-12-06 01:02:03";
const char *kUpdated = "2026-12-06 01:05:00";

class CheckedEntry : public TracedTest {
protected:
    CheckedEntry() : TracedTest("Setting") {}
    void Value(const char *pszName, const std::string &strContent) {
        WriteValueFile(ZAV_PARAMETERS_KEY, pszName, strContent);
    }
    std::string Stored(const char *pszName) { return ReadValueFile(ZAV_PARAMETERS_KEY, pszName); }
    void StoreAll(const std::string &strNumber, const std::string &strCreated, const std::string &strUpdated,
                  const std::string &strClass, const std::string &strCode, const std::string &strRepaired) {
        Value("ReadEventNumber", strNumber);
        Value("ReadCreated", strCreated);
        Value("ReadUpdated", strUpdated);
        Value("ReadEventClass", strClass);
        Value("ReadEventCode", strCode);
        Value("ReadRepaired", strRepaired);
    }
};

IMLINFO Entry(DWORD dwNumber, const std::string &strCreated, const std::string &strUpdated, WORD wClass,
              WORD wCode, DWORD dwRepaired) {
    IMLINFO t;
    t.dwEventNumber = dwNumber;
    t.strCreated = strCreated;
    t.strUpdated = strUpdated;
    t.wEventClass = wClass;
    t.wEventCode = wCode;
    t.dwRepaired = dwRepaired;
    return t;
}

// Fills the six persisted fields with junk that a load must replace.
void Dirty() { g_tagCheckedIml = Entry(99, "junk", "junk", 0x77, 0x7777, 1); }

void ExpectChecked(const IMLINFO &tagExpected) {
    const IMLINFO &c = g_tagCheckedIml;
    EXPECT_EQ(tagExpected.dwEventNumber, c.dwEventNumber);
    EXPECT_EQ(tagExpected.strCreated, c.strCreated);
    EXPECT_EQ(tagExpected.strUpdated, c.strUpdated);
    EXPECT_EQ(tagExpected.wEventClass, c.wEventClass);
    EXPECT_EQ(tagExpected.wEventCode, c.wEventCode);
    EXPECT_EQ(tagExpected.dwRepaired, c.dwRepaired);
}

}  // namespace

TEST_F(CheckedEntry, LoadNormalisesRepairedAndKeepsTheLowSixteenBits) {
    struct Case {
        const char *pszName;
        std::string strNumber, strCreated, strClass, strCode, strRepaired;
        IMLINFO tagExpected;
        const char *pszLine;
    };
    const std::vector<Case> cases = {
        {"repaired 5 reads as 1", "dword:7", "sz:a", "dword:5", "dword:6", "dword:5", Entry(7, "a", "u", 5, 6, 1),
         "[GetCheckedImlInfo],07,1,05,06,a,u"},
        {"class and code cut to 16 bits", "dword:2147483647", "sz:", "dword:0x00010023", "dword:4294901762",
         "dword:0", Entry(2147483647, "", "u", 0x23, 0x0002, 0), "[GetCheckedImlInfo],2147483647,0,23,02,,u"},
        {"text up to its NUL", "dword:0", std::string("sz:2026\0junk\n", 13), "dword:0", "dword:0",
         "dword:4294967295", Entry(0, "2026", "u", 0, 0, 1), "[GetCheckedImlInfo],00,1,00,00,2026,u"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        (void)unlink(g_strLogFilePath.c_str());
        StoreAll(c.strNumber, c.strCreated, "sz:u", c.strClass, c.strCode, c.strRepaired);
        Dirty();
        EXPECT_TRUE(GetCheckedImlInfo());
        ExpectChecked(c.tagExpected);
        EXPECT_TRUE(LogHas(c.pszLine));
    }
}

// Each case stops at a missing or unreadable value (~0.9 s of retries each).
TEST_F(CheckedEntry, LoadStopsAtTheFirstValueThatCannotBeRead) {
    struct Case {
        const char *pszName;
        std::vector<std::pair<const char *, std::string>> vecValues;
        IMLINFO tagExpected;
        DWORD dwServiceStart;
        const char *pszTrace;
    };
    const std::vector<Case> cases = {
        {"empty registry", {}, Entry(0, "", "", 0, 0, 0), 0,
         "<Can't get checked iml's Number. Regard as first start."},
        {"created stored as a number", {{"ReadEventNumber", "dword:7\n"}, {"ReadCreated", "dword:5\n"}},
         Entry(7, "", "", 0, 0, 0), 1, "<Can't get checked iml's Created"},
        {"malformed code",
         {{"ReadEventNumber", "dword:7\n"},
          {"ReadCreated", "sz:c\n"},
          {"ReadUpdated", "sz:u\n"},
          {"ReadEventClass", "dword:5\n"},
          {"ReadEventCode", "dword:0x1G\n"},
          {"ReadRepaired", "dword:1\n"}},
         Entry(7, "c", "u", 5, 0, 0), 1, "<Can't get checked iml's Code"},
        {"repaired missing",
         {{"ReadEventNumber", "dword:7\n"},
          {"ReadCreated", "sz:c\n"},
          {"ReadUpdated", "sz:u\n"},
          {"ReadEventClass", "dword:5\n"},
          {"ReadEventCode", "dword:6\n"}},
         Entry(7, "c", "u", 5, 6, 0), 1, "<Can't get checked iml's Repaired"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        for (const char *pszName :
             {"ReadEventNumber", "ReadCreated", "ReadUpdated", "ReadEventClass", "ReadEventCode", "ReadRepaired"})
            (void)unlink(ValueFilePath(ZAV_PARAMETERS_KEY, pszName).c_str());
        for (const auto &v : c.vecValues) Value(v.first, v.second);
        (void)unlink(g_strLogFilePath.c_str());
        g_dwServiceStart = 1;
        Dirty();
        EXPECT_FALSE(GetCheckedImlInfo());
        ExpectChecked(c.tagExpected);
        EXPECT_EQ(c.dwServiceStart, g_dwServiceStart);
        EXPECT_TRUE(TraceHas(1, c.pszTrace));
        // A failed load writes no value line and no End line.
        EXPECT_EQ(std::vector<std::string>{"[GetCheckedImlInfo],Debug,Start"}, LogMessages());
    }
}

TEST_F(CheckedEntry, StoreWritesSixValuesAndTheMemoryCopy) {
    IMLINFO t = Entry(7, kCreated, kUpdated, 0x05, 0x0102, 0);
    t.strSeverity = "Critical";
    t.strMessage = "msg";
    t.strRecommendedAction = "act";
    EXPECT_TRUE(SetCheckedImlInfo(t));
    ExpectChecked(t);
    EXPECT_EQ("", g_tagCheckedIml.strSeverity);
    EXPECT_EQ("", g_tagCheckedIml.strMessage);
    EXPECT_EQ("", g_tagCheckedIml.strRecommendedAction);
    EXPECT_EQ("dword:7\n", Stored("ReadEventNumber"));
    EXPECT_EQ("sz:2026-12-06 01:02:03\n", Stored("ReadCreated"));
    EXPECT_EQ("sz:2026-12-06 01:05:00\n", Stored("ReadUpdated"));
    EXPECT_EQ("dword:5\n", Stored("ReadEventClass"));
    EXPECT_EQ("dword:258\n", Stored("ReadEventCode"));
    EXPECT_EQ("dword:0\n", Stored("ReadRepaired"));
    const std::vector<std::string> vecLog = {"[SetCheckedImlInfo],Debug,Start",
                                             "[SetCheckedImlInfo],07,0,05,102,2026-12-06 01:05:00,2026-12-06 01:02:03",
                                             "[SetCheckedImlInfo],Debug,End"};
    EXPECT_EQ(vecLog, LogMessages());
    EXPECT_TRUE(TraceHas(0, "<SetCheckedImlInfo success."));

    // What was stored loads back unchanged.
    Dirty();
    EXPECT_TRUE(GetCheckedImlInfo());
    ExpectChecked(t);
}

TEST_F(CheckedEntry, StoreKeepsTheRepairedValueUnchanged) {
    EXPECT_TRUE(SetCheckedImlInfo(Entry(3, "", "", 1, 2, 2)));
    EXPECT_EQ(2u, g_tagCheckedIml.dwRepaired);
    EXPECT_EQ("dword:2\n", Stored("ReadRepaired"));
    EXPECT_EQ("sz:\n", Stored("ReadCreated"));
    EXPECT_TRUE(LogHas("[SetCheckedImlInfo],03,2,01,02,,"));
}

TEST_F(CheckedEntry, FailedStoreLeavesMemoryNewAndTheRegistryMixed) {
    const IMLINFO tagOld = Entry(7, kCreated, kUpdated, 0x05, 0x0102, 1);
    ASSERT_TRUE(SetCheckedImlInfo(tagOld));
    // A folder in place of the value file: the replacing rename fails.
    const std::string strClass = ValueFilePath(ZAV_PARAMETERS_KEY, "ReadEventClass");
    ASSERT_EQ(0, unlink(strClass.c_str()));
    ASSERT_EQ(0, mkdir(strClass.c_str(), 0755));
    (void)unlink(g_strLogFilePath.c_str());

    const IMLINFO tagNew = Entry(8, "2026-12-07 00:00:00", "2026-12-07 00:00:01", 0x06, 0x0203, 0);
    EXPECT_FALSE(SetCheckedImlInfo(tagNew));
    ExpectChecked(tagNew);
    EXPECT_EQ("dword:8\n", Stored("ReadEventNumber"));
    EXPECT_EQ("dword:258\n", Stored("ReadEventCode"));
    EXPECT_EQ("sz:2026-12-06 01:02:03\n", Stored("ReadCreated"));
    EXPECT_EQ("sz:2026-12-06 01:05:00\n", Stored("ReadUpdated"));
    EXPECT_EQ("dword:1\n", Stored("ReadRepaired"));
    std::vector<std::string> vecTemporaries;
    UniqueDir d(opendir(strClass.substr(0, strClass.rfind('/')).c_str()));
    while (dirent *e = readdir(d.get()))
        if (strstr(e->d_name, ".tmp")) vecTemporaries.push_back(e->d_name);
    EXPECT_EQ(std::vector<std::string>{}, vecTemporaries) << "the unstored values' temporary files are removed";
    const std::vector<std::string> vecLog = {"[SetCheckedImlInfo],Debug,Start", "[SetCheckedImlInfo],Error,0x15"};
    EXPECT_EQ(vecLog, LogMessages());
    EXPECT_TRUE(TraceHas(1, "<SetCheckedImlInfo : Event Class failed"));
}

TEST_F(CheckedEntry, UpdatedTestComparesWithTheCheckedEntryAndTime) {
    const IMLINFO tagChecked = Entry(7, kCreated, "2026-12-06 01:05:00", 0x05, 0x0102, 0);
    struct Case {
        const char *pszName;
        IMLINFO tagEntry;
        int bNew;
        std::string strCheckedTime;
        bool bUpdated;
        const char *pszTrace;
    };
    auto With = [&](void (*f)(IMLINFO &)) {
        IMLINFO t = tagChecked;
        f(t);
        return t;
    };
    const char *kTime = "2026-12-06 01:05:00";
    const std::vector<Case> cases = {
        {"same entry, new", tagChecked, 1, kTime, false,
         "<Current IML's information = Last Checked IML's information"},
        {"same entry, old", tagChecked, 0, kTime, false, nullptr},
        {"same six fields, other texts", With([](IMLINFO &t) { t.strSeverity = "OK"; t.strMessage = "m"; }), 1,
         kTime, false, nullptr},
        {"only repaired differs", With([](IMLINFO &t) { t.dwRepaired = 1; }), 1, "", true, "New IML"},
        {"created one byte longer", With([](IMLINFO &t) { t.strCreated += " "; }), 1, "", true, nullptr},
        {"old, updated at the checked time", With([](IMLINFO &t) { t.dwEventNumber = 6; }), 0, kTime, true,
         "<IML is updated"},
        {"old, updated a second earlier", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:04:59"; }), 0, kTime,
         false, "<Update time is older, IML is not updated"},
        {"old, updated later", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:05:01"; }), 0, kTime, true,
         nullptr},
        {"old, updated empty", With([](IMLINFO &t) { t.strUpdated = ""; }), 0, kTime, false, nullptr},
        {"old, updated a prefix of the checked time", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:05"; }),
         0, kTime, false, nullptr},
        {"old, checked time a prefix of updated", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:05:00x"; }),
         0, kTime, true, nullptr},
        {"old, bytes compared unsigned", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:05:0\xB0"; }), 0,
         kTime, true, nullptr},
        {"old, no checked time", With([](IMLINFO &t) { t.strUpdated = "2026-12-06 01:05:01"; }), 0, "", false,
         "<Checked time not found. IML is regard to not updated"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        WriteFile(m_dir.file("trace.log"), "");
        (void)unlink(g_strLogFilePath.c_str());
        g_tagCheckedIml = tagChecked;
        g_strCheckedTime = c.strCheckedTime;
        EXPECT_EQ(c.bUpdated, IsUpdatedEvent(c.tagEntry, c.bNew));
        if (c.pszTrace) {
            EXPECT_TRUE(TraceHas(c.strCheckedTime.empty() && !c.bNew ? 1 : 0, c.pszTrace));
        }
        const bool bNoTime = c.bNew == 0 && c.strCheckedTime.empty();
        EXPECT_EQ(bNoTime, LogHas("[IsUpdatedEvent],Checked Time Not Found"));
    }
}
