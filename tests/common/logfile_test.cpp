// The operation log's line format, level filter and rotation, the event data
// file, and their settings.
#include <sys/stat.h>

#include "LogFile.h"
#include "Reg.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

namespace {
bool Exists(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}
}  // namespace

TEST(LogLine, FormatIsFixed) {
    SYSTEMTIME st{2024, 3, 2, 5, 7, 8, 9, 123};
    EXPECT_EQ("2024-03-05 07:08:09,[GetServiceStart],Debug,Start", FormatLogLine(st, "Start", "GetServiceStart", 5));
    EXPECT_EQ("2024-03-05 07:08:09,Start", FormatLogLine(st, "Start", "", 3));
    EXPECT_EQ("2024-03-05 07:08:09,[WriteDat],Error,0x1C", FormatLogLine(st, "0x1C", "WriteDat", 1));
    EXPECT_EQ("2024-03-05 07:08:09,[X],msg", FormatLogLine(st, "msg", "X", 2));
    SYSTEMTIME late{2026, 12, 1, 31, 23, 59, 58, 0};
    EXPECT_EQ("2026-12-31 23:59:58,End\n", FormatLogLine(late, "End\n", "", 3));
}

TEST_F(ZavTest, LevelFilterAndEmptyPath) {
    g_dwLogLevel = 3;
    WriteLog("debug", "F", 5, 0);
    WriteLog("info", "", 3, 0);
    WriteLog("End\n", "", 3, 1);
    g_dwLogLevel = 0;
    WriteLog("error", "F", 1, 0);
    EXPECT_EQ((std::vector<std::string>{"info", "End", ""}), LogMessages());
    const std::string strPath = g_strLogFilePath;
    g_strLogFilePath.clear();
    g_dwLogLevel = 5;
    WriteLog("nowhere", "F", 1, 0);
    EXPECT_EQ(3u, LogMessages().size());
    g_strLogFilePath = m_dir.file("no/such/folder/log");
    WriteLog("lost", "F", 1, 0);  // silently
    EXPECT_FALSE(Exists(g_strLogFilePath));
}

TEST_F(ZavTest, OperationLogRotatesBeforeTheFirstCountedWriteAfterTheLimit) {
    g_dwLogMaxSize = 1024;
    g_dwLogGeneration = 3;
    const std::string p = g_strLogFilePath;
    const std::string line(100, 'a');  // 20 + 100 + 2 counted per line
    int written = 0;
    while (g_bLogBackup == 0) {
        WriteLog(line, "", 3, 0);
        ++written;
    }
    EXPECT_EQ(9, written) << "9 lines count 9 * 122 = 1098 > 1024";
    EXPECT_EQ(1098u, g_dwLogCurrentSize);
    WriteLog("flagged", "", 3, 1);  // neither rotates nor counts
    EXPECT_FALSE(Exists(p + "1"));
    EXPECT_EQ(1098u, g_dwLogCurrentSize);
    WriteLog("next", "", 3, 0);
    ASSERT_TRUE(Exists(p + "1"));
    EXPECT_EQ("next", LogMessages().at(0));
    EXPECT_EQ(26u, g_dwLogCurrentSize);
    WriteFile(p + "2", "two");
    BackupFile(p, 3);
    EXPECT_EQ("two", ReadFile(p + "3"));
    EXPECT_FALSE(Exists(p));
    BackupFile(p + "x", 0);  // generation 0 deletes; a missing file is no error
    WriteFile(p, "now");
    BackupFile(p, 0);
    EXPECT_FALSE(Exists(p));
    BackupFile(p, 4294967295u);  // capped: finishes at once
    EXPECT_EQ(0u, GetLogFileSize(m_dir.file("missing")));
}

TEST_F(ZavTest, TraceLogInfoDefaultsAndClamps) {
    WriteValueFile(ZAV_LOG_KEY, "FilePath", "expand_sz:%ZavDir%/log/ops.log\n");
    WriteValueFile(ZAV_LOG_KEY, "LogLevel", "dword:9\n");
    WriteValueFile(ZAV_LOG_KEY, "MaxLogSize", "dword:100\n");
    WriteValueFile(ZAV_LOG_KEY, "Generation", "dword:0\n");
    setenv("ZavDir", g_strZavDir.c_str(), 1);
    GetTraceLogInfo();
    unsetenv("ZavDir");
    EXPECT_EQ(g_strZavDir + "/log/ops.log", g_strLogFilePath);
    EXPECT_EQ(5u, g_dwLogLevel);
    EXPECT_EQ(1024u, g_dwLogMaxSize);
    EXPECT_EQ(0u, g_dwLogGeneration);
    EXPECT_EQ("[GetTraceLogInfo],Debug,Size=00", LogMessages().at(0));
}

TEST_F(ZavTest, TraceLogInfoMissingValuesGiveTheDefaults) {
    GetTraceLogInfo();  // ~3.6 s of registry retries
    EXPECT_EQ(ZAV_DEFAULT_LOG_PATH, g_strLogFilePath);
    EXPECT_EQ(3u, g_dwLogLevel);
    EXPECT_EQ(524288u, g_dwLogMaxSize);
    EXPECT_EQ(2u, g_dwLogGeneration);
}

TEST_F(ZavTest, DataFileAppendsCountsAndRotates) {
    WriteValueFile(ZAV_PARAMETERS_KEY, "NumberOfBackup", "dword:2\n");
    WriteValueFile(ZAV_PARAMETERS_KEY, "MaxDatSize", "dword:100\n");
    const std::string p = g_strZavDir + "/log/zavsmsel.log";
    WriteFile(p, std::string(2000, 'x') + "\n");
    GetBackupDatInfo();
    EXPECT_EQ(2u, g_dwDatGeneration);
    EXPECT_EQ(1024u, g_dwDatMaxSize);
    EXPECT_EQ(2001u, g_dwDatCurrentSize);
    EXPECT_EQ(1, g_bDatBackup);
    WriteDat("");  // nothing written, nothing rotated
    EXPECT_FALSE(Exists(p + "1"));
    WriteDat("07,0,Critical,0A,123,u,c,m,a,");
    EXPECT_TRUE(LogHas("[BackupFile],zavsmsel.log"));
    EXPECT_EQ(2001u, GetLogFileSize(p + "1"));
    EXPECT_EQ("07,0,Critical,0A,123,u,c,m,a,\n", ReadFile(p));
    EXPECT_EQ(31u, g_dwDatCurrentSize) << "record + 2";
    EXPECT_EQ(0, g_bDatBackup);

    ASSERT_EQ(0, unlink(p.c_str()));
    ASSERT_EQ(0, mkdir(p.c_str(), 0755));  // cannot be opened for appending
    WriteDat("08,0,OK,01,02,,,,,");
    EXPECT_TRUE(LogHas("[WriteDat],Error,0x15")) << "EISDIR";
    EXPECT_EQ(31u, g_dwDatCurrentSize);
}
