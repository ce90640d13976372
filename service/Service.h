// Process entry: trace settings, single-instance and dependency checks,
// daemonisation (classic or under systemd), SIGTERM handler.
#pragma once

#include "NTwin32.h"

#define ZAV_INTERNAL_REG_DIR \
    "/opt/kym/tolvex_sa/registry/HKEY_LOCAL_MACHINE/SOFTWARE/KYM/ZAVAGENT/LOG/ZAVSMSRV_INTERNAL"
#define ZAV_DEFAULT_TRACE_PATH "/opt/kym/tolvex_sa/log/ZAVsmsrv.log"
#define ZAV_PID_FILE "/var/run/ZAVsmsrv.pid"
#define ZAV_SYSTEMCTL "/usr/bin/systemctl"
#define ZAV_UNIT_FILE "/usr/lib/systemd/system/ZAVsmsrv.service"

// The body of main(): trace set-up, then daemon_start.
int ZavsmsrvMain();
void GetInternalLogInfo(char *pszPath, DWORD dwSize, DWORD *pdwMaxSize, DWORD *pdwGeneration);
int daemon_start(const char *pszName);
void daemon_sigterm_handler_func(int nSignal);
// 1 when both systemd tests pass.
int IsSystemdMode();
