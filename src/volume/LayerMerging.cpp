#include "volume/LayerMerging.h"

#include <algorithm>
#include <cstdint>

#include "fusion/kelvane_status.h"
#include "volume/Placement.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// One of the three candidate records, as read once before any write.
struct Layer {
    FoundPoint found;
    float position[3] = {0.0f, 0.0f, 0.0f};
    uint16_t count = 0;
    uint8_t scan_level = 8;

    bool holdsData() const noexcept { return found.record != nullptr && count != 0; }
    bool fine() const noexcept { return isFineLevel(scan_level); }
};

Layer readLayer(const Volume& volume, BlockCache* cache, const Int3& c, const float normal[3]) {
    Layer layer;
    layer.found = cache != nullptr ? cache->lookupPoint(c, normal) : volume.lookupPoint(c, normal);
    if (!layer.found) return layer;
    const FusionPoint& record = *layer.found.record;
    loadPosition(record, layer.position);
    layer.count = relaxedLoad(record.observation_count);
    layer.scan_level = relaxedLoad(record.scan_level);
    return layer;
}

class Merge {
public:
    Merge(Volume& volume, UpdateBuffer* updates, BlockCache* cache = nullptr)
        : m_volume(volume), m_updates(updates), m_cache(cache) {}
    Outcome run(FusionPoint* start);

private:
    bool quiet() const { return m_updates == nullptr; }
    // Rechecked under the voxel lock: a concurrent merge may have emptied
    // the record since it was read, and an emptied record must not be
    // written again (its index may already be released).
    bool writable(const FusionPoint& record) const {
        if (relaxedLoad(record.observation_count) == 0) return false;
        return quiet() || relaxedLoad(record.protected_flag) != 1;
    }
    void update(Layer& survivor, const float fused[3], int32_t total, uint8_t level);
    void absorb(Layer& layer);

    Volume& m_volume;
    UpdateBuffer* m_updates;  // null: quiet
    BlockCache* m_cache;      // null: plain lookups
};

void Merge::update(Layer& survivor, const float fused[3], int32_t total, uint8_t level) {
    if (survivor.found.voxel == nullptr) return;
    FusionPoint& record = *survivor.found.record;
    SpinGuard guard(m_volume.lockOf(survivor.found.voxel));
    if (!writable(record)) return;
    for (int k = 0; k < 3; ++k) relaxedStore(record.position[k], fused[k]);
    relaxedStore(record.scan_level, level);
    // The count saturates like a fused observation's: wrapped, a sum of
    // 65536 would read as an empty record and drop the point.
    relaxedStore(record.observation_count, static_cast<uint16_t>(std::min<int32_t>(total, 65535)));
    if (!quiet() && relaxedLoad(record.view_id) != -1)
        emitVertexUpdate(m_volume.viewIds(), record, 1, *m_updates);
}

void Merge::absorb(Layer& layer) {
    if (layer.found.voxel == nullptr) return;
    SpinGuard guard(m_volume.lockOf(layer.found.voxel));
    if (!writable(*layer.found.record)) return;
    removeRecord(m_volume, layer.found, quiet() ? RemovedId::Released : RemovedId::Reported,
                 m_updates, /*keep_fine_mark=*/true);
}

Outcome Merge::run(FusionPoint* start) {
    if (start == nullptr || relaxedLoad(start->observation_count) == 0)
        return Outcome::failed(1, KELVANE_MSG_MERGE_EMPTY);

    const float resolution = m_volume.resolution();
    float normal[3], position[3];
    loadNormal(*start, normal);
    loadPosition(*start, position);

    Layer layers[3];  // a, b (ahead along the axis), c (behind)
    Layer& a = layers[0];
    Layer& b = layers[1];
    Layer& c = layers[2];
    const Int3 ca = voxelOf(position, resolution);
    a = readLayer(m_volume, m_cache, ca, normal);
    if (!a.found || (!quiet() && relaxedLoad(a.found.record->protected_flag) == 1))
        return Outcome::failed(1, KELVANE_MSG_MERGE_NOT_FOUND);

    const int axis = dominantAxis(normal);
    const Int3 cb = shifted(ca, axis, 1);
    const Int3 cc = shifted(ca, axis, -1);
    b = readLayer(m_volume, m_cache, cb, normal);
    c = readLayer(m_volume, m_cache, cc, normal);

    const float na = a.count, nb = b.count, nc = c.count;
    float fused[3];
    int32_t total;
    uint8_t level;
    int target;
    if (b.holdsData() && c.holdsData()) {
        total = int32_t{b.count} + int32_t{c.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (nb * b.position[k] + na * a.position[k] + nc * c.position[k]) /
                       static_cast<float>(total);
        level = a.fine() ? a.scan_level : b.fine() ? b.scan_level : c.fine() ? c.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cb)
            target = 1;
        else if (cf == cc)
            target = 2;
        else
            return Outcome::failed(1, KELVANE_MSG_MERGE_ABC);
    } else if (b.holdsData()) {
        total = int32_t{b.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (nb * b.position[k] + na * a.position[k]) / static_cast<float>(total);
        level = a.fine() ? a.scan_level : b.fine() ? b.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cb)
            target = 1;
        else
            return Outcome::failed(1, KELVANE_MSG_MERGE_AB);
    } else if (c.holdsData()) {
        total = int32_t{c.count} + int32_t{a.count};
        for (int k = 0; k < 3; ++k)
            fused[k] = (na * a.position[k] + nc * c.position[k]) / static_cast<float>(total);
        level = a.fine() ? a.scan_level : c.fine() ? c.scan_level : 8;
        const Int3 cf = voxelOf(fused, resolution);
        if (cf == ca)
            target = 0;
        else if (cf == cc)
            target = 2;
        else
            return Outcome::failed(1, KELVANE_MSG_MERGE_AC);
    } else {
        return Outcome::failed(1);  // a single layer: nothing to merge
    }

    // Locks are taken one voxel at a time and never held across the lookups
    // above: the writes use the values computed from the records as read.
    update(layers[target], fused, total, level);
    for (int i = 0; i < 3; ++i) {
        if (i != target && layers[i].holdsData()) absorb(layers[i]);
    }
    return Outcome::done();
}

}  // namespace

Outcome mergeLayers(Volume& volume, FusionPoint* record, UpdateBuffer& updates, BlockCache* cache) {
    return Merge(volume, &updates, cache).run(record);
}

Outcome mergeLayersQuiet(Volume& volume, FusionPoint* record) {
    return Merge(volume, nullptr).run(record);
}

}  // namespace fusion
