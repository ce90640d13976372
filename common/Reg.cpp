#include "Reg.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

#include "Guards.h"

namespace {

DWORD s_dwRetryWait = ZAV_REG_RETRY_WAIT;

int OpenWithRetry(const char *pszKey, DWORD dwAccess, UniqueRegKey &key) {
    for (int i = 0; i < ZAV_REG_RETRY; ++i) {
        HKEY h = nullptr;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, pszKey, 0, dwAccess, &h) == ERROR_SUCCESS) {
            key.reset(h);
            return 1;
        }
        Sleep(s_dwRetryWait);
    }
    return 0;
}

int OperateWithRetry(const std::function<LONG()> &op) {
    for (int i = 0; i < ZAV_REG_RETRY; ++i) {
        if (op() == ERROR_SUCCESS) return 1;
        Sleep(s_dwRetryWait);
    }
    return 0;
}

int WithKey(const char *pszKey, const char *pszName, DWORD dwAccess, const std::function<LONG(HKEY)> &op) {
    if (!pszKey || !pszName) {
        SetLastError(EINVAL);
        return 0;
    }
    UniqueRegKey key;
    if (!OpenWithRetry(pszKey, dwAccess, key)) return 0;
    return OperateWithRetry([&] { return op(key.get()); });
}

}  // namespace

void SetRegRetryWait(DWORD dwMilliseconds) {
    s_dwRetryWait = dwMilliseconds;
}

int CheckSubKey(const char *pszKey) {
    if (!pszKey) {
        SetLastError(EINVAL);
        return 0;
    }
    UniqueRegKey key;
    return OpenWithRetry(pszKey, KEY_READ, key);
}

int SetRegValue(const char *pszKey, const char *pszName, const char *pszText) {
    if (!pszText) {
        SetLastError(EINVAL);
        return 0;
    }
    if (strlen(pszText) >= ZAV_REG_SZ_BLOCK) {
        SetLastError(ERANGE);
        return 0;
    }
    BYTE block[ZAV_REG_SZ_BLOCK] = {};
    memcpy(block, pszText, strlen(pszText));
    return WithKey(pszKey, pszName, KEY_ALL_ACCESS,
                   [&](HKEY h) { return RegSetValueEx(h, pszName, 0, REG_SZ, block, sizeof block); });
}

int SetRegValue(const char *pszKey, const char *pszName, DWORD dwValue) {
    return WithKey(pszKey, pszName, KEY_ALL_ACCESS, [&](HKEY h) {
        return RegSetValueEx(h, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue), sizeof dwValue);
    });
}

int SetRegValues(const char *pszKey, const REGVALUEITEM *pItems, DWORD dwCount, DWORD &dwStored) {
    dwStored = 0;
    if (!pszKey || (!pItems && dwCount != 0)) {
        SetLastError(EINVAL);
        return 0;
    }
    // A value SetRegValue would refuse ends the values to store before it.
    struct Block {
        BYTE data[ZAV_REG_SZ_BLOCK];
    };
    std::vector<Block> vecBlocks(dwCount);
    std::vector<ZAVREGVALUE> vecValues;
    int nRefused = 0;
    for (DWORD i = 0; i < dwCount && nRefused == 0; ++i) {
        const REGVALUEITEM &it = pItems[i];
        BYTE *p = vecBlocks[i].data;
        memset(p, 0, ZAV_REG_SZ_BLOCK);
        if (!it.pszName) {
            nRefused = EINVAL;
        } else if (!it.pszText) {
            memcpy(p, &it.dwValue, sizeof it.dwValue);
            vecValues.push_back({it.pszName, REG_DWORD, p, DWORD(sizeof it.dwValue)});
        } else if (strlen(it.pszText) >= ZAV_REG_SZ_BLOCK) {
            nRefused = ERANGE;
        } else {
            memcpy(p, it.pszText, strlen(it.pszText));
            vecValues.push_back({it.pszName, REG_SZ, p, ZAV_REG_SZ_BLOCK});
        }
    }
    if (!vecValues.empty()) {
        UniqueRegKey key;
        if (!OpenWithRetry(pszKey, KEY_ALL_ACCESS, key)) return 0;
        // Each failed attempt is one of the value that failed; progress starts its count anew.
        for (int nAttempt = 0; dwStored < vecValues.size();) {
            DWORD dwDone = 0;
            const LONG rc = RegSetValuesEx(key.get(), vecValues.data() + dwStored, DWORD(vecValues.size()) - dwStored,
                                           &dwDone);
            dwStored += dwDone;
            if (rc == ERROR_SUCCESS) break;
            if (dwDone != 0) nAttempt = 0;
            Sleep(s_dwRetryWait);
            if (++nAttempt == ZAV_REG_RETRY) return 0;
        }
    }
    if (nRefused != 0) {
        SetLastError(DWORD(nRefused));
        return 0;
    }
    return 1;
}

int GetRegValue(const char *pszKey, const char *pszName, char *pszBuffer) {
    if (!pszBuffer) {
        SetLastError(EINVAL);
        return 0;
    }
    return WithKey(pszKey, pszName, KEY_READ, [&](HKEY h) {
        DWORD dwType = REG_SZ, dwSize = ZAV_REG_SZ_BLOCK;
        return RegQueryValueEx(h, pszName, nullptr, &dwType, reinterpret_cast<BYTE *>(pszBuffer), &dwSize);
    });
}

int GetRegValue(const char *pszKey, const char *pszName, DWORD &dwValue) {
    return WithKey(pszKey, pszName, KEY_READ, [&](HKEY h) {
        DWORD dwType = REG_DWORD, dwSize = sizeof(DWORD);
        return RegQueryValueEx(h, pszName, nullptr, &dwType, reinterpret_cast<BYTE *>(&dwValue), &dwSize);
    });
}

int GetRegExpandSZValue(const char *pszKey, const char *pszName, char *pszBuffer) {
    if (!pszBuffer) {
        SetLastError(EINVAL);
        return 0;
    }
    char block[ZAV_EXPAND_BUFFER] = {};
    if (!WithKey(pszKey, pszName, KEY_READ, [&](HKEY h) {
            DWORD dwType = REG_EXPAND_SZ, dwSize = sizeof block;
            return RegQueryValueEx(h, pszName, nullptr, &dwType, reinterpret_cast<BYTE *>(block), &dwSize);
        }))
        return 0;
    const DWORD n = ExpandEnvironmentStrings(block, pszBuffer, ZAV_EXPAND_BUFFER);
    return (n >= 1 && n <= ZAV_EXPAND_BUFFER) ? 1 : 0;
}
