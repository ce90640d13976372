// Script bridge: the embedded interpreter, the controller module's two calls
// (the clock and the entry list) and the conversion of their results.
// Monitoring thread only (and zavsmcheck, which has one thread).
#pragma once

#include <string>

#include "ZavTypes.h"

struct _object;
typedef _object PyObject;

// Interpreter life and statements (1 on success).
int ZavPyInitialize();
int ZavPyFinalize();
// Runs one statement; 0 when it could not be run.
int ZavPyRunStatement(const char *pszStatement);

// The interpreter started with the module folder on its path.
enum ScriptStart { SCRIPT_STARTED, SCRIPT_INIT_FAILED, SCRIPT_PATH_FAILED };
ScriptStart StartScriptInterpreter();

// Fetches one poll's data: the controller time into tagPoll.strTime (empty
// when it cannot be had), the entries into tagImlList, how each call ended
// into tagPoll's call statuses, the entry count into tagPoll.dwEntries. The
// first time read is kept in strServiceStartTime. 1 when the list was filled.
int ExecutePythonScript(POLLRESULT &tagPoll, IMLLIST &tagImlList, std::string &strServiceStartTime);
// 1 when the controller module imports and may be used; calls nothing in it.
int CheckScriptModule();
std::string GetCurrentDateTime(PyObject *pModule, CALLSTATUS &tagCall);
int GetImlList(PyObject *pModule, IMLLIST &tagImlList, CALLSTATUS &tagCall);
void ParsePyListItem(IMLINFO &tagIml, PyObject *pItem);

// The list of dwCount records, reusing the storage of the last one (a
// record may hold what the last poll left in it until InitImlList empties
// it). 0 when memory is short.
int AllocImlList(IMLLIST &tagImlList, DWORD dwCount);
// Empties records nFirst to nCount - 1.
void InitImlList(IMLLIST &tagImlList, int nCount, int nFirst = 0);
// Empties the list; its storage is kept for the next poll.
void ClearImlList(IMLLIST &tagImlList);

std::wstring GetPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName);
std::string GetPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName);
int GetPyDataI(PyObject *pDict, PyObject *pKey, const char *pszName);
int CheckPyDataI(int nValue, const char *pszName, int nMax, int nMin);
