// The host side the tools share: the removal form and the voxel rounding copy.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "host/HostMirror.h"
#include "host/VoxelRounding.h"
#include "volume/Coordinates.h"

namespace {

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

// The host's rounding agrees with the library's on random bit patterns and near halfway.
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
