#include "NTwin32.h"
#include "ProcUtil.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {
thread_local DWORD t_dwLastError = 0;
}

DWORD GetLastError() { return t_dwLastError; }
void SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }

void Sleep(DWORD dwMilliseconds) {
    timespec ts{time_t(dwMilliseconds / 1000), long(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentProcessId() { return DWORD(getpid()); }

void GetLocalTime(SYSTEMTIME *lpSystemTime) {
    if (!lpSystemTime) return;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    lpSystemTime->wYear = WORD(t.tm_year + 1900);
    lpSystemTime->wMonth = WORD(t.tm_mon + 1);
    lpSystemTime->wDayOfWeek = WORD(t.tm_wday);
    lpSystemTime->wDay = WORD(t.tm_mday);
    lpSystemTime->wHour = WORD(t.tm_hour);
    lpSystemTime->wMinute = WORD(t.tm_min);
    lpSystemTime->wSecond = WORD(t.tm_sec);
    lpSystemTime->wMilliseconds = WORD(ts.tv_nsec / 1000000L);
}

DWORD ExpandEnvironmentStrings(const char *lpSrc, char *lpDst, DWORD nSize) {
    if (!lpSrc) {
        SetLastError(EINVAL);
        return 0;
    }
    std::string out;
    for (const char *p = lpSrc; *p;) {
        const char *end = *p == '%' ? strchr(p + 1, '%') : nullptr;
        if (!end || end == p + 1) {
            out += *p++;
            continue;
        }
        const std::string name(p + 1, end);
        const char *value = getenv(name.c_str());
        if (!value && name == "ZavDir") value = ZAV_INSTALL_DIR;
        if (value) {
            out += value;
            p = end + 1;
        } else {
            out.append(p, end);  // unknown: keep as written; the closing % may open the next
            p = end;
        }
    }
    const DWORD need = DWORD(out.size() + 1);
    if (lpDst && nSize >= need) memcpy(lpDst, out.c_str(), need);
    else if (lpDst && nSize > 0) lpDst[0] = '\0';
    return need;
}

HMODULE LoadLibrary(const char *lpFileName) {
    if (!lpFileName) {
        SetLastError(EINVAL);
        return nullptr;
    }
    HMODULE h = dlopen(lpFileName, RTLD_NOW | RTLD_LOCAL);
    if (!h) SetLastError(ENOENT);
    return h;
}

FARPROC GetProcAddress(HMODULE hModule, const char *lpProcName) {
    if (!hModule || !lpProcName) {
        SetLastError(EINVAL);
        return nullptr;
    }
    void *p = dlsym(hModule, lpProcName);
    if (!p) SetLastError(ENOENT);
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE hModule) { return hModule && dlclose(hModule) == 0; }

