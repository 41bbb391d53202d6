// Queueing of update batches and their delivery to the host.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Vertices;
using fusion_test::observation;
using fusion_test::OwnedBuffer;

class UpdateDrain : public ::testing::Test {
protected:
    std::unique_ptr<HashTable> engine = fusion_test::makeEngine();
    Vertices* sentinel = reinterpret_cast<Vertices*>(this);
    void SetUp() override { ASSERT_TRUE(engine); }
};

TEST_F(UpdateDrain, NothingPendingWritesNothing) {
    OwnedBuffer empty(*engine);
    EXPECT_FALSE(engine->pushUpdateBatch(empty.records, 0));
    EXPECT_FALSE(engine->pushUpdateBatch(nullptr, 3));
    Vertices* out = sentinel;
    int count = -5;
    EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(count, -5);
}

// Frame 1 adds A and B; frame 2 removes A and adds C, which reuses A's id.
TEST_F(UpdateDrain, DeliversBatchesInPushOrderThenEmpties) {
    FusionPoint a = observation(1, 0, 0, 0, 0, 1), b = observation(2, 0, 0, 0, 0, 1);
    FusionPoint c = observation(3, 0, 0, 0, 0, 1);
    OwnedBuffer first(*engine), second(*engine);
    engine->emitVertexUpdate(a, 1, first.records, first.count);
    engine->emitVertexUpdate(b, 1, first.records, first.count);
    engine->emitVertexUpdate(a, -1, second.records, second.count);
    engine->emitVertexUpdate(c, 0, second.records, second.count);
    ASSERT_TRUE(first.push(*engine));
    ASSERT_TRUE(second.push(*engine));

    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(engine->getUpdateVertices(&out, count), 0);
    ASSERT_EQ(count, 4);
    const float xs[4] = {1, 2, 0, 3};
    const int ids[4] = {0, 1, 0, 0};
    const int states[4] = {1, 1, 255, 0};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(out[k].view_id, ids[k]);
        EXPECT_EQ(out[k].state, states[k]);
        if (states[k] != 255) {
            EXPECT_EQ(out[k].position[0], xs[k]);
        }
    }
    EXPECT_EQ(fusion_test::floatBits(out[2].position[0]), 0xFFC00000u);
    delete[] out;
    EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
    EXPECT_EQ(count, 4);
}

TEST_F(UpdateDrain, FailedAllocationKeepsTheUpdatesQueued) {
    FusionPoint a = observation(1, 0, 0, 0, 0, 1);
    OwnedBuffer batch(*engine);
    engine->emitVertexUpdate(a, 1, batch.records, batch.count);
    ASSERT_TRUE(batch.push(*engine));
    Vertices* out = sentinel;
    int count = -5;
    {
        fusion_test::AllocationFailures fail(0);
        EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
    }
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(count, -5);
    ASSERT_EQ(engine->getUpdateVertices(&out, count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(out[0].view_id, 0);
    delete[] out;
}

// Producers push numbered batches while the host drains: every record
// arrives once, and each producer's batches arrive in its push order.
TEST_F(UpdateDrain, ConcurrentPushesAndDrainsLoseNothing) {
    constexpr int kProducers = 3, kBatches = 40, kPerBatch = 5;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([this, p] {
            for (int b = 0; b < kBatches; ++b) {
                Vertices* records = new Vertices[kPerBatch];
                for (int k = 0; k < kPerBatch; ++k) {
                    records[k].view_id = p;
                    records[k].position[0] = float(b * kPerBatch + k);
                }
                if (!engine->pushUpdateBatch(records, kPerBatch)) delete[] records;
            }
        });
    }
    std::vector<int> received(kProducers, 0);
    bool ordered = true;
    auto drainOnce = [&] {
        Vertices* out = nullptr;
        int count = 0;
        if (engine->getUpdateVertices(&out, count) != 0) return;
        for (int k = 0; k < count; ++k) {
            int& next = received[out[k].view_id];
            ordered = ordered && out[k].position[0] == float(next);
            ++next;
        }
        delete[] out;
    };
    bool producing = true;
    while (producing) {
        drainOnce();
        producing = false;
        for (int r : received) producing = producing || r < kBatches * kPerBatch;
        if (producing) std::this_thread::yield();
    }
    for (auto& t : producers) t.join();
    drainOnce();
    EXPECT_TRUE(ordered);
    for (int r : received) EXPECT_EQ(r, kBatches * kPerBatch);
}

}  // namespace
