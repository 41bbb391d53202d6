// Update records, their buffer and queue, and when freed ids return.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "support/TestSupport.h"
#include "volume/UpdateBuffer.h"
#include "volume/UpdateQueue.h"

namespace {

using namespace fusion_test;
using fusion::UpdateBuffer;
using fusion::UpdateQueue;
using fusion::ViewIds;

uint32_t wordOf(const Vertices& v) {
    uint32_t w;
    std::memcpy(&w, &v.scan_level, 4);
    return w;
}

TEST(VertexUpdates, FiltersThenIdsFromZeroRemovalRecordsAndTheCapacity) {
    ViewIds ids;
    ASSERT_TRUE(ids.allocate(16));
    auto buffer = UpdateBuffer::create(5, ids);
    // Origin, no normal, no observation, removal without id, id out of range.
    FusionPoint skipped[5] = {observation(1e-8f, 0, -1e-8f, 0, 0, 1), observation(1, 2, 3, 0, 0, 0),
                              observation(1, 2, 3, 0, 0, 1, 8, 0, 0), observation(1, 2, 3, 0, 0, 1),
                              observation(1, 2, 3, 0, 0, 1)};
    skipped[4].view_id = 50;
    for (int k = 0; k < 5; ++k) {
        testing::internal::CaptureStdout();
        fusion::emitVertexUpdate(ids, skipped[k], k == 3 ? -1 : 1, *buffer);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), k == 4 ? "分配view_id错误！\n" : "") << k;
    }
    ASSERT_EQ(buffer->count() + ids.next(), 0);

    FusionPoint a = observation(1, 0, 0, 0, 0, 1, 16, 1), b = a;
    a.quality_code = 0x1234;
    for (auto [record, state] : {std::pair{&a, 1}, {&a, 0}, {&b, 1}, {&a, -1}})
        fusion::emitVertexUpdate(ids, *record, state, *buffer);
    ASSERT_EQ(buffer->count(), 4);
    const Vertices* out = buffer->records();
    const int expected_ids[4] = {0, 0, 1, 0}, states[4] = {1, 0, 1, 255};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(out[k].view_id, expected_ids[k]) << k;
        EXPECT_EQ(out[k].state, states[k]) << k;
    }
    EXPECT_EQ(wordOf(out[0]), 16u | 1u << 8 | 0x1234u << 16);
    EXPECT_EQ(out[0].position[0], 1.0f);
    EXPECT_TRUE(std::isnan(out[3].position[0]) && std::isnan(out[3].normal[2]));
    EXPECT_EQ(wordOf(out[3]), 8u);
    FusionPoint last = observation(2, 0, 0, 0, 0, 1), dropped = last;
    fusion::emitVertexUpdate(ids, last, 1, *buffer);
    fusion::emitVertexUpdate(ids, dropped, 1, *buffer);
    EXPECT_EQ(buffer->count(), 5) << "a full buffer drops the record and writes nothing";
    EXPECT_EQ(dropped.view_id, 3) << "the dropped record keeps its id for its next update";
    EXPECT_TRUE(buffer->below(6) && !buffer->below(5) && buffer->claim() == nullptr);
    EXPECT_EQ(ids.freeCount(), 0) << "the removed id waits until the records are queued";
    buffer.reset();
    EXPECT_EQ(ids.allocate(), 0) << "a dropped buffer returns its freed ids, last released first";
}

TEST(UpdateQueue, DeliversBatchesInPushOrderAndReleasesIdsOnlyOnceQueued) {
    ViewIds ids;
    ASSERT_TRUE(ids.allocate(16));
    UpdateQueue queue;
    Vertices* out = nullptr;
    int count = -7;
    EXPECT_EQ(queue.drain(&out, count), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count, -7) << "nothing delivered, nothing written";

    FusionPoint kept = observation(1, 0, 0, 0, 0, 1), gone = observation(2, 0, 0, 0, 0, 1);
    auto first = UpdateBuffer::create(4, ids);
    fusion::emitVertexUpdate(ids, kept, 1, *first);
    fusion::emitVertexUpdate(ids, gone, 1, *first);
    auto second = UpdateBuffer::create(4, ids);
    fusion::emitVertexUpdate(ids, gone, -1, *second);
    queue.push(std::move(first));
    queue.pushDeferred(std::move(second));
    EXPECT_EQ(ids.allocate(), 2) << "a kept buffer's freed id is not yet reusable";
    queue.push(UpdateBuffer::create(4, ids));  // empty: queues nothing
    queue.publishDeferred();
    EXPECT_EQ(ids.allocate(), 1) << "published: the freed id is the next one handed out";

    ASSERT_EQ(queue.drain(&out, count), 0);
    const std::vector<Vertices> delivered = adopt(out, count);
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_TRUE(delivered[0].view_id == 0 && delivered[1].view_id == 1 &&
                delivered[2].view_id == 1 && delivered[2].state == 255);
    EXPECT_TRUE(queue.empty());

    auto dropped = UpdateBuffer::create(4, ids);
    fusion::emitVertexUpdate(ids, kept, 0, *dropped);
    queue.push(std::move(dropped));
    {
        FailingAllocations none(0);
        EXPECT_EQ(queue.drain(&out, count), 1);
    }
    EXPECT_FALSE(queue.empty()) << "a failed drain keeps the records queued";
    queue.clear();
    EXPECT_TRUE(queue.empty());
}

}  // namespace
