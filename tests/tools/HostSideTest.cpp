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

// A well-framed stream of `records` records (their fields are noise): the
// fields a stream keeps are checked where the library writes them, and the
// soak session compares what this reader reads with the extraction.
std::vector<uint8_t> handMadeStream(int records) {
    std::vector<uint8_t> b(152 + 48 * std::size_t(records), 0xEE);
    std::memcpy(b.data(), "HASH", 4);
    putLE(b, 8, b.size(), 8);
    putLE(b, 16, 1, 4);
    putLE(b, 20, uint32_t(records), 4);
    putLE(b, 24, uint32_t(records), 4);
    putLE(b, 72, 0x3E800000u, 4);  // resolution 0.25
    std::memcpy(b.data() + b.size() - 4, "HASH", 4);
    return b;
}

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
};

class SnapshotReaderDamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(SnapshotReaderDamageTest, RefusesTheStream) {
    std::vector<uint8_t> bytes = handMadeStream(2);
    ASSERT_EQ(kelvane_host::readSnapshot(bytes.data(), bytes.size()).records.size(), 2u);
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
