// The JSON-lines indication file <install>/log/indication.log, written beside
// the journal while the registry value IndicationFile is 1 (tests read it).
#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FileOps.h"
#include "ProcUtil.h"
#include "StdAlert.h"
#include "TextFormat.h"

namespace {

const char kSwitchValue[] = ZAV_INTERNAL_REG_REL "/V_INDICATIONFILE";
const int kSlots = 5;

std::string InstallDir() {
    const char *dir = getenv("ZavDir");
    return dir && *dir ? dir : ZAV_DEFAULT_DIR;
}

// Straight from the value file: the registry's retries for a missing value
// would cost the first alert almost a second.
bool ReadSwitch() {
    DWORD dwValue = 0;
    return getreg((InstallDir() + kSwitchValue).c_str(), REG_DWORD, sizeof dwValue, &dwValue) == 0 && dwValue == 1;
}

}  // namespace

bool IndicationFileEnabled() {
    static const bool bOn = ReadSwitch();
    return bOn;
}

int AppendIndicationFile(const INDICATIONINFO &info, const std::vector<std::string> &strings) {
    static const std::string strPath = InstallDir() + "/log/indication.log";
    char head[160];
    snprintf(head, sizeof head, "{\"reserved\":[%u,%u],\"event_id\":\"0x%08X\",\"type\":%u,\"count\":%u,",
             info.dwReserved1, info.dwReserved2, info.dwEventID, info.dwEventType, info.dwStringCount);
    std::string strLine = head;
    strLine += "\"source\":" + JsonQuote(info.pszSource ? info.pszSource : "") + ",\"strings\":[";
    std::string strHex;
    for (int i = 0; i < kSlots; ++i) {
        const std::string s = size_t(i) < strings.size() ? strings[size_t(i)] : "";
        if (i) strLine += ",";
        strLine += IsUtf8(s) ? JsonQuote(s) : "null";
        if (i) strHex += ",";
        strHex += "\"" + HexBytes(s) + "\"";
    }
    strLine += "],\"hex\":[" + strHex + "]}\n";
    return AppendToFile(strPath, strLine);
}
