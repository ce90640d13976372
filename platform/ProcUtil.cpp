#include "ProcUtil.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "Guards.h"

int Main_PID = 0;

namespace {

// True when /proc/PID names a live (not zombie) process called strName.
bool ProcessNamed(const char *pszPid, const std::string &strName) {
    const std::string strBase = std::string("/proc/") + pszPid;
    std::ifstream comm(strBase + "/comm");
    std::string strComm;
    if (!std::getline(comm, strComm) || strComm != strName) return false;
    std::ifstream stat(strBase + "/stat");
    std::string strStat;
    std::getline(stat, strStat);
    const size_t paren = strStat.rfind(')');
    if (paren != std::string::npos && paren + 2 < strStat.size() && strStat[paren + 2] == 'Z') return false;
    return true;
}

bool AnyProcessNamed(std::string strName, pid_t excluded) {
    if (strName.size() > 15) strName.resize(15);  // the kernel keeps 15 bytes of a name
    UniqueDir d(opendir("/proc"));
    if (!d) return false;
    while (dirent *e = readdir(d.get())) {
        char *end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0 || pid == excluded) continue;
        if (ProcessNamed(e->d_name, strName)) return true;
    }
    return false;
}

}  // namespace

int IsServiceAlreadyRunning(const char *pszServiceName) {
    if (!pszServiceName || !*pszServiceName) return 0;
    return AnyProcessNamed(pszServiceName, getpid()) ? 1 : 0;
}

int IsZAVntserverReady() {
    return AnyProcessNamed("ZAVntserver", 0) ? 1 : 0;
}

int close_allfd(int nFrom) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, unsigned(nFrom), ~0u, 0u) == 0) return 0;
#endif
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 1048576) max = 1048576;
    for (long fd = nFrom; fd < max; ++fd) (void)close(int(fd));
    return 0;
}

int getreg(const char *pszPath, DWORD dwType, DWORD dwSize, void *pBuffer) {
    if (!pszPath || !pBuffer) return -1;
    std::string strText, strPayload;
    DWORD dwStored = 0, dwNumber = 0;
    if (ReadRegValueFile(pszPath, strText) != 0 || !ParseRegValueText(strText, dwStored, strPayload, &dwNumber))
        return -1;
    if (dwType == REG_DWORD) {
        if (dwStored != REG_DWORD || dwSize < 4) return -1;
        memcpy(pBuffer, &dwNumber, sizeof dwNumber);
        return 0;
    }
    if ((dwStored != REG_SZ && dwStored != REG_EXPAND_SZ) || dwType != dwStored || strPayload.size() + 1 > dwSize)
        return -1;
    memcpy(pBuffer, strPayload.c_str(), strPayload.size() + 1);
    return 0;
}

int GetSystemDefaultLANGWithSetenv(char *pszBuffer) {
    const char *lang = getenv("LANG");
    std::string strLang = lang ? lang : "";
    if (strLang.empty()) {
        std::ifstream in("/etc/default/locale");
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 5, "LANG=") != 0) continue;
            strLang = line.substr(5);
            if (strLang.size() >= 2 && strLang.front() == '"' && strLang.back() == '"')
                strLang = strLang.substr(1, strLang.size() - 2);
        }
        if (strLang.empty()) strLang = "C";
        (void)setenv("LANG", strLang.c_str(), 1);
    }
    if (pszBuffer) {
        strncpy(pszBuffer, strLang.c_str(), 127);
        pszBuffer[127] = '\0';
    }
    return 1;
}

namespace {
// Lock-free, so the handler may read it.
std::atomic<void (*)()> s_pfnServiceStop{nullptr};
static_assert(std::atomic<void (*)()>::is_always_lock_free, "read in a signal handler");
}  // namespace

void SetServiceStopFunction(void (*pfnStop)()) {
    s_pfnServiceStop = pfnStop;
}

void daemon_sigterm_handler(int) {
    if (void (*pfn)() = s_pfnServiceStop.load()) pfn();
}
