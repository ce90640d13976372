// Win32-style compatibility layer: events, waits, the file-backed registry,
// dynamic loading, file operations and local time, as the service calls them.
// POSIX implementation; nothing outside platform/ calls the OS for these.
#pragma once

#include <cstdint>
#include <string>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef int BOOL;
typedef void *HANDLE;
typedef void *HMODULE;
typedef void *LPVOID;
typedef unsigned char BYTE;
typedef void (*FARPROC)();
struct ZavRegKey;
typedef ZavRegKey *HKEY;

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_TIMEOUT 1u  // this layer's time-out result (the callers rely on 1)
#define WAIT_FAILED 0xFFFFFFFFu

#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_DWORD 4u

#define KEY_READ 0x20019u
#define KEY_ALL_ACCESS 0x2001Fu

// Error codes are errno values (ENOENT for a missing key or value, EBADMSG
// for a malformed value file, EINVAL for a type mismatch or bad argument,
// ERANGE for a buffer too small).
#define ERROR_SUCCESS 0

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// Events: manual-reset, backed by eventfd. SetEvent is one write(2) and is
// safe in a signal handler.
HANDLE CreateEvent(LPVOID lpAttributes, BOOL bManualReset, BOOL bInitialState, const char *lpName);
BOOL SetEvent(HANDLE hEvent);
// 0 when signalled, WAIT_TIMEOUT (1) when the time-out ran out, WAIT_FAILED
// on failure. A signal interrupting the wait does not end it.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
// Closes an event; any other value (a joined thread's id) is accepted and ignored.
BOOL CloseHandle(HANDLE hObject);

void Sleep(DWORD dwMilliseconds);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
DWORD GetCurrentProcessId();
void GetLocalTime(SYSTEMTIME *lpSystemTime);

// Registry (0 on success, an error code otherwise).
extern HKEY HKEY_LOCAL_MACHINE;
LONG RegOpenKeyEx(HKEY hKey, const char *lpSubKey, DWORD ulOptions, DWORD samDesired, HKEY *phkResult);
LONG RegCreateKeyEx(HKEY hKey, const char *lpSubKey, HKEY *phkResult);
LONG RegQueryValueEx(HKEY hKey, const char *lpValueName, DWORD *lpReserved, DWORD *lpType, BYTE *lpData,
                     DWORD *lpcbData);
LONG RegSetValueEx(HKEY hKey, const char *lpValueName, DWORD Reserved, DWORD dwType, const BYTE *lpData,
                   DWORD cbData);
// One value of a RegSetValuesEx call, as RegSetValueEx takes it.
struct ZAVREGVALUE {
    const char *lpValueName;
    DWORD dwType;
    const BYTE *lpData;
    DWORD cbData;
};
// Stores values of one key in order, each file replaced atomically as by
// RegSetValueEx, with one folder sync for all of them (they share the
// folder). Stops at the first value that fails; *pdwStored counts the values
// stored and durable before it. The error is that value's.
LONG RegSetValuesEx(HKEY hKey, const ZAVREGVALUE *pValues, DWORD dwCount, DWORD *pdwStored);
LONG RegDeleteValue(HKEY hKey, const char *lpValueName);
// Enumerates value names of an open key in name order; ENOENT past the end.
LONG RegEnumValue(HKEY hKey, DWORD dwIndex, std::string &strName);
LONG RegCloseKey(HKEY hKey);

// Registry root folder. The default is the install's registry; unit tests
// point it at a scratch folder.
void SetRegistryRoot(const std::string &strRoot);
std::string GetRegistryRoot();

// Reads a value file whole (refusing anything but a small regular file).
int ReadRegValueFile(const std::string &strPath, std::string &strText);
// Parses one value file's content ("TYPE:PAYLOAD" with an optional final line
// feed). 1 on success with the type and the payload (a number in decimal,
// and in *pdwNumber when given); 0 for anything malformed.
int ParseRegValueText(const std::string &strText, DWORD &dwType, std::string &strPayload,
                      DWORD *pdwNumber = nullptr);

DWORD ExpandEnvironmentStrings(const char *lpSrc, char *lpDst, DWORD nSize);

HMODULE LoadLibrary(const char *lpFileName);
FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName);
BOOL FreeLibrary(HMODULE hModule);


