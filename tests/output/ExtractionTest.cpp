// Extraction of the live cloud in both forms, and the memory estimate.

#include <gtest/gtest.h>

#include <vector>

#include "output/Extraction.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;

// Five records: live; data but no id; id but no data; live but absorbed; live.
TEST(Extraction, EachFormKeepsItsLiveRecordsInIndexOrder) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    const float y[3] = {0, 1, 0};
    FusionPoint* r[5];
    for (int i = 0; i < 5; ++i) ASSERT_NE(r[i] = putRecord(volume, float(i + 1), 0, 0, y), nullptr);
    fusion::setAttributeWord(*r[0], 16u | 1u << 8 | 0xABCDu << 16);
    r[1]->view_id = -1;
    r[2]->observation_count = 0;
    r[3]->absorbed_flag = 1;

    fusion::PointRawData raw{};
    ASSERT_EQ(fusion::extractLivePoints(volume, raw), 0);
    ASSERT_EQ(raw.count, 3);
    EXPECT_EQ(raw.resolution, 1.0f);
    const float raw_x[3] = {1, 4, 5};
    for (int k = 0; k < 3; ++k) EXPECT_EQ(raw.positions[3 * k], raw_x[k]);
    EXPECT_EQ(raw.normals[1], 1.0f);
    EXPECT_EQ(raw.attributes[0], 16u | 1u << 8 | 0xABCDu << 16);
    delete[] raw.positions;
    delete[] raw.normals;
    delete[] raw.attributes;

    Vertices* out = nullptr;
    int count = -1;
    ASSERT_TRUE(fusion::extractLiveVertices(volume, &out, count).ok());
    const std::vector<Vertices> v = adopt(out, count);
    ASSERT_EQ(v.size(), 2u) << "the absorbed record is left out here";
    EXPECT_EQ(v[0].position[0], 1.0f);
    EXPECT_EQ(v[0].view_id, 0);
    EXPECT_EQ(v[0].state, 0);
    EXPECT_EQ(v[0].quality_code, 0xABCD);
    EXPECT_EQ(v[1].view_id, 4);

    TestVolume empty(1.0f);
    ASSERT_TRUE(fusion::extractLiveVertices(empty.volume, &out, count).ok());
    EXPECT_TRUE(count == 0 && out != nullptr) << "a zero-length array, not null";
    delete[] out;

    // The result is the only allocation: without it the count is still set.
    Vertices sentinel{};
    FailingAllocations none(0);
    out = &sentinel;
    count = -1;
    const fusion::Outcome lacking = fusion::extractLiveVertices(volume, &out, count);
    EXPECT_EQ(lacking.status, 1);
    EXPECT_STREQ(lacking.message, "memory is lacked!");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count, 2);
}

TEST(ExtractionMemory, LargerOfRecordsAndSnapshotPlusHeadroom) {
    for (auto [records, bytes] : {std::pair{0, 152ull}, {10, 632ull}, {100, 5600ull}}) {
        TestVolume t;
        for (int i = 0; i < records; ++i) t.volume.points().allocatePoint();
        EXPECT_EQ(fusion::requiredExtractionBytes(t.volume), bytes + (1ull << 30)) << records;
    }
    HashTable never_initialised;
    unsigned long long out = 1;
    EXPECT_EQ(never_initialised.getRequiredMemoryForExtractData(out), 0);
    EXPECT_EQ(out, 152ull + (1ull << 30)) << "no records in use yet";
}

}  // namespace
