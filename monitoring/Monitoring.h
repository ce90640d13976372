// Monitoring engine: the monitoring thread, its poll, the new-entry search,
// the check-and-report pass and the report message. Everything here runs on
// the monitoring thread; what a poll works on is handed in, never global.
#pragma once

#include <string>
#include <vector>

#include "ZavTypes.h"

// What the main thread hands the monitoring thread; it outlives the thread.
struct MONITORINGARGS {
    CHECKEDSTATE *pChecked;   // where monitoring stopped; the thread's until joined
    HANDLE hExitThreadEvent;  // set when the thread ends
};

// What the monitoring thread keeps from one poll to the next.
struct POLLSTATE {
    IMLLIST tagImlList;                // g_tagImlList and g_dwMaxIndex
    std::string strServiceStartTime;   // g_strServiceStartTime: the first controller time read
    POLLRESULT tagResult;              // the last poll
};

void *ZavMonitoringThread(void *pArg);
// One poll of the loop (fetch, search, pass, record, clear); the poll's
// decisions are left in tagState.tagResult. 0 when a stop request was seen
// before the pass.
int MonitoringPoll(POLLSTATE &tagState, CHECKEDSTATE &tagChecked);
// 1 with dwNewEventIndex (g_dwNewEventIndex) set; 0 when there is no basis
// for a decision (dwNewEventIndex is left as it was).
int SearchNewEventNumber(const IMLLIST &tagImlList, const CHECKEDSTATE &tagChecked, DWORD &dwNewEventIndex);
// Records, reports and checks the entries from dwNewEventIndex on and those
// updated since the checked time; one outcome per entry of the list.
void CheckAndReportIml(const IMLLIST &tagImlList, DWORD dwNewEventIndex, CHECKEDSTATE &tagChecked,
                       const std::string &strServiceStartTime, std::vector<ENTRYOUTCOME> &vecOutcomes);
std::string CreateReportEventMessage(const IMLINFO &tagIml, const std::string &strHeadline);

// The two texts the pass builds for an entry.
std::string MakeSummary(const IMLINFO &tagIml);
std::string MakeDatRecord(const IMLINFO &tagIml, const std::string &strSummary);
