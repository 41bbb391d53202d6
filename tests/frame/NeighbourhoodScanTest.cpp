// The neighbourhood walks, their block cache and the quality code.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "frame/NeighbourhoodScan.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;
using fusion::BlockCache;
using fusion::NeighbourList;

std::vector<int32_t> sorted(std::vector<int32_t> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Clusters over about 1,600 blocks around the origin; axis normals make exact
// perpendiculars; some records emptied, some voxels with both sides.
std::vector<int32_t> fillRandomVolume(Volume& volume, std::mt19937& rng, int32_t frame) {
    const float r = volume.resolution();
    std::uniform_int_distribution<int> spot(-48, 48), near(-3, 3), stamp(frame - 3, frame),
        axis(0, 5);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<int32_t> stored;
    for (int cluster = 0; cluster < 700; ++cluster) {
        const Int3 at{spot(rng), spot(rng), spot(rng)};
        for (int i = 0; i < 40; ++i) {
            float n[3] = {unit(rng), unit(rng), unit(rng)};
            if (i % 3 == 0) {
                const int a = axis(rng);
                n[0] = n[1] = n[2] = 0.0f;
                n[a % 3] = a < 3 ? 1.0f : -1.0f;
            }
            const Int3 c{at.x + near(rng), at.y + near(rng), at.z + near(rng)};
            FusionPoint record =
                observation(c.x * r + 0.1f * r, c.y * r, c.z * r - 0.2f * r, n[0], n[1], n[2]);
            record.frame_stamp = stamp(rng);
            uint64_t mask = uint64_t{rng()} << 32 | rng();
            for (int thin = i % 4; thin > 0; --thin) mask &= uint64_t{rng()} << 32 | rng();
            record.sub_voxel_mask = mask;
            if (i % 11 == 0) record.observation_count = 0;  // emptied: skipped by both walks
            const fusion::VoxelRef v = volume.findOrCreateVoxel(c);
            if (!v || v.voxel->side(1) != -1) continue;
            const int32_t index = volume.points().allocatePoint();
            fusion::relaxedAssign(*volume.pointAt(index), record);
            volume.publishSide(v, v.voxel->side(0) == -1 ? 0 : 1, index);
            stored.push_back(index);
        }
    }
    return stored;
}

struct Walked {
    int total = -1, older = -1, confirm_total = -1, confirm_older = -1;
    uint32_t tag = 0;
    std::vector<int32_t> graded, confirming;
    std::vector<uint16_t> counts;
    std::vector<float> positions;
    int32_t found = -2;
    bool enough = false;  // at least four positions
    auto key() const {
        return std::tie(total, older, confirm_total, confirm_older, tag, graded, confirming, counts,
                        positions, found, enough);
    }
    bool operator==(const Walked& o) const { return key() == o.key(); }
};

// Every walk and the lookup from one centre, through a volume or a cache.
template <class Where>
Walked walk(Where& where, int32_t frame, const FusionPoint& centre, float edge,
            float resolution = 0.5f) {
    Walked w;
    uint16_t counts[125];
    NeighbourList list;
    fusion::collectGradingNeighbours(where, frame, centre, edge, counts, w.total, w.older, list);
    w.counts.assign(counts, counts + w.total);
    w.graded.assign(list.indices, list.indices + list.count);
    fusion::countConfirmingNeighbours(where, frame, centre, w.confirm_total, w.confirm_older, w.tag,
                                      list);
    w.confirming.assign(list.indices, list.indices + list.count);
    float xyz[125][3];
    int n = 0;
    w.enough = fusion::collectNeighbourPositions(where, centre, xyz, n, 4);
    for (int i = 0; i < n; ++i) w.positions.insert(w.positions.end(), xyz[i], xyz[i] + 3);
    w.found = where.lookupPoint(fusion::voxelOf(centre.position, resolution), centre.normal).index;
    return w;
}

// The walks as brute force over the cube would give them, in any order.
Walked bruteForce(const Volume& volume, int32_t frame, const FusionPoint& centre, float edge) {
    Walked w;
    std::vector<uint64_t> masks;
    std::set<int32_t> stamps;
    const Int3 c = fusion::voxelOf(centre.position, volume.resolution());
    for (int o = 0; o < 125; ++o) {
        const int off[3] = {o % 5 - 2, (o / 5) % 5 - 2, o / 25 - 2};
        const FoundPoint f =
            volume.lookupPoint({c.x + off[0], c.y + off[1], c.z + off[2]}, centre.normal);
        if (!f || f.record->observation_count == 0) continue;
        w.counts.push_back(fusion::subCellCounts(f.record->sub_voxel_mask));
        w.positions.push_back(f.record->position[0]);
        if (f.record->frame_stamp == frame) continue;
        w.confirming.push_back(f.index);
        stamps.insert(f.record->frame_stamp);
        const bool shell = std::max({std::abs(off[0]), std::abs(off[1]), std::abs(off[2])}) == 2;
        if (static_cast<double>(edge) < 0.1 || (edge < 0.5f && !shell)) w.graded.push_back(f.index);
    }
    w.total = w.confirm_total = static_cast<int>(w.counts.size());
    w.older = w.confirm_older = static_cast<int>(w.confirming.size());
    w.enough = w.total >= 4;
    w.tag = stamps.empty()       ? fusion::kFrameTagNone
            : stamps.size() == 1 ? static_cast<uint32_t>(*stamps.begin())
                                 : fusion::kFrameTagMixed;
    std::sort(w.counts.begin(), w.counts.end());
    std::sort(w.positions.begin(), w.positions.end());
    w.graded = sorted(w.graded);
    w.confirming = sorted(w.confirming);
    return w;
}

// A walk's lists in order, and its x coordinates only, as bruteForce has them.
Walked unordered(Walked w) {
    std::vector<float> xs;
    for (std::size_t i = 0; i < w.positions.size(); i += 3) xs.push_back(w.positions[i]);
    std::sort(xs.begin(), xs.end());
    w.positions = xs;
    std::sort(w.counts.begin(), w.counts.end());
    w.graded = sorted(w.graded);
    w.confirming = sorted(w.confirming);
    return w;
}

struct OracleCase {
    float resolution;
    float edge;  // sub-voxel edge of the grading walk
    BlockCache::Mode mode;
};
class NeighbourWalkOracle : public ::testing::TestWithParam<OracleCase> {};

// The walks against brute force, and through one evicting cache against the plain
// ones; again after a third of the sides are emptied, as merging does under a cache.
TEST_P(NeighbourWalkOracle, MatchesBruteForceAndCachedWalksMatchPlainOnes) {
    const auto [resolution, edge, mode] = GetParam();
    TestVolume t(resolution);
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const int32_t frame = 9;
    std::mt19937 rng(17);
    std::vector<int32_t> centres = fillRandomVolume(volume, rng, frame);
    ASSERT_GT(volume.blocks().blockCount(), 2 * BlockCache::kSlots) << "slots must be evicted";
    std::shuffle(centres.begin(), centres.end(), rng);
    centres.resize(std::min<std::size_t>(centres.size(), 5000));

    BlockCache cache(volume, mode);
    for (const bool emptied : {false, true}) {
        if (emptied) {
            int cleared = 0;
            for (std::size_t k = 0; k < centres.size(); k += 3) {
                const FusionPoint& record = *volume.pointAt(centres[k]);
                const FoundPoint found =
                    volume.lookupPoint(fusion::voxelOf(record.position, resolution), record.normal);
                if (!found || found.index != centres[k]) continue;
                fusion::relaxedAssign(*found.record, fusion::defaultFusionPoint());
                volume.clearSide(found.where(), found.voxel->side(0) == found.index ? 0 : 1);
                ++cleared;
            }
            ASSERT_GT(cleared, 1000);
        }
        int busy = 0;
        for (const int32_t index : centres) {
            const FusionPoint centre = fusion::relaxedCopy(*volume.pointAt(index));
            if (centre.observation_count == 0) continue;
            const Walked plain = walk(volume, frame, centre, edge, resolution);
            Walked expected = bruteForce(volume, frame, centre, edge);
            expected.found = plain.found;
            ASSERT_TRUE(unordered(plain) == expected) << "centre " << index;
            ASSERT_TRUE(walk(cache, frame, centre, edge, resolution) == plain)
                << "centre " << index << (emptied ? " after emptying" : "");
            busy += plain.total > 4 ? 1 : 0;
        }
        EXPECT_GT(busy, 1000) << "the volume must give the walks real work";
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, NeighbourWalkOracle,
                         ::testing::Values(OracleCase{0.5f, 0.5f, BlockCache::Mode::Frozen},
                                           OracleCase{0.5f, 0.25f, BlockCache::Mode::Live},
                                           OracleCase{1.0f, 0.1f, BlockCache::Mode::Frozen},
                                           OracleCase{0.05f, 0.05f, BlockCache::Mode::Frozen}));

// A frozen cache remembers an absent block; a live one (a queued second stage
// while later frames insert) finds blocks and sides inserted since.
TEST(BlockCache, AbsentBlocksByMode) {
    TestVolume t(0.5f);
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const float up[3] = {0.0f, 0.0f, 1.0f};
    ASSERT_TRUE(placeAt(volume, {0, 0, 0}, up, 1));
    BlockCache frozen(volume, BlockCache::Mode::Frozen), live(volume, BlockCache::Mode::Live);
    const FusionPoint near = observation(0.5f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
    const FusionPoint far = observation(100.0f, 100.0f, 100.0f, 0.0f, 0.0f, 1.0f);
    for (BlockCache* cache : {&frozen, &live}) {
        EXPECT_EQ(walk(*cache, 1, near, 0.5f).positions.size(), 3u);
        EXPECT_EQ(walk(*cache, 1, far, 0.5f).positions.size(), 0u);
    }
    ASSERT_TRUE(placeAt(volume, {200, 200, 200}, up, 1));
    ASSERT_TRUE(placeAt(volume, {1, 0, 0}, up, 1));
    EXPECT_EQ(walk(live, 1, far, 0.5f).positions.size(), 3u) << "a live cache finds the new block";
    EXPECT_TRUE(walk(live, 1, far, 0.5f) == walk(volume, 1, far, 0.5f));
    EXPECT_EQ(walk(live, 1, near, 0.5f).positions.size(), 6u) << "a live cache finds the new side";
    EXPECT_EQ(walk(frozen, 1, far, 0.5f).positions.size(), 0u)
        << "a frozen cache keeps what it saw";
}

TEST(QualityCode, DefaultTuning) {
    struct Case {
        std::vector<uint64_t> masks;
        float size;
        uint16_t code;
    };
    const Case cases[] = {
        {{0xFF}, 1.0f, 0x0001},
        {std::vector<uint64_t>(10, ~0ull), 1.0f, 0xFFFF},
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

// The grader's tables against the code of the masks, for random tuning too
// (zero and negative words make scores infinite, negative or NaN).
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

}  // namespace
