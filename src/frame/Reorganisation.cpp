// The on-demand pass over fine-scan and protected points: protected points
// get a fresh normal and are merged again, and every such point lays marker
// records in the voxels in front of and behind it along its normal, so that
// later observations there inherit its level and protection.

#include <cmath>
#include <cstdint>

#include "engine/HashTable.h"
#include "volume/RelaxedAccess.h"

namespace fusion {

namespace {

bool selected(const FusionPoint& point) noexcept {
    return isFineLevel(relaxedLoad(point.scan_level)) || relaxedLoad(point.protected_flag) == 1;
}

// A weightless record facing like `point`, carrying its level and protection.
// Placement puts it at the voxel centre.
FusionPoint markerFor(const FusionPoint& point) noexcept {
    FusionPoint marker = defaultFusionPoint();
    for (int k = 0; k < 3; ++k) marker.normal[k] = point.normal[k];
    marker.scan_level = normaliseScanLevel(point.scan_level);
    marker.protected_flag = point.protected_flag;
    marker.absorbed_flag = 1;
    return marker;
}

}  // namespace

int HashTable::dataOrganize() {
    // Without a parameter block (before init, after deInit) there is no
    // volume to visit.
    if (!m_global_params) return 0;
    // The bound is fixed now: markers created by this pass are visited by the
    // next one, never by this one, so the pass always ends.
    const int32_t bound = readablePointCount();
    if (bound <= 0) return 0;

    const float resolution = m_resolution;
    const int reach = axisReach(resolution);

#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int32_t i = 0; i < bound; ++i) {
        FusionPoint* point = pointAt(i);
        if (!selected(*point)) continue;

        if (relaxedLoad(point->protected_flag) == 1) {
            float normal[3];
            if (reestimateNormal(point, normal) && static_cast<double>(resolution) > 0.028)
                mergeLayersQuiet(point);
            // Merging may have cleared the record (an ordinary level absorbed
            // into a neighbour); it then has nothing left to mark.
            if (!selected(*point)) continue;
        }

        const FusionPoint source = relaxedCopy(*point);
        if (!std::isfinite(source.position[0]) || !std::isfinite(source.position[1]) ||
            !std::isfinite(source.position[2]))
            continue;
        const Int3 centre = voxelOf(source.position, resolution);
        const int axis = dominantAxis(source.normal);
        const FusionPoint marker = markerFor(source);
        for (int step = -reach; step <= reach; ++step) {
            if (step == 0) continue;
            Int3 c = centre;
            c[axis] += step;
            addPlaceholder(c, marker);
        }
    }
    return 0;
}

}  // namespace fusion
