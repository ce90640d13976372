// Registry access under HKEY_LOCAL_MACHINE with the suite's retry rule:
// up to 3 opens and 3 reads or writes, 300 ms after every failed attempt.
// 1 on success, 0 on failure; GetLastError keeps the platform's code.
#pragma once

#include "NTwin32.h"

#define ZAV_REG_RETRY 3
#define ZAV_REG_RETRY_WAIT 300
#define ZAV_REG_SZ_BLOCK 128
#define ZAV_EXPAND_BUFFER 4096

// The wait after a failed attempt. A tool that reads settings only to show
// them (zavsmcheck) sets 0; the service keeps the default.
void SetRegRetryWait(DWORD dwMilliseconds);

int CheckSubKey(const char *pszKey);
// Refuses a text of 128 bytes or more: it would not fit the fixed block.
int SetRegValue(const char *pszKey, const char *pszName, const char *pszText);
int SetRegValue(const char *pszKey, const char *pszName, DWORD dwValue);
// One value of SetRegValues: the text when pszText is set, else the number.
struct REGVALUEITEM {
    const char *pszName;
    DWORD dwValue;
    const char *pszText;
};
// Stores values of one key in order, each as SetRegValue would, with one
// folder sync for all of them; the retry rule applies to each value. Stops at
// the first value that cannot be stored: 0, dwStored the number stored
// before it (they stay stored). 1 when all were stored.
int SetRegValues(const char *pszKey, const REGVALUEITEM *pItems, DWORD dwCount, DWORD &dwStored);
int GetRegValue(const char *pszKey, const char *pszName, char *pszBuffer);
int GetRegValue(const char *pszKey, const char *pszName, DWORD &dwValue);
int GetRegExpandSZValue(const char *pszKey, const char *pszName, char *pszBuffer);
