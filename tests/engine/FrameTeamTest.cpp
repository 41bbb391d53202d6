// The frame team: the caller always works, helpers join only while no second
// stage runs, and every iteration runs exactly once.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "engine/FrameTeam.h"
#include "volume/LoopShares.h"

namespace {

using fusion::FrameTeam;
using fusion::LoopShares;

// Runs `count` iterations; how often each ran and which members took part. With
// `await_helper` the caller waits (seconds at most) for a helper to join.
std::vector<int> runLoop(FrameTeam& team, int count, std::set<int>& members,
                         bool await_helper = false) {
    std::vector<std::atomic<int>> seen(static_cast<std::size_t>(count));
    for (auto& s : seen) s.store(0);
    std::atomic<unsigned> who{0};
    LoopShares shares(count, team.size(), 7);
    team.run([&](int member) {
        who.fetch_or(1u << member);
        if (await_helper && member == 0) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (who.load() == 1u && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        }
        int begin = 0, end = 0;
        while (team.keepGoing(member) && shares.next(member, begin, end)) {
            for (int i = begin; i < end; ++i) {
                seen[static_cast<std::size_t>(i)].fetch_add(1);
                // Slow enough that helpers woken by the loop find work left.
                if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        }
    });
    members.clear();
    for (int m = 0; m < team.size(); ++m)
        if (who.load() & (1u << m)) members.insert(m);
    std::vector<int> counts;
    for (auto& s : seen) counts.push_back(s.load());
    return counts;
}

TEST(FrameTeamConcurrent, EveryIterationOnceAndHelpersJoin) {
    FrameTeam team(3);
    ASSERT_EQ(team.size(), 4);
    bool helpers_joined = false;
    for (int round = 0; round < 20; ++round) {
        std::set<int> members;
        const std::vector<int> counts = runLoop(team, 5000, members, round == 0);
        for (int c : counts) ASSERT_EQ(c, 1);
        EXPECT_TRUE(members.count(0)) << "the caller always runs the body";
        helpers_joined = helpers_joined || members.size() > 1;
    }
    EXPECT_TRUE(helpers_joined);
}

TEST(FrameTeamConcurrent, HelpersStayOutWhileASecondStageRuns) {
    FrameTeam team(2);
    team.stageStarted();
    for (int round = 0; round < 5; ++round) {
        std::set<int> members;
        const std::vector<int> counts = runLoop(team, 3000, members);
        for (int c : counts) ASSERT_EQ(c, 1);
        EXPECT_EQ(members, std::set<int>{0}) << "the stage keeps its processor";
        EXPECT_FALSE(team.keepGoing(1));
        EXPECT_TRUE(team.keepGoing(0));
    }
    team.stageEnded();
    EXPECT_TRUE(team.keepGoing(1));
    std::set<int> members;
    EXPECT_TRUE(runLoop(team, 0, members).empty());
    FrameTeam solo(0);
    EXPECT_EQ(solo.size(), 1);
    EXPECT_EQ(runLoop(solo, 100, members), std::vector<int>(100, 1));
    EXPECT_EQ(members, std::set<int>{0});
}

}  // namespace
