// The frame pipeline behind process(): validation, the in-progress flag,
// the callback, the bounded second stages on the pool, and whole sweeps of
// the simulated scanner fused in both modes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "sim/Simulator.h"
#include "support/EngineFixture.h"
#include "support/PipelineHelpers.h"

namespace {

using fusion::HashTable;
using fusion::PointData;
using fusion::Vertices;
using fusion_test::PoolBlocker;
using fusion_test::drainPool;
using fusion_test::patch;

double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Records every callback with the thread it ran on and what the engine
// looked like at that moment.
struct CallbackLog {
    std::vector<int> statuses;
    bool on_caller_thread = true;
    bool processing_seen = false;

    void attach(HashTable& engine) {
        const std::thread::id caller = std::this_thread::get_id();
        engine.setProcessFinishedCallback([this, &engine, caller](int status) {
            statuses.push_back(status);
            on_caller_thread = on_caller_thread && std::this_thread::get_id() == caller;
            processing_seen = processing_seen || engine.m_processing.load();
        });
    }
};

int slotsHeld(HashTable& engine) {
    int held = 0;
    for (int i = 0; i < engine.m_thread_num; ++i) held += engine.m_task_slots[i].load() != 0 ? 1 : 0;
    return held;
}

int taskCount(HashTable& engine) {
    std::lock_guard<std::mutex> guard(engine.m_mutex);
    return engine.m_task_num;
}

// ---------------------------------------------------------------------------
// Validation.

enum class Bad { NullPoints, ZeroCount, NegativeCount, CountAtLimit, NullPose };

class ProcessRejects : public ::testing::TestWithParam<Bad> {};

TEST_P(ProcessRejects, InvalidFramesWithoutCallbackOrStorage) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    const int limit = engine->m_global_params->max_frame_point_num;
    const std::vector<PointData> points = patch(limit, 0.3f);
    const PointData* data = points.data();
    int count = 10;
    double* pose = kIdentity;
    switch (GetParam()) {
        case Bad::NullPoints: data = nullptr; break;
        case Bad::ZeroCount: count = 0; break;
        case Bad::NegativeCount: count = -3; break;
        case Bad::CountAtLimit: count = limit; break;
        case Bad::NullPose: pose = nullptr; break;
    }
    EXPECT_EQ(engine->process(data, count, {{count}}, pose, false), 1);
    EXPECT_EQ(engine->errorMessage(), "invalid data !");
    EXPECT_TRUE(log.statuses.empty());
    EXPECT_EQ(engine->m_frame_counter, 0);
    EXPECT_EQ(engine->m_point_next.load(), 0);
    EXPECT_FALSE(engine->m_processing.load());
}

INSTANTIATE_TEST_SUITE_P(Arguments, ProcessRejects,
                         ::testing::Values(Bad::NullPoints, Bad::ZeroCount, Bad::NegativeCount,
                                           Bad::CountAtLimit, Bad::NullPose));

TEST(Pipeline, ProcessBeforeInitSaysSoAndKeepsTheCallbackForLater) {
    HashTable engine;
    CallbackLog log;
    log.attach(engine);
    const std::vector<PointData> points = patch(50, 0.3f);
    EXPECT_EQ(engine.process(points.data(), 50, {{50}}, kIdentity, true), 1);
    EXPECT_EQ(engine.errorMessage(), "no init !");
    EXPECT_TRUE(log.statuses.empty());

    ASSERT_EQ(engine.init(), 0);
    engine.setResolution(0.5f);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    engine.setDeviceInfo(device);
    EXPECT_EQ(engine.process(points.data(), 50, {{50}}, kIdentity, true), 0);
    EXPECT_EQ(log.statuses, std::vector<int>{0});
    EXPECT_TRUE(log.on_caller_thread);
    EXPECT_FALSE(log.processing_seen) << "the flag is cleared before the callback";
}

// The largest accepted frame, in both modes; the pose is not applied.
class ProcessAccepts : public ::testing::TestWithParam<bool> {};

TEST_P(ProcessAccepts, OneBelowTheLimitIsFusedWhereItLies) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    const int count = engine->m_global_params->max_frame_point_num - 1;
    const std::vector<PointData> points = patch(count, 0.3f, 7.0f);
    double shifted[16] = {1, 0, 0, 100, 0, 1, 0, 100, 0, 0, 1, 100, 0, 0, 0, 1};
    EXPECT_EQ(engine->process(points.data(), count, {{count}}, shifted, GetParam()), 0);
    EXPECT_EQ(log.statuses, std::vector<int>{0});
    EXPECT_EQ(engine->m_frame_counter, 1);
    EXPECT_EQ(engine->m_blocking_frame, GetParam());
    const int32_t stored = engine->m_point_next.load();
    EXPECT_GT(stored, 0);
    for (int32_t i = 0; i < stored; ++i) {
        ASSERT_FLOAT_EQ(engine->pointAt(i)->position[2], 7.0f) << "record " << i;
    }
    engine->waitUntilIdle(std::chrono::milliseconds(1));
}

INSTANTIATE_TEST_SUITE_P(Modes, ProcessAccepts, ::testing::Bool());

TEST(Pipeline, FusionSwitchedOffAnswersZeroAndStoresNothing) {
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    CallbackLog log;
    log.attach(engine);
    engine.setResolution(0.5f);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.6f;  // coarser than the voxels
    engine.setDeviceInfo(device);
    ASSERT_EQ(engine.m_global_params->fusion_enabled, 0);

    const std::vector<PointData> points = patch(100, 0.3f);
    for (bool blocking : {false, true}) {
        EXPECT_EQ(engine.process(points.data(), 100, {{100}}, kIdentity, blocking), 0);
    }
    EXPECT_EQ(log.statuses, (std::vector<int>{0, 0}));
    EXPECT_EQ(engine.m_frame_counter, 0);
    EXPECT_EQ(engine.m_point_next.load(), 0);
    int vertices = -1;
    EXPECT_EQ(engine.getVertexNum(vertices), 0);
    EXPECT_EQ(vertices, 0);
}

TEST(Pipeline, MissingFirstBufferFailsTheFrameButKeepsItsPoints) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    const std::vector<PointData> points = patch(200, 0.3f);
    fusion::platform::failAllocationsAfter(0);
    const int result = engine->process(points.data(), 200, {{200}}, kIdentity, false);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(log.statuses, std::vector<int>{1});
    EXPECT_GT(engine->m_point_next.load(), 0);
    EXPECT_FALSE(engine->m_processing.load());
    EXPECT_EQ(taskCount(*engine), 0) << "no second stage for a failed frame";
}

TEST(Pipeline, MissingBlockingSecondStageBufferSkipsOnlyThatStage) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    const std::vector<PointData> points = patch(200, 0.3f);
    fusion::platform::failAllocationsAfter(1);  // the first-stage buffer only
    const int result = engine->process(points.data(), 200, {{200}}, kIdentity, true);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log.statuses, std::vector<int>{0});
}

TEST(Pipeline, ExceptionInsideIsContainedAndClearsTheFlag) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    engine->m_thread_pool->stop();  // queuing the second stage now throws
    const std::vector<PointData> points = patch(100, 0.3f);
    EXPECT_EQ(engine->process(points.data(), 100, {{100}}, kIdentity, false), 1);
    EXPECT_EQ(engine->errorMessage(), "process try catch error !");
    EXPECT_TRUE(log.statuses.empty());
    EXPECT_FALSE(engine->m_processing.load());
    EXPECT_EQ(taskCount(*engine), 0) << "the slot taken for the failed commit is given back";
    EXPECT_EQ(slotsHeld(*engine), 0);
}

TEST(Pipeline, BlockingFrameReportsNoUpdates) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    const std::vector<PointData> points = patch(400, 0.3f);
    for (int frame = 0; frame < 12; ++frame) {
        ASSERT_EQ(engine->process(points.data(), 400, {{400}}, kIdentity, true), 0);
    }
    EXPECT_TRUE(engine->m_view_updates.empty());
    EXPECT_EQ(taskCount(*engine), 0) << "blocking frames never use the pool";
}

// ---------------------------------------------------------------------------
// Second stages and their slots.

TEST(Pipeline, SecondStageHoldsASlotUntilItHasRun) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    const std::vector<PointData> points = patch(300, 0.3f);
    {
        PoolBlocker blocker(*engine->m_thread_pool);
        for (int frame = 1; frame <= 2; ++frame) {
            ASSERT_EQ(engine->process(points.data(), 300, {{300}}, kIdentity, false), 0);
            EXPECT_EQ(taskCount(*engine), frame) << "queued behind the blocked workers";
            EXPECT_EQ(slotsHeld(*engine), frame);
        }
        EXPECT_EQ(log.statuses, (std::vector<int>{0, 0})) << "called while the stages wait";
    }
    drainPool(*engine->m_thread_pool);
    EXPECT_EQ(taskCount(*engine), 0);
    EXPECT_EQ(slotsHeld(*engine), 0);
}

TEST(Pipeline, AllSlotsTakenDropsTheSecondStage) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    CallbackLog log;
    log.attach(*engine);
    {
        std::lock_guard<std::mutex> guard(engine->m_mutex);
        for (int i = 0; i < engine->m_thread_num; ++i) engine->m_task_slots[i].store(1);
        engine->m_task_num = engine->m_thread_num;
    }
    const std::vector<PointData> points = patch(300, 0.3f);
    {
        PoolBlocker blocker(*engine->m_thread_pool);
        EXPECT_EQ(engine->process(points.data(), 300, {{300}}, kIdentity, false), 0);
        EXPECT_EQ(log.statuses, std::vector<int>{0});
    }
    // Had a stage been queued anyway, it would have run by now and given a
    // slot back.
    drainPool(*engine->m_thread_pool);
    EXPECT_EQ(taskCount(*engine), engine->m_thread_num);
    EXPECT_EQ(slotsHeld(*engine), engine->m_thread_num);
    EXPECT_GT(engine->m_point_next.load(), 0) << "the first stage still stored the frame";

    std::lock_guard<std::mutex> guard(engine->m_mutex);
    for (int i = 0; i < engine->m_thread_num; ++i) engine->m_task_slots[i].store(0);
    engine->m_task_num = 0;
}

TEST(Pipeline, MissingSecondStageBufferGivesTheSlotBack) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    const std::vector<PointData> points = patch(300, 0.3f);
    {
        PoolBlocker blocker(*engine->m_thread_pool);
        ASSERT_EQ(engine->process(points.data(), 300, {{300}}, kIdentity, false), 0);
        ASSERT_EQ(taskCount(*engine), 1);
        fusion::platform::failAllocationsAfter(0);
    }
    drainPool(*engine->m_thread_pool);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(taskCount(*engine), 0);
    EXPECT_EQ(slotsHeld(*engine), 0);
}

// reset() on another thread while a frame's second stage is still queued:
// when reset returns, the stage must have finished.
TEST(Pipeline, ResetWaitsForQueuedSecondStages) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    const std::vector<PointData> points = patch(300, 0.3f);
    auto blocker = std::make_unique<PoolBlocker>(*engine->m_thread_pool);
    ASSERT_EQ(engine->process(points.data(), 300, {{300}}, kIdentity, false), 0);
    ASSERT_EQ(taskCount(*engine), 1);

    std::atomic<bool> resetting{false};
    int tasks_at_return = -1, slots_at_return = -1, result = -1;
    std::thread other([&] {
        resetting = true;
        result = engine->reset();
        tasks_at_return = taskCount(*engine);
        slots_at_return = slotsHeld(*engine);
    });
    while (!resetting.load()) std::this_thread::yield();
    blocker.reset();  // lets the queued stage run
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(tasks_at_return, 0);
    EXPECT_EQ(slots_at_return, 0);
    EXPECT_EQ(engine->m_point_next.load(), 0);
}

// deInit() releases the storage a queued stage reads; returning before the
// stage ran would make it read freed memory.
TEST(Pipeline, DeInitWaitsForQueuedSecondStages) {
    auto engine = fusion_test::makeEngine();
    ASSERT_NE(engine, nullptr);
    const std::vector<PointData> points = patch(300, 0.3f);
    auto blocker = std::make_unique<PoolBlocker>(*engine->m_thread_pool);
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(engine->process(points.data(), 300, {{300}}, kIdentity, false), 0);
    }
    ASSERT_EQ(taskCount(*engine), 3);

    std::atomic<bool> stopping{false};
    int result = -1;
    int tasks_at_return = -1;
    std::thread other([&] {
        stopping = true;
        result = engine->deInit();
        tasks_at_return = taskCount(*engine);
    });
    while (!stopping.load()) std::this_thread::yield();
    blocker.reset();
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(tasks_at_return, 0);
    EXPECT_FALSE(engine->m_is_init);
}

// ---------------------------------------------------------------------------
// Whole sweeps of the simulated scanner.

struct SweepResult {
    std::vector<int> live_after_frame;
    std::vector<Vertices> live;
    std::set<int32_t> announced;
};

std::vector<Vertices> extractLive(HashTable& engine) {
    Vertices* array = nullptr;
    int count = 0;
    EXPECT_EQ(engine.extractLivePoints(&array, count), 0);
    std::vector<Vertices> live(array, array + (array != nullptr ? count : 0));
    delete[] array;
    return live;
}

void drainUpdates(HashTable& engine, std::set<int32_t>& announced) {
    Vertices* array = nullptr;
    int count = 0;
    engine.getUpdateVertices(&array, count);
    for (int i = 0; array != nullptr && i < count; ++i) {
        if (array[i].state != 255) announced.insert(array[i].view_id);
    }
    delete[] array;
}

void runSweep(HashTable& engine, const kelvane_sim::SweepOptions& options, bool blocking,
              SweepResult& out) {
    kelvane_sim::Scanner scanner(options);
    kelvane_sim::Frame frame;
    while (scanner.next(frame)) {
        const int count = static_cast<int>(frame.points.size());
        ASSERT_EQ(engine.process(frame.points.data(), count, frame.views, frame.pose, blocking), 0);
        // Let the queued stage finish so the counts below are settled.
        engine.waitUntilIdle(std::chrono::milliseconds(1));
        drainUpdates(engine, out.announced);
        out.live_after_frame.push_back(static_cast<int>(extractLive(engine).size()));
    }
    out.live = extractLive(engine);
}

class Sweep : public ::testing::TestWithParam<bool> {};

TEST_P(Sweep, FusesOntoTheSurfaceAndStopsGrowingOnceCovered) {
    const bool blocking = GetParam();
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    kelvane_sim::SweepOptions options;
    options.shape = kelvane_sim::Shape::Sphere;
    options.frames = 24;
    options.rows = 100;
    options.columns = 125;
    options.seed = 5;

    SweepResult first;
    runSweep(*engine, options, blocking, first);
    ASSERT_FALSE(HasFatalFailure());
    // The first frame that shows live points against the end of the orbit.
    const auto first_live = std::find_if(first.live_after_frame.begin(), first.live_after_frame.end(),
                                         [](int n) { return n > 0; });
    ASSERT_NE(first_live, first.live_after_frame.end());
    const int early = *first_live;
    const int covered = first.live_after_frame.back();
    EXPECT_GT(covered, 2 * early) << "the orbit keeps showing new surface";

    // The same orbit again with fresh noise covers nothing new.
    options.seed = 6;
    SweepResult second;
    runSweep(*engine, options, blocking, second);
    ASSERT_FALSE(HasFatalFailure());
    const int again = second.live_after_frame.back();
    EXPECT_LE(again, covered + covered / 20) << "re-scanned surface must fuse, not pile up";

    // Each live point sits on the sphere, within the scanner's noise, and
    // keeps an outward normal.
    int off_surface = 0;
    int inward = 0;
    for (const Vertices& v : second.live) {
        if (std::fabs(kelvane_sim::surfaceDistance(options, v.position)) > 0.1f) ++off_surface;
        float truth[3];
        kelvane_sim::surfaceNormal(options, v.position, truth);
        if (truth[0] * v.normal[0] + truth[1] * v.normal[1] + truth[2] * v.normal[2] <= 0.0f) ++inward;
    }
    EXPECT_EQ(off_surface, 0) << "of " << second.live.size();
    EXPECT_EQ(inward, 0) << "of " << second.live.size();

    if (!blocking) {
        // Non-blocking frames report their points: every live vertex was
        // announced to the host under its id.
        std::set<int32_t> announced = first.announced;
        announced.insert(second.announced.begin(), second.announced.end());
        int unannounced = 0;
        for (const Vertices& v : second.live) unannounced += announced.count(v.view_id) == 0 ? 1 : 0;
        EXPECT_EQ(unannounced, 0);
    } else {
        EXPECT_TRUE(first.announced.empty() && second.announced.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, Sweep, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Blocking" : "Grouped");
                         });

}  // namespace
