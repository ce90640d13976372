// The service runs as root: its logs are never written through a symbolic
// link planted at their paths, and are created 0644 whatever the umask.
#include <sys/stat.h>
#include <unistd.h>

#include "LogFile.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

TEST_F(ZavTest, LogsAreNotWrittenThroughSymlinksAndNotWorldWritable) {
    const std::string strVictim = m_dir.file("victim");
    WriteFile(strVictim, "precious\n");
    ASSERT_EQ(0, symlink(strVictim.c_str(), g_strLogFilePath.c_str()));
    ASSERT_EQ(0, symlink(strVictim.c_str(), (g_strZavDir + "/log/zavsmsel.log").c_str()));
    WriteLog("Start", "GetServiceStart", 5, 0);
    WriteDat("01,0,OK,01,02,,,,,");
    EXPECT_EQ("precious\n", ReadFile(strVictim));

    ASSERT_EQ(0, unlink(g_strLogFilePath.c_str()));
    ASSERT_EQ(0, unlink((g_strZavDir + "/log/zavsmsel.log").c_str()));
    const mode_t old = umask(0);
    WriteLog("Start", "GetServiceStart", 5, 0);
    WriteDat("01,0,OK,01,02,,,,,");
    umask(old);
    for (const std::string &p : {g_strLogFilePath, std::string(g_strZavDir + "/log/zavsmsel.log")}) {
        struct stat st {};
        ASSERT_EQ(0, stat(p.c_str(), &st)) << p;
        EXPECT_EQ(0644u, st.st_mode & 07777) << p;
    }
}
