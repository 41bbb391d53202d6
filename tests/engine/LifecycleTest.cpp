// Engine start-up, shutdown, clearing and settings.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "support/EngineFixture.h"

namespace {

using fusion::HashTable;

TEST(Lifecycle, ThreadCountRule) {
    EXPECT_EQ(HashTable::threadCountFor(8), 6);
    EXPECT_EQ(HashTable::threadCountFor(3), 1);
    EXPECT_EQ(HashTable::threadCountFor(2), 16);
    EXPECT_EQ(HashTable::threadCountFor(1), 16);
}

TEST(Lifecycle, OperationsBeforeInitAnswerNotInit) {
    HashTable engine;
    EXPECT_EQ(engine.errorMessage(), "no error msg !");
    EXPECT_EQ(engine.deInit(), 1);
    EXPECT_EQ(engine.errorMessage(), "is not init !");
    EXPECT_EQ(engine.reset(), 1);
    EXPECT_EQ(engine.errorMessage(), "is not init !");
}

TEST(Lifecycle, InitTwiceIsANoOpAndDeInitGivesAFreshEngine) {
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    EXPECT_EQ(engine.errorMessage(), "no error !");
    fusion::HashEntry* entries = engine.m_hash_entries;
    ASSERT_EQ(engine.init(), 0);
    EXPECT_EQ(engine.m_hash_entries, entries);
    EXPECT_EQ(engine.m_voxel_chunk_num.load(), 8);
    EXPECT_EQ(engine.m_point_chunk_num.load(), 4);
    EXPECT_EQ(engine.m_point_free.capacity, 524288);
    EXPECT_EQ(engine.m_view_id_free.capacity, 120000);
    EXPECT_EQ(engine.m_thread_pool->threadCount(), std::min(engine.m_thread_num, 8));

    engine.setResolution(1.0f);
    engine.findOrInsertBlock({1, 2, 3});
    ASSERT_EQ(engine.deInit(), 0);
    EXPECT_FALSE(engine.m_is_init);
    EXPECT_EQ(engine.m_hash_entries, nullptr);
    EXPECT_EQ(engine.m_thread_pool, nullptr);
    EXPECT_EQ(engine.deInit(), 1);

    ASSERT_EQ(engine.init(), 0);
    EXPECT_FLOAT_EQ(engine.m_resolution, 0.5f);
    EXPECT_FALSE(engine.m_resolution_given);
    EXPECT_EQ(engine.findBlock({1, 2, 3}), -1);
}

TEST(Lifecycle, ResetKeepsSettingsPoolAndCallback) {
    auto engine = fusion_test::makeEngine(0.25f);
    ASSERT_TRUE(engine);
    int calls = 0;
    engine->setProcessFinishedCallback([&](int) { ++calls; });
    engine->setQualityJudge(false);
    engine->m_frame_counter = 7;
    fusion::ThreadPool* pool = engine->m_thread_pool.get();
    ASSERT_EQ(engine->reset(), 0);
    EXPECT_FLOAT_EQ(engine->m_resolution, 0.25f);
    EXPECT_FALSE(engine->m_quality_judge);
    EXPECT_EQ(engine->m_frame_counter, 7);
    EXPECT_EQ(engine->m_thread_pool.get(), pool);
    ASSERT_TRUE(engine->m_process_finished_callback);
    engine->m_process_finished_callback(0);
    EXPECT_EQ(calls, 1);
    int vertices = -1;
    EXPECT_EQ(engine->getVertexNum(vertices), 0);
    EXPECT_EQ(vertices, 0);
}

TEST(Lifecycle, FailedAllocationLeavesTheEngineUninitialisedAndRetryable) {
    for (long successes : {0L, 1L, 2L, 5L, 12L}) {
        HashTable engine;
        fusion::platform::failAllocationsAfter(successes);
        const int status = engine.init();
        fusion::platform::failAllocationsAfter(-1);
        EXPECT_EQ(status, 0x10201) << successes;
        EXPECT_FALSE(engine.m_is_init);
        EXPECT_EQ(engine.m_hash_entries, nullptr);
        EXPECT_EQ(engine.init(), 0);
    }
}

TEST(Lifecycle, InitIsLightInResidentMemory) {
    const std::size_t before = fusion::platform::residentBytes();
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    const std::size_t after = fusion::platform::residentBytes();
    if (before == 0 || after == 0) GTEST_SKIP() << "resident size not available";
    // About 1.9 GB is reserved; only bookkeeping may become resident.
    EXPECT_LT(after - std::min(after, before), std::size_t{64} << 20);
}

TEST(LifecycleConcurrent, DeInitWaitsForAHeldTaskSlot) {
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    std::atomic<int32_t>* slot = &engine.m_task_slots[0];
    {
        std::lock_guard<std::mutex> guard(engine.m_mutex);
        slot->store(1);
        engine.m_task_num += 1;
    }
    engine.m_thread_pool->commit([&engine, slot, released, &finished] {
        released.wait();
        finished.store(true);
        std::lock_guard<std::mutex> guard(engine.m_mutex);
        engine.m_task_num -= 1;
        slot->store(0);
    });
    std::thread stopper([&] { EXPECT_EQ(engine.deInit(), 0); EXPECT_TRUE(finished.load()); });
    release.set_value();
    stopper.join();
    EXPECT_FALSE(engine.m_is_init);
}

TEST(Settings, DerivationRunsOnlyOnceBothAreGiven) {
    HashTable engine;
    ASSERT_EQ(engine.init(), 0);
    fusion::DeviceInfo device{};
    device.frame_point_num = 1234;
    device.point_spacing = 0.01f;
    engine.setDeviceInfo(device);
    EXPECT_EQ(engine.m_global_params->max_frame_point_num, 60000);
    engine.setResolution(0.5f);
    EXPECT_EQ(engine.m_global_params->max_frame_point_num, 1234);
}

}  // namespace
