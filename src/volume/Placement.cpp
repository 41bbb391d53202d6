// Placement of observations into voxel sides, record and view-id
// allocation with their free lists, sub-cell marks, quality propagation and
// the writing and queueing of vertex update records.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "volume/FieldAtomics.h"
#include "volume/RelaxedAccess.h"

namespace fusion {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
constexpr uint16_t kMaxObservationCount = std::numeric_limits<uint16_t>::max();
constexpr uint16_t kTopQuality = 0xFFFF;

inline bool faces(const FusionPoint& stored, const FusionPoint& incoming) noexcept {
    return dot3(stored.normal, incoming.normal) > 0.0f;
}

inline int nibble(uint16_t code, int k) noexcept { return (code >> (4 * k)) & 0xF; }

inline bool nearZero(const float* v) noexcept {
    return std::fabs(v[0]) < kFloatEpsilon && std::fabs(v[1]) < kFloatEpsilon &&
           std::fabs(v[2]) < kFloatEpsilon;
}

// Fuses `incoming` into `stored`, touching only the fields a fusion changes.
// The other fields of a stored record are written concurrently without the
// voxel lock (the frame stamp by intake's compare-exchange, the view id by
// emitVertexUpdate, grades by preparation), so a whole-record write here
// could undo those writes.
//
// The count saturates at 65535 instead of wrapping: a wrapped count of 0
// would divide by zero here and would also make the record look empty. The
// mean is still weighted by the true sum, so a saturated record keeps
// converging, only ever more slowly.
void fuseInto(FusionPoint& stored, const FusionPoint& incoming) noexcept {
    // Lock-free readers (neighbourhood walks, other stages) read these fields
    // while we hold the voxel lock, so each is written untorn.
    const uint16_t stored_count = relaxedLoad(stored.observation_count);
    const uint32_t sum = uint32_t{stored_count} + incoming.observation_count;
    if (sum == 0) return;  // neither side carries weight: nothing to average
    const float stored_weight = static_cast<float>(stored_count);
    const float incoming_weight = static_cast<float>(incoming.observation_count);
    const float total = static_cast<float>(sum);
    for (int a = 0; a < 3; ++a) {
        relaxedStore(stored.position[a],
                     (incoming_weight * incoming.position[a] +
                      stored_weight * relaxedLoad(stored.position[a])) /
                         total);
    }
    relaxedStore(stored.observation_count,
                 static_cast<uint16_t>(std::min<uint32_t>(sum, kMaxObservationCount)));
    if (isFineLevel(incoming.scan_level)) relaxedStore(stored.scan_level, incoming.scan_level);
    if (incoming.protected_flag == 1) relaxedStore(stored.protected_flag, uint8_t{1});
}

// Replaces a record that holds no observation by `incoming`, keeping its
// frame stamp: intake claims records by compare-and-exchange on that field, and
// resetting it would let a second point of the same frame claim the record.
void replaceKeepingStamp(FusionPoint& stored, const FusionPoint& incoming) noexcept {
    FusionPoint replacement = incoming;
    replacement.frame_stamp = relaxedLoad(stored.frame_stamp);
    relaxedAssign(stored, replacement);
}

void writeVertex(Vertices& out, const FusionPoint& record, int32_t view_id, uint8_t state) noexcept {
    std::memcpy(out.position, record.position, sizeof(out.position));
    std::memcpy(out.normal, record.normal, sizeof(out.normal));
    out.view_id = view_id;
    out.state = state;
    out.scan_level = record.scan_level;
    out.protected_flag = record.protected_flag;
    out.quality_code = record.quality_code;
}

void writeRemoval(Vertices& out, int32_t view_id) noexcept {
    const float nan = quietNaN();
    for (int a = 0; a < 3; ++a) {
        out.position[a] = nan;
        out.normal[a] = nan;
    }
    out.view_id = view_id;
    out.state = 255;
    out.scan_level = 8;
    out.protected_flag = 0;
    out.quality_code = 0;
}

}  // namespace

// ---- placement -------------------------------------------------------------------

int HashTable::addObservation(const float position[3], const float /*normal*/[3],
                              const FusionPoint& incoming, int32_t& out_index,
                              FusionPoint*& out_record) {
    // The facing test uses the template's normal; callers build the template
    // from the same normal they pass alongside it.
    out_index = -1;
    out_record = nullptr;
    const GlobalParams& params = *m_global_params;
    const Int3 c = voxelOf(position, m_resolution);
    const Int3 b = blockOf(c, params);
    HashEntry* entry = findOrInsertBlock(b);
    if (entry == nullptr) return 1;
    Voxel* voxel = voxelAt(entry->blockIndex(), localIndexOf(c, b, params));
    if (voxel == nullptr) return 1;
    return integrateObservation(position, c, incoming, *voxel, out_index, out_record);
}

int HashTable::integrateObservation(const float position[3], const Int3& c,
                                    const FusionPoint& incoming, Voxel& voxel, int32_t& out_index,
                                    FusionPoint*& out_record) {
    out_index = -1;
    out_record = nullptr;
    // The whole decision runs under the voxel's lock: side creation and every
    // write of the two records need it anyway, and reading the facing normal
    // and the guards under the same lock keeps them consistent with the write.
    SpinGuard guard(voxel.lock);

    FusionPoint* target = nullptr;
    int32_t target_index = -1;
    for (int s = 0; s < 2 && target == nullptr; ++s) {
        const int32_t index = voxel.side(s);
        if (index == -1) {
            const int32_t fresh = allocatePoint();
            if (fresh < 0) return 1;
            FusionPoint* record = pointAt(fresh);
            // A recycled index may still be read by a walk that saw it
            // before it was freed.
            relaxedAssign(*record, incoming);
            // Published only once the record is whole: lock-free readers
            // that see the side must see its normal.
            voxel.setSide(s, fresh);
            out_index = fresh;
            out_record = record;
            if (m_quality_judge && markSubVoxel(position, c, record) == 1) {
                std::printf("统计子体素数量错误！\n");
            }
            return 0;
        }
        if (index < 0) return 1;
        FusionPoint* record = pointAt(index);
        if (faces(*record, incoming)) {
            target = record;
            target_index = index;
        }
    }
    if (target == nullptr) return 1;  // neither stored normal faces this one

    if (target->protected_flag == 1 && incoming.protected_flag != 1) return 1;
    if (isFineLevel(target->scan_level)) {
        // A fine-scan record finer than the scanner can resolve only takes
        // fine observations of a blocking (deliberate) frame.
        const float edge = m_resolution / static_cast<float>(levelDivisor(target->scan_level));
        if (m_device_info.point_spacing > edge &&
            !(m_blocking_frame && isFineLevel(incoming.scan_level))) {
            return 1;
        }
    }

    if (target->observation_count != 0) {
        fuseInto(*target, incoming);
    } else {
        FusionPoint replacement = incoming;
        replacement.scan_level = target->scan_level;
        replacement.protected_flag = target->protected_flag;
        replaceKeepingStamp(*target, replacement);
    }
    out_index = target_index;
    out_record = target;
    if (m_quality_judge && markSubVoxel(position, c, target) == 1) {
        std::printf("统计子体素数量错误！\n");
    }
    return 0;
}

int HashTable::addPlaceholder(const Int3& c, FusionPoint incoming) {
    for (int a = 0; a < 3; ++a) incoming.position[a] = static_cast<float>(c[a]) * m_resolution;
    const GlobalParams& params = *m_global_params;
    const Int3 b = blockOf(c, params);
    HashEntry* entry = findOrInsertBlock(b);
    if (entry == nullptr) return 1;
    Voxel* voxel = voxelAt(entry->blockIndex(), localIndexOf(c, b, params));
    if (voxel == nullptr) return 1;

    SpinGuard guard(voxel->lock);
    for (int s = 0; s < 2; ++s) {
        const int32_t index = voxel->side(s);
        if (index == -1) {
            const int32_t fresh = allocatePoint();
            if (fresh < 0) return 1;
            relaxedAssign(*pointAt(fresh), incoming);
            voxel->setSide(s, fresh);
            return 0;
        }
        if (index < 0) return 1;
        FusionPoint* record = pointAt(index);
        if (!faces(*record, incoming)) continue;
        // Only an emptied record takes the placeholder's marks; a record
        // holding data keeps its own.
        if (record->absorbed_flag == 1) {
            record->scan_level = incoming.scan_level;
            record->protected_flag = incoming.protected_flag;
        }
        return 0;
    }
    return 1;
}

// ---- record indices and view ids ----------------------------------------------------

int32_t HashTable::allocatePoint() {
    const GlobalParams& params = *m_global_params;
    IndexFreeList& free_list = m_point_free;
    bool holding_free_lock = false;
    if (free_list.count.load() > 0) {
        free_list.lock.lock();
        const int32_t k = free_list.count.fetch_sub(1);
        if (k > 0) {
            const int32_t index = free_list.values[k - 1];
            free_list.lock.unlock();
            return index;
        }
        // Emptied by another taker meanwhile. The free-list lock stays held
        // through any growth below, so releases wait for a consistent count.
        free_list.count.store(0);
        holding_free_lock = true;
    }
    struct FreeLockHolder {
        SpinLock& lock;
        bool held;
        ~FreeLockHolder() {
            if (held) lock.unlock();
        }
    } holder{free_list.lock, holding_free_lock};

    const int32_t index = m_point_next.fetch_add(1);
    if (index < 0) return -1;  // the counter wrapped: no 32-bit index left
    const int64_t chunk_points = params.chunk_point_num;
    // Growth starts ten records before the pool is full.
    const int64_t needed = static_cast<int64_t>(index) + 10;
    if (needed < chunk_points * m_point_chunk_num.load(std::memory_order_acquire)) return index;

    SpinGuard grow_guard(m_point_chunk_lock);
    const int64_t capacity = chunk_points * m_point_chunk_num.load(std::memory_order_relaxed);
    if (needed < capacity) return index;  // another thread grew the pool
    const int64_t missing = (needed - capacity) / chunk_points + 1;
    const std::size_t chunk_bytes = static_cast<std::size_t>(chunk_points) * sizeof(FusionPoint);
    for (int64_t k = 0; k < missing; ++k) {
        const int32_t slot = m_point_chunk_num.load(std::memory_order_relaxed);
        if (slot >= params.point_chunk_max) return -1;  // the chunk table is full
        void* chunk = platform::reserveZeroed(chunk_bytes, /*dense=*/true);
        if (chunk == nullptr) return -1;
        m_point_chunks[slot] = static_cast<FusionPoint*>(chunk);
        // Release: whoever sees the new count also sees the slot's pointer.
        m_point_chunk_num.store(slot + 1, std::memory_order_release);
    }
    return index;
}

int HashTable::releaseIndex(IndexFreeList& list, int32_t value) {
    SpinGuard guard(list.lock);
    const int32_t count = list.count.load();
    if (count >= list.capacity) list.grow();
    if (value == -1) return 1;
    // A list that could not grow drops the value rather than writing past
    // its storage; the index or id is then never reused.
    if (count >= list.capacity) return 2;
    list.values[count] = value;
    list.count.fetch_add(1);
    return 0;
}

int32_t HashTable::getOrAllocateViewId(FusionPoint& record) {
    const int32_t current = loadRelaxed32(&record.view_id);
    if (current >= 0) return current;
    IndexFreeList& free_list = m_view_id_free;
    if (free_list.count.load() >= 1) {
        SpinGuard guard(free_list.lock);
        const int32_t k = free_list.count.fetch_sub(1);
        if (k >= 1) return free_list.values[k - 1];
        free_list.count.store(0);
        return m_view_id_next.fetch_add(1);
    }
    return m_view_id_next.fetch_add(1);
}

// ---- update records -------------------------------------------------------------------

void HashTable::emitVertexUpdate(FusionPoint& record, int state, Vertices* buffer,
                                 std::atomic<int32_t>& update_count) {
    if (buffer == nullptr) return;
    // One untorn copy: other stages may be changing the record meanwhile.
    const FusionPoint seen = relaxedCopy(record);
    // A record at the exact origin or without a normal is not a vertex.
    if (nearZero(seen.position) || nearZero(seen.normal)) return;
    if (seen.observation_count == 0) return;
    const bool removal = state == -1;
    const int32_t previous = loadRelaxed32(&record.view_id);
    if (removal && previous < 0) return;  // the host never knew it

    int32_t id = getOrAllocateViewId(record);
    if (id < 0 || static_cast<int64_t>(id) > static_cast<int64_t>(m_view_id_next.load()) + 1) {
        std::printf("分配view_id错误！\n");
        return;
    }
    if (!removal && previous < 0 && !compareExchange32(&record.view_id, previous, id)) {
        // Two emitters (say, two centres propagating to one neighbour) raced
        // to name this record; one id per vertex, so the loser gives its own
        // back -- unless the id it holds is the winner's, read after the win.
        const int32_t winner = loadRelaxed32(&record.view_id);
        if (winner != id) releaseIndex(m_view_id_free, id);
        id = winner;
    }

    const int32_t slot = update_count.fetch_add(1);
    if (slot >= updateBufferCapacity()) {
        // Producers keep below the capacity; a stray one must not write past
        // the buffer. Everyone past the end hands the slot back, so the count
        // settles at the capacity. The record keeps its id and is reported by
        // its next update.
        update_count.fetch_sub(1);
        return;
    }
    Vertices& out = buffer[slot];
    if (!removal) {
        writeVertex(out, seen, id, static_cast<uint8_t>(state & 0xFF));
        return;
    }
    writeRemoval(out, id);
    if (releaseIndex(m_view_id_free, id) == 1) update_count.fetch_sub(1);
}

bool HashTable::pushUpdateBatch(Vertices* buffer, int32_t count) {
    if (buffer == nullptr || count <= 0) return false;
    try {
        auto batch = std::make_shared<ViewUpdate>();
        batch->count.store(count);
        SpinGuard guard(m_view_updates_lock);
        m_view_updates.push_back(batch);
        // Owned only once queued: on any failure above the caller still
        // holds the buffer and releases it.
        batch->updates = buffer;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// ---- sub-cells, merging and grades ----------------------------------------------------

int HashTable::markSubVoxel(const float position[3], const Int3& c, FusionPoint* record) const {
    if (record == nullptr) return 1;
    const uint64_t mask = relaxedLoad(record->sub_voxel_mask);
    if (mask == ~uint64_t{0}) return 0;
    const float r = m_resolution;
    const float half = static_cast<float>(static_cast<double>(r) * 0.5);
    const float quarter = static_cast<float>(static_cast<double>(r) * 0.25);
    int cell[3];
    bool on_upper_face = false;
    for (int a = 0; a < 3; ++a) {
        const float lower = static_cast<float>(c[a]) * r - half;
        float t = (position[a] - lower) / quarter;
        if (t < 0.0f) t += kFloatEpsilon;
        cell[a] = static_cast<int>(std::trunc(t));
        if (cell[a] == 4) on_upper_face = true;
    }
    // A point exactly on the upper face of its voxel belongs to the last cell.
    if (on_upper_face) {
        for (int& i : cell) i = std::min(i, 3);
    }
    const float linear = static_cast<float>(cell[2]) * 16.0f + static_cast<float>(cell[1]) * 4.0f +
                         static_cast<float>(cell[0]);
    const int bit = static_cast<int>(std::trunc(linear)) & 63;
    relaxedStore(record->sub_voxel_mask, mask | (uint64_t{1} << bit));
    return 0;
}

FusionPoint HashTable::mergeObservation(const FusionPoint& stored, const FusionPoint& incoming) {
    FusionPoint merged = stored;
    fuseInto(merged, incoming);
    return merged;
}

void HashTable::propagateQuality(FusionPoint* centre, const NeighbourList& neighbours, float edge,
                                 Vertices* buffer, std::atomic<int32_t>& update_count, int level) {
    const int n = neighbours.count;
    if (centre == nullptr || n < 1 || level < 0 || level > 3) return;

    int sum[4] = {0, 0, 0, 0};
    int top_full = 0;
    for (int j = 0; j < n; ++j) {
        const FusionPoint* neighbour = neighbours.records[j];
        if (neighbour == nullptr) continue;
        const uint16_t code = relaxedLoad(neighbour->quality_code);
        for (int i = 0; i < 4; ++i) sum[i] += nibble(code, i);
        if (nibble(code, 3) == 15) ++top_full;
    }
    int avg[4];
    for (int i = 0; i < 4; ++i) avg[i] = sum[i] / n;
    const double full_share = static_cast<double>(top_full) / n;

    if (avg[level] > nibble(relaxedLoad(centre->quality_code), level)) {
        const int top = full_share >= 0.8 ? 15 : avg[3];
        relaxedStore(centre->quality_code,
                     static_cast<uint16_t>(avg[0] | avg[1] << 4 | avg[2] << 8 | top << 12));
    }
    if (edge >= 0.5f) return;

    for (int j = 0; j < n; ++j) {
        FusionPoint* neighbour = neighbours.records[j];
        if (neighbour == nullptr || relaxedLoad(neighbour->view_id) == -1) continue;
        uint16_t code = relaxedLoad(neighbour->quality_code);
        if (nibble(code, level) >= avg[level]) continue;
        for (int i = 0; i < 4; ++i) {
            if (avg[i] > nibble(code, i)) {
                code = static_cast<uint16_t>((code & ~(0xF << (4 * i))) | (avg[i] << (4 * i)));
            }
        }
        relaxedStore(neighbour->quality_code, code);
        if (update_count.load() >= handOffLimit()) continue;
        if (relaxedLoad(neighbour->observation_count) > 100 ||
            relaxedLoad(neighbour->absorbed_flag) == 1) {
            relaxedStore(neighbour->quality_code, kTopQuality);
        }
        emitVertexUpdate(*neighbour, 0, buffer, update_count);
    }
}

}  // namespace fusion
