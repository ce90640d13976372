// Operation log (zavsmflw.log) and event data file (zavsmsel.log): append
// one line per call, open-append-close, rotated by size into numbered
// backups. Settings are read once on the main thread during start-up.
#pragma once

#include <string>

#include "ZavTypes.h"

#define LOG_LEVEL_ERROR 1
#define LOG_LEVEL_INFO 3
#define LOG_LEVEL_DEBUG 5


// Written by GetTraceLogInfo (main thread, before the monitoring thread);
// the counters by WriteLog on whichever thread logs (never two at once).
extern std::string g_strLogFilePath;
extern DWORD g_dwLogLevel;
extern DWORD g_dwLogMaxSize;
extern DWORD g_dwLogGeneration;
extern DWORD g_dwLogCurrentSize;
extern int g_bLogBackup;

// Written by GetBackupDatInfo (main thread); counters by WriteDat (monitoring thread).
extern std::string g_strDatFilePath;
extern DWORD g_dwDatMaxSize;
extern DWORD g_dwDatGeneration;
extern DWORD g_dwDatCurrentSize;
extern int g_bDatBackup;

// The rules that turn a stored setting into the one in force.
DWORD ClampLogLevel(DWORD dwLevel);
DWORD ClampFileSize(DWORD dwSize);
DWORD ClampGeneration(DWORD dwGeneration);

void WriteLog(std::string strMessage, std::string strFunction, DWORD dwLevel, int bNoBackup);
void BackupFile(std::string strPath, DWORD dwGeneration);
DWORD GetLogFileSize(std::string strPath);
void GetTraceLogInfo();

// The data file's settings, and its path below the install folder.
void GetBackupDatInfo(const std::string &strZavDir);
// 1 when the record was written (and synced).
int WriteDat(std::string strRecord);

// The fields of an entry, one trace record each, under the caller's source
// and function name; bChecked: the checked entry (prefixed, no severity).
void TraceImlInfo(DWORD dwLevel, const char *pszModule, const char *pszFunction, const IMLINFO &tagIml, bool bChecked);

// Composes one operation-log line (without its line feed).
std::string FormatLogLine(const SYSTEMTIME &st, const std::string &strMessage, const std::string &strFunction,
                          DWORD dwLevel);
