// Monitoring engine: the entry record and list, the monitoring thread, the
// new-entry search, the check-and-report pass and the report message.
// Everything here runs on the monitoring thread, except g_tagTargetEvent,
// which the main thread fills during start-up before the thread exists.
#pragma once

#include <string>

#include "ZavTypes.h"

extern IMLINFO *g_tagImlList;
extern DWORD g_dwMaxIndex;
extern DWORD g_dwNewEventIndex;
extern IMLINFO g_tagCheckedIml;
extern std::string g_strCheckedTime;
extern std::string g_strServiceStartTime;
extern TARGETEVENTINFO g_tagTargetEvent[ZAV_TARGET_ROWS];

// Empties records nFirst to nCount - 1.
void InitImlList(int nCount, int nFirst = 0);
// Empties the list; its storage is kept for the next poll (the monitoring
// thread releases it when it ends).
void ClearImlList();
// Makes a list of dwCount records, reusing the storage of the last one: a
// record may hold what the last poll left in it until InitImlList empties
// it. 0 when memory is short.
int AllocImlList(DWORD dwCount);

void *ZavMonitoringThread(void *pArg);
// One poll of the loop (fetch, search, pass, record, clear); 0 when a stop
// request was seen before the pass.
int MonitoringPoll();
int SearchNewEventNumber();
void CheckAndReportIml();
std::string CreateReportEventMessage(const IMLINFO &tagIml, const std::string &strHeadline);

// The two texts the pass builds for an entry.
std::string MakeSummary(const IMLINFO &tagIml);
std::string MakeDatRecord(const IMLINFO &tagIml, const std::string &strSummary);
