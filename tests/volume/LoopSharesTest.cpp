// Loop shares: every iteration handed out exactly once; a member works
// through its own share before it takes from the others' backs.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
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

TEST(LoopSharesConcurrent, EveryIterationExactlyOnce) {
    for (const int members : {2, 3, 8}) {
        for (const int chunk : {1, 5, 64}) {
            const int count = 20011;
            LoopShares shares(count, members, chunk);
            std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
            for (auto& s : seen) s.store(0);
            std::vector<std::thread> team;
            for (int m = 0; m < members; ++m) {
                team.emplace_back([&, m] {
                    int begin = 0, end = 0;
                    while (shares.next(m, begin, end))
                        for (int i = begin; i < end; ++i) seen[static_cast<std::size_t>(i)]++;
                });
            }
            for (auto& t : team) t.join();
            int wrong = 0;
            for (auto& s : seen) wrong += s.load() != 1;
            EXPECT_EQ(wrong, 0) << members << " members, chunks of " << chunk;
        }
    }
}

}  // namespace
