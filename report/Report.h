// Event delivery to the report library, the past-report rules and the
// remote-report (Halvern) classification.
#pragma once

#include <string>

#include "NTwin32.h"

// The record SendIndication takes by value: 40 bytes on x86-64.
struct INDICATIONINFO {
    DWORD dwReserved1;  // always 0
    DWORD dwReserved2;  // always 2
    char *pszSource;
    DWORD dwEventID;
    DWORD dwEventType;
    DWORD dwStringCount;
    DWORD dwPadding;
    char **ppszStrings;
};
static_assert(sizeof(INDICATIONINFO) == 40, "SendIndication takes a 40-byte record");

typedef int (*SENDINDICATION)(INDICATIONINFO);

#define ZAV_SOURCE_SERVICE "ZAVSystemManagementService"
#define ZAV_SOURCE_COMMON "ZAVCommonService"
#define ZAV_REPORT_TABLE_KEY "SOFTWARE\\KYM\\ZAVALERTMAN\\REPORTTABLE\\EVENTLOG\\APPLICATION\\ZAVCOMMONSERVICE\\"

// 0 at process start; set to 1 by the monitoring thread after every pass.
extern int g_bCurrentReport;

int ReportEventlog(DWORD dwEventID, std::string strMessage, std::string strDetail, int nSource);
int IsPastEventID(DWORD dwEventID);
int IsPastReport(std::string strUpdated);
int IsHalvernEvent(DWORD dwEventID);
int IsZavHalvernEvent(DWORD dwEventID);
