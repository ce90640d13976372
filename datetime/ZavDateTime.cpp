#include "ZavDateTime.h"

#include "LogFile.h"
#include "PyBridge.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"
#include "zavsmsrv.h"

namespace {
const char *kModule = "ZavDateTime";
}

std::string ConvertTimeString(std::string strText) {
    if (strText.empty()) return "";
    // The first 19 characters with index 10 made a blank, in one copy: this
    // runs twice per entry of every poll.
    if (strText.size() < 19) return "";
    strText.resize(19);
    strText[10] = ' ';
    return strText;
}

std::string GetCurrentDateTime(PyObject *pModule) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    std::string strResult;
    ScriptResult result;
    int nStatus = 0;
    const char *pszText = nullptr;  // borrowed from the result
    switch (CallScriptFunction(pModule, "get_datetime", "is", result, nStatus, &pszText)) {
        case SCRIPT_CALL_FAILED:
            WriteLog("DateTime Fail", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyObject_CallMethod failed.");
            break;
        case SCRIPT_NULL:
            ClearScriptError(nullptr);
            WriteLog("DateTime NULL", "PyObject_CallMethod", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyObject_CallMethod NULL.");
            break;
        case SCRIPT_PARSE_FALSE:
            WriteLog("DateTime False", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyArg_ParseTuple get DataTime false.");
            break;
        case SCRIPT_PARSE_FAILED:
            WriteLog("DateTime Fail", "PyArg_ParseTuple", LOG_LEVEL_ERROR, 0);
            ZTRACE(1, kModule, "PyArg_ParseTuple get DataTime failed.");
            break;
        case SCRIPT_OK:
            if (nStatus != 200) {
                WriteLog("DateTime Status=" + IntToString(nStatus, 10, 1), "CallMethod", LOG_LEVEL_ERROR, 0);
                ZTRACE(1, kModule, "SateTime Status : %d", nStatus);
            } else if (pszText) {
                strResult = ConvertTimeString(std::string(pszText));
            }
            break;
    }
    result.reset();
    WriteLog(strResult, "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    WriteLog("End", "GetCurrentDateTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "GetCurrentDateTime : %s", strResult.c_str());
    ZTRACE(0, kModule, "<");
    return strResult;
}

std::string GetCheckedTime() {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "GetCheckedTime", LOG_LEVEL_DEBUG, 0);
    char szBuffer[ZAV_REG_SZ_BLOCK] = {};
    std::string strResult;
    if (GetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", szBuffer)) strResult = szBuffer;
    WriteLog(strResult, "GetCheckedTime", LOG_LEVEL_INFO, 0);
    WriteLog("End", "GetCheckedTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kModule, "CheckedTime : %s", strResult.c_str());
    ZTRACE(0, kModule, "<");
    return strResult;
}

int SetCheckedTime(std::string strText) {
    ZTRACE(0, kModule, ">");
    WriteLog("Start", "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    WriteLog(strText, "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    if (!SetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", strText.c_str())) {
        WriteLog("0x" + IntToString(int(GetLastError()), 16, 1), "SetCheckedTime", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kModule, "<SetCheckedTime failed");
        return 0;
    }
    WriteLog("End", "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kModule, "SetCheckedTime success. Checked Time : %s", strText.c_str());
    ZTRACE(0, kModule, "<");
    return 1;
}
