// Registry value files: any content reads as a value or as a failure; a value read never overruns its
// buffer and a number survives a round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "NTwin32.h"
#include "ProcUtil.h"
#include "Reg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string strFile = [] {  // a scratch registry for the whole run
        char szDir[] = "/tmp/zavfuzz-XXXXXX";
        if (!mkdtemp(szDir) || system(("mkdir -p " + std::string(szDir) + "/registry/HKEY_LOCAL_MACHINE/FUZZ").c_str()))
            abort();
        SetRegistryRoot(std::string(szDir) + "/registry");
        return std::string(szDir) + "/registry/HKEY_LOCAL_MACHINE/FUZZ/V_VALUE";
    }();
    const std::string strText(reinterpret_cast<const char *>(data), size);
    DWORD dwType = 0, dwSize = ZAV_REG_SZ_BLOCK, dw = 0xDEADBEEF;
    std::string strPayload, strAgain;
    const bool bParsed = ParseRegValueText(strText, dwType, strPayload) != 0;
    if (bParsed && dwType == REG_DWORD &&
        (strPayload.empty() || strPayload.size() > 10 || std::stoull(strPayload) > 0xFFFFFFFFull ||
         !ParseRegValueText("dword:" + strPayload + "\n", dwType, strAgain) || strAgain != strPayload))
        abort();  // a dword is 1 to 10 digits within 32 bits and reads back the same
    if (bParsed && dwType != REG_DWORD && strPayload.find('\0') != std::string::npos) abort();  // strings end at NUL
    std::ofstream(strFile, std::ios::binary | std::ios::trunc).write(strText.data(), std::streamsize(size));
    // The platform reader directly: the helpers' retries would sleep on every failure.
    HKEY h = nullptr;
    char buf[ZAV_REG_SZ_BLOCK + 16], small[8];
    memset(buf, 'x', sizeof buf);
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "FUZZ", 0, KEY_READ, &h) != ERROR_SUCCESS) abort();
    dwType = REG_SZ;
    if (RegQueryValueEx(h, "Value", nullptr, &dwType, reinterpret_cast<BYTE *>(buf), &dwSize) == ERROR_SUCCESS &&
        (dwSize > ZAV_REG_SZ_BLOCK || !memchr(buf, '\0', dwSize)))
        abort();
    for (size_t i = ZAV_REG_SZ_BLOCK; i < sizeof buf; ++i)
        if (buf[i] != 'x') abort();  // never past the 128-byte block
    dwType = REG_DWORD, dwSize = sizeof dw;
    if (RegQueryValueEx(h, "Value", nullptr, &dwType, reinterpret_cast<BYTE *>(&dw), &dwSize) != ERROR_SUCCESS &&
        dw != 0xDEADBEEF)
        abort();  // a failed read leaves the caller's number
    (void)RegCloseKey(h);
    if (getreg(strFile.c_str(), REG_SZ, sizeof small, small) == 0 && !memchr(small, '\0', sizeof small)) abort();
    return 0;
}
