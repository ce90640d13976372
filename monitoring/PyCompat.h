// The few places where the Python 2.7 and Python 3 embedding interfaces
// differ. Included only by the script bridge.
#pragma once

#include <Python.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

#if PY_MAJOR_VERSION < 3
static_assert(sizeof(Py_UNICODE) == sizeof(wchar_t), "the interpreter's Unicode character must be 4 bytes");
#endif

inline PyObject *ZavPyString_FromString(const char *psz) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_FromString(psz);
#else
    return PyString_FromString(psz);
#endif
}

// An interned string, for dictionary keys.
inline PyObject *ZavPyKey(const char *psz) {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_InternFromString(psz);
#else
    return PyString_InternFromString(psz);
#endif
}

// A dictionary's value, borrowed; null when missing, with any error of the
// lookup left set (Python 2 clears it), for the caller to clear.
inline PyObject *ZavPyDict_GetItem(PyObject *pDict, PyObject *pKey) {
#if PY_MAJOR_VERSION >= 3
    return PyDict_GetItemWithError(pDict, pKey);
#else
    return PyDict_GetItem(pDict, pKey);
#endif
}

// The usual cases of the "s" and "i" formats, read without parsing a format;
// false leaves the value to PyArg_Parse, which gives the same result for these
// and the error for the rest. Nothing is set on false.
inline bool ZavPyReadNarrow(PyObject *pValue, std::string &strOut) {
    const char *p = nullptr;
    Py_ssize_t n = 0;
#if PY_MAJOR_VERSION >= 3
    if (!PyUnicode_Check(pValue)) return false;
    p = PyUnicode_AsUTF8AndSize(pValue, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
#else
    if (!PyString_Check(pValue)) return false;
    p = PyString_AS_STRING(pValue);
    n = PyString_GET_SIZE(pValue);
#endif
    if (memchr(p, 0, size_t(n))) return false;
    strOut.assign(p, size_t(n));
    return true;
}

inline bool ZavPyReadInt(PyObject *pValue, int &nOut) {
#if PY_MAJOR_VERSION >= 3
    if (!PyLong_CheckExact(pValue)) return false;
    int nOverflow = 0;
    const long v = PyLong_AsLongAndOverflow(pValue, &nOverflow);
    if (nOverflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
#else
    if (!PyInt_CheckExact(pValue)) return false;
    const long v = PyInt_AS_LONG(pValue);
#endif
    if (v < INT_MIN || v > INT_MAX) return false;
    nOut = int(v);
    return true;
}

// Result of a wide-text read, in the reader's own terms.
enum ZavWideRead { ZAV_WIDE_OK, ZAV_WIDE_PARSE_FAILED, ZAV_WIDE_NO_POINTER, ZAV_WIDE_EXCEPTION };

// Copies a unicode object's text; one holding a NUL is not read.
inline ZavWideRead ZavPyReadWide(PyObject *pValue, std::wstring &strOut) {
#if PY_MAJOR_VERSION >= 3
    if (!PyUnicode_Check(pValue)) return ZAV_WIDE_PARSE_FAILED;
    // Copied straight into strOut's buffer (no interpreter allocation per text).
    const Py_ssize_t nLength = PyUnicode_GetLength(pValue);
    if (nLength < 0) return ZAV_WIDE_EXCEPTION;
    strOut.resize(size_t(nLength));
    if (nLength > 0 && PyUnicode_AsWideChar(pValue, &strOut[0], nLength) != nLength) {
        strOut.clear();
        return ZAV_WIDE_EXCEPTION;
    }
    // As the "u" format of the interpreters that have it: a text with a NUL inside is refused.
    if (wcslen(strOut.c_str()) != strOut.size()) {
        strOut.clear();
        return ZAV_WIDE_PARSE_FAILED;
    }
    return ZAV_WIDE_OK;
#else
    Py_UNICODE *p = nullptr;
    if (!PyArg_Parse(pValue, "u", &p)) return ZAV_WIDE_PARSE_FAILED;
    if (!p) return ZAV_WIDE_NO_POINTER;
    strOut.assign(reinterpret_cast<const wchar_t *>(p));
    return ZAV_WIDE_OK;
#endif
}

// The text of a unicode object that is all ASCII without a NUL, as bytes:
// every locale's conversion, EUC-JP's too, gives those bytes unchanged, so
// such a text needs neither the wide copy nor the conversion. false leaves
// any other object to the general path, with nothing set.
inline bool ZavPyReadAscii(PyObject *pValue, std::string &strOut) {
    if (!PyUnicode_Check(pValue)) return false;
#if PY_MAJOR_VERSION >= 3
    if (PyUnicode_READY(pValue) != 0 || !PyUnicode_IS_ASCII(pValue)) {
        PyErr_Clear();
        return false;
    }
    return ZavPyReadNarrow(pValue, strOut);  // an ASCII text's UTF-8 is its own buffer
#else
    const Py_UNICODE *p = PyUnicode_AS_UNICODE(pValue);
    const size_t n = size_t(PyUnicode_GET_SIZE(pValue));
    for (size_t i = 0; i < n; ++i)
        if (p[i] == 0 || p[i] >= 0x80) return false;
    strOut.assign(p, p + n);
    return true;
#endif
}

// Starts the interpreter against the prefix it was built for (a service
// manager's environment has no PYTHONHOME), without signal handlers of its
// own: SIGTERM belongs to the service. 1 when it runs.
inline int ZavPyStart() {
#if PY_MAJOR_VERSION >= 3
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.install_signal_handlers = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, ZAV_PYTHON_HOME);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) return 0;
#else
    static char szHome[] = ZAV_PYTHON_HOME;
    Py_SetPythonHome(szHome);
    Py_InitializeEx(0);
#endif
    return Py_IsInitialized() ? 1 : 0;
}

// 1 when the interpreter finalised cleanly.
inline int ZavPyStop() {
    if (!Py_IsInitialized()) return 1;
#if PY_MAJOR_VERSION >= 3
    return Py_FinalizeEx() == 0 ? 1 : 0;
#else
    Py_Finalize();
    return 1;
#endif
}

// Owns a new reference; a borrowed one is never wrapped.
class PyRef {
public:
    explicit PyRef(PyObject *p = nullptr) : m_p(p) {}
    ~PyRef() { Py_XDECREF(m_p); }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    PyRef &operator=(PyRef &&o) noexcept {
        if (this != &o) {
            Py_XDECREF(m_p);
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }
    PyObject *get() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    PyObject *m_p;
};
