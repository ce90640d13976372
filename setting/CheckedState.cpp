#include "CheckedState.h"

#include "LogFile.h"
#include "Reg.h"
#include "StringOperation.h"
#include "TraceLog.h"

namespace {

// The trace names the source each record has always named.
const char *kSetting = "Setting";
const char *kDateTime = "ZavDateTime";
const char *kService = "zavsmsrv";

// One value of the checked entry; a missing one is traced as its caller's.
bool ReadCheckedValue(const char *pszName, const char *pszWhat, DWORD &dwValue) {
    dwValue = 0;
    if (GetRegValue(ZAV_PARAMETERS_KEY, pszName, dwValue)) return true;
    TraceLog(1, kSetting, "GetCheckedImlInfo", __LINE__, "<Can't get checked iml's %s", pszWhat);
    return false;
}

bool ReadCheckedValue(const char *pszName, const char *pszWhat, std::string &strValue) {
    char szText[ZAV_REG_SZ_BLOCK] = {};
    if (GetRegValue(ZAV_PARAMETERS_KEY, pszName, szText)) {
        strValue = szText;
        return true;
    }
    TraceLog(1, kSetting, "GetCheckedImlInfo", __LINE__, "<Can't get checked iml's %s", pszWhat);
    return false;
}

}  // namespace

void GetServiceStart(CHECKEDSTATE &tagChecked) {
    ZTRACE(0, kService, ">");
    WriteLog("Start", "GetServiceStart", LOG_LEVEL_DEBUG, 0);
    DWORD dwValue = 0;
    tagChecked.dwServiceStart = GetRegValue(ZAV_PARAMETERS_KEY, "ServiceStart", dwValue) ? dwValue : 0;
    WriteLog(IntToString(int(tagChecked.dwServiceStart), 10, 1), "GetServiceStart", LOG_LEVEL_INFO, 0);
    WriteLog("End", "GetServiceStart", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kService, "ServiceStart : %d", int(tagChecked.dwServiceStart));
    ZTRACE(0, kService, "<");
}

int SetServiceStart() {
    ZTRACE(0, kService, ">");
    WriteLog("Start", "SetServiceStart", LOG_LEVEL_DEBUG, 0);
    if (!SetRegValue(ZAV_PARAMETERS_KEY, "ServiceStart", DWORD(1))) {
        WriteLog("0x" + IntToString(int(GetLastError()), 16, 1), "SetServiceStart", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kService, "<SetServiceStart failed!");
        return 0;
    }
    WriteLog("OK", "SetServiceStart", LOG_LEVEL_INFO, 0);
    WriteLog("End", "SetServiceStart", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kService, "<");
    return 1;
}

bool GetCheckedImlInfo(CHECKEDSTATE &tagChecked) {
    ZTRACE(0, kSetting, ">");
    WriteLog("Start", "GetCheckedImlInfo", LOG_LEVEL_DEBUG, 0);
    IMLINFO &c = tagChecked.tagIml;
    c = IMLINFO();
    DWORD dw = 0;
    if (!GetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", dw)) {
        tagChecked.dwServiceStart = 0;
        ZTRACE(1, kSetting, "<Can't get checked iml's Number. Regard as first start.");
        return false;
    }
    c.dwEventNumber = dw;
    // Each value is kept as it is read: a later missing one leaves the earlier ones set.
    if (!ReadCheckedValue("ReadCreated", "Created", c.strCreated)) return false;
    if (!ReadCheckedValue("ReadUpdated", "Updated", c.strUpdated)) return false;
    if (!ReadCheckedValue("ReadEventClass", "Class", dw)) return false;
    c.wEventClass = WORD(dw & 0xFFFF);
    if (!ReadCheckedValue("ReadEventCode", "Code", dw)) return false;
    c.wEventCode = WORD(dw & 0xFFFF);
    if (!ReadCheckedValue("ReadRepaired", "Repaired", dw)) return false;
    c.dwRepaired = dw != 0 ? 1 : 0;

    WriteLog(IntToString(int(c.dwEventNumber), 10, 1) + "," + IntToString(int(c.dwRepaired), 10, 0) + "," +
                 IntToString(c.wEventClass, 16, 1) + "," + IntToString(c.wEventCode, 16, 1) + "," + c.strCreated + "," +
                 c.strUpdated,
             "GetCheckedImlInfo", LOG_LEVEL_INFO, 0);
    WriteLog("End", "GetCheckedImlInfo", LOG_LEVEL_DEBUG, 0);
    TraceImlInfo(3, kSetting, "GetCheckedImlInfo", c, true);
    return true;
}

bool SetCheckedImlInfo(CHECKEDSTATE &tagChecked, const IMLINFO &tagIml) {
    ZTRACE(0, kSetting, ">");
    WriteLog("Start", "SetCheckedImlInfo", LOG_LEVEL_DEBUG, 0);
    IMLINFO &c = tagChecked.tagIml;
    c.dwEventNumber = tagIml.dwEventNumber;
    c.strCreated = tagIml.strCreated;
    c.strUpdated = tagIml.strUpdated;
    c.wEventClass = tagIml.wEventClass;
    c.wEventCode = tagIml.wEventCode;
    c.dwRepaired = tagIml.dwRepaired;

    // The six values share a folder: one folder sync makes all six durable.
    const REGVALUEITEM items[] = {
        {"ReadEventNumber", c.dwEventNumber, nullptr}, {"ReadEventClass", c.wEventClass, nullptr},
        {"ReadEventCode", c.wEventCode, nullptr},      {"ReadCreated", 0, c.strCreated.c_str()},
        {"ReadUpdated", 0, c.strUpdated.c_str()},      {"ReadRepaired", c.dwRepaired, nullptr},
    };
    const char *const traces[] = {
        "<SetCheckedImlInfo : Event Number failed", "<SetCheckedImlInfo : Event Class failed",
        "<SetCheckedImlInfo : Event Code failed",   "<SetCheckedImlInfo : Created failed",
        "<SetCheckedImlInfo : Updated failed",      "<SetCheckedImlInfo : Repaired failed",
    };
    DWORD dwStored = 0;
    if (!SetRegValues(ZAV_PARAMETERS_KEY, items, DWORD(sizeof items / sizeof items[0]), dwStored)) {
        WriteLog("0x" + IntToString(int(GetLastError()), 16, 1), "SetCheckedImlInfo", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kSetting, "%s", traces[dwStored]);
        return false;
    }
    WriteLog(IntToString(int(c.dwEventNumber), 10, 1) + "," + IntToString(int(c.dwRepaired), 10, 0) + "," +
                 IntToString(c.wEventClass, 16, 1) + "," + IntToString(c.wEventCode, 16, 1) + "," + c.strUpdated + "," +
                 c.strCreated,
             "SetCheckedImlInfo", LOG_LEVEL_INFO, 0);
    WriteLog("End", "SetCheckedImlInfo", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kSetting, "<SetCheckedImlInfo success.");
    return true;
}

std::string GetCheckedTime() {
    ZTRACE(0, kDateTime, ">");
    WriteLog("Start", "GetCheckedTime", LOG_LEVEL_DEBUG, 0);
    char szBuffer[ZAV_REG_SZ_BLOCK] = {};
    std::string strResult;
    if (GetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", szBuffer)) strResult = szBuffer;
    WriteLog(strResult, "GetCheckedTime", LOG_LEVEL_INFO, 0);
    WriteLog("End", "GetCheckedTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(3, kDateTime, "CheckedTime : %s", strResult.c_str());
    ZTRACE(0, kDateTime, "<");
    return strResult;
}

int SetCheckedTime(std::string strText) {
    ZTRACE(0, kDateTime, ">");
    WriteLog("Start", "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    WriteLog(strText, "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    if (!SetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", strText.c_str())) {
        WriteLog("0x" + IntToString(int(GetLastError()), 16, 1), "SetCheckedTime", LOG_LEVEL_ERROR, 0);
        ZTRACE(1, kDateTime, "<SetCheckedTime failed");
        return 0;
    }
    WriteLog("End", "SetCheckedTime", LOG_LEVEL_DEBUG, 0);
    ZTRACE(0, kDateTime, "SetCheckedTime success. Checked Time : %s", strText.c_str());
    ZTRACE(0, kDateTime, "<");
    return 1;
}

void LoadCheckedState(CHECKEDSTATE &tagChecked) {
    (void)GetCheckedImlInfo(tagChecked);
    tagChecked.strTime = GetCheckedTime();
}

void RecordCheckedPoll(CHECKEDSTATE &tagChecked, const std::string &strTime) {
    (void)SetCheckedTime(strTime);
    tagChecked.strTime = strTime;
    if (tagChecked.dwServiceStart == 0) {
        tagChecked.dwServiceStart = 1;
        (void)SetServiceStart();
    }
}

bool IsUpdatedEvent(const CHECKEDSTATE &tagChecked, const IMLINFO &tagIml, int bNew) {
    ZTRACE(0, kSetting, ">");
    const IMLINFO &c = tagChecked.tagIml;
    const std::string &strCheckedTime = tagChecked.strTime;
    if (tagIml.dwEventNumber == c.dwEventNumber && tagIml.strCreated == c.strCreated &&
        tagIml.strUpdated == c.strUpdated && tagIml.wEventClass == c.wEventClass && tagIml.wEventCode == c.wEventCode &&
        tagIml.dwRepaired == c.dwRepaired) {
        ZTRACE(0, kSetting, "<Current IML's information = Last Checked IML's information");
        return false;
    }
    if (bNew != 0) {
        ZTRACE(0, kSetting, "New IML");
        return true;
    }
    ZTRACE(0, kSetting, "CheckTime: %s", strCheckedTime.c_str());
    ZTRACE(0, kSetting, "IML's updated: %s", tagIml.strUpdated.c_str());
    if (strCheckedTime.empty()) {
        WriteLog("Checked Time Not Found", "IsUpdatedEvent", LOG_LEVEL_INFO, 0);
        ZTRACE(1, kSetting, "<Checked time not found. IML is regard to not updated");
        return false;
    }
    if (strCheckedTime.compare(tagIml.strUpdated) > 0) {
        ZTRACE(0, kSetting, "<Update time is older, IML is not updated");
        return false;
    }
    ZTRACE(0, kSetting, "<IML is updated");
    return true;
}
