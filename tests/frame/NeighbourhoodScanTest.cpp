#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "frame/NeighbourScan.h"
#include "support/EngineFixture.h"
#include "support/FrameHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::NeighbourList;

std::vector<int32_t> sorted(std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

struct OracleCase {
    float resolution;
    float edge;  // sub-voxel edge of the grading walk
};

class NeighbourWalkOracle : public ::testing::TestWithParam<OracleCase> {};

// The three walks against a brute-force loop of lookupPoint over the cube,
// on a random volume spanning blocks on both sides of the origin.
TEST_P(NeighbourWalkOracle, MatchesBruteForce) {
    const auto [resolution, edge] = GetParam();
    auto engine = fusion_test::makeEngine(resolution);
    ASSERT_NE(engine, nullptr);
    const int32_t frame = 6;
    engine->m_frame_counter = frame;
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
        const int32_t index = fusion_test::placeRecord(
            *engine, {coord(rng), coord(rng), coord(rng)}, n, stamp(rng), rng() | uint64_t{rng()} << 32);
        if (index < 0) continue;
        if (i % 10 == 0) engine->pointAt(index)->observation_count = 0;  // emptied: skipped
        if (i % 4 == 0) centres.push_back(*engine->pointAt(index));
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
        const fusion::Int3 c = fusion::voxelOf(centre.position, resolution);
        for (int o = 0; o < 125; ++o) {
            const int off[3] = {o % 5 - 2, (o / 5) % 5 - 2, o / 25 - 2};
            FusionPoint* f = nullptr;
            fusion::Voxel* v = nullptr;
            int32_t fi = -1;
            if (engine->lookupPoint({c.x + off[0], c.y + off[1], c.z + off[2]}, centre.normal, f, v, fi) != 0 ||
                f->observation_count == 0) {
                continue;
            }
            masks.push_back(f->sub_voxel_mask);
            xs.push_back(f->position[0]);
            if (f->frame_stamp == frame) continue;
            older.push_back(fi);
            stamps.insert(f->frame_stamp);
            const bool shell = std::max({std::abs(off[0]), std::abs(off[1]), std::abs(off[2])}) == 2;
            if (static_cast<double>(edge) < 0.1 || (edge < 0.5f && !shell)) listed.push_back(fi);
        }
        const int total = static_cast<int>(masks.size());
        busy += total > 3 ? 1 : 0;

        int got_total = -1, got_older = -1;
        uint32_t tag = 0;
        NeighbourList list;
        engine->countConfirmingNeighbours(centre, got_total, got_older, tag, list);
        EXPECT_EQ(got_total, total);
        EXPECT_EQ(got_older, static_cast<int>(older.size()));
        EXPECT_EQ(sorted({list.indices, list.indices + list.count}), sorted(older));
        EXPECT_EQ(tag, stamps.empty() ? fusion::kFrameTagNone
                       : stamps.size() == 1 ? static_cast<uint32_t>(*stamps.begin()) : fusion::kFrameTagMixed);

        uint64_t got_masks[125];
        engine->collectGradingNeighbours(centre, edge, got_masks, got_total, got_older, list);
        EXPECT_EQ(got_older, static_cast<int>(older.size()));
        EXPECT_EQ(sorted({list.indices, list.indices + list.count}), sorted(listed));
        std::vector<uint64_t> got(got_masks, got_masks + got_total);
        std::sort(got.begin(), got.end());
        std::sort(masks.begin(), masks.end());
        EXPECT_EQ(got, masks);

        float positions[125][3];
        EXPECT_EQ(engine->collectNeighbourPositions(centre, positions, got_total, 4), total >= 4);
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

class QualityCode : public ::testing::TestWithParam<std::pair<std::vector<uint64_t>, uint16_t>> {};

// Tier 0 (size 1.0) of the default tuning: 10, 2, 10, 4, 20, 32, 25, 56.
TEST_P(QualityCode, DefaultTuningTierZero) {
    const std::vector<uint64_t>& masks = GetParam().first;
    EXPECT_EQ(fusion::HashTable::computeQualityCode(fusion::defaultGlobalParams(), masks.data(),
                                                    static_cast<int>(masks.size()), 1.0f),
              GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, QualityCode,
    ::testing::Values(std::make_pair(std::vector<uint64_t>{0xFF}, uint16_t{0x0001}),
                      std::make_pair(std::vector<uint64_t>(10, ~0ull), uint16_t{0xFFFF}),
                      std::make_pair(std::vector<uint64_t>{}, uint16_t{0}),
                      std::make_pair(std::vector<uint64_t>{0, 0}, uint16_t{0}),
                      // one sub-cell in each octant: wide but sparse
                      std::make_pair(std::vector<uint64_t>{0x0000050500000505ull}, uint16_t{0x0033}),
                      std::make_pair(std::vector<uint64_t>{0, 0xFFFFFFFFull, 0}, uint16_t{0x0013})));

}  // namespace
