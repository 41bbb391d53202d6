// The engine at its limits: shutdown and clearing from another thread while
// work is queued or running, every task slot taken, the excess list run dry
// by racing insertions, observation counts at their 16-bit ceiling, and
// coordinates beyond the voxel grid.

#include <gtest/gtest.h>

#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"
#include "support/ReliabilityHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using fusion::Vertices;
using kelvane_sim::Frame;
using kelvane_sim::Shape;
using reliability::HeldWorkers;
using reliability::yieldUntil;

constexpr auto kPoll = std::chrono::milliseconds(1);

enum class Stop { Reset, DeInit };

const char* stopName(Stop s) { return s == Stop::Reset ? "Reset" : "DeInit"; }

int stopEngine(HashTable& engine, Stop how) {
    return how == Stop::Reset ? engine.reset() : engine.deInit();
}

// After a reset or a deInit that waited for everything: nothing of the
// stopped work may show up afterwards.
void expectQuiet(HashTable& engine, Stop how) {
    if (how == Stop::DeInit) {
        EXPECT_FALSE(engine.m_is_init);
        EXPECT_FALSE(engine.m_thread_pool);
        ASSERT_EQ(engine.init(), 0);
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        engine.setResolution(0.5f);
        engine.setDeviceInfo(device);
        return;
    }
    engine.waitUntilIdle(kPoll);
    EXPECT_TRUE(reliability::drainUpdates(engine).empty()) << "a stopped stage reported late";
    EXPECT_EQ(engine.m_point_next.load(), 0) << "a stopped stage wrote into the cleared volume";
    EXPECT_EQ(engine.m_block_count.load(), 0);
    EXPECT_EQ(reliability::vertexNum(engine), 0);
}

// ---- reset and deInit from another thread ------------------------------------------

class ConcurrentStop : public ::testing::TestWithParam<Stop> {};

// Second stages of several frames wait in the pool's queue behind busy
// workers when another thread stops the engine; the stop returns only after
// all of them ran, so none of them touches the volume afterwards.
TEST_P(ConcurrentStop, WaitsForQueuedSecondStages) {
    const Stop how = GetParam();
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 6, 31);
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    for (int round = 0; round < 2; ++round) {
        auto held = std::make_unique<HeldWorkers>(*engine->m_thread_pool);
        for (Frame& f : frames) {
            ASSERT_EQ(reliability::process(*engine, f, false), 0);
        }
        {
            std::lock_guard<std::mutex> guard(engine->m_mutex);
            ASSERT_EQ(engine->m_task_num, static_cast<int>(frames.size()));
        }
        std::atomic<bool> stopping{false};
        int status = -1;
        std::thread stopper([&] {
            stopping = true;
            status = stopEngine(*engine, how);
        });
        yieldUntil([&] { return stopping.load(); });
        held->release();
        stopper.join();
        held.reset();
        EXPECT_EQ(status, 0);
        expectQuiet(*engine, how);
        if (how == Stop::DeInit) break;
    }
    EXPECT_EQ(reliability::process(*engine, frames[0], true), 0);
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

// A frame is held inside the pipeline (one of its points waits for a voxel
// lock the test holds) when another thread stops the engine: the stop waits
// for the frame and for the second stage it queues, and then clears or
// releases everything, the frame's points included.
class ConcurrentStopDuringFrame : public ::testing::TestWithParam<std::tuple<Stop, bool>> {};

TEST_P(ConcurrentStopDuringFrame, WaitsForTheFrameInsideThePipeline) {
    const Stop how = std::get<0>(GetParam());
    const bool blocking = std::get<1>(GetParam());
    std::vector<Frame> frames = reliability::sweep(Shape::Box, 2, 33);
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    ASSERT_EQ(reliability::process(*engine, frames[0], true), 0);
    engine->waitUntilIdle(kPoll);

    // The voxel of the frame's first point already exists; holding its lock
    // stalls the intake of that point.
    Frame& frame = frames[1];
    const PointData& first = frame.points[0];
    ASSERT_EQ(engine->buildByExistingPoints(&first, 1), 0);
    fusion::Voxel* voxel =
        fusion::edit::existingVoxel(*engine, fusion::voxelOf(first.position, engine->m_resolution));
    ASSERT_NE(voxel, nullptr);

    voxel->lock.lock();
    int frame_status = -1;
    std::thread host([&] { frame_status = reliability::process(*engine, frame, blocking); });
    yieldUntil([&] { return engine->m_processing.load(); });
    std::atomic<bool> stopping{false};
    int stop_status = -1;
    std::thread stopper([&] {
        stopping = true;
        stop_status = stopEngine(*engine, how);
    });
    yieldUntil([&] { return stopping.load(); });
    voxel->lock.unlock();
    host.join();
    stopper.join();

    EXPECT_EQ(frame_status, 0);
    EXPECT_EQ(stop_status, 0);
    EXPECT_FALSE(engine->m_processing.load());
    expectQuiet(*engine, how);
    EXPECT_EQ(reliability::process(*engine, frames[0], blocking), 0);
    engine->waitUntilIdle(kPoll);
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

INSTANTIATE_TEST_SUITE_P(Ways, ConcurrentStop, ::testing::Values(Stop::Reset, Stop::DeInit),
                         [](const ::testing::TestParamInfo<Stop>& info) {
                             return std::string(stopName(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(Ways, ConcurrentStopDuringFrame,
                         ::testing::Combine(::testing::Values(Stop::Reset, Stop::DeInit),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Stop, bool>>& info) {
                             return std::string(stopName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "Blocking" : "NonBlocking");
                         });

// Destroying the engine on another thread while stages are queued: the
// destructor's deInit waits for them before the storage goes.
TEST(ConcurrentDestruction, WaitsForQueuedSecondStages) {
    std::vector<Frame> frames = reliability::sweep(Shape::Torus, 4, 35);
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    // The pool dies with the engine, so the workers are held by a gate that
    // the test opens once the destruction has started.
    auto gate = std::make_shared<std::atomic<bool>>(false);
    const int workers = engine->m_thread_pool->threadCount();
    std::atomic<int> waiting{0};
    for (int i = 0; i < workers; ++i) {
        (void)engine->m_thread_pool->commit([gate, &waiting] {
            ++waiting;
            yieldUntil([&] { return gate->load(); });
        });
    }
    yieldUntil([&] { return waiting.load() == workers; });
    for (Frame& f : frames) {
        ASSERT_EQ(reliability::process(*engine, f, false), 0);
    }

    std::atomic<bool> destroying{false};
    std::thread destroyer([&] {
        destroying = true;
        engine.reset();
    });
    yieldUntil([&] { return destroying.load(); });
    gate->store(true);
    destroyer.join();
    EXPECT_FALSE(engine);
}

// ---- every task slot taken -------------------------------------------------------------

// With every slot held by a queued second stage, further frames still run
// their first stage and answer 0, and the number of queued stages never
// passes the slot count; once the stages ran, the slots serve new frames.
TEST(ConcurrentFrames, EveryTaskSlotTakenSkipsOnlyTheSecondStage) {
    std::vector<Frame> frames = reliability::sweep(Shape::Bumpy, 8, 37);
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    std::vector<int> statuses;
    engine->setProcessFinishedCallback([&](int s) { statuses.push_back(s); });
    const int slots = engine->m_thread_num;
    for (int round = 0; round < 3; ++round) {
        HeldWorkers held(*engine->m_thread_pool);
        statuses.clear();
        const int32_t frames_before = engine->m_frame_counter;
        for (int i = 0; i < slots + 3; ++i) {
            Frame& f = frames[static_cast<std::size_t>(i) % frames.size()];
            ASSERT_EQ(reliability::process(*engine, f, false), 0) << i;
            std::lock_guard<std::mutex> guard(engine->m_mutex);
            EXPECT_EQ(engine->m_task_num, std::min(i + 1, slots)) << i;
        }
        EXPECT_EQ(statuses, std::vector<int>(static_cast<std::size_t>(slots + 3), 0));
        EXPECT_EQ(engine->m_frame_counter, frames_before + slots + 3);
        int taken = 0;
        for (int i = 0; i < slots; ++i) taken += engine->m_task_slots[i].load();
        EXPECT_EQ(taken, slots);
        held.release();
        engine->waitUntilIdle(kPoll);
        EXPECT_EQ(engine->m_task_num, 0);
        EXPECT_EQ(reliability::volumeProblem(*engine), "") << round;
        const std::vector<Vertices> updates = reliability::drainUpdates(*engine);
        EXPECT_FALSE(updates.empty());
    }
}

// ---- excess list exhausted by racing insertions ------------------------------------

// Every bucket and excess entry reachable from the buckets; duplicates,
// cycles and links outside the table are reported.
std::string tableProblem(const HashTable& engine) {
    const fusion::GlobalParams& p = *engine.m_global_params;
    const int64_t total = static_cast<int64_t>(p.hash_bucket_num) + p.hash_excess_list_size;
    std::set<std::tuple<int, int, int>> seen;
    std::set<int32_t> blocks;
    for (int32_t bucket = 0; bucket < p.hash_bucket_num; ++bucket) {
        int32_t i = bucket;
        int steps = 0;
        for (;;) {
            const fusion::HashEntry& e = engine.m_hash_entries[i];
            const int32_t next = e.next();
            if (next < 0) {
                if (i != bucket) return "a chain links an empty entry";
                break;
            }
            if (!seen.insert({e.x, e.y, e.z}).second) return "a block stored twice";
            if (!blocks.insert(e.blockIndex()).second) return "a block index given twice";
            if (next == 0) break;
            if (next < p.hash_bucket_num || next >= total) return "a link outside the excess list";
            if (++steps > p.hash_excess_list_size) return "a cycle";
            i = next;
        }
    }
    if (static_cast<int64_t>(seen.size()) != engine.m_block_count.load()) {
        return "the block count differs from the reachable blocks";
    }
    return "";
}

// Threads insert overlapping sets of blocks into a table of 16 buckets and
// 32 excess entries. Insertions fail once the excess list is used up, but
// every block that got an entry is found again with its own index, no block
// is stored twice, and a block whose bucket is still empty can be inserted.
TEST(ConcurrentInsertion, ExhaustedExcessListKeepsTheTableConsistent) {
    fusion::GlobalParams p = reliability::smallParams();
    p.hash_bucket_num = 16;
    p.hash_mask = 15;
    p.hash_excess_list_size = 32;
    auto engine = reliability::makeEngine(p);
    ASSERT_TRUE(engine);

    constexpr int kThreads = 4;
    constexpr int kBlocks = 72;  // more than 16 + 32
    std::vector<std::vector<const fusion::HashEntry*>> got(
        kThreads, std::vector<const fusion::HashEntry*>(kBlocks));
    auto blockAt = [](int k) { return Int3{k % 6 - 3, (k / 6) % 4, k / 24}; };
    ::testing::internal::CaptureStdout();
    {
        std::vector<std::thread> threads;
        std::atomic<int> ready{0};
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                yieldUntil([&] { return ready.load() == kThreads; });
                for (int j = 0; j < kBlocks; ++j) {
                    const int k = (j * (2 * t + 1) + 7 * t) % kBlocks;  // a different order each
                    got[static_cast<std::size_t>(t)][static_cast<std::size_t>(k)] =
                        engine->findOrInsertBlock(blockAt(k));
                }
            });
        }
        for (auto& th : threads) th.join();
    }
    const std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(tableProblem(*engine), "");
    EXPECT_LE(engine->m_block_count.load(), p.hash_bucket_num + p.hash_excess_list_size);
    int stored = 0;
    for (int k = 0; k < kBlocks; ++k) {
        const Int3 b = blockAt(k);
        const int32_t found = engine->findBlock(b);
        const fusion::HashEntry* first = nullptr;
        for (int t = 0; t < kThreads; ++t) {
            const fusion::HashEntry* e =
                got[static_cast<std::size_t>(t)][static_cast<std::size_t>(k)];
            if (e == nullptr) continue;
            EXPECT_TRUE(e->holds(b.x, b.y, b.z)) << k;
            if (first == nullptr) first = e;
            EXPECT_EQ(e, first) << "one entry per block, whoever inserted it";
        }
        if (first != nullptr) {
            ++stored;
            EXPECT_EQ(found, first->blockIndex()) << k;
        }
    }
    EXPECT_EQ(stored, engine->m_block_count.load());
    EXPECT_LT(stored, kBlocks) << "the table must have run out";
    EXPECT_NE(printed.find("---- error: (cur_ExcessHash_Index - m_global_params.hash_bucket_num) > "
                           "m_global_params.hash_excess_list_size ------- \n"),
              std::string::npos);

    // Placements through full chains are dropped; the volume stays whole.
    std::vector<Frame> frames = reliability::sweep(Shape::Plate, 2, 39);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(reliability::process(*engine, frames[0], false), 0);
    engine->waitUntilIdle(kPoll);
    EXPECT_EQ(reliability::process(*engine, frames[1], true), 0);
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(tableProblem(*engine), "");
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
    EXPECT_EQ(
        reliability::idProblem(reliability::liveVertices(*engine), reliability::vertexNum(*engine)),
        "");

    // Clearing gives the whole table back: the same insertions succeed as
    // in a table that was never used.
    auto fill = [](HashTable& e) {
        int placed = 0;
        for (int k = 0; k < 64; ++k) {
            if (e.findOrInsertBlock(Int3{k, -k, 2 * k}) != nullptr) ++placed;
        }
        return placed;
    };
    auto fresh = reliability::makeEngine(p);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(engine->reset(), 0);
    ::testing::internal::CaptureStdout();
    const int placed_fresh = fill(*fresh);
    const int placed_again = fill(*engine);
    (void)::testing::internal::GetCapturedStdout();
    EXPECT_EQ(placed_again, placed_fresh);
    EXPECT_GE(placed_fresh, p.hash_excess_list_size);
    EXPECT_EQ(tableProblem(*engine), "");
}

// ---- observation counts at the 16-bit ceiling ---------------------------------------

const FusionPoint* recordAt(const HashTable& engine, const float position[3],
                            const float normal[3]) {
    FusionPoint* record = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    if (engine.lookupPoint(fusion::voxelOf(position, engine.m_resolution), normal, record, voxel,
                           index) != 0) {
        return nullptr;
    }
    return record;
}

// Frames of 59,999 copies of one point: the stored count stops at 65,535
// instead of wrapping (a wrapped count of 0 would empty the record), and
// the point stays where it is and stays in the model.
TEST(ObservationCount, SaturatesThroughFrames) {
    auto engine = reliability::makeSmallEngine();
    ASSERT_TRUE(engine);
    const PointData point = {{1.3f, -2.1f, 0.7f}, {0.0f, 0.6f, 0.8f}, 8};
    const int per_frame = engine->m_global_params->max_frame_point_num - 1;
    const std::vector<PointData> frame(static_cast<std::size_t>(per_frame), point);
    double pose[16] = {};
    std::vector<int> expected_counts;
    for (int f = 0; f < 3; ++f) {
        ASSERT_EQ(engine->process(frame.data(), per_frame, {{per_frame}}, pose, f != 1), 0);
        engine->waitUntilIdle(kPoll);
        const FusionPoint* record = recordAt(*engine, point.position, point.normal);
        ASSERT_NE(record, nullptr) << f;
        EXPECT_EQ(record->observation_count, std::min<int>((f + 1) * per_frame, 65535)) << f;
        // A running mean in float drifts by rounding only, far inside the voxel.
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(record->position[k], point.position[k], 2e-3f);
        }
    }
    const FusionPoint* record = recordAt(*engine, point.position, point.normal);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(engine->m_point_next.load(), 1) << "all copies fused into one record";
}

// Places a record with the given count directly, as an observation.
int32_t placeRecord(HashTable& engine, float x, uint16_t count) {
    FusionPoint p = fusion::defaultFusionPoint();
    const float position[3] = {x, 0.2f, 0.1f};
    const float normal[3] = {1.0f, 0.0f, 0.0f};
    for (int k = 0; k < 3; ++k) {
        p.position[k] = position[k];
        p.normal[k] = normal[k];
    }
    p.observation_count = count;
    p.confirmed_flag = 1;
    int32_t index = -1;
    FusionPoint* record = nullptr;
    if (engine.addObservation(position, normal, p, index, record) != 0) return -1;
    record->view_id = engine.getOrAllocateViewId(*record);
    return index;
}

// Two layers whose counts add up past 65,535 merge into one record that
// keeps the ceiling: the merged point stays in the model (and is reported
// as changed), the absorbed one is removed.
class MergedCount : public ::testing::TestWithParam<std::tuple<bool, int, int>> {};

TEST_P(MergedCount, StaysAtTheCeiling) {
    const bool quiet = std::get<0>(GetParam());
    const int a_count = std::get<1>(GetParam());
    const int b_count = std::get<2>(GetParam());
    auto engine = reliability::makeSmallEngine(1.0f);
    ASSERT_TRUE(engine);
    const int32_t a = placeRecord(*engine, 0.45f, static_cast<uint16_t>(a_count));
    const int32_t b = placeRecord(*engine, 0.65f, static_cast<uint16_t>(b_count));
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::vector<Vertices> buffer(static_cast<std::size_t>(engine->updateBufferCapacity()));
    std::atomic<int32_t> updates{0};
    const int result = quiet ? engine->mergeLayersQuiet(engine->pointAt(a))
                             : engine->mergeLayers(engine->pointAt(a), buffer.data(), updates);
    ASSERT_EQ(result, 0);

    const std::vector<Vertices> live = reliability::liveVertices(*engine);
    ASSERT_EQ(live.size(), 1u) << "the merged record must stay in the model";
    const FusionPoint* survivor = nullptr;
    for (int32_t i : {a, b}) {
        if (engine->pointAt(i)->observation_count != 0) survivor = engine->pointAt(i);
    }
    ASSERT_NE(survivor, nullptr);
    EXPECT_EQ(survivor->observation_count, std::min(a_count + b_count, 65535));
    const float expected =
        (0.45f * a_count + 0.65f * b_count) / static_cast<float>(a_count + b_count);
    EXPECT_NEAR(survivor->position[0], expected, 1e-5f);
    EXPECT_EQ(live[0].view_id, survivor->view_id);
    if (!quiet) {
        ASSERT_EQ(updates.load(), 2);
        EXPECT_EQ(buffer[0].state, 1);
        EXPECT_EQ(buffer[1].state, 255);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, MergedCount,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(65535, 40000),
                                            ::testing::Values(1, 30000, 65535)),
                         [](const ::testing::TestParamInfo<std::tuple<bool, int, int>>& info) {
                             return std::string(std::get<0>(info.param) ? "Quiet" : "Frame") + "A" +
                                    std::to_string(std::get<1>(info.param)) + "B" +
                                    std::to_string(std::get<2>(info.param));
                         });

// ---- coordinates beyond the voxel grid ---------------------------------------------

// Positions whose voxel coordinate would not fit the 32-bit grid are error
// data at intake, like non-finite ones: reported and never placed, so no
// voxel address is ever computed from an overflowed coordinate.
TEST(HugeCoordinates, AreRejectedAtIntake) {
    auto engine = reliability::makeSmallEngine(0.5f);
    ASSERT_TRUE(engine);
    const float huge[] = {1.2e9f, -1.2e9f, 3.0e9f, -1.07374182e9f, 1.0e30f, -FLT_MAX, FLT_MAX};
    std::vector<PointData> frame;
    for (float h : huge) {
        for (int axis = 0; axis < 3; ++axis) {
            PointData p = {{0.3f, 0.4f, 0.5f}, {0.0f, 0.0f, 1.0f}, 32};
            p.position[axis] = h;
            frame.push_back(p);
        }
    }
    const std::size_t rejected = frame.size();
    frame.push_back({{0.3f, 0.4f, 0.5f}, {0.0f, 0.0f, 1.0f}, 32});
    double pose[16] = {};

    ::testing::internal::CaptureStdout();
    const int status = engine->process(frame.data(), static_cast<int>(frame.size()),
                                       {{static_cast<int>(frame.size())}}, pose, true);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0);
    std::size_t reports = 0;
    for (std::size_t at = printed.find("--- error data ---\n"); at != std::string::npos;
         at = printed.find("--- error data ---\n", at + 1)) {
        ++reports;
    }
    EXPECT_EQ(reports, rejected);
    EXPECT_EQ(engine->m_point_next.load(), 1) << "only the ordinary point is stored";
    EXPECT_EQ(engine->m_block_count.load(), 1);

    // The fine-level point lays markers along its normal; none of them may
    // land outside its voxel block's storage.
    EXPECT_EQ(engine->dataOrganize(), 0);
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

// Records are read without locks, so a reader may see one that another
// thread has just cleared (NaN position). Whatever float a position holds,
// its voxel coordinate must leave room for the neighbour offsets of a walk,
// and every block and local index derived from it must be in range.
class AnyPosition : public ::testing::TestWithParam<float> {};

TEST_P(AnyPosition, GivesAddressableVoxels) {
    const fusion::GlobalParams p = fusion::defaultGlobalParams();
    const float position[3] = {GetParam(), -GetParam(), 0.25f};
    const Int3 c = fusion::voxelOf(position, 0.5f);
    for (int axis = 0; axis < 3; ++axis) {
        ASSERT_LE(std::abs(static_cast<int64_t>(c[axis])), int64_t{1} << 30) << axis;
        for (int offset = -3; offset <= 3; ++offset) {
            Int3 n = c;
            n[axis] += offset;
            const Int3 b = fusion::blockOf(n, p);
            const int32_t local = fusion::localIndexOf(n, b, p);
            EXPECT_GE(local, 0) << axis << " " << offset;
            EXPECT_LT(local, p.block_voxel_num) << axis << " " << offset;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Extremes, AnyPosition,
                         ::testing::Values(std::nanf(""), INFINITY, FLT_MAX, 1.0e30f, 3.0e9f,
                                           1.07374182e9f, 2.0e8f, -0.0f, 1.0e-40f));

// A record cleared between a reader's count check and its position read:
// merging and normal estimation find nothing at a NaN position and leave
// the volume alone.
TEST(HugeCoordinates, RecordClearedUnderAReaderIsLeftAlone) {
    auto engine = reliability::makeSmallEngine(0.5f);
    ASSERT_TRUE(engine);
    std::vector<Frame> frames = reliability::sweep(Shape::Sphere, 1, 41);
    ASSERT_EQ(engine->buildByExistingPoints(frames[0].points.data(),
                                            static_cast<int>(frames[0].points.size())),
              0);
    FusionPoint* record = engine->pointAt(0);
    ASSERT_NE(record->observation_count, 0);
    const FusionPoint kept = *record;
    for (float& v : record->position) v = fusion::quietNaN();

    std::vector<Vertices> buffer(static_cast<std::size_t>(engine->updateBufferCapacity()));
    std::atomic<int32_t> updates{0};
    EXPECT_EQ(engine->mergeLayers(record, buffer.data(), updates), 1);
    EXPECT_EQ(engine->errorMessage(), "waiting for fusion data not found!");
    EXPECT_EQ(engine->mergeLayersQuiet(record), 1);
    EXPECT_FALSE(engine->estimateFrameNormal(record));
    EXPECT_EQ(updates.load(), 0);
    *record = kept;
    EXPECT_EQ(reliability::volumeProblem(*engine), "");
}

}  // namespace
