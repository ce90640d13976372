// Definition file parser: any file content is accepted or refused, never a
// crash, and an accepted file leaves only valid rows, filled from row 0.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "Monitoring.h"
#include "Setting.h"
#include "zavsmsrv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string strDir = FuzzScratch();
    g_strZavDir = strDir;
    {
        std::ofstream out(strDir + "/data/zavsmsrv.conf", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), std::streamsize(size));
    }
    for (auto &row : g_tagTargetEvent) row = TARGETEVENTINFO();
    g_bJapaneseMessage = (size & 1) ? 1 : 0;
    const bool bOk = GetTargetEventInfo();
    bool bEnded = false;
    int nRows = 0;
    for (const auto &row : g_tagTargetEvent) {
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
        if (!g_bJapaneseMessage &&
            (!row.strCriticalText.empty() || !row.strWarningText.empty() || !row.strInformationText.empty()))
            abort();
    }
    if (bOk && nRows == 0) abort();
    return 0;
}
