// Queueing of update batches and their delivery to the host.

#include <gtest/gtest.h>

#include <cmath>

#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::Vertices;
using fusion_test::observation;
using fusion_test::OwnedBuffer;

class UpdateDrain : public ::testing::Test {
protected:
    std::unique_ptr<fusion::HashTable> engine = fusion_test::makeEngine();
    Vertices* const sentinel = reinterpret_cast<Vertices*>(this);
    void SetUp() override { ASSERT_TRUE(engine); }
    void push(OwnedBuffer& batch) {
        ASSERT_TRUE(engine->pushUpdateBatch(batch.records, batch.count.load()));
        batch.records = nullptr;  // owned by the queue now
    }
};

// Empty batches are refused, and an empty queue delivers nothing and
// writes nothing. (A failed drain keeping the queue is an allocation-failure
// case of its own.)
TEST_F(UpdateDrain, NothingDeliveredWritesNothing) {
    OwnedBuffer batch(*engine);
    EXPECT_FALSE(engine->pushUpdateBatch(batch.records, 0));
    EXPECT_FALSE(engine->pushUpdateBatch(nullptr, 3));
    Vertices* out = sentinel;
    int count = -5;
    EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(count, -5);
}

// Frame 1 adds A and B; frame 2 removes A and adds C, which reuses A's id.
TEST_F(UpdateDrain, DeliversFramesInPushOrderThenEmpties) {
    fusion::FusionPoint a = observation(1, 0, 0, 0, 0, 1), b = observation(2, 0, 0, 0, 0, 1);
    fusion::FusionPoint c = observation(3, 0, 0, 0, 0, 1);
    OwnedBuffer first(*engine), second(*engine);
    engine->emitVertexUpdate(a, 1, first.records, first.count);
    engine->emitVertexUpdate(b, 1, first.records, first.count);
    engine->emitVertexUpdate(a, -1, second.records, second.count);
    engine->emitVertexUpdate(c, 0, second.records, second.count);
    push(first);
    push(second);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(engine->getUpdateVertices(&out, count), 0);
    ASSERT_EQ(count, 4);
    const float xs[4] = {1, 2, NAN, 3};
    const int ids[4] = {0, 1, 0, 0}, states[4] = {1, 1, 255, 0};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(out[k].view_id, ids[k]) << k;
        EXPECT_EQ(out[k].state, states[k]) << k;
        EXPECT_TRUE(out[k].position[0] == xs[k] || (std::isnan(xs[k]) && std::isnan(out[k].position[0]))) << k;
    }
    delete[] out;
    EXPECT_EQ(engine->getUpdateVertices(&out, count), 1);
}

}  // namespace
