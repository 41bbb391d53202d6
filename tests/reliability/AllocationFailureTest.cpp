// Every allocation the engine makes without throwing, made to fail in turn:
// the operation answers with its status and message, leaves a consistent
// volume, and the engine goes on working once memory is back. Run under the
// AddressSanitizer build, the same tests show that nothing leaks on these
// paths.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "fusion/Kelvane.h"
#include "support/ReliabilityHelpers.h"

namespace {

using fusion::HashTable;
using fusion::PointData;
using fusion::PointRawData;
using fusion::Vertices;
using kelvane_sim::Frame;
using kelvane_sim::Shape;
using reliability::FailingAllocations;
using reliability::guardedAllocations;

constexpr int kOutOfMemory = 0x10201;
constexpr auto kPoll = std::chrono::milliseconds(1);

// Room for a whole sweep in the first chunks, so that a frame's only
// allocations are its update buffers.
fusion::GlobalParams roomyParams() {
    fusion::GlobalParams p = reliability::smallParams();
    p.chunk_block_num = 1 << 10;
    p.chunk_block_shift = 10;
    p.chunk_point_num = 1 << 16;
    p.chunk_point_shift = 16;
    return p;
}

// A sphere fused from `frames` non-blocking frames, each finished before the
// next, with every update drained.
std::unique_ptr<HashTable> warmModel(std::vector<Frame>& frames, int count) {
    auto engine = reliability::makeEngine(roomyParams());
    if (!engine) return nullptr;
    for (int i = 0; i < count; ++i) {
        if (reliability::process(*engine, frames[static_cast<std::size_t>(i)], false) != 0) {
            return nullptr;
        }
        engine->waitUntilIdle(kPoll);
    }
    reliability::drainUpdates(*engine);
    return engine;
}

void expectHealthy(HashTable& engine, const char* when) {
    engine.waitUntilIdle(kPoll);
    EXPECT_EQ(reliability::volumeProblem(engine), "") << when;
    EXPECT_EQ(
        reliability::idProblem(reliability::liveVertices(engine), reliability::vertexNum(engine)),
        "")
        << when;
    EXPECT_FALSE(engine.m_processing.load()) << when;
    for (int i = 0; i < engine.m_thread_num; ++i)
        EXPECT_EQ(engine.m_task_slots[i].load(), 0) << when;
}

int normalUpdates(const HashTable& engine) {
    int sum = 0;
    for (int32_t i = 0; i < engine.readablePointCount(); ++i)
        sum += engine.pointAt(i)->normal_update_count;
    return sum;
}

// ---- init ------------------------------------------------------------------------------

TEST(AllocationFailure, EveryInitAllocationLeavesTheEngineUninitialised) {
    const fusion::GlobalParams params = reliability::smallParams();
    const long expected = reliability::initAllocations(params);
    {
        HashTable counted;
        counted.m_init_params_override = std::make_unique<fusion::GlobalParams>(params);
        EXPECT_EQ(guardedAllocations([&] { EXPECT_EQ(counted.init(), 0); }), expected);
    }
    for (long n = 0; n < expected; ++n) {
        HashTable engine;
        engine.m_init_params_override = std::make_unique<fusion::GlobalParams>(params);
        int status;
        {
            FailingAllocations failing(n);
            status = engine.init();
        }
        EXPECT_EQ(status, kOutOfMemory) << n;
        EXPECT_EQ(engine.errorMessage(), "no error msg !") << "a failed init sets no message";
        EXPECT_FALSE(engine.m_is_init);
        EXPECT_EQ(engine.m_hash_entries, nullptr);
        EXPECT_FALSE(engine.m_thread_pool);
        EXPECT_FALSE(engine.m_global_params);

        ASSERT_EQ(engine.init(), 0) << n;
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        engine.setResolution(0.5f);
        engine.setDeviceInfo(device);
        std::vector<Frame> frames = reliability::sweep(Shape::Box, 1, 3);
        EXPECT_EQ(reliability::process(engine, frames[0], true), 0);
        EXPECT_GT(engine.m_point_next.load(), 0);
        expectHealthy(engine, "after init succeeded");
    }
}

// ---- per-frame update buffers -----------------------------------------------------

class FrameBufferFailure : public ::testing::TestWithParam<bool> {};

// A frame allocates its first-stage buffer, then its second stage's. The
// first missing fails the frame (its points stay stored); the second missing
// only drops the second stage (no new normals, no merging, no second batch).
TEST_P(FrameBufferFailure, EachBufferFailsOnlyItsStage) {
    const bool blocking = GetParam();
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 12, 21);
    constexpr int kWarm = 9;
    {
        auto engine = warmModel(frames, kWarm);
        ASSERT_TRUE(engine);
        const long allocations = guardedAllocations([&] {
            EXPECT_EQ(reliability::process(*engine, frames[kWarm], blocking), 0);
            engine->waitUntilIdle(kPoll);
        });
        EXPECT_EQ(allocations, 2) << "first-stage and second-stage buffers";
    }

    for (long n = 0; n <= 2; ++n) {
        auto engine = warmModel(frames, kWarm);
        ASSERT_TRUE(engine);
        std::vector<int> statuses;
        engine->setProcessFinishedCallback([&](int s) { statuses.push_back(s); });
        const int32_t stored_before = engine->m_point_next.load();
        const int normals_before = normalUpdates(*engine);
        const int32_t frame_before = engine->m_frame_counter;
        int status;
        {
            FailingAllocations failing(n);
            status = reliability::process(*engine, frames[kWarm], blocking);
            engine->waitUntilIdle(kPoll);
        }
        const std::vector<Vertices> updates = reliability::drainUpdates(*engine);
        bool second_stage_records = false;
        for (const Vertices& v : updates) second_stage_records |= v.state != 0;

        EXPECT_EQ(engine->m_frame_counter, frame_before + 1);
        if (n == 0) {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(statuses, std::vector<int>{1});
            EXPECT_TRUE(updates.empty());
            EXPECT_EQ(normalUpdates(*engine), normals_before) << "no second stage ran";
            EXPECT_GE(engine->m_point_next.load(), stored_before) << "the points stay stored";
        } else if (n == 1) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(statuses, std::vector<int>{0});
            EXPECT_EQ(normalUpdates(*engine), normals_before) << "no second stage ran";
            EXPECT_FALSE(second_stage_records);
            if (blocking) {
                EXPECT_TRUE(updates.empty());
            }
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_GT(normalUpdates(*engine), normals_before) << "the second stage ran";
            if (!blocking) {
                EXPECT_TRUE(second_stage_records) << "merging reported changes";
            }
        }
        expectHealthy(*engine, "after the failing frame");

        // With memory back, the next frame runs both stages.
        statuses.clear();
        const int normals_after_failure = normalUpdates(*engine);
        EXPECT_EQ(reliability::process(*engine, frames[kWarm + 1], blocking), 0);
        engine->waitUntilIdle(kPoll);
        EXPECT_EQ(statuses, std::vector<int>{0});
        EXPECT_GT(normalUpdates(*engine), normals_after_failure) << n;
        expectHealthy(*engine, "after the next frame");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameBufferFailure, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Blocking" : "NonBlocking");
                         });

// ---- volume growth ------------------------------------------------------------------

// A frame whose points need new voxel and point chunks: wherever growth
// stops, the points placed so far are consistent, the rest are dropped, the
// frame fails on its buffer, and the next frame grows the volume again.
TEST(AllocationFailure, ChunkGrowthDuringAFrameDropsPointsAndRecovers) {
    fusion::GlobalParams p = reliability::smallParams();
    p.chunk_block_num = 8;
    p.chunk_block_shift = 3;
    p.chunk_point_num = 256;
    p.chunk_point_shift = 8;
    std::vector<Frame> frames = reliability::sweep(Shape::Torus, 2, 5);
    long allocations = 0;
    int32_t full_blocks = 0;
    {
        auto engine = reliability::makeEngine(p);
        ASSERT_TRUE(engine);
        allocations = guardedAllocations(
            [&] { EXPECT_EQ(reliability::process(*engine, frames[0], true), 0); });
        full_blocks = engine->m_block_count.load();
    }
    ASSERT_GE(allocations, 6) << "the frame must grow both kinds of chunk";

    for (long n = 0; n < allocations - 2; n += std::max<long>(1, (allocations - 2) / 6)) {
        auto engine = reliability::makeEngine(p);
        ASSERT_TRUE(engine);
        std::vector<int> statuses;
        engine->setProcessFinishedCallback([&](int s) { statuses.push_back(s); });
        int status;
        {
            FailingAllocations failing(n);
            status = reliability::process(*engine, frames[0], true);
        }
        EXPECT_EQ(status, 1) << n;
        EXPECT_EQ(statuses, std::vector<int>{1});
        EXPECT_EQ(reliability::volumeProblem(*engine), "") << n;

        EXPECT_EQ(reliability::process(*engine, frames[0], true), 0);
        EXPECT_EQ(engine->m_block_count.load(), full_blocks) << "every block placed in the end";
        EXPECT_EQ(reliability::process(*engine, frames[1], false), 0);
        expectHealthy(*engine, "after growth resumed");
        auto stream = reliability::hostStream();
        EXPECT_EQ(engine->saveRealTimeBytesData(stream), 0);
    }
}

// Building makes no allocation after its placements, so a growth failure
// there shows on its own: the points it could not place are dropped and the
// build still succeeds.
TEST(AllocationFailure, ChunkGrowthDuringABuildDropsOnlyThosePoints) {
    fusion::GlobalParams p = reliability::smallParams();
    p.chunk_block_num = 4;
    p.chunk_block_shift = 2;
    p.chunk_point_num = 256;
    p.chunk_point_shift = 8;
    std::vector<Frame> frames = reliability::sweep(Shape::Bumpy, 1, 8);
    const std::vector<PointData>& points = frames[0].points;
    const int count = static_cast<int>(points.size());
    std::size_t full = 0;
    long allocations = 0;
    {
        auto engine = reliability::makeEngine(p);
        ASSERT_TRUE(engine);
        allocations = guardedAllocations(
            [&] { EXPECT_EQ(engine->buildByExistingPoints(points.data(), count), 0); });
        full = reliability::liveVertices(*engine).size();
    }
    ASSERT_GE(allocations, 3);
    std::size_t previous = 0;
    for (long n = 0; n <= allocations; ++n) {
        auto engine = reliability::makeEngine(p);
        ASSERT_TRUE(engine);
        {
            FailingAllocations failing(n);
            EXPECT_EQ(engine->buildByExistingPoints(points.data(), count), 0);
        }
        const std::size_t placed = reliability::liveVertices(*engine).size();
        EXPECT_GE(placed, previous) << "more memory never places fewer points";
        EXPECT_LE(placed, full);
        if (n == allocations) {
            EXPECT_EQ(placed, full);
        }
        previous = placed;
        EXPECT_EQ(reliability::volumeProblem(*engine), "") << n;
    }
}

// The view-id free list grows when a deletion releases more ids than it
// holds. When it cannot grow the ids are dropped, never written past the
// list: every removal is still reported, and ids handed out later stay
// unique.
TEST(AllocationFailure, FreeListThatCannotGrowDropsIds) {
    constexpr int kFramePoints = 40;  // id list of 80, update batch of 120
    fusion::GlobalParams p = reliability::smallParams();
    p.max_frame_point_num = kFramePoints;
    auto engine = reliability::makeEngine(p, 0.5f, kFramePoints);
    ASSERT_TRUE(engine);
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 2, 4);
    const std::vector<PointData>& points = frames[0].points;
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const std::vector<Vertices> live = reliability::liveVertices(*engine);
    ASSERT_GT(live.size(), 200u);
    const int32_t capacity = engine->m_view_id_free.capacity;
    ASSERT_EQ(capacity, 2 * kFramePoints);
    const std::vector<Vertices> chosen(live.begin(), live.begin() + capacity + 20);
    const std::vector<PointData> selection = reliability::selectionOf(chosen);

    int status;
    {
        FailingAllocations failing(1);  // the update batch only
        status = engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size()));
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(engine->m_view_id_free.capacity, capacity);
    EXPECT_EQ(engine->m_view_id_free.count.load(), capacity);
    const std::vector<Vertices> removals = reliability::drainUpdates(*engine);
    EXPECT_EQ(removals.size(), chosen.size());
    for (const Vertices& v : removals) {
        EXPECT_EQ(v.state, 255);
    }

    // New points take the kept ids first, then fresh ones: never a live one.
    const std::vector<PointData>& more = frames[1].points;
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(engine->buildByExistingPoints(more.data(), static_cast<int>(more.size())), 0);
    ASSERT_EQ(engine->extractLivePoints(&out, count), 0);
    const std::vector<Vertices> after = reliability::adopt(out, count);
    EXPECT_EQ(reliability::idProblem(after, reliability::vertexNum(*engine)), "");
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

// ---- extraction, drain, snapshot --------------------------------------------------

TEST(AllocationFailure, RawExtractionReleasesWhatItHadAndWritesNothing) {
    std::vector<Frame> frames = reliability::sweep(Shape::Box, 4, 6);
    auto engine = warmModel(frames, 4);
    ASSERT_TRUE(engine);
    PointRawData probe{};
    EXPECT_EQ(guardedAllocations([&] { EXPECT_EQ(engine->extractLivePoints(probe), 0); }), 3);
    const int live = probe.count;
    delete[] probe.positions;
    delete[] probe.normals;
    delete[] probe.attributes;

    for (long n = 0; n < 3; ++n) {
        engine->m_error_message = "before";
        PointRawData out{nullptr, nullptr, nullptr, -7, -1.0f};
        {
            FailingAllocations failing(n);
            EXPECT_EQ(engine->extractLivePoints(out), 1) << n;
        }
        EXPECT_EQ(out.positions, nullptr);
        EXPECT_EQ(out.normals, nullptr);
        EXPECT_EQ(out.attributes, nullptr);
        EXPECT_EQ(out.count, -7);
        EXPECT_EQ(engine->errorMessage(), "before");
    }
    PointRawData out{};
    ASSERT_EQ(engine->extractLivePoints(out), 0);
    EXPECT_EQ(out.count, live);
    delete[] out.positions;
    delete[] out.normals;
    delete[] out.attributes;
}

// The vertex form grows a working list and then allocates the host's array.
// A list that cannot grow fails without a message; a missing host array
// fails with "memory is lacked!" and still reports how many there were.
TEST(AllocationFailure, VertexExtractionNamesOnlyTheMissingResult) {
    std::vector<Frame> frames = reliability::sweep(Shape::Box, 4, 6);
    auto engine = warmModel(frames, 4);
    ASSERT_TRUE(engine);
    const std::size_t live = reliability::liveVertices(*engine).size();
    ASSERT_GT(live, 100u);
    Vertices* probe = nullptr;
    int probe_count = 0;
    const long allocations =
        guardedAllocations([&] { EXPECT_EQ(engine->extractLivePoints(&probe, probe_count), 0); });
    delete[] probe;
    EXPECT_GT(allocations, 2) << "list growth and the result are both guarded";

    Vertices sentinel{};
    for (long n = 0; n < allocations; ++n) {
        engine->m_error_message = "before";
        Vertices* out = &sentinel;
        int count = -7;
        {
            FailingAllocations failing(n);
            EXPECT_EQ(engine->extractLivePoints(&out, count), 1) << n;
        }
        if (n + 1 < allocations) {
            EXPECT_EQ(out, &sentinel) << n;
            EXPECT_EQ(count, -7);
            EXPECT_EQ(engine->errorMessage(), "before");
        } else {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(count, static_cast<int>(live));
            EXPECT_EQ(engine->errorMessage(), "memory is lacked!");
        }
    }
    EXPECT_EQ(reliability::liveVertices(*engine).size(), live);
}

// The drain allocates before it takes anything off the queue, so a failed
// drain leaves every update for the next one.
TEST(AllocationFailure, FailedDrainKeepsTheUpdatesQueued) {
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 4, 9);
    auto engine = warmModel(frames, 3);
    ASSERT_TRUE(engine);
    ASSERT_EQ(reliability::process(*engine, frames[3], false), 0);
    engine->waitUntilIdle(kPoll);
    int32_t queued = 0;
    for (const auto& batch : engine->m_view_updates) queued += batch->count.load();
    ASSERT_GT(queued, 0);

    Vertices sentinel{};
    Vertices* out = &sentinel;
    int count = -7;
    {
        FailingAllocations failing(0);
        EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
    }
    EXPECT_EQ(out, &sentinel);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(guardedAllocations([&] {
                  const std::vector<Vertices> all = reliability::drainUpdates(*engine);
                  EXPECT_EQ(static_cast<int32_t>(all.size()), queued);
              }),
              1);
    EXPECT_TRUE(reliability::drainUpdates(*engine).empty());
}

TEST(AllocationFailure, SnapshotSaveLeavesAnEmptyStreamAndTheVolumeAlone) {
    std::vector<Frame> frames = reliability::sweep(Shape::Plate, 1, 2);
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    ASSERT_EQ(engine->buildByExistingPoints(frames[0].points.data(),
                                            static_cast<int>(frames[0].points.size())),
              0);
    const std::size_t live = reliability::liveVertices(*engine).size();
    auto stream = reliability::hostStream();
    EXPECT_EQ(guardedAllocations([&] { EXPECT_EQ(engine->saveRealTimeBytesData(stream), 0); }), 1);
    delete[] stream->data;
    stream->data = nullptr;
    stream->size = 0;

    int status;
    {
        FailingAllocations failing(0);
        status = engine->saveRealTimeBytesData(stream);
    }
    EXPECT_EQ(status, kOutOfMemory);
    EXPECT_EQ(engine->errorMessage(), "memory is lacked");
    EXPECT_EQ(stream->data, nullptr);
    EXPECT_EQ(stream->size, 0u);
    EXPECT_EQ(reliability::liveVertices(*engine).size(), live);

    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    Vertices* loaded = nullptr;
    int loaded_count = 0;
    ASSERT_EQ(engine->loadRealTimeBytesData_points(stream, &loaded, loaded_count), 0);
    delete[] loaded;
    EXPECT_EQ(static_cast<std::size_t>(loaded_count), live);
}

// A load into a volume too small for the stream grows its point store first
// (failure: 0x10201 "memory is lacked!", an empty volume at the stream's
// resolution), then places the records and extracts them (failure: the
// extraction's own answer, with the records in place).
TEST(AllocationFailure, SnapshotLoadFailsCleanlyAtEveryAllocation) {
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 6, 12);
    auto source = warmModel(frames, 6);
    ASSERT_TRUE(source);
    source->setResolution(0.5f);
    auto stream = reliability::hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);
    const std::size_t records = reliability::savedRecords(*stream).size();
    ASSERT_GT(records, 1000u) << "several of the small volume's chunks";

    fusion::GlobalParams small = reliability::smallParams();
    small.chunk_point_num = 256;
    small.chunk_point_shift = 8;
    auto target = reliability::makeEngine(small, 0.25f);
    ASSERT_TRUE(target);
    long allocations = 0;
    std::size_t clean = 0;
    {
        Vertices* out = nullptr;
        int count = 0;
        allocations = guardedAllocations(
            [&] { EXPECT_EQ(target->loadRealTimeBytesData_points(stream, &out, count), 0); });
        clean = reliability::adopt(out, count).size();
    }
    const int32_t chunk = small.chunk_point_num;
    const long growth = static_cast<long>((static_cast<int64_t>(records) - chunk) / chunk + 1);

    for (long n = 0; n < allocations; ++n) {
        auto engine = reliability::makeEngine(small, 0.25f);
        ASSERT_TRUE(engine);
        // Something to lose, small enough not to grow the store itself.
        ASSERT_EQ(engine->buildByExistingPoints(frames[0].points.data(), 100), 0);
        ASSERT_EQ(engine->m_point_chunk_num.load(), 1);
        Vertices sentinel{};
        Vertices* out = &sentinel;
        int count = -7;
        int status;
        {
            FailingAllocations failing(n);
            status = engine->loadRealTimeBytesData_points(stream, &out, count);
        }
        EXPECT_NE(status, 0) << n;
        EXPECT_EQ(engine->m_resolution, 0.5f) << "the stream's resolution in every case";
        const std::vector<Vertices> live = reliability::liveVertices(*engine);
        if (n < growth) {
            EXPECT_EQ(status, kOutOfMemory) << n;
            EXPECT_EQ(engine->errorMessage(), "memory is lacked!");
            EXPECT_EQ(out, &sentinel) << "nothing handed out";
            EXPECT_TRUE(live.empty()) << "the old volume is gone, the new one never came";
        } else {
            EXPECT_EQ(status, 1) << n;
            EXPECT_TRUE(out == &sentinel || out == nullptr) << "no array handed out";
            EXPECT_LE(live.size(), clean);
        }
        EXPECT_TRUE(reliability::drainUpdates(*engine).empty());
        EXPECT_EQ(reliability::volumeProblem(*engine), "") << n;

        // Memory back: the same stream loads in full.
        Vertices* again = nullptr;
        int again_count = 0;
        ASSERT_EQ(engine->loadRealTimeBytesData_points(stream, &again, again_count), 0);
        EXPECT_EQ(reliability::adopt(again, again_count).size(), clean);
    }
}

// ---- deletion and building --------------------------------------------------------

struct DeletionCase {
    const char* name;
    int frame_points;  // update batch of 3 * frame_points
    long allocations;  // batch; batch and copy store
};

class DeletionFailure : public ::testing::TestWithParam<DeletionCase> {};

// The update batch comes first: without it nothing is deleted. The copy
// store of the compacting path comes second: without it the deletions stay
// applied and the store is simply not compacted.
TEST_P(DeletionFailure, NothingOrExactlyTheSelectionIsRemoved) {
    const DeletionCase& c = GetParam();
    std::vector<Frame> frames = reliability::sweep(Shape::Box, 2, 14);
    auto build = [&] {
        auto engine = reliability::makeSmallEngine(0.5f, c.frame_points);
        if (engine) {
            const auto& pts = frames[0].points;
            engine->buildByExistingPoints(pts.data(), static_cast<int>(pts.size()));
        }
        return engine;
    };
    // Two disjoint slices of the live points, each below the free list's room
    // and, in the compacting case, above the update batch.
    auto slice = [](const std::vector<Vertices>& live, int k) {
        const std::size_t size = std::min<std::size_t>(live.size() / 3, 400);
        return reliability::selectionOf(
            std::vector<Vertices>(live.begin() + static_cast<std::ptrdiff_t>(k * size),
                                  live.begin() + static_cast<std::ptrdiff_t>((k + 1) * size)));
    };
    {
        auto engine = build();
        ASSERT_TRUE(engine);
        const std::vector<PointData> first = slice(reliability::liveVertices(*engine), 0);
        if (c.allocations == 2) {
            ASSERT_GT(static_cast<int>(first.size()), 3 * c.frame_points) << "beyond the batch";
        } else {
            ASSERT_LT(static_cast<int>(first.size()), 3 * c.frame_points);
        }
        EXPECT_EQ(guardedAllocations([&] {
                      EXPECT_EQ(
                          engine->deleteSelectedArea(first.data(), static_cast<int>(first.size())),
                          0);
                  }),
                  c.allocations);
    }
    for (long n = 0; n < c.allocations; ++n) {
        auto engine = build();
        ASSERT_TRUE(engine);
        const std::vector<Vertices> live = reliability::liveVertices(*engine);
        const std::vector<PointData> first = slice(live, 0);
        const std::vector<PointData> second = slice(live, 1);
        const int32_t stored = engine->m_point_next.load();
        const int ids = reliability::vertexNum(*engine);
        int status;
        {
            FailingAllocations failing(n);
            status = engine->deleteSelectedArea(first.data(), static_cast<int>(first.size()));
        }
        EXPECT_EQ(status, 1) << n;
        EXPECT_TRUE(reliability::drainUpdates(*engine).empty());
        const std::size_t kept = n == 0 ? live.size() : live.size() - first.size();
        EXPECT_EQ(reliability::liveVertices(*engine).size(), kept) << n;
        EXPECT_EQ(engine->m_point_next.load(), stored) << "not compacted";
        EXPECT_EQ(reliability::vertexNum(*engine), ids) << "ids not renumbered";
        EXPECT_EQ(reliability::volumeProblem(*engine), "") << n;

        // Memory back: the next deletion works in full, and the compacting
        // path leaves a store without holes.
        EXPECT_EQ(engine->deleteSelectedArea(second.data(), static_cast<int>(second.size())), 0);
        const std::size_t left = reliability::liveVertices(*engine).size();
        EXPECT_EQ(left, kept - second.size());
        if (c.allocations == 2) {
            EXPECT_EQ(engine->m_point_next.load(), static_cast<int32_t>(left));
        }
        const int frame = std::min(c.frame_points - 1, static_cast<int>(frames[1].points.size()));
        EXPECT_EQ(engine->process(frames[1].points.data(), frame, {{frame}}, frames[1].pose, true),
                  0);
        expectHealthy(*engine, "after the next deletion");
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, DeletionFailure,
                         ::testing::Values(DeletionCase{"InPlace", 60000, 1},
                                           DeletionCase{"Compacting", 50, 2}),
                         [](const ::testing::TestParamInfo<DeletionCase>& info) {
                             return std::string(info.param.name);
                         });

// A build hands back the whole cloud; when that array cannot be made the
// extraction's message stands, and the built points stay.
TEST(AllocationFailure, BuildKeepsItsPointsWhenTheResultIsMissing) {
    std::vector<Frame> frames = reliability::sweep(Shape::Torus, 1, 16);
    const PointData* points = frames[0].points.data();
    const int count = static_cast<int>(frames[0].points.size());
    long allocations = 0;
    {
        auto probe = reliability::makeSmallEngine();
        ASSERT_TRUE(probe);
        ASSERT_EQ(probe->buildByExistingPoints(points, count), 0);
        allocations = guardedAllocations([&] { reliability::liveVertices(*probe); });
    }
    ASSERT_GE(allocations, 2);

    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    ASSERT_EQ(engine->buildByExistingPoints(points, count), 0);
    Vertices* out = nullptr;
    int out_count = -7;
    {
        FailingAllocations failing(allocations - 1);  // only the host's array is missing
        EXPECT_EQ(engine->extractLivePoints(&out, out_count), 1);
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(engine->errorMessage(), "memory is lacked!");
    EXPECT_EQ(out_count, reliability::vertexNum(*engine)) << "the count is still given";
    EXPECT_EQ(reliability::liveVertices(*engine).size(), static_cast<std::size_t>(out_count));
}

}  // namespace
