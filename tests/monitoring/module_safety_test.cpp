// The controller module runs as the service (root): one that anyone could
// have written is not used, and the refusal says why.
#include <sys/stat.h>

#include <string>

#include "LogFile.h"
#include "Monitoring.h"
#include "PyBridge.h"
#include "TestSupport.h"

namespace {

class ModuleSafety : public ZavTest {
protected:
    void SetUp() override {
        ZavTest::SetUp();
        m_strDir = m_dir.file("mod");
        ASSERT_EQ(0, mkdir(m_strDir.c_str(), 0755));
        WriteFile(m_strDir + "/zavsmsrv.py",
                  "def get_datetime():\n    return (200, '2026-12-07T00:00:00')\n"
                  "def get_iml():\n    return (200, [{'EventNumber': 1}])\n");
        ASSERT_EQ(1, ZavPyInitialize());
        ASSERT_EQ(1, ZavPyRunStatement(("import sys; sys.path.insert(0, '" + m_strDir + "')").c_str()));
    }
    void TearDown() override {
        ClearImlList();
        (void)ZavPyFinalize();
        ZavTest::TearDown();
    }
    std::string m_strDir;
};

TEST_F(ModuleSafety, WorldWritableFolderOrFileIsRefusedOtherwiseUsed) {
    struct Case {
        mode_t dir, file;
        int result;
        std::string line;
    } cases[] = {
        {0777, 0644, 0, "[PyImport_ImportModule],Error,World-writable " + m_strDir},
        {01777, 0644, 0, "[PyImport_ImportModule],Error,World-writable " + m_strDir},
        {0755, 0666, 0, "[PyImport_ImportModule],Error,World-writable " + m_strDir + "/zavsmsrv.py"},
        {0775, 0664, 1, ""},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(0, chmod(m_strDir.c_str(), c.dir));
        ASSERT_EQ(0, chmod((m_strDir + "/zavsmsrv.py").c_str(), c.file));
        WriteFile(g_strLogFilePath, "");
        std::string strTime;
        EXPECT_EQ(c.result, ExecutePythonScript(strTime)) << std::oct << c.dir << " " << c.file;
        if (c.result == 0) {
            EXPECT_TRUE(LogHas(c.line)) << c.line;
            EXPECT_EQ(0u, g_dwMaxIndex);
        } else {
            EXPECT_EQ("2026-12-07 00:00:00", strTime);
            EXPECT_EQ(1u, g_dwMaxIndex);
        }
        ClearImlList();
    }
}

}  // namespace
