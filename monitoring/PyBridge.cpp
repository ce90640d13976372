#include "PyBridge.h"

#include "PyCompat.h"

#include <sys/stat.h>

#include <new>
#include <utility>
#include <vector>

#include "LogFile.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "ZavDateTime.h"

namespace {

const char *kModule = "Monitoring";
// The clock's records keep the source name they have always had.
const char *kClockModule = "ZavDateTime";

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

enum ReadOutcome { READ_OK, READ_PARSE_FAILED, READ_NO_POINTER, READ_FAILED };

}  // namespace

// The nine key strings of an entry. Made once per list walk rather than once
// per entry (the walk is the hot path of a poll); a direct call makes its own.
// Interned, as a module's literal keys are: a lookup then matches by identity.
struct ItemKeys {
    PyRef number, message, action, severity, created, updated, eventClass, code, repaired;
    ItemKeys()
        : number(ZavPyKey("EventNumber")),
          message(ZavPyKey("Message")),
          action(ZavPyKey("RecommendedAction")),
          severity(ZavPyKey("Severity")),
          created(ZavPyKey("Created")),
          updated(ZavPyKey("Updated")),
          eventClass(ZavPyKey("Class")),
          code(ZavPyKey("Code")),
          repaired(ZavPyKey("Repaired")) {
        PyErr_Clear();  // a key that could not be made reads as "Key NULL"
    }
};

namespace {

// The frame the three readers share: argument checks, lookup, conversion,
// and their log lines, which differ only in the reader's name. The value goes
// into result (the default when it cannot be read), so a text reuses the
// buffer result already has.
template <typename T, typename Convert>
void ReadField(const char *pszReader, const char *pszItemWord, PyObject *pDict, PyObject *pKey,
               const char *pszName, const T &defaultValue, T &result, Convert convert) {
    if (g_bTraceDetail) TraceLog(0, kModule, pszReader, __LINE__, ">");
    if (!pszName) pszName = "";
    if (!pDict) {
        result = defaultValue;
        WriteLog(std::string(pszName) + " Item NULL", pszReader, LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "<%s %s : %s is NULL!", pszName, pszReader, pszItemWord);
        return;
    }
    if (!pKey) {
        result = defaultValue;
        WriteLog(std::string(pszName) + " Key NULL", pszReader, LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "<%s %s : Key is NULL!", pszName, pszReader);
        return;
    }
    // A lookup that raises reads as a missing key, as PyDict_GetItem has it
    // (without saving and restoring the error state on every call).
    PyObject *pValue = PyDict_Check(pDict) ? ZavPyDict_GetItem(pDict, pKey) : nullptr;
    if (!pValue) {
        PyErr_Clear();
        result = defaultValue;
        WriteLog(std::string(pszName) + " NULL", "PyDict_GetItem", LOG_LEVEL_DEBUG, 0);
        if (g_bTraceDetail)
            TraceLog(0, kModule, pszReader, __LINE__, "<%s %s : PyDict_GetItem return NULL!", pszName, pszReader);
        return;
    }
    // Held while converting: a value's own conversion code may change the dictionary.
    Py_INCREF(pValue);
    PyRef hold(pValue);
    ReadOutcome outcome;
    try {
        outcome = convert(pValue, result);
    } catch (...) {
        outcome = READ_FAILED;
    }
    if (outcome != READ_OK) {
        // The log word and trace text of each failure, by outcome.
        static const char *const kLog[] = {"", " False", " cRes is NULL", " Fail"};
        static const char *const kTrace[] = {"", "PyArg_Parse return FALSE!", "cRes is NULL!", "PyArg_Parse failed!"};
        PyErr_Clear();
        result = defaultValue;
        WriteLog(std::string(pszName) + kLog[outcome], "PyArg_Parse", LOG_LEVEL_ERROR, 0);
        TraceLog(1, kModule, pszReader, __LINE__, "%s %s : %s", pszName, pszReader, kTrace[outcome]);
    }
    if (g_bTraceDetail) TraceLog(0, kModule, pszReader, __LINE__, "<");
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

namespace {

ReadOutcome ReadWide(PyObject *pValue, std::wstring &result) {
    switch (ZavPyReadWide(pValue, result)) {
    case ZAV_WIDE_OK:
        return READ_OK;
    case ZAV_WIDE_NO_POINTER:
        return READ_NO_POINTER;
    case ZAV_WIDE_EXCEPTION:
        return READ_FAILED;
    default:
        return READ_PARSE_FAILED;
    }
}

ReadOutcome ReadNarrow(PyObject *pValue, std::string &result) {
    if (ZavPyReadNarrow(pValue, result)) return READ_OK;
    const char *psz = nullptr;
    if (!PyArg_Parse(pValue, "s", &psz)) return READ_PARSE_FAILED;
    if (!psz) return READ_NO_POINTER;
    result.assign(psz);
    return READ_OK;
}

ReadOutcome ReadInt(PyObject *pValue, int &result) {
    if (ZavPyReadInt(pValue, result)) return READ_OK;
    int n = 0;
    if (!PyArg_Parse(pValue, "i", &n)) return READ_PARSE_FAILED;
    result = n;
    return READ_OK;
}

void ReadPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName, std::wstring &strOut) {
    ReadField<std::wstring>("GetPyDataW", "Item", pDict, pKey, pszName, std::wstring(), strOut, ReadWide);
}

// A wide text as GetPyDataW reads it, converted as WideCharToChar does.
ReadOutcome ReadWideAsText(PyObject *pValue, std::string &result) {
    if (ZavPyReadAscii(pValue, result)) return READ_OK;
    thread_local std::wstring t_strWide;
    const ReadOutcome outcome = ReadWide(pValue, t_strWide);
    if (outcome == READ_OK) WideCharToChar(t_strWide.c_str(), result);
    return outcome;
}

void ReadPyDataWAsText(PyObject *pDict, PyObject *pKey, const char *pszName, std::string &strOut) {
    ReadField<std::string>("GetPyDataW", "Item", pDict, pKey, pszName, std::string(), strOut, ReadWideAsText);
}

void ReadPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName, std::string &strOut) {
    ReadField<std::string>("GetPyDataA", "Iem", pDict, pKey, pszName, std::string(), strOut, ReadNarrow);
}

}  // namespace

std::wstring GetPyDataW(PyObject *pDict, PyObject *pKey, const char *pszName) {
    std::wstring strResult;
    ReadPyDataW(pDict, pKey, pszName, strResult);
    return strResult;
}

std::string GetPyDataA(PyObject *pDict, PyObject *pKey, const char *pszName) {
    std::string strResult;
    ReadPyDataA(pDict, pKey, pszName, strResult);
    return strResult;
}

int GetPyDataI(PyObject *pDict, PyObject *pKey, const char *pszName) {
    int nResult = 0;
    ReadField<int>("GetPyDataI", "Item", pDict, pKey, pszName, 0, nResult, ReadInt);
    return nResult;
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

namespace {

void ParsePyListItem(IMLINFO &tagIml, PyObject *pItem, const ItemKeys &keys) {
    ZTRACE(0, kModule, ">");
    const int nNumber = GetPyDataI(pItem, keys.number.get(), "EventNumber");
    tagIml.dwEventNumber = nNumber < 0 ? 0 : DWORD(nNumber);
    if (nNumber < 0) {
        WriteLog("EventNumber=" + IntToString(nNumber, 10, 1), "GetPyDataI", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "GetPyDataI EventNumber : %d, error.", nNumber);
    }
    // Texts are read into the record's own strings (and one wide buffer per
    // thread), so a reused record allocates nothing.
    ReadPyDataWAsText(pItem, keys.message.get(), "Message", tagIml.strMessage);
    ReadPyDataWAsText(pItem, keys.action.get(), "RecommendedAction", tagIml.strRecommendedAction);
    ReadPyDataA(pItem, keys.severity.get(), "Severity", tagIml.strSeverity);
    ReadPyDataA(pItem, keys.created.get(), "Created", tagIml.strCreated);
    tagIml.strCreated = ConvertTimeString(std::move(tagIml.strCreated));
    ReadPyDataA(pItem, keys.updated.get(), "Updated", tagIml.strUpdated);
    tagIml.strUpdated = ConvertTimeString(std::move(tagIml.strUpdated));
    tagIml.wEventClass = WORD(CheckPyDataI(GetPyDataI(pItem, keys.eventClass.get(), "Class"), "Class", 127, 1));
    tagIml.wEventCode = WORD(CheckPyDataI(GetPyDataI(pItem, keys.code.get(), "Code"), "Code", 65535, 1));
    tagIml.dwRepaired = GetPyDataI(pItem, keys.repaired.get(), "Repaired") != 0 ? 1 : 0;

    TraceImlInfo(0, kModule, "ParsePyListItem", tagIml, false);
    ZTRACE(0, kModule, "<");
}

// Fills the entry list from the dictionaries of pList (borrowed); stops at
// the first item that cannot be taken. The number of records read whole.
Py_ssize_t ReadImlItems(PyObject *pList, Py_ssize_t nSize, IMLLIST &tagImlList) {
    const ItemKeys keys;
    for (Py_ssize_t i = 0; i < nSize; ++i) {
        try {
            PyObject *pItem = PyList_GetItem(pList, i);
            if (!pItem) {
                PyErr_Clear();
                WriteLog("NULL", "PyList_GetItem", LOG_LEVEL_ERROR, 0);
                ZTRACE(1, kModule, "PyList_GetItem NULL!");
                return i;
            }
            // Held while its fields are read: a hostile key lookup may shrink the list.
            Py_INCREF(pItem);
            PyRef hold(pItem);
            ParsePyListItem(tagImlList.vecRecords[size_t(i)], pItem, keys);
        } catch (...) {
            PyErr_Clear();
            WriteLog("Fail", "PyList_GetItem", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyList_GetItem failed!");
            return i;
        }
    }
    return nSize;
}

// How a module call ended, for the caller's own log lines.
enum ScriptCall { SCRIPT_OK, SCRIPT_CALL_FAILED, SCRIPT_NULL, SCRIPT_PARSE_FALSE, SCRIPT_PARSE_FAILED };

// A call that raised or gave nothing is an exception; an answer of the wrong
// shape is invalid; otherwise the module's own status.
CALLSTATUS CallStatusOf(ScriptCall call, int nStatus) {
    CALLSTATUS tagCall;
    tagCall.nEnd = call == SCRIPT_OK ? CALL_RETURNED
                   : (call == SCRIPT_CALL_FAILED || call == SCRIPT_NULL) ? CALL_EXCEPTION
                                                                         : CALL_INVALID;
    tagCall.nStatus = call == SCRIPT_OK ? nStatus : 0;
    return tagCall;
}

ScriptCall CallScript(PyObject *pModule, const char *pszName, const char *pszFormat, PyRef &result, int &nStatus,
                      void *pValue) {
    PyObject *pResult = nullptr;
    try {
        pResult = PyObject_CallMethod(pModule, const_cast<char *>(pszName), nullptr);
    } catch (...) {
        return SCRIPT_CALL_FAILED;
    }
    if (!pResult) return SCRIPT_NULL;
    result = PyRef(pResult);
    try {
        if (!PyArg_ParseTuple(pResult, pszFormat, &nStatus, pValue)) {
            PyErr_Clear();
            nStatus = 0;
            return SCRIPT_PARSE_FALSE;
        }
    } catch (...) {
        PyErr_Clear();
        return SCRIPT_PARSE_FAILED;
    }
    return SCRIPT_OK;
}

// Calls pszName() of the module and parses the returned tuple with pszFormat
// ("is" or "iO") into nStatus and *pValue, borrowed from result; how it
// ended goes into tagCall. After SCRIPT_NULL the interpreter's exception is
// pending: the caller clears it.
ScriptCall CallScriptFunction(PyObject *pModule, const char *pszName, const char *pszFormat, PyRef &result,
                              int &nStatus, void *pValue, CALLSTATUS &tagCall) {
    const ScriptCall call = CallScript(pModule, pszName, pszFormat, result, nStatus, pValue);
    tagCall = CallStatusOf(call, nStatus);
    return call;
}

// 1 when the entry list holds the entries of a successful get_iml.
int FillImlList(PyObject *pModule, IMLLIST &tagImlList, CALLSTATUS &tagCall) {
    PyRef result;
    int nStatus = 0;
    PyObject *pList = nullptr;
    switch (CallScriptFunction(pModule, "get_iml", "iO", result, nStatus, &pList, tagCall)) {
    case SCRIPT_CALL_FAILED:
        WriteLog("Fail", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyObject_CallMethod failed.");
        return 0;
    case SCRIPT_NULL:
        WriteLog("NULL", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyObject_CallMethod NULL.");
        TraceAndClearPyError("GetImlList");
        return 0;
    case SCRIPT_PARSE_FAILED:
        WriteLog("List Fail", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyArg_ParseTuple get list failed.");
        return 0;
    case SCRIPT_PARSE_FALSE:  // reads as a failing status
    case SCRIPT_OK:
        break;
    }
    if (nStatus != 200) {
        WriteLog("Status=" + IntToString(nStatus, 10, 1), "CallMethod", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "Status : %d", nStatus);
        return 0;
    }
    Py_ssize_t nSize = PyList_Size(pList);
    if (nSize < 0) {
        PyErr_Clear();
        tagCall = CallStatusOf(SCRIPT_PARSE_FALSE, 0);  // status 200, but no list
    }
    if (nSize > Py_ssize_t(0x7FFFFFFF)) nSize = 0x7FFFFFFF;  // more than the record counters hold
    WriteLog("Size=" + IntToString(int(nSize), 10, 1), "PyList_Size", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kModule, "PyList_Size : %d", int(nSize));
    if (nSize < 1) return 0;
    if (!AllocImlList(tagImlList, DWORD(nSize))) {
        WriteLog("Alloc", "GetImlList", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "entry list of %d records not allocated.", int(nSize));
        return 0;
    }
    // A record read whole has every field set from its entry; only those the
    // walk did not reach may still hold the last poll's values.
    const Py_ssize_t nRead = ReadImlItems(pList, nSize, tagImlList);
    InitImlList(tagImlList, int(nSize), int(nRead));
    return 1;
}

// The module, imported or taken from the interpreter's cache; null when it
// cannot be imported or may not be used.
PyRef ImportScriptModule() {
    if (RefuseUnsafeModule(UnsafeModulePlace(ZAV_SCRIPT_DIR "/" ZAV_SCRIPT_MODULE ".py"))) return PyRef();
    // Once imported, the module is the interpreter's cached one; looking it up
    // directly skips the import machinery's call into __import__ every poll.
    PyObject *pCached = PyDict_GetItemString(PyImport_GetModuleDict(), ZAV_SCRIPT_MODULE);
    if (pCached && !PyModule_Check(pCached)) pCached = nullptr;  // the import machinery's case
    Py_XINCREF(pCached);
    PyRef module(pCached ? pCached : PyImport_ImportModule(ZAV_SCRIPT_MODULE));
    if (!module) {
        WriteLog("NULL", "PyImport_ImportModule", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "PyImport_ImportModule NULL.");
        TraceAndClearPyError("ExecutePythonScript");
        return module;
    }
    if (RefuseUnsafeModule(UnsafeModulePlace(ModuleFile(module.get())))) return PyRef();
    return module;
}

}  // namespace

void ParsePyListItem(IMLINFO &tagIml, PyObject *pItem) {
    const ItemKeys keys;
    ParsePyListItem(tagIml, pItem, keys);
}

int AllocImlList(IMLLIST &tagImlList, DWORD dwCount) {
    std::vector<IMLINFO> &vec = tagImlList.vecRecords;
    ClearImlList(tagImlList);
    // A list far larger than this poll's is not kept.
    if (vec.capacity() / 2 > dwCount) std::vector<IMLINFO>().swap(vec);
    try {
        vec.resize(dwCount);
    } catch (const std::bad_alloc &) {
        std::vector<IMLINFO>().swap(vec);
        return 0;
    }
    tagImlList.dwMaxIndex = dwCount;
    return 1;
}

void InitImlList(IMLLIST &tagImlList, int nCount, int nFirst) {
    ZTRACE(0, kModule, ">");
    for (int i = nFirst; i < nCount; ++i) {
        tagImlList.vecRecords[size_t(i)] = IMLINFO();
    }
    ZTRACE(0, kModule, "<");
}

void ClearImlList(IMLLIST &tagImlList) {
    ZTRACE(0, kModule, ">");
    tagImlList.dwMaxIndex = 0;
    ZTRACE(0, kModule, "<");
}

ScriptStart StartScriptInterpreter() {
    if (!ZavPyInitialize()) return SCRIPT_INIT_FAILED;
    if (!ZavPyRunStatement("import sys") || !ZavPyRunStatement("sys.path.append('" ZAV_SCRIPT_DIR "')"))
        return SCRIPT_PATH_FAILED;
    return SCRIPT_STARTED;
}

int CheckScriptModule() {
    try {
        return ImportScriptModule() ? 1 : 0;
    } catch (...) {
        PyErr_Clear();
        return 0;
    }
}

int GetImlList(PyObject *pModule, IMLLIST &tagImlList, CALLSTATUS &tagCall) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetImlList", LOG_LEVEL_DEBUG, 0);
    const int nResult = FillImlList(pModule, tagImlList, tagCall);
    WriteLog("End", "GetImlList", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "<");
    return nResult;
}

std::string GetCurrentDateTime(PyObject *pModule, CALLSTATUS &tagCall) {
    ZTRACE(0, kClockModule, ">");
    WriteLog("Start", "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    std::string strResult;
    PyRef result;
    int nStatus = 0;
    const char *pszText = nullptr;  // borrowed from the result
    switch (CallScriptFunction(pModule, "get_datetime", "is", result, nStatus, &pszText, tagCall)) {
        case SCRIPT_CALL_FAILED:
            WriteLog("DateTime Fail", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kClockModule, "PyObject_CallMethod failed.");
            break;
        case SCRIPT_NULL:
            PyErr_Clear();
            WriteLog("DateTime NULL", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kClockModule, "PyObject_CallMethod NULL.");
            break;
        case SCRIPT_PARSE_FALSE:
            WriteLog("DateTime False", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kClockModule, "PyArg_ParseTuple get DataTime false.");
            break;
        case SCRIPT_PARSE_FAILED:
            WriteLog("DateTime Fail", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kClockModule, "PyArg_ParseTuple get DataTime failed.");
            break;
        case SCRIPT_OK:
            if (nStatus != 200) {
                WriteLog("DateTime Status=" + IntToString(nStatus, 10, 1), "CallMethod", LOG_LEVEL_ERROR, 0);
                ZTRACE(1, kClockModule, "SateTime Status : %d", nStatus);
            } else if (pszText) {
                strResult = ConvertTimeString(std::string(pszText));
            }
            break;
    }
    result = PyRef();
    WriteLog(strResult, "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    WriteLog("End", "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kClockModule, "GetCurrentDateTime : %s", strResult.c_str());
    ZTRACE(0, kClockModule, "<");
    return strResult;
}

int ExecutePythonScript(POLLRESULT &tagPoll, IMLLIST &tagImlList, std::string &strServiceStartTime) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "ExecutePythonScript", LOG_LEVEL_DEBUG, 0);
    std::string &strTime = tagPoll.strTime;
    strTime.clear();
    int nResult = 0;
    try {
        const PyRef module = ImportScriptModule();
        if (module) strTime = GetCurrentDateTime(module.get(), tagPoll.tagDateTimeCall);
        if (!strTime.empty()) {
            if (strServiceStartTime.empty()) {
                strServiceStartTime = strTime;
                WriteLog("StartTime=" + strTime, "", LOG_LEVEL_INFO, 0);
                ZTRACE(3, kModule, "StartTime=%s", strTime.c_str());
            }
            nResult = GetImlList(module.get(), tagImlList, tagPoll.tagImlCall) != 0 ? 1 : 0;
            tagPoll.dwEntries = nResult ? tagImlList.dwMaxIndex : 0;
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
