#include "FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Guards.h"

int AppendToFile(const std::string &strPath, const std::string &strData, bool bSync) {
    UniqueFd fd(open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return errno;
    // An empty file may be one this call created: its name needs the folder synced.
    struct stat st {};
    const bool bNew = bSync && fstat(fd.get(), &st) == 0 && st.st_size == 0;
    size_t off = 0;
    while (off < strData.size()) {
        const ssize_t n = write(fd.get(), strData.data() + off, strData.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        off += size_t(n);
    }
    if (bSync && fdatasync(fd.get()) != 0) return errno;
    if (!fd.close()) return errno;
    return bNew ? SyncParentFolder(strPath) : 0;
}

int SyncFolder(const std::string &strDir) {
    UniqueFd fd(open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno;
    return fsync(fd.get()) == 0 ? 0 : errno;
}

int SyncParentFolder(const std::string &strPath) {
    const size_t slash = strPath.rfind('/');
    return SyncFolder(slash == std::string::npos ? "." : slash == 0 ? "/" : strPath.substr(0, slash));
}

void RotateFiles(const std::string &strPath, DWORD dwGeneration, const char *pszSeparator) {
    if (dwGeneration > ZAV_MAX_GENERATION) dwGeneration = ZAV_MAX_GENERATION;
    if (dwGeneration == 0) {
        (void)unlink(strPath.c_str());
        return;
    }
    const std::string strBase = strPath + (pszSeparator ? pszSeparator : "");
    for (DWORD n = dwGeneration; n >= 2; --n)
        (void)rename((strBase + std::to_string(n - 1)).c_str(), (strBase + std::to_string(n)).c_str());
    (void)rename(strPath.c_str(), (strBase + "1").c_str());
}
