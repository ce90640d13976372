// Process entry: trace settings, single-instance and dependency checks,
// daemonisation (classic or under systemd), SIGTERM handler.
#pragma once

#include "ZavTypes.h"

// The body of main(): trace set-up, then daemon_start.
int ZavsmsrvMain();
void GetInternalLogInfo(char *pszPath, DWORD dwSize, DWORD *pdwMaxSize, DWORD *pdwGeneration);
int daemon_start(const char *pszName);
void daemon_sigterm_handler_func(int nSignal);
// 1 when both systemd tests pass.
int IsSystemdMode();
