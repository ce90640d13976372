// File-backed registry: HKEY_LOCAL_MACHINE\A\B is the folder
// <root>/HKEY_LOCAL_MACHINE/A/B (names upper-cased), a value is the file
// V_<NAME> holding "TYPE:PAYLOAD" and an optional line feed.
#include "FileOps.h"
#include "Guards.h"
#include "NTwin32.h"
#include "ProcUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

struct ZavRegKey {
    std::string strRelPath;  // below the root, e.g. "HKEY_LOCAL_MACHINE/SYSTEM"
    bool bWritable = false;
};

namespace {

ZavRegKey s_keyLocalMachine{"HKEY_LOCAL_MACHINE", true};
std::mutex s_mtxReg;
std::string s_strRoot = ZAV_INSTALL_DIR "/registry";
std::map<HKEY, std::unique_ptr<ZavRegKey>> s_mapKeys;

// Value files are a few bytes; anything larger is not one of ours.
constexpr size_t kMaxValueFile = 65536;

std::string Upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

// A name component may not leave its folder.
bool ValidComponent(const std::string &s) {
    return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos;
}

bool SubKeyToRel(const char *lpSubKey, std::string &strRel) {
    strRel.clear();
    std::string part;
    for (const char *p = lpSubKey;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!part.empty()) {
                if (!ValidComponent(part)) return false;
                strRel += "/" + Upper(part);
                part.clear();
            }
            if (*p == '\0') break;
        } else {
            part += *p;
        }
    }
    return true;
}

ZavRegKey *LookupKeyLocked(HKEY h) {
    if (h == &s_keyLocalMachine) return &s_keyLocalMachine;
    auto it = s_mapKeys.find(h);
    return it == s_mapKeys.end() ? nullptr : it->second.get();
}

// Copies what a handle names, so no lock is held during file I/O.
bool KeyInfo(HKEY h, std::string &strDir, bool *pbWritable = nullptr) {
    std::lock_guard<std::mutex> lock(s_mtxReg);
    ZavRegKey *k = LookupKeyLocked(h);
    if (!k) return false;
    strDir = s_strRoot + "/" + k->strRelPath;
    if (pbWritable) *pbWritable = k->bWritable;
    return true;
}

bool ValueFilePath(HKEY h, const char *lpValueName, std::string &strPath, bool *pbWritable = nullptr) {
    if (!lpValueName || !ValidComponent(lpValueName) || !*lpValueName) return false;
    std::string strDir;
    if (!KeyInfo(h, strDir, pbWritable)) return false;
    strPath = strDir + "/V_" + Upper(lpValueName);
    return true;
}

LONG Fail(int code) {
    SetLastError(DWORD(code));
    return code;
}

// The value file's text for data as RegSetValueEx takes it; 0 or an errno.
int ValueContent(DWORD dwType, const BYTE *lpData, DWORD cbData, std::string &strContent) {
    if (!lpData) return EINVAL;
    if (dwType == REG_DWORD) {
        if (cbData < 4) return EINVAL;
        DWORD v;
        memcpy(&v, lpData, sizeof v);
        strContent = "dword:" + std::to_string(v) + "\n";
        return 0;
    }
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) {
        const char *p = reinterpret_cast<const char *>(lpData);
        const size_t n = strnlen(p, cbData);
        strContent = std::string(dwType == REG_SZ ? "sz:" : "expand_sz:") + std::string(p, n) + "\n";
        return 0;
    }
    return EINVAL;
}

// A write killed between creating its temporary file and the rename leaves
// the file behind (V_<NAME>.tmpXXXXXX). A write into the folder removes such
// leftovers once they are old enough not to be another writer's work in
// progress; the folder is read at most once a minute, as a leftover younger
// than that is kept anyway, and a steady poll writes every cycle.
void RemoveStaleTemporaries(const std::string &strDir) {
    constexpr time_t kStale = 60;
    static std::mutex s_mtxScan;
    static std::map<std::string, time_t> s_mapLastScan;
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    {
        std::lock_guard<std::mutex> lock(s_mtxScan);
        auto it = s_mapLastScan.find(strDir);
        if (it != s_mapLastScan.end() && ts.tv_sec - it->second < kStale) return;
        s_mapLastScan[strDir] = ts.tv_sec;
    }
    UniqueDir d(opendir(strDir.c_str()));
    if (!d) return;
    const time_t now = time(nullptr);
    while (dirent *e = readdir(d.get())) {
        const char *pszTmp = strstr(e->d_name, ".tmp");
        if (strncmp(e->d_name, "V_", 2) != 0 || !pszTmp || strlen(pszTmp) != sizeof ZAV_TMP_SUFFIX - 1) continue;
        const std::string strTmp = strDir + "/" + e->d_name;
        struct stat st {};
        if (lstat(strTmp.c_str(), &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > kStale)
            (void)unlink(strTmp.c_str());
    }
}

bool IsDir(const std::string &s) {
    struct stat st {};
    return stat(s.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

HKEY HKEY_LOCAL_MACHINE = &s_keyLocalMachine;

void SetRegistryRoot(const std::string &strRoot) {
    std::lock_guard<std::mutex> lock(s_mtxReg);
    s_strRoot = strRoot;
}

std::string GetRegistryRoot() {
    std::lock_guard<std::mutex> lock(s_mtxReg);
    return s_strRoot;
}

int ReadRegValueFile(const std::string &strPath, std::string &strText) {
    UniqueFd fd(open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return errno;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return EBADMSG;
    strText.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        strText.append(buf, size_t(n));
        if (strText.size() > kMaxValueFile) return EBADMSG;
    }
}

int ParseRegValueText(const std::string &strText, DWORD &dwType, std::string &strPayload, DWORD *pdwNumber) {
    size_t colon = strText.find(':');
    if (colon == std::string::npos) return 0;
    const std::string strTag = strText.substr(0, colon);
    std::string body = strText.substr(colon + 1);
    if (!body.empty() && body.back() == '\n') body.pop_back();
    if (strTag == "sz" || strTag == "expand_sz") {
        dwType = strTag == "sz" ? REG_SZ : REG_EXPAND_SZ;
        size_t nul = body.find('\0');
        strPayload = nul == std::string::npos ? body : body.substr(0, nul);
        return 1;
    }
    if (strTag != "dword" || body.empty()) return 0;
    uint64_t v = 0;
    size_t i = 0;
    int base = 10;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < body.size(); ++i) {
        char c = body[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return 0;
        v = v * uint64_t(base) + uint64_t(d);
        if (v > 0xFFFFFFFFull) return 0;
    }
    dwType = REG_DWORD;
    strPayload = std::to_string(v);
    if (pdwNumber) *pdwNumber = DWORD(v);
    return 1;
}

LONG RegOpenKeyEx(HKEY hKey, const char *lpSubKey, DWORD, DWORD samDesired, HKEY *phkResult) {
    if (!phkResult) return Fail(EINVAL);
    *phkResult = nullptr;
    std::string strBase;
    {
        std::lock_guard<std::mutex> lock(s_mtxReg);
        ZavRegKey *k = LookupKeyLocked(hKey);
        if (!k) return Fail(EINVAL);
        strBase = k->strRelPath;
    }
    std::string strRel;
    if (!SubKeyToRel(lpSubKey ? lpSubKey : "", strRel)) return Fail(EINVAL);
    auto pKey = std::make_unique<ZavRegKey>();
    pKey->strRelPath = strBase + strRel;
    pKey->bWritable = (samDesired & 0x0002u) != 0;  // KEY_SET_VALUE
    if (!IsDir(GetRegistryRoot() + "/" + pKey->strRelPath)) return Fail(ENOENT);
    std::lock_guard<std::mutex> lock(s_mtxReg);
    HKEY h = pKey.get();
    s_mapKeys[h] = std::move(pKey);
    *phkResult = h;
    return ERROR_SUCCESS;
}

LONG RegCreateKeyEx(HKEY hKey, const char *lpSubKey, HKEY *phkResult) {
    std::string strDir, strRel;
    if (!KeyInfo(hKey, strDir) || !SubKeyToRel(lpSubKey ? lpSubKey : "", strRel)) return Fail(EINVAL);
    // Every level from the registry root down, the root itself included.
    const std::string strFull = strDir + strRel;
    for (size_t pos = 1; pos <= strFull.size(); ++pos) {
        if (pos != strFull.size() && strFull[pos] != '/') continue;
        const std::string strPart = strFull.substr(0, pos);
        if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) return Fail(errno);
    }
    if (phkResult) return RegOpenKeyEx(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY hKey, const char *lpValueName, DWORD *, DWORD *lpType, BYTE *lpData, DWORD *lpcbData) {
    std::string strPath, strText, strPayload;
    if (!ValueFilePath(hKey, lpValueName, strPath)) return Fail(EINVAL);
    if (int e = ReadRegValueFile(strPath, strText)) return Fail(e);
    DWORD dwStored = 0, dwNumber = 0;
    if (!ParseRegValueText(strText, dwStored, strPayload, &dwNumber)) return Fail(EBADMSG);
    if (lpType && *lpType != 0 && *lpType != dwStored) return Fail(EINVAL);
    if (lpType) *lpType = dwStored;
    if (dwStored == REG_DWORD) {
        const DWORD v = dwNumber;
        if (lpData) {
            if (!lpcbData || *lpcbData < sizeof v) return Fail(ERANGE);
            memcpy(lpData, &v, sizeof v);
        }
        if (lpcbData) *lpcbData = sizeof v;
        return ERROR_SUCCESS;
    }
    const DWORD need = DWORD(strPayload.size() + 1);
    if (lpData) {
        if (!lpcbData || *lpcbData < need) return Fail(ERANGE);
        memcpy(lpData, strPayload.c_str(), need);
    }
    if (lpcbData) *lpcbData = need;
    return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY hKey, const char *lpValueName, DWORD, DWORD dwType, const BYTE *lpData, DWORD cbData) {
    std::string strPath;
    bool bWritable = false;
    if (!ValueFilePath(hKey, lpValueName, strPath, &bWritable) || !lpData) return Fail(EINVAL);
    if (!bWritable) return Fail(EACCES);
    std::string strContent;
    if (int e = ValueContent(dwType, lpData, cbData, strContent)) return Fail(e);
    if (int e = WriteFileAtomic(strPath, strContent)) return Fail(e);
    RemoveStaleTemporaries(strPath.substr(0, strPath.rfind('/')));
    return ERROR_SUCCESS;
}

LONG RegSetValuesEx(HKEY hKey, const ZAVREGVALUE *pValues, DWORD dwCount, DWORD *pdwStored) {
    if (pdwStored) *pdwStored = 0;
    std::string strDir;
    bool bWritable = false;
    if ((!pValues && dwCount != 0) || !KeyInfo(hKey, strDir, &bWritable)) return Fail(EINVAL);
    if (!bWritable) return Fail(EACCES);
    // A value that cannot be stored ends the values written before it.
    std::vector<ATOMICFILE> vecFiles;
    int rcValue = 0;
    for (DWORD i = 0; i < dwCount && rcValue == 0; ++i) {
        const ZAVREGVALUE &v = pValues[i];
        ATOMICFILE f;
        rcValue = ValueFilePath(hKey, v.lpValueName, f.strPath) ? 0 : EINVAL;
        if (rcValue == 0) rcValue = ValueContent(v.dwType, v.lpData, v.cbData, f.strContent);
        if (rcValue == 0) vecFiles.push_back(std::move(f));
    }
    DWORD dwDone = 0;
    const int rc = WriteFilesAtomic(strDir, vecFiles, dwDone);
    if (dwDone > 0) RemoveStaleTemporaries(strDir);
    if (pdwStored) *pdwStored = dwDone;
    if (rc != 0) return Fail(rc);
    return rcValue != 0 ? Fail(rcValue) : ERROR_SUCCESS;
}

LONG RegDeleteValue(HKEY hKey, const char *lpValueName) {
    std::string strPath;
    bool bWritable = false;
    if (!ValueFilePath(hKey, lpValueName, strPath, &bWritable)) return Fail(EINVAL);
    if (!bWritable) return Fail(EACCES);
    if (unlink(strPath.c_str()) != 0) return Fail(errno);
    (void)SyncFolder(strPath.substr(0, strPath.rfind('/')));
    return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY hKey, DWORD dwIndex, std::string &strName) {
    std::string strDir;
    if (!KeyInfo(hKey, strDir)) return Fail(EINVAL);
    UniqueDir d(opendir(strDir.c_str()));
    if (!d) return Fail(errno);
    std::vector<std::string> names;
    while (dirent *e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n.size() > 2 && n.compare(0, 2, "V_") == 0 && n.find(".tmp") == std::string::npos)
            names.push_back(n.substr(2));
    }
    d.reset();
    std::sort(names.begin(), names.end());
    if (dwIndex >= names.size()) return Fail(ENOENT);
    strName = names[dwIndex];
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    std::lock_guard<std::mutex> lock(s_mtxReg);
    if (hKey == &s_keyLocalMachine) return ERROR_SUCCESS;
    if (s_mapKeys.erase(hKey) == 0) return Fail(EINVAL);
    return ERROR_SUCCESS;
}
