#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "LogFile.h"
#include "Reg.h"
#include "Report.h"
#include "Setting.h"
#include "zavsmsrv.h"

namespace {

int Capture(INDICATIONINFO info) {
    char head[96];
    snprintf(head, sizeof head, "%08X type=%u n=%u r=%u/%u/%u ", unsigned(info.dwEventID), unsigned(info.dwEventType),
             unsigned(info.dwStringCount), unsigned(info.dwReserved1), unsigned(info.dwReserved2),
             unsigned(info.dwPadding));
    std::string s = head + std::string(info.pszSource);
    for (int i = 0; i < 5; ++i) s += std::string("|") + info.ppszStrings[i];
    Indications().push_back(s);
    return 0;
}

}  // namespace

std::vector<std::string> &Indications() {
    static std::vector<std::string> s_vec;
    return s_vec;
}

std::string T(int nSecond) {
    char buf[32];
    snprintf(buf, sizeof buf, "2026-12-06 01:00:%02d", nSecond);
    return buf;
}

// Each test runs in a process of its own under ctest; the globals a test may
// change are reset anyway, so that the programs also run whole by hand.
void ZavTest::SetUp() {
    std::string strTemplate = m_strBase + "/zavtest-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&strTemplate[0]));
    m_strDir = strTemplate;
    SetRegistryRoot(Path("registry"));
    SetRegRetryWait(0);  // missing values are the usual case here: no pauses between attempts
    (void)Key(ZAV_PARAMETERS_KEY);
    ASSERT_EQ(0, system(("mkdir -p '" + Path("inst/log") + "' '" + Path("inst/data") + "'").c_str()));
    g_strZavDir = Path("inst");
    g_strLogFilePath = Path("inst/log/zavsmflw.log");
    g_dwLogLevel = 5;
    g_dwLogCurrentSize = g_dwDatCurrentSize = 0;
    g_bLogBackup = g_bDatBackup = g_bJapaneseMessage = g_bCurrentReport = 0;
    g_strDatFilePath = Path("inst") + ZAV_DAT_FILE;
    SetReportFunction(Capture);
    Indications().clear();
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
}

void ZavTest::TearDown() {
    SetReportFunction(nullptr);
    g_strLogFilePath.clear();
    SetRegistryRoot(ZAV_DEFAULT_DIR "/registry");
    SetRegRetryWait(ZAV_REG_RETRY_WAIT);
    if (!getenv("ZAV_KEEP_SCRATCH")) (void)!system(("rm -rf '" + m_strDir + "'").c_str());
}

std::string ZavTest::Key(const std::string &strKey) {
    std::string strRel = "HKEY_LOCAL_MACHINE/" + strKey;
    for (char &c : strRel) c = c == '\\' ? '/' : char(toupper(static_cast<unsigned char>(c)));
    const std::string strPath = Path("registry/" + strRel);
    EXPECT_EQ(0, system(("mkdir -p '" + strPath.substr(0, strPath.rfind("/V_")) + "'").c_str()));
    return strPath;
}

std::string ZavTest::Read(const std::string &strPath) {
    std::stringstream ss;
    ss << std::ifstream(strPath, std::ios::binary).rdbuf();
    return ss.str();
}

void ZavTest::Write(const std::string &strPath, const std::string &strText) {
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
}

std::vector<std::string> ZavTest::Log() {
    std::vector<std::string> out;
    std::istringstream in(Read(g_strLogFilePath));
    for (std::string line; std::getline(in, line);) out.push_back(line.size() >= 20 ? line.substr(20) : line);
    return out;
}

bool ZavTest::LogHas(const std::string &strLine) {
    const std::vector<std::string> v = Log();
    return std::find(v.begin(), v.end(), strLine) != v.end();
}
