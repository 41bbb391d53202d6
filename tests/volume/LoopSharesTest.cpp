// Loop shares in one thread (FrameTeamConcurrent runs them on a real team).

#include <gtest/gtest.h>

#include <vector>

#include "volume/LoopShares.h"

namespace {

using fusion::LoopShares;

// More members than shares: the extra ones only take from the backs.
TEST(LoopShares, OwnShareFirstThenTheOthersFromTheBack) {
    LoopShares shares(100, 2, 30);
    std::vector<std::pair<int, int>> taken;
    int begin = 0, end = 0;
    while (shares.next(0, begin, end)) taken.emplace_back(begin, end);
    const std::vector<std::pair<int, int>> expected = {{0, 30}, {30, 50}, {70, 100}, {50, 70}};
    EXPECT_EQ(taken, expected);
    EXPECT_FALSE(shares.next(1, begin, end));
    LoopShares none(0, 4, 8);
    EXPECT_FALSE(none.next(0, begin, end));
    const int members = LoopShares::kMaxShares + 3;
    LoopShares many(1000, members, 7);
    std::vector<int> seen(1000, 0);
    while (many.next(members - 1, begin, end)) {
        ASSERT_LT(begin, end);
        for (int i = begin; i < end; ++i) ++seen[static_cast<std::size_t>(i)];
    }
    for (int count : seen) ASSERT_EQ(count, 1);
}

}  // namespace
