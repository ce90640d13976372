#include "TraceLog.h"

#include "FileOps.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex s_mtxTrace;
std::string s_strPath;
std::string s_strIdent;
uint64_t s_qwMaxBytes = 4096ull * 1024ull;
DWORD s_dwGeneration = 5;
bool s_bInit = false;

}  // namespace

volatile int g_bTraceDetail = 0;

int TraceLogInit(const char *pszPath, const char *pszIdent, DWORD dwMaxSizeKB, DWORD dwGeneration, DWORD dwFlags) {
    std::lock_guard<std::mutex> lock(s_mtxTrace);
    s_strPath = pszPath ? pszPath : "";
    s_strIdent = pszIdent ? pszIdent : "";
    s_qwMaxBytes = uint64_t(dwMaxSizeKB ? dwMaxSizeKB : 1) * 1024ull;
    s_dwGeneration = dwGeneration > ZAV_MAX_GENERATION ? ZAV_MAX_GENERATION : dwGeneration;
    g_bTraceDetail = (dwFlags & ZAV_TRACE_DETAIL) ? 1 : 0;
    s_bInit = !s_strPath.empty();
    return s_bInit ? 1 : 0;
}

void TraceLogSetDetail(int bOn) {
    g_bTraceDetail = bOn ? 1 : 0;
}
int TraceLogDetailEnabled() {
    return g_bTraceDetail;
}

int TraceLog(DWORD dwLevel, const char *pszModule, const char *pszFunction, int nLine, const char *pszFormat, ...) {
    if (dwLevel == 0 && !g_bTraceDetail) return 0;
    if (!pszFormat) return 0;
    const int savedErrno = errno;  // tracing must not disturb the caller's error
    char stack[1024];
    std::string strText;
    va_list ap;
    va_start(ap, pszFormat);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(stack, sizeof stack, pszFormat, ap);
    va_end(ap);
    if (n >= int(sizeof stack)) {
        strText.resize(size_t(n) + 1);
        vsnprintf(&strText[0], strText.size(), pszFormat, ap2);
        strText.resize(size_t(n));
    } else if (n >= 0) {
        strText.assign(stack, size_t(n));
    }
    va_end(ap2);

    SYSTEMTIME st{};
    GetLocalTime(&st);
    char head[160];
    snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%d:%ld] [%u] %s %s(%d): ", st.wYear, st.wMonth,
             st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, int(getpid()), long(syscall(SYS_gettid)),
             unsigned(dwLevel), pszModule ? pszModule : "", pszFunction ? pszFunction : "", nLine);
    std::string strLine = head + strText;
    if (strLine.empty() || strLine.back() != '\n') strLine += '\n';

    std::lock_guard<std::mutex> lock(s_mtxTrace);
    if (!s_bInit) {
        errno = savedErrno;
        return 0;
    }
    struct stat sb {};
    if (stat(s_strPath.c_str(), &sb) == 0 && uint64_t(sb.st_size) + strLine.size() > s_qwMaxBytes && sb.st_size > 0)
        RotateFiles(s_strPath, s_dwGeneration, ".");
    const int rc = AppendToFile(s_strPath, strLine);
    errno = savedErrno;
    return rc == 0 ? 1 : 0;
}
