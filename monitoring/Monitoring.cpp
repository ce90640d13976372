#include "Monitoring.h"

#include "CheckedState.h"
#include "LogFile.h"
#include "Metrics.h"
#include "PyBridge.h"
#include "Report.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

const char *kModule = "Monitoring";

// 1 while the stop event is not signalled.
int StillRunning() { return WaitForSingleObject(g_hServerStopEvent.load(), 0) == WAIT_TIMEOUT; }

// Byte-wise order of time texts; a prefix is the earlier.
bool TimeEarlier(const std::string &a, const std::string &b) { return a.compare(b) < 0; }

// Starts the interpreter and loads the checked state; 0 when the thread
// must shut down without polling.
int StartUpThread(CHECKEDSTATE &tagChecked) {
    switch (StartScriptInterpreter()) {
    case SCRIPT_INIT_FAILED:
        (void)ReportEventlog(ZAV_EVENT_SERVICE_ERROR, "Unable to Initialize Python Module", "", 0);
        WriteLog("Fail", "Py_Initialize", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Py_Initialize failed.");
        return 0;
    case SCRIPT_PATH_FAILED:
        WriteLog("Fail", "PyRun_SimpleString", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyRun_SimpleString failed.");
        return 0;
    case SCRIPT_STARTED:
        break;
    }
    WriteLog("OK", "Py_Initialize", LOG_LEVEL_INFO, 0);
    ZTRACE(0, kModule, "Py_Initialize OK.");
    LoadCheckedState(tagChecked);
    if (!StillRunning()) return 0;
    ZTRACE(3, kModule, "Start loop.");
    return 1;
}

// The entry's severity as alerts are counted: repaired first.
int SeverityOf(const IMLINFO &tagIml) {
    if (tagIml.dwRepaired == 1) return SEVERITY_REPAIRED;
    if (tagIml.strSeverity == "Critical") return SEVERITY_CRITICAL;
    if (tagIml.strSeverity == "Warning") return SEVERITY_WARNING;
    if (tagIml.strSeverity == "OK") return SEVERITY_OK;
    return SEVERITY_OTHER;
}

// Filters a recorded entry, decides past or current, and reports it when it
// has an event ID; what was decided goes into o.
void ReportEntry(const IMLINFO &tagIml, DWORD dwServiceStart, const std::string &strServiceStartTime,
                 const std::string &strSummary, ENTRYOUTCOME &o) {
    std::string strHeadline;
    o.bTarget = IsTargetEvent(tagIml, strHeadline);
    if (!o.bTarget) {
        o.nReport = REPORT_NOT_TARGET;
        return;
    }
    const int bPast = IsPastReport(tagIml.strUpdated, strServiceStartTime);
    o.bPast = bPast == 1;
    const DWORD dwEventID = CreateReportEventID(bPast, tagIml, dwServiceStart, &o.nReport);
    if (dwEventID == 0) return;
    o.dwEventID = dwEventID;
    o.strMessage = CreateReportEventMessage(tagIml, strHeadline);
    o.nReport = ReportEventlog(dwEventID, o.strMessage, strSummary, 1) == 1 ? REPORT_SENT : REPORT_REFUSED;
}

}  // namespace

int MonitoringPoll(POLLSTATE &tagState, CHECKEDSTATE &tagChecked) {
    WriteLog("Check", "", LOG_LEVEL_INFO, 0);
    POLLRESULT &r = tagState.tagResult;
    r.tagDateTimeCall = r.tagImlCall = CALLSTATUS();
    r.dwEntries = r.dwNewEventIndex = 0;
    r.bSearched = 0;
    r.vecOutcomes.clear();
    r.bFetched = ExecutePythonScript(r, tagState.tagImlList, tagState.strServiceStartTime);
    if (r.bFetched) {
        r.bSearched = SearchNewEventNumber(tagState.tagImlList, tagChecked, r.dwNewEventIndex);
        if (r.bSearched == 1) {
            ZTRACE(3, kModule, "New event index:%d", int(r.dwNewEventIndex));
            if (!StillRunning()) return 0;
            CheckAndReportIml(tagState.tagImlList, r.dwNewEventIndex, tagChecked, tagState.strServiceStartTime,
                              r.vecOutcomes);
        }
        RecordCheckedPoll(tagChecked, r.strTime);
    }
    ClearImlList(tagState.tagImlList);
    return 1;
}

void *ZavMonitoringThread(void *pArg) {
    const MONITORINGARGS &tagArgs = *static_cast<const MONITORINGARGS *>(pArg);
    CHECKEDSTATE &tagChecked = *tagArgs.pChecked;
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "ZavMonitoringThread", LOG_LEVEL_INFO, 0);
    {
        POLLSTATE tagState;  // released before the interpreter ends
        if (StartUpThread(tagChecked)) {
            for (;;) {
                const double dStart = MetricsNow();
                if (!MonitoringPoll(tagState, tagChecked)) break;
                UpdateMetrics(tagState.tagResult, dStart, MetricsNow(), tagChecked.tagIml.dwEventNumber);
                WriteLog("Wait", "", LOG_LEVEL_INFO, 0);
                if (WaitForSingleObject(g_hServerStopEvent.load(), g_dwMonitoringCycle) != WAIT_TIMEOUT) break;
            }
        }
        ClearImlList(tagState.tagImlList);
    }
    if (!ZavPyFinalize()) WriteLog("Fail", "Py_Finalize", LOG_LEVEL_ERROR, 1);
    if (tagArgs.hExitThreadEvent) (void)SetEvent(tagArgs.hExitThreadEvent);
    WriteLog("End", "ZavMonitoringThread", LOG_LEVEL_INFO, 1);
    ZTRACE(0, kModule, "<");
    return nullptr;
}

int SearchNewEventNumber(const IMLLIST &tagImlList, const CHECKEDSTATE &tagChecked, DWORD &dwNewEventIndex) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "SearchNewEventNumber", LOG_LEVEL_DEBUG, 0);
    const DWORD dwMaxIndex = tagImlList.dwMaxIndex;
    const std::string &strCheckedTime = tagChecked.strTime;
    if (tagChecked.dwServiceStart == 0) {
        dwNewEventIndex = 0;
        ZTRACE(3, kModule, "<First start, NewEventIndex set to 0");
        return 1;
    }
    const IMLINFO &c = tagChecked.tagIml;
    if (c.dwEventNumber == 0 && c.strCreated.empty() && c.wEventClass == 0 && c.wEventCode == 0) {
        dwNewEventIndex = 0;
        WriteLog("Checked Info Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
        ZTRACE(3, kModule, "<Checked Info not found, NewEventIndex set to 0");
        return 1;
    }
    for (DWORD i = 0; i < dwMaxIndex; ++i) {
        const IMLINFO &e = tagImlList.vecRecords[i];
        if (e.dwEventNumber != c.dwEventNumber) continue;
        if (e.strCreated == c.strCreated && e.wEventClass == c.wEventClass && e.wEventCode == c.wEventCode) {
            dwNewEventIndex = i + 1;
            ZTRACE(0, kModule, "<NewEventIndex : %d", int(dwNewEventIndex));
            return 1;
        }
        break;  // the number was reused: only time can tell now
    }
    WriteLog("Match Event Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
    ZTRACE(3, kModule, "Match event not found,check the created time");
    if (strCheckedTime.empty()) {
        WriteLog("Checked Time Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
        ZTRACE(3, kModule, "<Checked time not found");
        return 0;
    }
    for (DWORD i = 0; i < dwMaxIndex; ++i) {
        const IMLINFO &e = tagImlList.vecRecords[i];
        if (e.strCreated.empty()) continue;
        if (!TimeEarlier(e.strCreated, strCheckedTime)) {
            dwNewEventIndex = i;
            ZTRACE(0, kModule, "<NewEventIndex : %d", int(i));
            return 1;
        }
    }
    dwNewEventIndex = dwMaxIndex;
    WriteLog("New Event Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
    ZTRACE(3, kModule, "New event not found");
    ZTRACE(3, kModule, "<");
    return 1;
}

std::string MakeSummary(const IMLINFO &t) {
    return IntToString(int(t.dwEventNumber), 10, 1) + "," + IntToString(int(t.dwRepaired), 10, 0) + "," +
           t.strSeverity + "," + IntToString(t.wEventClass, 16, 1) + "," + IntToString(t.wEventCode, 16, 1);
}

std::string MakeDatRecord(const IMLINFO &t, const std::string &strSummary) {
    std::string s;
    s.reserve(strSummary.size() + t.strUpdated.size() + t.strCreated.size() + t.strMessage.size() +
              t.strRecommendedAction.size() + 5);
    s += strSummary;
    s += ",";
    s += t.strUpdated;
    s += ",";
    s += t.strCreated;
    s += ",";
    s += t.strMessage;
    s += ",";
    s += t.strRecommendedAction;
    s += ",";
    return s;
}

void CheckAndReportIml(const IMLLIST &tagImlList, DWORD dwNewEventIndex, CHECKEDSTATE &tagChecked,
                       const std::string &strServiceStartTime, std::vector<ENTRYOUTCOME> &vecOutcomes) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "CheckAndReportIml", LOG_LEVEL_DEBUG, 0);
    vecOutcomes.clear();
    const DWORD dwMaxIndex = tagImlList.dwMaxIndex;
    for (DWORD i = 0; i < dwMaxIndex; ++i) {
        const IMLINFO &tagIml = tagImlList.vecRecords[i];
        vecOutcomes.emplace_back();
        ENTRYOUTCOME &o = vecOutcomes.back();
        o.dwIndex = i;
        o.dwEventNumber = tagIml.dwEventNumber;
        ZTRACE(0, kModule, "Report Loop. Index : %d, Number : %d", int(o.dwIndex), int(o.dwEventNumber));
        const int bNew = i >= dwNewEventIndex ? 1 : 0;
        if (!IsUpdatedEvent(tagChecked, tagIml, bNew)) continue;
        o.nState = bNew ? ENTRY_NEW : ENTRY_UPDATED;
        o.nSeverity = SeverityOf(tagIml);
        const std::string strSummary = MakeSummary(tagIml);
        o.bRecorded = WriteDat(MakeDatRecord(tagIml, strSummary)) == 1;
        WriteLog(strSummary, "CheckAndReportIml", LOG_LEVEL_INFO, 0);
        ReportEntry(tagIml, tagChecked.dwServiceStart, strServiceStartTime, strSummary, o);
        if (bNew == 1 || i == dwMaxIndex - 1) o.bStored = SetCheckedImlInfo(tagChecked, tagIml);
    }
    g_bCurrentReport = 1;
    WriteLog("End", "CheckAndReportIml", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
}

std::string CreateReportEventMessage(const IMLINFO &tagIml, const std::string &strHeadline) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "CreateReportEventMessage", LOG_LEVEL_DEBUG, 0);
    const std::string strDate = tagIml.strUpdated.empty() ? "(NOT SET)" : tagIml.strUpdated;
    const std::string strClass = "0x" + IntToString(tagIml.wEventClass, 16, 1);
    const std::string strCode = "0x" + IntToString(tagIml.wEventCode, 16, 1);
    const std::string strStatus = tagIml.dwRepaired == 1 ? "Repaired" : tagIml.strSeverity;
    const bool bAction = tagIml.dwRepaired == 0 && !tagIml.strRecommendedAction.empty();
    std::string s;
    if (g_bJapaneseMessage == 1) {
        if (!strHeadline.empty()) s += strHeadline + "\n";
        s += "\xC6\xFC\xBB\xFE : " + strDate + "\n";  // 日時
        s += "Event Class : " + strClass + "\n";
        s += "Event Code : " + strCode + "\n";
        s += "\xBE\xF5\xC2\xD6 : " + strStatus + "\n";  // 状態
        s += "\xBE\xDC\xBA\xD9 : " + tagIml.strMessage + "\n";  // 詳細
        if (bAction) s += "\xC2\xD0\xBD\xE8 : " + tagIml.strRecommendedAction;  // 対処
    } else {
        s += "Date : " + strDate + "\n";
        s += "Event Class : " + strClass + "\n";
        s += "Event Code : " + strCode + "\n";
        s += "Status : " + strStatus + "\n";
        s += "Description : " + tagIml.strMessage + "\n";
        if (bAction) s += "Recommended Action : " + tagIml.strRecommendedAction;
    }
    WriteLog("End", "CreateReportEventMessage", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return s;
}
