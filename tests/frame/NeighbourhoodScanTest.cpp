// The neighbourhood walk against brute force, and the quality code.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "frame/NeighbourhoodScan.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;
using fusion::NeighbourList;

std::vector<int32_t> sorted(std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Hangs `record` on the first free side of voxel c, whatever it faces.
int32_t putRaw(Volume& volume, const Int3& c, const FusionPoint& record) {
    fusion::Voxel* voxel = volume.findOrCreateVoxel(c);
    if (voxel == nullptr || voxel->side(1) != -1) return -1;
    const int32_t index = volume.points().allocatePoint();
    *volume.pointAt(index) = record;
    voxel->setSide(voxel->side(0) == -1 ? 0 : 1, index);
    return index;
}

struct OracleCase {
    float resolution;
    float edge;  // sub-voxel edge of the grading walk
};
class NeighbourWalkOracle : public ::testing::TestWithParam<OracleCase> {};

// The three walks against a brute-force loop of lookups over the cube, on a
// random volume spanning blocks on both sides of the origin.
TEST_P(NeighbourWalkOracle, MatchesBruteForce) {
    const auto [resolution, edge] = GetParam();
    TestVolume t(resolution);
    Volume& volume = t.volume;
    const int32_t frame = 6;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> coord(-11, 11), stamp(3, frame), axis(0, 5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<FusionPoint> centres;
    for (int i = 0; i < 3000; ++i) {
        float n[3] = {unit(rng), unit(rng), unit(rng)};
        if (i % 3 == 0) {  // axis normals make exact perpendiculars common
            const int a = axis(rng);
            n[0] = n[1] = n[2] = 0.0f;
            n[a % 3] = a < 3 ? 1.0f : -1.0f;
        }
        const Int3 c{coord(rng), coord(rng), coord(rng)};
        FusionPoint record = observation(c.x * resolution, c.y * resolution, c.z * resolution, n[0], n[1], n[2]);
        record.frame_stamp = stamp(rng);
        record.sub_voxel_mask = rng() | uint64_t{rng()} << 32;
        if (i % 10 == 0) record.observation_count = 0;  // emptied: skipped
        const int32_t index = putRaw(volume, c, record);
        if (index >= 0 && i % 4 == 0) centres.push_back(*volume.pointAt(index));
    }
    FusionPoint flat = centres[0];
    flat.normal[0] = flat.normal[1] = flat.normal[2] = 0.0f;  // faces nothing
    centres.push_back(flat);

    int busy = 0;
    for (const FusionPoint& centre : centres) {
        std::vector<int32_t> older, listed;
        std::vector<uint64_t> masks;
        std::vector<float> xs;
        std::set<int32_t> stamps;
        const Int3 c = fusion::voxelOf(centre.position, resolution);
        for (int o = 0; o < 125; ++o) {
            const int off[3] = {o % 5 - 2, (o / 5) % 5 - 2, o / 25 - 2};
            const FoundPoint f = volume.lookupPoint({c.x + off[0], c.y + off[1], c.z + off[2]}, centre.normal);
            if (!f || f.record->observation_count == 0) continue;
            masks.push_back(f.record->sub_voxel_mask);
            xs.push_back(f.record->position[0]);
            if (f.record->frame_stamp == frame) continue;
            older.push_back(f.index);
            stamps.insert(f.record->frame_stamp);
            const bool shell = std::max({std::abs(off[0]), std::abs(off[1]), std::abs(off[2])}) == 2;
            if (static_cast<double>(edge) < 0.1 || (edge < 0.5f && !shell)) listed.push_back(f.index);
        }
        const int total = static_cast<int>(masks.size());
        busy += total > 3 ? 1 : 0;

        int got_total = -1, got_older = -1;
        uint32_t tag = 0;
        NeighbourList list;
        fusion::countConfirmingNeighbours(volume, frame, centre, got_total, got_older, tag, list);
        EXPECT_EQ(got_total, total);
        EXPECT_EQ(got_older, static_cast<int>(older.size()));
        EXPECT_EQ(sorted({list.indices, list.indices + list.count}), sorted(older));
        EXPECT_EQ(tag, stamps.empty()         ? fusion::kFrameTagNone
                       : stamps.size() == 1 ? static_cast<uint32_t>(*stamps.begin())
                                            : fusion::kFrameTagMixed);

        uint64_t got_masks[125];
        fusion::collectGradingNeighbours(volume, frame, centre, edge, got_masks, got_total, got_older, list);
        EXPECT_EQ(got_older, static_cast<int>(older.size()));
        EXPECT_EQ(sorted({list.indices, list.indices + list.count}), sorted(listed));
        std::vector<uint64_t> got(got_masks, got_masks + got_total);
        std::sort(got.begin(), got.end());
        std::sort(masks.begin(), masks.end());
        EXPECT_EQ(got, masks);

        float positions[125][3];
        EXPECT_EQ(fusion::collectNeighbourPositions(volume, centre, positions, got_total, 4), total >= 4);
        std::vector<float> got_xs;
        for (int i = 0; i < got_total; ++i) got_xs.push_back(positions[i][0]);
        std::sort(got_xs.begin(), got_xs.end());
        std::sort(xs.begin(), xs.end());
        EXPECT_EQ(got_xs, xs);
    }
    EXPECT_GT(busy, 50) << "the volume must give the walk real work";
}

INSTANTIATE_TEST_SUITE_P(Volumes, NeighbourWalkOracle,
                         ::testing::Values(OracleCase{0.5f, 0.5f}, OracleCase{0.5f, 0.25f},
                                           OracleCase{1.0f, 0.1f}, OracleCase{0.05f, 0.05f}));

TEST(QualityCode, DefaultTuning) {
    struct Case {
        std::vector<uint64_t> masks;
        float size;
        uint16_t code;
    };
    // Tier 0 (size 1.0): 10, 2, 10, 4, 20, 32, 25, 56; tier 3 (below 0.1):
    // 2, 1, 10, 2, 10, 16, 10, 32.
    const Case cases[] = {{{0xFF}, 1.0f, 0x0001},
                          {std::vector<uint64_t>(10, ~0ull), 1.0f, 0xFFFF},
                          {{}, 1.0f, 0},
                          {{0, 0}, 1.0f, 0},
                          {{0x0000050500000505ull}, 1.0f, 0x0033},  // one cell per octant: wide, sparse
                          {{0, 0xFFFFFFFFull, 0}, 1.0f, 0x0013},
                          {{0xFF}, 0.05f, 0x001F}};
    for (const Case& c : cases) {
        EXPECT_EQ(fusion::computeQualityCode(fusion::defaultGlobalParams(), c.masks.data(),
                                             static_cast<int>(c.masks.size()), c.size),
                  c.code)
            << c.masks.size() << " masks, size " << c.size;
    }
}

}  // namespace
