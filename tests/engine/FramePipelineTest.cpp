// process() and its stages: validation, callback, buffers, the bounded
// second stages on the pool, and simulated sweeps fused in both modes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "sim/Simulator.h"
#include "support/EngineFixture.h"
#include "support/FrameHelpers.h"

namespace {

using fusion::HashTable;
using fusion::PointData;

double kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

std::vector<PointData> patch(int count, float z = 10.0f) {
    std::vector<PointData> points;
    for (int i = 0; i < count; ++i) points.push_back(fusion_test::makePoint(1 + 0.3f * (i % 250), 1 + 0.3f * (i / 250), z, 0, 0, 1));
    return points;
}

int tasksHeld(HashTable& engine) {
    std::lock_guard<std::mutex> guard(engine.m_mutex);
    int slots = 0;
    for (int i = 0; i < engine.m_thread_num; ++i) slots += engine.m_task_slots[i].load();
    EXPECT_EQ(slots, engine.m_task_num) << "one slot per queued or running stage";
    return engine.m_task_num;
}

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine = fusion_test::makeEngine();
        ASSERT_NE(engine, nullptr);
        engine->setProcessFinishedCallback([this](int status) {
            statuses.push_back(status);
            flag_seen = flag_seen || engine->m_processing.load() || std::this_thread::get_id() != caller;
        });
    }
    int frame(int count, bool blocking, double* pose = kIdentity) {
        const std::vector<PointData> points = patch(std::max(count, 1));
        return engine->process(points.data(), count, {{count}}, pose, blocking);
    }
    std::unique_ptr<HashTable> engine;
    std::vector<int> statuses;
    bool flag_seen = false;  // a callback saw the flag set, or ran on another thread
    const std::thread::id caller = std::this_thread::get_id();
};

TEST_F(PipelineTest, InvalidFramesAreRefusedWithoutCallback) {
    const int limit = engine->m_global_params->max_frame_point_num;
    EXPECT_EQ(engine->process(nullptr, 5, {{5}}, kIdentity, false), 1);
    EXPECT_EQ(frame(0, false), 1);
    EXPECT_EQ(frame(limit, true), 1);
    EXPECT_EQ(frame(5, true, nullptr), 1);
    EXPECT_EQ(engine->errorMessage(), "invalid data !");
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(engine->m_frame_counter, 0);

    EXPECT_EQ(frame(limit - 1, true), 0);
    EXPECT_EQ(statuses, std::vector<int>{0});
    EXPECT_FALSE(flag_seen);
    EXPECT_TRUE(engine->m_view_updates.empty()) << "a blocking frame reports no updates";
}

TEST_F(PipelineTest, CallbackSetBeforeInitAndFusionSwitchedOff) {
    ASSERT_EQ(engine->deInit(), 0);
    EXPECT_EQ(frame(5, true), 1);
    EXPECT_EQ(engine->errorMessage(), "no init !");
    ASSERT_EQ(engine->init(), 0);
    engine->setResolution(0.5f);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.6f;  // coarser than the voxels: fusion off
    engine->setDeviceInfo(device);
    EXPECT_EQ(frame(5, false), 0);
    EXPECT_EQ(statuses, std::vector<int>{0});
    EXPECT_EQ(engine->m_point_next.load(), 0);
    EXPECT_EQ(engine->m_frame_counter, 0);
}

TEST_F(PipelineTest, MissingBuffersAndExceptions) {
    fusion::platform::failAllocationsAfter(0);
    EXPECT_EQ(frame(100, false), 1);
    fusion::platform::failAllocationsAfter(1);  // blocking second stage only
    EXPECT_EQ(frame(100, true), 0);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(statuses, (std::vector<int>{1, 0}));
    EXPECT_GT(engine->m_point_next.load(), 0) << "a failed frame keeps its points";

    engine->m_thread_pool->stop();  // queuing the second stage now throws
    EXPECT_EQ(frame(100, false), 1);
    EXPECT_EQ(engine->errorMessage(), "process try catch error !");
    EXPECT_EQ(statuses.size(), 2u);
    EXPECT_FALSE(engine->m_processing.load());
    EXPECT_EQ(tasksHeld(*engine), 0);
}

TEST_F(PipelineTest, SecondStagesHoldSlotsAndAreDroppedWhenAllAreTaken) {
    {
        fusion_test::PoolBlocker blocker(*engine->m_thread_pool);
        for (int queued = 1; queued <= engine->m_thread_num; ++queued) {
            ASSERT_EQ(frame(100, false), 0);
            EXPECT_EQ(tasksHeld(*engine), queued);
        }
        EXPECT_EQ(frame(100, false), 0);
        EXPECT_EQ(tasksHeld(*engine), engine->m_thread_num) << "no slot, no second stage";
        EXPECT_EQ(frame(100, false), 0);
        EXPECT_EQ(engine->droppedSecondStages(), 2) << "each skipped stage is counted";
        fusion::platform::failAllocationsAfter(0);  // the queued stages will find no buffer
    }
    fusion_test::drainPool(*engine->m_thread_pool);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(tasksHeld(*engine), 0);
    EXPECT_EQ(statuses, std::vector<int>(engine->m_thread_num + 2, 0));
    EXPECT_EQ(engine->droppedSecondStages(), 2) << "queued stages that ran are not dropped";
    ASSERT_EQ(engine->reset(), 0);
    EXPECT_EQ(engine->droppedSecondStages(), 0);
}

// deInit and reset on another thread, while stages are still queued: when
// they return the stages have run (otherwise they would read freed storage).
class PipelineShutdown : public PipelineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PipelineShutdown, WaitsForQueuedSecondStages) {
    auto blocker = std::make_unique<fusion_test::PoolBlocker>(*engine->m_thread_pool);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(frame(300, false), 0);
    }
    std::atomic<bool> started{false};
    int result = -1, held = -1;
    std::thread other([&] {
        started = true;
        result = GetParam() ? engine->deInit() : engine->reset();
        held = GetParam() ? engine->m_task_num : tasksHeld(*engine);
    });
    while (!started) std::this_thread::yield();
    blocker.reset();
    other.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(held, 0);
}

INSTANTIATE_TEST_SUITE_P(DeInitOrReset, PipelineShutdown, ::testing::Bool());

class Sweep : public ::testing::TestWithParam<bool> {};

// A simulated orbit fused twice with fresh noise: the model grows while new
// surface comes into view, stops growing once covered, lies on the sphere
// with outward normals, and (non-blocking) every vertex was announced.
TEST_P(Sweep, FusesTheSurfaceOnce) {
    auto engine = fusion_test::makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    kelvane_sim::SweepOptions options;
    options.frames = 24;
    options.rows = 100;
    options.columns = 125;
    std::set<int32_t> announced;
    std::vector<int> live_after;
    std::vector<fusion::Vertices> live;
    for (uint32_t seed : {5u, 6u}) {
        options.seed = seed;
        kelvane_sim::Scanner scanner(options);
        kelvane_sim::Frame f;
        while (scanner.next(f)) {
            int count = static_cast<int>(f.points.size());
            ASSERT_EQ(engine->process(f.points.data(), count, f.views, f.pose, GetParam()), 0);
            engine->waitUntilIdle(std::chrono::milliseconds(1));
            fusion::Vertices* array = nullptr;
            engine->getUpdateVertices(&array, count);
            for (int i = 0; array && i < count; ++i) announced.insert(array[i].view_id);
            delete[] array;
            ASSERT_EQ(engine->extractLivePoints(&array, count), 0);
            live.assign(array, array + count);
            delete[] array;
            if (count > 0) live_after.push_back(count);
        }
    }
    const int covered = live_after[live_after.size() - options.frames - 1];
    EXPECT_GT(covered, 2 * live_after.front()) << "the orbit keeps showing new surface";
    EXPECT_LE(live_after.back(), covered + covered / 20) << "re-scanned surface fuses, not piles up";
    int off = 0, inward = 0, unannounced = 0;
    for (const fusion::Vertices& v : live) {
        float truth[3];
        kelvane_sim::surfaceNormal(options, v.position, truth);
        off += std::fabs(kelvane_sim::surfaceDistance(options, v.position)) > 0.1f;  // 5 sigma
        inward += truth[0] * v.normal[0] + truth[1] * v.normal[1] + truth[2] * v.normal[2] <= 0;
        unannounced += announced.count(v.view_id) == 0;
    }
    EXPECT_EQ(off, 0);
    EXPECT_EQ(inward, 0);
    EXPECT_EQ(unannounced, GetParam() ? static_cast<int>(live.size()) : 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, Sweep, ::testing::Values(false, true));

}  // namespace
