// Service controller: start-up and shutdown sequence, stop request, the
// first-start flag. Globals here are written on the main thread before the
// monitoring thread starts, except g_dwServiceStart (monitoring thread once
// started) and the event signals.
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
extern DWORD g_dwServiceStart;

void ServiceStart();
void ServiceStop();
void GetZavDirPath();
void GetServiceStart();
int SetServiceStart();
pthread_t StartMonitoringThread();
int LoadReportFunc();

// A stop requested before the stop event existed (kept for ServiceStart).
int IsStopPending();
