// Layer merging: fusion cases, failures, protection and the host's updates.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "volume/LayerMerging.h"
#include "volume/UpdateBuffer.h"

namespace {

using namespace fusion_test;
using fusion::Outcome;

const float kPlusX[3] = {1.0f, 0.0f, 0.0f};

struct Merger {
    explicit Merger(float resolution = 1.0f) : t(resolution) {
        updates = fusion::UpdateBuffer::create(64, t.volume.viewIds());
    }
    Outcome merge(FusionPoint* record, bool quiet = false) {
        return quiet ? fusion::mergeLayersQuiet(t.volume, record)
                     : fusion::mergeLayers(t.volume, record, *updates);
    }
    std::vector<fusion::Vertices> written() const {
        return {updates->records(), updates->records() + updates->count()};
    }
    TestVolume t;
    std::unique_ptr<fusion::UpdateBuffer> updates;
};

TEST(LayerMerging, MergesAlongTheDominantAxisOnly) {
    struct AxisCase {
        float normal[3];
        int axis;
    };
    const AxisCase cases[] = {
        {{-0.8f, 0.5f, 0.3f}, 0}, {{0.6f, 0.6f, 0.5f}, 1}, {{0.5f, 0.1f, -0.5f}, 2}};
    for (const AxisCase& c : cases) {
        Merger m;  // heavier neighbours one voxel ahead on every axis
        FusionPoint* a = putRecord(m.t.volume, 0.0f, 0.0f, 0.2f, c.normal, 1);
        FusionPoint* ahead[3];
        for (int axis = 0; axis < 3; ++axis) {
            float p[3] = {0.0f, 0.0f, 0.2f};
            p[axis] += 1.0f;
            ahead[axis] = putRecord(m.t.volume, p[0], p[1], p[2], c.normal, 3);
        }
        ASSERT_TRUE(m.merge(a).ok());
        for (int axis = 0; axis < 3; ++axis)
            EXPECT_EQ(ahead[axis]->observation_count, axis == c.axis ? 4 : 3) << "axis " << c.axis;
    }
}

// a at x = 0.1 with weight 2; b ahead, c behind along x.
TEST(LayerMerging, WeightedMeanStaysInTheVoxelItFallsInto) {
    struct FusionCase {
        const char* name;
        int count_b, count_c;  // 0: no record in that voxel
        float x_b, x_c;
        float fused;
        int survivor;  // 0 a, 1 b, 2 c
    };
    const FusionCase cases[] = {
        {"AllThreeIntoA", 1, 1, 1.0f, -1.0f, 0.05f, 0},
        {"AllThreeIntoB", 6, 1, 1.2f, -1.0f, 0.71111111f, 1},   // (7.2 + 0.2 - 1) / 9
        {"AllThreeIntoC", 1, 8, 1.0f, -1.2f, -0.76363636f, 2},  // (1 + 0.2 - 9.6) / 11
        {"AheadOnlyIntoA", 1, 0, 1.0f, 0.0f, 0.4f, 0},
        {"AheadOnlyIntoB", 4, 0, 0.9f, 0.0f, 0.63333333f, 1},
        {"BehindOnlyIntoC", 0, 3, 0.0f, -1.1f, -0.62f, 2}};
    for (const FusionCase& c : cases) {
        SCOPED_TRACE(c.name);
        Merger m;
        FusionPoint* records[3] = {
            putRecord(m.t.volume, 0.1f, 0.2f, 0.0f, kPlusX, 2),
            c.count_b ? putRecord(m.t.volume, c.x_b, 0.2f, 0.0f, kPlusX, c.count_b) : nullptr,
            c.count_c ? putRecord(m.t.volume, c.x_c, 0.2f, 0.0f, kPlusX, c.count_c) : nullptr};
        int32_t ids[3] = {-1, -1, -1};
        for (int i = 0; i < 3; ++i)
            if (records[i] != nullptr) ids[i] = records[i]->view_id;
        ASSERT_TRUE(m.merge(records[0]).ok());
        const FusionPoint* survivor = records[c.survivor];
        EXPECT_FLOAT_EQ(survivor->position[0], c.fused);
        EXPECT_FLOAT_EQ(survivor->position[1], 0.2f);
        EXPECT_EQ(survivor->observation_count, 2 + c.count_b + c.count_c);
        // One change for the survivor, then removals in the order a, b, c.
        std::vector<std::pair<int32_t, int>> expected = {{ids[c.survivor], 1}};
        for (int i = 0; i < 3; ++i)
            if (records[i] != nullptr && i != c.survivor) expected.push_back({ids[i], 255});
        std::vector<std::pair<int32_t, int>> got;
        for (const auto& v : m.written()) got.push_back({v.view_id, v.state});
        EXPECT_EQ(got, expected);
        EXPECT_FLOAT_EQ(m.written()[0].position[0], c.fused);
    }
}

// Neighbours drifted to y = 0.9 pull the mean into a voxel no candidate
// occupies; neighbours facing away, emptied or off the axis do not count (a
// single layer is no failure worth a message). Nothing changes, in either form.
TEST(LayerMerging, FailedOrSingleLayerMergesChangeNothing) {
    struct Case {
        bool ahead, behind;
        const char* message;
    };
    const Case cases[] = {{true, true, "fusion abc point position error!"},
                          {true, false, "fusion ab point position error!"},
                          {false, true, "fusion ac point position error!"},
                          {false, false, nullptr}};
    const float minus_x[3] = {-1.0f, 0.0f, 0.0f};
    for (const Case& c : cases) {
        for (const bool quiet : {false, true}) {
            Merger m;
            std::vector<FusionPoint*> records = {
                putRecord(m.t.volume, 0.0f, 0.4f, 0.0f, kPlusX, 1)};
            for (const float x : {c.ahead ? 1.0f : 0.0f, c.behind ? -1.0f : 0.0f}) {
                if (x == 0.0f) continue;
                records.push_back(putRecord(m.t.volume, x, 0.0f, 0.0f, kPlusX, 4));
                records.back()->position[1] = 0.9f;
            }
            if (!c.ahead && !c.behind) {
                records.push_back(putRecord(m.t.volume, 1.0f, 0.2f, 0.0f, minus_x, 5));
                records.push_back(putRecord(m.t.volume, -1.0f, 0.2f, 0.0f, kPlusX, 5));
                records.back()->observation_count = 0;
                records.push_back(putRecord(m.t.volume, 0.0f, 1.2f, 0.0f, kPlusX, 5));
            }
            std::vector<FusionPoint> before;
            for (FusionPoint* r : records) before.push_back(*r);
            const Outcome result = m.merge(records[0], quiet);
            EXPECT_EQ(result.status, 1);
            EXPECT_STREQ(result.message, c.message);
            for (std::size_t k = 0; k < records.size(); ++k)
                EXPECT_TRUE(sameBytes(*records[k], before[k]));
            EXPECT_EQ(m.updates->count(), 0);
        }
    }
    Merger m;
    EXPECT_STREQ(m.merge(nullptr, true).message, "waiting for fusion data is empty!");
    FusionPoint stray = observation(40, 40, 40, 1, 0, 0, 8, 0, 3);  // not in the volume
    EXPECT_STREQ(m.merge(&stray).message, "waiting for fusion data not found!");
}

// a at x = 0 (weight 2), b at 1.0 (6, the target), c at -1.0 (1); one protected.
TEST(LayerMerging, FrameFormNeverChangesProtectedRecordsQuietFormDoes) {
    for (const bool quiet : {false, true}) {
        for (int protect = 0; protect < 3; ++protect) {
            SCOPED_TRACE(std::string(quiet ? "quiet" : "frame") + ", protected " +
                         std::to_string(protect));
            Merger m;
            FusionPoint* r[3] = {
                putRecord(m.t.volume, 0.0f, 0.2f, 0.0f, kPlusX, 2, 8, protect == 0),
                putRecord(m.t.volume, 1.0f, 0.2f, 0.0f, kPlusX, 6, 8, protect == 1),
                putRecord(m.t.volume, -1.0f, 0.2f, 0.0f, kPlusX, 1, 8, protect == 2)};
            const FusionPoint protected_before = *r[protect];
            const Outcome result = m.merge(r[0], quiet);
            if (!quiet && protect == 0) {
                EXPECT_STREQ(result.message, "waiting for fusion data not found!");
                EXPECT_EQ(r[1]->observation_count, 6);
                continue;
            }
            EXPECT_TRUE(result.ok());
            EXPECT_EQ(r[0]->observation_count, 0);
            if (quiet) {
                EXPECT_EQ(r[1]->observation_count, 9);
                EXPECT_FLOAT_EQ(r[1]->position[0], 5.0f / 9.0f);
                EXPECT_EQ(r[2]->observation_count, 0);
                EXPECT_EQ(m.updates->count(), 0) << "the quiet form reports nothing";
            } else {
                EXPECT_TRUE(sameBytes(*r[protect], protected_before))
                    << "the protected record keeps every byte";
                EXPECT_EQ(r[1]->observation_count, protect == 1 ? 6 : 9);
                EXPECT_EQ(r[2]->observation_count, protect == 2 ? 1 : 0);
                EXPECT_EQ(m.updates->count(), 2) << "a change and a removal, or two removals";
            }
        }
    }
}

// b's count reaches the ceiling of 65,535 (a wrap would empty the survivor).
TEST(LayerMerging, FineLevelsKeepTheirSideOrdinaryOnesAreRemovedAndRecycled) {
    for (const bool quiet : {false, true}) {
        Merger m;
        Volume& volume = m.t.volume;
        FusionPoint* a = putRecord(volume, 0.2f, 0.0f, 0.0f, kPlusX, 1, 32);
        FusionPoint* b = putRecord(volume, 0.9f, 0.0f, 0.0f, kPlusX, 65534);
        FusionPoint* c = putRecord(volume, -0.8f, 0.0f, 0.0f, kPlusX, 1);
        const int32_t index_c = volume.lookupPoint({-1, 0, 0}, kPlusX).index;
        const int32_t ids[3] = {a->view_id, b->view_id, c->view_id};
        ASSERT_TRUE(m.merge(a, quiet).ok());
        EXPECT_EQ(b->scan_level, 32) << "the first fine level of a, b, c";
        EXPECT_EQ(b->observation_count, 65535);
        EXPECT_EQ(a->observation_count, 0);
        EXPECT_EQ(a->view_id, -1);
        EXPECT_EQ(a->absorbed_flag, 1);
        EXPECT_EQ(a->scan_level, 32);
        EXPECT_TRUE(volume.lookupPoint({0, 0, 0}, kPlusX)) << "the fine side keeps its record";
        EXPECT_TRUE(sameBytes(*c, fusion::defaultFusionPoint()));
        EXPECT_FALSE(volume.lookupPoint({-1, 0, 0}, kPlusX)) << "the ordinary side is emptied";
        EXPECT_EQ(volume.points().allocatePoint(), index_c) << "its index is handed out again";
        if (quiet) {
            EXPECT_EQ(volume.viewIds().freeCount(), 2) << "the quiet form returns both ids at once";
        } else {
            EXPECT_EQ(volume.viewIds().freeCount(), 0) << "removals return ids only once queued";
            m.updates.reset();
            EXPECT_EQ(volume.viewIds().freeCount(), 2);
        }
        EXPECT_EQ(volume.viewIds().allocate() + volume.viewIds().allocate(), ids[0] + ids[2]);
    }
}

}  // namespace
