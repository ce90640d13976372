#include "Metrics.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "FileOps.h"
#include "LogFile.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"

namespace {

const char *kModule = "Metrics";
const char *const kSeverity[METRIC_SEVERITIES] = {"critical", "warning", "ok", "repaired"};

METRICS s_metrics;
std::string s_strPath;    // "" none
std::string s_strTmp;     // beside it, not ending in .prom: the collector reads every *.prom
bool s_bFailing = false;  // the last write failed (its line is written)

// Label values escape backslash, double quote and line feed.
std::string Label(const std::string &strValue) {
    std::string s;
    for (char c : strValue) {
        if (c == '\\' || c == '"') s += '\\';
        if (c == '\n') {
            s += "\\n";
            continue;
        }
        s += c;
    }
    return s;
}

std::string Seconds(double d) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", d);
    return buf;
}

void Family(std::string &out, const char *pszName, const char *pszType, const char *pszHelp) {
    out += std::string("# HELP ") + pszName + " " + pszHelp + "\n# TYPE " + pszName + " " + pszType + "\n";
}

void Sample(std::string &out, const char *pszName, const std::string &strLabels, const std::string &strValue) {
    out += pszName;
    if (!strLabels.empty()) out += "{" + strLabels + "}";
    out += " " + strValue + "\n";
}

void RenderPolls(std::string &out, const METRICS &m) {
    Family(out, "zavsmsrv_polls_total", "counter", "Polls begun since the start, failed ones included.");
    Sample(out, "zavsmsrv_polls_total", "", std::to_string(m.qwPolls));
    Family(out, "zavsmsrv_poll_success", "gauge", "1 when both controller calls of the last poll returned 200.");
    Sample(out, "zavsmsrv_poll_success", "", m.bLastSuccess ? "1" : "0");
    if (m.qwPolls == 0) return;
    Family(out, "zavsmsrv_poll_last_timestamp_seconds", "gauge", "Start of the last poll, seconds since the epoch.");
    Sample(out, "zavsmsrv_poll_last_timestamp_seconds", "", Seconds(m.dLastPoll));
    if (m.dLastSuccess > 0) {
        Family(out, "zavsmsrv_poll_last_success_timestamp_seconds", "gauge",
               "Start of the last successful poll, seconds since the epoch.");
        Sample(out, "zavsmsrv_poll_last_success_timestamp_seconds", "", Seconds(m.dLastSuccess));
    }
    Family(out, "zavsmsrv_poll_duration_seconds", "gauge", "Duration of the last poll, start to end.");
    Sample(out, "zavsmsrv_poll_duration_seconds", "", Seconds(m.dLastDuration));
}

void RenderEntries(std::string &out, const METRICS &m) {
    Family(out, "zavsmsrv_controller_calls_total", "counter",
           "Controller module calls by call and by the status it gave (exception: raised or nothing usable; "
           "invalid: an answer of the wrong shape).");
    for (const auto &c : m.mapCalls)
        Sample(out, "zavsmsrv_controller_calls_total",
               "call=\"" + Label(c.first.first) + "\",status=\"" + Label(c.first.second) + "\"",
               std::to_string(c.second));
    Family(out, "zavsmsrv_controller_entries", "gauge", "Entries in the last list a poll read.");
    Sample(out, "zavsmsrv_controller_entries", "", std::to_string(m.dwEntries));
    Family(out, "zavsmsrv_checked_event_number", "gauge", "Number of the last checked entry.");
    Sample(out, "zavsmsrv_checked_event_number", "", std::to_string(m.dwCheckedNumber));
    Family(out, "zavsmsrv_entries_recorded_total", "counter", "Event data records written.");
    Sample(out, "zavsmsrv_entries_recorded_total", "", std::to_string(m.qwRecorded));
    Family(out, "zavsmsrv_alerts_total", "counter",
           "Alerts handed to the report library for controller entries, current or past, by severity.");
    for (int bPast = 0; bPast < 2; ++bPast)
        for (int s = 0; s < METRIC_SEVERITIES; ++s)
            Sample(out, "zavsmsrv_alerts_total",
                   std::string("kind=\"") + (bPast ? "past" : "current") + "\",severity=\"" + kSeverity[s] + "\"",
                   std::to_string(m.aAlerts[bPast][s]));
}

bool Returned200(const CALLSTATUS &c) {
    return c.nEnd == CALL_RETURNED && c.nStatus == 200;
}

std::string StatusLabel(const CALLSTATUS &c) {
    if (c.nEnd == CALL_EXCEPTION) return "exception";
    if (c.nEnd == CALL_INVALID) return "invalid";
    return std::to_string(c.nStatus);
}

// The alert's severity slot: repaired first, as the entry's outcome has it; -1 for none.
int SeveritySlot(int nSeverity) {
    switch (nSeverity) {
        case SEVERITY_CRITICAL:
            return METRIC_CRITICAL;
        case SEVERITY_WARNING:
            return METRIC_WARNING;
        case SEVERITY_OK:
            return METRIC_OK;
        case SEVERITY_REPAIRED:
            return METRIC_REPAIRED;
        default:
            return -1;
    }
}

}  // namespace

METRICS StartMetrics(double dNow, const std::string &strVersion, const std::string &strPython) {
    METRICS m;
    m.dStartTime = dNow;
    m.strVersion = strVersion;
    m.strPython = strPython;
    m.mapCalls[{"get_datetime", "200"}] = 0;
    m.mapCalls[{"get_iml", "200"}] = 0;
    return m;
}

void AddPollToMetrics(METRICS &m, const POLLRESULT &r, double dStart, double dEnd, DWORD dwCheckedNumber) {
    ++m.qwPolls;
    m.dLastPoll = dStart;
    m.dLastDuration = dEnd - dStart;
    m.bLastSuccess = Returned200(r.tagDateTimeCall) && Returned200(r.tagImlCall);
    if (m.bLastSuccess) m.dLastSuccess = dStart;
    const std::pair<const char *, const CALLSTATUS *> calls[] = {{"get_datetime", &r.tagDateTimeCall},
                                                                 {"get_iml", &r.tagImlCall}};
    for (const auto &c : calls)
        if (c.second->nEnd != CALL_NOT_MADE) ++m.mapCalls[{c.first, StatusLabel(*c.second)}];
    if (r.bFetched) m.dwEntries = r.dwEntries;
    m.dwCheckedNumber = dwCheckedNumber;
    for (const ENTRYOUTCOME &o : r.vecOutcomes) {
        if (o.bRecorded) ++m.qwRecorded;
        const int nSlot = SeveritySlot(o.nSeverity);
        if (o.nReport == REPORT_SENT && nSlot >= 0) ++m.aAlerts[ZavIsPastId(o.dwEventID) ? 1 : 0][nSlot];
    }
}

std::string RenderMetrics(const METRICS &m) {
    std::string out;
    Family(out, "zavsmsrv_start_time_seconds", "gauge", "Start time of the service, seconds since the epoch.");
    Sample(out, "zavsmsrv_start_time_seconds", "", Seconds(m.dStartTime));
    Family(out, "zavsmsrv_build_info", "gauge", "The service's version and its embedded Python (major.minor).");
    Sample(out, "zavsmsrv_build_info", "version=\"" + Label(m.strVersion) + "\",python=\"" + Label(m.strPython) + "\"",
           "1");
    RenderPolls(out, m);
    RenderEntries(out, m);
    return out;
}

double MetricsNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void GetMetricsInfo() {
    s_metrics = StartMetrics(MetricsNow(), ZAV_VERSION, ZAV_PYTHON_MAJOR_MINOR);
    s_bFailing = false;
    char szPath[ZAV_REG_SZ_BLOCK] = {};
    std::string strWhy;
    if (GetRegValue(ZAV_PARAMETERS_KEY, "MetricsFile", szPath))
        s_strPath = szPath;
    else if (GetLastError() == ENOENT)
        s_strPath = ZAV_DEFAULT_METRICS_FILE;
    else
        strWhy = "MetricsFile is not an sz value of under 128 bytes";
    if (!s_strPath.empty() && s_strPath[0] != '/') strWhy = "MetricsFile " + s_strPath + " is not an absolute path";
    if (!strWhy.empty()) s_strPath.clear();
    WriteLog("MetricsFile=" + s_strPath, "", LOG_LEVEL_INFO, 0);
    ZTRACE(3, kModule, "MetricsFile : %s", s_strPath.c_str());
    if (s_strPath.empty()) {
        if (!strWhy.empty()) WriteLog("No metrics: " + strWhy, "GetMetricsInfo", LOG_LEVEL_INFO, 0);
        return;
    }
    const size_t slash = s_strPath.rfind('/');
    s_strTmp = s_strPath.substr(0, slash + 1) + "." + s_strPath.substr(slash + 1) + ".tmp";
    if (int e = CheckParentFolder(s_strPath)) {
        WriteLog("No metrics until it can be written: folder of " + s_strPath + ": " + strerror(e), "GetMetricsInfo",
                 LOG_LEVEL_INFO, 0);
        s_bFailing = true;
    }
}

const std::string &GetMetricsFilePath() {
    return s_strPath;
}

void UpdateMetrics(const POLLRESULT &r, double dStart, double dEnd, DWORD dwCheckedNumber) {
    AddPollToMetrics(s_metrics, r, dStart, dEnd, dwCheckedNumber);
    if (s_strPath.empty()) return;
    const int nError = ReplaceFileUnsynced(s_strPath, s_strTmp, RenderMetrics(s_metrics), 0644);
    if (nError != 0 && !s_bFailing) {
        WriteLog("0x" + IntToString(nError, 16, 1) + " " + s_strPath + ": " + strerror(nError), "UpdateMetrics",
                 LOG_LEVEL_ERROR, 0);
        ZTRACE(2, kModule, "metrics not written: %s", strerror(nError));
    } else if (nError == 0 && s_bFailing) {
        WriteLog("Written again: " + s_strPath, "UpdateMetrics", LOG_LEVEL_INFO, 0);
    }
    s_bFailing = nError != 0;
}
