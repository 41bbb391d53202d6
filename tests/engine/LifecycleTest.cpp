// Engine start-up, shutdown and clearing, the settings, and stopping the
// engine from another thread while it works.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/Models.h"

namespace {

using namespace fusion_test;

TEST(Lifecycle, InitDeInitAndResetAnswerAndKeepWhatTheyShould) {
    HashTable engine;
    EXPECT_TRUE(engine.deInit() == 1 && engine.reset() == 1);  // messages: FacadeLifecycle

    ASSERT_EQ(engine.init(), 0);
    EXPECT_EQ(engine.errorMessage(), "no error !");
    const fusion::ThreadPool* pool = engine.threadPool();
    ASSERT_EQ(engine.init(), 0) << "init twice is a no-op";
    EXPECT_EQ(engine.threadPool(), pool);

    int calls = 0;
    engine.setProcessFinishedCallback([&](int) { ++calls; });
    engine.setQualityJudge(false);
    engine.setResolution(0.25f);
    const PointData p = makePoint(1, 2, 3, 0, 0, 1);
    ASSERT_EQ(engine.process(&p, 1, {{1}}, identityPose, true), 0);
    ASSERT_EQ(engine.reset(), 0);
    EXPECT_EQ(engine.resolution(), 0.25f) << "reset keeps the settings";
    EXPECT_EQ(engine.frameCounter(), 1);
    EXPECT_EQ(engine.threadPool(), pool);
    EXPECT_EQ(vertexNum(engine), 0);
    EXPECT_EQ(engine.volume().points().nextIndex(), 0);
    ASSERT_EQ(engine.process(&p, 1, {{1}}, identityPose, true), 0);
    EXPECT_EQ(calls, 2) << "and the callback";

    ASSERT_EQ(engine.deInit(), 0);
    EXPECT_FALSE(engine.isInit());
    EXPECT_EQ(engine.threadPool(), nullptr);
    EXPECT_EQ(engine.deInit(), 1);
    ASSERT_EQ(engine.init(), 0);
    EXPECT_FLOAT_EQ(engine.resolution(), 0.5f) << "a fresh engine";
    EXPECT_FALSE(engine.volume().lookupPoint({2, 4, 6}, p.normal));
    ASSERT_EQ(engine.process(&p, 1, {{1}}, identityPose, true), 0);
    EXPECT_EQ(calls, 3) << "the callback outlives deInit";
}

TEST(Settings, DerivationRunsOnlyOnceBothAreGiven) {
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    fusion::DeviceInfo device{};
    device.frame_point_num = 1234;
    device.point_spacing = 0.01f;
    device.device_type = 9;
    engine.setDeviceInfo(device);
    EXPECT_EQ(engine.paramsCopy().max_frame_point_num, 60000);
    EXPECT_EQ(engine.getDeviceInfo().device_type, 9) << "stored unchanged until derived";
    engine.setResolution(0.5f);
    EXPECT_EQ(engine.paramsCopy().max_frame_point_num, 1234);
    EXPECT_EQ(engine.getDeviceInfo().device_type, 0);
    ASSERT_EQ(engine.deInit(), 0);
    ASSERT_EQ(engine.init(), 0);
    engine.setResolution(0.5f);
    EXPECT_EQ(engine.paramsCopy().max_frame_point_num, 60000)
        << "both settings again after every init";
}

// A stop from another thread, while stages are queued or a frame is inside,
// returns only after that work is done, so none of it touches the volume after.
enum class Stop { Reset, DeInit, Destroy };
enum class Busy { StagesQueued, FrameInside };

class ConcurrentStop : public ::testing::TestWithParam<std::tuple<Stop, Busy, bool>> {};

TEST_P(ConcurrentStop, WaitsForTheWorkInFlight) {
    const auto [stop, busy, blocking] = GetParam();
    const kelvane_sim::Scanner scanner(smallSweep(kelvane_sim::Shape::Box, 33, 6));
    kelvane_sim::Frame frame;
    std::unique_ptr<HashTable> engine = makeEngine({0.5f, 60000, true});
    ASSERT_TRUE(engine);
    HashTable* const raw = engine.get();  // the host's handle, whoever destroys the engine
    auto feed = [&](int i, bool frame_blocking) {
        scanner.frameAt(i, frame);
        return raw->process(frame.points.data(), static_cast<int>(frame.points.size()), frame.views,
                            frame.pose, frame_blocking);
    };
    ASSERT_EQ(feed(0, true), 0);

    auto workers = std::make_unique<PoolBlocker>(*engine->threadPool());
    fusion::SpinLock* held = nullptr;  // the lock of a voxel the next frame needs
    std::thread host;
    int frame_status = -1;
    if (busy == Busy::StagesQueued) {
        for (int i = 1; i < 5; ++i) ASSERT_EQ(feed(i, false), 0);
        ASSERT_EQ(engine->queuedSecondStages(), 4);
    } else {
        // Holding the lock of the next frame's first voxel stalls its intake.
        scanner.frameAt(5, frame);
        ASSERT_EQ(engine->buildByExistingPoints(frame.points.data(), 1), 0);
        const fusion::Voxel* voxel =
            engine->volume().findVoxel(fusion::voxelOf(frame.points[0].position, 0.5f));
        ASSERT_NE(voxel, nullptr);
        held = &engine->volume().lockOf(voxel);
        held->lock();
        host = std::thread([&] { frame_status = feed(5, blocking); });
        while (!engine->processing()) std::this_thread::yield();
    }

    std::atomic<bool> stopping{false};
    int stop_status = -1;
    std::thread stopper([&] {
        stopping = true;
        if (stop == Stop::Destroy) {
            delete engine.release();
            stop_status = 0;
        } else {
            stop_status = stop == Stop::Reset ? engine->reset() : engine->deInit();
        }
    });
    while (!stopping) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (held != nullptr) held->unlock();
    workers->release();
    if (host.joinable()) host.join();
    stopper.join();
    EXPECT_EQ(stop_status, 0);
    if (busy == Busy::FrameInside) {
        EXPECT_EQ(frame_status, 0);
    }
    if (stop == Stop::Destroy) return;

    EXPECT_FALSE(engine->processing());
    EXPECT_EQ(engine->queuedSecondStages(), 0);
    if (stop == Stop::DeInit) {
        EXPECT_FALSE(engine->isInit());
        return;
    }
    EXPECT_TRUE(drainUpdates(*engine).empty()) << "a stopped stage reported late";
    EXPECT_EQ(engine->volume().points().nextIndex(), 0)
        << "a stopped stage wrote into the cleared volume";
    EXPECT_EQ(engine->volume().blocks().blockCount(), 0);
    EXPECT_EQ(feed(0, true), 0);
    EXPECT_GT(liveVertices(*engine).size(), 100u) << "the cleared engine works as new";
}

std::string stopCaseName(const ::testing::TestParamInfo<std::tuple<Stop, Busy, bool>>& info) {
    static const char* const stops[] = {"Reset", "DeInit", "Destroy"};
    return std::string(stops[int(std::get<0>(info.param))]) +
           (std::get<1>(info.param) == Busy::StagesQueued ? "StagesQueued" : "FrameInside") +
           (std::get<2>(info.param) ? "Blocking" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, ConcurrentStop,
    ::testing::Values(std::make_tuple(Stop::Reset, Busy::StagesQueued, false),
                      std::make_tuple(Stop::DeInit, Busy::StagesQueued, false),
                      std::make_tuple(Stop::Destroy, Busy::StagesQueued, false),
                      std::make_tuple(Stop::Reset, Busy::FrameInside, false),
                      std::make_tuple(Stop::DeInit, Busy::FrameInside, true),
                      std::make_tuple(Stop::Destroy, Busy::FrameInside, false)),
    stopCaseName);

}  // namespace
