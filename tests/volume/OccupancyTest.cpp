// Occupancy bits stay in step with the sides. Every path fills and empties sides
// through Volume::publishSide and clearSide; frames, deletions and a reset cover both.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/Models.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;

// The first voxel whose bit differs from its sides; empty when none.
std::string occupancyMismatch(const Volume& volume) {
    const int32_t blocks = volume.blocks().blockCount();
    for (int32_t b = 0; b < blocks; ++b) {
        const fusion::Voxel* voxels = volume.blockVoxels(b);
        const std::atomic<uint64_t>* words = volume.blockOccupancy(b);
        for (int local = 0; local < 512; ++local) {
            const bool marked = (words[local >> 6].load() >> (local & 63)) & 1u;
            const bool held = voxels[local].side(0) != -1 || voxels[local].side(1) != -1;
            if (marked != held)
                return "block " + std::to_string(b) + " voxel " + std::to_string(local) +
                       (held ? " holds a side but is not marked" : " is marked but empty");
        }
    }
    return "";
}

// Frames of both kinds, deletions in place and compacting, and a reset.
TEST(Occupancy, MatchesTheSidesThroughEveryEdit) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    const auto sweep = smallSweep(kelvane_sim::Shape::Sphere, 3, 10);
    ASSERT_TRUE(runFrames(*engine, sweep, true, true, 0, 5));
    ASSERT_TRUE(runFrames(*engine, sweep, false, true, 5, 10));
    const Volume& volume = engine->volume();
    EXPECT_EQ(occupancyMismatch(volume), "");

    std::vector<Vertices> live = liveVertices(*engine);
    ASSERT_GT(live.size(), 1000u);
    auto selection = [&](std::size_t first, std::size_t step, std::size_t count) {
        std::vector<PointData> points;
        for (std::size_t i = first; i < live.size() && points.size() < count; i += step) {
            const Vertices& v = live[i];
            points.push_back(makePoint(v.position[0], v.position[1], v.position[2], v.normal[0],
                                       v.normal[1], v.normal[2]));
        }
        return points;
    };
    const auto few = selection(0, 7, 50);
    ASSERT_EQ(engine->deleteSelectedArea(few.data(), static_cast<int>(few.size())), 0);
    EXPECT_EQ(occupancyMismatch(volume), "") << "after deleting in place";

    live = liveVertices(*engine);
    const auto many = selection(1, 2, live.size());
    ASSERT_EQ(engine->deleteSelectedArea(many.data(), static_cast<int>(many.size())), 0);
    EXPECT_EQ(occupancyMismatch(volume), "") << "after a large deletion";

    ASSERT_EQ(engine->reset(), 0);
    ASSERT_TRUE(runFrames(*engine, sweep, true, true, 0, 3));
    EXPECT_EQ(occupancyMismatch(volume), "") << "after a reset and new frames: no stale bits";
}

}  // namespace
