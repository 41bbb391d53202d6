// What a host keeps on its side and the tools share: the reader of saved
// streams, the removal form the mirror checks, and the host's copy of the
// voxel rounding rule. Built in every configuration.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "host/HostMirror.h"
#include "host/SnapshotReader.h"
#include "host/VoxelRounding.h"
#include "volume/Coordinates.h"

namespace {

void putLE(std::vector<uint8_t>& b, std::size_t at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + std::size_t(i)] = uint8_t(value >> (8 * i));
}

void putFloat(std::vector<uint8_t>& b, std::size_t at, float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    putLE(b, at, bits, 4);
}

// A well-framed stream of `records` records, each field holding a value
// derived from its record number.
std::vector<uint8_t> handMadeStream(int records) {
    std::vector<uint8_t> b(152 + 48 * std::size_t(records), 0xEE);  // unwritten bytes are noise
    std::memcpy(b.data(), "HASH", 4);
    putLE(b, 8, b.size(), 8);
    putLE(b, 16, 1, 4);
    putLE(b, 20, uint32_t(records), 4);
    putLE(b, 24, uint32_t(records), 4);
    putFloat(b, 72, 0.25f);
    for (int i = 0; i < records; ++i) {
        const std::size_t r = 148 + 48 * std::size_t(i);
        for (int k = 0; k < 6; ++k) putFloat(b, r + 4 * std::size_t(k), float(10 * i + k) + 0.5f);
        putLE(b, r + 24, 0x8000000000000001ull << i, 8);
        putLE(b, r + 32, uint16_t(i), 2);
        putLE(b, r + 36, 0x12340110u + uint32_t(i), 4);
        b[r + 40] = uint8_t(7 + i);
        b[r + 41] = uint8_t(i == 2);
        putLE(b, r + 44, i == 1 ? 0xFFFFFFFFu : uint32_t(1000 + i), 4);
    }
    std::memcpy(b.data() + b.size() - 4, "HASH", 4);
    return b;
}

TEST(SnapshotReaderTest, ReadsEveryFieldAtItsOffset) {
    const std::vector<uint8_t> bytes = handMadeStream(3);
    const kelvane_host::Snapshot s = kelvane_host::readSnapshot(bytes.data(), bytes.size());
    ASSERT_TRUE(s.valid) << s.problem;
    EXPECT_STREQ(s.problem, "");
    EXPECT_EQ(s.total_size, bytes.size());
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(s.load_count, 3);
    EXPECT_EQ(s.resolution, 0.25f);
    ASSERT_EQ(s.records.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const kelvane_host::SnapshotRecord& r = s.records[std::size_t(i)];
        EXPECT_EQ(r.position[2], float(10 * i + 2) + 0.5f);
        EXPECT_EQ(r.normal[0], float(10 * i + 3) + 0.5f);
        EXPECT_EQ(r.sub_cell_mask, 0x8000000000000001ull << i);
        EXPECT_EQ(r.observation_count, i);
        EXPECT_EQ(r.attribute_word, 0x12340110u + uint32_t(i));
        EXPECT_EQ(r.normal_updates, 7 + i);
        EXPECT_EQ(r.absorbed, i == 2 ? 1 : 0);
        EXPECT_EQ(r.frame_stamp, i == 1 ? -1 : 1000 + i);
    }
    // Record 0 was never observed and record 2 is absorbed: only 1 is live.
    EXPECT_FALSE(s.records[0].live());
    EXPECT_TRUE(s.records[1].live());
    EXPECT_FALSE(s.records[2].live());
}

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
};

class SnapshotReaderDamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(SnapshotReaderDamageTest, RefusesTheStream) {
    std::vector<uint8_t> bytes = handMadeStream(2);
    GetParam().apply(bytes);
    const kelvane_host::Snapshot s = kelvane_host::readSnapshot(bytes.data(), bytes.size());
    EXPECT_FALSE(s.valid);
    EXPECT_STRNE(s.problem, "");
    EXPECT_TRUE(s.records.empty());
    EXPECT_FALSE(kelvane_host::readSnapshot(fusion::RealTimeByteStream{nullptr, 200}).valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SnapshotReaderDamageTest,
    ::testing::Values(Damage{"shorter_than_a_header", [](auto& b) { b.resize(151); }},
                      Damage{"size_field_off_by_one",
                             [](auto& b) { putLE(b, 8, b.size() + 1, 8); }},
                      Damage{"one_record_cut_off",
                             [](auto& b) {
                                 b.resize(b.size() - 48);
                                 putLE(b, 8, b.size(), 8);
                                 std::memcpy(b.data() + b.size() - 4, "HASH", 4);
                             }},
                      Damage{"negative_count", [](auto& b) { putLE(b, 20, 0xFFFFFFFFu, 4); }}),
    [](const auto& info) { return std::string(info.param.name); });

fusion::Vertices record(int32_t id, float x, uint8_t state, uint8_t scan_level = 8) {
    fusion::Vertices v{};
    v.position[0] = v.position[1] = v.position[2] = x;
    v.normal[0] = v.normal[1] = v.normal[2] = std::isnan(x) ? x : 0.5f;
    v.view_id = id;
    v.state = state;
    v.scan_level = scan_level;
    return v;
}

TEST(HostMirrorRemovalFormTest, CountsRemovalsWithoutNaNOrWordEight) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<fusion::Vertices> records = {record(0, 1, 1), record(1, 2, 1), record(2, 3, 1),
                                             record(3, 4, 1)};
    records.push_back(record(0, nan, 255));      // the removal form
    records.push_back(record(1, 2, 255));        // at a position
    records.push_back(record(2, nan, 255, 16));  // word 16
    records.push_back(record(3, nan, 255));
    records.back().normal[1] = 0.0f;  // one component of the normal not NaN
    kelvane_host::HostMirror mirror;
    mirror.apply(records.data(), int(records.size()));
    EXPECT_EQ(mirror.stats().malformed_removals, 3);
    EXPECT_EQ(mirror.stats().removals, 4);  // applied all the same
    EXPECT_EQ(mirror.size(), 0);
}

// The host's copy of the rule must never place a point in another voxel than
// the library does: random float patterns, NaN, infinities and denormals
// among them, and values at and next to halfway all round alike.
TEST(VoxelRoundingTest, AgreesWithTheLibraryOnAnyFloat) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> bits;
    std::uniform_real_distribution<float> near(-40.0f, 40.0f);
    int disagreements = 0;
    for (int i = 0; i < 200000; ++i) {
        float q;
        if (i % 2 == 0) {
            const uint32_t b = bits(rng);
            std::memcpy(&q, &b, 4);
        } else {
            // Halfway values and their neighbours, where rounding rules differ.
            const float half = std::nearbyint(near(rng) * 2.0f) / 2.0f;
            q = i % 4 == 1 ? half : std::nextafter(half, i % 8 == 3 ? 100.0f : -100.0f);
        }
        if (kelvane_host::roundVoxelComponent(q) != fusion::roundVoxelComponent(q)) ++disagreements;
    }
    EXPECT_EQ(disagreements, 0);
}

}  // namespace
