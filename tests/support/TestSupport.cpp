#include "TestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "LogFile.h"
#include "Monitoring.h"
#include "Report.h"
#include "Setting.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {
// ZAV_TEST_PYDIR, ZAV_SOURCE_DIR and ZAV_BUILD_DIR for every test program,
// whoever runs it (ctest or by hand); an explicit environment wins.
const bool s_bEnvironment = [] {
    (void)setenv("ZAV_TEST_PYDIR", ZAV_TEST_PYDIR, 0);
    (void)setenv("ZAV_SOURCE_DIR", ZAV_TEST_SOURCE_DIR, 0);
    (void)setenv("ZAV_BUILD_DIR", ZAV_TEST_BUILD_DIR, 0);
    return true;
}();
}  // namespace

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/zavtest-XXXXXX";
    const char *p = mkdtemp(tmpl);
    m_strPath = p ? p : "/tmp";
}

ScratchDir::~ScratchDir() {
    if (m_strPath.size() > 5 && !getenv("ZAV_KEEP_SCRATCH")) {
        const std::string cmd = "rm -rf '" + m_strPath + "'";
        (void)!system(cmd.c_str());
    }
}

void ResetServiceGlobals() {
    g_strZavDir.clear();
    g_hServerStopEvent = nullptr;
    g_hExitThreadEvent = nullptr;
    g_hReportLib = nullptr;
    g_SendIndication = nullptr;
    g_dwServiceStart = 1;
    g_strLogFilePath.clear();
    g_dwLogLevel = 3;
    g_dwLogMaxSize = 524288;
    g_dwLogGeneration = 2;
    g_dwLogCurrentSize = 0;
    g_bLogBackup = 0;
    g_dwDatMaxSize = 65536;
    g_dwDatGeneration = 4;
    g_dwDatCurrentSize = 0;
    g_bDatBackup = 0;
    ClearImlList();
    g_tagCheckedIml = IMLINFO();
    g_strCheckedTime.clear();
    g_strServiceStartTime.clear();
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
    g_dwMonitoringCycle = 30000;
    g_bJapaneseMessage = 0;
    g_bCurrentReport = 0;
}

namespace {
std::string KeyDir(const std::string &strKey) {
    std::string out = "HKEY_LOCAL_MACHINE";
    std::string part;
    for (char c : strKey + "\\") {
        if (c == '\\') {
            if (!part.empty()) out += "/" + part;
            part.clear();
        } else {
            part += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
    }
    return out;
}
}  // namespace

void ZavTest::SetUp() {
    ResetServiceGlobals();
    SetRegistryRoot(m_dir.file("registry"));
    CreateKey(ZAV_PARAMETERS_KEY);
    CreateKey(ZAV_LOG_KEY);
    mkdir(m_dir.file("inst").c_str(), 0755);
    mkdir(m_dir.file("inst/log").c_str(), 0755);
    mkdir(m_dir.file("inst/data").c_str(), 0755);
    g_strZavDir = m_dir.file("inst");
    g_strLogFilePath = m_dir.file("inst/log/zavsmflw.log");
    g_dwLogLevel = 5;
}

void ZavTest::TearDown() {
    ResetServiceGlobals();
    SetRegistryRoot(ZAV_DEFAULT_DIR "/registry");
}

void ZavTest::CreateKey(const std::string &strKey) {
    const std::string cmd = "mkdir -p '" + m_dir.file("registry/" + KeyDir(strKey)) + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
}

std::string ZavTest::ValueFilePath(const std::string &strKey, const std::string &strName) {
    std::string n;
    for (char c : strName) n += char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return m_dir.file("registry/" + KeyDir(strKey) + "/V_" + n);
}

void ZavTest::WriteValueFile(const std::string &strKey, const std::string &strName, const std::string &strContent) {
    WriteFile(ValueFilePath(strKey, strName), strContent);
}

std::string ZavTest::ReadValueFile(const std::string &strKey, const std::string &strName) {
    return ReadFile(ValueFilePath(strKey, strName));
}

std::string ZavTest::ReadFile(const std::string &strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void ZavTest::WriteFile(const std::string &strPath, const std::string &strContent) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out << strContent;
}

std::vector<std::string> ZavTest::LogMessages() {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(g_strLogFilePath.empty() ? m_dir.file("inst/log/zavsmflw.log")
                                                            : g_strLogFilePath));
    std::string line;
    while (std::getline(in, line)) out.push_back(line.size() >= 20 ? line.substr(20) : line);
    return out;
}

bool ZavTest::LogHas(const std::string &strMessage) {
    for (const auto &m : LogMessages())
        if (m == strMessage) return true;
    return false;
}

std::vector<CapturedIndication> &CapturedIndications() {
    static std::vector<CapturedIndication> s_vec;
    return s_vec;
}

namespace {
int CaptureSendIndication(INDICATIONINFO info) {
    CapturedIndication c;
    c.dwReserved1 = info.dwReserved1;
    c.dwReserved2 = info.dwReserved2;
    c.dwEventID = info.dwEventID;
    c.dwEventType = info.dwEventType;
    c.dwStringCount = info.dwStringCount;
    c.dwPadding = info.dwPadding;
    c.strSource = info.pszSource ? info.pszSource : "(null)";
    for (int i = 0; i < 5; ++i)
        c.vecStrings.push_back(info.ppszStrings && info.ppszStrings[i] ? info.ppszStrings[i] : "(null)");
    CapturedIndications().push_back(c);
    return 0;
}
}  // namespace

void CaptureIndications() {
    CapturedIndications().clear();
    g_SendIndication = CaptureSendIndication;
}

void TracedTest::SetUp() {
    ZavTest::SetUp();
    (void)TraceLogInit(m_dir.file("trace.log").c_str(), "test", 65536, 1, 0);
    TraceLogSetDetail(1);
}

void TracedTest::TearDown() {
    TraceLogSetDetail(0);
    (void)TraceLogInit("", "", 1, 0, 0);
    ZavTest::TearDown();
}

bool TracedTest::TraceHas(int nLevel, const std::string &strText) {
    std::istringstream in(ReadFile(m_dir.file("trace.log")));
    const std::string strLevel = "] [" + std::to_string(nLevel) + "] " + m_strModule + " ";
    const std::string strTail = "): " + strText;
    std::string line;
    while (std::getline(in, line))
        if (line.find(strLevel) != std::string::npos && line.size() >= strTail.size() &&
            line.compare(line.size() - strTail.size(), strTail.size(), strTail) == 0)
            return true;
    return false;
}

void TracedTest::ClearTrace() { WriteFile(m_dir.file("trace.log"), ""); }
