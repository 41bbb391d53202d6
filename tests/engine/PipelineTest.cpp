// process() and its stages, simulated sweeps, one thread against many, and
// the host's mirror while frames stream.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "host/HostMirror.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;
using kelvane_sim::Shape;

std::vector<PointData> patch(int count, float z = 10.0f) {
    std::vector<PointData> points;
    for (int i = 0; i < count; ++i)
        points.push_back(makePoint(1 + 0.3f * (i % 250), 1 + 0.3f * (i / 250), z, 0, 0, 1));
    return points;
}

class PipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine = makeEngine();
        ASSERT_NE(engine, nullptr);
        engine->setProcessFinishedCallback([this](int status) {
            statuses.push_back(status);
            misplaced = misplaced || engine->processing() || std::this_thread::get_id() != caller;
        });
    }
    int frame(int count, bool blocking, double* pose = identityPose) {
        const std::vector<PointData> points = patch(std::max(count, 1));
        return engine->process(points.data(), count, {{count}}, pose, blocking);
    }
    std::unique_ptr<HashTable> engine;
    std::vector<int> statuses;
    bool misplaced = false;  // a callback saw the flag set, or ran on another thread
    const std::thread::id caller = std::this_thread::get_id();
};

TEST_F(PipelineTest, InvalidFramesAreRefusedWithoutCallback) {
    const int limit = engine->paramsCopy().max_frame_point_num;
    EXPECT_EQ(engine->process(nullptr, 5, {{5}}, identityPose, false), 1);
    EXPECT_EQ(frame(0, false), 1);
    EXPECT_EQ(frame(limit, true), 1);
    EXPECT_EQ(frame(5, true, nullptr), 1);
    EXPECT_EQ(engine->errorMessage(), "invalid data !");
    EXPECT_TRUE(statuses.empty());
    EXPECT_EQ(engine->frameCounter(), 0);

    EXPECT_EQ(frame(limit - 1, true), 0);
    EXPECT_EQ(statuses, std::vector<int>{0});
    EXPECT_FALSE(misplaced);
    EXPECT_FALSE(engine->updatesPending()) << "a blocking frame reports no updates";
    EXPECT_EQ(engine->errorMessage(), "invalid data !") << "success leaves the message alone";

    const int stored = engine->volume().points().nextIndex(), frames = engine->frameCounter();
    fusion::DeviceInfo device{};
    device.point_spacing = 0.6f;  // coarser than the voxels: fusion off, the callback still hears
    engine->setDeviceInfo(device);
    engine->setResolution(0.5f);
    EXPECT_EQ(frame(5, false), 0);
    EXPECT_EQ(statuses, (std::vector<int>{0, 0}));
    EXPECT_EQ(engine->volume().points().nextIndex(), stored);
    EXPECT_EQ(engine->frameCounter(), frames);
}

TEST_F(PipelineTest, MissingBuffersAndExceptions) {
    {
        FailingAllocations fail(0);
        EXPECT_EQ(frame(100, false), 1);
    }
    {
        FailingAllocations second_stage_only(1);
        EXPECT_EQ(frame(100, true), 0);
    }
    EXPECT_EQ(statuses, (std::vector<int>{1, 0}));
    EXPECT_GT(engine->volume().points().nextIndex(), 0) << "a failed frame keeps its points";

    engine->waitForPendingWork();  // nothing queued may outlive the pool
    engine->threadPool()->stop();  // queuing the second stage now throws
    EXPECT_EQ(frame(100, false), 1);
    EXPECT_EQ(engine->errorMessage(), "process try catch error !");
    EXPECT_EQ(statuses.size(), 2u) << "no callback after an exception";
    EXPECT_FALSE(engine->processing());
    EXPECT_EQ(engine->queuedSecondStages(), 0) << "the slot went back";
}

TEST_F(PipelineTest, SecondStagesHoldSlotsAndAreDroppedAndCountedWhenAllAreTaken) {
    const int slots = engine->threadCount();
    {
        PoolBlocker blocker(*engine->threadPool());
        for (int queued = 1; queued <= slots; ++queued) {
            ASSERT_EQ(frame(100, false), 0);
            EXPECT_EQ(engine->queuedSecondStages(), queued);
        }
        EXPECT_EQ(engine->droppedSecondStages(), 0);
        EXPECT_EQ(frame(100, false), 0);
        EXPECT_EQ(frame(100, false), 0);
        EXPECT_EQ(engine->queuedSecondStages(), slots) << "no slot, no second stage";
        EXPECT_EQ(engine->droppedSecondStages(), 2) << "each skipped stage is counted";
        EXPECT_EQ(frame(100, true), 0);
        EXPECT_EQ(engine->droppedSecondStages(), 2) << "a blocking frame runs its own";
    }
    engine->waitForPendingWork();
    EXPECT_EQ(engine->queuedSecondStages(), 0);
    EXPECT_EQ(engine->droppedSecondStages(), 2) << "queued stages that ran are not dropped";
    EXPECT_EQ(statuses, std::vector<int>(slots + 3, 0));
    EXPECT_EQ(frame(100, false), 0);
    engine->waitForPendingWork();
    EXPECT_EQ(engine->droppedSecondStages(), 2);
    ASSERT_EQ(engine->reset(), 0);
    EXPECT_EQ(engine->droppedSecondStages(), 0);
}

class Sweep : public ::testing::TestWithParam<std::tuple<Shape, bool>> {};

// An orbit fused twice: the model grows, then stops once covered, and lies on
// the object with outward normals. (HostMirrorIsExact checks the announcements.)
TEST_P(Sweep, FusesTheSurfaceOnce) {
    const auto [shape, blocking] = GetParam();
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    kelvane_sim::SweepOptions options = smallSweep(shape, 5, 24);
    options.rows = 100;
    options.columns = 125;
    std::vector<int> live_after;
    std::vector<Vertices> live;
    for (uint32_t seed : {5u, 6u}) {
        options.seed = seed;
        const kelvane_sim::Scanner scanner(options);
        kelvane_sim::Frame f;
        for (int i = 0; i < options.frames; ++i) {
            scanner.frameAt(i, f);
            ASSERT_EQ(engine->process(f.points.data(), static_cast<int>(f.points.size()), f.views,
                                      f.pose, blocking),
                      0);
            engine->waitForPendingWork();
            (void)drainUpdates(*engine);
            live = liveVertices(*engine);
            if (!live.empty()) live_after.push_back(static_cast<int>(live.size()));
        }
    }
    const int covered = live_after[live_after.size() - options.frames - 1];
    EXPECT_GT(covered, 2 * live_after.front()) << "the orbit keeps showing new surface";
    EXPECT_LE(live_after.back(), covered + covered / 20)
        << "re-scanned surface fuses, not piles up";
    int off = 0, inward = 0;
    for (const Vertices& v : live) {
        float truth[3];
        kelvane_sim::surfaceNormal(options, v.position, truth);
        off += std::fabs(kelvane_sim::surfaceDistance(options, v.position)) > 0.1f;  // 5 sigma
        inward += fusion::dot3(truth, v.normal) <= 0;
    }
    if (shape == Shape::Sphere) {  // a box's edges blur its faces' distances and normals
        EXPECT_EQ(off, 0);
        EXPECT_EQ(inward, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Objects, Sweep,
                         ::testing::Combine(::testing::Values(Shape::Sphere, Shape::Box),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(kelvane_sim::shapeName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "Blocking" : "NonBlocking");
                         });

// One thread and sixteen give the same model, up to summation order.
TEST(PipelineConcurrent, OneThreadAndManyGiveTheSameModel) {
    std::vector<std::vector<Vertices>> models;
    for (const int threads : {1, 16}) {
        auto engine = std::make_unique<HashTable>();
        engine->setInitThreadCount(threads);
        ASSERT_EQ(engine->init(), 0);
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        engine->setResolution(0.5f);
        engine->setDeviceInfo(device);
        ASSERT_EQ(engine->threadCount(), threads);
        ASSERT_TRUE(runFrames(*engine, smallSweep(Shape::Torus, 9, 10), true));
        models.push_back(liveVertices(*engine));
    }
    const std::vector<Vertices>& one = models[0];
    const std::vector<Vertices>& many = models[1];
    std::set<std::tuple<long, long, long, int>> rounded;  // positions to 1e-3 and the level
    auto key = [](const Vertices& v) {
        return std::make_tuple(std::lround(v.position[0] * 1e3f), std::lround(v.position[1] * 1e3f),
                               std::lround(v.position[2] * 1e3f), int(v.scan_level));
    };
    for (const Vertices& v : many) rounded.insert(key(v));
    int unmatched = 0;
    for (const Vertices& v : one) unmatched += rounded.count(key(v)) == 0;
    ASSERT_GT(one.size(), 3000u);
    EXPECT_NEAR(static_cast<double>(many.size()), static_cast<double>(one.size()),
                one.size() * 0.003);
    // Racing observations may put a record across a rounding boundary.
    EXPECT_LT(unmatched, static_cast<int>(one.size() / 200)) << "of " << one.size();
}

// A host table kept from the update records ends with exactly the live ids and
// never sees a stray removal, however second stages overlap later frames or a
// second thread drains meanwhile.
TEST(PipelineConcurrent, HostMirrorIsExactWhateverThePace) {
    enum class Pace { Settled, BackToBack, HeldAndReleased, DrainedAside };
    for (const Shape shape : {Shape::Sphere, Shape::Plate}) {
        for (const Pace pace :
             {Pace::Settled, Pace::BackToBack, Pace::HeldAndReleased, Pace::DrainedAside}) {
            SCOPED_TRACE(std::string(kelvane_sim::shapeName(shape)) + " pace " +
                         std::to_string(int(pace)));
            EngineOptions options;
            options.threads = 3;
            auto engine = makeEngine(options);
            ASSERT_NE(engine, nullptr);
            kelvane_host::HostMirror mirror;
            auto drain = [&] {
                const std::vector<Vertices> records = drainUpdates(*engine);
                mirror.apply(records.data(), static_cast<int>(records.size()), vertexNum(*engine));
            };
            std::atomic<bool> streaming{true};
            std::thread aside;
            if (pace == Pace::DrainedAside) {
                aside = std::thread([&] {
                    while (streaming.load()) {
                        drain();
                        std::this_thread::sleep_for(std::chrono::microseconds(500));
                    }
                });
            }
            const kelvane_sim::Scanner scanner(smallSweep(shape, 21, 18));
            kelvane_sim::Frame f;
            std::unique_ptr<PoolBlocker> held;
            for (int i = 0; i < 18; ++i) {
                if (pace == Pace::HeldAndReleased && i % 6 == 0)
                    held = std::make_unique<PoolBlocker>(*engine->threadPool());
                if (pace == Pace::HeldAndReleased && i % 6 == 3) held.reset();
                scanner.frameAt(i, f);
                ASSERT_EQ(engine->process(f.points.data(), static_cast<int>(f.points.size()),
                                          f.views, f.pose, false),
                          0);
                if (pace == Pace::Settled) engine->waitForPendingWork();
                if (pace == Pace::DrainedAside) continue;
                drain();
                EXPECT_EQ(mirror.stats().stray_removals, 0) << "frame " << i;
            }
            streaming.store(false);
            if (aside.joinable()) aside.join();
            held.reset();
            engine->waitForPendingWork();
            drain();
            const std::vector<Vertices> live = liveVertices(*engine);
            const kelvane_host::MirrorDiff diff =
                mirror.compare(live.data(), static_cast<int>(live.size()), 1e30f);
            EXPECT_TRUE(diff.sameVertices())
                << diff.missing << " missing, " << diff.extra << " extra";
            EXPECT_EQ(mirror.stats().stray_removals, 0);
            EXPECT_EQ(mirror.stats().invalid, 0);
            EXPECT_GT(mirror.stats().removals, 0) << "merging must have removed points";
        }
    }
}

// A drain from another thread returns while an in-place deletion is under way.
TEST(PipelineConcurrent, ADrainFromAnotherThreadDoesNotWaitForTheHostsWork) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(runFrames(*engine, smallSweep(Shape::Sphere, 3, 4), false));
    engine->waitForPendingWork();
    (void)drainUpdates(*engine);
    struct Window {
        HashTable* engine;
        std::future<void> drained;
        bool returned_inside = false;
    } window{engine.get(), {}};
    engine->setRemovalHook(
        [](void* context, FusionPoint&) {
            auto* w = static_cast<Window*>(context);
            if (w->drained.valid()) return;
            w->drained = std::async(std::launch::async, [w] { drainUpdates(*w->engine); });
            w->returned_inside =
                w->drained.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        },
        &window);
    const std::vector<Vertices> live = liveVertices(*engine);
    const PointData selected = fusion_test::selectionOf(live.front());
    ASSERT_EQ(engine->deleteSelectedArea(&selected, 1), 0);
    engine->setRemovalHook(nullptr, nullptr);
    ASSERT_TRUE(window.drained.valid()) << "the deletion removed a point";
    window.drained.wait();
    EXPECT_TRUE(window.returned_inside);
    EXPECT_EQ(drainUpdates(*engine).size(), 1u) << "the removal follows";
}

}  // namespace
