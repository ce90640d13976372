// What every module shares: the entry record, the definition table row, the
// report library's record, registry keys, fixed paths, event IDs and the
// built-in defaults, each stated once. A leaf: it includes only the platform
// layer and standard headers, and any module may include it.
#pragma once

#include <string>
#include <vector>

#include "NTwin32.h"
#include "ProcUtil.h"

// ---- Records -------------------------------------------------------------

// One controller log entry; a plain value.
struct IMLINFO {
    DWORD dwEventNumber = 0;
    std::string strCreated;
    std::string strUpdated;
    WORD wEventClass = 0;
    WORD wEventCode = 0;
    DWORD dwRepaired = 0;
    std::string strSeverity;
    std::string strMessage;
    std::string strRecommendedAction;
};

// The entry list of one poll, owned by the monitoring thread and filled by
// the bridge: the entries are vecRecords[0] to [dwMaxIndex - 1]. The records
// stay allocated from one poll to the next with their text buffers (freeing
// them after every poll made the next allocate and fault them all in again),
// so a record past dwMaxIndex may hold an older poll's values.
struct IMLLIST {
    std::vector<IMLINFO> vecRecords;
    DWORD dwMaxIndex = 0;
};

// Where monitoring stopped, persisted under the Parameters key: the last
// checked entry ("Read..." values), the controller time of the last
// successful poll ("CheckedTime") and the first-start flag ("ServiceStart",
// 0 on the first start). The main thread reads the flag at start-up and
// hands the record to the monitoring thread, which alone uses it afterwards.
struct CHECKEDSTATE {
    IMLINFO tagIml;
    std::string strTime;
    DWORD dwServiceStart = 1;
};

// How one call of the controller module ended.
enum { CALL_NOT_MADE, CALL_RETURNED, CALL_EXCEPTION, CALL_INVALID };
struct CALLSTATUS {
    int nEnd = CALL_NOT_MADE;
    int nStatus = 0;  // the status the module returned (CALL_RETURNED)
};

// What the pass decided for one entry. Entries it skips (seen and not
// updated since) are ENTRY_SKIPPED and nothing else is set.
enum { ENTRY_SKIPPED, ENTRY_NEW, ENTRY_UPDATED };
// Why an entry the pass handled was not reported.
enum {
    REPORT_NONE,              // skipped: nothing decided
    REPORT_SENT,
    REPORT_NOT_TARGET,        // not in the definition file
    REPORT_BAD_CLASS_OR_CODE, // no event ID for its class and code
    REPORT_PAST_FIRST_START,  // a past entry on the first start: recorded only
    REPORT_BAD_SEVERITY,      // a severity that has no event ID
    REPORT_REFUSED            // ReportEventlog refused it
};
// The entry's severity as alerts are counted: repaired first.
enum { SEVERITY_OTHER, SEVERITY_OK, SEVERITY_WARNING, SEVERITY_CRITICAL, SEVERITY_REPAIRED };
struct ENTRYOUTCOME {
    DWORD dwIndex = 0;
    DWORD dwEventNumber = 0;
    int nState = ENTRY_SKIPPED;
    bool bRecorded = false;  // its event data record was written
    bool bTarget = false;
    bool bPast = false;      // reported (or held back) as a past report
    int nReport = REPORT_NONE;
    int nSeverity = SEVERITY_OTHER;
    DWORD dwEventID = 0;     // what it was reported under, or 0
    bool bStored = false;    // the checked entry moved to it
    std::string strMessage;  // the bytes handed to SendIndication
};

// One poll as the monitoring thread ran it.
struct POLLRESULT {
    int bFetched = 0;  // ExecutePythonScript's result
    std::string strTime;  // the controller time of the poll, or empty
    CALLSTATUS tagDateTimeCall, tagImlCall;
    DWORD dwEntries = 0;  // entries in the list get_iml returned
    int bSearched = 0;    // SearchNewEventNumber's result
    DWORD dwNewEventIndex = 0;
    std::vector<ENTRYOUTCOME> vecOutcomes;  // one per entry of the list, when the pass ran
};

// One row of the definition table.
struct TARGETEVENTINFO {
    WORD wEventClass = 0;
    WORD wEventCode = 0;
    std::string strCriticalText;
    std::string strWarningText;
    std::string strInformationText;
};

#define ZAV_TARGET_ROWS 512

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

// ---- Registry keys -------------------------------------------------------

#define ZAV_PARAMETERS_KEY "SYSTEM\\CurrentControlSet\\Services\\ZAVSystemManagementService\\Parameters"
#define ZAV_LOG_KEY "SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv"
#define ZAV_REPORT_TABLE_KEY "SOFTWARE\\KYM\\ZAVALERTMAN\\REPORTTABLE\\EVENTLOG\\APPLICATION\\ZAVCOMMONSERVICE\\"
#define ZAV_INTERNAL_KEY "SOFTWARE\\KYM\\ZAVAgent\\Log\\zavsmsrv_internal"
// The same key as the registry's folder below the install: the trace settings
// and the report library's switch are read as value files before anything
// else exists.
#define ZAV_INTERNAL_REG_REL "/registry/HKEY_LOCAL_MACHINE/SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV_INTERNAL"
#define ZAV_INTERNAL_REG_DIR ZAV_INSTALL_DIR ZAV_INTERNAL_REG_REL

// ---- Fixed paths ---------------------------------------------------------

#define ZAV_SERVICE_NAME "ZAVsmsrv"
#define ZAV_DEFAULT_DIR ZAV_INSTALL_DIR
#define ZAV_SCRIPT_DIR ZAV_INSTALL_DIR "/bin"
#define ZAV_SCRIPT_MODULE "zavsmsrv"
// Below the install directory (g_strZavDir):
#define ZAV_REPORT_LIB "/lib/libstdalert.so"
#define ZAV_DEFINITION_FILE "/data/zavsmsrv.conf"
#define ZAV_DAT_FILE "/log/zavsmsel.log"
// Absolute:
#define ZAV_DEFAULT_LOG_PATH ZAV_INSTALL_DIR "/log/zavsmflw.log"
#define ZAV_DEFAULT_TRACE_PATH ZAV_INSTALL_DIR "/log/ZAVsmsrv.log"
#define ZAV_PID_FILE "/var/run/ZAVsmsrv.pid"
#define ZAV_SYSTEMCTL "/usr/bin/systemctl"
#define ZAV_UNIT_FILE "/usr/lib/systemd/system/ZAVsmsrv.service"

// ---- Event IDs -----------------------------------------------------------

// The service's own failures (interpreter, definition file).
#define ZAV_EVENT_SERVICE_ERROR 0xC000238Du
// Severity masks over the short ID.
#define ZAV_MASK_INFORMATION 0x40008000u
#define ZAV_MASK_WARNING 0x80008000u
#define ZAV_MASK_ERROR 0xC0008000u
// Past reports, by severity, routed to the remote-report destination or not.
#define ZAV_PAST_CRITICAL_HALVERN 0xC0000578u
#define ZAV_PAST_CRITICAL 0xC000057Fu
#define ZAV_PAST_WARNING_HALVERN 0x80000579u
#define ZAV_PAST_WARNING 0x80000580u
#define ZAV_PAST_INFORMATION_HALVERN 0x40000585u
#define ZAV_PAST_INFORMATION 0x40000581u

inline bool ZavIsPastHalvernId(DWORD dwEventID) {
    return dwEventID == ZAV_PAST_CRITICAL_HALVERN || dwEventID == ZAV_PAST_WARNING_HALVERN ||
           dwEventID == ZAV_PAST_INFORMATION_HALVERN;
}
inline bool ZavIsPastId(DWORD dwEventID) {
    return ZavIsPastHalvernId(dwEventID) || dwEventID == ZAV_PAST_CRITICAL || dwEventID == ZAV_PAST_WARNING ||
           dwEventID == ZAV_PAST_INFORMATION;
}

// ---- Built-in defaults and clamps ----------------------------------------

#define ZAV_DEFAULT_MONITORING_CYCLE 30000u  // ms
#define ZAV_MIN_MONITOR_INTERVAL 10u         // s
// Largest interval in seconds whose millisecond count fits 32 bits.
#define ZAV_MAX_MONITOR_INTERVAL 4294967u
#define ZAV_DEFAULT_LOG_LEVEL 3u
#define ZAV_MAX_LOG_LEVEL 5u
#define ZAV_DEFAULT_LOG_MAX_SIZE 524288u
#define ZAV_DEFAULT_LOG_GENERATION 2u
#define ZAV_DEFAULT_DAT_MAX_SIZE 65536u
#define ZAV_DEFAULT_DAT_GENERATION 4u
#define ZAV_DEFAULT_TRACE_MAX_SIZE 4194304u
#define ZAV_DEFAULT_TRACE_GENERATION 5u
// Any size setting below this is raised to it.
#define ZAV_MIN_FILE_SIZE 1024u
