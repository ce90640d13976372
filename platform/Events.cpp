#include "Guards.h"
#include "NTwin32.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

struct ZavEvent {
    UniqueFd fd;
    int nRefs = 1;
    std::string strName;
};

namespace {

std::mutex s_mtxEvents;
std::map<HANDLE, std::unique_ptr<ZavEvent>> s_mapEvents;

ZavEvent *FindNamedLocked(const std::string &strName) {
    for (auto &kv : s_mapEvents)
        if (!kv.second->strName.empty() && kv.second->strName == strName) return kv.second.get();
    return nullptr;
}

uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

}  // namespace

HANDLE CreateEvent(LPVOID, BOOL bManualReset, BOOL bInitialState, const char *lpName) {
    if (!bManualReset) {  // only manual-reset events are offered
        SetLastError(EINVAL);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(s_mtxEvents);
    if (lpName && *lpName) {
        if (ZavEvent *pExisting = FindNamedLocked(lpName)) {
            ++pExisting->nRefs;
            return pExisting;
        }
    }
    UniqueFd fd(eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd) {
        SetLastError(errno);
        return nullptr;
    }
    auto pEvent = std::make_unique<ZavEvent>();
    pEvent->fd = std::move(fd);
    if (lpName) pEvent->strName = lpName;
    HANDLE h = pEvent.get();
    s_mapEvents[h] = std::move(pEvent);
    return h;
}

// No lock, no allocation: called from signal handlers.
BOOL SetEvent(HANDLE hEvent) {
    if (!hEvent) return 0;
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = write(static_cast<ZavEvent *>(hEvent)->fd.get(), &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    // EAGAIN: the counter is saturated, the event is signalled anyway.
    return (n == sizeof one || (n < 0 && errno == EAGAIN)) ? 1 : 0;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > 64 || !lpHandles || bWaitAll) {
        SetLastError(EINVAL);
        return WAIT_FAILED;
    }
    pollfd fds[64];
    for (DWORD i = 0; i < nCount; ++i) {
        if (!lpHandles[i]) {
            SetLastError(EINVAL);
            return WAIT_FAILED;
        }
        fds[i].fd = static_cast<ZavEvent *>(lpHandles[i])->fd.get();
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    const bool bForever = dwMilliseconds == INFINITE;
    const uint64_t deadline = NowMs() + dwMilliseconds;
    for (;;) {
        int timeout = -1;
        if (!bForever) {
            uint64_t now = NowMs();
            uint64_t left = now >= deadline ? 0 : deadline - now;
            timeout = left > uint64_t(INT_MAX) ? INT_MAX : int(left);
        }
        int r = poll(fds, nCount, timeout);
        if (r > 0) {
            for (DWORD i = 0; i < nCount; ++i)
                if (fds[i].revents & POLLIN) return WAIT_OBJECT_0 + i;
            SetLastError(EBADF);  // POLLERR / POLLNVAL: not a live event
            return WAIT_FAILED;
        }
        if (r == 0) {
            if (!bForever && NowMs() >= deadline) return WAIT_TIMEOUT;
            continue;  // a chunk of a long time-out ended
        }
        if (errno == EINTR) continue;  // a signal must not end the wait
        SetLastError(errno);
        return WAIT_FAILED;
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, 0, dwMilliseconds);
}

BOOL CloseHandle(HANDLE hObject) {
    if (!hObject) {
        SetLastError(EINVAL);
        return 0;
    }
    std::unique_ptr<ZavEvent> pDoomed;
    {
        std::lock_guard<std::mutex> lock(s_mtxEvents);
        auto it = s_mapEvents.find(hObject);
        if (it == s_mapEvents.end()) return 1;  // a thread id, or already closed
        if (--it->second->nRefs > 0) return 1;
        pDoomed = std::move(it->second);
        s_mapEvents.erase(it);
    }
    return 1;
}
