// Monitoring settings, the definition file and its table, event filtering
// and event IDs, and the last checked entry. Settings and the table are
// written on the main thread before the monitoring thread starts and only
// read afterwards; the checked entry belongs to the monitoring thread.
#pragma once

#include <string>

#include "Monitoring.h"
#include "NTwin32.h"

// Entries are passed by const reference: the pass calls these for every
// entry of every poll, and none keeps or changes what it is given.
#define ZAV_DEFINITION_FILE "/data/zavsmsrv.conf"
// Largest interval in seconds whose millisecond count fits 32 bits.
#define ZAV_MAX_MONITOR_INTERVAL 4294967u

extern DWORD g_dwMonitoringCycle;
extern int g_bJapaneseMessage;

void GetMonitoringInfo();

bool GetCheckedImlInfo();
bool SetCheckedImlInfo(const IMLINFO &tagIml);
bool IsUpdatedEvent(const IMLINFO &tagIml, int bNew);

bool GetTargetEventInfo();
bool ConvertTargetEventInfo(std::string strText, WORD &wClass, WORD &wCode);

bool IsTargetEvent(const IMLINFO &tagIml, std::string &strText);
DWORD CreateShortEventID(WORD wClass, WORD wCode);
DWORD CreateReportEventID(int bPast, const IMLINFO &tagIml);
