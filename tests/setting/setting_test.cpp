// The definition file, event filtering and IDs, the checked entry and the poll interval.
#include <sstream>

#include "CheckedState.h"
#include "Setting.h"
#include "TestSupport.h"

namespace {

// Status, section index and the line reading stopped at, then the first three rows.
std::string Parse(const std::string &strFile, int bJapanese) {
    std::istringstream in(strFile);
    std::vector<TARGETEVENTINFO> table(ZAV_TARGET_ROWS + 2);  // room for a row written past the end
    const DEFINITIONRESULT r = ParseTargetEventInfo(in, bJapanese, table.data());
    std::string s = std::to_string(r.nStatus) + " " + std::to_string(r.nIndex) + " " + r.strLine + " ";
    for (int i = 0; i < 3 && (table[i].wEventClass || table[i].wEventCode); ++i) {
        char buf[32];
        snprintf(buf, sizeof buf, "%X/%X:", table[i].wEventClass, table[i].wEventCode);
        s += buf + table[i].strCriticalText + ":" + table[i].strWarningText + ":" + table[i].strInformationText + ";";
    }
    return s;
}

std::string Sections(unsigned nCount) {
    std::string s;
    char buf[32];
    for (unsigned i = 1; i <= nCount; ++i) s.append(buf, size_t(snprintf(buf, sizeof buf, "[%08X]\n", 0x10000u + i)));
    return s;
}

IMLINFO Iml(WORD wClass, WORD wCode, const char *pszSeverity, DWORD dwRepaired = 0, DWORD dwNumber = 1,
            const std::string &strCreated = "", const std::string &strUpdated = "") {
    return IMLINFO{dwNumber, strCreated, strUpdated, wClass, wCode, dwRepaired, pszSeverity, "", ""};
}

}  // namespace

TEST(Definition, LinesFillTheTableOrNameWhereReadingStopped) {
    const std::string strSample = "#IML events\n\n[00010002]\nf=Crit\nw=Warn\ni=Info\n[0023001A] x\n[0x0005abcd]\n";
    const struct { std::string strFile; int bJapanese; std::string strResult; } cases[] = {
        {strSample, 1, "0 2  1/2:Crit:Warn:Info;23/1A:::;5/ABCD:::;"},
        {strSample, 0, "0 2  1/2:::;23/1A:::;5/ABCD:::;"},
        {"[00010002]\nw=old\nw\nf=one\nfatal=two\ni=a=b\nx=T\n#i=c\n F=d\n", 1, "0 0  1/2:two::a=b;"},
        {"[007F0001]\n[00800001]\n", 0, "2 1 00800001 7F/1:::;"},
        {"[00010000]\n", 0, "2 0 00010000 "},
        {"f=abc\n[00010002]\n", 1, "3 -1 f=abc "},
        {"#only\n", 0, "3 -1  "},
        {Sections(512), 0, "0 511  1/1:::;1/2:::;1/3:::;"},
        {Sections(512) + "[00010201] last", 0, "3 512 [00010201] last 1/1:::;1/2:::;1/3:::;"},
    };
    for (const auto &c : cases) EXPECT_EQ(c.strResult, Parse(c.strFile, c.bJapanese)) << c.strFile.substr(0, 60);
}

TEST_F(ZavTest, EventIdsFollowClassCodeSeverityAndPastRouting) {
    // Past reports of 0xC0008102 go to the remote destination, of 0x40008102 not (alive level 4).
    for (const std::string strID : {"C0008102", "40008102"}) {
        (void)Key(ZAV_REPORT_TABLE_KEY + strID + "\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT");
        SetValue(ZAV_REPORT_TABLE_KEY + strID + "\\EVENTSETTING", "AliveLevel", strID[0] == 'C' ? "dword:0" : "dword:4");
    }
    const struct { DWORD dwStart; int bPast; IMLINFO tagEntry; DWORD dwID; } cases[] = {
        {1, 0, Iml(0x01, 0x0002, "Critical"), 0xC0008102}, {1, 0, Iml(0x23, 0x1A05, "Warning"), 0x801AA305},
        {1, 0, Iml(0x7F, 0xFFFF, "OK"), 0x40FFFFFF},        {1, 0, Iml(0x01, 0x0002, "Critical", 1), 0x40008102},
        {1, 0, Iml(0x01, 0x0002, "Warning", 2), 0x80008102}, {1, 0, Iml(0x01, 0x0002, "critical"), 0},
        {1, 0, Iml(0x80, 0x0002, "Critical"), 0},            {1, 0, Iml(0x01, 0x0000, "Critical"), 0},
        {0, 1, Iml(0x01, 0x0002, "Critical"), 0},            {0, 0, Iml(0x01, 0x0002, "Critical"), 0xC0008102},
        {1, 1, Iml(0x01, 0x0002, "Critical"), ZAV_PAST_CRITICAL_HALVERN},
        {1, 1, Iml(0x01, 0x0002, "Warning"), ZAV_PAST_WARNING},
        {1, 1, Iml(0x01, 0x0002, "OK"), ZAV_PAST_INFORMATION},
    };
    for (const auto &c : cases) EXPECT_EQ(c.dwID, CreateReportEventID(c.bPast, c.tagEntry, c.dwStart)) << "case " << &c - cases;
}

TEST_F(ZavTest, TheFirstMatchingRowGivesTheHeadlineOfTheSeverity) {
    g_tagTargetEvent[0] = {1, 2, "C0", "W0", "I0"};
    g_tagTargetEvent[1] = {1, 2, "C1", "W1", "I1"};
    g_tagTargetEvent[3] = {5, 6, "C3", "W3", "I3"};  // after the empty row: never read
    g_bJapaneseMessage = 1;
    const std::pair<IMLINFO, std::string> cases[] = {
        {Iml(1, 2, "Critical"), "1 C0"}, {Iml(1, 2, "Warning"), "1 W0"}, {Iml(1, 2, "OK"), "1 I0"},
        {Iml(1, 2, "Critical", 1), "1 I0"}, {Iml(1, 3, "Critical"), "0 -"}, {Iml(5, 6, "OK"), "0 -"},
    };
    for (const auto &c : cases) {
        std::string strText = "-";
        EXPECT_EQ(c.second, std::to_string(IsTargetEvent(c.first, strText)) + " " + strText) << "case " << &c - cases;
    }
}

TEST_F(ZavTest, TheCheckedEntryIsStoredAndComparedWithTheCheckedTime) {
    const IMLINFO tagChecked = Iml(5, 0x102, "", 0, 7, T(3), T(5));
    CHECKEDSTATE tagState;
    ASSERT_TRUE(SetCheckedImlInfo(tagState, tagChecked));
    std::string strFiles;
    for (const char *pszName : {"ReadEventNumber", "ReadCreated", "ReadUpdated", "ReadEventClass", "ReadEventCode", "ReadRepaired"})
        strFiles += Read(ValuePath(ZAV_PARAMETERS_KEY, pszName));
    EXPECT_EQ("dword:7\nsz:" + T(3) + "\nsz:" + T(5) + "\ndword:5\ndword:258\ndword:0\n", strFiles);

    tagState.strTime = T(5);
    const struct { IMLINFO tagEntry; int bNew; bool bUpdated; } cases[] = {
        {tagChecked, 1, false}, {Iml(0x05, 0x0102, "OK", 1, 7, T(3), T(5)), 1, true},
        {Iml(0x05, 0x0102, "OK", 0, 6, T(1), T(5)), 0, true}, {Iml(0x05, 0x0102, "OK", 0, 6, T(1), T(4)), 0, false},
        {Iml(0x05, 0x0102, "OK", 0, 6, T(1), ""), 0, false}, {Iml(0x05, 0x0102, "OK", 0, 8, T(1), T(1)), 1, true},
    };
    for (const auto &c : cases) EXPECT_EQ(c.bUpdated, IsUpdatedEvent(tagState, c.tagEntry, c.bNew)) << "case " << &c - cases;
    tagState.strTime.clear();
    EXPECT_FALSE(IsUpdatedEvent(tagState, cases[2].tagEntry, 0)) << "without a checked time an old entry is not updated";
    EXPECT_TRUE(LogHas("[IsUpdatedEvent],Checked Time Not Found"));
}

TEST(Settings, TheMonitoringCycleIsClampedToTenSecondsAndTo32Bits) {
    const std::pair<DWORD, DWORD> cases[] = {{0, 10000}, {9, 10000}, {11, 11000}, {4294967, 4294967000u}, {4294968, 4294967000u}};
    for (const auto &c : cases) EXPECT_EQ(c.second, MonitoringCycleOf(c.first)) << c.first;
}
