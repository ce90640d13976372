// The few places where the Python 2.7 and Python 3 embedding interfaces
// differ. Included only by the script bridge.
#pragma once

#include <Python.h>

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
