// Service controller: start-up and shutdown sequence, stop request, the
// report library. Globals here are written on the main thread before the
// monitoring thread starts, except the event signals. Lower modules may read
// g_strZavDir and g_hServerStopEvent and nothing else here.
#pragma once

#include <pthread.h>

#include <atomic>
#include <string>

#include "ZavTypes.h"

extern std::string g_strZavDir;
// Atomic: the SIGTERM handler reads it on any thread.
extern std::atomic<HANDLE> g_hServerStopEvent;
extern HANDLE g_hExitThreadEvent;
extern HMODULE g_hReportLib;
extern SENDINDICATION g_SendIndication;

void ServiceStart();
void ServiceStop();
void GetZavDirPath();
struct MONITORINGARGS;
// Starts the monitoring thread on tagArgs, with the thread-exit event filled in.
pthread_t StartMonitoringThread(MONITORINGARGS &tagArgs);
int LoadReportFunc();

// A stop requested before the stop event existed (kept for ServiceStart).
int IsStopPending();
