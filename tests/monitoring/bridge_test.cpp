// The script bridge against the real interpreter: one poll's import, clock
// and list, the conversion of each entry, and the field readers. The test
// module returns whatever the test put into its DATETIME and IML globals
// (an exception object is raised instead).
#include "PyCompat.h"

#include <sys/stat.h>

#include <string>

#include "LogFile.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "TestSupport.h"

namespace {

const char *kModuleSource =
    "DATETIME = (200, '2026-12-06T01:02:03.500')\n"
    "IML = (200, [])\n"
    "def _give(value):\n"
    "    if isinstance(value, BaseException):\n"
    "        raise value\n"
    "    return value\n"
    "def get_datetime():\n"
    "    return _give(DATETIME)\n"
    "def get_iml():\n"
    "    return _give(IML)\n";

class Bridge : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        m_strModDir = m_dir.file("mod");
        ASSERT_EQ(0, mkdir(m_strModDir.c_str(), 0755));
        ASSERT_EQ(1, ZavPyInitialize());
        Run("import sys; sys.path.insert(0, '" + m_strModDir + "')");
    }
    void TearDown() override {
        ClearImlList();
        (void)ZavPyFinalize();
        ZavTest::TearDown();
    }
    void InstallModule(const std::string &strSource = kModuleSource) {
        WriteFile(m_strModDir + "/zavsmsrv.py", strSource);
    }
    // Runs Python statements; a failing statement fails the test.
    void Run(const std::string &strStatements) {
        ASSERT_EQ(0, PyRun_SimpleString(strStatements.c_str())) << strStatements;
    }
    void SetResults(const std::string &strDateTime, const std::string &strIml) {
        Run("import zavsmsrv\nzavsmsrv.DATETIME = " + strDateTime + "\nzavsmsrv.IML = " + strIml);
    }
    // One poll's bridge call with a fresh operation log.
    int Poll(std::string &strTime) {
        ClearImlList();
        WriteFile(g_strLogFilePath, "");
        const int nResult = ExecutePythonScript(strTime);
        EXPECT_EQ(nullptr, PyErr_Occurred()) << "the error indicator is left set";
        PyErr_Clear();
        return nResult;
    }
    std::string m_strModDir;
};

const char *kGoodEntry =
    "{'EventNumber': 7, 'Class': 5, 'Code': 26, 'Severity': 'Critical', "
    "'Created': '2026-12-05T00:00:00Z', 'Updated': '2026-12-06T01:02:03Z', 'Repaired': 0, "
    "'Message': u'Fan 2 failed', 'RecommendedAction': u'Replace fan 2'}";

}  // namespace

TEST_F(Bridge, PollOutcomesFollowTheClockAndTheListResult) {
    InstallModule();
    struct Case {
        const char *pszName, *pszDateTime, *pszIml;
        int nResult;
        const char *pszTime;
        DWORD dwListLength;
        const char *pszLine;  // a line the poll must write ("" for none)
        bool bListFetched;
    } cases[] = {
        {"one entry", "(200, '2026-12-06T01:02:03.500')", "(200, [{'EventNumber': 1}])", 1, "2026-12-06 01:02:03",
         1, "[PyList_Size],Debug,Size=01", true},
        {"empty list", "(200, '2026-12-06T01:02:03')", "(200, [])", 0, "2026-12-06 01:02:03", 0,
         "[PyList_Size],Debug,Size=00", true},
        {"not a tuple", "(200, '2026-12-06T01:02:03')", "'text'", 0, "2026-12-06 01:02:03", 0,
         "[CallMethod],Error,Status=00", true},
        {"None", "(200, '2026-12-06T01:02:03')", "None", 0, "2026-12-06 01:02:03", 0,
         "[CallMethod],Error,Status=00", true},
        {"short tuple", "(200, '2026-12-06T01:02:03')", "(200,)", 0, "2026-12-06 01:02:03", 0,
         "[CallMethod],Error,Status=00", true},
        {"status 500", "(200, '2026-12-06T01:02:03')", "(500, [{'EventNumber': 1}])", 0, "2026-12-06 01:02:03", 0,
         "[CallMethod],Error,Status=500", true},
        {"second item not a list", "(200, '2026-12-06T01:02:03')", "(200, None)", 0, "2026-12-06 01:02:03", 0,
         "[PyList_Size],Debug,Size=-1", true},
        {"a dictionary for a list", "(200, '2026-12-06T01:02:03')", "(200, {'EventNumber': 1})", 0,
         "2026-12-06 01:02:03", 0, "[PyList_Size],Debug,Size=-1", true},
        {"get_iml raises", "(200, '2026-12-06T01:02:03')", "RuntimeError('controller busy')", 0,
         "2026-12-06 01:02:03", 0, "[PyObject_CallMethod],Error,NULL", true},
        {"get_datetime raises", "ValueError('no clock')", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "[PyObject_CallMethod],Error,DateTime NULL", false},
        {"clock status 404", "(404, '2026-12-06T01:02:03')", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "[CallMethod],Error,DateTime Status=404", false},
        {"clock status 5", "(5, '2026-12-06T01:02:03')", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "[CallMethod],Error,DateTime Status=05", false},
        {"clock text None", "(200, None)", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "[PyArg_ParseTuple],Error,DateTime False", false},
        {"clock a bare string", "'2026-12-06T01:02:03'", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "[PyArg_ParseTuple],Error,DateTime False", false},
        {"clock text of 18 characters", "(200, '2026-12-06T01:02:0')", "(200, [{'EventNumber': 1}])", 0, "", 0,
         "", false},
        {"clock text of 19 characters", "(200, '2026-12-06X01:02:03')", "(200, [{'EventNumber': 1}])", 1,
         "2026-12-06 01:02:03", 1, "", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszName);
        SetResults(c.pszDateTime, c.pszIml);
        std::string strTime = "stale";
        EXPECT_EQ(c.nResult, Poll(strTime));
        EXPECT_EQ(c.pszTime, strTime);
        EXPECT_EQ(c.dwListLength, g_dwMaxIndex);
        EXPECT_EQ(c.dwListLength != 0, g_tagImlList != nullptr);
        if (*c.pszLine) {
            EXPECT_TRUE(LogHas(c.pszLine)) << c.pszLine;
        }
        EXPECT_EQ(c.bListFetched, LogHas("[GetImlList],Debug,Start"));
        EXPECT_TRUE(LogHas("[ExecutePythonScript],Debug,End"));
    }
}

TEST_F(Bridge, TheServiceStartTimeIsTheFirstClockReadingOnly) {
    InstallModule();
    std::string strTime;
    SetResults("(503, '2026-12-06T00:00:00')", "(200, [])");
    (void)Poll(strTime);
    EXPECT_EQ("", g_strServiceStartTime) << "a failed clock reading must not set it";

    SetResults("(200, '2026-12-06T01:00:00')", "(500, [])");  // the list fails, the clock does not
    EXPECT_EQ(0, Poll(strTime));
    EXPECT_EQ("2026-12-06 01:00:00", g_strServiceStartTime);
    EXPECT_TRUE(LogHas("StartTime=2026-12-06 01:00:00"));

    SetResults("(200, '2026-12-06T02:00:00')", "(200, [{'EventNumber': 1}])");
    EXPECT_EQ(1, Poll(strTime));
    EXPECT_EQ("2026-12-06 02:00:00", strTime);
    EXPECT_EQ("2026-12-06 01:00:00", g_strServiceStartTime);
    for (const auto &m : LogMessages()) EXPECT_EQ(std::string::npos, m.find("StartTime=")) << m;
}

TEST_F(Bridge, EachFieldFailsAloneToItsDefault) {
    InstallModule();
    const std::string strGood = "07,0,Critical,05,1A,2026-12-06 01:02:03,2026-12-05 00:00:00,Fan 2 failed,Replace fan 2,";
    struct Case {
        const char *pszChange;  // Python statements on the good entry e
        std::string strRecord;  // the entry as its data record
        const char *pszLine;    // the line the bad field writes ("" for none)
    } cases[] = {
        {"pass", strGood, ""},
        {"e['EventNumber'] = -5", "00" + strGood.substr(2), "[GetPyDataI],Error,EventNumber=-5"},
        {"e['EventNumber'] = 2 ** 40", "00" + strGood.substr(2), "[PyArg_Parse],Error,EventNumber False"},
        {"e['EventNumber'] = '7'", "00" + strGood.substr(2), "[PyArg_Parse],Error,EventNumber False"},
        {"e['Class'] = 127", "07,0,Critical,7F,1A" + strGood.substr(19), ""},
        {"e['Class'] = 128", "07,0,Critical,00,1A" + strGood.substr(19), "[GetPyDataI],Error,Class=0x80"},
        {"e['Class'] = 0", "07,0,Critical,00,1A" + strGood.substr(19), "[GetPyDataI],Error,Class=0x00"},
        {"e['Class'] = -1", "07,0,Critical,00,1A" + strGood.substr(19), "[GetPyDataI],Error,Class=0xFFFFFFFF"},
        {"e['Code'] = 65535", "07,0,Critical,05,FFFF" + strGood.substr(19), ""},
        {"e['Code'] = 65536", "07,0,Critical,05,00" + strGood.substr(19), "[GetPyDataI],Error,Code=0x10000"},
        {"del e['Code']", "07,0,Critical,05,00" + strGood.substr(19), "[GetPyDataI],Error,Code=0x00"},
        {"e['Message'] = b'Fan 2 failed'", "07,0,Critical,05,1A,2026-12-06 01:02:03,2026-12-05 00:00:00,,Replace fan 2,",
         "[PyArg_Parse],Error,Message False"},
        {"e['Message'] = u'Fan\\x002'", "07,0,Critical,05,1A,2026-12-06 01:02:03,2026-12-05 00:00:00,,Replace fan 2,",
         "[PyArg_Parse],Error,Message False"},
        {"e['Severity'] = 5", "07,0,,05,1A" + strGood.substr(19), "[PyArg_Parse],Error,Severity False"},
        {"del e['Created']", "07,0,Critical,05,1A,2026-12-06 01:02:03,,Fan 2 failed,Replace fan 2,",
         "[PyDict_GetItem],Debug,Created NULL"},
        {"e['Updated'] = '2026-12-06'", "07,0,Critical,05,1A,,2026-12-05 00:00:00,Fan 2 failed,Replace fan 2,", ""},
        {"e['Repaired'] = True", "07,1" + strGood.substr(4), ""},
        {"e['Repaired'] = 7", "07,1" + strGood.substr(4), ""},
        {"e['Repaired'] = 'yes'", strGood, "[PyArg_Parse],Error,Repaired False"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pszChange);
        Run(std::string("import zavsmsrv\ne = ") + kGoodEntry + "\n" + c.pszChange +
            "\nzavsmsrv.IML = (200, [e])\nzavsmsrv.DATETIME = (200, '2026-12-06T01:02:03')");
        std::string strTime;
        ASSERT_EQ(1, Poll(strTime));
        ASSERT_EQ(1u, g_dwMaxIndex);
        EXPECT_EQ(c.strRecord, MakeDatRecord(g_tagImlList[0], MakeSummary(g_tagImlList[0])));
        if (*c.pszLine) {
            EXPECT_TRUE(LogHas(c.pszLine)) << c.pszLine;
        }
    }
}

TEST_F(Bridge, EntriesThatAreNotDictionariesBecomeEmptyRecords) {
    InstallModule();
    SetResults("(200, '2026-12-06T01:02:03')",
               std::string("(200, [5, None, 'text', [1, 2], ") + kGoodEntry + "])");
    std::string strTime;
    ASSERT_EQ(1, Poll(strTime));
    ASSERT_EQ(5u, g_dwMaxIndex);
    for (DWORD i = 0; i < 4; ++i) {
        const IMLINFO &t = g_tagImlList[i];
        EXPECT_TRUE(t.dwEventNumber == 0 && t.wEventClass == 0 && t.wEventCode == 0 && t.strMessage.empty() &&
                    t.strCreated.empty() && t.strSeverity.empty())
            << i;
    }
    EXPECT_EQ(7u, g_tagImlList[4].dwEventNumber) << "the good entry after the bad ones is read";
    EXPECT_TRUE(LogHas("[GetPyDataI],Error,Class=0x00"));
    EXPECT_TRUE(LogHas("[GetPyDataI],Error,Code=0x00"));
}

TEST_F(Bridge, AHundredThousandEntriesAreAllRead) {
    InstallModule();
    Run("import zavsmsrv\n"
        "zavsmsrv.IML = (200, [{'EventNumber': i, 'Class': 1, 'Code': i % 65535 + 1, 'Severity': 'Caution', "
        "'Created': '2026-12-05T00:00:00', 'Updated': '2026-12-05T00:00:00', 'Repaired': 0, "
        "'Message': u'm', 'RecommendedAction': u'a'} for i in range(1, 100001)])\n");
    std::string strTime;
    ASSERT_EQ(1, Poll(strTime));
    ASSERT_EQ(100000u, g_dwMaxIndex);
    EXPECT_TRUE(LogHas("[PyList_Size],Debug,Size=100000"));
    EXPECT_EQ(1u, g_tagImlList[0].dwEventNumber);
    EXPECT_EQ(100000u, g_tagImlList[99999].dwEventNumber);
    EXPECT_EQ(100000 % 65535 + 1, g_tagImlList[99999].wEventCode);
}

// The readers called directly: missing arguments, and an interpreter that
// keeps working after a failed conversion.
TEST_F(Bridge, ReadersGiveDefaultsAndLeaveTheInterpreterClean) {
    PyRef dict(PyDict_New());
    PyRef key(ZavPyString_FromString("n"));
    PyRef text(ZavPyString_FromString("not a number"));
    ASSERT_TRUE(dict && key && text);
    ASSERT_EQ(0, PyDict_SetItem(dict.get(), key.get(), text.get()));

    EXPECT_EQ("", GetPyDataA(nullptr, key.get(), "Severity"));
    EXPECT_TRUE(LogHas("[GetPyDataA],Error,Severity Item NULL"));
    EXPECT_EQ(L"", GetPyDataW(dict.get(), nullptr, "Message"));
    EXPECT_TRUE(LogHas("[GetPyDataW],Error,Message Key NULL"));
    EXPECT_EQ(0, GetPyDataI(nullptr, nullptr, nullptr));

    EXPECT_EQ(0, GetPyDataI(dict.get(), key.get(), "n"));
    EXPECT_TRUE(LogHas("[PyArg_Parse],Error,n False"));
    EXPECT_EQ(nullptr, PyErr_Occurred()) << "a failed conversion must not leave an exception behind";
    EXPECT_EQ(0, PyRun_SimpleString("x = int('12') + 1")) << "the next interpreter call fails";
    EXPECT_EQ("not a number", GetPyDataA(dict.get(), key.get(), "n"));

    // Range checks: signed comparison, upper-case hexadecimal of the value.
    struct Range {
        int nValue, nMax, nMin, nResult;
        const char *pszLine;
    } ranges[] = {
        {127, 127, 1, 127, ""},        {1, 127, 1, 1, ""},
        {128, 127, 1, 0, "Class=0x80"}, {-2147483647 - 1, 127, 1, 0, "Class=0x80000000"},
        {0, 65535, 1, 0, "Class=0x00"}, {255, 65535, 1, 255, ""},
    };
    for (const auto &r : ranges) {
        WriteFile(g_strLogFilePath, "");
        EXPECT_EQ(r.nResult, CheckPyDataI(r.nValue, "Class", r.nMax, r.nMin)) << r.nValue;
        if (*r.pszLine)
            EXPECT_TRUE(LogHas(std::string("[GetPyDataI],Error,") + r.pszLine)) << r.pszLine;
        else
            EXPECT_TRUE(LogMessages().empty()) << r.nValue;
    }
}

// The module runs as root: one that anyone could have written is not used.
TEST_F(Bridge, WorldWritableFolderOrFileIsRefusedOtherwiseUsed) {
    InstallModule();
    const std::string strFile = m_strModDir + "/zavsmsrv.py";
    struct Case {
        mode_t dir, file;
        int result;
        std::string line;
    } cases[] = {
        {0777, 0644, 0, "[PyImport_ImportModule],Error,World-writable " + m_strModDir},
        {01777, 0644, 0, "[PyImport_ImportModule],Error,World-writable " + m_strModDir},
        {0755, 0666, 0, "[PyImport_ImportModule],Error,World-writable " + strFile},
        {0775, 0664, 1, ""},
    };
    SetResults("(200, '2026-12-07T00:00:00')", "(200, [{'EventNumber': 1}])");
    for (const auto &c : cases) {
        ASSERT_EQ(0, chmod(m_strModDir.c_str(), c.dir));
        ASSERT_EQ(0, chmod(strFile.c_str(), c.file));
        std::string strTime;
        EXPECT_EQ(c.result, Poll(strTime)) << std::oct << c.dir << " " << c.file;
        EXPECT_EQ(DWORD(c.result), g_dwMaxIndex);
        if (!c.line.empty()) {
            EXPECT_TRUE(LogHas(c.line)) << c.line;
        }
    }
}
