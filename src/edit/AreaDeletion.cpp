// Removing a host selection from the volume: in place with one removal
// update per point, or, for selections too large for the free list or the
// update batch, by compacting the whole point store afterwards.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>

#include "edit/EditSupport.h"
#include "engine/HashTable.h"
#include "platform/platform.h"

namespace fusion {

namespace {

// A copy of the point store taken before a compaction, indexed like the
// store itself. Zero pages: an untouched record reads as "nothing here".
class CopyStore {
public:
    explicit CopyStore(int64_t records)
        : m_bytes(static_cast<std::size_t>(records > 0 ? records : 1) * sizeof(FusionPoint)),
          m_points(static_cast<FusionPoint*>(platform::reserveZeroed(m_bytes, true))) {}
    ~CopyStore() { platform::releaseZeroed(m_points, m_bytes); }
    CopyStore(const CopyStore&) = delete;
    CopyStore& operator=(const CopyStore&) = delete;

    bool ok() const { return m_points != nullptr; }
    FusionPoint& operator[](int64_t i) { return m_points[i]; }

private:
    std::size_t m_bytes;
    FusionPoint* m_points;
};

// Releases an update buffer that was not handed to the queue.
struct BufferOwner {
    Vertices* buffer;
    ~BufferOwner() { delete[] buffer; }
};

// Re-inserts every remaining record into a cleared volume, so the store is
// left without holes and the free lists empty. Vertex ids are handed out
// afresh; the host re-reads the cloud instead of receiving updates.
int compactPointStore(HashTable& engine) {
    const int32_t used = engine.readablePointCount();
    CopyStore copy(used);
    if (!copy.ok()) return 1;

#pragma omp parallel for schedule(static) num_threads(engine.m_thread_num)
    for (int32_t i = 0; i < used; ++i) {
        const FusionPoint* p = engine.pointAt(i);
        if (p->observation_count != 0 || p->absorbed_flag != 0) copy[i] = *p;
    }

    engine.waitUntilIdle();
    {
        std::deque<std::shared_ptr<ViewUpdate>> dropped;
        SpinGuard guard(engine.m_view_updates_lock);
        engine.m_view_updates.swap(dropped);
    }
    engine.clearVolume();

    const float resolution = engine.m_resolution;
    // Live records first, marks after them, as a snapshot load does: a mark
    // must not turn away a live record of its voxel that it came to face.
    for (int pass = 0; pass < 2; ++pass) {
#pragma omp parallel for schedule(static) num_threads(engine.m_thread_num)
        for (int32_t i = 0; i < used; ++i) {
            const FusionPoint& kept = copy[i];
            if (kept.observation_count == 0 && kept.absorbed_flag == 0) continue;
            if ((kept.absorbed_flag == 1) != (pass == 1)) continue;
            if (!edit::placeable(kept.position, resolution)) continue;
            const Int3 c = voxelOf(kept.position, resolution);
            if (kept.absorbed_flag == 1) {
                engine.addPlaceholder(c, edit::placeholderTemplate(kept.normal, kept.scan_level,
                                                                   kept.protected_flag));
                continue;
            }
            // Inserted unprotected so that it may fuse with whatever reached the
            // side first; its protection comes back afterwards.
            FusionPoint incoming = kept;
            incoming.view_id = -1;
            incoming.protected_flag = 0;
            int32_t index = -1;
            FusionPoint* placed = nullptr;
            if (engine.addObservation(kept.position, kept.normal, incoming, index, placed) != 0 ||
                placed == nullptr) {
                continue;
            }
            Voxel* voxel = edit::existingVoxel(engine, c);
            if (voxel != nullptr) voxel->lock.lock();
            if (placed->view_id == -1) placed->view_id = engine.m_view_id_next.fetch_add(1);
            placed->protected_flag = kept.protected_flag;
            if (voxel != nullptr) voxel->lock.unlock();
        }
    }
    return 0;
}

}  // namespace

int HashTable::deleteSelectedArea(const PointData* points, int count) {
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }
    if (points == nullptr || count < 1) return 1;
    BufferOwner batch{platform::tryNewArray<Vertices>(
        static_cast<std::size_t>(updateBufferCapacity()))};
    if (batch.buffer == nullptr) return 1;
    std::atomic<int32_t> update_count{0};

    // Decided before anything changes: the in-place path needs a free-list
    // slot and an update slot for every selected point.
    const int64_t spare = static_cast<int64_t>(m_point_free.capacity) - m_point_free.count.load();
    const bool rebuild = spare < count || count > updateBufferCapacity();

    const float resolution = m_resolution;
    const int reach = axisReach(resolution);
    std::atomic<int32_t> deleted{0};

    // Removes the record at `index` from `voxel`, unless another selected
    // point got there first: the claim is made under the voxel lock, so a
    // record selected twice is released once.
    // The result is the removed record's scan level, or -1 when it stays.
    auto removeRecord = [&](Voxel* voxel, FusionPoint* record, int32_t index,
                            bool marks_only) -> int {
        SpinGuard guard(voxel->lock);
        int side = -1;
        if (voxel->side(0) == index) {
            side = 0;
        } else if (voxel->side(1) == index) {
            side = 1;
        }
        if (side < 0) return -1;
        if (marks_only ? record->absorbed_flag == 0 : record->protected_flag == 1) return -1;
        const int level = record->scan_level;
        if (!rebuild) emitVertexUpdate(*record, -1, batch.buffer, update_count);
        voxel->setSide(side, -1);
        *record = defaultFusionPoint();
        if (!rebuild) releaseIndex(m_point_free, index);
        return level;
    };

#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int i = 0; i < count; ++i) {
        const PointData& selected = points[i];
        if (!edit::placeable(selected.position, resolution)) continue;
        const Int3 c = voxelOf(selected.position, resolution);
        FusionPoint* record = nullptr;
        Voxel* voxel = nullptr;
        int32_t index = -1;
        if (lookupPoint(c, selected.normal, record, voxel, index) != 0 || record == nullptr) {
            continue;
        }
        if (record->protected_flag == 1) continue;
        const int level = removeRecord(voxel, record, index, false);
        if (level < 0) continue;
        deleted.fetch_add(1);
        if (!isFineLevel(static_cast<uint8_t>(level))) continue;

        // A fine-scan point took marks in front of and behind it when its
        // area was set; they go with it.
        const int axis = dominantAxis(selected.normal);
        for (int offset = -reach; offset <= reach; ++offset) {
            if (offset == 0) continue;
            FusionPoint* mark = nullptr;
            Voxel* mark_voxel = nullptr;
            int32_t mark_index = -1;
            if (lookupPoint(edit::shifted(c, axis, offset), selected.normal, mark, mark_voxel,
                            mark_index) != 0 ||
                mark == nullptr || mark->absorbed_flag == 0) {
                continue;
            }
            removeRecord(mark_voxel, mark, mark_index, true);
        }
    }

    if (!rebuild && pushUpdateBatch(batch.buffer, update_count.load())) batch.buffer = nullptr;
    if (deleted.load() == 0 || !rebuild) return 0;
    try {
        return compactPointStore(*this);
    } catch (...) {
        return 1;
    }
}

}  // namespace fusion
