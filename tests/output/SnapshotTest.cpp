// Snapshots: the byte layout, damaged streams refused, store growth, what a load fuses.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "host/SnapshotReader.h"
#include "host/VoxelRounding.h"
#include "output/Snapshot.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;
using namespace fusion::snapshot;

constexpr int kInvalid = fusion::status::kInvalidArgument;
constexpr int kNoMemory = fusion::status::kOutOfMemory;

bool allZero(const uint8_t* from, const uint8_t* to) {
    for (; from < to; ++from)
        if (*from != 0) return false;
    return true;
}

TEST(SnapshotLayout, HeaderRecordsAndTrailer) {
    TestVolume t(1.0f);
    Volume& volume = t.volume;
    fusion::RealTimeByteStream empty{};
    ASSERT_TRUE(fusion::saveSnapshot(volume, 2, empty).ok());
    ASSERT_EQ(empty.size, 152u);
    EXPECT_EQ(std::memcmp(empty.data + 148, "HASH", 4), 0);
    delete[] empty.data;

    // A full vertex, an absorbed record, and two a save leaves out (no id; empty).
    FusionPoint* vertex = place(volume, observation(2.25f, -3.5f, 7.0f, 0.0f, 0.6f, 0.8f)).record;
    FusionPoint* absorbed = place(volume, observation(10, 0, 0, 1, 0, 0)).record;
    place(volume, observation(15, 0, 0, 1, 0, 0));
    FusionPoint* empty_one = place(volume, observation(20, 0, 0, 1, 0, 0)).record;
    vertex->sub_voxel_mask = 0x8000000000000001ull;
    vertex->observation_count = 0xBEEF;
    fusion::setAttributeWord(*vertex, 64u | (1u << 8) | (0x1234u << 16));
    vertex->normal_update_count = 7;
    vertex->frame_stamp = 0x01020304;
    vertex->view_id = 5;
    absorbed->observation_count = 0;
    absorbed->absorbed_flag = 1;
    empty_one->observation_count = 0;
    empty_one->view_id = 3;

    fusion::RealTimeByteStream s{};
    ASSERT_TRUE(fusion::saveSnapshot(volume, 2, s).ok());
    std::unique_ptr<uint8_t[]> owned(s.data);
    ASSERT_EQ(s.size, 152u + 2 * 48u);
    const uint8_t* d = s.data;
    EXPECT_EQ(std::memcmp(d, "HASH", 4), 0);
    EXPECT_EQ(get64(d + 8), s.size);
    EXPECT_EQ(get32(d + 16), 1u);
    EXPECT_EQ(get32(d + 20), 2u);
    EXPECT_EQ(get32(d + 24), 2u);
    const float block[5] = {1.0f, 5.0f, 0.5f, 150.0f, 1500.0f};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(getFloat(d + 72 + 4 * k), block[k]);
    for (auto [from, to] : {std::pair{4, 8}, {28, 72}, {92, 148}})
        EXPECT_TRUE(allZero(d + from, d + to)) << from;
    EXPECT_EQ(std::memcmp(d + s.size - 4, "HASH", 4), 0);

    const uint8_t* r = getFloat(d + 148) == 2.25f ? d + 148 : d + 196;
    const float fields[6] = {2.25f, -3.5f, 7.0f, 0.0f, 0.6f, 0.8f};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(getFloat(r + 4 * k), fields[k]);
    EXPECT_EQ(get64(r + 24), 0x8000000000000001ull);
    EXPECT_EQ(get16(r + 32), 0xBEEF);
    EXPECT_EQ(get32(r + 36), 64u | (1u << 8) | (0x1234u << 16));
    EXPECT_EQ(r[40] * 256 + r[41], 7 * 256);
    EXPECT_EQ(get32(r + 44), 0x01020304u);
    EXPECT_TRUE(allZero(r + 34, r + 36) && allZero(r + 42, r + 44));
    const uint8_t* other = r == d + 148 ? d + 196 : d + 148;
    EXPECT_EQ(getFloat(other), 10.0f);
    EXPECT_EQ(other[41], 1);
}

TEST(SnapshotSave, RefusalsLeaveAnEmptyStream) {
    auto engine = makeEngine({1.0f});
    ASSERT_NE(engine, nullptr);
    std::shared_ptr<fusion::RealTimeByteStream> none;
    EXPECT_EQ(engine->saveRealTimeBytesData(none), kInvalid);
    EXPECT_EQ(engine->errorMessage(), "hash_stream is nullptr");

    // More records than the free list accounts for: refused, nothing written past it.
    TestVolume t(1.0f);
    const float x[3] = {1, 0, 0};
    for (int i = 0; i < 5; ++i) putRecord(t.volume, 3.0f * i, 0, 0, x);
    for (int i = 0; i < 4; ++i) t.volume.points().releasePoint(100 + i);
    fusion::RealTimeByteStream s{};
    const fusion::Outcome refused = fusion::saveSnapshot(t.volume, 2, s);
    EXPECT_EQ(refused.status, 1);
    EXPECT_STREQ(refused.message, "byte stream size is invalid!");
    EXPECT_EQ(s.data, nullptr);
    EXPECT_EQ(s.size, 0u);
}

// The stream of a built sphere of 300 points, and how many of them are live.
std::pair<std::vector<uint8_t>, std::size_t> savedSphere() {
    auto source = makeEngine();
    const auto points = spherePoints(300, 5.0f, 11);
    EXPECT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    auto good = hostStream();
    EXPECT_EQ(source->saveRealTimeBytesData(good), 0);
    return {bytesOf(*good), liveVertices(*source).size()};
}

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
};
class DamagedStream : public ::testing::TestWithParam<Damage> {};

// Refused before anything changes.
TEST_P(DamagedStream, IsRefusedAndLeavesTheVolumeAlone) {
    std::vector<uint8_t> bytes = savedSphere().first;
    GetParam().apply(bytes);
    const auto damaged = hostStream(bytes);

    auto target = makeEngine({0.3f});
    ASSERT_NE(target, nullptr);
    const auto other = spherePoints(100, 3.0f, 12, 50.0f);
    ASSERT_EQ(target->buildByExistingPoints(other.data(), static_cast<int>(other.size())), 0);
    const auto before = byViewId(liveVertices(*target));

    Vertices* out = nullptr;
    int count = -5;
    EXPECT_EQ(target->loadRealTimeBytesData_points(damaged, &out, count), kInvalid);
    EXPECT_EQ(target->errorMessage(),
              bytes.empty() ? "hash_stream is nullptr" : "byte stream is invalid!");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(count, -5);
    EXPECT_EQ(target->resolution(), 0.3f);
    const auto after = byViewId(liveVertices(*target));
    ASSERT_EQ(after.size(), before.size());
    for (const auto& e : before) EXPECT_TRUE(sameVertex(e.second, after.at(e.first)));
}

void sizeField(std::vector<uint8_t>& b, uint64_t v) { put64(b.data() + 8, v); }

INSTANTIATE_TEST_SUITE_P(
    Snapshot, DamagedStream,
    ::testing::Values(
        Damage{"Missing", [](std::vector<uint8_t>& b) { b.clear(); }},
        Damage{"TruncatedButFramed",
               [](std::vector<uint8_t>& b) {
                   b.resize(b.size() - 48);
                   sizeField(b, b.size());
                   std::memcpy(b.data() + b.size() - 4, "HASH", 4);
               }},
        Damage{"SizeFieldOffByOne", [](std::vector<uint8_t>& b) { sizeField(b, b.size() + 1); }},
        Damage{"MagicDamaged", [](std::vector<uint8_t>& b) { b[1] = 'X'; }},
        Damage{"TrailerDamaged", [](std::vector<uint8_t>& b) { b.back() ^= 1; }},
        Damage{"CountOneTooMany",
               [](std::vector<uint8_t>& b) { put32(b.data() + 20, get32(b.data() + 20) + 1); }},
        Damage{"LoadCountBeyondRecords",
               [](std::vector<uint8_t>& b) { put32(b.data() + 24, get32(b.data() + 20) + 1); }}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// Any resolution loads as it is; an unusable one places no points until the
// host sets a usable one.
TEST(SnapshotLoad, AnyResolutionLoadsButOnlyAUsableOnePlacesPoints) {
    const auto [good, live] = savedSphere();
    const std::pair<float, bool> cases[] = {{0.0f, false},   {std::nanf(""), false}, {2e30f, false},
                                            {1e-40f, false}, {0.5f, true},           {1e30f, true}};
    for (const auto& [resolution, usable] : cases) {
        SCOPED_TRACE(resolution);
        std::vector<uint8_t> bytes = good;
        putFloat(bytes.data() + 72, resolution);
        auto target = makeEngine();
        ASSERT_NE(target, nullptr);
        Vertices* out = nullptr;
        int count = -5;
        ASSERT_EQ(target->loadRealTimeBytesData_points(hostStream(bytes), &out, count), 0);
        const std::size_t loaded = adopt(out, count).size();
        if (resolution == 0.5f) {
            EXPECT_EQ(loaded, live) << "the stream's own resolution";
        }
        EXPECT_EQ(loaded > 0, usable);
        const float now = target->resolution();
        EXPECT_TRUE(now == resolution || (std::isnan(now) && std::isnan(resolution)));
        if (usable) continue;
        const auto frame = spherePoints(200, 5.0f, 13);
        testing::internal::CaptureStdout();  // a line for each point turned away
        EXPECT_EQ(target->process(frame.data(), 200, {{200}}, identityPose, true), 0);
        (void)testing::internal::GetCapturedStdout();
        EXPECT_TRUE(liveVertices(*target).empty()) << "nothing is placed";
        target->setResolution(0.5f);
        EXPECT_EQ(target->process(frame.data(), 200, {{200}}, identityPose, true), 0);
        EXPECT_FALSE(liveVertices(*target).empty()) << "until a usable resolution is set";
    }
}

// A load grows the point store, or fails empty when the chunk table is full.
TEST(SnapshotLoad, GrowsTheStoreOrFailsEmpty) {
    auto source = makeEngine();
    ASSERT_NE(source, nullptr);
    const auto points = spherePoints(3000, 25.0f, 8);
    ASSERT_EQ(source->buildByExistingPoints(points.data(), static_cast<int>(points.size())), 0);
    const std::size_t live = liveVertices(*source).size();
    auto stream = hostStream();
    ASSERT_EQ(source->saveRealTimeBytesData(stream), 0);

    for (const int max_chunks : {64, 2}) {  // of 1024 records each
        auto small = std::make_unique<HashTable>();
        GlobalParams p = smallParams();
        p.point_chunk_max = max_chunks;
        small->setInitParams(p);
        ASSERT_EQ(small->init(), 0);
        small->setResolution(0.25f);
        Vertices* out = nullptr;
        int count = -3;
        const bool fits = max_chunks == 64;
        EXPECT_EQ(small->loadRealTimeBytesData_points(stream, &out, count), fits ? 0 : kNoMemory);
        EXPECT_EQ(small->resolution(), 0.5f);
        EXPECT_EQ(small->errorMessage(), fits ? "no error !" : "memory is lacked!");
        EXPECT_EQ(adopt(out, count).size(), fits ? live : 0u);
        EXPECT_EQ(liveVertices(*small).size(), fits ? live : 0u);
    }
}

// A protected mark facing its voxel's live record must not turn it away on load.
TEST(SnapshotLoad, LiveRecordsReturnBeforeTheMarksOfTheirVoxel) {
    TestVolume source(0.5f);
    const float up[3] = {0, 0, 1};
    FusionPoint* mark = place(source.volume, observation(0.10f, 0.10f, 0.10f, 0, 0, -1)).record;
    FusionPoint* live = putRecord(source.volume, 0.15f, 0.12f, 0.14f, up);
    ASSERT_TRUE(mark != nullptr && live != nullptr && mark != live);
    mark->observation_count = 0;  // weightless, absorbed, protected, and
    mark->absorbed_flag = 1;      // turned to face the live record
    mark->protected_flag = 1;
    mark->normal[0] = 0.3f;
    mark->normal[2] = 0.95f;

    fusion::RealTimeByteStream s{};
    ASSERT_TRUE(fusion::saveSnapshot(source.volume, 2, s).ok());
    std::unique_ptr<uint8_t[]> owned(s.data);
    fusion::snapshot::StreamHeader header;
    ASSERT_TRUE(fusion::validateSnapshot(&s, header).ok());
    TestVolume target(0.5f);
    fusion::loadSnapshotRecords(target.volume, {}, 2, s.data, header);
    const auto back = recordsWhere(target.volume, isLive);
    ASSERT_EQ(back.size(), 1u) << "the live record came back";
    EXPECT_FLOAT_EQ(back[0].position[0], 0.15f);
}

// A load loses only the second of two same-facing sides of a voxel (a box's
// edges make them); every other record comes back as saved.
TEST(SnapshotLoad, FusesTheSameFacingSidesOfAVoxelAndNothingElse) {
    auto setUp = [](fusion::Kelvane_Impl_Points& engine) {
        fusion::DeviceInfo device{};
        device.point_spacing = 0.2f;
        return engine.init() == 0 && engine.setResolution(0.5f) == 0 &&
               engine.setDeviceInfo(device) == 0;
    };
    fusion::Kelvane_Impl_Points source;
    ASSERT_TRUE(setUp(source));
    ASSERT_TRUE(runFrames(source, smallSweep(kelvane_sim::Shape::Box, 1, 40), false, false));
    source.waitForPendingWork();
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    ASSERT_EQ(source.saveRealTimeBytesData(stream), 0);
    std::unique_ptr<uint8_t[]> owned(stream->data);
    const kelvane_host::Snapshot saved = kelvane_host::readSnapshot(*stream);
    ASSERT_TRUE(saved.valid) << saved.problem;

    std::map<kelvane_host::VoxelKey, std::vector<const kelvane_host::SnapshotRecord*>> voxels;
    for (const auto& r : saved.records)
        if (r.live()) voxels[kelvane_host::voxelOf(r.position, saved.resolution)].push_back(&r);
    auto facing = [](const float* a, const float* b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] > 0.0f;
    };
    int live = 0, pairs = 0;
    std::set<std::string> kept;  // position and normal of each record a load must keep
    for (const auto& [key, records] : voxels) {
        live += int(records.size());
        ASSERT_LE(records.size(), 2u);
        if (records.size() == 2 && facing(records[0]->normal, records[1]->normal)) {
            ++pairs;
            continue;
        }
        for (const auto* r : records)
            kept.insert(std::string(reinterpret_cast<const char*>(r), 24));
    }
    ASSERT_GT(pairs, 0) << "the sweep must leave same-facing sides to fuse";

    fusion::Kelvane_Impl_Points target;
    ASSERT_TRUE(setUp(target));
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    ASSERT_EQ(target.loadRealTimeBytesData_points(stream, &vertices, count), 0);
    const std::vector<fusion::Vertices> loaded(vertices, vertices + count);
    delete[] vertices;
    EXPECT_EQ(count, live - pairs) << live << " saved, " << pairs << " same-facing pairs";
    for (const auto& v : loaded) kept.erase(std::string(reinterpret_cast<const char*>(&v), 24));
    EXPECT_TRUE(kept.empty()) << kept.size() << " records did not come back as saved";
}

}  // namespace
