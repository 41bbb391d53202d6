#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuse/NaturalOrder.h"

namespace {

using kelvane_fuse::naturalLess;

TEST(NaturalOrderTest, SortsFrameNamesAsAPersonNumbersThem) {
    std::vector<std::string> names = {"frame10.ply", "Frame2.PLY", "frame1.ply", "frame_b.ply",
                                      "frame002.ply", "frame2a.ply", "frame100.ply", "a.ply", "frame_a.ply"};
    std::sort(names.begin(), names.end(), naturalLess);
    const std::vector<std::string> expected = {"a.ply", "frame1.ply", "Frame2.PLY", "frame002.ply", "frame2a.ply",
                                               "frame10.ply", "frame100.ply", "frame_a.ply", "frame_b.ply"};
    EXPECT_EQ(names, expected);
}

// A strict weak order, as std::sort relies on: a before b, never both ways,
// and no name before itself.
TEST(NaturalOrderTest, IsStrict) {
    const std::pair<const char*, const char*> ordered[] = {
        {"9", "10"}, {"x9y", "x10y"}, {"7", "007"}, {"scan", "scan0"}, {"A1", "a1"}, {"", "0"},
        {"99999999999999999999", "100000000000000000000"}, {"f1_2", "f1_10"}};
    for (const auto& [a, b] : ordered) {
        SCOPED_TRACE(std::string(a) + " < " + b);
        EXPECT_TRUE(naturalLess(a, b));
        EXPECT_FALSE(naturalLess(b, a));
        EXPECT_FALSE(naturalLess(a, a));
    }
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
