// The registry helpers and their retry rule.
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "LogFile.h"
#include "Reg.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

TEST_F(ZavTest, HelpersRoundTripAndRefuseOversizedText) {
    ASSERT_EQ(1, SetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", DWORD(4294967295u)));
    DWORD v = 0;
    ASSERT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "ReadEventNumber", v));
    EXPECT_EQ(4294967295u, v);
    const std::string t127(127, 't');
    ASSERT_EQ(1, SetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", t127.c_str()));
    EXPECT_EQ("sz:" + t127 + "\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ReadCreated"));
    char buf[128] = {};
    ASSERT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", buf));
    EXPECT_EQ(t127, buf);
    EXPECT_EQ(0, SetRegValue(ZAV_PARAMETERS_KEY, "ReadCreated", std::string(128, 'u').c_str()));
    EXPECT_EQ("sz:" + t127 + "\n", ReadValueFile(ZAV_PARAMETERS_KEY, "ReadCreated")) << "the old value stays";
    EXPECT_EQ(0, SetRegValue(nullptr, "X", DWORD(1)));
    EXPECT_EQ(0, GetRegValue(ZAV_PARAMETERS_KEY, nullptr, v));
    EXPECT_EQ(0, GetRegExpandSZValue(ZAV_LOG_KEY, "FilePath", nullptr));

    WriteValueFile(ZAV_LOG_KEY, "FilePath", "expand_sz:%ZavDir%/log/x.log\n");
    unsetenv("ZavDir");
    char path[4096] = {};
    ASSERT_EQ(1, GetRegExpandSZValue(ZAV_LOG_KEY, "FilePath", path));
    EXPECT_STREQ("/opt/kym/tolvex_sa/log/x.log", path);
    EXPECT_EQ(1, CheckSubKey(ZAV_PARAMETERS_KEY));
}

TEST_F(ZavTest, MissingValueAndMissingKeyFailAfterTheirRetries) {
    DWORD v = 42;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, GetRegValue(ZAV_PARAMETERS_KEY, "Missing", v));
    EXPECT_EQ(0, CheckSubKey("SOFTWARE\\NO\\SUCH"));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    EXPECT_EQ(42u, v);
    // Three attempts with a pause after each: both together cannot be quicker.
    EXPECT_GE(ms.count(), 2 * 3 * ZAV_REG_RETRY_WAIT);
}

// A value that appears while the helper is still retrying is read: the
// retries are real attempts, not one read and a sleep.
TEST_F(ZavTest, AValueAppearingDuringTheRetriesIsRead) {
    std::thread t([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        WriteValueFile(ZAV_PARAMETERS_KEY, "Late", "dword:7\n");
    });
    DWORD v = 0;
    EXPECT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "Late", v));
    EXPECT_EQ(7u, v);
    t.join();
}

// Several values in one call: stored in order up to the first that cannot be,
// each with its own retries.
TEST_F(ZavTest, SetRegValuesStoresInOrderUpToTheFirstFailure) {
    const std::string t128(128, 'u');
    const REGVALUEITEM refused[] = {{"A", 1, nullptr}, {"B", 0, t128.c_str()}, {"C", 3, nullptr}};
    DWORD dwStored = 9;
    EXPECT_EQ(0, SetRegValues(ZAV_PARAMETERS_KEY, refused, 3, dwStored));
    EXPECT_EQ(1u, dwStored);
    EXPECT_EQ(DWORD(ERANGE), GetLastError());
    EXPECT_EQ("dword:1\n", ReadValueFile(ZAV_PARAMETERS_KEY, "A"));
    EXPECT_EQ("", ReadValueFile(ZAV_PARAMETERS_KEY, "C"));

    // A folder in place of B until the second attempt: the retry stores it and what follows.
    const std::string strB = ValueFilePath(ZAV_PARAMETERS_KEY, "B");
    ASSERT_EQ(0, mkdir(strB.c_str(), 0755));
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        (void)rmdir(strB.c_str());
    });
    const REGVALUEITEM items[] = {{"A", 2, nullptr}, {"B", 0, "text"}, {"C", 3, nullptr}};
    EXPECT_EQ(1, SetRegValues(ZAV_PARAMETERS_KEY, items, 3, dwStored));
    t.join();
    EXPECT_EQ(3u, dwStored);
    EXPECT_EQ("dword:2\n", ReadValueFile(ZAV_PARAMETERS_KEY, "A"));
    EXPECT_EQ("sz:text\n", ReadValueFile(ZAV_PARAMETERS_KEY, "B"));
    EXPECT_EQ("dword:3\n", ReadValueFile(ZAV_PARAMETERS_KEY, "C"));
}
