// The on-demand pass over fine-scan and protected points: protected points
// get a fresh normal and are merged again, and every such point lays marker
// records in the voxels in front of and behind it along its normal, so that
// later observations there inherit its level and protection.

#include "frame/Reorganisation.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "frame/NormalEstimation.h"
#include "volume/LayerMerging.h"
#include "volume/Placement.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

bool selected(const FusionPoint& point) noexcept {
    return isFineLevel(relaxedLoad(point.scan_level)) || relaxedLoad(point.protected_flag) == 1;
}

}  // namespace

const char* dataOrganize(Volume& volume, int threads) {
    if (!volume.allocated()) return nullptr;
    // The bound is fixed now: markers created by this pass are visited by the
    // next one, never by this one, so the pass always ends.
    const int32_t bound = volume.readablePointCount();
    if (bound <= 0) return nullptr;

    const float resolution = volume.resolution();
    const int reach = axisReach(resolution);
    std::atomic<const char*> failure{nullptr};
    (void)threads;

#pragma omp parallel for schedule(static) num_threads(threads)
    for (int32_t i = 0; i < bound; ++i) {
        FusionPoint* point = volume.pointAt(i);
        if (!selected(*point)) continue;

        if (relaxedLoad(point->protected_flag) == 1) {
            float normal[3];
            if (reestimateNormal(volume, point, normal) &&
                static_cast<double>(resolution) > 0.028) {
                const Outcome merged = mergeLayersQuiet(volume, point);
                if (merged.message != nullptr)
                    failure.store(merged.message, std::memory_order_relaxed);
            }
            // Merging may have cleared the record (an ordinary level absorbed
            // into a neighbour); it then has nothing left to mark.
            if (!selected(*point)) continue;
        }

        const FusionPoint source = relaxedCopy(*point);
        if (!std::isfinite(source.position[0]) || !std::isfinite(source.position[1]) ||
            !std::isfinite(source.position[2]))
            continue;
        const FusionPoint marker = placeholderTemplate(
            source.normal, normaliseScanLevel(source.scan_level), source.protected_flag);
        layMarksAlongAxis(volume, voxelOf(source.position, resolution), dominantAxis(source.normal),
                          reach, marker);
    }
    return failure.load();
}

}  // namespace fusion
