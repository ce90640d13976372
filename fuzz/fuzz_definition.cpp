// Definition file parser: any file content is accepted or refused, never a
// crash, and an accepted file leaves only valid rows, filled from row 0.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Setting.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static TARGETEVENTINFO table[ZAV_TARGET_ROWS];
    for (auto &row : table) row = TARGETEVENTINFO();
    std::istringstream in(std::string(reinterpret_cast<const char *>(data), size));
    const int bJapanese = (size & 1) ? 1 : 0;
    const DEFINITIONRESULT r = ParseTargetEventInfo(in, bJapanese, table);
    const bool bOk = r.nStatus == DEFINITION_OK;
    if (bOk && (r.nIndex < 0 || r.nIndex >= ZAV_TARGET_ROWS)) abort();
    bool bEnded = false;
    int nRows = 0;
    for (const auto &row : table) {
        const bool bEmpty = row.wEventClass == 0 && row.wEventCode == 0;
        if (bEmpty) {
            bEnded = true;
            if (!row.strCriticalText.empty() || !row.strWarningText.empty() || !row.strInformationText.empty())
                abort();  // texts only ever go to a section's row
            continue;
        }
        if (bEnded) abort();  // rows are filled without gaps
        ++nRows;
        if (bOk && (row.wEventClass < 1 || row.wEventClass > 127 || row.wEventCode == 0)) abort();
        if (!bJapanese &&
            (!row.strCriticalText.empty() || !row.strWarningText.empty() || !row.strInformationText.empty()))
            abort();
    }
    if (bOk && nRows != r.nIndex + 1) abort();
    return 0;
}
