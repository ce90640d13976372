#include "Service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <string>

#include "Guards.h"
#include "LogFile.h"
#include "NTwin32.h"
#include "ProcUtil.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {

const char *kModule = "Service";

// Writes the PID in decimal with no line end; 0 when the file cannot be
// written whole. The file is opened without following a symbolic link
// planted at its path.
int WritePidFile(pid_t pid) {
    UniqueFd fd(open(ZAV_PID_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return 0;
    const std::string strPid = std::to_string(int(pid));
    if (write(fd.get(), strPid.data(), strPid.size()) != ssize_t(strPid.size())) return 0;
    return fd.close() ? 1 : 0;
}

// Level 0 detail records, switched by TraceDetail = 1 (an implementer's aid).
DWORD TraceFlags() {
    DWORD dwDetail = 0;
    if (getreg(ZAV_INTERNAL_REG_DIR "/V_TRACEDETAIL", REG_DWORD, sizeof dwDetail, &dwDetail) == 0 && dwDetail == 1)
        return ZAV_TRACE_DETAIL;
    return 0;
}

}  // namespace

DWORD g_dwRequireCoreDaemon = 1;

// One plain read, no retry wait: a suite installation usually has no such
// value, and a missing one must not delay the start.
DWORD GetRequireCoreDaemon(std::string &strWhy) {
    strWhy.clear();
    HKEY h = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, ZAV_PARAMETERS_KEY, 0, KEY_READ, &h) != ERROR_SUCCESS) return 1;
    const UniqueRegKey key(h);
    DWORD dwType = 0, dwValue = 0, dwSize = 0;
    const LONG lStatus = RegQueryValueEx(h, "RequireCoreDaemon", nullptr, &dwType, nullptr, &dwSize);
    if (lStatus == ENOENT) return 1;
    if (lStatus != ERROR_SUCCESS || dwType != REG_DWORD) {
        strWhy = "RequireCoreDaemon is not a dword: the core daemon is required";
        return 1;
    }
    dwSize = sizeof dwValue;
    if (RegQueryValueEx(h, "RequireCoreDaemon", nullptr, &dwType, reinterpret_cast<BYTE *>(&dwValue), &dwSize) !=
        ERROR_SUCCESS) {
        strWhy = "RequireCoreDaemon is unreadable: the core daemon is required";
        return 1;
    }
    if (dwValue > 1) {
        strWhy = "RequireCoreDaemon=" + std::to_string(dwValue) + " is neither 0 nor 1: the core daemon is required";
        return 1;
    }
    return dwValue;
}

void GetInternalLogInfo(char *pszPath, DWORD dwSize, DWORD *pdwMaxSize, DWORD *pdwGeneration) {
    if (!pszPath || !pdwMaxSize || !pdwGeneration || dwSize == 0) return;
    char szValueFile[4096] = {};
    snprintf(szValueFile, sizeof szValueFile, "%s", ZAV_INTERNAL_REG_DIR "/V_FILEPATH");
    if (getreg(szValueFile, REG_SZ, dwSize, pszPath) == -1 || pszPath[0] == '\0')
        snprintf(pszPath, dwSize, "%s", ZAV_DEFAULT_TRACE_PATH);
    if (getreg(ZAV_INTERNAL_REG_DIR "/V_MAXLOGSIZE", REG_DWORD, 4, pdwMaxSize) == -1)
        *pdwMaxSize = ZAV_DEFAULT_TRACE_MAX_SIZE;
    else
        *pdwMaxSize = ClampFileSize(*pdwMaxSize);
    if (getreg(ZAV_INTERNAL_REG_DIR "/V_GENERATION", REG_DWORD, 4, pdwGeneration) == -1)
        *pdwGeneration = ZAV_DEFAULT_TRACE_GENERATION;
}

int IsSystemdMode() {
    return access(ZAV_SYSTEMCTL, X_OK) == 0 && access(ZAV_UNIT_FILE, R_OK) == 0;
}

void daemon_sigterm_handler_func(int nSignal) {
    daemon_sigterm_handler(nSignal);
}

namespace {

// The setting, kept for the operation log; why it was not taken, to the
// system log at once, as the start may end right after.
DWORD RequireCoreDaemon() {
    std::string strWhy;
    g_dwRequireCoreDaemon = GetRequireCoreDaemon(strWhy);
    if (!strWhy.empty()) {
        syslog(LOG_WARNING, "%s\n", strWhy.c_str());
        ZTRACE(2, kModule, "%s", strWhy.c_str());
    }
    ZTRACE(3, kModule, "RequireCoreDaemon : %u", g_dwRequireCoreDaemon);
    return g_dwRequireCoreDaemon;
}

}  // namespace

namespace {

// The start's trace records name the function the start has always been.
const char *kStart = "daemon_start";

// 0 when this process may become the service, else its exit status.
int CheckStartAllowed(const char *pszName) {
    if (!IsSystemdMode() && IsServiceAlreadyRunning(pszName)) {
        syslog(LOG_INFO, "%s is already running!\n", pszName);
        TraceLog(1, kModule, kStart, __LINE__, "%s is already running!\n", pszName);
        return 7;
    }
    if (RequireCoreDaemon() != 0 && IsZAVntserverReady() == 0) {
        syslog(LOG_INFO, "ZAVntserver is not active! So %s exit\n", pszName);
        TraceLog(1, kModule, kStart, __LINE__, "ZAVntserver is not active!So %s exit\n", pszName);
        return 1;
    }
    return 0;
}

// Leaves the caller: daemon() without systemd, else a fork whose parent
// writes the child's PID and ends. 0 in the service process, else its exit status.
int DetachFromCaller() {
    if (!IsSystemdMode()) {
        umask(18);
        if (daemon(0, 0) == -1) {
            TraceLog(1, kModule, kStart, __LINE__, "daemon() failed! exit. \n");
            return 2;
        }
        (void)close_allfd(3);
        if (!WritePidFile(getpid())) {
            TraceLog(2, kModule, kStart, __LINE__, "Unable open pid file\n");
            return 3;
        }
        return 0;
    }
    pid_t pid = fork();
    if (pid < 0) {
        TraceLog(2, kModule, kStart, __LINE__, "error:fork the child process failed. exit\n");
        return 2;
    }
    if (pid > 0) {
        TraceLog(3, kModule, kStart, __LINE__, "fork the child process success. Childpid is %d\n", int(pid));
        if (!WritePidFile(pid)) {
            TraceLog(2, kModule, kStart, __LINE__, "Unable open pid file\n");
            _exit(3);
        }
        _exit(0);
    }
    return 0;
}

// SIGTERM asks the service to stop; 0, or 4 when the handler cannot be set.
int InstallSigtermHandler(const char *pszName) {
    SetServiceStopFunction(ServiceStop);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = daemon_sigterm_handler_func;
    sa.sa_flags = 0;
    const char *pszFailed = nullptr;
    if (sigemptyset(&sa.sa_mask) != 0)
        pszFailed = "sigemptyset";
    else if (sigaddset(&sa.sa_mask, SIGTERM) != 0)
        pszFailed = "sigaddset";
    else if (sigaction(SIGTERM, &sa, nullptr) == -1)
        pszFailed = "sigaction";
    if (!pszFailed) return 0;
    TraceLog(2, kModule, kStart, __LINE__, "%s() failed!So %s exit\n", pszFailed, pszName);
    return 4;
}

}  // namespace

int daemon_start(const char *pszName) {
    if (const int nExit = CheckStartAllowed(pszName)) return nExit;
    if (const int nExit = DetachFromCaller()) return nExit;
    char szLang[128] = {};
    (void)GetSystemDefaultLANGWithSetenv(szLang);
    if (const int nExit = InstallSigtermHandler(pszName)) return nExit;
    ServiceStart();
    return 0;
}

int ZavsmsrvMain() {
    char szPath[504] = {};
    DWORD dwMaxSize = 0, dwGeneration = 0;
    GetInternalLogInfo(szPath, 503, &dwMaxSize, &dwGeneration);
    (void)TraceLogInit(szPath, ZAV_SERVICE_NAME, dwMaxSize >> 10, dwGeneration, TraceFlags());
    TraceLog(3, kModule, "main", __LINE__, "Starting up...");
    return daemon_start(ZAV_SERVICE_NAME);
}
