#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuse/AtomicOutput.h"
#include "support/FuseHelpers.h"

namespace {

TEST(AtomicOutputTest, FileAppearsOnlyOnCommit) {
    fuse_test::TempDir dir;
    const std::string path = dir.file("out.bin");
    kelvane_fuse::AtomicOutput out;
    ASSERT_TRUE(out.open(path));
    ASSERT_TRUE(out.write("abc", 3));
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_TRUE(out.commit()) << out.error();
    EXPECT_EQ(fuse_test::readBytes(path), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_FALSE(std::filesystem::exists(out.temporaryPath()));
}

TEST(AtomicOutputTest, AbandonedOutputKeepsThePreviousFile) {
    fuse_test::TempDir dir;
    const std::string path = dir.file("out.bin");
    fuse_test::writeText(path, "old");
    {
        kelvane_fuse::AtomicOutput out;
        ASSERT_TRUE(out.open(path));
        ASSERT_TRUE(out.write("new and longer", 14));
    }
    EXPECT_EQ(fuse_test::readBytes(path), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(fuse_test::countFilesEndingWith(dir.path(), ".partial"), 0);
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
