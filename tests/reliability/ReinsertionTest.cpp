// Loading a snapshot and compacting the store both re-insert every record
// into a cleared volume. A live point must come back even when a mark that
// shares its voxel has come to face it: marks are weightless, and a
// protected one would otherwise turn the live point away.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "support/ReliabilityHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::PointData;
using fusion::Vertices;

enum class Path { Load, Compaction };

class Reinsertion : public ::testing::TestWithParam<Path> {};

FusionPoint* place(HashTable& engine, const float position[3], const float normal[3]) {
    FusionPoint p = fusion::defaultFusionPoint();
    for (int k = 0; k < 3; ++k) {
        p.position[k] = position[k];
        p.normal[k] = normal[k];
    }
    p.observation_count = 1;
    int32_t index = -1;
    FusionPoint* record = nullptr;
    if (engine.addObservation(position, normal, p, index, record) != 0) return nullptr;
    return record;
}

TEST_P(Reinsertion, LivePointsComeBackBeforeMarks) {
    constexpr int kFramePoints = 100;  // deletion batch of 300
    constexpr int kPairs = 64;
    // One point chunk: a save writes its records in index order, and each
    // mark precedes its live point, as a single thread would meet them.
    fusion::GlobalParams p = reliability::smallParams();
    p.chunk_point_num = 1 << 12;
    p.chunk_point_shift = 12;
    auto engine = reliability::makeEngine(p, 0.5f, kFramePoints);
    ASSERT_TRUE(engine);

    const float down[3] = {0.0f, 0.0f, -1.0f};
    const float up[3] = {0.0f, 0.0f, 1.0f};
    std::vector<FusionPoint*> marks;
    std::vector<std::vector<float>> live_positions;
    for (int k = 0; k < kPairs; ++k) {
        const float mark_position[3] = {2.1f * k, 0.1f, 0.1f};
        const float live_position[3] = {2.1f * k + 0.05f, 0.12f, 0.14f};
        FusionPoint* mark = place(*engine, mark_position, down);
        FusionPoint* live = place(*engine, live_position, up);
        ASSERT_TRUE(mark != nullptr && live != nullptr) << k;
        ASSERT_NE(mark, live) << "two sides of one voxel";
        live->view_id = engine->getOrAllocateViewId(*live);
        marks.push_back(mark);
        live_positions.push_back({live_position[0], live_position[1], live_position[2]});
    }
    const PointData filler = {{-40.0f, 5.0f, 5.0f}, {0.0f, 0.0f, 1.0f}, 8};
    ASSERT_EQ(engine->buildByExistingPoints(&filler, 1), 0);

    // Layer merging leaves a fine record weightless and absorbed; its
    // protection and a turned normal make it face the live point.
    for (FusionPoint* mark : marks) {
        mark->observation_count = 0;
        mark->absorbed_flag = 1;
        mark->protected_flag = 1;
        mark->scan_level = 16;
        mark->normal[0] = 0.3f;
        mark->normal[2] = 0.95f;
        ASSERT_GT(fusion::dot3(mark->normal, up), 0.0f);
    }
    ASSERT_EQ(reliability::liveVertices(*engine).size(), static_cast<std::size_t>(kPairs + 1));

    if (GetParam() == Path::Load) {
        auto stream = reliability::hostStream();
        ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
        Vertices* out = nullptr;
        int count = 0;
        ASSERT_EQ(engine->loadRealTimeBytesData_points(stream, &out, count), 0);
        delete[] out;
    } else {
        // More selected entries than the batch holds: the store is compacted.
        const std::vector<PointData> selection(3 * kFramePoints + 1, filler);
        ASSERT_EQ(engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())),
                  0);
        ASSERT_TRUE(reliability::drainUpdates(*engine).empty())
            << "the compacting path reports nothing";
    }

    const std::vector<Vertices> live = reliability::liveVertices(*engine);
    int found = 0;
    for (const auto& position : live_positions) {
        for (const Vertices& v : live) {
            if (v.position[0] == position[0] && v.position[1] == position[1] &&
                v.position[2] == position[2]) {
                ++found;
                break;
            }
        }
    }
    EXPECT_EQ(found, kPairs) << "live points turned away by marks";
    EXPECT_EQ(live.size(),
              static_cast<std::size_t>(GetParam() == Path::Load ? kPairs + 1 : kPairs));
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

INSTANTIATE_TEST_SUITE_P(Paths, Reinsertion, ::testing::Values(Path::Load, Path::Compaction),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return std::string(info.param == Path::Load ? "Load" : "Compaction");
                         });

}  // namespace
