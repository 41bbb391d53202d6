// What a host sees over a whole simulated sweep: a table kept only from the
// drained vertex updates must hold the same points as a full extraction, and
// the fused model must not keep two layers of one surface.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "engine/HashTable.h"
#include "sim/Simulator.h"
#include "support/EngineFixture.h"

namespace {

using fusion::HashTable;
using fusion::Vertices;
using kelvane_sim::Frame;
using kelvane_sim::Scanner;
using kelvane_sim::Shape;
using kelvane_sim::SweepOptions;

constexpr float kResolution = 0.5f;

SweepOptions sweepOf(Shape shape, uint32_t seed) {
    SweepOptions o;
    o.shape = shape;
    o.seed = seed;
    o.frames = 20;
    o.rows = 120;
    o.columns = 150;
    return o;
}

// The host's side: vertices keyed by view id, kept from updates alone.
struct HostMirror {
    std::unordered_map<int32_t, Vertices> table;
    long records = 0;

    void drain(HashTable& engine) {
        Vertices* updates = nullptr;
        int count = 0;
        if (engine.getUpdateVertices(&updates, count) != 0) return;
        for (int i = 0; i < count; ++i) {
            const Vertices& v = updates[i];
            if (v.state == 255)
                table.erase(v.view_id);
            else
                table[v.view_id] = v;
        }
        records += count;
        delete[] updates;
    }
};

std::unordered_map<int32_t, Vertices> extractById(HashTable& engine) {
    Vertices* live = nullptr;
    int count = 0;
    std::unordered_map<int32_t, Vertices> out;
    if (engine.extractLivePoints(&live, count) != 0) return out;
    for (int i = 0; i < count; ++i) out[live[i].view_id] = live[i];
    delete[] live;
    return out;
}

struct MirrorDifference {
    int missing = 0;  // live, but not in the mirror
    int stale = 0;    // in the mirror, no longer live
    int moved = 0;    // in both, at different positions
    int far = 0;      // in both, more than a voxel edge apart on some axis
    float largest_shift = 0.0f;  // largest per-axis position difference
};

MirrorDifference compare(const HostMirror& mirror,
                         const std::unordered_map<int32_t, Vertices>& live) {
    MirrorDifference d;
    for (const auto& entry : live) {
        const auto found = mirror.table.find(entry.first);
        if (found == mirror.table.end()) {
            ++d.missing;
            continue;
        }
        float shift = 0.0f;
        for (int k = 0; k < 3; ++k)
            shift = std::max(shift, std::fabs(found->second.position[k] - entry.second.position[k]));
        if (shift > 0.0f) ++d.moved;
        if (shift >= kResolution) ++d.far;
        d.largest_shift = std::max(d.largest_shift, shift);
    }
    for (const auto& entry : mirror.table)
        if (live.count(entry.first) == 0) ++d.stale;
    return d;
}

enum class Pace { OneAtATime, Streamed };

// Runs a non-blocking sweep. One at a time: each frame's second stage ends
// before the next frame arrives. Streamed: frames follow each other at once.
// The host drains after every frame, and once more after all work ended.
void runSweep(HashTable& engine, const SweepOptions& options, Pace pace, HostMirror& mirror) {
    Scanner scanner(options);
    Frame frame;
    while (scanner.next(frame)) {
        const int count = static_cast<int>(frame.points.size());
        ASSERT_EQ(engine.process(frame.points.data(), count, frame.views, frame.pose, false), 0);
        if (pace == Pace::OneAtATime) engine.waitUntilIdle(std::chrono::milliseconds(1));
        mirror.drain(engine);
    }
    engine.waitUntilIdle(std::chrono::milliseconds(1));
    mirror.drain(engine);
}

using SweepCase = std::tuple<Shape, uint32_t>;

std::string sweepName(const ::testing::TestParamInfo<SweepCase>& info) {
    return std::string(kelvane_sim::shapeName(std::get<0>(info.param))) + "Seed" +
           std::to_string(std::get<1>(info.param));
}

class HostMirrorSweep : public ::testing::TestWithParam<SweepCase> {
protected:
    // Sweeps at the given pace and compares the mirror with the live points.
    void sweep(Pace pace) {
        auto engine = fusion_test::makeEngine(kResolution);
        ASSERT_TRUE(engine);
        HostMirror mirror;
        runSweep(*engine, sweepOf(std::get<0>(GetParam()), std::get<1>(GetParam())), pace, mirror);
        const auto live = extractById(*engine);
        ASSERT_GT(live.size(), 1000u);
        live_count = live.size();
        mirror_count = mirror.table.size();
        d = compare(mirror, live);
    }
    MirrorDifference d;
    std::size_t live_count = 0, mirror_count = 0;
};

TEST_P(HostMirrorSweep, ExactWhenEachSecondStageEndsBeforeTheNextFrame) {
    ASSERT_NO_FATAL_FAILURE(sweep(Pace::OneAtATime));
    EXPECT_EQ(d.missing, 0);
    EXPECT_EQ(d.stale, 0);
    EXPECT_EQ(mirror_count, live_count);

    // Positions may lag. A record is reported when its frame confirms and
    // grades it or when merging moves it; an observation fused into it by a
    // frame whose run was not accepted moves it silently. Every such move is
    // a weighted mean of points inside the record's own voxel, and merging
    // only places a survivor inside its own voxel, so the host's copy never
    // lies more than one voxel edge away on any axis.
    EXPECT_EQ(d.far, 0);
    EXPECT_LT(d.largest_shift, kResolution);
    std::printf("[ mirror   ] %zu live, %d at lagging positions, largest shift %.4f\n", live_count,
                d.moved, d.largest_shift);
}

TEST_P(HostMirrorSweep, RarelyDiffersWhenFramesStream) {
    ASSERT_NO_FATAL_FAILURE(sweep(Pace::Streamed));
    // When frames stream, the second stage of frame N runs on a worker while
    // frame N + 1 is placed and graded on the host's thread, and each stage
    // pushes its batch only when it ends. A merge releases the view id of an
    // absorbed record at once, but its removal record waits in the worker's
    // buffer; the next frame's grading can hand the same id to a new point
    // and push that report first. The host then applies the insert before the
    // older removal and loses a live point (or, the other way round, keeps a
    // dead id). The same meeting can also let a stale report of an absorbed record
    // carry its old id after that id went to a new point, so the host holds
    // the id at the old record's place. Measured on two busy cores: 0 to
    // about 4 % of the live points differ (typically near 1 %), depending on
    // how the stages of neighbouring frames happen to overlap. Lost removals
    // or batches delivered out of order would leave far more behind: merging
    // removes more than ten thousand ids over one of these sweeps.
    const double differing = static_cast<double>(d.missing + d.stale + d.far) / live_count;
    std::printf("[ mirror   ] streamed: %zu live, %d missing, %d stale, %d misplaced (%.4f%%), "
                "%d lagging\n",
                live_count, d.missing, d.stale, d.far, 100.0 * differing, d.moved);
    EXPECT_LT(differing, 0.08);
}

INSTANTIATE_TEST_SUITE_P(Objects, HostMirrorSweep,
                         ::testing::Values(SweepCase{Shape::Sphere, 1}, SweepCase{Shape::Box, 2},
                                           SweepCase{Shape::Torus, 3}, SweepCase{Shape::Bumpy, 4}),
                         sweepName);

// ---- no doubled layer -----------------------------------------------------------

// Share of live points that have another live point closer than half a voxel
// facing the same way: two records of one surface that merging left apart.
double doubledShare(HashTable& engine) {
    const auto live = extractById(engine);
    std::map<std::tuple<int, int, int>, std::vector<const Vertices*>> cells;
    for (const auto& entry : live) {
        const fusion::Int3 c = fusion::voxelOf(entry.second.position, kResolution);
        cells[{c.x, c.y, c.z}].push_back(&entry.second);
    }
    const float limit = 0.5f * kResolution;
    int doubled = 0;
    for (const auto& entry : live) {
        const Vertices& v = entry.second;
        const fusion::Int3 c = fusion::voxelOf(v.position, kResolution);
        bool found = false;
        for (int o = 0; o < 27 && !found; ++o) {
            const auto cell = cells.find({c.x + o % 3 - 1, c.y + o / 3 % 3 - 1, c.z + o / 9 - 1});
            if (cell == cells.end()) continue;
            for (const Vertices* other : cell->second) {
                float gap = 0.0f;
                for (int k = 0; k < 3; ++k)
                    gap += (other->position[k] - v.position[k]) * (other->position[k] - v.position[k]);
                found = found || (other != &v && gap < limit * limit &&
                                  fusion::dot3(other->normal, v.normal) > 0.0f);
            }
        }
        if (found) ++doubled;
    }
    return live.empty() ? 1.0 : static_cast<double>(doubled) / live.size();
}

class NoDoubledLayer : public ::testing::TestWithParam<std::tuple<Shape, bool>> {};

TEST_P(NoDoubledLayer, CloseSameFacingPairsAreRare) {
    const Shape shape = std::get<0>(GetParam());
    const bool blocking = std::get<1>(GetParam());
    auto engine = fusion_test::makeEngine(kResolution);
    ASSERT_TRUE(engine);
    Scanner scanner(sweepOf(shape, 9));
    Frame frame;
    while (scanner.next(frame)) {
        const int count = static_cast<int>(frame.points.size());
        ASSERT_EQ(engine->process(frame.points.data(), count, frame.views, frame.pose, blocking), 0);
        if (!blocking) engine->waitUntilIdle(std::chrono::milliseconds(1));
    }
    const double share = doubledShare(*engine);
    std::printf("[ layers   ] %s %s: %.3f%% of live points doubled\n", kelvane_sim::shapeName(shape),
                blocking ? "blocking" : "non-blocking", 100.0 * share);
    // What remains are pairs that merging never looks at: records whose
    // neighbourhood never passed the plane test (box edges and corners, the
    // rim of the scanned area), records waiting out the estimate throttle
    // when a new layer appears next to them, and, in blocking sweeps, points
    // of the first nine frames that were handed on unconfirmed, which the
    // second stage skips. Measured: 0.3 to 1.8 % non-blocking, 1.7 to 2.8 %
    // blocking, against 7 to 14 % when the same sweeps run without merging.
    EXPECT_LT(share, blocking ? 0.045 : 0.03);
}

INSTANTIATE_TEST_SUITE_P(Sweeps, NoDoubledLayer,
                         ::testing::Combine(::testing::Values(Shape::Sphere, Shape::Box,
                                                              Shape::Torus),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Shape, bool>>& info) {
                             return std::string(kelvane_sim::shapeName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "Blocking" : "NonBlocking");
                         });

}  // namespace
