// Saving the whole volume into one byte buffer and rebuilding a volume from
// such a buffer. The layout lives in SnapshotFormat.h.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"
#include "output/SnapshotFormat.h"
#include "platform/platform.h"

namespace fusion {

namespace {

constexpr int kInvalidStream = 0x10203;
constexpr int kOutOfMemory = 0x10201;

// A record is saved when the host knows it as a vertex, or when it is an
// absorbed record or placeholder that still marks its voxel side.
bool worthSaving(const FusionPoint& p) {
    return (p.observation_count > 0 && p.view_id != -1) || p.absorbed_flag != 0;
}

void dropBuffer(RealTimeByteStream& stream) {
    delete[] stream.data;
    stream.data = nullptr;
    stream.size = 0;
}

}  // namespace

int HashTable::saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream) {
    if (!stream) {
        m_error_message = "hash_stream is nullptr";
        return kInvalidStream;
    }
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }
    RealTimeByteStream& out = *stream;

    // Sized from the live count before the records are known: every index
    // below m_point_next that is not on the free list, plus one.
    const int64_t capacity = std::max<int64_t>(
        0, static_cast<int64_t>(m_point_next.load()) - m_point_free.count.load() + 1);
    const uint64_t allocated = snapshot::streamBytesFor(static_cast<uint64_t>(capacity));
    out.size = allocated;
    out.data = platform::tryNewArray<uint8_t>(static_cast<std::size_t>(allocated));
    if (out.data == nullptr) {
        out.size = 0;
        m_error_message = "memory is lacked";
        return kOutOfMemory;
    }

    uint8_t volume_block[snapshot::kVolumeBlockBytes] = {};
    snapshot::putFloat(volume_block, m_resolution);
    for (int i = 0; i < 4; ++i) {
        snapshot::putFloat(volume_block + 4 + 4 * i, snapshot::kVolumeConstants[i]);
    }

    // Records first, through one atomic slot counter, so the threads never
    // coordinate beyond one increment per stored record. Indices at or past
    // the readable bound were never handed out and hold nothing.
    std::atomic<int64_t> slots{0};
    const int32_t readable = readablePointCount();
    const int32_t chunk_points = m_global_params->chunk_point_num;
    const int32_t chunk_shift = m_global_params->chunk_point_shift;
    const int32_t chunks = m_point_chunk_num.load();
    uint8_t* const records = out.data + snapshot::kHeaderBytes;

#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int32_t chunk = 0; chunk < chunks; ++chunk) {
        const FusionPoint* points = m_point_chunks[chunk];
        if (points == nullptr) continue;
        const int64_t first = static_cast<int64_t>(chunk) << chunk_shift;
        const int64_t end = std::min<int64_t>(chunk_points, readable - first);
        for (int64_t i = 0; i < end; ++i) {
            const FusionPoint& p = points[i];
            if (!worthSaving(p)) continue;
            const int64_t k = slots.fetch_add(1, std::memory_order_relaxed);
            // Beyond the buffer: counted but not written; the size check
            // below then refuses the whole save.
            if (k >= capacity) continue;
            snapshot::encodeRecord(records + snapshot::kRecordBytes * k, p);
        }
    }

    const int64_t n = slots.load();
    if (out.size < snapshot::streamBytesFor(static_cast<uint64_t>(n))) {
        dropBuffer(out);
        m_error_message = "byte stream size is invalid!";
        return 1;
    }

    try {
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
        std::memcpy(header + snapshot::kVolumeBlockOffset, volume_block, sizeof(volume_block));
        uint8_t* trailer = out.data + out.size - snapshot::kTrailerBytes;
        std::memcpy(trailer, snapshot::kMagic, 4);
        // Whatever the buffer holds past the stream is zeroed as well, so no
        // uninitialised memory ever reaches the host.
        std::memset(trailer + snapshot::kTrailerBytes, 0,
                    static_cast<std::size_t>(allocated - out.size));
    } catch (...) {
        dropBuffer(out);
        m_error_message = "serializeToStream try catch error!";
        return kInvalidStream;
    }
    return 0;
}

int HashTable::loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                            Vertices** out, int& count) {
    if (!stream || stream->size == 0 || stream->data == nullptr) {
        m_error_message = "hash_stream is nullptr";
        return kInvalidStream;
    }
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }

    snapshot::StreamHeader header;
    const uint8_t* data = nullptr;
    try {
        if (snapshot::checkStream(stream->data, stream->size, header) !=
            snapshot::StreamCheck::Valid) {
            m_error_message = "byte stream is invalid!";
            return kInvalidStream;
        }
        data = stream->data;
    } catch (...) {
        m_error_message = "deserializeByStream try catch error!";
        return kInvalidStream;
    }

    // From here on the previous volume is gone. Wait before changing the
    // resolution, so a frame still inside the pipeline never sees it switch.
    waitUntilIdle();
    m_resolution = header.resolution;
    {
        std::deque<std::shared_ptr<ViewUpdate>> dropped;
        SpinGuard guard(m_view_updates_lock);
        m_view_updates.swap(dropped);
    }
    clearVolume();

    // Grow the point store by every missing chunk before the parallel
    // insertion, so threads never queue on the chunk lock.
    const int32_t load_count = header.load_count;
    {
        const int64_t chunk_points = m_global_params->chunk_point_num;
        const int64_t room = static_cast<int64_t>(m_point_chunk_num.load()) * chunk_points -
                             m_point_next.load() + m_point_free.count.load();
        if (load_count > room) {
            const int64_t missing = (load_count - room) / chunk_points + 1;
            SpinGuard guard(m_point_chunk_lock);
            for (int64_t i = 0; i < missing; ++i) {
                if (!appendPointChunk()) {
                    m_error_message = "memory is lacked!";
                    return kOutOfMemory;
                }
            }
        }
    }

    const float resolution = m_resolution;
    const uint8_t* records = data + snapshot::kHeaderBytes;
    // Live records first, marks after them: a mark is weightless, and one
    // that came to face a live record of its voxel (a protected one above
    // all) must not turn that record away when it happens to arrive first.
    for (int pass = 0; pass < 2; ++pass) {
#pragma omp parallel for schedule(static) num_threads(m_thread_num)
        for (int32_t k = 0; k < load_count; ++k) {
            const snapshot::StoredRecord r =
                snapshot::decodeRecord(records + snapshot::kRecordBytes * static_cast<int64_t>(k));
            if ((r.absorbed_flag == 1) != (pass == 1)) continue;
            if (!edit::placeable(r.position, resolution)) continue;
            const Int3 c = voxelOf(r.position, resolution);

            if (r.absorbed_flag == 1) {
                // Marks come back at their voxel centres, whatever position an
                // absorbed record still carried.
                addPlaceholder(c, edit::placeholderTemplate(
                                      r.normal, static_cast<uint8_t>(r.attributes),
                                      static_cast<uint8_t>(r.attributes >> 8)));
                continue;
            }

            FusionPoint incoming = defaultFusionPoint();
            for (int i = 0; i < 3; ++i) {
                incoming.position[i] = r.position[i];
                incoming.normal[i] = r.normal[i];
            }
            incoming.observation_count = 1;
            incoming.confirmed_flag = 1;
            int32_t index = -1;
            FusionPoint* placed = nullptr;
            if (addObservation(r.position, r.normal, incoming, index, placed) != 0 ||
                placed == nullptr) {
                continue;  // table or store full: the record is lost, nothing written
            }
            // Another stream record may fuse into the same side concurrently;
            // its voxel lock orders the two overwrites.
            Voxel* voxel = edit::existingVoxel(*this, c);
            if (voxel != nullptr) voxel->lock.lock();
            placed->sub_voxel_mask = r.sub_voxel_mask;
            setAttributeWord(*placed, r.attributes);
            placed->observation_count = r.observation_count;
            placed->normal_update_count = r.normal_update_count;
            placed->frame_stamp = r.frame_stamp;
            if (placed->view_id == -1) placed->view_id = m_view_id_next.fetch_add(1);
            if (voxel != nullptr) voxel->lock.unlock();
        }
    }

    return extractLivePoints(out, count);
}

}  // namespace fusion
