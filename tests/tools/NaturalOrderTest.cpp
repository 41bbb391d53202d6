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
    const std::vector<std::string> expected = {"a.ply",        "frame1.ply",   "Frame2.PLY",
                                               "frame002.ply", "frame2a.ply",  "frame10.ply",
                                               "frame100.ply", "frame_a.ply",  "frame_b.ply"};
    EXPECT_EQ(names, expected);
}

struct Pair {
    const char* a;
    const char* b;
};

class StrictOrderTest : public ::testing::TestWithParam<Pair> {};

// a strictly before b, never both ways: std::sort relies on it.
TEST_P(StrictOrderTest, OneDirectionOnly) {
    EXPECT_TRUE(naturalLess(GetParam().a, GetParam().b));
    EXPECT_FALSE(naturalLess(GetParam().b, GetParam().a));
}

INSTANTIATE_TEST_SUITE_P(Cases, StrictOrderTest,
                         ::testing::Values(Pair{"9", "10"}, Pair{"x9y", "x10y"}, Pair{"7", "007"},
                                           Pair{"scan", "scan0"}, Pair{"A1", "a1"}, Pair{"", "0"},
                                           Pair{"99999999999999999999", "100000000000000000000"},
                                           Pair{"f1_2", "f1_10"}));

TEST(NaturalOrderTest, NameIsNotBeforeItself) {
    for (const char* name : {"", "frame12.ply", "007"}) {
        EXPECT_FALSE(naturalLess(name, name));
    }
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
