// The walks and lookups through a BlockCache against the plain ones: same
// neighbours in the same order, on random volumes large enough to evict
// cache slots, with the cache kept across many centres as a stage's thread
// keeps it, in both modes.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "frame/NeighbourhoodScan.h"
#include "support/TestSupport.h"

namespace {

using namespace fusion_test;
using fusion::BlockCache;
using fusion::NeighbourList;

// Hangs `record` on the first free side of voxel c, whatever it faces.
int32_t putRaw(Volume& volume, const Int3& c, const FusionPoint& record) {
    const fusion::VoxelRef at = volume.findOrCreateVoxel(c);
    if (!at || at.voxel->side(1) != -1) return -1;
    const int32_t index = volume.points().allocatePoint();
    fusion::relaxedAssign(*volume.pointAt(index), record);
    volume.publishSide(at, at.voxel->side(0) == -1 ? 0 : 1, index);
    return index;
}

// A random volume: clusters of records (dense surface patches) spread over
// about 1,600 blocks on both sides of the origin, normals of every kind
// (axis normals make exact perpendiculars), some records without
// observations, some voxels with both sides. Returns the stored indices.
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
            const int32_t index = putRaw(volume, c, record);
            if (index >= 0) stored.push_back(index);
        }
    }
    return stored;
}

struct Walked {
    int total = -1, older = -1;
    uint32_t tag = 0;
    std::vector<int32_t> listed;
    std::vector<uint16_t> counts;
    std::vector<float> positions;
};

Walked gradePlain(const Volume& volume, int32_t frame, const FusionPoint& centre, float edge) {
    Walked w;
    uint16_t counts[125];
    NeighbourList list;
    fusion::collectGradingNeighbours(volume, frame, centre, edge, counts, w.total, w.older, list);
    w.counts.assign(counts, counts + w.total);
    w.listed.assign(list.indices, list.indices + list.count);
    return w;
}

Walked gradeCached(BlockCache& cache, int32_t frame, const FusionPoint& centre, float edge) {
    Walked w;
    uint16_t counts[125];
    NeighbourList list;
    fusion::collectGradingNeighbours(cache, frame, centre, edge, counts, w.total, w.older, list);
    w.counts.assign(counts, counts + w.total);
    w.listed.assign(list.indices, list.indices + list.count);
    return w;
}

Walked confirmPlain(const Volume& volume, int32_t frame, const FusionPoint& centre) {
    Walked w;
    NeighbourList list;
    fusion::countConfirmingNeighbours(volume, frame, centre, w.total, w.older, w.tag, list);
    w.listed.assign(list.indices, list.indices + list.count);
    return w;
}

Walked confirmCached(BlockCache& cache, int32_t frame, const FusionPoint& centre) {
    Walked w;
    NeighbourList list;
    fusion::countConfirmingNeighbours(cache, frame, centre, w.total, w.older, w.tag, list);
    w.listed.assign(list.indices, list.indices + list.count);
    return w;
}

template <class Where>
Walked positions(Where& where, const FusionPoint& centre) {
    Walked w;
    float xyz[125][3];
    fusion::collectNeighbourPositions(where, centre, xyz, w.total, 0);
    for (int i = 0; i < w.total; ++i) w.positions.insert(w.positions.end(), xyz[i], xyz[i] + 3);
    return w;
}

void expectSame(const Walked& plain, const Walked& cached, int32_t centre) {
    EXPECT_EQ(cached.total, plain.total) << "centre " << centre;
    EXPECT_EQ(cached.older, plain.older) << "centre " << centre;
    EXPECT_EQ(cached.tag, plain.tag) << "centre " << centre;
    EXPECT_EQ(cached.listed, plain.listed) << "centre " << centre;  // same order
    EXPECT_EQ(cached.counts, plain.counts) << "centre " << centre;  // same order
    EXPECT_EQ(cached.positions, plain.positions) << "centre " << centre;
}

struct OracleCase {
    float edge;
    BlockCache::Mode mode;
};
class BlockCacheOracle : public ::testing::TestWithParam<OracleCase> {};

// Every variant, through one cache kept over all centres (visited in a
// random order, so slots are evicted and refilled), gives the plain walk's
// neighbours in the plain walk's order.
TEST_P(BlockCacheOracle, MatchesPlainWalks) {
    const float edge = GetParam().edge;
    TestVolume t(0.5f);
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const int32_t frame = 9;
    std::mt19937 rng(17);
    std::vector<int32_t> centres = fillRandomVolume(volume, rng, frame);
    ASSERT_GT(volume.blocks().blockCount(), 2 * BlockCache::kSlots) << "slots must be evicted";
    std::shuffle(centres.begin(), centres.end(), rng);
    centres.resize(std::min<std::size_t>(centres.size(), 6000));

    BlockCache cache(volume, GetParam().mode);
    int busy = 0;
    for (const int32_t index : centres) {
        const FusionPoint centre = fusion::relaxedCopy(*volume.pointAt(index));
        const Walked plain = gradePlain(volume, frame, centre, edge);
        expectSame(plain, gradeCached(cache, frame, centre, edge), index);
        expectSame(confirmPlain(volume, frame, centre), confirmCached(cache, frame, centre), index);
        expectSame(positions(volume, centre), positions(cache, centre), index);
        const Int3 c = fusion::voxelOf(centre.position, volume.resolution());
        const fusion::FoundPoint a = volume.lookupPoint(c, centre.normal);
        const fusion::FoundPoint b = cache.lookupPoint(c, centre.normal);
        EXPECT_EQ(b.index, a.index);
        EXPECT_EQ(b.voxel, a.voxel);
        EXPECT_EQ(b.record, a.record);
        busy += plain.total > 4 ? 1 : 0;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(busy, 1000) << "the volume must give the walks real work";
}

INSTANTIATE_TEST_SUITE_P(Edges, BlockCacheOracle,
                         ::testing::Values(OracleCase{0.5f, BlockCache::Mode::Frozen},
                                           OracleCase{0.25f, BlockCache::Mode::Frozen},
                                           OracleCase{0.05f, BlockCache::Mode::Frozen},
                                           OracleCase{0.25f, BlockCache::Mode::Live}));

// Centres in stored order (neighbours of one another, as a frame's points
// are) and a cache that outlives records being emptied and sides being
// cleared after it looked at them: sides only ever disappear while a cache
// is in use, and the cached walks still see exactly what the plain ones see.
TEST(BlockCache, SeesSidesEmptiedAfterItLooked) {
    TestVolume t(0.5f);
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const int32_t frame = 4;
    std::mt19937 rng(23);
    const std::vector<int32_t> stored = fillRandomVolume(volume, rng, frame);

    BlockCache cache(volume, BlockCache::Mode::Frozen);
    for (std::size_t k = 0; k < stored.size(); k += 3) {
        (void)gradeCached(cache, frame, *volume.pointAt(stored[k]), 0.25f);
    }
    // Clear a third of the sides the cache has seen, as layer merging does.
    int cleared = 0;
    for (std::size_t k = 0; k < stored.size(); k += 3) {
        const FusionPoint& record = *volume.pointAt(stored[k]);
        const fusion::FoundPoint found = volume.lookupPoint(
            fusion::voxelOf(record.position, volume.resolution()), record.normal);
        if (!found || found.index != stored[k]) continue;
        fusion::relaxedAssign(*found.record, fusion::defaultFusionPoint());
        volume.clearSide(found.where(), found.voxel->side(0) == found.index ? 0 : 1);
        ++cleared;
    }
    ASSERT_GT(cleared, 1000);
    int compared = 0;
    for (std::size_t k = 1; k < stored.size(); k += 2) {
        const FusionPoint centre = fusion::relaxedCopy(*volume.pointAt(stored[k]));
        if (centre.observation_count == 0) continue;
        expectSame(gradePlain(volume, frame, centre, 0.25f),
                   gradeCached(cache, frame, centre, 0.25f), stored[k]);
        expectSame(positions(volume, centre), positions(cache, centre), stored[k]);
        ++compared;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(compared, 1000);
}

// A frozen cache remembers an absent block; a live one looks again, and so
// finds blocks and sides inserted after it first looked (a queued second
// stage runs while later frames insert).
TEST(BlockCache, AbsentBlocksByMode) {
    TestVolume t(0.5f);
    ASSERT_TRUE(t.ok);
    Volume& volume = t.volume;
    const float up[3] = {0.0f, 0.0f, 1.0f};
    ASSERT_TRUE(placeAt(volume, {0, 0, 0}, up, 1));
    BlockCache frozen(volume, BlockCache::Mode::Frozen);
    BlockCache live(volume, BlockCache::Mode::Live);
    const FusionPoint near = observation(0.5f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f);
    const FusionPoint far = observation(100.0f, 100.0f, 100.0f, 0.0f, 0.0f, 1.0f);
    EXPECT_EQ(positions(frozen, near).total, 1);
    EXPECT_EQ(positions(live, near).total, 1);
    EXPECT_EQ(positions(frozen, far).total, 0);
    EXPECT_EQ(positions(live, far).total, 0);

    // A record appears far away and one next to the first, in a voxel the
    // caches have looked at as empty.
    ASSERT_TRUE(placeAt(volume, {200, 200, 200}, up, 1));
    ASSERT_TRUE(placeAt(volume, {1, 0, 0}, up, 1));
    EXPECT_EQ(positions(volume, far).total, 1);
    EXPECT_EQ(positions(live, far).total, 1) << "a live cache finds the new block";
    EXPECT_EQ(positions(live, near).total, 2) << "a live cache finds the new side";
    EXPECT_EQ(positions(frozen, far).total, 0) << "a frozen cache keeps what it saw";
    EXPECT_EQ(live.lookupPoint({200, 200, 200}, up).index,
              volume.lookupPoint({200, 200, 200}, up).index);
}

}  // namespace
