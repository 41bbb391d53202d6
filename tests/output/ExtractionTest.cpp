// Extraction of the live cloud in both forms and the memory estimate.

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::HashTable;
using fusion::PointRawData;
using fusion::Vertices;

// Five records in five voxels, in allocation order: live; data but no id;
// id but no data; live but absorbed; live.
class Extraction : public ::testing::Test {
protected:
    std::unique_ptr<HashTable> engine = fusion_test::makeEngine(1.0f);
    void SetUp() override {
        ASSERT_TRUE(engine);
        std::vector<fusion::FusionPoint*> r(5);
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(fusion_test::place(*engine, fusion_test::observation(float(i + 1), 0, 0, 0, 1, 0), nullptr, &r[i]), 0);
            r[i]->view_id = engine->getOrAllocateViewId(*r[i]);
        }
        fusion::setAttributeWord(*r[0], 16u | 1u << 8 | 0xABCDu << 16);
        r[1]->view_id = -1;
        r[2]->observation_count = 0;
        r[3]->absorbed_flag = 1;
    }
};

TEST_F(Extraction, EachFormKeepsItsLiveRecordsInIndexOrder) {
    PointRawData raw{};
    ASSERT_EQ(engine->extractLivePoints(raw), 0);
    ASSERT_EQ(raw.count, 3);
    EXPECT_EQ(raw.resolution, 1.0f);
    const float raw_x[3] = {1, 4, 5};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(raw.positions[3 * k], raw_x[k]);
    }
    EXPECT_EQ(raw.normals[1], 1.0f);
    EXPECT_EQ(raw.attributes[0], 16u | 1u << 8 | 0xABCDu << 16);
    delete[] raw.positions;
    delete[] raw.normals;
    delete[] raw.attributes;

    Vertices* out = nullptr;
    int count = -1;
    ASSERT_EQ(engine->extractLivePoints(&out, count), 0);
    ASSERT_EQ(count, 2);  // the absorbed record is left out here
    EXPECT_EQ(out[0].position[0], 1.0f);
    EXPECT_EQ(out[0].view_id, 0);
    EXPECT_EQ(out[0].state, 0);
    EXPECT_EQ(out[0].quality_code, 0xABCD);
    EXPECT_EQ(out[1].view_id, 4);
    delete[] out;
}

// Needs no initialised engine: only the record counter.
TEST(ExtractionMemory, LargerOfRecordsAndSnapshotPlusHeadroom) {
    for (auto [records, bytes] : {std::pair{0, 152ull}, {10, 632ull}, {100, 5600ull}}) {
        HashTable engine;
        engine.m_point_next.store(records);
        unsigned long long out = 1;
        EXPECT_EQ(engine.getRequiredMemoryForExtractData(out), 0);
        EXPECT_EQ(out, bytes + (1ull << 30)) << records;
    }
}

}  // namespace
