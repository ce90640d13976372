#include "LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

std::string g_strLogFilePath;
DWORD g_dwLogLevel = 3;
DWORD g_dwLogMaxSize = 524288;
DWORD g_dwLogGeneration = 2;
DWORD g_dwLogCurrentSize = 0;
int g_bLogBackup = 0;

DWORD g_dwDatMaxSize = 65536;
DWORD g_dwDatGeneration = 4;
DWORD g_dwDatCurrentSize = 0;
int g_bDatBackup = 0;

namespace {

const char *kModule = "LogFile";

// Closes the stream on every path.
struct FileGuard {
    FILE *fp = nullptr;
    ~FileGuard() {
        if (fp) (void)fclose(fp);
    }
};

// Opens for appending, creating the file 0644 whatever the umask, and never
// through a symbolic link planted at the path (the service runs as root).
FILE *OpenAppend(const std::string &strPath) {
    const int fd = open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "a");
    if (!fp) {
        const int e = errno;
        (void)close(fd);
        errno = e;
    }
    return fp;
}

DWORD CapGeneration(DWORD dw) { return dw > ZAV_MAX_GENERATION ? ZAV_MAX_GENERATION : dw; }

std::string DatPath() { return g_strZavDir + ZAV_DAT_FILE; }

}  // namespace

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
    if (dwLevel == LOG_LEVEL_ERROR) s += "Error,";
    else if (dwLevel == LOG_LEVEL_DEBUG) s += "Debug,";
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
    {
        FileGuard f;
        f.fp = OpenAppend(g_strLogFilePath);
        if (!f.fp) return;
        (void)fwrite(strLine.data(), 1, strLine.size(), f.fp);
        (void)fflush(f.fp);
    }
    if (bNoBackup == 0) {
        g_dwLogCurrentSize = DWORD(g_dwLogCurrentSize + DWORD(nLen) + 2u);
        g_bLogBackup = g_dwLogCurrentSize > g_dwLogMaxSize ? 1 : 0;
    }
}

void BackupFile(std::string strPath, DWORD dwGeneration) {
    dwGeneration = CapGeneration(dwGeneration);
    if (dwGeneration == 0) {
        (void)DeleteFile(strPath.c_str());
        return;
    }
    for (DWORD n = dwGeneration; n >= 2; --n) {
        const std::string strFrom = strPath + IntToString(int(n - 1), 10, 0);
        const std::string strTo = strPath + IntToString(int(n), 10, 0);
        (void)MoveFileEx(strFrom.c_str(), strTo.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    (void)MoveFileEx(strPath.c_str(), (strPath + "1").c_str(), MOVEFILE_REPLACE_EXISTING);
}

DWORD GetLogFileSize(std::string strPath) {
    FileGuard f;
    f.fp = fopen(strPath.c_str(), "r");
    if (!f.fp) return 0;
    if (fseeko(f.fp, 0, SEEK_END) != 0) return 0;
    const off_t pos = ftello(f.fp);
    return pos < 0 ? 0 : DWORD(uint64_t(pos));
}

void GetTraceLogInfo() {
    WriteLog("Start", "GetTraceLogInfo", LOG_LEVEL_DEBUG, 0);
    char szPath[ZAV_EXPAND_BUFFER + 1] = {};
    if (GetRegExpandSZValue(ZAV_LOG_KEY, "FilePath", szPath) && szPath[0])
        g_strLogFilePath = szPath;
    else
        g_strLogFilePath = ZAV_DEFAULT_LOG_PATH;
    DWORD dw = 0;
    g_dwLogLevel = GetRegValue(ZAV_LOG_KEY, "LogLevel", dw) ? dw : 3;
    if (g_dwLogLevel > 5) g_dwLogLevel = 5;
    dw = 0;
    g_dwLogGeneration = CapGeneration(GetRegValue(ZAV_LOG_KEY, "Generation", dw) ? dw : 2);
    dw = 0;
    g_dwLogMaxSize = GetRegValue(ZAV_LOG_KEY, "MaxLogSize", dw) ? dw : 524288;
    if (g_dwLogMaxSize <= 1023) g_dwLogMaxSize = 1024;
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

void GetBackupDatInfo() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    DWORD dw = 0;
    g_dwDatGeneration = CapGeneration(GetRegValue(ZAV_PARAMETERS_KEY, "NumberOfBackup", dw) ? dw : 4);
    dw = 0;
    g_dwDatMaxSize = GetRegValue(ZAV_PARAMETERS_KEY, "MaxDatSize", dw) ? dw : 65536;
    if (g_dwDatMaxSize <= 1023) g_dwDatMaxSize = 1024;
    g_dwDatCurrentSize = GetLogFileSize(DatPath());
    g_bDatBackup = g_dwDatCurrentSize > g_dwDatMaxSize ? 1 : 0;
    WriteLog("Size=" + IntToString(int(g_dwDatCurrentSize), 10, 1), "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    WriteLog("End", "GetBackupDatInfo", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "Backup Log Generation : %d", int(g_dwDatGeneration));
    ZTRACE(0, kModule, "MaxSize : %d", int(g_dwDatMaxSize));
    ZTRACE(0, kModule, "CurrentSize : %d", int(g_dwDatCurrentSize));
    ZTRACE(0, kModule, "<");
}

void WriteDat(std::string strRecord) {
    WriteLog("Start", "WriteDat", LOG_LEVEL_DEBUG, 0);
    if (strRecord.empty()) return;
    const std::string strPath = DatPath();
    if (g_bDatBackup == 1) {
        WriteLog("zavsmsel.log", "BackupFile", LOG_LEVEL_INFO, 0);
        BackupFile(strPath, g_dwDatGeneration);
        g_bDatBackup = 0;
        g_dwDatCurrentSize = 0;
    }
    FileGuard f;
    f.fp = OpenAppend(strPath);
    if (!f.fp) {
        // The open's own error: it describes the failure, unlike a stale code.
        WriteLog("0x" + IntToString(errno, 16, 1), "WriteDat", LOG_LEVEL_ERROR, 0);
        return;
    }
    strRecord += '\n';
    (void)fwrite(strRecord.data(), 1, strRecord.size(), f.fp);
    (void)fflush(f.fp);
    g_dwDatCurrentSize = DWORD(g_dwDatCurrentSize + DWORD(strRecord.size() - 1) + 2u);
    g_bDatBackup = g_dwDatCurrentSize > g_dwDatMaxSize ? 1 : 0;
    WriteLog("End", "WriteDat", LOG_LEVEL_DEBUG, 0);
}
