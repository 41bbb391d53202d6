#include "output/Snapshot.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "fusion/kelvane_status.h"
#include "output/OrderedGather.h"
#include "platform/platform.h"
#include "volume/Reinsertion.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

constexpr int kInvalidStream = status::kInvalidArgument;
using status::kOutOfMemory;

// A record is saved when the host knows it as a vertex, or when it is an
// absorbed record or placeholder that still marks its voxel side.
bool worthSaving(const FusionPoint& p) {
    return (relaxedLoad(p.observation_count) > 0 && relaxedLoad(p.view_id) != -1) ||
           relaxedLoad(p.absorbed_flag) != 0;
}

void dropBuffer(RealTimeByteStream& stream) {
    delete[] stream.data;
    stream.data = nullptr;
    stream.size = 0;
}

}  // namespace

Outcome saveSnapshot(const Volume& volume, int threads, RealTimeByteStream& out) {
    // Sized from the live count before the records are known: every index
    // below the next never-used one that is not on the free list, plus one.
    const PointPool& points = volume.points();
    const int64_t capacity =
        std::max<int64_t>(0, static_cast<int64_t>(points.nextIndex()) - points.freeCount() + 1);
    const uint64_t allocated = snapshot::streamBytesFor(static_cast<uint64_t>(capacity));
    out.size = allocated;
    out.data = platform::tryNewArray<uint8_t>(static_cast<std::size_t>(allocated));
    if (out.data == nullptr) {
        out.size = 0;
        return Outcome::failed(kOutOfMemory, KELVANE_MSG_SAVE_NO_MEMORY);
    }

    // Records first, in ascending record index: each span of indices counts
    // what it stores, then writes from its place in the stream, so the
    // threads never coordinate and the stream is the same for any number of
    // them. Indices at or past the readable bound were never handed out.
    OrderedGather gather(volume.readablePointCount());
    const int64_t counted = gather.count(volume, threads, worthSaving);
    if (counted > capacity) {
        dropBuffer(out);
        return Outcome::failed(1, KELVANE_MSG_STREAM_SIZE);
    }
    uint8_t* const records = out.data + snapshot::kHeaderBytes;
    const int64_t n = gather.write(
        volume, threads, worthSaving,
        [records](const FusionPoint& shared, int64_t slot) {
            snapshot::encodeRecord(records + snapshot::kRecordBytes * slot, relaxedCopy(shared));
        },
        [records](int64_t to, int64_t from, int64_t count) {
            std::memmove(records + snapshot::kRecordBytes * to,
                         records + snapshot::kRecordBytes * from,
                         static_cast<std::size_t>(snapshot::kRecordBytes * count));
        });
    if (out.size < snapshot::streamBytesFor(static_cast<uint64_t>(n))) {
        dropBuffer(out);
        return Outcome::failed(1, KELVANE_MSG_STREAM_SIZE);
    }

    // The header goes last; the buffer keeps its length and only the size
    // field shrinks to what was written.
    out.size = snapshot::streamBytesFor(static_cast<uint64_t>(n));
    uint8_t* header = out.data;
    std::memset(header, 0, snapshot::kHeaderBytes);
    std::memcpy(header, snapshot::kMagic, 4);
    snapshot::put64(header + snapshot::kSizeOffset, out.size);
    snapshot::put32(header + snapshot::kVersionOffset, 1u);
    snapshot::put32(header + snapshot::kCountOffset, static_cast<uint32_t>(n));
    snapshot::put32(header + snapshot::kLoadCountOffset, static_cast<uint32_t>(n));
    uint8_t* block = header + snapshot::kVolumeBlockOffset;
    snapshot::putFloat(block, volume.resolution());
    for (int i = 0; i < 4; ++i)
        snapshot::putFloat(block + 4 + 4 * i, snapshot::kVolumeConstants[i]);
    uint8_t* trailer = out.data + out.size - snapshot::kTrailerBytes;
    std::memcpy(trailer, snapshot::kMagic, 4);
    // Whatever the buffer holds past the stream is zeroed as well, so no
    // uninitialised memory ever reaches the host.
    std::memset(trailer + snapshot::kTrailerBytes, 0,
                static_cast<std::size_t>(allocated - out.size));
    return Outcome::done();
}

Outcome validateSnapshot(const RealTimeByteStream* stream, snapshot::StreamHeader& header) {
    if (stream == nullptr || stream->size == 0 || stream->data == nullptr)
        return Outcome::failed(kInvalidStream, KELVANE_MSG_NO_STREAM);
    if (snapshot::checkStream(stream->data, stream->size, header) != snapshot::StreamCheck::Valid)
        return Outcome::failed(kInvalidStream, KELVANE_MSG_INVALID_STREAM);
    return Outcome::done();
}

void loadSnapshotRecords(Volume& volume, const PlacementRules& rules, int threads,
                         const uint8_t* data, const snapshot::StreamHeader& header) {
    const uint8_t* records = data + snapshot::kHeaderBytes;
    ViewIds& ids = volume.viewIds();
    auto source = [records](int32_t k, ReinsertItem& item) {
        const snapshot::StoredRecord r =
            snapshot::decodeRecord(records + snapshot::kRecordBytes * static_cast<int64_t>(k));
        item.is_mark = r.absorbed_flag == 1;
        for (int i = 0; i < 3; ++i) item.position[i] = r.position[i];
        if (item.is_mark) {
            // Marks come back at their voxel centres, whatever position an
            // absorbed record still carried.
            item.incoming = placeholderTemplate(r.normal, static_cast<uint8_t>(r.attributes),
                                                static_cast<uint8_t>(r.attributes >> 8));
            return true;
        }
        // Placed as a plain confirmed observation; what the stream stored is
        // written over the placed record afterwards.
        item.incoming = defaultFusionPoint();
        for (int i = 0; i < 3; ++i) {
            item.incoming.position[i] = r.position[i];
            item.incoming.normal[i] = r.normal[i];
        }
        item.incoming.observation_count = 1;
        item.incoming.confirmed_flag = 1;
        item.stored.sub_voxel_mask = r.sub_voxel_mask;
        setAttributeWord(item.stored, r.attributes);
        item.stored.observation_count = r.observation_count;
        item.stored.normal_update_count = r.normal_update_count;
        item.stored.frame_stamp = r.frame_stamp;
        return true;
    };
    auto settle = [&ids](FusionPoint& placed, const ReinsertItem& item) {
        const FusionPoint& s = item.stored;
        storeSubCellMask(placed, s.sub_voxel_mask);
        relaxedStore(placed.scan_level, s.scan_level);
        relaxedStore(placed.protected_flag, s.protected_flag);
        relaxedStore(placed.quality_code, s.quality_code);
        relaxedStore(placed.observation_count, s.observation_count);
        relaxedStore(placed.normal_update_count, s.normal_update_count);
        relaxedStore(placed.frame_stamp, s.frame_stamp);
        if (relaxedLoad(placed.view_id) == -1) relaxedStore(placed.view_id, ids.allocate());
    };
    reinsertRecords(volume, rules, threads, header.load_count, source, settle);
}

}  // namespace fusion
