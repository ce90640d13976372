// Monitoring settings, the definition file and its table, event filtering
// and event IDs. Settings and the table are written on the main thread before
// the monitoring thread starts and only read afterwards.
#pragma once

#include <istream>
#include <string>

#include "ZavTypes.h"

// Entries are passed by const reference: the pass calls these for every
// entry of every poll, and none keeps or changes what it is given.

extern DWORD g_dwMonitoringCycle;
extern int g_bJapaneseMessage;
// The definition table; GetTargetEventInfo fills it on the main thread.
extern TARGETEVENTINFO g_tagTargetEvent[ZAV_TARGET_ROWS];

void GetMonitoringInfo();
// The cycle in ms for a stored interval in seconds, clamped to 10 s and to 32 bits.
DWORD MonitoringCycleOf(DWORD dwInterval);

bool GetTargetEventInfo();

// What reading a definition file gave: on failure, the operation log names
// strLine and nIndex (the section count less one); dwLine is the line the
// reading stopped at, counted from 1.
enum { DEFINITION_OK, DEFINITION_UNREADABLE, DEFINITION_BAD_SECTION, DEFINITION_INVALID };
struct DEFINITIONRESULT {
    int nStatus = DEFINITION_OK;
    int nIndex = -1;
    std::string strLine;
    DWORD dwLine = 0;
};
// Reads definition lines into pTable (ZAV_TARGET_ROWS rows, filled from row 0;
// the headline texts only when bJapanese). Writes nothing else.
DEFINITIONRESULT ParseTargetEventInfo(std::istream &in, int bJapanese, TARGETEVENTINFO *pTable);
bool ConvertTargetEventInfo(std::string strText, WORD &wClass, WORD &wCode);

bool IsTargetEvent(const IMLINFO &tagIml, std::string &strText);
DWORD CreateShortEventID(WORD wClass, WORD wCode);
// 0 when the entry is not reported; *pnWhy then says why (REPORT_*).
// dwServiceStart is the first-start flag: 0 holds past reports back.
DWORD CreateReportEventID(int bPast, const IMLINFO &tagIml, DWORD dwServiceStart, int *pnWhy = nullptr);
