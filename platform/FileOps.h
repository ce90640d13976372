// File mechanisms the logs, the trace and the report library share.
#pragma once

#include <string>
#include <vector>

#include "NTwin32.h"

// Upper bound of rotation generations: a loop over 4294967295 backups would
// run for hours.
#define ZAV_MAX_GENERATION 999u

// Appends strData in one open-append-close, creating the file with mode 0644
// (less the umask) and never through a symbolic link planted at the path:
// the service runs as root. With bSync the data reaches the disk before the
// call returns, and so does the file's name when the file was empty (new).
// 0, or the errno of the step that failed.
int AppendToFile(const std::string &strPath, const std::string &strData, bool bSync = false);

// Replaces strPath with strData through strTmp, a name in the same folder:
// a fresh file made with mode dwMode, written whole, then renamed over
// strPath. Nothing is synced (soft state a crash may lose); a SIGKILL leaves
// at most strTmp behind, which the next call replaces. Refuses a strPath that
// is not a regular file (a folder, a symbolic link: EISDIR, ELOOP).
// 0, or the errno of the step that failed.
int ReplaceFileUnsynced(const std::string &strPath, const std::string &strTmp, const std::string &strData,
                        DWORD dwMode);

// 0 when the folder holding strPath exists, else the errno (ENOENT, ENOTDIR).
int CheckParentFolder(const std::string &strPath);

// Makes a folder durable (names created, renamed or removed in it): the
// folder itself, or the one holding strPath. 0, or the errno.
int SyncFolder(const std::string &strDir);
int SyncParentFolder(const std::string &strPath);

// Shifts strPath into numbered backups: strPath + pszSeparator + "1" is the
// newest, dwGeneration (capped at ZAV_MAX_GENERATION) the oldest kept;
// generation 0 deletes strPath instead. Missing files are no error.
void RotateFiles(const std::string &strPath, DWORD dwGeneration, const char *pszSeparator);

// A file's temporary name during an atomic write: its own name with this
// (mkostemp's template) added.
#define ZAV_TMP_SUFFIX ".tmpXXXXXX"

// One file of an atomic write.
struct ATOMICFILE {
    std::string strPath;
    std::string strContent;
};
// Replaces the files, all in the folder strDir, with their contents: each
// through a temporary file beside it (mode 0644), written, synced and renamed
// over it, then one sync of strDir for every rename, so each file is its old
// or its new content at any moment. The files before the first that fails
// are replaced; dwDone counts them (0 when the folder sync fails). 0, or the
// errno of the first failure; no temporary file is left behind.
int WriteFilesAtomic(const std::string &strDir, const std::vector<ATOMICFILE> &vecFiles, DWORD &dwDone);
// One file, the same way.
int WriteFileAtomic(const std::string &strPath, const std::string &strContent);
