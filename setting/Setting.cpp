#include "Setting.h"

#include <fstream>
#include <new>

#include "LogFile.h"
#include "Reg.h"
#include "Report.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

DWORD g_dwMonitoringCycle = ZAV_DEFAULT_MONITORING_CYCLE;
int g_bJapaneseMessage = 0;
TARGETEVENTINFO g_tagTargetEvent[ZAV_TARGET_ROWS];

namespace {
const char *kModule = "Setting";
}  // namespace

DWORD MonitoringCycleOf(DWORD dwInterval) {
    if (dwInterval < ZAV_MIN_MONITOR_INTERVAL) dwInterval = ZAV_MIN_MONITOR_INTERVAL;
    // A larger value would wrap the millisecond product (and could become an endless wait).
    if (dwInterval > ZAV_MAX_MONITOR_INTERVAL) dwInterval = ZAV_MAX_MONITOR_INTERVAL;
    return dwInterval * 1000u;
}

void GetMonitoringInfo() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetMonitoringInfo", LOG_LEVEL_DEBUG, 0);
    DWORD dwInterval = 0;
    g_dwMonitoringCycle = GetRegValue(ZAV_PARAMETERS_KEY, "MonitorInterval", dwInterval) ? MonitoringCycleOf(dwInterval)
                                                                                         : ZAV_DEFAULT_MONITORING_CYCLE;
    // Unsigned: cycles above 2147483647 ms would read as negative through IntToString.
    WriteLog("Cycle=" + std::to_string(g_dwMonitoringCycle), "", LOG_LEVEL_INFO, 0);
    DWORD dwJapanese = 0;
    g_bJapaneseMessage = (GetRegValue(ZAV_PARAMETERS_KEY, "JapaneseMessage", dwJapanese) && dwJapanese == 1) ? 1 : 0;
    WriteLog("JP=" + IntToString(g_bJapaneseMessage, 10, 1), "", LOG_LEVEL_INFO, 0);
    WriteLog("End", "GetMonitoringInfo", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kModule, "MonitoringCycle : %u", g_dwMonitoringCycle);
    ZTRACE(3, kModule, "JapaneseMessage : %d", g_bJapaneseMessage);
    ZTRACE(0, kModule, "<");
}

bool ConvertTargetEventInfo(std::string strText, WORD &wClass, WORD &wCode) {
    ZTRACE(0, kModule, ">");
    const DWORD dwValue = DWORD(StringToInt(strText, 16));
    if (dwValue == 0) {
        ZTRACE(1, kModule, "Invalid dwTargetValue(%s)", strText.c_str());
        wClass = 0;
        wCode = 0;
        return false;
    }
    bool bValid = true;
    const DWORD dwClass = dwValue >> 16;
    if (dwClass < 1 || dwClass > 127) {
        ZTRACE(1, kModule, "Invalid dwEventClass(0x%x)", dwClass);
        bValid = false;
    }
    const DWORD dwCode = dwValue & 0xFFFF;
    if (dwCode == 0) {
        ZTRACE(1, kModule, "Invalid dwEventCode(0x%x)", dwCode);
        bValid = false;
    }
    wClass = WORD(dwClass);
    wCode = WORD(dwCode);
    ZTRACE(0, kModule, "<");
    return bValid;
}

namespace {

// Reports the loader's failure as the service's own event, then logs it.
bool DefinitionFailure(const char *pszEvent, const std::string &strLogLine) {
    (void)ReportEventlog(ZAV_EVENT_SERVICE_ERROR, pszEvent, "", 0);
    WriteLog(strLogLine, "GetTargetEventInfo", LOG_LEVEL_ERROR, 0);
    return false;
}

}  // namespace

DEFINITIONRESULT ParseTargetEventInfo(std::istream &file, int bJapanese, TARGETEVENTINFO *pTable) {
    DEFINITIONRESULT r;
    try {
        while (!file.eof()) {
            r.strLine.clear();
            std::getline(file, r.strLine);
            ++r.dwLine;
            // A failed read (a folder at the path, an I/O error) never reaches the end of the file.
            if (file.bad() || (file.fail() && !file.eof())) {
                r.nStatus = DEFINITION_UNREADABLE;
                return r;
            }
            if (r.strLine.empty()) continue;
            const char cFirst = r.strLine[0];
            if (cFirst == '#') continue;
            if (cFirst == '[') {
                if (++r.nIndex > ZAV_TARGET_ROWS - 1) break;
                r.strLine = GetEnclosedString(r.strLine, "[", "]");
                WORD wClass = 0, wCode = 0;
                if (!ConvertTargetEventInfo(r.strLine, wClass, wCode)) {
                    r.nStatus = DEFINITION_BAD_SECTION;
                    return r;
                }
                pTable[r.nIndex].wEventClass = wClass;
                pTable[r.nIndex].wEventCode = wCode;
                continue;
            }
            // Text before the first section, or past the last row, ends the file.
            if (DWORD(r.nIndex) > DWORD(ZAV_TARGET_ROWS - 1)) break;
            if (bJapanese == 0) continue;
            TARGETEVENTINFO &row = pTable[r.nIndex];
            if (cFirst == 'f')
                row.strCriticalText = GetRightString(r.strLine, "=");
            else if (cFirst == 'w')
                row.strWarningText = GetRightString(r.strLine, "=");
            else if (cFirst == 'i')
                row.strInformationText = GetRightString(r.strLine, "=");
        }
    } catch (const std::bad_alloc &) {
        // A line too long to hold: the file cannot be a definition file.
        r.strLine = "(line too long)";
        r.nIndex = -1;
    }
    r.nStatus = DWORD(r.nIndex) <= DWORD(ZAV_TARGET_ROWS - 1) ? DEFINITION_OK : DEFINITION_INVALID;
    return r;
}

bool GetTargetEventInfo() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetTargetEventInfo", LOG_LEVEL_DEBUG, 0);
    std::ifstream file(g_strZavDir + ZAV_DEFINITION_FILE, std::ios::in | std::ios::binary);
    DEFINITIONRESULT r;
    r.nStatus = DEFINITION_UNREADABLE;
    if (file.is_open()) r = ParseTargetEventInfo(file, g_bJapaneseMessage, g_tagTargetEvent);
    const std::string strInvalid = "Read=" + r.strLine + " Index = " + IntToString(r.nIndex, 10, 1);
    switch (r.nStatus) {
        case DEFINITION_OK:
            WriteLog(IntToString(r.nIndex, 10, 1), "GetTargetEventInfo", LOG_LEVEL_INFO, 0);
            ZTRACE(3, kModule, "GetTargetEventInfo success.(iIndex:%d)", r.nIndex);
            WriteLog("End", "GetTargetEventInfo", LOG_LEVEL_DEBUG, 0);
            return true;
        case DEFINITION_UNREADABLE:
            (void)DefinitionFailure("Definition File(zavsmsrv.conf) Not Found", "File Open");
            ZTRACE(1, kModule, "<open zavsmsrv.conf failed.");
            return false;
        case DEFINITION_BAD_SECTION:
            (void)DefinitionFailure("Definition File(zavsmsrv.conf) Invalid", strInvalid);
            ZTRACE(1, kModule, "<invalid ReadCode(%s)", r.strLine.c_str());
            return false;
        default:
            (void)DefinitionFailure("Definition File(zavsmsrv.conf) Invalid", strInvalid);
            ZTRACE(1, kModule, "<Index of conf(%d), error.", r.nIndex);
            return false;
    }
}

bool IsTargetEvent(const IMLINFO &tagIml, std::string &strText) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "IsTargetEvent", LOG_LEVEL_DEBUG, 0);
    bool bMatch = false;
    for (int i = 0; i < ZAV_TARGET_ROWS; ++i) {
        const TARGETEVENTINFO &row = g_tagTargetEvent[i];
        if (row.wEventClass == 0 && row.wEventCode == 0) break;
        if (row.wEventClass != tagIml.wEventClass || row.wEventCode != tagIml.wEventCode) continue;
        bMatch = true;
        if (g_bJapaneseMessage == 1) {
            if (tagIml.dwRepaired == 1)
                strText = row.strInformationText;
            else if (tagIml.strSeverity == "Critical")
                strText = row.strCriticalText;
            else if (tagIml.strSeverity == "Warning")
                strText = row.strWarningText;
            else
                strText = row.strInformationText;
        }
        break;
    }
    WriteLog("End", "IsTargetEvent", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return bMatch;
}

DWORD CreateShortEventID(WORD wClass, WORD wCode) {
    ZTRACE(0, kModule, ">");
    if (WORD(wClass - 1) > 126) {
        ZTRACE(1, kModule, "<Invalid wEventClass(0x%x).", unsigned(wClass));
        return 0;
    }
    if (wCode == 0) {
        ZTRACE(1, kModule, "<Invalid wEventCode(0x%x).", unsigned(wCode));
        return 0;
    }
    const DWORD dwShort = DWORD(wClass) * 0x100u + (DWORD(wCode) & 0xFFu) + (DWORD(wCode) & 0xFF00u) * 0x100u;
    ZTRACE(0, kModule, "dwShortEventID : 0x%08x", dwShort);
    return dwShort;
}

DWORD CreateReportEventID(int bPast, const IMLINFO &tagIml, DWORD dwServiceStart, int *pnWhy) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "CreateReportEventID", LOG_LEVEL_DEBUG, 0);
    int nUnused = REPORT_SENT;
    int &nWhy = pnWhy ? *pnWhy : nUnused;
    nWhy = REPORT_SENT;
    const DWORD dwShort = CreateShortEventID(tagIml.wEventClass, tagIml.wEventCode);
    if (dwShort == 0) {
        ZTRACE(1, kModule, "<Create Report Event ID failed. Class:0x%04x, Code:0x%04x", unsigned(tagIml.wEventClass),
               unsigned(tagIml.wEventCode));
        nWhy = REPORT_BAD_CLASS_OR_CODE;
        return 0;
    }
    if (dwServiceStart == 0 && bPast == 1) {
        ZTRACE(0, kModule, "<First start, no to report past report. EventID:0x%08x", dwShort);
        nWhy = REPORT_PAST_FIRST_START;
        return 0;
    }
    DWORD dwMask;
    DWORD dwPastHalvern, dwPastOther;
    if (tagIml.dwRepaired == 1 || tagIml.strSeverity == "OK") {
        dwMask = ZAV_MASK_INFORMATION;
        dwPastHalvern = ZAV_PAST_INFORMATION_HALVERN;
        dwPastOther = ZAV_PAST_INFORMATION;
    } else if (tagIml.strSeverity == "Critical") {
        dwMask = ZAV_MASK_ERROR;
        dwPastHalvern = ZAV_PAST_CRITICAL_HALVERN;
        dwPastOther = ZAV_PAST_CRITICAL;
    } else if (tagIml.strSeverity == "Warning") {
        dwMask = ZAV_MASK_WARNING;
        dwPastHalvern = ZAV_PAST_WARNING_HALVERN;
        dwPastOther = ZAV_PAST_WARNING;
    } else {
        ZTRACE(1, kModule, "<Invalide Severity(%s). Not to report.", tagIml.strSeverity.c_str());
        nWhy = REPORT_BAD_SEVERITY;
        return 0;
    }
    const DWORD dwID = dwShort | dwMask;
    if (bPast == 1) {
        if (IsZavHalvernEvent(dwID)) {
            ZTRACE(0, kModule, "<Is Halvern Event. EventID:0x%08x", dwID);
            return dwPastHalvern;
        }
        ZTRACE(0, kModule, "<Not Halvern Event. EventID:0x%08x", dwID);
        return dwPastOther;
    }
    ZTRACE(0, kModule, "<ReportEventID : 0x%08x", dwID);
    return dwID;
}
