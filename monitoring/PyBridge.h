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

int ExecutePythonScript(std::string &strTime);
int GetImlList(PyObject *pModule);
void ParsePyListItem(DWORD dwIndex, PyObject *pItem);

std::wstring GetPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName);
std::string GetPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName);
int GetPyDataI(PyObject *pDict, PyObject *pKey, const char *pszName);
int CheckPyDataI(int nValue, const char *pszName, int nMax, int nMin);
