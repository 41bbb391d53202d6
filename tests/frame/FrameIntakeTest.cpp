#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/EngineFixture.h"
#include "support/FrameHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::PointData;
using fusion_test::makePoint;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kUp[3] = {0, 0, 1};

// The pipeline's first stage driven by hand, one step at a time.
class FrameIntake : public ::testing::Test {
protected:
    void SetUp() override { start(0.5f); }
    void start(float resolution) {
        engine = fusion_test::makeEngine(resolution);
        ASSERT_NE(engine, nullptr);
        buffer.reset(new fusion::Vertices[engine->updateBufferCapacity()]);
    }
    std::vector<int32_t> intake(const std::vector<PointData>& points) {
        ++engine->m_frame_counter;
        std::vector<int32_t> indices(points.size(), -2);
        engine->insertFramePoints(indices.data(), static_cast<int>(points.size()), points.data());
        return indices;
    }
    void grouped(const std::vector<PointData>& points, const std::vector<int32_t>& indices,
                 const std::vector<std::vector<int>>& views) {
        engine->prepareGrouped(points.data(), static_cast<int>(points.size()), views, indices.data(),
                               buffer.get(), updates);
    }
    void perPoint(const std::vector<int32_t>& indices) {
        engine->preparePerPoint(static_cast<int>(indices.size()), indices.data(), buffer.get(), updates);
    }
    FusionPoint& at(int32_t index) { return *engine->pointAt(index); }

    std::unique_ptr<fusion::HashTable> engine;
    std::unique_ptr<fusion::Vertices[]> buffer;
    std::atomic<int32_t> updates{0};
};

class IntakeValidity : public FrameIntake, public ::testing::WithParamInterface<std::pair<PointData, bool>> {};

TEST_P(IntakeValidity, RejectsUnusablePositionsWithTheirLine) {
    ::testing::internal::CaptureStdout();
    const int32_t index = intake({GetParam().first})[0];
    std::fflush(stdout);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(index >= 0, GetParam().second);
    EXPECT_EQ(printed, GetParam().second ? "" : "--- error data ---\n");
}

INSTANTIATE_TEST_SUITE_P(
    Positions, IntakeValidity,
    ::testing::Values(std::make_pair(makePoint(0, 0, 0, 0, 0, 1), false),
                      std::make_pair(makePoint(1e-8f, -1e-7f, 1.1e-7f, 0, 0, 1), false),
                      std::make_pair(makePoint(0, 0, 1e-3f, 0, 0, 1), true),
                      std::make_pair(makePoint(kNaN, 1, 1, 0, 0, 1), false),
                      std::make_pair(makePoint(1, -kInf, 1, 0, 0, 1), false),
                      std::make_pair(makePoint(1, 2, 3, kNaN, 0, 1), true)));

// Many threads pile points onto few records: each record is claimed by
// exactly one input point per frame.
TEST_F(FrameIntake, ConcurrentIntakeClaimsEachRecordOnce) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> spot(0.5f, 6.0f);
    std::vector<PointData> points;
    for (int i = 0; i < 20000; ++i) points.push_back(makePoint(spot(rng), spot(rng), 3, 0, 0, i % 3 ? 1.f : -1.f));
    for (int frame = 0; frame < 3; ++frame) {
        std::map<int32_t, int> claims;
        for (int32_t index : intake(points)) claims[index] += index >= 0 ? 1 : 0;
        claims.erase(-1);
        EXPECT_EQ(static_cast<int>(claims.size()), engine->m_point_next.load());
        for (const auto& claim : claims) EXPECT_EQ(claim.second, 1) << "record " << claim.first;
    }
}

struct RunCase {
    std::vector<std::vector<int>> views;
    int seed;                    // the frame point whose record is already confirmed
    std::vector<int> confirmed;  // frame points confirmed afterwards
};

class GroupedRuns : public FrameIntake, public ::testing::WithParamInterface<RunCase> {};

// Nine isolated points; one confirmed record accepts exactly its own run.
TEST_P(GroupedRuns, OneConfirmedPointAcceptsItsRun) {
    std::vector<PointData> points;
    for (int i = 0; i < 9; ++i) points.push_back(makePoint(10.0f * (i + 1), 5, 5, 0, 0, 1));
    const std::vector<int32_t> indices = intake(points);
    at(indices[GetParam().seed]).confirmed_flag = 1;
    grouped(points, indices, GetParam().views);
    std::vector<int> confirmed;
    for (int i = 0; i < 9; ++i) {
        if (at(indices[i]).confirmed_flag) confirmed.push_back(i);
    }
    EXPECT_EQ(confirmed, GetParam().confirmed);
    EXPECT_EQ(updates.load(), static_cast<int>(confirmed.size()));
}

INSTANTIATE_TEST_SUITE_P(Views, GroupedRuns,
                         ::testing::Values(RunCase{{{3, 0, 2}, {4}}, 4, {3, 4}},
                                           RunCase{{{3, 0, 2}, {4}}, 5, {5, 6, 7, 8}},
                                           RunCase{{{2}, {100}}, 8, {2, 3, 4, 5, 6, 7, 8}},  // past the end
                                           RunCase{{{9}, {4}}, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8}}));

class GroupedConfirmation : public FrameIntake,
                            public ::testing::WithParamInterface<std::pair<std::vector<int32_t>, bool>> {};

TEST_P(GroupedConfirmation, NeedsSixOlderNeighboursFromSeveralFrames) {
    std::vector<int32_t> older;
    for (std::size_t i = 0; i < GetParam().first.size(); ++i) {
        older.push_back(fusion_test::placeRecord(*engine, {38 + static_cast<int>(i) % 5, 41 + static_cast<int>(i) / 5, 40}, kUp, GetParam().first[i]));
    }
    engine->m_frame_counter = 20;
    const std::vector<PointData> points = {makePoint(20, 20, 20, 0, 0, 1), makePoint(80, 80, 80, 0, 0, 1)};
    const std::vector<int32_t> indices = intake(points);
    grouped(points, indices, {{2}});
    const int expected = GetParam().second ? 1 : 0;
    EXPECT_EQ(at(indices[1]).confirmed_flag, expected) << "the whole run follows";
    for (int32_t index : older) {
        EXPECT_EQ(at(index).confirmed_flag, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Stamps, GroupedConfirmation,
                         ::testing::Values(std::make_pair(std::vector<int32_t>{3, 3, 3, 4, 4, 4}, true),
                                           std::make_pair(std::vector<int32_t>{7, 7, 7, 7, 7, 7}, false),
                                           std::make_pair(std::vector<int32_t>{3, 4, 3, 4, 3}, false)));

TEST_F(FrameIntake, GradeKeepsTheHigherNibblesAndStopsAtTheLimit) {
    // Tier 1 (resolution 0.5) tuned so one 12-cell, 4-octant mask grades 0x1B05.
    const int32_t tuning[8] = {6, 2, 1, 100, 2, 8, 10, 12};
    std::copy(tuning, tuning + 8, engine->m_global_params->device_tuning + 8);
    const int32_t index = fusion_test::placeRecord(*engine, {4, 4, 4}, kUp, 1, 0xFFF);
    at(index).quality_code = 0x3A21;
    updates = engine->handOffLimit() - 1;  // 179,989 with the default frame limit
    EXPECT_EQ(engine->gradePoint(&at(index), index, buffer.get(), updates), 0);
    EXPECT_EQ(at(index).quality_code, 0x3B25);
    EXPECT_EQ(buffer[179989].quality_code, 0x3B25);
    EXPECT_EQ(engine->gradePoint(&at(index), index, buffer.get(), updates), 1);
    EXPECT_EQ(updates.load(), 179990);
}

struct PerPointCase {
    float resolution;
    int older, current;
    bool confirmed;
};

class PerPointConfirmation : public FrameIntake, public ::testing::WithParamInterface<PerPointCase> {};

TEST_P(PerPointConfirmation, CountsNeighboursAgainstTheThreshold) {
    const PerPointCase c = GetParam();
    start(c.resolution);
    engine->m_frame_counter = 19;
    for (int i = 0; i < c.older + c.current; ++i) {
        fusion_test::placeRecord(*engine, {98 + i % 5, 101 + i / 5, 100}, kUp, i < c.older ? 3 : 20);
    }
    const std::vector<int32_t> indices = intake({makePoint(100 * c.resolution, 100 * c.resolution, 100 * c.resolution, 0, 0, 1)});
    perPoint(indices);
    EXPECT_EQ(at(indices[0]).confirmed_flag, c.confirmed ? 1 : 0);
    EXPECT_EQ(updates.load(), c.confirmed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, PerPointConfirmation,
                         ::testing::Values(PerPointCase{0.5f, 6, 0, true}, PerPointCase{0.5f, 5, 4, false},
                                           PerPointCase{0.05f, 3, 2, true}, PerPointCase{0.05f, 2, 2, false},
                                           PerPointCase{0.03f, 1, 1, true}, PerPointCase{0.03f, 1, 0, false}));

// Judging off: grouped mode replaces the code by 0x000F, per-point mode ORs
// it in; early frames hand unconfirmed points on as well.
TEST_F(FrameIntake, ModesDifferWithJudgingOff) {
    engine->setQualityJudge(false);
    engine->m_frame_counter = 30;
    const std::vector<PointData> points = {makePoint(3, 3, 3, 0, 0, 1)};
    std::vector<int32_t> indices = intake(points);
    at(indices[0]).confirmed_flag = 1;
    at(indices[0]).quality_code = 0x3A20;
    grouped(points, indices, {{1}});
    EXPECT_EQ(at(indices[0]).quality_code, 0x000F);
    at(indices[0]).quality_code = 0x3A20;
    perPoint(intake(points));
    EXPECT_EQ(at(indices[0]).quality_code, 0x3A2F);

    engine->m_frame_counter = 3;
    indices = intake({makePoint(9, 9, 9, 0, 0, 1)});
    perPoint(indices);
    EXPECT_EQ(at(indices[0]).confirmed_flag, 0);
    EXPECT_EQ(updates.load(), 3);
}

}  // namespace
