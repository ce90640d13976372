// The per-poll entry list: creation, reset and release.
#include <string>

#include "LogFile.h"
#include "Monitoring.h"
#include "TestSupport.h"

namespace {

class EntryList : public ZavTest {};

IMLINFO Junk(DWORD n) {
    IMLINFO t;
    t.dwEventNumber = n;
    t.strCreated = "c";
    t.strUpdated = "u";
    t.wEventClass = 3;
    t.wEventCode = 4;
    t.dwRepaired = 1;
    t.strSeverity = "s";
    t.strMessage = "m";
    t.strRecommendedAction = "a";
    return t;
}

bool IsEmpty(const IMLINFO &t) {
    return t.dwEventNumber == 0 && t.strCreated.empty() && t.strUpdated.empty() && t.wEventClass == 0 &&
           t.wEventCode == 0 && t.dwRepaired == 0 && t.strSeverity.empty() && t.strMessage.empty() &&
           t.strRecommendedAction.empty();
}

bool IsJunk(const IMLINFO &t, DWORD n) {
    const IMLINFO j = Junk(n);
    return t.dwEventNumber == n && t.strCreated == j.strCreated && t.strUpdated == j.strUpdated &&
           t.wEventClass == j.wEventClass && t.wEventCode == j.wEventCode && t.dwRepaired == j.dwRepaired &&
           t.strSeverity == j.strSeverity && t.strMessage == j.strMessage &&
           t.strRecommendedAction == j.strRecommendedAction;
}

void FillJunk() {
    for (DWORD i = 0; i < g_dwMaxIndex; ++i) g_tagImlList[i] = Junk(i + 1);
}

}  // namespace

TEST_F(EntryList, NewListHoldsEmptyRecords) {
    ASSERT_EQ(1, AllocImlList(4));
    ASSERT_NE(nullptr, g_tagImlList);
    EXPECT_EQ(4u, g_dwMaxIndex);
    for (DWORD i = 0; i < 4; ++i) EXPECT_TRUE(IsEmpty(g_tagImlList[i])) << i;
    // A second list replaces the first one with empty records again.
    FillJunk();
    ASSERT_EQ(1, AllocImlList(2));
    EXPECT_EQ(2u, g_dwMaxIndex);
    for (DWORD i = 0; i < 2; ++i) EXPECT_TRUE(IsEmpty(g_tagImlList[i])) << i;
}

TEST_F(EntryList, InitEmptiesTheFirstRecordsOnly) {
    ASSERT_EQ(1, AllocImlList(3));
    FillJunk();
    InitImlList(2);
    EXPECT_TRUE(IsEmpty(g_tagImlList[0]));
    EXPECT_TRUE(IsEmpty(g_tagImlList[1]));
    EXPECT_TRUE(IsJunk(g_tagImlList[2], 3));
    FillJunk();
    InitImlList(3);
    for (DWORD i = 0; i < 3; ++i) EXPECT_TRUE(IsEmpty(g_tagImlList[i])) << i;
}

TEST_F(EntryList, InitWithZeroOrLessTouchesNothing) {
    InitImlList(0);  // no list at all: must not touch one
    InitImlList(-1);
    ASSERT_EQ(1, AllocImlList(2));
    FillJunk();
    for (int n : {0, -1, -2147483647 - 1}) {
        InitImlList(n);
        EXPECT_TRUE(IsJunk(g_tagImlList[0], 1)) << n;
        EXPECT_TRUE(IsJunk(g_tagImlList[1], 2)) << n;
    }
}

TEST_F(EntryList, ClearReleasesTheListAndResetsTheCounters) {
    ASSERT_EQ(1, AllocImlList(3));
    g_dwNewEventIndex = 2;
    ClearImlList();
    EXPECT_EQ(nullptr, g_tagImlList);
    EXPECT_EQ(0u, g_dwMaxIndex);
    EXPECT_EQ(0u, g_dwNewEventIndex);
}

TEST_F(EntryList, ClearWithoutAListOnlyResetsTheCounters) {
    g_dwMaxIndex = 5;
    g_dwNewEventIndex = 3;
    ClearImlList();
    EXPECT_EQ(nullptr, g_tagImlList);
    EXPECT_EQ(0u, g_dwMaxIndex);
    EXPECT_EQ(0u, g_dwNewEventIndex);
    ClearImlList();
    EXPECT_EQ(0u, g_dwMaxIndex);
    EXPECT_EQ(0u, g_dwNewEventIndex);
}

TEST_F(EntryList, ListHandlingWritesNoOperationLog) {
    ASSERT_EQ(1, AllocImlList(2));
    InitImlList(2);
    ClearImlList();
    ClearImlList();
    EXPECT_TRUE(LogMessages().empty());
}
