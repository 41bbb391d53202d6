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
    const fusion::VoxelRef at = volume.findOrCreateVoxel(c);
    if (!at || at.voxel->side(1) != -1) return -1;
    const int32_t index = volume.points().allocatePoint();
    fusion::relaxedAssign(*volume.pointAt(index), record);  // derives the sub-cell counts
    volume.publishSide(at, at.voxel->side(0) == -1 ? 0 : 1, index);
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
        FusionPoint record =
            observation(c.x * resolution, c.y * resolution, c.z * resolution, n[0], n[1], n[2]);
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
            const FoundPoint f =
                volume.lookupPoint({c.x + off[0], c.y + off[1], c.z + off[2]}, centre.normal);
            if (!f || f.record->observation_count == 0) continue;
            masks.push_back(f.record->sub_voxel_mask);
            xs.push_back(f.record->position[0]);
            if (f.record->frame_stamp == frame) continue;
            older.push_back(f.index);
            stamps.insert(f.record->frame_stamp);
            const bool shell =
                std::max({std::abs(off[0]), std::abs(off[1]), std::abs(off[2])}) == 2;
            if (static_cast<double>(edge) < 0.1 || (edge < 0.5f && !shell))
                listed.push_back(f.index);
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
        EXPECT_EQ(tag, stamps.empty()       ? fusion::kFrameTagNone
                       : stamps.size() == 1 ? static_cast<uint32_t>(*stamps.begin())
                                            : fusion::kFrameTagMixed);

        uint16_t got_counts[125];
        fusion::collectGradingNeighbours(volume, frame, centre, edge, got_counts, got_total,
                                         got_older, list);
        EXPECT_EQ(got_older, static_cast<int>(older.size()));
        EXPECT_EQ(sorted({list.indices, list.indices + list.count}), sorted(listed));
        std::vector<uint16_t> got(got_counts, got_counts + got_total), expected;
        for (uint64_t m : masks) expected.push_back(fusion::subCellCounts(m));
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected);

        float positions[125][3];
        EXPECT_EQ(fusion::collectNeighbourPositions(volume, centre, positions, got_total, 4),
                  total >= 4);
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
    const Case cases[] = {
        {{0xFF}, 1.0f, 0x0001},
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

// The counts kept with a record against counting the mask's bits directly.
TEST(SubCellCounts, MatchCountingTheMask) {
    std::mt19937_64 rng(5);
    for (int i = 0; i < 20000; ++i) {
        uint64_t mask = rng();
        if (i % 3 == 1) mask &= rng() & rng();  // sparse masks, few octants
        if (i % 3 == 2) mask &= uint64_t{0xFF} << (8 * (i % 8));
        int bits = 0, octants = 0;
        for (int b = 0; b < 64; ++b) bits += (mask >> b) & 1 ? 1 : 0;
        for (int o = 0; o < 8; ++o) {
            bool hit = false;  // octant (ox, oy, oz) covers x 2ox..2ox+1, y 2oy.., z 2oz..
            for (int b = 0; b < 64; ++b) {
                const int x = b % 4, y = (b / 4) % 4, z = b / 16;
                if (x / 2 == (o & 1) && y / 2 == ((o >> 1) & 1) && z / 2 == (o >> 2) &&
                    ((mask >> b) & 1))
                    hit = true;
            }
            octants += hit ? 1 : 0;
        }
        const uint16_t counts = fusion::subCellCounts(mask);
        ASSERT_EQ(fusion::octantsOf(counts), octants) << std::hex << mask;
        ASSERT_EQ(fusion::cellsOf(counts), bits) << std::hex << mask;
    }
}

// Grading from the kept counts gives the code of the masks, float sums and
// all, for every tier and for random neighbourhoods of every size.
TEST(SubCellCounts, QualityCodeOfCountsMatchesMasks) {
    std::mt19937_64 rng(9);
    const fusion::GlobalParams params = fusion::defaultGlobalParams();
    const float sizes[] = {2.0f, 1.0f, 0.5f, 0.2f, 0.1f, 0.05f};
    int graded = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = static_cast<int>(rng() % 126);
        std::vector<uint64_t> masks(static_cast<std::size_t>(n));
        std::vector<uint16_t> counts(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            uint64_t m = rng();
            for (int thin = static_cast<int>(rng() % 4); thin > 0; --thin) m &= rng();
            if (rng() % 8 == 0) m = 0;
            masks[static_cast<std::size_t>(i)] = m;
            counts[static_cast<std::size_t>(i)] = fusion::subCellCounts(m);
        }
        const float size = sizes[trial % 6];
        const uint16_t expected = fusion::computeQualityCode(params, masks.data(), n, size);
        EXPECT_EQ(fusion::qualityCodeOfCounts(params, counts.data(), n, size), expected)
            << n << " masks, size " << size;
        graded += expected != 0 ? 1 : 0;
    }
    EXPECT_GT(graded, 1000) << "most neighbourhoods must grade above 0";
}

// The grader's tables against the straightforward code of the masks, with
// random tuning rows too: zero and negative gates and expected counts (which
// make scores infinite, negative or not a number) must grade alike.
TEST(SubCellCounts, GraderMatchesMasksForAnyTuning) {
    std::mt19937_64 rng(21);
    std::uniform_int_distribution<int> word(-3, 70);
    const float sizes[] = {1.0f, 0.5f, 0.2f, 0.05f};
    int degenerate = 0, graded = 0;
    for (int trial = 0; trial < 400; ++trial) {
        fusion::GlobalParams params = fusion::defaultGlobalParams();
        if (trial % 4 != 0) {
            for (int32_t& w : params.device_tuning) w = word(rng) % (trial % 2 == 0 ? 12 : 70);
        }
        const float size = sizes[trial % 4];
        const fusion::QualityGrader grader(params, size);
        for (int hood = 0; hood < 20; ++hood) {
            const int n = static_cast<int>(rng() % 126);
            std::vector<uint64_t> masks(static_cast<std::size_t>(n));
            std::vector<uint16_t> counts(static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                uint64_t m = rng();
                for (int thin = static_cast<int>(rng() % 5); thin > 0; --thin) m &= rng();
                if (rng() % 10 == 0) m = 0;
                masks[static_cast<std::size_t>(i)] = m;
                counts[static_cast<std::size_t>(i)] = fusion::subCellCounts(m);
            }
            const uint16_t expected = fusion::computeQualityCode(params, masks.data(), n, size);
            ASSERT_EQ(grader.code(counts.data(), n), expected)
                << "trial " << trial << ", " << n << " masks";
            graded += expected != 0 ? 1 : 0;
        }
        for (int k = 0; k < 8; ++k)
            degenerate += params.device_tuning[8 * (trial % 4) + k] <= 0 ? 1 : 0;
    }
    EXPECT_GT(graded, 3000);
    EXPECT_GT(degenerate, 100) << "zero and negative tuning words must be exercised";
}

// Every way a mask reaches a stored record keeps the counts beside it.
TEST(SubCellCounts, FollowTheMaskInStoredRecords) {
    TestVolume t(0.5f);
    Volume& volume = t.volume;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> pos(-3.0f, 3.0f);
    fusion::PlacementRules rules;  // marks sub-cells
    for (int i = 0; i < 4000; ++i) {
        const float n = i % 2 == 0 ? 1.0f : -1.0f;
        place(volume, observation(pos(rng), pos(rng), pos(rng), 0.0f, 0.0f, n), rules);
    }
    int marked = 0;
    for (int32_t i = 0; i < volume.readablePointCount(); ++i) {
        const FusionPoint& p = *volume.pointAt(i);
        EXPECT_EQ(p.sub_cell_counts, fusion::subCellCounts(p.sub_voxel_mask)) << i;
        marked += fusion::cellsOf(p.sub_cell_counts) > 1 ? 1 : 0;
    }
    EXPECT_GT(marked, 100) << "records must collect several sub-cells";

    // Whole-record writes derive the counts from the mask, whatever the
    // written value carried.
    FusionPoint stale = observation(0.1f, 0.1f, 0.1f, 0.0f, 0.0f, 1.0f);
    stale.sub_voxel_mask = 0xF0F0;
    stale.sub_cell_counts = 0x0101;
    fusion::relaxedAssign(*volume.pointAt(0), stale);
    EXPECT_EQ(volume.pointAt(0)->sub_cell_counts, fusion::subCellCounts(0xF0F0));
}

}  // namespace
