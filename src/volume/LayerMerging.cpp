// Layer merging: one surface observed from slightly different depths leaves
// records in neighbouring voxels along its normal. The record, the
// same-facing record in front of it and the one behind it are fused into one
// record, which stays in the voxel its fused position falls into; the others
// are emptied (fine levels) or removed (ordinary levels).

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/HashTable.h"
#include "volume/RelaxedAccess.h"

namespace fusion {

namespace {

enum class MergeMode {
    Frame,  // reports every change to the host, never touches protected records
    Quiet,  // reports nothing, recycles view ids itself, ignores protection
};

// Concurrent merges may fail at the same time; the message string is not
// safe to assign from two threads at once.
SpinLock g_message_lock;

void storeMessage(HashTable& engine, const char* message) {
    SpinGuard guard(g_message_lock);
    engine.m_error_message = message;
}

// One of the three candidate records, as read once before any write.
struct Layer {
    FusionPoint* record = nullptr;
    Voxel* voxel = nullptr;
    int32_t index = -1;
    Int3 coordinates{0, 0, 0};
    float position[3] = {0.0f, 0.0f, 0.0f};
    uint16_t count = 0;
    uint8_t scan_level = 8;

    bool holdsData() const noexcept { return record != nullptr && count != 0; }
};

bool find(const HashTable& engine, const Int3& c, const float normal[3], Layer& layer) {
    layer.coordinates = c;
    FusionPoint* record = nullptr;
    Voxel* voxel = nullptr;
    int32_t index = -1;
    if (engine.lookupPoint(c, normal, record, voxel, index) != 0 || record == nullptr) return false;
    layer.record = record;
    layer.voxel = voxel;
    layer.index = index;
    for (int k = 0; k < 3; ++k) layer.position[k] = relaxedLoad(record->position[k]);
    layer.count = relaxedLoad(record->observation_count);
    layer.scan_level = relaxedLoad(record->scan_level);
    return true;
}

// Rechecked under the voxel lock: a concurrent merge may have emptied the
// record since it was read, and an emptied record must not be written again
// (its index may already be released).
bool writable(const FusionPoint& record, MergeMode mode) noexcept {
    if (relaxedLoad(record.observation_count) == 0) return false;
    return mode == MergeMode::Quiet || relaxedLoad(record.protected_flag) != 1;
}

void absorb(HashTable& engine, Layer& layer, MergeMode mode, Vertices* buffer,
            std::atomic<int32_t>* update_count) {
    if (layer.record == nullptr || layer.voxel == nullptr) return;
    FusionPoint& record = *layer.record;
    SpinGuard guard(layer.voxel->lock);
    if (!writable(record, mode)) return;

    // The removal goes out while the record still holds data, otherwise
    // the update writer would see an empty record and report nothing.
    if (mode == MergeMode::Frame)
        engine.emitVertexUpdate(record, -1, buffer, *update_count);
    else if (relaxedLoad(record.view_id) != -1)
        engine.releaseIndex(engine.m_view_id_free, relaxedLoad(record.view_id));

    if (isFineLevel(relaxedLoad(record.scan_level))) {
        // Keeps position, normal and level so the voxel side still tells
        // later observations that this spot is scanned finely.
        relaxedStore(record.observation_count, uint16_t{0});
        relaxedStore(record.view_id, int32_t{-1});
        relaxedStore(record.absorbed_flag, uint8_t{1});
        return;
    }

    relaxedAssign(record, defaultFusionPoint());
    Voxel& voxel = *layer.voxel;
    int side = -1;
    if (voxel.side(0) == layer.index)
        side = 0;
    else if (voxel.side(1) == layer.index)
        side = 1;
    if (side < 0) return;
    voxel.setSide(side, -1);
    engine.releaseIndex(engine.m_point_free, layer.index);
}

int merge(HashTable& engine, FusionPoint* start, MergeMode mode, Vertices* buffer,
          std::atomic<int32_t>* update_count) {
    if (start == nullptr || relaxedLoad(start->observation_count) == 0) {
        storeMessage(engine, "waiting for fusion data is empty!");
        return 1;
    }

    const float resolution = engine.m_resolution;
    float normal[3], position[3];
    for (int k = 0; k < 3; ++k) {
        normal[k] = relaxedLoad(start->normal[k]);
        position[k] = relaxedLoad(start->position[k]);
    }

    Layer layers[3];  // a, b (ahead along the axis), c (behind)
    Layer& a = layers[0];
    Layer& b = layers[1];
    Layer& c = layers[2];
    const Int3 ca = voxelOf(position, resolution);
    if (!find(engine, ca, normal, a) ||
        (mode == MergeMode::Frame && relaxedLoad(a.record->protected_flag) == 1)) {
        storeMessage(engine, "waiting for fusion data not found!");
        return 1;
    }

    const int axis = dominantAxis(normal);
    Int3 cb = ca, cc = ca;
    cb[axis] += 1;
    cc[axis] -= 1;
    if (!find(engine, cb, normal, b)) b = Layer{};
    if (!find(engine, cc, normal, c)) c = Layer{};
    b.coordinates = cb;
    c.coordinates = cc;

    const float na = a.count, nb = b.count, nc = c.count;
    float fused[3];
    int32_t total;
    uint8_t level;
    int target;
    const auto fine = [](const Layer& layer) { return isFineLevel(layer.scan_level); };
    if (b.holdsData() && c.holdsData()) {
        total = int32_t{b.count} + int32_t{c.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (nb * b.position[k] + na * a.position[k] + nc * c.position[k]) /
                       static_cast<float>(total);
        level = fine(a) ? a.scan_level : fine(b) ? b.scan_level : fine(c) ? c.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cb)
            target = 1;
        else if (cf == cc)
            target = 2;
        else {
            storeMessage(engine, "fusion abc point position error!");
            return 1;
        }
    } else if (b.holdsData()) {
        total = int32_t{b.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (nb * b.position[k] + na * a.position[k]) / static_cast<float>(total);
        level = fine(a) ? a.scan_level : fine(b) ? b.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cb)
            target = 1;
        else {
            storeMessage(engine, "fusion ab point position error!");
            return 1;
        }
    } else if (c.holdsData()) {
        total = int32_t{c.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (na * a.position[k] + nc * c.position[k]) / static_cast<float>(total);
        level = fine(a) ? a.scan_level : fine(c) ? c.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cc)
            target = 2;
        else {
            storeMessage(engine, "fusion ac point position error!");
            return 1;
        }
    } else {
        return 1;  // a single layer: nothing to merge
    }

    // Locks are taken one voxel at a time and never held across the lookups
    // above: the writes use the values computed from the records as read.
    Layer& survivor = layers[target];
    if (survivor.voxel != nullptr) {
        FusionPoint& record = *survivor.record;
        SpinGuard guard(survivor.voxel->lock);
        if (writable(record, mode)) {
            for (int k = 0; k < 3; ++k) relaxedStore(record.position[k], fused[k]);
            relaxedStore(record.scan_level, level);
            // The count saturates like a fused observation's: wrapped, a sum
            // of 65536 would read as an empty record and drop the point.
            relaxedStore(record.observation_count,
                         static_cast<uint16_t>(std::min<int32_t>(total, 65535)));
            if (mode == MergeMode::Frame && relaxedLoad(record.view_id) != -1)
                engine.emitVertexUpdate(record, 1, buffer, *update_count);
        }
    }

    for (int i = 0; i < 3; ++i) {
        if (i == target || !layers[i].holdsData()) continue;
        absorb(engine, layers[i], mode, buffer, update_count);
    }
    return 0;
}

}  // namespace

int HashTable::mergeLayers(FusionPoint* record, Vertices* buffer,
                           std::atomic<int32_t>& update_count) {
    return merge(*this, record, MergeMode::Frame, buffer, &update_count);
}

int HashTable::mergeLayersQuiet(FusionPoint* record) {
    return merge(*this, record, MergeMode::Quiet, nullptr, nullptr);
}

}  // namespace fusion
