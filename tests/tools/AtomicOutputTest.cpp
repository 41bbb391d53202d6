#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuse/AtomicOutput.h"
#include "support/FuseHelpers.h"

namespace {

// A committed output replaces the file whole; an abandoned one leaves the
// previous file and no temporary behind.
TEST(AtomicOutputTest, FileChangesOnlyOnCommit) {
    fuse_test::TempDir dir;
    const std::string path = dir.file("out.bin");
    fuse_test::writeText(path, "old");
    for (bool commit : {false, true}) {
        kelvane_fuse::AtomicOutput out;
        ASSERT_TRUE(out.open(path));
        ASSERT_TRUE(out.write("new and longer", 14));
        EXPECT_EQ(fuse_test::readBytes(path).size(), 3u);
        if (commit) {
            ASSERT_TRUE(out.commit()) << out.error();
        }
    }
    EXPECT_EQ(fuse_test::readBytes(path).size(), 14u);
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path()), 0);
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
