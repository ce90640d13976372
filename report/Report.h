// Event delivery to the report library, the past-report rules and the
// remote-report (Halvern) classification.
#pragma once

#include <string>

#include "ZavTypes.h"

#define ZAV_SOURCE_SERVICE "ZAVSystemManagementService"
#define ZAV_SOURCE_COMMON "ZAVCommonService"

// 0 at process start; set to 1 by the monitoring thread after every pass.
extern int g_bCurrentReport;

// The function ReportEventlog hands its records to; none: nothing is delivered.
void SetReportFunction(SENDINDICATION pfnSendIndication);
int ReportEventlog(DWORD dwEventID, std::string strMessage, std::string strDetail, int nSource);
int IsPastEventID(DWORD dwEventID);
// strServiceStartTime: the first controller time the monitoring thread read.
int IsPastReport(std::string strUpdated, const std::string &strServiceStartTime);
int IsHalvernEvent(DWORD dwEventID);
int IsZavHalvernEvent(DWORD dwEventID);
