#include "Monitoring.h"

#include <new>
#include <vector>

#include "LogFile.h"
#include "PyBridge.h"
#include "Report.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "ZavDateTime.h"
#include "zavsmsrv.h"

IMLINFO *g_tagImlList = nullptr;
DWORD g_dwMaxIndex = 0;
DWORD g_dwNewEventIndex = 0;
IMLINFO g_tagCheckedIml;
std::string g_strCheckedTime;
std::string g_strServiceStartTime;
TARGETEVENTINFO g_tagTargetEvent[ZAV_TARGET_ROWS];

namespace {

const char *kModule = "Monitoring";

// Storage behind g_tagImlList, kept from one poll to the next with the
// records' text buffers: freeing it after every poll made the next poll
// allocate and fault it all in again.
std::vector<IMLINFO> s_vecImlList;

void ReleaseImlList() { std::vector<IMLINFO>().swap(s_vecImlList); }

// 1 while the stop event is not signalled.
int StillRunning() { return WaitForSingleObject(g_hServerStopEvent.load(), 0) == WAIT_TIMEOUT; }

// Byte-wise order of time texts; a prefix is the earlier.
bool TimeEarlier(const std::string &a, const std::string &b) { return a.compare(b) < 0; }

// Starts the interpreter and loads the checked state; 0 when the thread
// must shut down without polling.
int StartUpThread() {
    if (!ZavPyInitialize()) {
        (void)ReportEventlog(ZAV_EVENT_SERVICE_ERROR, "Unable to Initialize Python Module", "", 0);
        WriteLog("Fail", "Py_Initialize", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Py_Initialize failed.");
        return 0;
    }
    if (!ZavPyRunStatement("import sys") ||
        !ZavPyRunStatement("sys.path.append('" ZAV_SCRIPT_DIR "')")) {
        WriteLog("Fail", "PyRun_SimpleString", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyRun_SimpleString failed.");
        return 0;
    }
    WriteLog("OK", "Py_Initialize", LOG_LEVEL_INFO, 0);
    ZTRACE(0, kModule, "Py_Initialize OK.");
    (void)GetCheckedImlInfo();
    g_strCheckedTime = GetCheckedTime();
    if (!StillRunning()) return 0;
    ZTRACE(3, kModule, "Start loop.");
    return 1;
}

}  // namespace

// One poll; 0 when a stop request was seen before the pass.
int MonitoringPoll() {
    WriteLog("Check", "", LOG_LEVEL_INFO, 0);
    std::string strTime;
    if (ExecutePythonScript(strTime)) {
        if (SearchNewEventNumber() == 1) {
            ZTRACE(3, kModule, "New event index:%d", int(g_dwNewEventIndex));
            if (!StillRunning()) return 0;
            CheckAndReportIml();
        }
        (void)SetCheckedTime(strTime);
        g_strCheckedTime = strTime;
        if (g_dwServiceStart == 0) {
            g_dwServiceStart = 1;
            (void)SetServiceStart();
        }
    }
    ClearImlList();
    return 1;
}

int AllocImlList(DWORD dwCount) {
    ClearImlList();
    // A list far larger than this poll's is not kept.
    if (s_vecImlList.capacity() / 2 > dwCount) ReleaseImlList();
    try {
        s_vecImlList.resize(dwCount);
    } catch (const std::bad_alloc &) {
        ReleaseImlList();
        return 0;
    }
    g_tagImlList = s_vecImlList.data();
    g_dwMaxIndex = dwCount;
    return 1;
}

void InitImlList(int nCount, int nFirst) {
    ZTRACE(0, kModule, ">");
    for (int i = nFirst; i < nCount; ++i) {
        g_tagImlList[i] = IMLINFO();
    }
    ZTRACE(0, kModule, "<");
}

void ClearImlList() {
    ZTRACE(0, kModule, ">");
    g_tagImlList = nullptr;
    g_dwMaxIndex = 0;
    g_dwNewEventIndex = 0;
    ZTRACE(0, kModule, "<");
}

void *ZavMonitoringThread(void *) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "ZavMonitoringThread", LOG_LEVEL_INFO, 0);
    if (StartUpThread()) {
        for (;;) {
            if (!MonitoringPoll()) break;
            WriteLog("Wait", "", LOG_LEVEL_INFO, 0);
            if (WaitForSingleObject(g_hServerStopEvent.load(), g_dwMonitoringCycle) != WAIT_TIMEOUT) break;
        }
    }
    ClearImlList();
    ReleaseImlList();
    if (!ZavPyFinalize()) WriteLog("Fail", "Py_Finalize", LOG_LEVEL_ERROR, 1);
    if (g_hExitThreadEvent) (void)SetEvent(g_hExitThreadEvent);
    WriteLog("End", "ZavMonitoringThread", LOG_LEVEL_INFO, 1);
    ZTRACE(0, kModule, "<");
    return nullptr;
}

int SearchNewEventNumber() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "SearchNewEventNumber", LOG_LEVEL_DEBUG, 0);
    if (g_dwServiceStart == 0) {
        g_dwNewEventIndex = 0;
        ZTRACE(3, kModule, "<First start, NewEventIndex set to 0");
        return 1;
    }
    const IMLINFO &c = g_tagCheckedIml;
    if (c.dwEventNumber == 0 && c.strCreated.empty() && c.wEventClass == 0 && c.wEventCode == 0) {
        g_dwNewEventIndex = 0;
        WriteLog("Checked Info Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
        ZTRACE(3, kModule, "<Checked Info not found, NewEventIndex set to 0");
        return 1;
    }
    for (DWORD i = 0; i < g_dwMaxIndex; ++i) {
        const IMLINFO &e = g_tagImlList[i];
        if (e.dwEventNumber != c.dwEventNumber) continue;
        if (e.strCreated == c.strCreated && e.wEventClass == c.wEventClass && e.wEventCode == c.wEventCode) {
            g_dwNewEventIndex = i + 1;
            ZTRACE(0, kModule, "<NewEventIndex : %d", int(g_dwNewEventIndex));
            return 1;
        }
        break;  // the number was reused: only time can tell now
    }
    WriteLog("Match Event Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
    ZTRACE(3, kModule, "Match event not found,check the created time");
    if (g_strCheckedTime.empty()) {
        WriteLog("Checked Time Not Found", "SearchNewEventNumber", LOG_LEVEL_INFO, 0);
        ZTRACE(3, kModule, "<Checked time not found");
        return 0;
    }
    for (DWORD i = 0; i < g_dwMaxIndex; ++i) {
        const IMLINFO &e = g_tagImlList[i];
        if (e.strCreated.empty()) continue;
        if (!TimeEarlier(e.strCreated, g_strCheckedTime)) {
            g_dwNewEventIndex = i;
            ZTRACE(0, kModule, "<NewEventIndex : %d", int(i));
            return 1;
        }
    }
    g_dwNewEventIndex = g_dwMaxIndex;
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

void CheckAndReportIml() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "CheckAndReportIml", LOG_LEVEL_DEBUG, 0);
    for (DWORD i = 0; i < g_dwMaxIndex; ++i) {
        const IMLINFO &tagIml = g_tagImlList[i];
        ZTRACE(0, kModule, "Report Loop. Index : %d, Number : %d", int(i), int(tagIml.dwEventNumber));
        const int bNew = i >= g_dwNewEventIndex ? 1 : 0;
        if (!IsUpdatedEvent(tagIml, bNew)) continue;
        const std::string strSummary = MakeSummary(tagIml);
        WriteDat(MakeDatRecord(tagIml, strSummary));
        WriteLog(strSummary, "CheckAndReportIml", LOG_LEVEL_INFO, 0);
        std::string strHeadline;
        if (IsTargetEvent(tagIml, strHeadline)) {
            const int bPast = IsPastReport(tagIml.strUpdated);
            const DWORD dwEventID = CreateReportEventID(bPast, tagIml);
            if (dwEventID != 0) {
                const std::string strMessage = CreateReportEventMessage(tagIml, strHeadline);
                (void)ReportEventlog(dwEventID, strMessage, strSummary, 1);
            }
        }
        if (bNew == 1 || i == g_dwMaxIndex - 1) (void)SetCheckedImlInfo(tagIml);
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
