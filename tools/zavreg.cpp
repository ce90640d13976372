// zavreg: reads and writes the suite's file-backed registry in the same
// terms as the service.
//   zavreg [--root DIR] get KEY NAME
//   zavreg [--root DIR] set KEY NAME sz|expand_sz|dword VALUE
//   zavreg [--root DIR] delete KEY NAME
//   zavreg [--root DIR] list KEY
//   zavreg [--root DIR] create KEY
// KEY is below HKEY_LOCAL_MACHINE, with "\" separators.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Guards.h"
#include "NTwin32.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: zavreg [--root DIR] get KEY NAME\n"
            "       zavreg [--root DIR] set KEY NAME sz|expand_sz|dword VALUE\n"
            "       zavreg [--root DIR] delete KEY NAME\n"
            "       zavreg [--root DIR] list KEY\n"
            "       zavreg [--root DIR] create KEY\n"
            "KEY is a path below HKEY_LOCAL_MACHINE with \\ separators, e.g.\n"
            "  'SYSTEM\\CurrentControlSet\\Services\\ZAVSystemManagementService\\Parameters'\n");
    return 2;
}

int Error(const std::string &what, LONG rc) {
    fprintf(stderr, "zavreg: %s: %s\n", what.c_str(), strerror(int(rc)));
    return 1;
}

const char *TypeName(DWORD t) { return t == REG_SZ ? "sz" : t == REG_EXPAND_SZ ? "expand_sz" : "dword"; }

// Prints one value as "TYPE VALUE"; with bName, "NAME TYPE VALUE".
int ShowValue(HKEY h, const std::string &strName, bool bName) {
    DWORD dwType = 0, dwSize = 0;
    LONG rc = RegQueryValueEx(h, strName.c_str(), nullptr, &dwType, nullptr, &dwSize);
    if (rc != ERROR_SUCCESS) return Error("value " + strName, rc);
    std::vector<BYTE> buf(dwSize + 1);
    dwType = 0;
    rc = RegQueryValueEx(h, strName.c_str(), nullptr, &dwType, buf.data(), &dwSize);
    if (rc != ERROR_SUCCESS) return Error("value " + strName, rc);
    if (bName) printf("%s ", strName.c_str());
    if (dwType == REG_DWORD) {
        DWORD v;
        memcpy(&v, buf.data(), sizeof v);
        printf("%s %u\n", TypeName(dwType), v);
    } else {
        printf("%s %s\n", TypeName(dwType), reinterpret_cast<const char *>(buf.data()));
    }
    return 0;
}

// zavreg list: every value of the key; 1 when one cannot be shown.
int ListValues(HKEY h) {
    std::string strName;
    int status = 0;
    for (DWORD i = 0; RegEnumValue(h, i, strName) == ERROR_SUCCESS; ++i)
        if (ShowValue(h, strName, true) != 0) status = 1;
    return status;
}

// zavreg set: the value checked as the service will read it, then stored.
int SetValue(HKEY h, const std::string &strName, const std::string &type, const std::string &value) {
    LONG rc;
    if (type == "dword") {
        DWORD dwType = 0, v = 0;
        std::string strPayload;
        if (!ParseRegValueText("dword:" + value, dwType, strPayload, &v)) {
            fprintf(stderr, "zavreg: '%s' is not a number from 0 to 4294967295 (decimal or 0x hexadecimal)\n",
                    value.c_str());
            return 1;
        }
        rc = RegSetValueEx(h, strName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), sizeof v);
    } else if (type == "sz" || type == "expand_sz") {
        // The service reads strings into 128-byte and expandable ones into 4096-byte buffers.
        const size_t limit = type == "sz" ? 127 : 4095;
        if (value.size() > limit) {
            fprintf(stderr, "zavreg: a %s value holds at most %zu bytes\n", type.c_str(), limit);
            return 1;
        }
        rc = RegSetValueEx(h, strName.c_str(), 0, type == "sz" ? REG_SZ : REG_EXPAND_SZ,
                           reinterpret_cast<const BYTE *>(value.c_str()), DWORD(value.size() + 1));
    } else {
        fprintf(stderr, "zavreg: unknown type '%s' (sz, expand_sz or dword)\n", type.c_str());
        return 2;
    }
    return rc == ERROR_SUCCESS ? 0 : Error("value " + strName, rc);
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--root") {
        SetRegistryRoot(args[1]);
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() < 2) return Usage();
    const std::string &cmd = args[0];
    const std::string &key = args[1];
    if (cmd == "create" && args.size() == 2) {
        LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), nullptr);
        return rc == ERROR_SUCCESS ? 0 : Error("key " + key, rc);
    }
    const bool bWrite = cmd == "set" || cmd == "delete";
    if (!((cmd == "get" && args.size() == 3) || (cmd == "set" && args.size() == 5) ||
          (cmd == "delete" && args.size() == 3) || (cmd == "list" && args.size() == 2)))
        return Usage();
    HKEY hOpened = nullptr;
    LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, key.c_str(), 0, bWrite ? KEY_ALL_ACCESS : KEY_READ, &hOpened);
    if (rc != ERROR_SUCCESS) return Error("key " + key, rc);
    const UniqueRegKey k(hOpened);
    if (cmd == "get") return ShowValue(k.get(), args[2], false);
    if (cmd == "list") return ListValues(k.get());
    if (cmd == "delete") {
        rc = RegDeleteValue(k.get(), args[2].c_str());
        return rc == ERROR_SUCCESS ? 0 : Error("value " + args[2], rc);
    }
    return SetValue(k.get(), args[2], args[3], args[4]);
}
