#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "LogFile.h"
#include "Monitoring.h"
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
    std::string s = head + std::string(info.pszSource ? info.pszSource : "(null)");
    for (int i = 0; i < 5; ++i) s += std::string("|") + (info.ppszStrings[i] ? info.ppszStrings[i] : "(null)");
    Indications().push_back(s);
    return 0;
}

void ResetGlobals() {
    g_strZavDir.clear();
    g_hServerStopEvent = nullptr;
    g_hExitThreadEvent = nullptr;
    g_SendIndication = Capture;
    Indications().clear();
    g_dwServiceStart = 1;
    g_strLogFilePath.clear();
    g_dwLogLevel = 5;
    g_dwLogMaxSize = 524288;
    g_dwLogGeneration = 2;
    g_dwLogCurrentSize = g_dwDatCurrentSize = 0;
    g_bLogBackup = g_bDatBackup = 0;
    g_dwDatMaxSize = 65536;
    g_dwDatGeneration = 4;
    ClearImlList();
    g_tagCheckedIml = IMLINFO();
    g_strCheckedTime.clear();
    g_strServiceStartTime.clear();
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
    g_dwMonitoringCycle = 30000;
    g_bJapaneseMessage = g_bCurrentReport = 0;
}

}  // namespace

std::string T(int nSecond) {
    char buf[32];
    snprintf(buf, sizeof buf, "2026-12-06 01:00:%02d", nSecond);
    return buf;
}

IMLINFO Entry(DWORD dwNumber, WORD wClass, WORD wCode, const std::string &strSeverity, DWORD dwRepaired,
              const std::string &strCreated, const std::string &strUpdated) {
    IMLINFO t;
    t.dwEventNumber = dwNumber;
    t.wEventClass = wClass;
    t.wEventCode = wCode;
    t.strSeverity = strSeverity;
    t.dwRepaired = dwRepaired;
    t.strCreated = strCreated;
    t.strUpdated = strUpdated;
    return t;
}

std::vector<std::string> &Indications() {
    static std::vector<std::string> s_vec;
    return s_vec;
}

void ZavTest::SetUp() {
    ResetGlobals();
    std::string strTemplate = m_strBase + "/zavtest-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&strTemplate[0]));
    m_strDir = strTemplate;
    SetRegistryRoot(Path("registry"));
    SetRegRetryWait(0);  // missing values are the usual case here: no pauses between attempts
    (void)Key(ZAV_PARAMETERS_KEY);
    (void)Key(ZAV_LOG_KEY);
    ASSERT_EQ(0, system(("mkdir -p '" + Path("inst/log") + "' '" + Path("inst/data") + "'").c_str()));
    g_strZavDir = Path("inst");
    g_strLogFilePath = Path("inst/log/zavsmflw.log");
}

void ZavTest::TearDown() {
    ResetGlobals();
    SetRegistryRoot(ZAV_DEFAULT_DIR "/registry");
    SetRegRetryWait(ZAV_REG_RETRY_WAIT);
    if (!getenv("ZAV_KEEP_SCRATCH")) (void)!system(("rm -rf '" + m_strDir + "'").c_str());
}

std::string ZavTest::Upper(std::string s) {
    for (char &c : s) c = c == '\\' ? '/' : char(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string ZavTest::Key(const std::string &strKey) {
    const std::string strDir = Path("registry/HKEY_LOCAL_MACHINE/" + Upper(strKey));
    EXPECT_EQ(0, system(("mkdir -p '" + strDir + "'").c_str()));
    return strDir;
}

std::string ZavTest::Read(const std::string &strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
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
    for (const auto &m : Log())
        if (m == strLine) return true;
    return false;
}
