// The first stage driven by hand: intake, confirmation, grading, hand-off.

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/FrameTeam.h"
#include "frame/FrameIntake.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;
using fusion::FrameStage;
using fusion::NeighbourList;

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kUp[3] = {0, 0, 1};

struct Frames {
    explicit Frames(float resolution = 0.5f, const GlobalParams& params = smallParams(),
                    int capacity = 1000)
        : t(resolution, params),
          updates(fusion::UpdateBuffer::create(capacity, t.volume.viewIds())) {}
    fusion::FrameTeam team{3};  // three helpers beside the test's thread
    FrameStage stage() { return FrameStage{t.volume, frame, judge, team, *updates}; }
    std::vector<int32_t> intake(const std::vector<PointData>& points) {
        ++frame;
        std::vector<int32_t> indices(points.size(), -2);
        fusion::insertFramePoints(t.volume, rules, frame, team, points.data(),
                                  static_cast<int>(points.size()), indices.data());
        return indices;
    }
    void grouped(const std::vector<PointData>& points, const std::vector<int32_t>& indices,
                 const std::vector<std::vector<int>>& views) {
        fusion::prepareGrouped(stage(), points.data(), static_cast<int>(points.size()), views,
                               indices.data());
    }
    void perPoint(const std::vector<int32_t>& indices) {
        fusion::preparePerPoint(stage(), static_cast<int>(indices.size()), indices.data());
    }
    FusionPoint& at(int32_t index) { return *t.volume.pointAt(index); }
    // Records older than the frame, one per voxel from `first` along x then y.
    std::vector<int32_t> neighbours(const Int3& first, const std::vector<int32_t>& stamps) {
        std::vector<int32_t> out;
        for (std::size_t i = 0; i < stamps.size(); ++i)
            out.push_back(placeAt(t.volume, {first.x + int(i) % 5, first.y + int(i) / 5, first.z},
                                  kUp, stamps[i])
                              .index);
        return out;
    }

    TestVolume t;
    std::unique_ptr<fusion::UpdateBuffer> updates;
    fusion::PlacementRules rules;
    int32_t frame = 0;
    bool judge = true;
};

TEST(FrameIntake, RejectsUnusablePositionsWithTheirLine) {
    const std::pair<PointData, bool> cases[] = {
        {makePoint(0, 0, 0, 0, 0, 1), false},
        {makePoint(1e-8f, -1e-7f, 1.1e-7f, 0, 0, 1), false},
        {makePoint(0, 0, 1e-3f, 0, 0, 1), true},
        {makePoint(kNaN, 1, 1, 0, 0, 1), false},
        {makePoint(1, 2, 3, kNaN, 0, 1), true},
        {makePoint(1e30f, 0, 0, 0, 0, 1), false},  // beyond the addressable grid
    };
    for (const auto& [point, accepted] : cases) {
        Frames f;
        testing::internal::CaptureStdout();
        const int32_t index = f.intake({point})[0];
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(index >= 0, accepted) << point.position[0];
        EXPECT_EQ(printed, accepted ? "" : "--- error data ---\n");
    }
}

// Many threads pile points onto few records: one claim per record and frame.
TEST(FrameIntakeConcurrent, EachRecordIsClaimedOncePerFrame) {
    Frames f;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> spot(0.5f, 6.0f);
    std::vector<PointData> points;
    for (int i = 0; i < 20000; ++i)
        points.push_back(makePoint(spot(rng), spot(rng), 3, 0, 0, i % 3 ? 1.f : -1.f));
    for (int frame = 0; frame < 3; ++frame) {
        std::map<int32_t, int> claims;
        for (int32_t index : f.intake(points)) claims[index] += index >= 0 ? 1 : 0;
        claims.erase(-1);
        EXPECT_EQ(static_cast<int>(claims.size()), f.t.volume.points().nextIndex());
        for (const auto& claim : claims) EXPECT_EQ(claim.second, 1) << "record " << claim.first;
    }
}

// Nine isolated points; one confirmed record accepts exactly its own run.
TEST(GroupedMode, OneConfirmedPointAcceptsItsRun) {
    struct RunCase {
        std::vector<std::vector<int>> views;
        int seed;                    // the frame point whose record is already confirmed
        std::vector<int> confirmed;  // frame points confirmed afterwards
    };
    const RunCase cases[] = {{{{3, 0, 2}, {4}}, 4, {3, 4}},
                             {{{3, 0, 2}, {4}}, 5, {5, 6, 7, 8}},
                             {{{2}, {100}}, 8, {2, 3, 4, 5, 6, 7, 8}},  // cut at the frame's end
                             {{{9}, {4}}, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8}}};
    for (const RunCase& c : cases) {
        Frames f;
        std::vector<PointData> points;
        for (int i = 0; i < 9; ++i) points.push_back(makePoint(10.0f * (i + 1), 5, 5, 0, 0, 1));
        const std::vector<int32_t> indices = f.intake(points);
        f.at(indices[c.seed]).confirmed_flag = 1;
        f.grouped(points, indices, c.views);
        std::vector<int> confirmed;
        for (int i = 0; i < 9; ++i)
            if (f.at(indices[i]).confirmed_flag) confirmed.push_back(i);
        EXPECT_EQ(confirmed, c.confirmed) << "seed " << c.seed;
        EXPECT_EQ(f.updates->count(), static_cast<int>(confirmed.size()));
    }
    Frames f;
    const std::vector<PointData> one = {makePoint(1, 1, 1, 0, 0, 1)};
    testing::internal::CaptureStdout();
    EXPECT_EQ(fusion::prepareGrouped(f.stage(), one.data(), 1, {}, f.intake(one).data()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "input data is nullptr！\n");
}

// Grouped mode needs more than five older neighbours from several frames and
// then confirms the whole run and the neighbours; per-point mode counts the
// older ones against a threshold that falls with the resolution.
TEST(Confirmation, NeighbourThresholdsOfBothModes) {
    struct Case {
        bool grouped;
        float resolution;
        int older, current;  // neighbours of frames 3 and 4 (or of 7 only) and of 20
        bool one_frame, confirmed;
    };
    const Case cases[] = {{true, 0.5f, 6, 0, false, true},    {true, 0.5f, 6, 0, true, false},
                          {true, 0.5f, 5, 0, false, false},   {false, 0.5f, 6, 0, false, true},
                          {false, 0.5f, 5, 4, false, false},  {false, 0.05f, 3, 2, false, true},
                          {false, 0.05f, 2, 2, false, false}, {false, 0.03f, 1, 1, false, true},
                          {false, 0.03f, 1, 0, false, false}};
    for (const Case& c : cases) {
        Frames f(c.resolution);
        std::vector<int32_t> stamps;
        for (int i = 0; i < c.older + c.current; ++i)
            stamps.push_back(i >= c.older ? 20 : c.one_frame ? 7 : 3 + i % 2);
        const std::vector<int32_t> older = f.neighbours({98, 101, 100}, stamps);
        f.frame = 19;
        const float x = 100 * c.resolution;
        const std::vector<PointData> points = {makePoint(x, x, x, 0, 0, 1),
                                               makePoint(8 * x, x, x, 0, 0, 1)};
        const std::vector<int32_t> indices = f.intake(points);
        if (c.grouped) {
            f.grouped(points, indices, {{2}});
            EXPECT_EQ(f.at(indices[1]).confirmed_flag, c.confirmed ? 1 : 0) << "the run follows";
            for (int32_t index : older) EXPECT_EQ(f.at(index).confirmed_flag, c.confirmed ? 1 : 0);
        } else {
            f.perPoint(indices);
            EXPECT_EQ(f.updates->count(), c.confirmed ? 1 : 0);
        }
        EXPECT_EQ(f.at(indices[0]).confirmed_flag, c.confirmed ? 1 : 0)
            << c.resolution << " " << c.older;
    }
}

TEST(Grading, KeepsTheHigherNibblesAndStopsAtTheHandOffLimit) {
    // Tier 1 (resolution 0.5) tuned so one 12-cell, 4-octant mask grades 0x1B05.
    GlobalParams p = smallParams();
    const int32_t tuning[8] = {6, 2, 1, 100, 2, 8, 10, 12};
    std::copy(tuning, tuning + 8, p.device_tuning + 8);
    Frames f(0.5f, p, 30);  // hand-off limit 20
    const FoundPoint placed = placeAt(f.t.volume, {4, 4, 4}, kUp, 1, 0xFFF);
    placed.record->quality_code = 0x3A21;
    for (int i = 0; i < 19; ++i) f.updates->claim();
    EXPECT_EQ(fusion::gradePoint(f.stage(), placed.record, placed.index), 0);
    EXPECT_EQ(placed.record->quality_code, 0x3B25);
    EXPECT_EQ(f.updates->records()[19].quality_code, 0x3B25);
    EXPECT_EQ(fusion::gradePoint(f.stage(), placed.record, placed.index), 1)
        << "the limit is reached";
    EXPECT_EQ(f.updates->count(), 20);
    EXPECT_EQ(fusion::gradePoint(f.stage(), nullptr, 0), 1);
}

// Judging off: a point per-point mode has just confirmed is handed on with
// 0x000F ORed in, not graded; grouped mode replaces its code by 0x000F. A
// level that is not ordinary but has no fine level (4, 128) is left alone.
TEST(PerPointMode, JudgingOffHandsLevelZeroOnWithoutGrading) {
    for (const int level : {8, 4, 128}) {
        Frames f;
        f.judge = false;
        f.neighbours({98, 101, 100}, {3, 3, 3, 4, 4, 4});  // six older: confirmed
        f.frame = 19;
        const std::vector<PointData> points = {makePoint(50, 50, 50, 0, 0, 1, level)};
        const std::vector<int32_t> indices = f.intake(points);
        FusionPoint& point = f.at(indices[0]);
        point.quality_code = 0x3A20;
        if (level != 8) {
            point.confirmed_flag = 1;
            f.grouped(points, indices, {{1}});
            EXPECT_EQ(point.quality_code, 0x3A20) << level;
            EXPECT_EQ(f.updates->count(), 0) << level;
            continue;
        }
        f.perPoint(indices);
        EXPECT_EQ(point.confirmed_flag, 1);
        EXPECT_EQ(point.quality_code, 0x3A2F);
        ASSERT_EQ(f.updates->count(), 1);
        EXPECT_EQ(f.updates->records()[0].quality_code, 0x3A2F);
        point.quality_code = 0x3A20;
        f.perPoint(f.intake(points));
        EXPECT_EQ(point.quality_code, 0x3A2F) << "already confirmed: ORed in as well";
        f.grouped(points, f.intake(points), {{1}});
        EXPECT_EQ(point.quality_code, 0x000F);
    }
}

// Per-point hand-on. Confirmed points with a sub-voxel edge below 0.5 are
// scanned only at odd positions (even ones go on untouched; an edge of 0.5 is
// scanned everywhere); unconfirmed points go on in frames 1 to 9 only (or at
// resolutions up to 0.028), with 0x000F ORed in when judging is off; more
// than 100 observations grade a point at the top.
TEST(PerPointMode, HandOnRules) {
    constexpr int kNone = -1, kBelowTop = -2;
    struct Case {
        float resolution;
        int frame, level;
        bool odd, confirmed, judge, neighbours;
        uint16_t observations;
        int code;  // of the record handed on
    };
    const Case cases[] = {{0.5f, 20, 16, false, true, true, false, 1, 0x3A20},
                          {0.5f, 20, 16, true, true, true, false, 1, kNone},
                          {1.0f, 20, 16, false, true, true, false, 1, kNone},
                          {0.5f, 9, 8, false, false, true, false, 1, 0x3A20},
                          {0.5f, 10, 8, false, false, true, false, 1, kNone},
                          {0.0279f, 20, 8, false, false, true, false, 1, 0x3A20},
                          {0.0281f, 20, 8, false, false, true, false, 1, kNone},
                          {0.5f, 9, 8, false, false, false, false, 1, 0x3A2F},
                          {0.5f, 20, 8, false, true, true, true, 100, kBelowTop},
                          {0.5f, 20, 8, false, true, true, true, 101, 0xFFFF}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.resolution << " frame " << c.frame << " level " << c.level
                     << (c.odd ? " odd" : "") << " " << c.observations);
        Frames f(c.resolution);
        f.judge = c.judge;
        if (c.neighbours) f.neighbours({98, 101, 100}, {3, 3, 3, 4, 4, 4});
        f.frame = c.frame - 1;  // intake moves to the frame
        const float x = (c.neighbours ? 100 : 1000) * c.resolution;
        std::vector<int32_t> indices = f.intake({makePoint(x, x, x, 0, 0, 1, c.level)});
        FusionPoint& point = f.at(indices[0]);
        point.confirmed_flag = c.confirmed ? 1 : 0;
        point.quality_code = 0x3A20;
        point.observation_count = c.observations;
        if (c.odd) indices.insert(indices.begin(), -1);
        f.perPoint(indices);
        EXPECT_TRUE(c.confirmed || point.confirmed_flag == 0) << "stays unconfirmed";
        ASSERT_EQ(f.updates->count(), c.code == kNone ? 0 : 1);
        if (c.code == kNone) continue;
        EXPECT_EQ(f.updates->records()[0].quality_code, point.quality_code);
        if (c.code == kBelowTop) {
            EXPECT_NE(point.quality_code, 0xFFFF);
        } else {
            EXPECT_EQ(point.quality_code, c.code);
        }
    }
}

// Below a sub-voxel edge of 0.5 (level 16 at 0.5) a point takes the average
// grades of its older neighbours; at an edge of 0.5 it keeps its own code.
TEST(Grading, PassesGradesOnBelowAnEdgeOfOneHalf) {
    for (const float resolution : {0.5f, 1.0f}) {
        Frames f(resolution);
        std::vector<int32_t> older;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx) {
                if (dx == 0 && dy == 0) continue;
                older.push_back(
                    placeAt(f.t.volume, {50 + dx, 50 + dy, 50}, kUp, 3 + (dx & 1)).index);
                f.at(older.back()).quality_code = 0xEEEE;
            }
        }
        f.frame = 19;
        const float x = 50 * resolution;
        const std::vector<PointData> points = {makePoint(x, x, x, 0, 0, 1, 16)};
        const std::vector<int32_t> indices = f.intake(points);
        f.at(indices[0]).confirmed_flag = 1;
        f.grouped(points, indices, {{1}});
        const uint16_t code = f.at(indices[0]).quality_code;
        EXPECT_EQ(code == 0xEEEE, resolution == 0.5f) << resolution << " " << std::hex << code;
        ASSERT_EQ(f.updates->count(), 1);
        EXPECT_EQ(f.updates->records()[0].quality_code, code);
        for (const int32_t index : older) EXPECT_EQ(f.at(index).quality_code, 0xEEEE);
    }
}

TEST(Propagation, RaisesGradesWithinEdgeAndHandOffLimit) {
    Frames f(0.5f, smallParams(), 30);  // hand-off limit 20
    std::vector<FoundPoint> n;
    const uint16_t codes[] = {0xF432, 0xF210, 0xF654, 0xF110, 0x0000};
    for (int i = 0; i < 5; ++i) {
        n.push_back(placeAt(f.t.volume, {i, 0, 0}, kUp, 1));
        n.back().record->quality_code = codes[i];
        n.back().record->view_id = i == 4 ? -1 : f.t.volume.viewIds().allocate();
    }
    n[3].record->observation_count = 101;
    NeighbourList list;
    for (auto& r : n) list.append(r.record, r.index);
    FusionPoint centre = observation(0, 0, 0, 0, 0, 1);
    fusion::propagateQuality(f.stage(), &centre, list, 0.5f, 0);
    // Integer averages, nibbles 3..0: (12, 2, 2, 1); 4 of 5 full top nibbles
    // is exactly the 0.8 share that makes the top 15.
    EXPECT_EQ(centre.quality_code, 0xF221);
    EXPECT_EQ(n[1].record->quality_code, 0xF210) << "an edge of 0.5 passes nothing on";
    for (int i = 0; i < 20; ++i) f.updates->claim();
    fusion::propagateQuality(f.stage(), &centre, list, 0.25f, 0);
    EXPECT_EQ(n[3].record->quality_code, 0xF221) << "raised, not saturated: no hand-off";
    EXPECT_EQ(f.updates->count(), 20);
    f.updates->discard();
    n[1].record->quality_code = 0xF210;
    n[3].record->quality_code = 0xF110;
    fusion::propagateQuality(f.stage(), &centre, list, 0.25f, 0);
    EXPECT_EQ(n[0].record->quality_code, 0xF432) << "level nibble already at the average";
    EXPECT_EQ(n[4].record->quality_code, 0x0000) << "no view id";
    ASSERT_EQ(f.updates->count(), 2);
    EXPECT_EQ(f.updates->records()[0].quality_code, 0xF221);
    EXPECT_EQ(f.updates->records()[1].quality_code, 0xFFFF) << "more than 100 observations";
}

}  // namespace
