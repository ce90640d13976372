// File mechanisms the logs, the trace and the report library share.
#pragma once

#include <string>

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

// Makes a folder durable (names created, renamed or removed in it): the
// folder itself, or the one holding strPath. 0, or the errno.
int SyncFolder(const std::string &strDir);
int SyncParentFolder(const std::string &strPath);

// Shifts strPath into numbered backups: strPath + pszSeparator + "1" is the
// newest, dwGeneration (capped at ZAV_MAX_GENERATION) the oldest kept;
// generation 0 deletes strPath instead. Missing files are no error.
void RotateFiles(const std::string &strPath, DWORD dwGeneration, const char *pszSeparator);
