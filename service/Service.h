// Process entry: trace settings, single-instance and dependency checks,
// daemonisation (classic or under systemd), SIGTERM handler.
#pragma once

#include <string>

#include "ZavTypes.h"

// 0: standalone, the suite's core daemon is not required. Written by
// daemon_start on the main thread before the service starts.
extern DWORD g_dwRequireCoreDaemon;
// The RequireCoreDaemon setting: 0 or 1 (missing, or not a dword 0 or 1:
// 1, with strWhy saying why in the latter case).
DWORD GetRequireCoreDaemon(std::string &strWhy);

// The body of main(): trace set-up, then daemon_start.
int ZavsmsrvMain();
void GetInternalLogInfo(char *pszPath, DWORD dwSize, DWORD *pdwMaxSize, DWORD *pdwGeneration);
int daemon_start(const char *pszName);
void daemon_sigterm_handler_func(int nSignal);
// 1 when both systemd tests pass.
int IsSystemdMode();
