#include "zavsmsrv.h"

#include <csignal>
#include <cstring>

#include "LogFile.h"
#include "CheckedState.h"
#include "Metrics.h"
#include "Monitoring.h"
#include "ProcUtil.h"
#include "Report.h"
#include "Service.h"
#include "Setting.h"
#include "StringOperation.h"
#include "TraceLog.h"

std::string g_strZavDir;
std::atomic<HANDLE> g_hServerStopEvent{nullptr};
HANDLE g_hExitThreadEvent = nullptr;
HMODULE g_hReportLib = nullptr;
SENDINDICATION g_SendIndication = nullptr;

namespace {

const char *kModule = "zavsmsrv";
volatile sig_atomic_t s_bStopPending = 0;

}  // namespace

int IsStopPending() { return s_bStopPending ? 1 : 0; }

// May run in signal context: one SetEvent, or a flag when there is no event yet.
void ServiceStop() {
    HANDLE h = g_hServerStopEvent.load();
    if (h)
        (void)SetEvent(h);
    else
        s_bStopPending = 1;
}

void GetZavDirPath() {
    ZTRACE(0, kModule, ">");
    char szBuffer[4096 + 1] = {};
    const DWORD dwCount = ExpandEnvironmentStrings("%ZavDir%", szBuffer, 4096);
    if (dwCount >= 3 && dwCount <= 4095)
        g_strZavDir = szBuffer;
    else
        g_strZavDir = ZAV_DEFAULT_DIR;
    ZTRACE(0, kModule, "ZavDir : %s", g_strZavDir.c_str());
    ZTRACE(0, kModule, "<");
}

pthread_t StartMonitoringThread(MONITORINGARGS &tagArgs) {
    ZTRACE(0, kModule, ">");
    pthread_t tid = 0;
    tagArgs.hExitThreadEvent = g_hExitThreadEvent;
    if (pthread_create(&tid, nullptr, ZavMonitoringThread, &tagArgs) != 0) {
        WriteLog("pMonitorThread", "StartMonitoringThread", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "<pthread_create failed.");
        return 0;
    }
    ZTRACE(0, kModule, "<");
    return tid;
}

int LoadReportFunc() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "LoadReportFunc", LOG_LEVEL_DEBUG, 0);
    const std::string strPath = g_strZavDir + ZAV_REPORT_LIB;
    g_hReportLib = LoadLibrary(strPath.c_str());
    if (!g_hReportLib) {
        WriteLog("libstdalert.so", "LoadReportFunc", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "< Load libstdalert.so failed ");
        return 0;
    }
    g_SendIndication = reinterpret_cast<SENDINDICATION>(GetProcAddress(g_hReportLib, "SendIndication"));
    if (!g_SendIndication) {
        WriteLog("SendIndication", "GetProcAddress", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "< Get SendIndication failed ");
        return 0;
    }
    SetReportFunction(g_SendIndication);
    WriteLog("End", "LoadReportFunc", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return 1;
}

namespace {

// The settings read at start-up; each writes what it took to the operation log.
void ReadSettings(CHECKEDSTATE &tagChecked) {
    GetMonitoringInfo();
    WriteLog("RequireCoreDaemon=" + std::to_string(g_dwRequireCoreDaemon), "", LOG_LEVEL_INFO, 0);
    GetServiceStart(tagChecked);
    GetBackupDatInfo(g_strZavDir);
    GetMetricsInfo();
}

// Start-up steps up to the thread; 0 at the first one that must stop the service.
int StartUp(pthread_t &tidMonitor, MONITORINGARGS &tagArgs) {
    GetZavDirPath();
    if (g_strZavDir.empty()) {
        ZTRACE(1, kModule, "ZavDir is null");
        return 0;
    }
    GetTraceLogInfo();
    WriteLog("Start", "", LOG_LEVEL_INFO, 0);
    WriteLog("ZavDir=" + g_strZavDir, "", LOG_LEVEL_INFO, 0);

    Main_PID = int(getpid());
    const std::string strName = std::to_string(Main_PID) + "_Server_Stop";
    g_hServerStopEvent = CreateEvent(nullptr, 1, 0, strName.c_str());
    if (!g_hServerStopEvent.load()) {
        WriteLog("ServerStopEvent", "CreateEvent", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Create ServerStopEvent failed.");
        return 0;
    }
    // A SIGTERM that came before the event existed is not lost.
    if (s_bStopPending) (void)SetEvent(g_hServerStopEvent.load());

    g_hExitThreadEvent = CreateEvent(nullptr, 1, 0, nullptr);
    if (!g_hExitThreadEvent) {
        WriteLog("ExitThreadEvent", "CreateEvent", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Create ExitThreadEvent failed.");
        return 0;
    }
    if (!LoadReportFunc()) {
        WriteLog("LoadReportFunc", "LoadReportFunc", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "LoadReportFunc failed.");
        return 0;
    }
    ReadSettings(*tagArgs.pChecked);
    WriteLog("PID=" + IntToString(int(GetCurrentProcessId()), 10, 1), "", LOG_LEVEL_INFO, 0);
    ZTRACE(3, kModule, "PID : %d", int(GetCurrentProcessId()));
    if (!GetTargetEventInfo()) {
        ZTRACE(1, kModule, "get target event failed.");
        return 0;
    }
    tidMonitor = StartMonitoringThread(tagArgs);
    if (tidMonitor == 0) {
        WriteLog("MonitoringThread", "StartMonitoringThread", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "StartMonitoringThread failed.");
        return 0;
    }
    return 1;
}

}  // namespace

void ServiceStart() {
    ZTRACE(0, kModule, ">ServiceStart");
    pthread_t tidMonitor = 0;
    // Where monitoring stopped: read here, then the monitoring thread's until it is joined.
    CHECKEDSTATE tagChecked;
    MONITORINGARGS tagArgs{&tagChecked, nullptr};
    if (StartUp(tidMonitor, tagArgs)) {
        HANDLE ahEvents[2] = {g_hServerStopEvent.load(), g_hExitThreadEvent};
        (void)WaitForMultipleObjects(2, ahEvents, 0, INFINITE);
    }

    if (tidMonitor != 0) {
        (void)pthread_join(tidMonitor, nullptr);
        (void)CloseHandle(reinterpret_cast<HANDLE>(tidMonitor));
        WriteLog("MonitoringThread", "CloseHandle", LOG_LEVEL_DEBUG, 1);
        ZTRACE(0, kModule, "CloseHandle MonitoringThread.");
    }
    // Taken out of the global before it is closed, so a late SIGTERM finds no event.
    if (HANDLE h = g_hServerStopEvent.exchange(nullptr)) {
        (void)CloseHandle(h);
        WriteLog("ServerStopEvent", "CloseHandle", LOG_LEVEL_DEBUG, 1);
        ZTRACE(0, kModule, "CloseHandle ServerStopEvent.");
    }
    if (g_hExitThreadEvent) {
        (void)CloseHandle(g_hExitThreadEvent);
        g_hExitThreadEvent = nullptr;
        WriteLog("ExitThreadEvent", "CloseHandle", LOG_LEVEL_DEBUG, 1);
        ZTRACE(0, kModule, "CloseHandle ExitThreadEvent.");
    }
    if (g_hReportLib) {
        SetReportFunction(nullptr);
        g_SendIndication = nullptr;
        (void)FreeLibrary(g_hReportLib);
        g_hReportLib = nullptr;
        WriteLog("ReportLib", "FreeLibrary", LOG_LEVEL_DEBUG, 1);
        ZTRACE(0, kModule, "Free ReportLib.");
    }
    WriteLog("End\n", "", LOG_LEVEL_INFO, 1);
}
