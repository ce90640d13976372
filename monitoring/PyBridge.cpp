#include "PyBridge.h"

#include "PyCompat.h"

#include <sys/stat.h>

#include <memory>
#include <new>

#include "LogFile.h"
#include "Monitoring.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "ZavDateTime.h"

namespace {

const char *kModule = "Monitoring";

// The interpreter's message for the pending exception goes to the trace (so
// an administrator can see why the module failed), then the indicator is
// cleared so one failure cannot make a later call fail.
void TraceAndClearPyError(const char *pszFunction) {
    if (!PyErr_Occurred()) return;
    PyObject *pType = nullptr, *pValue = nullptr, *pTrace = nullptr;
    PyErr_Fetch(&pType, &pValue, &pTrace);
    PyRef type(pType), value(pValue), trace(pTrace);
    std::string strText;
    if (value) {
        PyRef str(PyObject_Str(value.get()));
        const char *psz = nullptr;
        if (str && PyArg_Parse(str.get(), "s", &psz) && psz) strText = psz;
    }
    PyErr_Clear();
    if (type) {
        PyRef name(PyObject_GetAttrString(type.get(), "__name__"));
        const char *psz = nullptr;
        if (name && PyArg_Parse(name.get(), "s", &psz) && psz) strText = std::string(psz) + ": " + strText;
        PyErr_Clear();
    }
    TraceLog(1, kModule, pszFunction, __LINE__, "Python error: %s", strText.c_str());
}

const char *kScriptDir = "/opt/kym/tolvex_sa/bin";

// A module folder or file anyone may write would let anyone run code as the
// service (root): such a module is not imported, or not used when found there.
bool WorldWritable(const std::string &strPath) {
    struct stat st {};
    return stat(strPath.c_str(), &st) == 0 && (st.st_mode & S_IWOTH) != 0;
}

// The first unsafe place among the module file and its folder, or empty.
std::string UnsafeModulePlace(const std::string &strFile) {
    const size_t slash = strFile.rfind('/');
    const std::string strDir = slash == std::string::npos ? "." : (slash == 0 ? "/" : strFile.substr(0, slash));
    if (WorldWritable(strDir)) return strDir;
    if (WorldWritable(strFile)) return strFile;
    return "";
}

// Where the imported module came from (its __file__), or empty.
std::string ModuleFile(PyObject *pModule) {
    PyRef file(PyObject_GetAttrString(pModule, "__file__"));
    const char *psz = nullptr;
    std::string strFile;
    if (file && PyArg_Parse(file.get(), "s", &psz) && psz) strFile = psz;
    PyErr_Clear();
    return strFile;
}

bool RefuseUnsafeModule(const std::string &strPlace) {
    if (strPlace.empty()) return false;
    WriteLog("World-writable " + strPlace, "PyImport_ImportModule", LOG_LEVEL_ERROR, 0);
    ZTRACE(1, kModule, "zavsmsrv not used: %s is world-writable.", strPlace.c_str());
    return true;
}

PyObject *CallModuleFunction(PyObject *pModule, const char *pszName) {
    return PyObject_CallMethod(pModule, const_cast<char *>(pszName), nullptr);
}

enum ReadOutcome { READ_OK, READ_PARSE_FAILED, READ_NO_POINTER };

// The nine key strings of an entry. Made once per list walk rather than once
// per entry (the walk is the hot path of a poll); a direct call makes its own.
struct ItemKeys {
    PyRef number, message, action, severity, created, updated, eventClass, code, repaired;
    ItemKeys()
        : number(ZavPyString_FromString("EventNumber")),
          message(ZavPyString_FromString("Message")),
          action(ZavPyString_FromString("RecommendedAction")),
          severity(ZavPyString_FromString("Severity")),
          created(ZavPyString_FromString("Created")),
          updated(ZavPyString_FromString("Updated")),
          eventClass(ZavPyString_FromString("Class")),
          code(ZavPyString_FromString("Code")),
          repaired(ZavPyString_FromString("Repaired")) {
        PyErr_Clear();  // a key that could not be made reads as "Key NULL"
    }
};
const ItemKeys *s_pWalkKeys = nullptr;

// Publishes a walk's keys to ParsePyListItem for the walk's duration.
struct WalkKeysScope {
    explicit WalkKeysScope(const ItemKeys &keys) { s_pWalkKeys = &keys; }
    ~WalkKeysScope() { s_pWalkKeys = nullptr; }
};

// The frame the three readers share: argument checks, lookup, conversion,
// and their log lines, which differ only in the reader's name.
template <typename T, typename Convert>
T ReadField(const char *pszReader, const char *pszItemWord, PyObject *pDict, PyObject *pKey,
            const char *pszName, T defaultValue, Convert convert) {
    if (g_bTraceDetail) TraceLog(0, kModule, pszReader, __LINE__, ">");
    if (!pszName) pszName = "";
    if (!pDict) {
        WriteLog(std::string(pszName) + " Item NULL", pszReader, LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "<%s %s : %s is NULL!", pszName, pszReader, pszItemWord);
        return defaultValue;
    }
    if (!pKey) {
        WriteLog(std::string(pszName) + " Key NULL", pszReader, LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "<%s %s : Key is NULL!", pszName, pszReader);
        return defaultValue;
    }
    PyObject *pValue = PyDict_Check(pDict) ? PyDict_GetItem(pDict, pKey) : nullptr;
    if (!pValue) {
        PyErr_Clear();
        WriteLog(std::string(pszName) + " NULL", "PyDict_GetItem", LOG_LEVEL_DEBUG, 0);
        if (g_bTraceDetail)
            TraceLog(0, kModule, pszReader, __LINE__, "<%s %s : PyDict_GetItem return NULL!", pszName, pszReader);
        return defaultValue;
    }
    // Held while converting: a value's own conversion code may change the dictionary.
    Py_INCREF(pValue);
    PyRef hold(pValue);
    T result = defaultValue;
    try {
        switch (convert(pValue, result)) {
        case READ_OK:
            break;
        case READ_PARSE_FAILED:
            PyErr_Clear();
            result = defaultValue;
            WriteLog(std::string(pszName) + " False", "PyArg_Parse", LOG_LEVEL_ERROR, 0);
            TraceLog(1, kModule, pszReader, __LINE__, "%s %s : PyArg_Parse return FALSE!", pszName, pszReader);
            break;
        case READ_NO_POINTER:
            PyErr_Clear();
            result = defaultValue;
            WriteLog(std::string(pszName) + " cRes is NULL", "PyArg_Parse", LOG_LEVEL_ERROR, 0);
            TraceLog(1, kModule, pszReader, __LINE__, "%s %s : cRes is NULL!", pszName, pszReader);
            break;
        }
    } catch (...) {
        PyErr_Clear();
        result = defaultValue;
        WriteLog(std::string(pszName) + " Fail", "PyArg_Parse", LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "%s %s : PyArg_Parse failed!", pszName, pszReader);
    }
    if (g_bTraceDetail) TraceLog(0, kModule, pszReader, __LINE__, "<");
    return result;
}

}  // namespace

int ZavPyInitialize() {
    try {
        return ZavPyStart();
    } catch (...) {
        return 0;
    }
}

int ZavPyFinalize() {
    try {
        return ZavPyStop();
    } catch (...) {
        return 0;
    }
}

int ZavPyRunStatement(const char *pszStatement) {
    try {
        (void)PyRun_SimpleStringFlags(pszStatement, nullptr);
        return 1;
    } catch (...) {
        return 0;
    }
}

std::wstring GetPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName) {
    return ReadField<std::wstring>("GetPyDataW", "Item", pDict, pKey, pszName,
                                   std::wstring(), [](PyObject *pValue, std::wstring &result) {
                                       switch (ZavPyReadWide(pValue, result)) {
                                       case ZAV_WIDE_OK:
                                           return READ_OK;
                                       case ZAV_WIDE_NO_POINTER:
                                           return READ_NO_POINTER;
                                       case ZAV_WIDE_EXCEPTION:
                                           throw std::bad_alloc();
                                       default:
                                           return READ_PARSE_FAILED;
                                       }
                                   });
}

std::string GetPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName) {
    return ReadField<std::string>("GetPyDataA", "Iem", pDict, pKey, pszName,
                                  std::string(), [](PyObject *pValue, std::string &result) {
                                      const char *psz = nullptr;
                                      if (!PyArg_Parse(pValue, "s", &psz)) return READ_PARSE_FAILED;
                                      if (!psz) return READ_NO_POINTER;
                                      result.assign(psz);
                                      return READ_OK;
                                  });
}

int GetPyDataI(PyObject *pDict, PyObject *pKey, const char *pszName) {
    return ReadField<int>("GetPyDataI", "Item", pDict, pKey, pszName, 0,
                          [](PyObject *pValue, int &result) {
                              int n = 0;
                              if (!PyArg_Parse(pValue, "i", &n)) return READ_PARSE_FAILED;
                              result = n;
                              return READ_OK;
                          });
}

int CheckPyDataI(int nValue, const char *pszName, int nMax, int nMin) {
    ZTRACE(0, kModule, ">");
    int nResult = nValue;
    if (nValue < nMin || nValue > nMax) {
        WriteLog(std::string(pszName ? pszName : "") + "=0x" + IntToString(nValue, 16, 1), "GetPyDataI",
                 LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Invalid data (0x%x)", unsigned(nValue));
        nResult = 0;
    }
    ZTRACE(0, kModule, "<");
    return nResult;
}

void ParsePyListItem(DWORD dwIndex, PyObject *pItem) {
    ZTRACE(0, kModule, ">");
    IMLINFO &tagIml = g_tagImlList[dwIndex];

    std::unique_ptr<ItemKeys> ownKeys;
    if (!s_pWalkKeys) ownKeys = std::make_unique<ItemKeys>();
    const ItemKeys &keys = s_pWalkKeys ? *s_pWalkKeys : *ownKeys;

    const int nNumber = GetPyDataI(pItem, keys.number.get(), "EventNumber");
    if (nNumber < 0) {
        WriteLog("EventNumber=" + IntToString(nNumber, 10, 1), "GetPyDataI", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "GetPyDataI EventNumber : %d, error.", nNumber);
    } else {
        tagIml.dwEventNumber = DWORD(nNumber);
    }
    tagIml.strMessage = WideCharToChar(GetPyDataW(pItem, keys.message.get(), "Message").c_str());
    tagIml.strRecommendedAction =
        WideCharToChar(GetPyDataW(pItem, keys.action.get(), "RecommendedAction").c_str());
    tagIml.strSeverity = GetPyDataA(pItem, keys.severity.get(), "Severity");
    tagIml.strCreated = ConvertTimeString(GetPyDataA(pItem, keys.created.get(), "Created"));
    tagIml.strUpdated = ConvertTimeString(GetPyDataA(pItem, keys.updated.get(), "Updated"));
    tagIml.wEventClass = WORD(CheckPyDataI(GetPyDataI(pItem, keys.eventClass.get(), "Class"), "Class", 127, 1));
    tagIml.wEventCode = WORD(CheckPyDataI(GetPyDataI(pItem, keys.code.get(), "Code"), "Code", 65535, 1));
    tagIml.dwRepaired = GetPyDataI(pItem, keys.repaired.get(), "Repaired") != 0 ? 1 : 0;

    ZTRACE(0, kModule, "EventNumber : %d", int(tagIml.dwEventNumber));
    ZTRACE(0, kModule, "Repaired : %d", int(tagIml.dwRepaired));
    ZTRACE(0, kModule, "EventClass : 0x%04x", unsigned(tagIml.wEventClass));
    ZTRACE(0, kModule, "EventCode : 0x%04x", unsigned(tagIml.wEventCode));
    ZTRACE(0, kModule, "Severity : %s", tagIml.strSeverity.c_str());
    ZTRACE(0, kModule, "Created : %s", tagIml.strCreated.c_str());
    ZTRACE(0, kModule, "Updated : %s", tagIml.strUpdated.c_str());
    ZTRACE(0, kModule, "<");
}

int GetImlList(PyObject *pModule) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetImlList", LOG_LEVEL_DEBUG, 0);
    int nResult = 0;
    PyRef result;
    do {
        try {
            result = PyRef(CallModuleFunction(pModule, "get_iml"));
        } catch (...) {
            WriteLog("Fail", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyObject_CallMethod failed.");
            break;
        }
        if (!result) {
            WriteLog("NULL", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyObject_CallMethod NULL.");
            TraceAndClearPyError("GetImlList");
            break;
        }
        int nStatus = 0;
        PyObject *pList = nullptr;  // borrowed from the result tuple
        try {
            if (!PyArg_ParseTuple(result.get(), "iO", &nStatus, &pList)) {
                PyErr_Clear();
                nStatus = 0;
                pList = nullptr;
            }
        } catch (...) {
            WriteLog("List Fail", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyArg_ParseTuple get list failed.");
            break;
        }
        if (nStatus != 200) {
            WriteLog("Status=" + IntToString(nStatus, 10, 1), "CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "Status : %d", nStatus);
            break;
        }
        Py_ssize_t nSize = PyList_Size(pList);
        if (nSize < 0) PyErr_Clear();
        if (nSize > Py_ssize_t(0x7FFFFFFF)) nSize = 0x7FFFFFFF;  // more than the record counters hold
        WriteLog("Size=" + IntToString(int(nSize), 10, 1), "PyList_Size", LOG_LEVEL_DEBUG, 0);
        ZTRACE(3, kModule, "PyList_Size : %d", int(nSize));
        if (nSize < 1) break;
        if (!AllocImlList(DWORD(nSize))) {
            WriteLog("Alloc", "GetImlList", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "entry list of %d records not allocated.", int(nSize));
            break;
        }
        InitImlList(int(nSize));
        const ItemKeys keys;
        const WalkKeysScope scope(keys);
        for (Py_ssize_t i = 0; i < nSize; ++i) {
            try {
                PyObject *pItem = PyList_GetItem(pList, i);
                if (!pItem) {
                    PyErr_Clear();
                    WriteLog("NULL", "PyList_GetItem", LOG_LEVEL_ERROR, 0);
                    ZTRACE(1, kModule, "PyList_GetItem NULL!");
                    break;
                }
                // Held while its fields are read: a hostile key lookup may shrink the list.
                Py_INCREF(pItem);
                PyRef hold(pItem);
                ParsePyListItem(DWORD(i), pItem);
            } catch (...) {
                PyErr_Clear();
                WriteLog("Fail", "PyList_GetItem", LOG_LEVEL_ERROR, 0);
                ZTRACE(1, kModule, "PyList_GetItem failed!");
                break;
            }
        }
        nResult = 1;
    } while (false);
    result = PyRef();
    WriteLog("End", "GetImlList", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return nResult;
}

int ExecutePythonScript(std::string &strTime) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "ExecutePythonScript", LOG_LEVEL_DEBUG, 0);
    strTime.clear();
    int nResult = 0;
    try {
        if (RefuseUnsafeModule(UnsafeModulePlace(std::string(kScriptDir) + "/zavsmsrv.py"))) {
            WriteLog("End", "ExecutePythonScript", LOG_LEVEL_DEBUG, 0);
            ZTRACE(0, kModule, "<");
            return 0;
        }
        PyRef module(PyImport_ImportModule("zavsmsrv"));
        if (module && RefuseUnsafeModule(UnsafeModulePlace(ModuleFile(module.get())))) {
            WriteLog("End", "ExecutePythonScript", LOG_LEVEL_DEBUG, 0);
            ZTRACE(0, kModule, "<");
            return 0;
        }
        if (!module) {
            WriteLog("NULL", "PyImport_ImportModule", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyImport_ImportModule NULL.");
            TraceAndClearPyError("ExecutePythonScript");
        } else {
            strTime = GetCurrentDateTime(module.get());
            if (!strTime.empty()) {
                if (g_strServiceStartTime.empty()) {
                    g_strServiceStartTime = strTime;
                    WriteLog("StartTime=" + strTime, "", LOG_LEVEL_INFO, 0);
                    ZTRACE(3, kModule, "StartTime=%s", strTime.c_str());
                }
                nResult = GetImlList(module.get()) != 0 ? 1 : 0;
            }
        }
    } catch (...) {
        PyErr_Clear();
        WriteLog("Fail", "PyImport_ImportModule", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyImport_ImportModule failed.");
        nResult = 0;
    }
    WriteLog("End", "ExecutePythonScript", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return nResult;
}
