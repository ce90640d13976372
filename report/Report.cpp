#include "Report.h"

#include "LogFile.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"

int g_bCurrentReport = 0;

namespace {
const char *kModule = "Report";
// The report library's entry, handed over by the service once loaded.
SENDINDICATION s_pfnSendIndication = nullptr;
}  // namespace

void SetReportFunction(SENDINDICATION pfnSendIndication) {
    s_pfnSendIndication = pfnSendIndication;
}

int ReportEventlog(DWORD dwEventID, std::string strMessage, std::string, int nSource) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "ReportEventlog", LOG_LEVEL_DEBUG, 0);
    if (dwEventID == 0) {
        ZTRACE(1, kModule, "<Invalid EventID, not report.");
        return 0;
    }
    if (strMessage.empty()) {
        ZTRACE(1, kModule, "<Messsage is NULL, not report");
        return 0;
    }
    char szSourceService[] = ZAV_SOURCE_SERVICE;
    char szSourceCommon[] = ZAV_SOURCE_COMMON;
    char szEmpty[] = "";
    char *apszStrings[5] = {szEmpty, szEmpty, szEmpty, szEmpty, szEmpty};
    const bool bPast = IsPastEventID(dwEventID) == 1;
    apszStrings[bPast ? 1 : 0] = &strMessage[0];

    INDICATIONINFO info{};
    info.dwReserved1 = 0;
    info.dwReserved2 = 2;
    info.pszSource = nSource == 0 ? szSourceService : szSourceCommon;
    info.dwEventID = dwEventID;
    info.dwEventType = dwEventID > 0xBFFFFFFFu ? 1 : (dwEventID >= 0x80000000u ? 2 : 4);
    info.dwStringCount = bPast ? 5 : 2;
    info.dwPadding = 0;
    info.ppszStrings = apszStrings;
    ZTRACE(0, kModule, "Report Source : %s", info.pszSource);
    ZTRACE(0, kModule, "Report EventID : 0x%08x", dwEventID);
    if (s_pfnSendIndication) (void)s_pfnSendIndication(info);
    WriteLog("End", "ReportEventlog", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return 1;
}

int IsPastEventID(DWORD dwEventID) {
    ZTRACE(0, kModule, ">");
    const int nResult = ZavIsPastId(dwEventID) ? 1 : 0;
    ZTRACE(0, kModule, "<");
    return nResult;
}

int IsPastReport(std::string strUpdated, const std::string &strServiceStartTime) {
    ZTRACE(0, kModule, ">");
    if (g_bCurrentReport == 1) {
        ZTRACE(0, kModule, "<Current Report.");
        return 0;
    }
    WriteLog("Start", "IsPastReport", LOG_LEVEL_DEBUG, 0);
    if (strUpdated.empty()) {
        ZTRACE(0, kModule, "<IML's Updated is blank. Regard as past report.");
        return 1;
    }
    if (strUpdated.compare(strServiceStartTime) < 0) {
        ZTRACE(0, kModule, "<Past report, IML's Updated: %s", strUpdated.c_str());
        return 1;
    }
    ZTRACE(0, kModule, "Current Report.");
    ZTRACE(0, kModule, "<");
    return 0;
}

int IsHalvernEvent(DWORD dwEventID) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "IsHalvernEvent", LOG_LEVEL_DEBUG, 0);
    const std::string strEventKey = ZAV_REPORT_TABLE_KEY + IntToString(int(dwEventID), 16, 1);
    int nResult;
    DWORD dwAliveLevel = 0;
    if (!CheckSubKey(strEventKey.c_str())) {
        ZTRACE(1, kModule, "EventID 0x%08x : not exist.", dwEventID);
        nResult = -1;
    } else if (!CheckSubKey((strEventKey + "\\DESTINATIONSETTING\\ID_LIST\\HALVERNREPORT").c_str())) {
        ZTRACE(0, kModule, "EventID 0x%08x : HALVERNREPORT not exist.", dwEventID);
        nResult = 0;
    } else if (!GetRegValue((strEventKey + "\\EVENTSETTING").c_str(), "AliveLevel", dwAliveLevel)) {
        ZTRACE(1, kModule, "EventID 0x%08x : get AliveLevel failed.", dwEventID);
        nResult = -2;
    } else if (dwAliveLevel > 3) {
        ZTRACE(0, kModule, "<EventID 0x%08x : not halvern event.", dwEventID);
        nResult = 0;
    } else {
        ZTRACE(0, kModule, "<EventID 0x%08x : halvern event.", dwEventID);
        nResult = 1;
    }
    WriteLog("ID = 0x" + IntToString(int(dwEventID), 16, 1) + " Res = 0x" + IntToString(nResult, 16, 1),
             "IsHalvernEvent", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return nResult;
}

int IsZavHalvernEvent(DWORD dwEventID) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "IsZavHalvernEvent", LOG_LEVEL_DEBUG, 0);
    const int nResult = IsHalvernEvent(dwEventID);
    WriteLog("End", "IsZavHalvernEvent", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return nResult == 1 ? 1 : 0;
}
