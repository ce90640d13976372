// The file-backed registry: the fixed value-file format, malformed files,
// case-insensitive names, atomic replacement, key handling.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "NTwin32.h"
#include "ProcUtil.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {

struct Key {
    HKEY h = nullptr;
    ~Key() {
        if (h) RegCloseKey(h);
    }
};

LONG QueryDword(HKEY h, const char *name, DWORD &v) {
    DWORD type = REG_DWORD, size = sizeof v;
    return RegQueryValueEx(h, name, nullptr, &type, reinterpret_cast<BYTE *>(&v), &size);
}

}  // namespace

TEST(RegistryText, ValueFilesParseOnlyInTheFixedFormat) {
    struct Case {
        std::string text;
        int ok;
        DWORD type;
        std::string payload;
    } cases[] = {
        {"dword:60\n", 1, REG_DWORD, "60"},
        {"dword:60", 1, REG_DWORD, "60"},
        {"dword:0x3C", 1, REG_DWORD, "60"},
        {"dword:0XffFFffFF\n", 1, REG_DWORD, "4294967295"},
        {"dword:4294967295", 1, REG_DWORD, "4294967295"},
        {"dword:000", 1, REG_DWORD, "0"},
        {"sz:2026-12-07 00:00:00\n", 1, REG_SZ, "2026-12-07 00:00:00"},
        {"sz:", 1, REG_SZ, ""},
        {"sz:a\nb\n", 1, REG_SZ, "a\nb"},
        {std::string("sz:ab\0cd\n", 9), 1, REG_SZ, "ab"},
        {"expand_sz:%ZavDir%/log", 1, REG_EXPAND_SZ, "%ZavDir%/log"},
        {"", 0, 0, ""},
        {"dword:", 0, 0, ""},
        {"dword:-1", 0, 0, ""},
        {"dword:4294967296", 0, 0, ""},
        {"dword:12abc", 0, 0, ""},
        {"dword: 5", 0, 0, ""},
        {"dword:5 ", 0, 0, ""},
        {"dword:5\n\n", 0, 0, ""},
        {"dword:0x", 0, 0, ""},
        {"dwo", 0, 0, ""},
        {"DWORD:5", 0, 0, ""},
        {"qword:5", 0, 0, ""},
        {"\xff\xfe\x00\x01", 0, 0, ""},
    };
    for (const auto &c : cases) {
        DWORD type = 0;
        std::string payload = "untouched";
        EXPECT_EQ(c.ok, ParseRegValueText(c.text, type, payload)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.type, type) << c.text;
            EXPECT_EQ(c.payload, payload) << c.text;
        }
    }
}

TEST_F(ZavTest, RegistryRoundTripsAndHandWrittenFiles) {
    Key k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\"
                                          "zavsystemmanagementservice\\parameters", 0, KEY_ALL_ACCESS, &k.h));
    const DWORD v = 4000000000u;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueEx(k.h, "MaxDatSize", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4));
    EXPECT_EQ("dword:4000000000\n", ReadValueFile(ZAV_PARAMETERS_KEY, "MaxDatSize"));
    DWORD got = 0;
    ASSERT_EQ(ERROR_SUCCESS, QueryDword(k.h, "maxdatsize", got));
    EXPECT_EQ(v, got);

    WriteValueFile(ZAV_PARAMETERS_KEY, "MonitorInterval", "dword:60\n");
    ASSERT_EQ(ERROR_SUCCESS, QueryDword(k.h, "MonitorInterval", got));
    EXPECT_EQ(60u, got);

    char block[128] = "2026-12-07 00:00:00";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueEx(k.h, "CheckedTime", 0, REG_SZ, reinterpret_cast<BYTE *>(block), 128));
    EXPECT_EQ("sz:2026-12-07 00:00:00\n", ReadValueFile(ZAV_PARAMETERS_KEY, "CheckedTime"));
    char buf[128];
    memset(buf, 'x', sizeof buf);
    DWORD type = REG_SZ, size = sizeof buf;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueEx(k.h, "CheckedTime", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size));
    EXPECT_STREQ("2026-12-07 00:00:00", buf);
    EXPECT_EQ(20u, size);

    // No temporary file stays behind.
    DIR *d = opendir(ValueFilePath(ZAV_PARAMETERS_KEY, "x").substr(0, ValueFilePath(ZAV_PARAMETERS_KEY, "x").rfind('/')).c_str());
    ASSERT_NE(nullptr, d);
    while (dirent *e = readdir(d)) EXPECT_EQ(nullptr, strstr(e->d_name, ".tmp")) << e->d_name;
    closedir(d);
}

TEST_F(ZavTest, MalformedOrMistypedValuesFailAndLeaveTheCallersValue) {
    Key k;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyEx(HKEY_LOCAL_MACHINE, ZAV_PARAMETERS_KEY, 0, KEY_READ, &k.h));
    for (const char *junk : {"", "dword:", "dword:-1", "dword:4294967296", "sz:60", "dword: 5", "\x01\x02"}) {
        WriteValueFile(ZAV_PARAMETERS_KEY, "V", junk);
        DWORD v = 777;
        EXPECT_NE(ERROR_SUCCESS, QueryDword(k.h, "V", v)) << junk;
        EXPECT_EQ(777u, v) << junk;
    }
    // A string that does not fit the caller's buffer is a failure, not a cut.
    WriteValueFile(ZAV_PARAMETERS_KEY, "S", "sz:" + std::string(200, 'a'));
    char buf[128] = "keep";
    DWORD type = REG_SZ, size = sizeof buf;
    EXPECT_EQ(ERANGE, RegQueryValueEx(k.h, "S", nullptr, &type, reinterpret_cast<BYTE *>(buf), &size));
    EXPECT_STREQ("keep", buf);
    // A directory where a value file should be, and a huge file, are not values.
    ASSERT_EQ(0, mkdir(ValueFilePath(ZAV_PARAMETERS_KEY, "D").c_str(), 0755));
    DWORD v = 1;
    EXPECT_NE(ERROR_SUCCESS, QueryDword(k.h, "D", v));
    WriteValueFile(ZAV_PARAMETERS_KEY, "H", "dword:1" + std::string(100000, '0'));
    EXPECT_NE(ERROR_SUCCESS, QueryDword(k.h, "H", v));
    // A read-only handle cannot write.
    EXPECT_EQ(EACCES, RegSetValueEx(k.h, "W", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4));
}

TEST_F(ZavTest, KeysMustExistAndStayInsideTheRegistry) {
    Key k;
    EXPECT_EQ(ENOENT, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\NOPE", 0, KEY_READ, &k.h));
    EXPECT_EQ(nullptr, k.h);
    EXPECT_EQ(EINVAL, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM\\..\\..", 0, KEY_READ, &k.h));
    EXPECT_EQ(EINVAL, RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM/CURRENTCONTROLSET", 0, KEY_READ, &k.h));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyEx(HKEY_LOCAL_MACHINE, "Software\\New\\Deep", &k.h));
    struct stat st {};
    EXPECT_EQ(0, stat(m_dir.file("registry/HKEY_LOCAL_MACHINE/SOFTWARE/NEW/DEEP").c_str(), &st));
    std::string name;
    DWORD v = 5;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueEx(k.h, "b", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueEx(k.h, "a", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), 4));
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValue(k.h, 0, name));
    EXPECT_EQ("A", name);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValue(k.h, 1, name));
    EXPECT_EQ("B", name);
    EXPECT_EQ(ENOENT, RegEnumValue(k.h, 2, name));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValue(k.h, "A"));
    EXPECT_EQ(ENOENT, RegDeleteValue(k.h, "A"));
}

TEST_F(ZavTest, GetregReadsOneValueFileByPath) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "N", "dword:0x400\n");
    WriteValueFile(ZAV_PARAMETERS_KEY, "P", "sz:/var/log/x.log\n");
    DWORD v = 0;
    EXPECT_EQ(0, getreg(ValueFilePath(ZAV_PARAMETERS_KEY, "N").c_str(), REG_DWORD, 4, &v));
    EXPECT_EQ(1024u, v);
    char buf[16] = {};
    EXPECT_EQ(0, getreg(ValueFilePath(ZAV_PARAMETERS_KEY, "P").c_str(), REG_SZ, sizeof buf, buf));
    EXPECT_STREQ("/var/log/x.log", buf);
    char small[8] = "keep";
    EXPECT_EQ(-1, getreg(ValueFilePath(ZAV_PARAMETERS_KEY, "P").c_str(), REG_SZ, sizeof small, small));
    EXPECT_EQ(-1, getreg(ValueFilePath(ZAV_PARAMETERS_KEY, "P").c_str(), REG_DWORD, 4, &v));
    EXPECT_EQ(-1, getreg(ValueFilePath(ZAV_PARAMETERS_KEY, "Missing").c_str(), REG_DWORD, 4, &v));
    EXPECT_EQ(1024u, v);
}

TEST(Expand, VariablesAreReplacedUnknownOnesKept) {
    setenv("ZAV_T_A", "alpha", 1);
    unsetenv("ZavDir");
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"%ZAV_T_A%/x", "alpha/x"},
        {"%ZavDir%/log/zavsmflw.log", "/opt/kym/tolvex_sa/log/zavsmflw.log"},
        {"%NO_SUCH_VAR%/x", "%NO_SUCH_VAR%/x"},
        {"100%", "100%"},
        {"%%", "%%"},
        {"a%NO_SUCH%ZAV_T_A%", "a%NO_SUCHalpha"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char buf[256];
        const DWORD n = ExpandEnvironmentStrings(c.in, buf, sizeof buf);
        EXPECT_STREQ(c.out, buf) << c.in;
        EXPECT_EQ(strlen(c.out) + 1, n) << "the count includes the NUL";
    }
    setenv("ZavDir", "/srv/zav", 1);
    char buf[64];
    ExpandEnvironmentStrings("%ZavDir%", buf, sizeof buf);
    EXPECT_STREQ("/srv/zav", buf);
    unsetenv("ZavDir");
    char tiny[4];
    EXPECT_EQ(strlen("/opt/kym/tolvex_sa") + 1, ExpandEnvironmentStrings("%ZavDir%", tiny, sizeof tiny));
    EXPECT_EQ(0u, ExpandEnvironmentStrings(nullptr, tiny, sizeof tiny));
}
