// Threaded extraction and saving give, byte for byte, what one ascending pass
// gives, on a model with holes (merges, deletions) and marks.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "output/Extraction.h"
#include "output/OrderedGather.h"
#include "output/Snapshot.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;
using fusion::OrderedGather;

// The stream bytes one plain ascending pass writes for the saved records.
std::vector<uint8_t> serialRecords(const Volume& volume) {
    std::vector<uint8_t> bytes;
    for (int32_t i = 0; i < volume.readablePointCount(); ++i) {
        const FusionPoint& p = *volume.pointAt(i);
        if (!((p.observation_count > 0 && p.view_id != -1) || p.absorbed_flag != 0)) continue;
        uint8_t record[48];
        fusion::snapshot::encodeRecord(record, p);
        bytes.insert(bytes.end(), record, record + 48);
    }
    return bytes;
}

TEST(OrderedOutput, EveryTeamSizeGivesTheAscendingPassOnAModelWithHolesAndMarks) {
    auto engine = makeEngine();
    ASSERT_TRUE(engine);
    ASSERT_TRUE(runFrames(*engine, smallSweep(kelvane_sim::Shape::Bumpy, 3, 10)));
    // Marks from a fine-scan area; holes from an in-place deletion.
    std::vector<Vertices> live = liveVertices(*engine);
    ASSERT_GT(live.size(), 3000u);
    std::vector<PointData> fine, removed;
    for (std::size_t k = 0; k < live.size(); ++k) {
        if (k % 5 == 0) fine.push_back(selectionOf(live[k]));
        if (k % 11 == 3) removed.push_back(selectionOf(live[k]));
    }
    ASSERT_EQ(engine->setFineScanArea(fine.data(), static_cast<int>(fine.size())), 0);
    ASSERT_EQ(engine->deleteSelectedArea(removed.data(), static_cast<int>(removed.size())), 0);
    const Volume& volume = engine->volume();

    const std::vector<FusionPoint> expected = recordsWhere(volume, isLive);
    const std::size_t readable = static_cast<std::size_t>(volume.readablePointCount());
    const std::size_t marks = recordsWhere(volume, isMark).size();
    ASSERT_GT(marks, 100u) << "the model has marks";
    ASSERT_GT(readable - expected.size() - marks, 100u) << "and holes";
    const std::vector<uint8_t> serial_stream = serialRecords(volume);

    for (int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        Vertices* out = nullptr;
        int count = -1;
        ASSERT_TRUE(fusion::extractLiveVertices(volume, &out, count, threads).ok());
        const std::vector<Vertices> v = adopt(out, count);
        ASSERT_EQ(v.size(), expected.size());
        for (std::size_t k = 0; k < v.size(); ++k) {
            const FusionPoint& p = expected[k];
            ASSERT_EQ(v[k].view_id, p.view_id) << k;
            ASSERT_EQ(std::memcmp(v[k].position, p.position, 12), 0) << k;
            ASSERT_EQ(v[k].scan_level, p.scan_level) << k;  // the fields' mapping: ExtractionTest
        }

        fusion::PointRawData raw{};
        ASSERT_EQ(fusion::extractLivePoints(volume, raw, threads), 0);
        ASSERT_EQ(raw.count, static_cast<int>(expected.size())) << "no live record is absorbed";
        for (std::size_t k = 0; k < expected.size(); ++k) {
            ASSERT_EQ(std::memcmp(raw.positions + 3 * k, expected[k].position, 12), 0) << k;
            ASSERT_EQ(std::memcmp(raw.normals + 3 * k, expected[k].normal, 12), 0) << k;
            ASSERT_EQ(raw.attributes[k], fusion::attributeWord(expected[k])) << k;
        }
        delete[] raw.positions;
        delete[] raw.normals;
        delete[] raw.attributes;

        fusion::RealTimeByteStream s{};
        ASSERT_TRUE(fusion::saveSnapshot(volume, threads, s).ok());
        const std::vector<uint8_t> stream = bytesOf(s);
        delete[] s.data;
        ASSERT_EQ(stream.size(), 152 + serial_stream.size());
        EXPECT_TRUE(std::equal(serial_stream.begin(), serial_stream.end(), stream.begin() + 148))
            << "records in ascending index, marks included";
    }
}

// Records dying or coming alive between the passes: output dense, ordered, within the count.
TEST(OrderedOutput, RecordsChangingBetweenThePassesLeaveNoGapAndNoOverrun) {
    TestVolume t(1.0f);
    const float up[3] = {0, 0, 1};
    std::vector<FusionPoint*> records;
    for (int i = 0; i < 2000; ++i) {
        FusionPoint* r = putRecord(t.volume, float(i % 50), float(i / 50), 0, up);
        ASSERT_NE(r, nullptr);
        records.push_back(r);
    }
    for (int i = 0; i < 2000; i += 9) records[i]->view_id = -1;  // not live yet

    std::map<const FusionPoint*, int32_t> index_of;
    for (int i = 0; i < 2000; ++i) index_of[records[static_cast<std::size_t>(i)]] = i;
    auto keep = [](const FusionPoint& p) { return p.view_id != -1; };
    for (int threads : {1, 3}) {
        for (int i = 0; i < 2000; i += 9) records[i]->view_id = -1;
        OrderedGather gather(t.volume.readablePointCount());
        const int64_t counted = gather.count(t.volume, threads, keep);
        ASSERT_EQ(counted, 2000 - 223);
        // Some die, in several spans and at the very end; others come alive.
        std::vector<int> dying = {1, 2, 700, 701, 1500, 1999};
        for (int i : dying) records[i]->view_id = -1;
        for (int i = 0; i < 2000; i += 9) records[i]->view_id = 100000 + i;

        std::vector<int32_t> slots(static_cast<std::size_t>(counted) + 8, -7);
        const int64_t written = gather.write(
            t.volume, threads, keep,
            [&](const FusionPoint& p, int64_t slot) {
                ASSERT_LT(slot, counted);
                slots[static_cast<std::size_t>(slot)] = index_of.at(&p);
            },
            [&](int64_t to, int64_t from, int64_t n) {
                std::memmove(&slots[static_cast<std::size_t>(to)],
                             &slots[static_cast<std::size_t>(from)], n * sizeof(int32_t));
            });
        ASSERT_LE(written, counted);
        ASSERT_GE(written, counted - static_cast<int64_t>(dying.size()));
        for (int64_t k = 1; k < written; ++k)
            ASSERT_LT(slots[k - 1], slots[k]) << "ascending, no gap, no repeat at " << k;
        for (int64_t k = 0; k < written; ++k) {
            const int32_t i = slots[static_cast<std::size_t>(k)];
            ASSERT_TRUE(i >= 0 && records[static_cast<std::size_t>(i)]->view_id != -1) << k;
        }
        EXPECT_EQ(slots[static_cast<std::size_t>(counted)], -7) << "nothing past the count";
        for (int i : dying) records[i]->view_id = 1;
    }
}

}  // namespace
