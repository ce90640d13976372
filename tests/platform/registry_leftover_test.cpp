// A write killed before its rename leaves a temporary file; the next write of
// that value removes old leftovers but never a fresh one (another writer's).
#include <sys/stat.h>
#include <utime.h>

#include "Reg.h"
#include "TestSupport.h"
#include "zavsmsrv.h"

TEST_F(ZavTest, OldTemporaryFilesOfAValueAreRemovedByItsNextWrite) {
    const std::string strValue = ValueFilePath(ZAV_PARAMETERS_KEY, "CheckedTime");
    const std::string strOld = strValue + ".tmpAAAAAA", strFresh = strValue + ".tmpBBBBBB";
    const std::string strOther = ValueFilePath(ZAV_PARAMETERS_KEY, "ReadCreated") + ".tmpCCCCCC";
    for (const auto &p : {strOld, strFresh, strOther}) WriteFile(p, "sz:torn");
    struct utimbuf old {};
    old.actime = old.modtime = time(nullptr) - 3600;
    ASSERT_EQ(0, utime(strOld.c_str(), &old));
    ASSERT_EQ(0, utime(strOther.c_str(), &old));

    ASSERT_EQ(1, SetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", "2026-12-07 00:00:00"));
    struct stat st {};
    EXPECT_NE(0, stat(strOld.c_str(), &st)) << "old leftover kept";
    EXPECT_EQ(0, stat(strFresh.c_str(), &st)) << "a fresh temporary file may be another writer's";
    EXPECT_EQ(0, stat(strOther.c_str(), &st)) << "another value's leftover is that value's business";
    char buf[128] = {};
    ASSERT_EQ(1, GetRegValue(ZAV_PARAMETERS_KEY, "CheckedTime", buf));
    EXPECT_STREQ("2026-12-07 00:00:00", buf);
}
