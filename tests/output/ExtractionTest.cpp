// Extraction of the live cloud in both forms, the vertex id bound and the
// memory estimate.

#include <gtest/gtest.h>

#include <vector>

#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::PointRawData;
using fusion::Vertices;
using fusion_test::observation;

// Five records in five voxels, in allocation order: live; data but no id;
// id but no data; live but absorbed; live.
class Extraction : public ::testing::Test {
protected:
    std::unique_ptr<HashTable> engine = fusion_test::makeEngine(1.0f);
    std::vector<FusionPoint*> records;

    void SetUp() override {
        ASSERT_TRUE(engine);
        for (int i = 0; i < 5; ++i) {
            FusionPoint* r = nullptr;
            ASSERT_EQ(fusion_test::place(*engine, observation(float(i + 1), 0, 0, 0, 1, 0), nullptr, &r), 0);
            r->view_id = engine->getOrAllocateViewId(*r);
            records.push_back(r);
        }
        records[0]->scan_level = 16;
        records[0]->protected_flag = 1;
        records[0]->quality_code = 0xABCD;
        records[1]->view_id = -1;
        records[2]->observation_count = 0;
        records[3]->absorbed_flag = 1;
    }
};

TEST_F(Extraction, RawFormKeepsLiveRecordsInIndexOrder) {
    PointRawData out{};
    ASSERT_EQ(engine->extractLivePoints(out), 0);
    ASSERT_EQ(out.count, 3);
    EXPECT_EQ(out.resolution, 1.0f);
    const float expected_x[3] = {1, 4, 5};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(out.positions[3 * k], expected_x[k]);
        EXPECT_EQ(out.normals[3 * k + 1], 1.0f);
    }
    EXPECT_EQ(out.attributes[0], 16u | 1u << 8 | 0xABCDu << 16);
    EXPECT_EQ(out.attributes[1], 8u);
    delete[] out.positions;
    delete[] out.normals;
    delete[] out.attributes;
}

TEST_F(Extraction, VertexFormAlsoSkipsAbsorbedRecords) {
    Vertices* out = nullptr;
    int count = -1;
    ASSERT_EQ(engine->extractLivePoints(&out, count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(out[0].position[0], 1.0f);
    EXPECT_EQ(out[0].view_id, 0);
    EXPECT_EQ(out[0].state, 0);
    EXPECT_EQ(out[0].scan_level, 16);
    EXPECT_EQ(out[0].protected_flag, 1);
    EXPECT_EQ(out[0].quality_code, 0xABCD);
    EXPECT_EQ(out[1].position[0], 5.0f);
    EXPECT_EQ(out[1].view_id, 4);
    delete[] out;
}

TEST_F(Extraction, RawFormFailureLeavesTheRecordUntouched) {
    for (long successes = 0; successes < 3; ++successes) {
        PointRawData out{nullptr, nullptr, nullptr, -7, 9.0f};
        fusion_test::AllocationFailures fail(successes);
        EXPECT_EQ(engine->extractLivePoints(out), 1);
        EXPECT_EQ(out.positions, nullptr);
        EXPECT_EQ(out.attributes, nullptr);
        EXPECT_EQ(out.count, -7);
    }
}

TEST_F(Extraction, VertexFormFailureKeepsTheCount) {
    Vertices* out = reinterpret_cast<Vertices*>(this);
    int count = -1;
    {
        fusion_test::AllocationFailures fail(0);
        EXPECT_EQ(engine->extractLivePoints(&out, count), 1);
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(engine->errorMessage(), "memory is lacked!");
}

TEST_F(Extraction, VertexCountIncludesFreedIds) {
    fusion_test::OwnedBuffer buffer(*engine);
    engine->emitVertexUpdate(*records[4], -1, buffer.records, buffer.count);
    int count = 0;
    ASSERT_EQ(engine->getVertexNum(count), 0);
    EXPECT_EQ(count, 5);
    HashTable idle;
    EXPECT_EQ(idle.getVertexNum(count), 1);
    EXPECT_EQ(idle.errorMessage(), "no init!");
}

TEST(ExtractionEmpty, BothFormsReturnEmptyArrays) {
    auto engine = fusion_test::makeEngine();
    ASSERT_TRUE(engine);
    PointRawData raw{};
    ASSERT_EQ(engine->extractLivePoints(raw), 0);
    EXPECT_EQ(raw.count, 0);
    EXPECT_NE(raw.positions, nullptr);
    Vertices* out = nullptr;
    int count = -1;
    ASSERT_EQ(engine->extractLivePoints(&out, count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_NE(out, nullptr);
    delete[] raw.positions;
    delete[] raw.normals;
    delete[] raw.attributes;
    delete[] out;
}

struct MemoryCase { int32_t records; unsigned long long bytes; };
class MemoryEstimate : public ::testing::TestWithParam<MemoryCase> {};

// The estimate needs no initialised engine: only the record counter.
TEST_P(MemoryEstimate, IsTheLargerOfRecordsAndSnapshotPlusHeadroom) {
    HashTable engine;
    engine.m_point_next.store(GetParam().records);
    unsigned long long bytes = 1;
    EXPECT_EQ(engine.getRequiredMemoryForExtractData(bytes), 0);
    EXPECT_EQ(bytes, GetParam().bytes + (1ull << 30));
}
INSTANTIATE_TEST_SUITE_P(Extraction, MemoryEstimate,
                         ::testing::Values(MemoryCase{0, 152}, MemoryCase{10, 632},
                                           MemoryCase{19, 1064}, MemoryCase{100, 5600},
                                           MemoryCase{2147483647, 56ull * 2147483647}));

}  // namespace
