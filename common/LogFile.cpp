#include "LogFile.h"

#include <cstdio>

#include "FileOps.h"
#include "Guards.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"

std::string g_strLogFilePath;
DWORD g_dwLogLevel = ZAV_DEFAULT_LOG_LEVEL;
DWORD g_dwLogMaxSize = ZAV_DEFAULT_LOG_MAX_SIZE;
DWORD g_dwLogGeneration = ZAV_DEFAULT_LOG_GENERATION;
DWORD g_dwLogCurrentSize = 0;
int g_bLogBackup = 0;

std::string g_strDatFilePath;
DWORD g_dwDatMaxSize = ZAV_DEFAULT_DAT_MAX_SIZE;
DWORD g_dwDatGeneration = ZAV_DEFAULT_DAT_GENERATION;
DWORD g_dwDatCurrentSize = 0;
int g_bDatBackup = 0;

namespace {

const char *kModule = "LogFile";

// A size setting: the stored value raised to the smallest size, or the default.
DWORD SizeSetting(const char *pszKey, const char *pszName, DWORD dwDefault) {
    DWORD dw = 0;
    return GetRegValue(pszKey, pszName, dw) ? ClampFileSize(dw) : dwDefault;
}

DWORD NumberSetting(const char *pszKey, const char *pszName, DWORD dwDefault) {
    DWORD dw = 0;
    return GetRegValue(pszKey, pszName, dw) ? dw : dwDefault;
}

}  // namespace

DWORD ClampLogLevel(DWORD dwLevel) {
    return dwLevel > ZAV_MAX_LOG_LEVEL ? ZAV_MAX_LOG_LEVEL : dwLevel;
}
DWORD ClampFileSize(DWORD dwSize) {
    return dwSize < ZAV_MIN_FILE_SIZE ? ZAV_MIN_FILE_SIZE : dwSize;
}
DWORD ClampGeneration(DWORD dwGeneration) {
    return dwGeneration > ZAV_MAX_GENERATION ? ZAV_MAX_GENERATION : dwGeneration;
}

std::string FormatLogLine(const SYSTEMTIME &st, const std::string &strMessage, const std::string &strFunction,
                          DWORD dwLevel) {
    std::string s;
    s.reserve(40 + strFunction.size() + strMessage.size());
    s += std::to_string(st.wYear);
    s += "-" + IntToString(st.wMonth, 10, 1) + "-" + IntToString(st.wDay, 10, 1);
    s += " " + IntToString(st.wHour, 10, 1) + ":" + IntToString(st.wMinute, 10, 1) + ":" +
         IntToString(st.wSecond, 10, 1);
    s += ",";
    if (!strFunction.empty()) s += "[" + strFunction + "],";
    if (dwLevel == LOG_LEVEL_ERROR)
        s += "Error,";
    else if (dwLevel == LOG_LEVEL_DEBUG)
        s += "Debug,";
    s += strMessage;
    return s;
}

void WriteLog(std::string strMessage, std::string strFunction, DWORD dwLevel, int bNoBackup) {
    if (dwLevel > g_dwLogLevel) return;
    if (g_strLogFilePath.empty()) return;
    if (bNoBackup == 0 && g_bLogBackup == 1) {
        BackupFile(g_strLogFilePath, g_dwLogGeneration);
        g_bLogBackup = 0;
        g_dwLogCurrentSize = 0;
    }
    SYSTEMTIME st{};
    GetLocalTime(&st);
    std::string strLine = FormatLogLine(st, strMessage, strFunction, dwLevel);
    const size_t nLen = strLine.size();
    strLine += '\n';
    if (AppendToFile(g_strLogFilePath, strLine) != 0) return;
    if (bNoBackup == 0) {
        g_dwLogCurrentSize = DWORD(g_dwLogCurrentSize + DWORD(nLen) + 2u);
        g_bLogBackup = g_dwLogCurrentSize > g_dwLogMaxSize ? 1 : 0;
    }
}

// Backups take the generation number straight after the name (zavsmsel.log1).
void BackupFile(std::string strPath, DWORD dwGeneration) {
    RotateFiles(strPath, dwGeneration, "");
}

DWORD GetLogFileSize(std::string strPath) {
    UniqueFile f(fopen(strPath.c_str(), "r"));
    if (!f) return 0;
    if (fseeko(f.get(), 0, SEEK_END) != 0) return 0;
    const off_t pos = ftello(f.get());
    return pos < 0 ? 0 : DWORD(uint64_t(pos));
}

void GetTraceLogInfo() {
    WriteLog("Start", "GetTraceLogInfo", LOG_LEVEL_DEBUG, 0);
    char szPath[ZAV_EXPAND_BUFFER + 1] = {};
    if (GetRegExpandSZValue(ZAV_LOG_KEY, "FilePath", szPath) && szPath[0])
        g_strLogFilePath = szPath;
    else
        g_strLogFilePath = ZAV_DEFAULT_LOG_PATH;
    g_dwLogLevel = ClampLogLevel(NumberSetting(ZAV_LOG_KEY, "LogLevel", ZAV_DEFAULT_LOG_LEVEL));
    g_dwLogGeneration = ClampGeneration(NumberSetting(ZAV_LOG_KEY, "Generation", ZAV_DEFAULT_LOG_GENERATION));
    g_dwLogMaxSize = SizeSetting(ZAV_LOG_KEY, "MaxLogSize", ZAV_DEFAULT_LOG_MAX_SIZE);
    g_dwLogCurrentSize = GetLogFileSize(g_strLogFilePath);
    g_bLogBackup = g_dwLogCurrentSize > g_dwLogMaxSize ? 1 : 0;
    WriteLog("Size=" + IntToString(int(g_dwLogCurrentSize), 10, 1), "GetTraceLogInfo", LOG_LEVEL_DEBUG, 0);
    WriteLog("End", "GetTraceLogInfo", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kModule, "Trace Log Path : %s", g_strLogFilePath.c_str());
    ZTRACE(0, kModule, "LogLevel : %d", int(g_dwLogLevel));
    ZTRACE(0, kModule, "MaxSize : %d", int(g_dwLogMaxSize));
    ZTRACE(0, kModule, "Generation : %d", int(g_dwLogGeneration));
    ZTRACE(0, kModule, "CurrentSize : %d", int(g_dwLogCurrentSize));
}

void GetBackupDatInfo(const std::string &strZavDir) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    g_strDatFilePath = strZavDir + ZAV_DAT_FILE;
    g_dwDatGeneration =
        ClampGeneration(NumberSetting(ZAV_PARAMETERS_KEY, "NumberOfBackup", ZAV_DEFAULT_DAT_GENERATION));
    g_dwDatMaxSize = SizeSetting(ZAV_PARAMETERS_KEY, "MaxDatSize", ZAV_DEFAULT_DAT_MAX_SIZE);
    g_dwDatCurrentSize = GetLogFileSize(g_strDatFilePath);
    g_bDatBackup = g_dwDatCurrentSize > g_dwDatMaxSize ? 1 : 0;
    WriteLog("Size=" + IntToString(int(g_dwDatCurrentSize), 10, 1), "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    WriteLog("End", "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "Backup Log Generation : %d", int(g_dwDatGeneration));
    ZTRACE(0, kModule, "MaxSize : %d", int(g_dwDatMaxSize));
    ZTRACE(0, kModule, "CurrentSize : %d", int(g_dwDatCurrentSize));
    ZTRACE(0, kModule, "<");
}

int WriteDat(std::string strRecord) {
    WriteLog("Start", "WriteDat", LOG_LEVEL_DEBUG, 0);
    if (strRecord.empty()) return 0;
    const std::string &strPath = g_strDatFilePath;
    if (g_bDatBackup == 1) {
        WriteLog("zavsmsel.log", "BackupFile", LOG_LEVEL_INFO, 0);
        BackupFile(strPath, g_dwDatGeneration);
        g_bDatBackup = 0;
        g_dwDatCurrentSize = 0;
    }
    strRecord += '\n';
    // Durable before the checked entry that covers it is stored: after a power
    // loss the registry must never point past a record the disk lost.
    if (const int nError = AppendToFile(strPath, strRecord, true)) {
        // The write's own error: it describes the failure, unlike a stale code.
        WriteLog("0x" + IntToString(nError, 16, 1), "WriteDat", LOG_LEVEL_ERROR, 0);
        return 0;
    }
    g_dwDatCurrentSize = DWORD(g_dwDatCurrentSize + DWORD(strRecord.size() - 1) + 2u);
    g_bDatBackup = g_dwDatCurrentSize > g_dwDatMaxSize ? 1 : 0;
    WriteLog("End", "WriteDat", LOG_LEVEL_DEBUG, 0);
    return 1;
}

void TraceImlInfo(DWORD dwLevel, const char *pszModule, const char *pszFunction, const IMLINFO &t, bool bChecked) {
    if (dwLevel == 0 && !g_bTraceDetail) return;
    const char *p = bChecked ? "Checked " : "";
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sEventNumber : %d", p, int(t.dwEventNumber));
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sRepaired : %d", p, int(t.dwRepaired));
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sEventClass : 0x%04x", p, unsigned(t.wEventClass));
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sEventCode : 0x%04x", p, unsigned(t.wEventCode));
    // The checked entry keeps no severity.
    if (!bChecked) TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "Severity : %s", t.strSeverity.c_str());
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sCreated : %s", p, t.strCreated.c_str());
    TraceLog(dwLevel, pszModule, pszFunction, __LINE__, "%sUpdated : %s", p, t.strUpdated.c_str());
}
