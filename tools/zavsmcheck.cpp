// zavsmcheck: shows an administrator, without changing anything, what the
// service would read, select and report, using the service's own code.
//   zavsmcheck [--json] conf [FILE] [--japanese on|off]
//   zavsmcheck [--json] settings
//   zavsmcheck [--json] [-v] [--timeout SECONDS] poll
// Exit status: 0 all in order, 1 the service would fail or refuse, 2 bad usage.
//
// The poll runs the real search and pass against a scratch copy of the
// registry and of the logs, with a report function that only records what
// it is given: the installed registry, logs and report library are only read.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CheckedState.h"
#include "Guards.h"
#include "LogFile.h"
#include "Metrics.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "Reg.h"
#include "Report.h"
#include "Service.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TextFormat.h"
#include "zavsmsrv.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    bool bJson = false;
    bool bVerbose = false;
    unsigned nTimeout = 300;
    int nJapanese = -1;  // -1: from the registry
    std::string strCommand;
    std::vector<std::string> vecArgs;
};

int Usage() {
    fprintf(stderr,
            "usage: zavsmcheck [--json] conf [FILE] [--japanese on|off]\n"
            "       zavsmcheck [--json] settings\n"
            "       zavsmcheck [--json] [-v] [--timeout SECONDS] poll\n");
    return 2;
}

// ---- Output --------------------------------------------------------------

std::string Hex(DWORD dw, int nDigits) {
    char sz[16];
    snprintf(sz, sizeof sz, "0x%0*X", nDigits, unsigned(dw));
    return sz;
}

// A text that is not valid EUC-JP is shown as its bytes in hex.
std::string ToUtf8(const std::string &strEuc) {
    std::string strUtf8;
    return EucJpToUtf8(strEuc, strUtf8) ? strUtf8 : "<hex:" + HexBytes(strEuc) + ">";
}

// One JSON object a line: fields in the order added, values already JSON.
class JsonLine {
public:
    JsonLine &Text(const char *pszKey, const std::string &s) { return Raw(pszKey, JsonQuote(s)); }
    JsonLine &Number(const char *pszKey, long long n) { return Raw(pszKey, std::to_string(n)); }
    JsonLine &Bool(const char *pszKey, bool b) { return Raw(pszKey, b ? "true" : "false"); }
    JsonLine &Raw(const char *pszKey, const std::string &strJson) {
        m_str += (m_str.empty() ? "{" : ",") + JsonQuote(pszKey) + ":" + strJson;
        return *this;
    }
    void Print() const { printf("%s}\n", m_str.c_str()); }

private:
    std::string m_str;
};

// ---- What the service would report ----------------------------------------

struct CAPTURED {
    DWORD dwEventID = 0;
    std::vector<std::string> vecStrings;
};
std::vector<CAPTURED> s_vecReports;

int CaptureIndication(INDICATIONINFO info) {
    CAPTURED c;
    c.dwEventID = info.dwEventID;
    for (DWORD i = 0; info.ppszStrings && i < info.dwStringCount; ++i)
        c.vecStrings.push_back(info.ppszStrings[i] ? info.ppszStrings[i] : "");
    s_vecReports.push_back(c);
    return 0;
}

// The message of a report: the first non-empty insertion string.
std::string ReportMessage(const CAPTURED &c) {
    for (const auto &s : c.vecStrings)
        if (!s.empty()) return s;
    return "";
}

// A scratch install: data/, log/ and, for a poll, a copy of the registry.
class Scratch {
public:
    Scratch() {
        char szTemplate[] = "/tmp/zavsmcheck-XXXXXX";
        if (mkdtemp(szTemplate)) m_strDir = szTemplate;
        std::error_code ec;
        fs::create_directories(m_strDir + "/data", ec);
        fs::create_directories(m_strDir + "/log", ec);
    }
    ~Scratch() {
        std::error_code ec;
        if (!m_strDir.empty()) fs::remove_all(m_strDir, ec);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    bool Valid() const { return !m_strDir.empty(); }
    const std::string &Dir() const { return m_strDir; }
    std::string LogPath() const { return m_strDir + "/log/zavsmflw.log"; }

    // Points the service's file globals here; the definition file is strConf.
    void Use(const std::string &strConf) {
        std::error_code ec;
        fs::create_symlink(fs::absolute(strConf, ec), m_strDir + ZAV_DEFINITION_FILE, ec);
        g_strZavDir = m_strDir;
        g_strLogFilePath = LogPath();
        g_dwLogLevel = LOG_LEVEL_INFO;  // errors are what the check reports
        SetReportFunction(CaptureIndication);
    }

    std::vector<std::string> Lines(const std::string &strRel) const {
        std::ifstream in(m_strDir + strRel, std::ios::binary);
        std::vector<std::string> out;
        std::string s;
        while (std::getline(in, s)) out.push_back(s);
        return out;
    }

    // The operation-log lines of one function at the error level, without the stamp.
    std::vector<std::string> ErrorLines() const {
        std::vector<std::string> out;
        for (const auto &s : Lines("/log/zavsmflw.log"))
            if (s.find("],Error,") != std::string::npos && s.size() > 20) out.push_back(s.substr(20));
        return out;
    }

private:
    std::string m_strDir;
};

// ---- The registry as stored ------------------------------------------------

enum { RAW_MISSING, RAW_MALFORMED, RAW_OK };
struct RAWVALUE {
    int nState = RAW_MISSING;
    DWORD dwType = 0;
    std::string strText;  // the payload as stored (a number in decimal)
    DWORD dwNumber = 0;
};

// One value read straight from its file: no retry, no wait.
RAWVALUE ReadRaw(const char *pszKey, const char *pszName) {
    RAWVALUE v;
    HKEY h = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &h) != ERROR_SUCCESS) return v;
    const UniqueRegKey key(h);
    std::vector<BYTE> buf(ZAV_EXPAND_BUFFER + 1);
    DWORD dwSize = DWORD(buf.size()), dwType = 0;
    const LONG rc = RegQueryValueEx(h, pszName, nullptr, &dwType, buf.data(), &dwSize);
    if (rc == ENOENT) return v;
    v.nState = rc == ERROR_SUCCESS ? RAW_OK : RAW_MALFORMED;
    v.dwType = dwType;
    if (rc != ERROR_SUCCESS) return v;
    if (dwType == REG_DWORD) {
        memcpy(&v.dwNumber, buf.data(), sizeof v.dwNumber);
        v.strText = std::to_string(v.dwNumber);
    } else {
        v.strText = reinterpret_cast<const char *>(buf.data());
    }
    return v;
}

struct SETTING {
    std::string strName, strKey, strRaw, strEffective, strSource, strNote;
};

// Where a setting came from, given the stored value and the one in force.
SETTING Classify(const char *pszKey, const char *pszName, DWORD dwExpectedType, const std::string &strEffective) {
    SETTING s{pszName, pszKey, "", strEffective, "", ""};
    const RAWVALUE v = ReadRaw(pszKey, pszName);
    if (v.nState == RAW_MISSING) {
        s.strRaw = "(missing)";
        s.strSource = "default";
        s.strNote = "the service retries 3 times, 0.9 s, before taking the default";
    } else if (v.nState == RAW_MALFORMED || v.dwType != dwExpectedType) {
        s.strRaw = v.nState == RAW_MALFORMED ? "(malformed)" : "(type " + std::to_string(v.dwType) + ")";
        s.strSource = "malformed";
        s.strNote = "not readable as the type the service expects: the default is used after 0.9 s";
    } else {
        s.strRaw = v.strText;
        s.strSource = v.strText == strEffective ? "stored" : "clamped";
    }
    return s;
}

void PrintSetting(const Options &o, const SETTING &s) {
    if (o.bJson) {
        JsonLine()
            .Text("name", s.strName)
            .Text("key", s.strKey)
            .Text("raw", s.strRaw)
            .Text("effective", s.strEffective)
            .Text("source", s.strSource)
            .Text("note", s.strNote)
            .Print();
        return;
    }
    printf("%-18s %-24s %-10s %s%s%s\n", s.strName.c_str(), s.strEffective.c_str(), s.strSource.c_str(),
           s.strRaw.c_str(), s.strNote.empty() ? "" : "  # ", s.strNote.c_str());
}

int JapaneseFromRegistry() {
    const RAWVALUE v = ReadRaw(ZAV_PARAMETERS_KEY, "JapaneseMessage");
    return v.nState == RAW_OK && v.dwType == REG_DWORD && v.dwNumber == 1 ? 1 : 0;
}

// ---- conf ------------------------------------------------------------------

// What loading a definition file gave: the loader's verdict and where the
// parser stopped.
struct CONFCHECK {
    std::string strPath;
    int bJapanese = 0;
    bool bValid = false;
    DEFINITIONRESULT r;
    int nRows = 0;
};

// The loader itself on the file, in a scratch install, then the same parser
// once more for where in the file it stopped.
void LoadDefinition(Scratch &scratch, CONFCHECK &c) {
    scratch.Use(c.strPath);
    g_bJapaneseMessage = c.bJapanese;
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
    c.bValid = GetTargetEventInfo();
    TARGETEVENTINFO table[ZAV_TARGET_ROWS];
    std::ifstream file(c.strPath, std::ios::binary);
    c.r.nStatus = DEFINITION_UNREADABLE;
    if (file.is_open()) c.r = ParseTargetEventInfo(file, c.bJapanese, table);
    c.nRows = c.bValid ? c.r.nIndex + 1 : 0;
}

void PrintDefinitionRows(const Options &o, const CONFCHECK &c) {
    if (!o.bJson) {
        printf("definition file: %s\nJapanese headlines: %s%s\n", c.strPath.c_str(), c.bJapanese ? "on" : "off",
               o.nJapanese >= 0 ? " (--japanese)" : " (registry)");
        if (c.nRows)
            printf("%-5s %-6s %-8s %s\n", "index", "class", "code", "headlines (critical | warning | information)");
    }
    for (int i = 0; i < c.nRows; ++i) {
        const TARGETEVENTINFO &row = g_tagTargetEvent[i];
        int nFirst = -1;
        for (int j = 0; j < i && nFirst < 0; ++j)
            if (g_tagTargetEvent[j].wEventClass == row.wEventClass && g_tagTargetEvent[j].wEventCode == row.wEventCode)
                nFirst = j;
        if (o.bJson) {
            JsonLine()
                .Number("index", i)
                .Text("class", Hex(row.wEventClass, 2))
                .Text("code", Hex(row.wEventCode, 4))
                .Text("critical", ToUtf8(row.strCriticalText))
                .Text("warning", ToUtf8(row.strWarningText))
                .Text("information", ToUtf8(row.strInformationText))
                .Raw("duplicate_of", nFirst < 0 ? "null" : std::to_string(nFirst))
                .Print();
            continue;
        }
        printf("%-5d %-6s %-8s %s | %s | %s%s\n", i, Hex(row.wEventClass, 2).c_str(), Hex(row.wEventCode, 4).c_str(),
               ToUtf8(row.strCriticalText).c_str(), ToUtf8(row.strWarningText).c_str(),
               ToUtf8(row.strInformationText).c_str(),
               nFirst < 0 ? "" : ("  (repeats index " + std::to_string(nFirst) + ": that row wins)").c_str());
    }
}

// The verdict, with what the service reports and logs for an invalid file.
void PrintDefinitionVerdict(const Options &o, const CONFCHECK &c, const Scratch &scratch) {
    const std::string strEvent = s_vecReports.empty() ? "" : ReportMessage(s_vecReports[0]);
    const std::vector<std::string> vecErrors = scratch.ErrorLines();
    const std::string strLog = vecErrors.empty() ? "" : vecErrors[0];
    if (o.bJson) {
        JsonLine line;
        line.Text("result", c.bValid ? "valid" : "invalid").Text("file", c.strPath).Bool("japanese", c.bJapanese != 0);
        line.Number("sections", c.nRows);
        if (!c.bValid)
            line.Text("event_id", Hex(ZAV_EVENT_SERVICE_ERROR, 8))
                .Text("message", strEvent)
                .Text("log", strLog)
                .Number("line", c.r.dwLine);
        line.Print();
    } else if (c.bValid) {
        printf("valid: %d section(s); the service monitors with this file\n", c.nRows);
    } else {
        printf(
            "INVALID at line %u: the service reports event %s \"%s\",\n"
            "logs \"%s\" and stops without monitoring\n",
            unsigned(c.r.dwLine), Hex(ZAV_EVENT_SERVICE_ERROR, 8).c_str(), strEvent.c_str(), strLog.c_str());
    }
}

int CmdConf(const Options &o) {
    if (o.vecArgs.size() > 1) return Usage();
    GetZavDirPath();
    CONFCHECK c;
    c.strPath = o.vecArgs.empty() ? g_strZavDir + ZAV_DEFINITION_FILE : o.vecArgs[0];
    c.bJapanese = o.nJapanese >= 0 ? o.nJapanese : JapaneseFromRegistry();
    Scratch scratch;
    if (!scratch.Valid()) {
        fprintf(stderr, "zavsmcheck: no scratch folder under /tmp: %s\n", strerror(errno));
        return 1;
    }
    LoadDefinition(scratch, c);
    PrintDefinitionRows(o, c);
    PrintDefinitionVerdict(o, c, scratch);
    return c.bValid ? 0 : 1;
}

// ---- settings ----------------------------------------------------------------

// The install folder and the monitoring settings, as the service reads them.
void AddServiceSettings(std::vector<SETTING> &vec) {
    const char *pszEnv = getenv("ZavDir");
    GetZavDirPath();
    vec.push_back({"install directory", "%ZavDir%", pszEnv ? pszEnv : "(unset)", g_strZavDir,
                   pszEnv && g_strZavDir == pszEnv ? "environment" : "default", ""});
    GetMonitoringInfo();  // no operation-log path yet: it writes nothing
    vec.push_back(
        Classify(ZAV_PARAMETERS_KEY, "MonitorInterval", REG_DWORD, std::to_string(g_dwMonitoringCycle / 1000)));
    vec.back().strNote += vec.back().strNote.empty() ? "seconds between polls" : "";
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "JapaneseMessage", REG_DWORD, std::to_string(g_bJapaneseMessage)));
    if (vec.back().strSource == "clamped") vec.back().strNote = "only 1 switches Japanese on";
    std::string strWhy;
    const DWORD dwRequire = GetRequireCoreDaemon(strWhy);
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "RequireCoreDaemon", REG_DWORD, std::to_string(dwRequire)));
    vec.back().strNote = !strWhy.empty() ? strWhy
                         : dwRequire   ? "the suite's core daemon must run; read once, no retries"
                                       : "standalone: no core daemon needed";
}

// The operation log, the event data file and the trace.
void AddLogSettings(std::vector<SETTING> &vec) {
    char szPath[ZAV_EXPAND_BUFFER + 1] = {};
    const std::string strLogPath =
        GetRegExpandSZValue(ZAV_LOG_KEY, "FilePath", szPath) && szPath[0] ? szPath : ZAV_DEFAULT_LOG_PATH;
    SETTING log = Classify(ZAV_LOG_KEY, "FilePath", REG_EXPAND_SZ, strLogPath);
    if (log.strSource == "clamped") log.strSource = "stored", log.strNote = "after expansion";
    vec.push_back(log);
    struct {
        const char *pszKey, *pszName;
        DWORD dwDefault;
        DWORD (*pfnRule)(DWORD);
    } const numbers[] = {
        {ZAV_LOG_KEY, "LogLevel", ZAV_DEFAULT_LOG_LEVEL, ClampLogLevel},
        {ZAV_LOG_KEY, "MaxLogSize", ZAV_DEFAULT_LOG_MAX_SIZE, ClampFileSize},
        {ZAV_LOG_KEY, "Generation", ZAV_DEFAULT_LOG_GENERATION, ClampGeneration},
    };
    for (const auto &n : numbers) {
        DWORD dw = 0;
        const DWORD dwEffective = GetRegValue(n.pszKey, n.pszName, dw) ? n.pfnRule(dw) : n.dwDefault;
        vec.push_back(Classify(n.pszKey, n.pszName, REG_DWORD, std::to_string(dwEffective)));
    }
    GetBackupDatInfo(g_strZavDir);
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "MaxDatSize", REG_DWORD, std::to_string(g_dwDatMaxSize)));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "NumberOfBackup", REG_DWORD, std::to_string(g_dwDatGeneration)));
    GetMetricsInfo();  // no operation-log path here: it writes nothing
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "MetricsFile", REG_SZ, GetMetricsFilePath()));
    if (GetMetricsFilePath().empty()) vec.back().strNote = "no metrics";

    char szTrace[504] = {};
    DWORD dwTraceSize = 0, dwTraceGeneration = 0;
    GetInternalLogInfo(szTrace, 503, &dwTraceSize, &dwTraceGeneration);
    vec.push_back(Classify(ZAV_INTERNAL_KEY, "FilePath", REG_SZ, szTrace));
    vec.push_back(Classify(ZAV_INTERNAL_KEY, "MaxLogSize", REG_DWORD, std::to_string(dwTraceSize)));
    vec.push_back(Classify(ZAV_INTERNAL_KEY, "Generation", REG_DWORD, std::to_string(dwTraceGeneration)));
}

// Where monitoring stopped, read by the service's own readers.
void AddCheckedState(std::vector<SETTING> &vec) {
    CHECKEDSTATE tagChecked;
    GetServiceStart(tagChecked);
    const DWORD dwServiceStart = tagChecked.dwServiceStart;
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ServiceStart", REG_DWORD, std::to_string(dwServiceStart)));
    vec.back().strNote = dwServiceStart == 0 ? "first start: past entries are recorded, not reported" : "";
    (void)GetCheckedImlInfo(tagChecked);
    const IMLINFO &c = tagChecked.tagIml;
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadEventNumber", REG_DWORD, std::to_string(c.dwEventNumber)));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadCreated", REG_SZ, c.strCreated));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadUpdated", REG_SZ, c.strUpdated));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadEventClass", REG_DWORD, std::to_string(c.wEventClass)));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadEventCode", REG_DWORD, std::to_string(c.wEventCode)));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "ReadRepaired", REG_DWORD, std::to_string(c.dwRepaired)));
    vec.push_back(Classify(ZAV_PARAMETERS_KEY, "CheckedTime", REG_SZ, GetCheckedTime()));
}

// The two outside components, loaded as the service loads them; 1 when one fails.
int CheckComponents(const Options &o) {
    const std::string strLib = g_strZavDir + ZAV_REPORT_LIB;
    HMODULE hLib = LoadLibrary(strLib.c_str());
    const bool bLib = hLib && GetProcAddress(hLib, "SendIndication");
    if (hLib) (void)FreeLibrary(hLib);
    const bool bModule = StartScriptInterpreter() == SCRIPT_STARTED && CheckScriptModule();
    (void)ZavPyFinalize();
    const SETTING parts[] = {
        {"report library", "", "", strLib, bLib ? "loads" : "FAILS", bLib ? "" : "the service exits at start-up"},
        {"controller module", "", "", ZAV_SCRIPT_DIR "/" ZAV_SCRIPT_MODULE ".py", bModule ? "imports" : "FAILS",
         bModule ? "" : "every poll fails; see the trace for the interpreter's message"},
    };
    for (const auto &s : parts) PrintSetting(o, s);
    return bLib && bModule ? 0 : 1;
}

int CmdSettings(const Options &o) {
    if (!o.vecArgs.empty()) return Usage();
    SetRegRetryWait(0);  // the real readers, but no waiting on missing values
    std::vector<SETTING> vec;
    AddServiceSettings(vec);
    AddLogSettings(vec);
    AddCheckedState(vec);
    for (const auto &s : vec) PrintSetting(o, s);
    return CheckComponents(o);
}

// ---- poll --------------------------------------------------------------------

void OnTimeout(int) {
    static const char kText[] = "zavsmcheck: the controller module did not answer in time (--timeout)\n";
    (void)!write(2, kText, sizeof kText - 1);
    _exit(1);
}

// One poll of the service's own code and what it decided.
struct POLLRUN {
    POLLSTATE tagState;
    CHECKEDSTATE tagChecked;
    DWORD dwServiceStart = 1;  // as the poll found them
    DWORD dwCheckedNumber = 0;
    bool bRunning = false;
};

// The scratch install a poll works in: a copy of the registry, the service's
// settings and definition file. 0 when the service would not monitor.
int PreparePoll(Scratch &scratch, POLLRUN &run) {
    SetRegRetryWait(0);
    GetZavDirPath();
    const std::string strInstall = g_strZavDir;
    std::error_code ec;
    fs::copy(GetRegistryRoot(), scratch.Dir() + "/registry", fs::copy_options::recursive, ec);
    if (!scratch.Valid() || ec) {
        fprintf(stderr, "zavsmcheck: cannot copy the registry %s: %s\n", GetRegistryRoot().c_str(),
                ec.message().c_str());
        return 0;
    }
    SetRegistryRoot(scratch.Dir() + "/registry");
    scratch.Use(strInstall + ZAV_DEFINITION_FILE);
    GetMonitoringInfo();
    GetServiceStart(run.tagChecked);
    GetBackupDatInfo(g_strZavDir);
    if (!GetTargetEventInfo()) {
        fprintf(stderr,
                "zavsmcheck: the definition file is invalid; the service would not monitor "
                "(zavsmcheck conf says why)\n");
        return 0;
    }
    return 1;
}

// The monitoring thread's start and one poll; 0 when the interpreter does not start.
int RunPoll(const Options &o, POLLRUN &run) {
    g_hServerStopEvent = CreateEvent(nullptr, 1, 0, nullptr);
    if (StartScriptInterpreter() != SCRIPT_STARTED) {
        fprintf(stderr, "zavsmcheck: the interpreter does not start\n");
        return 0;
    }
    LoadCheckedState(run.tagChecked);
    run.dwServiceStart = run.tagChecked.dwServiceStart;
    run.dwCheckedNumber = run.tagChecked.tagIml.dwEventNumber;
    // A running service is past its first pass: its next poll reports everything as current.
    run.bRunning = IsServiceAlreadyRunning(ZAV_SERVICE_NAME) != 0;
    if (run.bRunning) g_bCurrentReport = 1;
    signal(SIGALRM, OnTimeout);
    alarm(o.nTimeout);
    (void)MonitoringPoll(run.tagState, run.tagChecked);
    alarm(0);
    (void)ZavPyFinalize();
    return 1;
}

// Why the pass did not report an entry it recorded, or empty.
std::string NoReportReason(const ENTRYOUTCOME &d, const IMLINFO &e) {
    switch (d.nReport) {
    case REPORT_NOT_TARGET:
        return "not in the definition file";
    case REPORT_BAD_CLASS_OR_CODE:
        return "class or code out of range";
    case REPORT_BAD_SEVERITY:
        return "severity \"" + e.strSeverity + "\" is not reported";
    case REPORT_PAST_FIRST_START:
        return "past entry on the first start: recorded, not reported";
    case REPORT_SENT:
        return "";
    default:
        return "not reported";
    }
}

void PrintEntry(const Options &o, const POLLRESULT &r, size_t i, const IMLINFO &e, const ENTRYOUTCOME &d) {
    const bool bHandled = d.nState != ENTRY_SKIPPED;
    const char *pszState =
        r.bSearched && i >= r.dwNewEventIndex ? "new" : (bHandled ? "updated" : "checked");
    const bool bReported = d.nReport == REPORT_SENT;
    const DWORD dwID = bReported ? d.dwEventID : 0;
    const bool bHalvern = d.bPast ? ZavIsPastHalvernId(dwID) : (dwID && IsZavHalvernEvent(dwID));
    const std::string strMessage = bReported ? d.strMessage : "";
    const std::string strReason = bHandled ? NoReportReason(d, e)
                                  : r.bSearched ? "already checked"
                                                : "no new-entry start found (checked time missing)";
    if (o.bJson) {
        JsonLine line;
        line.Number("index", long(i))
            .Number("number", e.dwEventNumber)
            .Text("created", e.strCreated)
            .Text("updated", e.strUpdated)
            .Text("class", Hex(e.wEventClass, 2))
            .Text("code", Hex(e.wEventCode, 4))
            .Text("severity", e.strSeverity)
            .Number("repaired", e.dwRepaired)
            .Text("state", pszState)
            .Bool("recorded", d.bRecorded)
            .Bool("target", d.bTarget)
            .Text("event_id", Hex(dwID, 8))
            .Bool("past", bReported && d.bPast)
            .Bool("halvern", bHalvern)
            .Text("reason", strReason)
            .Text("message_hex", HexBytes(strMessage));
        if (o.bVerbose) line.Text("message", ToUtf8(strMessage));
        line.Print();
        return;
    }
    const std::string strWhy = dwID ? std::string(d.bPast ? "past" : "current") + (bHalvern ? ", halvern" : "") : strReason;
    printf("%-5zu %-10u %-19s %-19s %-6s %-6s %-9s %-8s %-3s %-3s %-10s %s\n", i, unsigned(e.dwEventNumber),
           e.strCreated.c_str(), e.strUpdated.c_str(), Hex(e.wEventClass, 2).c_str(), Hex(e.wEventCode, 4).c_str(),
           e.strSeverity.c_str(), pszState, d.bRecorded ? "yes" : "no", d.bTarget ? "yes" : "no", Hex(dwID, 8).c_str(),
           strWhy.c_str());
    if (o.bVerbose && bReported) {
        std::string strShown = ToUtf8(strMessage);
        for (size_t p = 0; (p = strShown.find('\n', p)) != std::string::npos; p += 9) strShown.insert(p + 1, "      | ");
        printf("      | %s\n", strShown.c_str());
    }
}

void PrintPollSummary(const Options &o, const POLLRUN &run, long nRecorded, long nReported,
                      const std::vector<std::string> &vecErrors) {
    const POLLRESULT &r = run.tagState.tagResult;
    if (o.bJson) {
        JsonLine line;
        line.Text("result", r.bFetched ? "ok" : "failed")
            .Text("clock", r.strTime)
            .Bool("first_start", run.dwServiceStart == 0)
            .Bool("service_running", run.bRunning)
            .Number("checked_number", run.dwCheckedNumber)
            .Number("entries", long(r.dwEntries))
            .Number("recorded", nRecorded)
            .Number("reported", nReported);
        if (!r.bFetched) line.Text("error", vecErrors.empty() ? "" : vecErrors.back());
        line.Print();
    } else if (r.bFetched) {
        printf("controller clock %s; %s; checked entry %u; %u entries, %ld recorded, %ld reported (as %s)\n",
               r.strTime.c_str(), run.dwServiceStart ? "not the first start" : "first start",
               unsigned(run.dwCheckedNumber), unsigned(r.dwEntries), nRecorded, nReported,
               run.bRunning ? "the running service's next poll" : "the first poll after a start");
    } else {
        printf("POLL FAILED: the service records nothing this cycle and tries again at the next\n");
        for (const auto &s : vecErrors) printf("  operation log: %s\n", s.c_str());
        printf("  the trace (%s) has the interpreter's message when the module raised\n", ZAV_DEFAULT_TRACE_PATH);
    }
}

int CmdPoll(const Options &o) {
    if (!o.vecArgs.empty()) return Usage();
    Scratch scratch;
    POLLRUN run;
    if (!PreparePoll(scratch, run) || !RunPoll(o, run)) return 1;
    const POLLRESULT &r = run.tagState.tagResult;
    const std::vector<IMLINFO> &vecEntries = run.tagState.tagImlList.vecRecords;
    if (!o.bJson && r.bFetched)
        printf("%-5s %-10s %-19s %-19s %-6s %-6s %-9s %-8s %-3s %-3s %-10s %s\n", "index", "number", "created",
               "updated", "class", "code", "severity", "state", "rec", "tgt", "event ID", "past/halvern, reason");
    long nRecorded = 0, nReported = 0;
    for (size_t i = 0; i < r.dwEntries; ++i) {
        // Without a pass every entry stays as the last poll left it.
        const ENTRYOUTCOME d = i < r.vecOutcomes.size() ? r.vecOutcomes[i] : ENTRYOUTCOME();
        PrintEntry(o, r, i, vecEntries[i], d);
        nRecorded += d.bRecorded ? 1 : 0;
        nReported += d.nReport == REPORT_SENT ? 1 : 0;
    }
    PrintPollSummary(o, run, nRecorded, nReported, scratch.ErrorLines());
    return r.bFetched ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            o.bJson = true;
        } else if (a == "-v") {
            o.bVerbose = true;
        } else if (a == "--timeout" && i + 1 < argc) {
            char *end = nullptr;
            const unsigned long n = strtoul(argv[++i], &end, 10);
            if (!end || *end || n == 0 || n > UINT_MAX) return Usage();
            o.nTimeout = unsigned(n);
        } else if (a == "--japanese" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v != "on" && v != "off") return Usage();
            o.nJapanese = v == "on" ? 1 : 0;
        } else if (!a.empty() && a[0] == '-') {
            return Usage();
        } else if (o.strCommand.empty()) {
            o.strCommand = a;
        } else {
            o.vecArgs.push_back(a);
        }
    }
    if (o.strCommand == "conf") return CmdConf(o);
    if (o.strCommand == "settings") return CmdSettings(o);
    if (o.strCommand == "poll") return CmdPoll(o);
    return Usage();
}
