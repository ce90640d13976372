// Process utilities of the suite: instance and dependency checks, descriptor
// clean-up, direct registry value file reads, the SIGTERM hook.
#pragma once

#include "NTwin32.h"

// Install directory every fixed path of the suite lives under.
#define ZAV_INSTALL_DIR "/opt/kym/tolvex_sa"

extern int Main_PID;

// Non-zero when a live process other than the caller runs under this name.
int IsServiceAlreadyRunning(const char *pszServiceName);
// 0 when no process named ZAVntserver is alive.
int IsZAVntserverReady();
// Closes every descriptor from nFrom up.
int close_allfd(int nFrom);
// Reads one registry value file by path. dwType 1 (string) or 4 (number).
// -1 on failure, 0 with the value in the buffer.
int getreg(const char *pszPath, DWORD dwType, DWORD dwSize, void *pBuffer);
// Sets LANG from the system default (/etc/default/locale) when it is unset.
int GetSystemDefaultLANGWithSetenv(char *pszBuffer);
// SIGTERM hook: calls the stop function the service registered, nothing
// else. That function runs in signal context.
void daemon_sigterm_handler(int nSignal);
void SetServiceStopFunction(void (*pfnStop)());
