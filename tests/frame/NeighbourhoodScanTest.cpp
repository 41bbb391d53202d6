#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/HashTable.h"
#include "frame/NeighbourScan.h"
#include "support/EngineFixture.h"
#include "support/FrameHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::NeighbourList;
using fusion_test::makeRecord;
using fusion_test::placeRecord;
using fusion_test::voxelCentre;

// ---------------------------------------------------------------------------
// The walk against a brute-force loop over the 125 voxels with lookupPoint.

struct Found {
    int32_t index;
    uint64_t mask;
    int32_t stamp;
    bool shell;
    std::array<float, 3> position;
};

std::vector<Found> bruteForce(const HashTable& engine, const FusionPoint& centre) {
    std::vector<Found> found;
    const Int3 c = fusion::voxelOf(centre.position, engine.m_resolution);
    for (int oz = -2; oz <= 2; ++oz) {
        for (int oy = -2; oy <= 2; ++oy) {
            for (int ox = -2; ox <= 2; ++ox) {
                FusionPoint* record = nullptr;
                fusion::Voxel* voxel = nullptr;
                int32_t index = -1;
                const Int3 n{c.x + ox, c.y + oy, c.z + oz};
                if (engine.lookupPoint(n, centre.normal, record, voxel, index) != 0) continue;
                if (record->observation_count == 0) continue;
                const bool shell = std::max({std::abs(ox), std::abs(oy), std::abs(oz)}) == 2;
                found.push_back({index, record->sub_voxel_mask, record->frame_stamp, shell,
                                 {record->position[0], record->position[1], record->position[2]}});
            }
        }
    }
    return found;
}

std::vector<int32_t> sortedIndices(const NeighbourList& list) {
    std::vector<int32_t> v(list.indices, list.indices + list.count);
    std::sort(v.begin(), v.end());
    return v;
}

struct OracleCase {
    float resolution;
    float edge;  // sub-voxel edge handed to the grading walk
    uint32_t seed;
};

class NeighbourWalkOracle : public ::testing::TestWithParam<OracleCase> {};

TEST_P(NeighbourWalkOracle, AllVariantsMatchBruteForce) {
    const OracleCase param = GetParam();
    auto engine = fusion_test::makeEngine(param.resolution);
    ASSERT_NE(engine, nullptr);
    const int32_t frame = 6;
    engine->m_frame_counter = frame;

    std::mt19937 rng(param.seed);
    std::uniform_int_distribution<int> coord(-11, 11);  // spans negative and positive blocks
    std::uniform_int_distribution<int> stamp(3, frame);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    const float axes[6][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, 0}, {0, -1, 0}, {0, 0, -1}};

    std::vector<FusionPoint> centres;
    for (int i = 0; i < 3000; ++i) {
        const Int3 c{coord(rng), coord(rng), coord(rng)};
        float position[3];
        voxelCentre(c, param.resolution, position);
        float normal[3];
        const int choice = pick(rng);
        if (choice < 4) {  // axis normals make exact perpendiculars common
            const float* a = axes[pick(rng) % 6];
            std::copy(a, a + 3, normal);
        } else {
            for (float& v : normal) v = unit(rng);
        }
        FusionPoint record = makeRecord(position, normal, stamp(rng),
                                        (static_cast<uint64_t>(rng()) << 32) | rng());
        if (choice == 9) record.observation_count = 0;  // emptied records are skipped
        if (placeRecord(*engine, c, record) >= 0 && centres.size() < 200) centres.push_back(record);
    }
    // Centres off the voxel grid too, with their own normals.
    for (int i = 0; i < 100; ++i) {
        const float position[3] = {unit(rng) * 12 * param.resolution, unit(rng) * 12 * param.resolution,
                                   unit(rng) * 12 * param.resolution};
        const float normal[3] = {unit(rng), unit(rng), unit(rng)};
        centres.push_back(makeRecord(position, normal));
    }

    uint64_t masks[125];
    float positions[125][3];
    int with_neighbours = 0;
    for (const FusionPoint& centre : centres) {
        const std::vector<Found> expected = bruteForce(*engine, centre);
        int expected_current = 0;
        std::vector<int32_t> expected_older, expected_listed;
        std::vector<uint64_t> expected_masks;
        std::vector<std::array<float, 3>> expected_positions;
        std::vector<int32_t> older_stamps;
        for (const Found& f : expected) {
            expected_masks.push_back(f.mask);
            expected_positions.push_back(f.position);
            if (f.stamp == frame) {
                ++expected_current;
                continue;
            }
            expected_older.push_back(f.index);
            older_stamps.push_back(f.stamp);
            const bool listed = static_cast<double>(param.edge) < 0.1 || (param.edge < 0.5f && !f.shell);
            if (listed) expected_listed.push_back(f.index);
        }
        std::sort(expected_older.begin(), expected_older.end());
        std::sort(expected_listed.begin(), expected_listed.end());
        std::sort(expected_masks.begin(), expected_masks.end());
        std::sort(expected_positions.begin(), expected_positions.end());
        const int total_expected = static_cast<int>(expected.size());
        const int older_expected = total_expected - expected_current;
        if (total_expected > 1) ++with_neighbours;

        int total = -1, current = -1;
        uint32_t tag = 0;
        NeighbourList older;
        engine->countConfirmingNeighbours(centre, total, current, tag, older);
        EXPECT_EQ(total, total_expected);
        EXPECT_EQ(current, older_expected);
        EXPECT_EQ(sortedIndices(older), expected_older);
        uint32_t expected_tag = fusion::kFrameTagNone;
        if (!older_stamps.empty()) {
            const bool same = std::all_of(older_stamps.begin(), older_stamps.end(),
                                          [&](int32_t s) { return s == older_stamps[0]; });
            expected_tag = same ? static_cast<uint32_t>(older_stamps[0]) : fusion::kFrameTagMixed;
        }
        EXPECT_EQ(tag, expected_tag);

        engine->collectGradingNeighbours(centre, param.edge, masks, total, current, older);
        EXPECT_EQ(total, total_expected);
        EXPECT_EQ(current, older_expected);
        EXPECT_EQ(sortedIndices(older), expected_listed);
        std::vector<uint64_t> got_masks(masks, masks + std::max(total, 0));
        std::sort(got_masks.begin(), got_masks.end());
        EXPECT_EQ(got_masks, expected_masks);

        const bool enough = engine->collectNeighbourPositions(centre, positions, total, 4);
        EXPECT_EQ(total, total_expected);
        EXPECT_EQ(enough, total_expected >= 4);
        std::vector<std::array<float, 3>> got_positions;
        for (int i = 0; i < total; ++i) got_positions.push_back({positions[i][0], positions[i][1], positions[i][2]});
        std::sort(got_positions.begin(), got_positions.end());
        EXPECT_EQ(got_positions, expected_positions);
    }
    // The random volume must actually exercise the walk.
    EXPECT_GT(with_neighbours, 100);
}

INSTANTIATE_TEST_SUITE_P(Volumes, NeighbourWalkOracle,
                         ::testing::Values(OracleCase{0.5f, 0.5f, 11}, OracleCase{0.5f, 0.25f, 12},
                                           OracleCase{1.0f, 0.125f, 13}, OracleCase{0.05f, 0.05f, 14},
                                           OracleCase{0.3f, 0.1f, 15}));

// ---------------------------------------------------------------------------
// Small hand-built neighbourhoods.

class NeighbourWalk : public ::testing::Test {
protected:
    void SetUp() override {
        engine = fusion_test::makeEngine(kResolution);
        ASSERT_NE(engine, nullptr);
        engine->m_frame_counter = kFrame;
    }
    // Places a record at centre voxel + offset and returns the stored copy.
    FusionPoint place(const Int3& offset, const float normal[3], int32_t stamp, uint64_t mask = 1) {
        const Int3 c{kCentre.x + offset.x, kCentre.y + offset.y, kCentre.z + offset.z};
        float position[3];
        voxelCentre(c, kResolution, position);
        const FusionPoint record = makeRecord(position, normal, stamp, mask);
        EXPECT_GE(placeRecord(*engine, c, record), 0);
        return record;
    }

    static constexpr float kResolution = 0.5f;
    static constexpr int32_t kFrame = 9;
    // Voxel 0 of block (0,0,0): the cube spreads over eight blocks.
    const Int3 kCentre{0, 0, 0};
    const float up[3] = {0, 0, 1};
    std::unique_ptr<HashTable> engine;
};

TEST_F(NeighbourWalk, LonePointFindsOnlyItself) {
    const FusionPoint centre = place({0, 0, 0}, up, kFrame);
    float positions[125][3];
    int total = -1;
    EXPECT_TRUE(engine->collectNeighbourPositions(centre, positions, total, 1));
    EXPECT_EQ(total, 1);
    EXPECT_FLOAT_EQ(positions[0][2], centre.position[2]);

    FusionPoint flat = centre;
    flat.normal[0] = flat.normal[1] = flat.normal[2] = 0.0f;
    EXPECT_FALSE(engine->collectNeighbourPositions(flat, positions, total, 1));
    EXPECT_EQ(total, 0);
}

TEST_F(NeighbourWalk, PerpendicularAndEmptiedNeighboursAreNotFound) {
    const FusionPoint centre = place({0, 0, 0}, up, kFrame);
    const float sideways[3] = {1, 0, 0};
    place({1, 0, 0}, sideways, kFrame);        // dot product exactly 0
    FusionPoint gone = place({0, 1, 0}, up, kFrame);
    const float tilted[3] = {0.1f, 0, 1};
    place({-2, -2, -2}, tilted, kFrame);       // far corner, another block: found
    (void)gone;
    // Empty the record at (0,1,0) in place.
    FusionPoint* record = nullptr;
    fusion::Voxel* voxel = nullptr;
    int32_t index = -1;
    ASSERT_EQ(engine->lookupPoint({0, 1, 0}, up, record, voxel, index), 0);
    record->observation_count = 0;

    float positions[125][3];
    int total = 0;
    engine->collectNeighbourPositions(centre, positions, total, 0);
    EXPECT_EQ(total, 2);
}

struct TagCase {
    std::vector<int32_t> older_stamps;
    uint32_t expected_tag;
};

class ConfirmingTag : public NeighbourWalk, public ::testing::WithParamInterface<TagCase> {};

TEST_P(ConfirmingTag, TagSummarisesOlderFrames) {
    const FusionPoint centre = place({0, 0, 0}, up, kFrame);
    place({0, 0, 1}, up, kFrame);  // a second current-frame neighbour
    const Int3 spots[] = {{1, 0, 0}, {-1, -1, 0}, {2, 2, 2}, {-2, 1, -1}};
    const TagCase& param = GetParam();
    for (std::size_t i = 0; i < param.older_stamps.size(); ++i) place(spots[i], up, param.older_stamps[i]);

    int total = 0, older_count = 0;
    uint32_t tag = 0;
    NeighbourList older;
    engine->countConfirmingNeighbours(centre, total, older_count, tag, older);
    const int older_expected = static_cast<int>(param.older_stamps.size());
    EXPECT_EQ(total, 2 + older_expected);
    EXPECT_EQ(older_count, older_expected);
    EXPECT_EQ(older.count, older_expected);
    EXPECT_EQ(tag, param.expected_tag);
}

INSTANTIATE_TEST_SUITE_P(Stamps, ConfirmingTag,
                         ::testing::Values(TagCase{{4, 4, 4}, 4u}, TagCase{{4, 5}, fusion::kFrameTagMixed},
                                           TagCase{{}, fusion::kFrameTagNone},
                                           TagCase{{7, 7, 7, 2}, fusion::kFrameTagMixed}));

struct EdgeCase {
    float edge;
    int listed;  // of one inner and one shell older neighbour
};

class GradingList : public NeighbourWalk, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(GradingList, SubVoxelEdgeDecidesWhichOlderNeighboursAreListed) {
    const FusionPoint centre = place({0, 0, 0}, up, kFrame, 0x1);
    place({1, 0, 0}, up, 3, 0x2);    // inner, older
    place({0, -2, 0}, up, 3, 0x4);   // shell, older
    place({0, 1, 1}, up, kFrame, 0x8);  // inner, current: never listed

    uint64_t masks[125];
    int total = 0, older_count = 0;
    NeighbourList older;
    engine->collectGradingNeighbours(centre, GetParam().edge, masks, total, older_count, older);
    EXPECT_EQ(total, 4);
    EXPECT_EQ(older_count, 2);
    EXPECT_EQ(older.count, GetParam().listed);
    uint64_t all = 0;
    for (int i = 0; i < total; ++i) all |= masks[i];
    EXPECT_EQ(all, 0xFu) << "every found neighbour's mask is collected";
}

INSTANTIATE_TEST_SUITE_P(Edges, GradingList,
                         ::testing::Values(EdgeCase{0.5f, 0}, EdgeCase{0.4999f, 1}, EdgeCase{0.25f, 1},
                                           EdgeCase{0.1f, 1}, EdgeCase{0.0999f, 2}, EdgeCase{0.0625f, 2}));

// ---------------------------------------------------------------------------
// Quality code.

struct QualityCase {
    std::vector<uint64_t> masks;
    float size;
    uint16_t expected;
};

class QualityCode : public ::testing::TestWithParam<QualityCase> {};

TEST_P(QualityCode, DefaultTuning) {
    const fusion::GlobalParams params = fusion::defaultGlobalParams();
    const QualityCase& c = GetParam();
    EXPECT_EQ(HashTable::computeQualityCode(params, c.masks.data(), static_cast<int>(c.masks.size()), c.size),
              c.expected);
}

const uint64_t kFull = ~0ull;
// One sub-cell in each of the eight octants: spread wide, but sparse.
const uint64_t kOnePerOctant = 0x0000050500000505ull;

INSTANTIATE_TEST_SUITE_P(
    Examples, QualityCode,
    ::testing::Values(QualityCase{{0xFF}, 1.0f, 0x0001},
                      QualityCase{std::vector<uint64_t>(10, kFull), 1.0f, 0xFFFF},
                      QualityCase{{}, 1.0f, 0x0000}, QualityCase{{0, 0, 0}, 1.0f, 0x0000},
                      QualityCase{{kOnePerOctant}, 1.0f, 0x0033},
                      QualityCase{{0x00000000FFFFFFFFull}, 1.0f, 0x0013},
                      // Zero masks among real ones neither count nor dilute.
                      QualityCase{{0, 0xFF, 0}, 2.0f, 0x0001}));

TEST(QualityCodeTier, SizeSelectsTheTuningTier) {
    fusion::GlobalParams params = fusion::defaultGlobalParams();
    // Grade 0 alone can pass (gate 1); its expected count differs per tier,
    // so one two-octant mask grades 15, 7, 3 and 1 in tiers 0..3.
    const int expected_counts[4] = {2, 4, 8, 16};
    for (int t = 0; t < 4; ++t) {
        int32_t* tier = params.device_tuning + 8 * t;
        tier[0] = expected_counts[t];
        tier[1] = 1;
        for (int w = 2; w < 8; ++w) tier[w] = 1000;
    }
    const uint64_t mask = 0xFF;
    const std::pair<float, uint16_t> cases[] = {{2.0f, 15}, {1.0f, 15}, {0.99f, 7},  {0.5f, 7},
                                                {0.49f, 3}, {0.1f, 3},  {0.099f, 1}, {0.01f, 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(HashTable::computeQualityCode(params, &mask, 1, c.first), c.second) << "size " << c.first;
    }
}

}  // namespace
