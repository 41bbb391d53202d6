#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "support/EngineFixture.h"
#include "support/FrameHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using fusion::Vertices;
using fusion_test::makePoint;
using fusion_test::makeRecord;
using fusion_test::placeRecord;
using fusion_test::voxelCentre;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// An engine plus one frame's update buffer, with the pipeline's steps done
// by hand so each stage can be driven on its own.
class FrameIntake : public ::testing::Test {
protected:
    void SetUp() override { start(0.5f); }

    void start(float resolution) {
        engine = fusion_test::makeEngine(resolution);
        ASSERT_NE(engine, nullptr);
        buffer.reset(new Vertices[engine->updateBufferCapacity()]);
        update_count = 0;
    }

    std::vector<int32_t> intake(const std::vector<PointData>& points) {
        ++engine->m_frame_counter;
        std::vector<int32_t> indices(points.size(), -2);
        engine->insertFramePoints(indices.data(), static_cast<int>(points.size()), points.data());
        return indices;
    }

    int grouped(const std::vector<PointData>& points, const std::vector<int32_t>& indices,
                const std::vector<std::vector<int>>& views) {
        return engine->prepareGrouped(points.data(), static_cast<int>(points.size()), views,
                                      indices.data(), buffer.get(), update_count);
    }

    int perPoint(const std::vector<int32_t>& indices) {
        return engine->preparePerPoint(static_cast<int>(indices.size()), indices.data(), buffer.get(),
                                       update_count);
    }

    FusionPoint& stored(int32_t index) { return *engine->pointAt(index); }

    // Places a record at voxel c (a neighbour that an earlier frame left).
    int32_t placeOlder(const Int3& c, int32_t stamp, uint64_t mask = 0x1) {
        float position[3];
        voxelCentre(c, engine->m_resolution, position);
        const float up[3] = {0, 0, 1};
        return placeRecord(*engine, c, makeRecord(position, up, stamp, mask));
    }

    std::unique_ptr<HashTable> engine;
    std::unique_ptr<Vertices[]> buffer;
    std::atomic<int32_t> update_count{0};
};

// ---------------------------------------------------------------------------
// Intake.

struct InputCase {
    const char* name;
    PointData point;
    bool accepted;
};

class IntakeValidity : public FrameIntake, public ::testing::WithParamInterface<InputCase> {};

TEST_P(IntakeValidity, InvalidPositionsAreRejectedWithTheirLine) {
    ::testing::internal::CaptureStdout();
    const std::vector<int32_t> indices = intake({GetParam().point});
    std::fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (GetParam().accepted) {
        EXPECT_GE(indices[0], 0);
        EXPECT_EQ(out.find("--- error data ---\n"), std::string::npos);
    } else {
        EXPECT_EQ(indices[0], -1);
        EXPECT_EQ(out, "--- error data ---\n");
        EXPECT_EQ(engine->m_point_next.load(), 0) << "a rejected point stores nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, IntakeValidity,
    ::testing::Values(InputCase{"origin", makePoint(0, 0, 0, 0, 0, 1), false},
                      InputCase{"belowEpsilon", makePoint(1e-8f, -1e-7f, 1.1e-7f, 0, 0, 1), false},
                      InputCase{"smallButValid", makePoint(0, 0, 1e-3f, 0, 0, 1), true},
                      InputCase{"nanX", makePoint(kNaN, 1, 1, 0, 0, 1), false},
                      InputCase{"infZ", makePoint(1, 1, kInf, 0, 0, 1), false},
                      InputCase{"minusInfY", makePoint(1, -kInf, 1, 0, 0, 1), false},
                      InputCase{"nanNormal", makePoint(1, 2, 3, kNaN, 0, 1), true}),
    [](const ::testing::TestParamInfo<InputCase>& info) { return std::string(info.param.name); });

TEST_F(FrameIntake, TemplateCarriesLevelProtectionAndTheFrameStamp) {
    const std::vector<PointData> points = {
        makePoint(1, 1, 1, 0, 0, 1, 16),          // fine level kept
        makePoint(2, 2, 2, 0, 0, 1, 3),           // not a power of two: 8
        makePoint(3, 3, 3, 0, 0, 1, 0x0100 | 64),  // protected, level 64
        makePoint(4, 4, 4, 0, 0, 1, 0x7F000200),  // bits above 15 ignored
    };
    const std::vector<int32_t> indices = intake(points);
    const uint8_t levels[] = {16, 8, 64, 8};
    const uint8_t protection[] = {0, 0, 1, 2};
    for (int i = 0; i < 4; ++i) {
        ASSERT_GE(indices[i], 0);
        const FusionPoint& p = stored(indices[i]);
        EXPECT_EQ(p.scan_level, levels[i]) << i;
        EXPECT_EQ(p.protected_flag, protection[i]) << i;
        EXPECT_EQ(p.frame_stamp, engine->m_frame_counter);
        EXPECT_EQ(p.observation_count, 1);
        EXPECT_EQ(p.view_id, -1);
        EXPECT_EQ(p.quality_code, 0);
        EXPECT_EQ(p.confirmed_flag, 0);
        EXPECT_FLOAT_EQ(p.position[0], points[i].position[0]);
    }
}

TEST_F(FrameIntake, PointsSharingARecordListItOncePerFrame) {
    const std::vector<PointData> points = {makePoint(1.0f, 1.0f, 1.0f, 0, 0, 1),
                                           makePoint(1.05f, 1.0f, 1.0f, 0, 0.2f, 1),
                                           makePoint(1.0f, 1.0f, 1.0f, 0, 0, -1)};  // other side
    std::vector<int32_t> indices = intake(points);
    // The loop is parallel: either of the first two may win the record.
    const int32_t shared = std::max(indices[0], indices[1]);
    EXPECT_EQ(std::min(indices[0], indices[1]), -1);
    ASSERT_GE(shared, 0);
    EXPECT_GE(indices[2], 0);
    EXPECT_NE(indices[2], shared);
    EXPECT_EQ(stored(shared).observation_count, 2);

    // The next frame lists the record again.
    indices = intake({points[1]});
    EXPECT_GE(indices[0], 0);
}

// Many threads pile points onto few records; each record must be claimed
// by exactly one input point per frame.
TEST_F(FrameIntake, ConcurrentIntakeClaimsEachRecordOnce) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> cell(1, 12);
    std::uniform_real_distribution<float> jitter(-0.2f, 0.2f);
    std::vector<PointData> points;
    for (int i = 0; i < 20000; ++i) {
        const float nz = (i % 3 == 0) ? -1.0f : 1.0f;
        points.push_back(makePoint(cell(rng) * 0.5f + jitter(rng), cell(rng) * 0.5f + jitter(rng),
                                   3.0f + jitter(rng), 0, 0, nz));
    }
    for (int frame = 0; frame < 3; ++frame) {
        const std::vector<int32_t> indices = intake(points);
        std::map<int32_t, int> claims;
        for (int32_t index : indices) {
            if (index >= 0) ++claims[index];
        }
        const int records = engine->m_point_next.load();
        EXPECT_EQ(static_cast<int>(claims.size()), records) << "every record claimed, frame " << frame;
        for (const auto& claim : claims) EXPECT_EQ(claim.second, 1) << "record " << claim.first;
    }
}

// ---------------------------------------------------------------------------
// Grouped mode: runs.

TEST_F(FrameIntake, GroupedRejectsMissingInputWithItsLine) {
    const std::vector<PointData> points = {makePoint(1, 1, 1, 0, 0, 1)};
    const std::vector<int32_t> indices = intake(points);
    const std::vector<std::vector<int>> no_views;
    for (int variant = 0; variant < 3; ++variant) {
        ::testing::internal::CaptureStdout();
        int result = 0;
        if (variant == 0) result = engine->prepareGrouped(nullptr, 1, {{1}}, indices.data(), buffer.get(), update_count);
        if (variant == 1) result = engine->prepareGrouped(points.data(), 0, {{1}}, indices.data(), buffer.get(), update_count);
        if (variant == 2) result = grouped(points, indices, no_views);
        std::fflush(stdout);
        EXPECT_EQ(result, 1) << variant;
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "input data is nullptr！\n") << variant;
    }
    EXPECT_EQ(update_count.load(), 0);
}

struct RunCase {
    std::vector<std::vector<int>> views;
    int seed_point;                 // the point whose record is already confirmed
    std::vector<int> confirmed;     // frame points confirmed afterwards
};

class GroupedRuns : public FrameIntake, public ::testing::WithParamInterface<RunCase> {};

// Nine isolated points; confirming one point's record must accept exactly
// the run it belongs to.
TEST_P(GroupedRuns, OneConfirmedPointAcceptsItsWholeRun) {
    std::vector<PointData> points;
    for (int i = 0; i < 9; ++i) points.push_back(makePoint(10.0f * (i + 1), 5, 5, 0, 0, 1));
    const std::vector<int32_t> indices = intake(points);
    stored(indices[GetParam().seed_point]).confirmed_flag = 1;

    EXPECT_EQ(grouped(points, indices, GetParam().views), 0);
    std::vector<int> confirmed;
    for (int i = 0; i < 9; ++i) {
        if (stored(indices[i]).confirmed_flag == 1) confirmed.push_back(i);
    }
    EXPECT_EQ(confirmed, GetParam().confirmed);
    EXPECT_EQ(update_count.load(), static_cast<int>(GetParam().confirmed.size()))
        << "every point of the accepted run is graded and handed on";
}

INSTANTIATE_TEST_SUITE_P(
    Views, GroupedRuns,
    ::testing::Values(RunCase{{{3, 0, 2}, {4}}, 2, {0, 1, 2}}, RunCase{{{3, 0, 2}, {4}}, 4, {3, 4}},
                      RunCase{{{3, 0, 2}, {4}}, 5, {5, 6, 7, 8}},
                      RunCase{{{3, -1}, {}, {6}}, 3, {3, 4, 5, 6, 7, 8}},
                      // More points described than the frame holds: cut at the end.
                      RunCase{{{2}, {100}}, 8, {2, 3, 4, 5, 6, 7, 8}},
                      RunCase{{{9}, {4, 4}}, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8}}));

struct ConfirmCase {
    std::vector<int32_t> older_stamps;
    bool accepted;
};

class GroupedConfirmation : public FrameIntake, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(GroupedConfirmation, RunNeedsSixOlderNeighboursFromMixedFrames) {
    const Int3 spots[] = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {1, 1, 0}, {-1, -1, 0}, {2, 0, 0}};
    std::vector<int32_t> older;
    for (std::size_t i = 0; i < GetParam().older_stamps.size(); ++i) {
        older.push_back(placeOlder({40 + spots[i].x, 40 + spots[i].y, 40}, GetParam().older_stamps[i]));
    }
    engine->m_frame_counter = 20;
    const std::vector<PointData> points = {makePoint(20.0f, 20.0f, 20.0f, 0, 0, 1),
                                           makePoint(80.0f, 80.0f, 80.0f, 0, 0, 1)};
    const std::vector<int32_t> indices = intake(points);

    grouped(points, indices, {{2}});
    EXPECT_EQ(stored(indices[0]).confirmed_flag, GetParam().accepted ? 1 : 0);
    EXPECT_EQ(stored(indices[1]).confirmed_flag, GetParam().accepted ? 1 : 0);
    for (int32_t index : older) {
        EXPECT_EQ(stored(index).confirmed_flag, GetParam().accepted ? 1 : 0)
            << "the older neighbours of an accepting scan are confirmed too";
    }
}

INSTANTIATE_TEST_SUITE_P(Neighbours, GroupedConfirmation,
                         ::testing::Values(ConfirmCase{{3, 3, 3, 4, 4, 4}, true},
                                           ConfirmCase{{7, 7, 7, 7, 7, 7}, false},
                                           ConfirmCase{{3, 4, 3, 4, 3}, false},
                                           ConfirmCase{{1, 2, 3, 4, 5, 6, 7}, true}));

// ---------------------------------------------------------------------------
// Grading and hand-off, one point at a time.

TEST_F(FrameIntake, GradeKeepsTheHigherOfStoredAndNewNibbles) {
    // Tier 1 (resolution 0.5) tuned so that one 12-cell, 4-octant mask
    // grades 0x1B05.
    int32_t* tier = engine->m_global_params->device_tuning + 8;
    const int32_t tuning[8] = {6, 2, 1, 100, 2, 8, 10, 12};
    std::copy(tuning, tuning + 8, tier);
    const int32_t index = placeOlder({4, 4, 4}, 1, 0xFFF);
    FusionPoint& p = stored(index);
    p.quality_code = 0x3A21;

    EXPECT_EQ(engine->gradePoint(&p, index, buffer.get(), update_count), 0);
    EXPECT_EQ(p.quality_code, 0x3B25);
    ASSERT_EQ(update_count.load(), 1);
    EXPECT_EQ(buffer[0].quality_code, 0x3B25);
    EXPECT_EQ(buffer[0].state, 0);
    EXPECT_EQ(buffer[0].view_id, p.view_id);
}

TEST_F(FrameIntake, GradeRefusesMissingPointsAndLonelyOnes) {
    FusionPoint lonely = makeRecord(std::vector<float>{5, 5, 5}.data(), std::vector<float>{0, 0, 1}.data(), 1);
    EXPECT_EQ(engine->gradePoint(nullptr, 3, buffer.get(), update_count), 1);
    EXPECT_EQ(engine->gradePoint(&lonely, -1, buffer.get(), update_count), 1);
    // Not in the volume: the walk finds nothing around it.
    EXPECT_EQ(engine->gradePoint(&lonely, 0, buffer.get(), update_count), 1);
    EXPECT_EQ(update_count.load(), 0);
}

struct SaturationCase {
    uint16_t quality;
    uint16_t observations;
    uint8_t absorbed;
    uint16_t expected;
};

class GradeSaturation : public FrameIntake, public ::testing::WithParamInterface<SaturationCase> {};

TEST_P(GradeSaturation, FullTopGradeHeavyOrAbsorbedPointsSaturate) {
    // No sub-cell hits: the computed code is 0, so only saturation shows.
    const int32_t index = placeOlder({4, 4, 4}, 1, 0);
    FusionPoint& p = stored(index);
    p.quality_code = GetParam().quality;
    p.observation_count = GetParam().observations;
    p.absorbed_flag = GetParam().absorbed;
    EXPECT_EQ(engine->gradePoint(&p, index, buffer.get(), update_count), 0);
    EXPECT_EQ(p.quality_code, GetParam().expected);
    EXPECT_EQ(update_count.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, GradeSaturation,
                         ::testing::Values(SaturationCase{0xF000, 1, 0, 0xFFFF},
                                           SaturationCase{0x0000, 101, 0, 0xFFFF},
                                           SaturationCase{0x0000, 100, 0, 0x0000},
                                           SaturationCase{0x0000, 1, 1, 0xFFFF},
                                           SaturationCase{0xE000, 1, 0, 0xE000}));

struct LimitCase {
    int32_t start;
    bool handed_on;
};

class HandOffLimit : public FrameIntake, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(HandOffLimit, RefusedOnceTheCountReachesTheLimit) {
    ASSERT_EQ(engine->m_global_params->max_frame_point_num, 60000);
    EXPECT_EQ(engine->handOffLimit(), 179990);
    EXPECT_EQ(engine->updateBufferCapacity(), 180000);
    const int32_t index = placeOlder({4, 4, 4}, 1, 0xFF);
    update_count = GetParam().start;
    const int result = engine->gradePoint(&stored(index), index, buffer.get(), update_count);
    EXPECT_EQ(result, GetParam().handed_on ? 0 : 1);
    EXPECT_EQ(update_count.load(), GetParam().start + (GetParam().handed_on ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Counts, HandOffLimit,
                         ::testing::Values(LimitCase{0, true}, LimitCase{179989, true},
                                           LimitCase{179990, false}, LimitCase{179999, false}));

// ---------------------------------------------------------------------------
// Per-point mode.

struct PerPointCase {
    float resolution;
    int older;
    int current;
    bool confirmed;
};

class PerPointConfirmation : public FrameIntake, public ::testing::WithParamInterface<PerPointCase> {};

TEST_P(PerPointConfirmation, NeighbourCountAgainstTheThreshold) {
    start(GetParam().resolution);
    const Int3 spots[] = {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {1, 1, 0}, {-1, -1, 0},
                          {2, 0, 0}, {0, 2, 0}, {-2, 0, 0}, {0, -2, 0}};
    engine->m_frame_counter = 19;  // intake makes it frame 20
    int spot = 0;
    for (int i = 0; i < GetParam().older; ++i) {
        placeOlder({100 + spots[spot].x, 100 + spots[spot].y, 100}, 3);
        ++spot;
    }
    for (int i = 0; i < GetParam().current; ++i) {
        placeOlder({100 + spots[spot].x, 100 + spots[spot].y, 100}, 20);
        ++spot;
    }
    const float r = GetParam().resolution;
    const std::vector<int32_t> indices = intake({makePoint(100 * r, 100 * r, 100 * r, 0, 0, 1)});
    ASSERT_GE(indices[0], 0);

    EXPECT_EQ(perPoint(indices), 0);
    EXPECT_EQ(stored(indices[0]).confirmed_flag, GetParam().confirmed ? 1 : 0);
    EXPECT_EQ(update_count.load(), GetParam().confirmed ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Resolutions, PerPointConfirmation,
                         ::testing::Values(PerPointCase{0.5f, 6, 0, true}, PerPointCase{0.5f, 5, 4, false},
                                           PerPointCase{0.05f, 3, 2, true}, PerPointCase{0.05f, 2, 2, false},
                                           PerPointCase{0.03f, 1, 1, true}, PerPointCase{0.03f, 1, 0, false}));

struct EarlyFrameCase {
    float resolution;
    int32_t frame;
    bool handed_on;
};

class PerPointUnconfirmed : public FrameIntake, public ::testing::WithParamInterface<EarlyFrameCase> {};

TEST_P(PerPointUnconfirmed, EarlyFramesAndFineResolutionsHandOnUnconfirmedPoints) {
    start(GetParam().resolution);
    engine->m_frame_counter = GetParam().frame - 1;
    const std::vector<int32_t> indices = intake({makePoint(3, 3, 3, 0, 0, 1)});
    perPoint(indices);
    EXPECT_EQ(stored(indices[0]).confirmed_flag, 0);
    EXPECT_EQ(update_count.load(), GetParam().handed_on ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Frames, PerPointUnconfirmed,
                         ::testing::Values(EarlyFrameCase{0.5f, 1, true}, EarlyFrameCase{0.5f, 9, true},
                                           EarlyFrameCase{0.5f, 10, false}, EarlyFrameCase{0.025f, 10, true},
                                           EarlyFrameCase{0.03f, 50, false}));

TEST_F(FrameIntake, PerPointRegradesFineConfirmedPointsOnlyAtOddPositions) {
    engine->m_frame_counter = 30;
    // Level 16 at resolution 0.5: a sub-voxel edge of 0.25.
    const std::vector<PointData> points = {makePoint(3, 3, 3, 0, 0, 1, 16), makePoint(9, 9, 9, 0, 0, 1, 16)};
    const std::vector<int32_t> indices = intake(points);
    stored(indices[0]).confirmed_flag = 1;
    stored(indices[1]).confirmed_flag = 1;
    perPoint(indices);
    // Position 0 is handed on as it is; position 1 is scanned, finds no
    // older neighbour and is not handed on.
    ASSERT_EQ(update_count.load(), 1);
    EXPECT_FLOAT_EQ(buffer[0].position[0], 3.0f);
}

TEST_F(FrameIntake, PerPointSaturatesOnlyAfterTwoNormalUpdates) {
    engine->m_frame_counter = 30;
    const std::vector<int32_t> indices =
        intake({makePoint(3, 3, 3, 0, 0, 1), makePoint(9, 9, 9, 0, 0, 1)});
    stored(indices[0]).quality_code = 0xF123;
    stored(indices[0]).normal_update_count = 2;
    stored(indices[1]).quality_code = 0xF123;
    stored(indices[1]).normal_update_count = 1;
    perPoint(indices);
    EXPECT_EQ(stored(indices[0]).quality_code, 0xFFFF);
    EXPECT_EQ(stored(indices[1]).quality_code, 0xF123);
    EXPECT_EQ(update_count.load(), 1);
}

// With judging off a confirmed ordinary point gets grade 15 on the ordinary
// level: grouped mode replaces the code, per-point mode keeps the rest.
TEST_F(FrameIntake, JudgingOffGradesOrdinaryPointsByMode) {
    engine->setQualityJudge(false);
    engine->m_frame_counter = 30;
    const std::vector<PointData> points = {makePoint(3, 3, 3, 0, 0, 1)};
    std::vector<int32_t> indices = intake(points);
    FusionPoint& p = stored(indices[0]);
    p.confirmed_flag = 1;
    p.quality_code = 0x3A20;
    grouped(points, indices, {{1}});
    EXPECT_EQ(p.quality_code, 0x000F);

    p.quality_code = 0x3A20;
    indices = intake(points);
    perPoint(indices);
    EXPECT_EQ(p.quality_code, 0x3A2F);
    EXPECT_EQ(update_count.load(), 2);
}

TEST_F(FrameIntake, PerPointWithoutPointsDoesNothing) {
    EXPECT_EQ(engine->preparePerPoint(0, nullptr, buffer.get(), update_count), 1);
    const int32_t none = -1;
    EXPECT_EQ(engine->preparePerPoint(0, &none, buffer.get(), update_count), 1);
    EXPECT_EQ(engine->preparePerPoint(1, nullptr, buffer.get(), update_count), 1);
    EXPECT_EQ(engine->preparePerPoint(1, &none, buffer.get(), update_count), 0);
    EXPECT_EQ(update_count.load(), 0);
}

}  // namespace
