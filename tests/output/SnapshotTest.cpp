// Saving the volume into a byte stream and loading it back: the exact byte
// layout, refusal of damaged streams before anything changes, and the
// round trip of every stored record.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "fusion/Kelvane.h"
#include "output/SnapshotFormat.h"
#include "platform/platform.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"
#include "support/PlacementHelpers.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::RealTimeByteStream;
using fusion::Vertices;
using namespace fusion::snapshot;
using namespace fusion_test;

constexpr int kInvalid = 0x10203;
constexpr int kNoMemory = 0x10201;

uint32_t u32At(const RealTimeByteStream& s, std::size_t at) { return get32(s.data + at); }
float floatAt(const RealTimeByteStream& s, std::size_t at) { return getFloat(s.data + at); }

bool allZero(const RealTimeByteStream& s, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
        if (s.data[i] != 0) return false;
    }
    return true;
}

// A model with ordinary points on a sphere, a two-sided plate, and marked
// areas: fine-scan and protected points with their placeholders.
void buildMixedModel(HashTable& engine, uint32_t seed) {
    std::vector<fusion::PointData> points = spherePoints(3000, 20.0f, seed);
    const std::vector<fusion::PointData> plate = thinPlatePoints(400, 6.0f, 40.0f, seed + 1);
    points.insert(points.end(), plate.begin(), plate.end());
    ASSERT_EQ(engine.buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);

    const std::vector<Vertices> live = extractVertices(engine);
    ASSERT_GT(live.size(), 200u);
    std::vector<fusion::PointData> fine, guarded;
    for (std::size_t i = 0; i < 40; ++i) fine.push_back(selectionOf(live[i], 32 | (1 << 8)));
    for (std::size_t i = 100; i < 130; ++i) guarded.push_back(selectionOf(live[i]));
    ASSERT_EQ(engine.setFineScanArea(fine.data(), static_cast<int>(fine.size())), 0);
    ASSERT_EQ(engine.setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false), 0);
}

// ---- layout ---------------------------------------------------------------------

TEST(SnapshotLayout, EmptyVolumeIsHeaderAndTrailerOnly) {
    auto engine = makeEngine(0.25f);
    ASSERT_NE(engine, nullptr);
    auto stream = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    ASSERT_EQ(stream->size, 152u);
    const RealTimeByteStream& s = *stream;
    EXPECT_EQ(std::memcmp(s.data, "HASH", 4), 0);
    EXPECT_EQ(get64(s.data + 8), 152u);
    EXPECT_EQ(u32At(s, 16), 1u);
    EXPECT_EQ(u32At(s, 20), 0u);
    EXPECT_EQ(u32At(s, 24), 0u);
    EXPECT_EQ(floatAt(s, 72), 0.25f);
    EXPECT_EQ(floatAt(s, 76), 5.0f);
    EXPECT_EQ(floatAt(s, 80), 0.5f);
    EXPECT_EQ(floatAt(s, 84), 150.0f);
    EXPECT_EQ(floatAt(s, 88), 1500.0f);
    EXPECT_TRUE(allZero(s, 4, 8));
    EXPECT_TRUE(allZero(s, 28, 72));
    EXPECT_TRUE(allZero(s, 92, 148));
    EXPECT_EQ(std::memcmp(s.data + 148, "HASH", 4), 0);

    Vertices* out = nullptr;
    int count = -1;
    ASSERT_EQ(engine->loadRealTimeBytesData_points(stream, &out, count), 0);
    EXPECT_EQ(count, 0);
    delete[] out;
    int ids = -1;
    ASSERT_EQ(engine->getVertexNum(ids), 0);
    EXPECT_EQ(ids, 0);
}

TEST(SnapshotLayout, RecordFieldsAtTheirOffsets) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    FusionPoint* record = nullptr;
    ASSERT_EQ(place(*engine, observation(2.25f, -3.5f, 7.0f, 0.0f, 0.6f, 0.8f), nullptr, &record), 0);
    record->sub_voxel_mask = 0x8000000000000001ull;
    record->observation_count = 0xBEEF;
    record->scan_level = 64;
    record->protected_flag = 1;
    record->quality_code = 0x1234;
    record->normal_update_count = 7;
    record->frame_stamp = 0x01020304;
    record->view_id = 5;
    record->confirmed_flag = 1;
    record->normal_fresh_flag = 1;

    auto stream = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    ASSERT_EQ(stream->size, 200u);
    const RealTimeByteStream& s = *stream;
    EXPECT_EQ(u32At(s, 20), 1u);
    EXPECT_EQ(u32At(s, 24), 1u);
    const std::size_t r = 148;
    EXPECT_EQ(floatAt(s, r + 0), 2.25f);
    EXPECT_EQ(floatAt(s, r + 4), -3.5f);
    EXPECT_EQ(floatAt(s, r + 8), 7.0f);
    EXPECT_EQ(floatAt(s, r + 12), 0.0f);
    EXPECT_EQ(floatAt(s, r + 16), 0.6f);
    EXPECT_EQ(floatAt(s, r + 20), 0.8f);
    EXPECT_EQ(get64(s.data + r + 24), 0x8000000000000001ull);
    EXPECT_EQ(get16(s.data + r + 32), 0xBEEF);
    EXPECT_TRUE(allZero(s, r + 34, r + 36));
    EXPECT_EQ(u32At(s, r + 36), 64u | (1u << 8) | (0x1234u << 16));
    EXPECT_EQ(s.data[r + 40], 7);
    EXPECT_EQ(s.data[r + 41], 0);
    EXPECT_TRUE(allZero(s, r + 42, r + 44));
    EXPECT_EQ(u32At(s, r + 44), 0x01020304u);
    EXPECT_EQ(std::memcmp(s.data + 196, "HASH", 4), 0);
}

// Which records a save keeps: a vertex the host knows, or any absorbed
// record; a counted record without an id, and an empty one, are left out.
TEST(SnapshotLayout, StoresVerticesAndAbsorbedRecordsOnly) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    FusionPoint *vertex = nullptr, *unnamed = nullptr, *absorbed = nullptr, *empty = nullptr;
    ASSERT_EQ(place(*engine, observation(0, 0, 0, 0, 0, 1), nullptr, &vertex), 0);
    ASSERT_EQ(place(*engine, observation(5, 0, 0, 0, 0, 1), nullptr, &unnamed), 0);
    ASSERT_EQ(place(*engine, observation(10, 0, 0, 0, 0, 1), nullptr, &absorbed), 0);
    ASSERT_EQ(place(*engine, observation(15, 0, 0, 0, 0, 1), nullptr, &empty), 0);
    vertex->view_id = 0;
    absorbed->observation_count = 0;
    absorbed->absorbed_flag = 1;
    empty->observation_count = 0;
    empty->view_id = 3;

    auto stream = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    ASSERT_EQ(u32At(*stream, 20), 2u);
    std::set<float> xs;
    for (int k = 0; k < 2; ++k) xs.insert(floatAt(*stream, 148 + 48 * k));
    EXPECT_EQ(xs, (std::set<float>{0.0f, 10.0f}));
}

// ---- save failures ------------------------------------------------------------------

TEST(SnapshotSave, MissingStreamObjectIsRefused) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    std::shared_ptr<RealTimeByteStream> none;
    EXPECT_EQ(engine->saveRealTimeBytesData(none), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");
}

TEST(SnapshotSave, AllocationFailureLeavesAnEmptyStream) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    auto stream = hostStream();
    fusion::platform::failAllocationsAfter(0);
    const int result = engine->saveRealTimeBytesData(stream);
    fusion::platform::failAllocationsAfter(-1);
    EXPECT_EQ(result, kNoMemory);
    EXPECT_EQ(engine->errorMessage(), "memory is lacked");
    EXPECT_EQ(stream->size, 0u);
    EXPECT_EQ(stream->data, nullptr);
}

// The buffer is sized from the free-list bookkeeping before the records are
// read; when more records turn up than it can hold, the save is refused and
// nothing is written past the buffer.
TEST(SnapshotSave, MoreRecordsThanSizedForIsRefused) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    for (int i = 0; i < 5; ++i) {
        FusionPoint* r = nullptr;
        ASSERT_EQ(place(*engine, observation(3.0f * i, 0, 0, 1, 0, 0), nullptr, &r), 0);
        r->view_id = i;
    }
    const int32_t real_free = engine->m_point_free.count.load();
    engine->m_point_free.count.store(4);  // claims four of the five are free
    auto stream = hostStream();
    const int result = engine->saveRealTimeBytesData(stream);
    engine->m_point_free.count.store(real_free);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(engine->errorMessage(), "byte stream size is invalid!");
    EXPECT_EQ(stream->data, nullptr);
    EXPECT_EQ(stream->size, 0u);
}

// ---- damaged streams ----------------------------------------------------------------

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
};

std::ostream& operator<<(std::ostream& os, const Damage& d) { return os << d.name; }

class DamagedStream : public ::testing::TestWithParam<Damage> {};

// A damaged stream is refused before anything changes: the volume, its ids
// and its pending updates stay exactly as they were.
TEST_P(DamagedStream, IsRefusedAndLeavesTheVolumeAlone) {
    auto source = makeEngine(0.5f);
    ASSERT_NE(source, nullptr);
    const auto points = spherePoints(300, 5.0f, 11);
    ASSERT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    auto good = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(good), 0);
    std::vector<uint8_t> bytes = bytesOf(*good);
    GetParam().apply(bytes);
    auto damaged = streamOf(bytes);

    auto target = makeEngine(0.3f);
    ASSERT_NE(target, nullptr);
    const auto other = spherePoints(100, 3.0f, 12, 50.0f);
    ASSERT_EQ(target->buildByExistingPoints(other.data(), static_cast<int>(other.size())), 0);
    const std::vector<Vertices> before = extractVertices(*target);
    const int32_t next_before = target->m_point_next.load();

    Vertices* out = nullptr;
    int count = -5;
    EXPECT_EQ(target->loadRealTimeBytesData_points(damaged, &out, count), kInvalid);
    EXPECT_EQ(target->errorMessage(), "byte stream is invalid!");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(target->m_resolution, 0.3f);
    EXPECT_EQ(target->m_point_next.load(), next_before);
    const std::vector<Vertices> after = extractVertices(*target);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_TRUE(sameVertex(before[i], after[i]));
        EXPECT_EQ(before[i].view_id, after[i].view_id);
    }
}

void setSizeField(std::vector<uint8_t>& b, uint64_t v) { put64(b.data() + 8, v); }

INSTANTIATE_TEST_SUITE_P(
    Snapshot, DamagedStream,
    ::testing::Values(
        Damage{"OneByteShortOfEmpty", [](std::vector<uint8_t>& b) {
                   b.resize(151);
                   setSizeField(b, 151);
                   std::memcpy(b.data() + 147, "HASH", 4);
               }},
        Damage{"Truncated", [](std::vector<uint8_t>& b) { b.resize(b.size() - 48); }},
        Damage{"TruncatedWithConsistentSizeAndTrailer",
               [](std::vector<uint8_t>& b) {
                   b.resize(b.size() - 48);
                   setSizeField(b, b.size());
                   std::memcpy(b.data() + b.size() - 4, "HASH", 4);
               }},
        Damage{"SizeFieldOffByOne",
               [](std::vector<uint8_t>& b) { setSizeField(b, b.size() + 1); }},
        Damage{"MagicDamaged", [](std::vector<uint8_t>& b) { b[1] = 'X'; }},
        Damage{"TrailerLastByteDamaged", [](std::vector<uint8_t>& b) { b.back() ^= 0x01; }},
        Damage{"CountOneTooMany",
               [](std::vector<uint8_t>& b) { put32(b.data() + 20, get32(b.data() + 20) + 1); }},
        Damage{"CountNegative",
               [](std::vector<uint8_t>& b) { put32(b.data() + 20, 0xFFFFFFFFu); }},
        Damage{"LoadCountBeyondRecords",
               [](std::vector<uint8_t>& b) { put32(b.data() + 24, get32(b.data() + 20) + 1); }},
        Damage{"ResolutionZero", [](std::vector<uint8_t>& b) { putFloat(b.data() + 72, 0.0f); }},
        Damage{"ResolutionNegative",
               [](std::vector<uint8_t>& b) { putFloat(b.data() + 72, -0.5f); }},
        Damage{"ResolutionSubnormal",
               [](std::vector<uint8_t>& b) { put32(b.data() + 72, 0x00000001u); }},
        Damage{"ResolutionHuge", [](std::vector<uint8_t>& b) { putFloat(b.data() + 72, 3e38f); }},
        Damage{"ResolutionInfinite",
               [](std::vector<uint8_t>& b) { putFloat(b.data() + 72, INFINITY); }},
        Damage{"ResolutionNaN",
               [](std::vector<uint8_t>& b) { putFloat(b.data() + 72, std::nanf("")); }},
        Damage{"RandomBytes",
               [](std::vector<uint8_t>& b) {
                   std::mt19937 rng(2024);
                   for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
               }},
        Damage{"RandomBytesWithValidFraming",
               [](std::vector<uint8_t>& b) {
                   std::mt19937 rng(77);
                   const std::size_t n = b.size();
                   for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
                   std::memcpy(b.data(), "HASH", 4);
                   setSizeField(b, n);
                   std::memcpy(b.data() + n - 4, "HASH", 4);
               }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(SnapshotLoad, MissingStreamAnswersNullptr) {
    auto engine = makeEngine();
    ASSERT_NE(engine, nullptr);
    Vertices* out = nullptr;
    int count = 0;
    std::shared_ptr<RealTimeByteStream> none;
    EXPECT_EQ(engine->loadRealTimeBytesData_points(none, &out, count), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");

    auto empty = hostStream();
    EXPECT_EQ(engine->loadRealTimeBytesData_points(empty, &out, count), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");

    auto sized_without_data = hostStream();
    sized_without_data->size = 152;
    EXPECT_EQ(engine->loadRealTimeBytesData_points(sized_without_data, &out, count), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");

    auto data_without_size = streamOf({});
    EXPECT_EQ(engine->loadRealTimeBytesData_points(data_without_size, &out, count), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");
    EXPECT_EQ(out, nullptr);
}

// A count to load below the stored count loads only that many records; a
// negative one loads none.
TEST(SnapshotLoad, LoadCountSelectsLeadingRecords) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    const auto points = spherePoints(200, 30.0f, 5);
    ASSERT_EQ(engine->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    auto stream = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    std::vector<uint8_t> bytes = bytesOf(*stream);

    for (const int32_t load : {3, -7}) {
        put32(bytes.data() + 24, static_cast<uint32_t>(load));
        auto partial = streamOf(bytes);
        Vertices* out = nullptr;
        int count = -1;
        ASSERT_EQ(engine->loadRealTimeBytesData_points(partial, &out, count), 0);
        const std::vector<Vertices> got = takeVertices(out, count);
        ASSERT_EQ(got.size(), load > 0 ? static_cast<std::size_t>(load) : 0u);
        for (int k = 0; k < load; ++k) {
            bool found = false;
            for (const Vertices& v : got) {
                found = found || v.position[0] == floatAt(*partial, 148 + 48 * k);
            }
            EXPECT_TRUE(found) << "record " << k;
        }
    }
}

// ---- loading ----------------------------------------------------------------------

TEST(SnapshotLoad, ReplacesTheVolumeAndRenumbersIds) {
    auto source = makeEngine(0.5f);
    ASSERT_NE(source, nullptr);
    const auto points = spherePoints(2000, 15.0f, 3);
    ASSERT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    auto stream = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);
    const std::vector<uint8_t> saved = bytesOf(*stream);

    auto target = makeEngine(0.2f);
    ASSERT_NE(target, nullptr);
    const auto old = spherePoints(500, 4.0f, 4, -100.0f);
    ASSERT_EQ(target->buildByExistingPoints(old.data(), static_cast<int>(old.size())), 0);
    // Leave an update pending; the load must drop it.
    const std::vector<Vertices> old_live = extractVertices(*target);
    const fusion::PointData drop = selectionOf(old_live.front());
    ASSERT_EQ(target->deleteSelectedArea(&drop, 1), 0);

    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(target->loadRealTimeBytesData_points(stream, &out, count), 0);
    const std::vector<Vertices> loaded = takeVertices(out, count);
    EXPECT_EQ(bytesOf(*stream), saved) << "loading must not modify the stream";
    EXPECT_EQ(target->m_resolution, 0.5f);
    EXPECT_TRUE(drainUpdates(*target).empty());

    const std::vector<Vertices> expected = extractVertices(*source);
    ASSERT_EQ(loaded.size(), expected.size());
    std::set<int32_t> ids;
    for (const Vertices& v : loaded) {
        ids.insert(v.view_id);
        EXPECT_EQ(v.state, 0);
        EXPECT_GT(v.position[0], -50.0f) << "a point of the replaced volume survived";
    }
    ASSERT_EQ(ids.size(), loaded.size());
    EXPECT_EQ(*ids.begin(), 0);
    EXPECT_EQ(*ids.rbegin(), static_cast<int32_t>(loaded.size()) - 1);
    int vertex_num = -1;
    ASSERT_EQ(target->getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, static_cast<int>(loaded.size()));

    // The same stream loads again into another engine with the same result.
    auto again = makeEngine(0.5f);
    ASSERT_NE(again, nullptr);
    ASSERT_EQ(again->loadRealTimeBytesData_points(stream, &out, count), 0);
    EXPECT_EQ(takeVertices(out, count).size(), loaded.size());
}

// Every live record comes back with its position, normal, attribute word,
// count and the other stored fields; placeholders come back at their voxel
// centres with their level and protection.
TEST(SnapshotRoundTrip, EveryStoredRecordSurvives) {
    auto source = makeEngine(0.5f);
    ASSERT_NE(source, nullptr);
    buildMixedModel(*source, 21);
    // Absorbed records that still carry a surface position, as layer merging
    // leaves them: they must come back at their voxel centres.
    std::vector<FusionPoint> live_before = liveRecords(*source);
    for (int k = 0; k < 5; ++k) {
        const float at[3] = {200.0f + 3.0f * k, 0.2f, 0.1f};
        FusionPoint* r = nullptr;
        ASSERT_EQ(place(*source, observation(at[0], at[1], at[2], 1, 0, 0, 16), nullptr, &r), 0);
        r->observation_count = 0;
        r->absorbed_flag = 1;
    }
    const std::vector<FusionPoint> marks_before = markRecords(*source);
    ASSERT_GT(marks_before.size(), 100u);

    auto stream = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);
    auto target = makeEngine(0.1f);
    ASSERT_NE(target, nullptr);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(target->loadRealTimeBytesData_points(stream, &out, count), 0);
    delete[] out;

    std::map<std::string, FusionPoint> after;
    for (const FusionPoint& p : liveRecords(*target)) after[geometryKey(p.position, p.normal)] = p;
    ASSERT_EQ(after.size(), live_before.size());
    for (const FusionPoint& p : live_before) {
        auto it = after.find(geometryKey(p.position, p.normal));
        ASSERT_NE(it, after.end());
        const FusionPoint& q = it->second;
        EXPECT_EQ(fusion::attributeWord(q), fusion::attributeWord(p));
        EXPECT_EQ(q.observation_count, p.observation_count);
        EXPECT_EQ(q.sub_voxel_mask, p.sub_voxel_mask);
        EXPECT_EQ(q.normal_update_count, p.normal_update_count);
        EXPECT_EQ(q.frame_stamp, p.frame_stamp);
    }

    // Marks are compared by voxel, normal, level and protection.
    auto markKey = [](const FusionPoint& p, float r) {
        const fusion::Int3 c = fusion::voxelOf(p.position, r);
        char buf[128];
        std::snprintf(buf, sizeof(buf), "%d,%d,%d|%a,%a,%a|%u|%u", c.x, c.y, c.z, p.normal[0],
                      p.normal[1], p.normal[2], p.scan_level, p.protected_flag);
        return std::string(buf);
    };
    std::multiset<std::string> want, got;
    for (const FusionPoint& p : marks_before) want.insert(markKey(p, 0.5f));
    const std::vector<FusionPoint> marks_after = markRecords(*target);
    for (const FusionPoint& p : marks_after) {
        got.insert(markKey(p, 0.5f));
        const fusion::Int3 c = fusion::voxelOf(p.position, 0.5f);
        EXPECT_EQ(p.position[0], c.x * 0.5f);
        EXPECT_EQ(p.position[1], c.y * 0.5f);
        EXPECT_EQ(p.position[2], c.z * 0.5f);
        EXPECT_EQ(p.view_id, -1);
    }
    EXPECT_EQ(got, want);
}

// A second save of a loaded volume holds the same records as the first
// (order aside): nothing is lost or altered by the trip.
TEST(SnapshotRoundTrip, SaveLoadSaveGivesTheSameRecordSet) {
    auto engine = makeEngine(0.5f);
    ASSERT_NE(engine, nullptr);
    buildMixedModel(*engine, 31);
    auto first = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(first), 0);

    auto other = makeEngine(2.0f);
    ASSERT_NE(other, nullptr);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(other->loadRealTimeBytesData_points(first, &out, count), 0);
    delete[] out;
    auto second = hostStream();
    ASSERT_EQ(other->saveRealTimeBytesData(second), 0);

    ASSERT_EQ(second->size, first->size);
    EXPECT_EQ(std::memcmp(first->data, second->data, 148), 0) << "headers differ";
    EXPECT_EQ(streamRecordSet(*first), streamRecordSet(*second));
}

// The one way the trip can change the model: two records of one voxel whose
// normals came to face each other (after re-estimation) meet on the same
// side when re-inserted and fuse into one record.
TEST(SnapshotRoundTrip, OnlyFacingRecordsOfOneVoxelFuse) {
    auto engine = makeEngine(1.0f);
    ASSERT_NE(engine, nullptr);
    std::vector<FusionPoint*> records;
    const float xs[] = {0.1f, -0.2f, 5.0f, 9.0f};
    const float nx[] = {1.0f, -1.0f, 1.0f, 1.0f};
    for (int k = 0; k < 4; ++k) {
        FusionPoint* r = nullptr;
        ASSERT_EQ(place(*engine, observation(xs[k], 0, 0, nx[k], 0, 0), nullptr, &r), 0);
        r->view_id = k;
        records.push_back(r);
    }
    ASSERT_EQ(liveRecords(*engine).size(), 4u);
    // Re-estimation turned the back side of voxel 0 around.
    records[1]->normal[0] = 0.6f;
    records[1]->normal[1] = 0.8f;
    const std::vector<FusionPoint> before = liveRecords(*engine);

    auto stream = hostStream();
    ASSERT_EQ(engine->saveRealTimeBytesData(stream), 0);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(engine->loadRealTimeBytesData_points(stream, &out, count), 0);
    delete[] out;

    std::set<std::string> after;
    for (const FusionPoint& p : liveRecords(*engine)) after.insert(geometryKey(p.position, p.normal));
    int lost = 0, explained = 0;
    for (const FusionPoint& p : before) {
        if (after.count(geometryKey(p.position, p.normal)) != 0) continue;
        ++lost;
        // Explained when another record of the same voxel faces it.
        for (const FusionPoint& q : before) {
            if (&q == &p) continue;
            if (fusion::voxelOf(q.position, 1.0f) == fusion::voxelOf(p.position, 1.0f) &&
                fusion::dot3(q.normal, p.normal) > 0.0f) {
                ++explained;
                break;
            }
        }
    }
    EXPECT_EQ(lost, 2);
    EXPECT_EQ(explained, lost);
    EXPECT_EQ(liveRecords(*engine).size(), 3u);
}

// ---- store growth -------------------------------------------------------------------

TEST(SnapshotLoad, GrowsASmallerStoreBeforeInserting) {
    auto source = makeEngine(0.5f);
    ASSERT_NE(source, nullptr);
    const auto points = spherePoints(4000, 25.0f, 8);
    ASSERT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const std::size_t live = extractVertices(*source).size();
    ASSERT_GT(live, 600u);
    auto stream = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);

    auto small = makeSmallPoolEngine(0.5f, 8, 64);  // chunks of 256 records
    ASSERT_NE(small, nullptr);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(small->loadRealTimeBytesData_points(stream, &out, count), 0);
    delete[] out;
    EXPECT_EQ(static_cast<std::size_t>(count), live);
    EXPECT_GE(small->m_point_chunk_num.load() * 256, static_cast<int>(live));
}

TEST(SnapshotLoad, ChunkGrowthFailureLeavesAnEmptyVolumeAtTheStreamResolution) {
    auto source = makeEngine(0.5f);
    ASSERT_NE(source, nullptr);
    const auto points = spherePoints(2000, 25.0f, 9);
    ASSERT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    auto stream = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);

    // Two kinds of failure: the allocator says no, or the chunk table is full.
    for (const bool table_full : {false, true}) {
        auto small = makeSmallPoolEngine(0.25f, 8, table_full ? 2 : 64);
        ASSERT_NE(small, nullptr);
        const auto old = spherePoints(50, 3.0f, 10);
        ASSERT_EQ(small->buildByExistingPoints(old.data(), static_cast<int>(old.size())), 0);
        Vertices* out = nullptr;
        int count = -3;
        if (!table_full) fusion::platform::failAllocationsAfter(0);
        const int result = small->loadRealTimeBytesData_points(stream, &out, count);
        fusion::platform::failAllocationsAfter(-1);
        EXPECT_EQ(result, kNoMemory);
        EXPECT_EQ(small->errorMessage(), "memory is lacked!");
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(small->m_resolution, 0.5f);
        EXPECT_TRUE(extractVertices(*small).empty());
    }
}

// ---- through the public wrapper --------------------------------------------------------

TEST(SnapshotFacade, ResolutionFollowsTheLoadedStream) {
    fusion::Kelvane_Impl_Points saver;
    ASSERT_EQ(saver.init(), 0);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    ASSERT_EQ(saver.setResolution(0.2f), 0);
    ASSERT_EQ(saver.setDeviceInfo(device), 0);
    const auto points = spherePoints(100, 5.0f, 1);
    Vertices* out = nullptr;
    int count = 0;
    ASSERT_EQ(saver.buildByExistingPoints(points.data(), static_cast<int>(points.size()), &out,
                                          count, false),
              0);
    delete[] out;
    auto stream = hostStream();
    ASSERT_EQ(saver.saveRealTimeBytesData(stream), 0);

    fusion::Kelvane_Impl_Points loader;
    ASSERT_EQ(loader.init(), 0);
    ASSERT_EQ(loader.setResolution(0.5f), 0);
    ASSERT_EQ(loader.loadRealTimeBytesData_points(stream, &out, count), 0);
    delete[] out;
    EXPECT_EQ(loader.getResolution(), 0.2f);
}

}  // namespace
