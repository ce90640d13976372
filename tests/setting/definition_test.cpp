// The definition file parser and the section-name conversion.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "LogFile.h"
#include "Monitoring.h"
#include "Setting.h"
#include "TestSupport.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

const char *kInvalid = "Definition File(zavsmsrv.conf) Invalid";

class DefinitionFile : public TracedTest {
protected:
    DefinitionFile() : TracedTest("Setting") {}
    void SetUp() override {
        TracedTest::SetUp();
        CaptureIndications();
    }
    void WriteConf(const std::string &strContent) { WriteFile(g_strZavDir + "/data/zavsmsrv.conf", strContent); }


    // The loader's failure event: the service's own source, error type, message first.
    void ExpectReported(const std::string &strMessage) {
        ASSERT_EQ(1u, CapturedIndications().size());
        const CapturedIndication &c = CapturedIndications()[0];
        EXPECT_EQ(0xC000238Du, c.dwEventID);
        EXPECT_EQ("ZAVSystemManagementService", c.strSource);
        EXPECT_EQ(1u, c.dwEventType);
        EXPECT_EQ(2u, c.dwStringCount);
        EXPECT_EQ((std::vector<std::string>{strMessage, "", "", "", ""}), c.vecStrings);
    }
};

void ExpectRow(int nRow, WORD wClass, WORD wCode, const std::string &strCritical = "",
               const std::string &strWarning = "", const std::string &strInformation = "") {
    SCOPED_TRACE("row " + std::to_string(nRow));
    const TARGETEVENTINFO &r = g_tagTargetEvent[nRow];
    EXPECT_EQ(wClass, r.wEventClass);
    EXPECT_EQ(wCode, r.wEventCode);
    EXPECT_EQ(strCritical, r.strCriticalText);
    EXPECT_EQ(strWarning, r.strWarningText);
    EXPECT_EQ(strInformation, r.strInformationText);
}

const char *kSample =
    "#IML events to report\n"
    "\n"
    "[00010002]\n"
    "f=Critical headline\n"
    "w=Warning headline\n"
    "i=Information headline\n"
    "[0023001A]\n"
    "[0x0005ABCD]\n";

}  // namespace

TEST_F(DefinitionFile, MissingFileReportsNotFoundAndFails) {
    EXPECT_FALSE(GetTargetEventInfo());
    ExpectReported("Definition File(zavsmsrv.conf) Not Found");
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],Debug,Start"));
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],Error,File Open"));
    EXPECT_TRUE(TraceHas(1, "<open zavsmsrv.conf failed."));
    ExpectRow(0, 0, 0);
}

TEST_F(DefinitionFile, UnreadableFileFailsLikeAMissingOne) {
    // A folder at the path opens but cannot be read; a read loop waiting for
    // the end of the file would never end.
    ASSERT_EQ(0, mkdir((g_strZavDir + "/data/zavsmsrv.conf").c_str(), 0755));
    alarm(60);
    EXPECT_FALSE(GetTargetEventInfo());
    alarm(0);
    ExpectReported("Definition File(zavsmsrv.conf) Not Found");
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],Error,File Open"));
}

TEST_F(DefinitionFile, SectionsFillRowsInFileOrderWithTexts) {
    g_bJapaneseMessage = 1;
    WriteConf(kSample);
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x0002, "Critical headline", "Warning headline", "Information headline");
    ExpectRow(1, 0x23, 0x001A);
    ExpectRow(2, 0x05, 0xABCD);
    ExpectRow(3, 0, 0);
    EXPECT_TRUE(CapturedIndications().empty());
    const std::vector<std::string> vecTail = {"[GetTargetEventInfo],02", "[GetTargetEventInfo],Debug,End"};
    const std::vector<std::string> vecLog = LogMessages();
    ASSERT_GE(vecLog.size(), 2u);
    EXPECT_EQ(vecTail, std::vector<std::string>(vecLog.end() - 2, vecLog.end()));
    EXPECT_TRUE(TraceHas(3, "GetTargetEventInfo success.(iIndex:2)"));
}

// Every way the file can be refused: the event, the log line and the trace.
TEST_F(DefinitionFile, InvalidFilesAreRefusedWithTheLineAndIndex) {
    struct Case {
        const char *pszName;
        std::string strContent;
        int bJapanese;
        std::string strLogLine;
        std::vector<std::string> vecTraces;
    };
    const std::vector<Case> cases = {
        {"comments and blanks only", "# only\n\n#x\n", 0, "Read= Index = -1", {"<Index of conf(-1), error."}},
        {"empty file", "", 0, "Read= Index = -1", {"<Index of conf(-1), error."}},
        {"last comment without line feed", "#a\n#last", 0, "Read=#last Index = -1", {}},
        {"text before first section", "f=abc\n[00010002]\n", 0, "Read=f=abc Index = -1", {}},
        {"text before first section, japanese", "f=abc\n[00010002]\n", 1, "Read=f=abc Index = -1", {}},
        {"leading-space header first", " [00010002]\n", 0, "Read= [00010002] Index = -1", {}},
        {"CR LF blank line first", "\r\n[00010002]\r\n", 0, "Read=\r Index = -1", {}},
        {"empty brackets", "[]\n", 0, "Read= Index = 00", {"Invalid dwTargetValue()", "<invalid ReadCode()"}},
        {"not hexadecimal", "[xyz]\n", 0, "Read=xyz Index = 00",
         {"Invalid dwTargetValue(xyz)", "<invalid ReadCode(xyz)"}},
        {"no closing bracket", "[00010002\n", 0, "Read= Index = 00", {"Invalid dwTargetValue()"}},
        {"class 0x80", "[00800001]\n", 0, "Read=00800001 Index = 00", {"Invalid dwEventClass(0x80)"}},
        {"code 0", "[00010000]\n", 0, "Read=00010000 Index = 00", {"Invalid dwEventCode(0x0)"}},
        {"class 0", "[00000001]\n", 0, "Read=00000001 Index = 00", {"Invalid dwEventClass(0x0)"}},
        {"bad second section", "[00010002]\n[00800001]\n", 0, "Read=00800001 Index = 01", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszName);
        ResetServiceGlobals();
        g_strZavDir = m_dir.file("inst");
        g_strLogFilePath = m_dir.file("inst/log/zavsmsrv.log." + std::to_string(&c - &cases[0]));
        g_dwLogLevel = 5;
        CaptureIndications();
        WriteFile(m_dir.file("trace.log"), "");
        g_bJapaneseMessage = c.bJapanese;
        WriteConf(c.strContent);
        EXPECT_FALSE(GetTargetEventInfo());
        ExpectReported(kInvalid);
        EXPECT_TRUE(LogHas("[GetTargetEventInfo],Error," + c.strLogLine));
        for (const std::string &t : c.vecTraces) EXPECT_TRUE(TraceHas(1, t)) << t;
    }
}

namespace {
std::string Sections(int nCount) {
    std::string s;
    char buf[32];
    for (int i = 0; i < nCount; ++i) {
        snprintf(buf, sizeof buf, "[%08X]\n", 0x00010000u + unsigned(i) + 1u);
        s += buf;
    }
    return s;
}
}  // namespace

TEST_F(DefinitionFile, FiveHundredTwelveSectionsAreAccepted) {
    WriteConf(Sections(512));
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 1);
    ExpectRow(511, 0x01, 512);
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],511"));
    EXPECT_TRUE(TraceHas(3, "GetTargetEventInfo success.(iIndex:511)"));
}

TEST_F(DefinitionFile, A513thSectionHeaderFailsEvenAsTheLastLine) {
    WriteConf(Sections(512) + "[00010201] last words");
    EXPECT_FALSE(GetTargetEventInfo());
    ExpectReported(kInvalid);
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],Error,Read=[00010201] last words Index = 512"));
    EXPECT_TRUE(TraceHas(1, "<Index of conf(512), error."));
}

TEST_F(DefinitionFile, HeaderTextAfterTheClosingBracketIsIgnored) {
    WriteConf("[0001000A] trailing words\n[0x0005abcd]]x\n");
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x000A);
    ExpectRow(1, 0x05, 0xABCD);
}

TEST_F(DefinitionFile, LeadingSpaceHeaderAfterASectionIsAnIgnoredTextLine) {
    for (int bJapanese : {0, 1}) {
        SCOPED_TRACE(bJapanese);
        for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
        g_bJapaneseMessage = bJapanese;
        WriteConf("[00010002]\n [00030004]\nf=x\n");
        ASSERT_TRUE(GetTargetEventInfo());
        ExpectRow(0, 0x01, 0x0002, bJapanese ? "x" : "");
        ExpectRow(1, 0, 0);
    }
}

TEST_F(DefinitionFile, JapaneseTextLinesPickTheFieldByTheirFirstLetter) {
    g_bJapaneseMessage = 1;
    WriteConf(
        "[00010002]\n"
        "w=old\n"
        "w\n"                 // no "=": an empty text replaces the old one
        "f=one\n"
        "fatal=two\n"         // a later line with the same letter replaces
        "i=a=b\n"             // everything after the first "="
        "x=Text\n"            // other letters are ignored
        "F=Upper\n"
        "I=Upper\n"
        "#i=comment\n"
        "[00030004]\n"
        "warning=Text\n"
        "f= spaced \n"
        "i=\n"
        "[00050006]\n"
        "w=\n");
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x0002, "two", "", "a=b");
    ExpectRow(1, 0x03, 0x0004, " spaced ", "Text", "");
    ExpectRow(2, 0x05, 0x0006);
}

TEST_F(DefinitionFile, CrLfFileKeepsTheCarriageReturnInTexts) {
    g_bJapaneseMessage = 1;
    WriteConf("#c\r\n[00010002]\r\nf=Crit\r\n\r\nw\r\n[00030004]\r\n");
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x0002, "Crit\r", "", "");
    ExpectRow(1, 0x03, 0x0004);
    EXPECT_TRUE(LogHas("[GetTargetEventInfo],01"));
}

TEST_F(DefinitionFile, NulBytesAndBinaryJunkAreReadAsBytes) {
    g_bJapaneseMessage = 1;
    const std::string strContent = std::string("[00010002]\n") + std::string("f=ab\0cd\n", 8) +
                                   "\xFF\xFE junk\n" + std::string("\0\0\0\n", 4) + "\x80w=no\n" +
                                   std::string("[00030004\0zz]\n", 14) + "i=\xA4\xA2\xA4\xA4\n";
    WriteConf(strContent);
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x0002, std::string("ab\0cd", 5), "", "");
    ExpectRow(1, 0x03, 0x0004, "", "", "\xA4\xA2\xA4\xA4");
}

TEST_F(DefinitionFile, VeryLongLinesAreReadWhole) {
    g_bJapaneseMessage = 1;
    const std::string strLong(1 << 20, 'y');
    WriteConf("[00010002]" + std::string(1 << 20, 'x') + "\nf=" + strLong + "\n");
    ASSERT_TRUE(GetTargetEventInfo());
    ExpectRow(0, 0x01, 0x0002, strLong, "", "");
}

TEST(SectionName, ConvertsToClassAndCode) {
    struct Case {
        const char *pszText;
        bool bValid;
        WORD wClass, wCode;
    };
    const Case cases[] = {
        {"0023001A", true, 0x23, 0x001A},
        {"23001A", true, 0x23, 0x001A},
        {"0x0023001A", true, 0x23, 0x001A},
        {"0X0023001a", true, 0x23, 0x001A},
        {"  0001000a", true, 0x01, 0x000A},
        {"007FFFFF", true, 0x7F, 0xFFFF},
        {"7FFFFFFF", false, 0x7FFF, 0xFFFF},
        {"00010002zz", true, 0x01, 0x0002},
        {"", false, 0, 0},
        {"xyz", false, 0, 0},
        {"0", false, 0, 0},
        {"00800001", false, 0x80, 0x0001},
        {"00010000", false, 0x01, 0x0000},
        {"00000001", false, 0x00, 0x0001},
        {"FFFF0000", false, 0xFFFF, 0x0000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pszText);
        WORD wClass = 0xDEAD, wCode = 0xBEEF;
        EXPECT_EQ(c.bValid, ConvertTargetEventInfo(c.pszText, wClass, wCode));
        EXPECT_EQ(c.wClass, wClass);
        EXPECT_EQ(c.wCode, wCode);
    }
}
