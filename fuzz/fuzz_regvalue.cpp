// Registry value files: any content reads as a value or as a failure; a
// value read never overruns its buffer and a number survives a round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "NTwin32.h"
#include "ProcUtil.h"
#include "Reg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string strDir = FuzzScratch();
    static const std::string strKeyDir = strDir + "/registry/HKEY_LOCAL_MACHINE/FUZZ";
    static bool bInit = [] {
        SetRegistryRoot(strDir + "/registry");
        return system(("mkdir -p '" + strKeyDir + "'").c_str()) == 0;
    }();
    if (!bInit) abort();
    const std::string strText(reinterpret_cast<const char *>(data), size);
    DWORD dwParsed = 0;
    std::string strPayload;
    if (ParseRegValueText(strText, dwParsed, strPayload)) {
        if (dwParsed == REG_DWORD) {
            if (strPayload.empty() || strPayload.size() > 10) abort();
            const unsigned long long v = std::stoull(strPayload);
            if (v > 0xFFFFFFFFull) abort();
            DWORD t2 = 0;
            std::string p2;
            if (!ParseRegValueText("dword:" + strPayload + "\n", t2, p2) || t2 != REG_DWORD || p2 != strPayload)
                abort();
        } else if (strPayload.find('\0') != std::string::npos) {
            abort();  // a string stops at its first NUL
        }
    }
    {
        std::ofstream out(strKeyDir + "/V_VALUE", std::ios::binary | std::ios::trunc);
        out.write(strText.data(), std::streamsize(strText.size()));
    }
    // The platform reader directly: the helpers' retries would sleep on every failure.
    HKEY h = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "FUZZ", 0, KEY_READ, &h) != ERROR_SUCCESS) abort();
    char buf[ZAV_REG_SZ_BLOCK + 16];
    memset(buf, 'x', sizeof buf);
    DWORD dwType = REG_SZ, dwSize = ZAV_REG_SZ_BLOCK;
    if (RegQueryValueEx(h, "Value", nullptr, &dwType, reinterpret_cast<BYTE *>(buf), &dwSize) == ERROR_SUCCESS) {
        if (dwSize > ZAV_REG_SZ_BLOCK || memchr(buf, '\0', dwSize) == nullptr) abort();
    }
    for (size_t i = ZAV_REG_SZ_BLOCK; i < sizeof buf; ++i)
        if (buf[i] != 'x') abort();  // never past the 128-byte block
    DWORD dw = 0xDEADBEEF;
    dwType = REG_DWORD;
    dwSize = sizeof dw;
    if (RegQueryValueEx(h, "Value", nullptr, &dwType, reinterpret_cast<BYTE *>(&dw), &dwSize) != ERROR_SUCCESS &&
        dw != 0xDEADBEEF)
        abort();  // a failed read leaves the caller's number
    (void)RegCloseKey(h);
    char small[8];
    if (getreg((strKeyDir + "/V_VALUE").c_str(), REG_SZ, sizeof small, small) == 0 &&
        memchr(small, '\0', sizeof small) == nullptr)
        abort();
    return 0;
}
