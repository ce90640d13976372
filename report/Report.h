// Event delivery to the report library, the past-report rules and the
// remote-report (Halvern) classification.
#pragma once

#include <string>

#include "ZavTypes.h"

#define ZAV_SOURCE_SERVICE "ZAVSystemManagementService"
#define ZAV_SOURCE_COMMON "ZAVCommonService"

// 0 at process start; set to 1 by the monitoring thread after every pass.
extern int g_bCurrentReport;

int ReportEventlog(DWORD dwEventID, std::string strMessage, std::string strDetail, int nSource);
int IsPastEventID(DWORD dwEventID);
int IsPastReport(std::string strUpdated);
int IsHalvernEvent(DWORD dwEventID);
int IsZavHalvernEvent(DWORD dwEventID);
