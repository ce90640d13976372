// Definition file parser: any content is accepted or refused, never a crash; an accepted file leaves
// only valid rows, filled from row 0 without gaps, and texts only in Japanese mode.
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
    int nRows = 0;
    for (const auto &row : table) {
        const bool bTexts =
            !row.strCriticalText.empty() || !row.strWarningText.empty() || !row.strInformationText.empty();
        if (row.wEventClass == 0 && row.wEventCode == 0) {
            if (bTexts) abort();  // texts only ever go to a section's row
        } else if (nRows++ != &row - table || (bTexts && !bJapanese) ||
                   (bOk && (row.wEventClass < 1 || row.wEventClass > 127 || row.wEventCode == 0))) {
            abort();
        }
    }
    if (bOk && (r.nIndex < 0 || nRows != r.nIndex + 1)) abort();
    return 0;
}
