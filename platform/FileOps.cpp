#include "FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "Guards.h"

namespace {

int WriteAll(int fd, const std::string &strData) {
    size_t off = 0;
    while (off < strData.size()) {
        const ssize_t n = write(fd, strData.data() + off, strData.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        off += size_t(n);
    }
    return 0;
}

}  // namespace

int AppendToFile(const std::string &strPath, const std::string &strData, bool bSync) {
    UniqueFd fd(open(strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) return errno;
    // An empty file may be one this call created: its name needs the folder synced.
    struct stat st {};
    const bool bNew = bSync && fstat(fd.get(), &st) == 0 && st.st_size == 0;
    if (int e = WriteAll(fd.get(), strData)) return e;
    if (bSync && fdatasync(fd.get()) != 0) return errno;
    if (!fd.close()) return errno;
    return bNew ? SyncParentFolder(strPath) : 0;
}

int ReplaceFileUnsynced(const std::string &strPath, const std::string &strTmp, const std::string &strData,
                        DWORD dwMode) {
    struct stat st {};
    if (lstat(strPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return S_ISLNK(st.st_mode) ? ELOOP : EISDIR;
    (void)unlink(strTmp.c_str());  // whatever a killed writer left, link or file
    UniqueFd fd(open(strTmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return errno;
    int rc = WriteAll(fd.get(), strData);
    // The mode is set here, not by open: the umask must not take the readers' bits.
    if (rc == 0 && fchmod(fd.get(), mode_t(dwMode)) != 0) rc = errno;
    if (!fd.close() && rc == 0) rc = errno;
    if (rc == 0 && rename(strTmp.c_str(), strPath.c_str()) != 0) rc = errno;
    if (rc != 0) (void)unlink(strTmp.c_str());
    return rc;
}

int SyncFolder(const std::string &strDir) {
    UniqueFd fd(open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno;
    return fsync(fd.get()) == 0 ? 0 : errno;
}

int CheckParentFolder(const std::string &strPath) {
    const size_t slash = strPath.rfind('/');
    const std::string strDir = slash == std::string::npos ? "." : slash == 0 ? "/" : strPath.substr(0, slash);
    struct stat st {};
    if (stat(strDir.c_str(), &st) != 0) return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
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

namespace {

// A temporary file being written in place of strPath.
struct PENDINGFILE {
    std::string strTmp;
    UniqueFd fd;
};

// A temporary file beside strPath holding strContent, mode 0644, not synced
// yet. 0, or the errno (nothing left behind).
int CreateTemporary(const std::string &strPath, const std::string &strContent, PENDINGFILE &p) {
    std::string strTmpl = strPath + ZAV_TMP_SUFFIX;
    p.fd.reset(mkostemp(&strTmpl[0], O_CLOEXEC));
    if (!p.fd) return errno;
    p.strTmp = strTmpl;
    int rc = fchmod(p.fd.get(), 0644) == 0 ? 0 : errno;
    if (rc == 0) rc = WriteAll(p.fd.get(), strContent);
    if (rc != 0) {
        p.fd.reset();
        (void)unlink(p.strTmp.c_str());
        p.strTmp.clear();
    }
    return rc;
}

}  // namespace

int WriteFilesAtomic(const std::string &strDir, const std::vector<ATOMICFILE> &vecFiles, DWORD &dwDone) {
    dwDone = 0;
    std::vector<PENDINGFILE> vec(vecFiles.size());
    // Each stage runs over the files the earlier stages kept (nLimit), so rc
    // ends as the error of the first file that failed.
    size_t nLimit = vecFiles.size();
    int rc = 0;
    auto stop = [&](size_t i, int e) {
        rc = e;
        nLimit = i;
    };
    for (size_t i = 0; i < nLimit; ++i)
        if (int e = CreateTemporary(vecFiles[i].strPath, vecFiles[i].strContent, vec[i])) stop(i, e);
    // Writeback of every file starts before the first sync waits, so the
    // later syncs find their data on the disk already.
    for (size_t i = 0; i < nLimit; ++i) (void)sync_file_range(vec[i].fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    for (size_t i = 0; i < nLimit; ++i)
        if (fsync(vec[i].fd.get()) != 0 || !vec[i].fd.close()) stop(i, errno);
    for (size_t i = 0; i < nLimit; ++i)
        if (rename(vec[i].strTmp.c_str(), vecFiles[i].strPath.c_str()) != 0) stop(i, errno);
    for (size_t i = nLimit; i < vec.size(); ++i)
        if (!vec[i].strTmp.empty()) (void)unlink(vec[i].strTmp.c_str());
    // One folder sync makes every rename durable.
    if (nLimit > 0)
        if (int e = SyncFolder(strDir)) stop(0, e);
    dwDone = DWORD(nLimit);
    return rc;
}

int WriteFileAtomic(const std::string &strPath, const std::string &strContent) {
    const size_t slash = strPath.rfind('/');
    DWORD dwDone = 0;
    return WriteFilesAtomic(slash == std::string::npos ? "." : strPath.substr(0, slash), {{strPath, strContent}},
                            dwDone);
}
