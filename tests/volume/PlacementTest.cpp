// Placement of observations and placeholders.

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "volume/UpdateBuffer.h"

namespace {

using namespace fusion_test;
using fusion::PlacementRules;

TEST(Placement, FacingSidesAndFusedMean) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    FoundPoint up;
    for (float x : {0.1f, 0.2f, 0.3f}) up = place(volume, observation(x, 0, 0, 0, 0, 1));
    ASSERT_TRUE(up);
    EXPECT_EQ(up.record->observation_count, 3);
    EXPECT_NEAR(up.record->position[0], 0.2f, 1e-6f) << "0.1, then 0.15, then 0.2";
    // Cells along x: 0.1 and 0.2 in cell 2, 0.3 in cell 3; y and z in cell 2.
    EXPECT_EQ(up.record->sub_voxel_mask, (uint64_t{1} << 42) | (uint64_t{1} << 43));

    const FoundPoint down = place(volume, observation(0.2f, 0, 0, 0, 0, -1));
    ASSERT_TRUE(down);
    EXPECT_NE(down.index, up.index);
    EXPECT_EQ(down.voxel, up.voxel);
    EXPECT_FALSE(place(volume, observation(0.3f, 0, 0, 1, 0, 0))) << "faces neither side";
    EXPECT_EQ(place(volume, observation(0.3f, 0, 0, 0, 0.1f, -1)).index, down.index);
    EXPECT_EQ(volume.points().nextIndex(), 2);

    PlacementRules unjudged;
    unjudged.mark_sub_cells = false;
    const FoundPoint plain = place(volume, observation(5, 0, 0, 0, 0, 1), unjudged);
    EXPECT_EQ(plain.record->sub_voxel_mask, 0u) << "no sub-cell marks without quality judging";
}

// The count saturates (a wrap would divide by zero); the mean keeps true weights.
TEST(Placement, MergedObservationCountSaturates) {
    for (auto [stored, incoming] : {std::pair{65535, 1}, {65000, 1000}}) {
        const FusionPoint m =
            fusion::mergeObservation(observation(0, 0, 0, 0, 0, 1, 8, 0, uint16_t(stored)),
                                     observation(1, 0, 0, 0, 0, 1, 16, 1, uint16_t(incoming)));
        EXPECT_EQ(m.observation_count, 65535);
        EXPECT_NEAR(m.position[0], float(incoming) / float(stored + incoming), 1e-7f);
        EXPECT_EQ(m.scan_level | m.protected_flag << 8, 16 | 1 << 8)
            << "fine level and protection win";
    }
}

TEST(Placement, GuardsAcceptOnlyPermittedObservations) {
    struct GuardCase {
        const char* name;
        uint8_t stored_level, stored_protected, level, prot;
        bool blocking, accepted;
    };
    const GuardCase cases[] = {{"ProtectedRefusesPlain", 8, 1, 8, 0, false, false},
                               {"ProtectedTakesProtected", 8, 1, 8, 1, false, true},
                               {"FineRefusesPlainBlocking", 64, 0, 8, 0, true, false},
                               {"FineRefusesFineStreaming", 64, 0, 64, 0, false, false},
                               {"FineTakesFineBlocking", 64, 0, 32, 0, true, true},
                               {"FineResolvableTakesPlain", 16, 0, 8, 0, false, true}};
    for (const GuardCase& g : cases) {
        SCOPED_TRACE(g.name);
        TestVolume t(0.5f);
        PlacementRules rules;
        rules.point_spacing = 0.1f;  // coarser than a level-64 cell of 0.0625
        rules.blocking_frame = g.blocking;
        const FoundPoint stored = place(
            t.volume, observation(0.1f, 0, 0, 0, 0, 1, g.stored_level, g.stored_protected), rules);
        ASSERT_TRUE(stored);
        EXPECT_EQ(bool(place(t.volume, observation(0.2f, 0, 0, 0, 0, 1, g.level, g.prot), rules)),
                  g.accepted);
        EXPECT_EQ(stored.record->observation_count, g.accepted ? 2 : 1);
    }
}

TEST(Placement, SubCellMarks) {
    struct CellCase {
        float x, y, z;
        int bit;
    };
    const CellCase cases[] = {{-0.5f, -0.5f, -0.5f, 0},
                              {0.49f, -0.26f, 0.01f, 32 + 0 + 3},
                              {0.5f, 0.0f, -0.5f, 0 + 8 + 3},  // on the upper face: cell 3
                              {-0.75f, 0.0f, 0.0f, 32 + 8}};   // t = -1 + eps: cell 0
    for (const CellCase& c : cases) {
        FusionPoint record = observation(0, 0, 0, 0, 0, 1);
        const float p[3] = {c.x, c.y, c.z};
        ASSERT_EQ(fusion::markSubVoxel(1.0f, p, Int3{0, 0, 0}, &record), 0);
        EXPECT_EQ(record.sub_voxel_mask, uint64_t{1} << c.bit) << c.x << " " << c.y << " " << c.z;
    }
    const float origin[3] = {0, 0, 0};
    EXPECT_EQ(fusion::markSubVoxel(1.0f, origin, Int3{}, nullptr), 1) << "a missing record";
}

TEST(Placement, PlaceholdersFillEmptySidesAndMarkOnlyAbsorbedRecords) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    const float up[3] = {0, 0, 1};
    const FusionPoint mark = fusion::placeholderTemplate(up, 32, 1);
    ASSERT_EQ(fusion::addPlaceholder(volume, {3, 0, 0}, mark), 0);
    const FoundPoint placed = volume.lookupPoint({3, 0, 0}, up);
    ASSERT_TRUE(placed);  // its bytes: see the reorganisation's markers

    const FoundPoint live = place(volume, observation(0, 0, 0, 0, 0, 1));
    ASSERT_EQ(fusion::addPlaceholder(volume, {0, 0, 0}, mark), 0);
    EXPECT_EQ(live.record->scan_level, 8) << "a record holding data keeps its marks";
    fusion::relaxedStore(live.record->absorbed_flag, uint8_t{1});
    ASSERT_EQ(fusion::addPlaceholder(volume, {0, 0, 0}, mark), 0);
    EXPECT_EQ(live.record->scan_level | live.record->protected_flag << 8, 32 | 1 << 8);

    EXPECT_FALSE(place(volume, observation(3.1f, 0, 0, 0, 0, 1))) << "the mark protects its voxel";
    const FoundPoint over = place(volume, observation(3.1f, 0, 0, 0, 0, 1, 8, 1));
    ASSERT_EQ(over.index, placed.index) << "a protected observation replaces the weightless mark";
    EXPECT_EQ(over.record->scan_level, 32) << "keeping its level";
    EXPECT_EQ(over.record->observation_count, 1);
    EXPECT_FLOAT_EQ(over.record->position[0], 3.1f);
}

// Threads place into shared voxels, then emit every record: nothing lost or doubled.
TEST(PlacementConcurrent, SharedVoxelsAndRecordsLoseNothing) {
    GlobalParams p = smallParams();
    p.chunk_point_shift = 6;
    p.chunk_point_num = 64;
    TestVolume t(1.0f, p);
    Volume& volume = t.volume;
    constexpr int kThreads = 4, kSides = 500, kRounds = 3;
    auto run = [&](auto body) {
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) threads.emplace_back(body, i);
        for (auto& th : threads) th.join();
    };
    run([&](int i) {
        for (int k = 0; k < kRounds * kSides; ++k) {
            const int v = k % kSides;
            place(volume, observation(float(v / 2) + 0.1f * i, 3, 4, 0, 0, v % 2 ? -1.0f : 1.0f));
        }
    });
    ASSERT_EQ(volume.points().nextIndex(), kSides);
    long total = 0;
    for (int32_t k = 0; k < kSides; ++k) total += volume.pointAt(k)->observation_count;
    EXPECT_EQ(total, long{kThreads} * kSides * kRounds);

    auto buffer = fusion::UpdateBuffer::create(kThreads * kSides, volume.viewIds());
    run([&](int) {
        for (int32_t k = 0; k < kSides; ++k)
            fusion::emitVertexUpdate(volume.viewIds(), *volume.pointAt(k), 1, *buffer);
    });
    ASSERT_EQ(buffer->count(), kThreads * kSides);
    std::set<int32_t> ids;
    for (int32_t k = 0; k < kSides; ++k) ids.insert(volume.pointAt(k)->view_id);
    EXPECT_EQ(ids.size(), size_t{kSides}) << "one id per record, even when emitters race";
    for (int k = 0; k < buffer->count(); ++k)
        ASSERT_EQ(ids.count(buffer->records()[k].view_id), 1u);
    EXPECT_EQ(volume.viewIds().next() - volume.viewIds().freeCount(), kSides)
        << "ids that lost a race went back: none is wasted";
}

// Placing through a block cache fills the volume byte for byte as without
// one; the sub-cell counts kept with each record follow its mask.
TEST(Placement, CachedBlockGivesTheSameVolume) {
    TestVolume plain(0.5f), cached(0.5f);
    ASSERT_TRUE(plain.ok && cached.ok);
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> jitter(-0.4f, 0.4f), coin(0.0f, 1.0f);
    std::uniform_int_distribution<int> spot(-30, 30);
    PlacementRules rules;  // marks sub-cells
    fusion::PlacementCache cache;
    float at[3] = {0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 20000; ++i) {
        if (i % 40 == 0)  // a jump, else a walk in small steps: runs within a block
            for (float& a : at) a = static_cast<float>(spot(rng));
        for (float& a : at) a += jitter(rng);
        const float n = coin(rng) < 0.8f ? 1.0f : -1.0f;
        const FusionPoint p =
            observation(at[0], at[1], at[2], 0.3f * n, 0.2f, n, coin(rng) < 0.1f ? 32 : 8);
        const FoundPoint a = fusion::addObservation(plain.volume, rules, p.position, p);
        const FoundPoint b = fusion::addObservation(cached.volume, rules, p.position, p, &cache);
        ASSERT_EQ(a.index, b.index) << i;
        ASSERT_EQ(a.block, b.block) << i;
        ASSERT_EQ(a.local, b.local) << i;
    }
    ASSERT_EQ(plain.volume.readablePointCount(), cached.volume.readablePointCount());
    ASSERT_EQ(plain.volume.blocks().blockCount(), cached.volume.blocks().blockCount());
    EXPECT_GT(plain.volume.blocks().blockCount(), 200);
    for (int32_t i = 0; i < plain.volume.readablePointCount(); ++i) {
        const FusionPoint& p = *plain.volume.pointAt(i);
        ASSERT_TRUE(sameBytes(p, *cached.volume.pointAt(i))) << i;
        ASSERT_EQ(p.sub_cell_counts, fusion::subCellCounts(p.sub_voxel_mask)) << i;
    }
    for (int32_t b = 0; b < plain.volume.blocks().blockCount(); ++b)
        for (int v = 0; v < 1024; ++v)  // every side of every voxel
            ASSERT_EQ(plain.volume.blockVoxels(b)[v / 2].side(v % 2),
                      cached.volume.blockVoxels(b)[v / 2].side(v % 2));
}

}  // namespace
