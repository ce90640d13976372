// Script bridge: the embedded interpreter, the controller module's calls and
// the conversion of its results. Monitoring thread only.
#pragma once

#include <string>

#include "NTwin32.h"

struct _object;
typedef _object PyObject;

// Interpreter life and statements (1 on success).
int ZavPyInitialize();
int ZavPyFinalize();
// Runs one statement; 0 when it could not be run.
int ZavPyRunStatement(const char *pszStatement);

// Owns what a module function returned; values parsed from it are borrowed
// and live as long as this does.
class ScriptResult {
public:
    ScriptResult() = default;
    ~ScriptResult();
    ScriptResult(const ScriptResult &) = delete;
    ScriptResult &operator=(const ScriptResult &) = delete;
    void reset(PyObject *p = nullptr);

private:
    PyObject *m_p = nullptr;
};

// How a module call ended, for the caller's own log lines.
enum ScriptCall { SCRIPT_OK, SCRIPT_CALL_FAILED, SCRIPT_NULL, SCRIPT_PARSE_FALSE, SCRIPT_PARSE_FAILED };
// Calls pszName() of the module and parses the returned tuple with pszFormat
// ("is" or "iO") into nStatus and *pValue. After SCRIPT_NULL the
// interpreter's exception is pending: the caller clears it.
ScriptCall CallScriptFunction(PyObject *pModule, const char *pszName, const char *pszFormat, ScriptResult &result,
                              int &nStatus, void *pValue);
// Clears a pending exception; with a function name, its message goes to the
// trace first (so an administrator can see why the module failed).
void ClearScriptError(const char *pszFunction);

int ExecutePythonScript(std::string &strTime);
// 1 when the controller module imports and may be used; calls nothing in it.
int CheckScriptModule();
int GetImlList(PyObject *pModule);
void ParsePyListItem(DWORD dwIndex, PyObject *pItem);

std::wstring GetPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName);
std::string GetPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName);
int GetPyDataI(PyObject *pDict, PyObject *pKey, const char *pszName);
int CheckPyDataI(int nValue, const char *pszName, int nMax, int nMin);
