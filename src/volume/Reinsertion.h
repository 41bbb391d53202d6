#pragma once

// Putting a set of records back into a cleared volume: used when a snapshot
// is loaded and when deletion compacts the point store.

#include <cstdint>

#include "volume/Coordinates.h"
#include "volume/Placement.h"
#include "volume/SpinLock.h"
#include "volume/Volume.h"

namespace fusion {

// One record to put back.
struct ReinsertItem {
    bool is_mark = false;    // absorbed: returns as a placeholder at its voxel centre
    float position[3] = {};  // where the record was
    FusionPoint incoming{};  // the record to place, or the placeholder template
    FusionPoint stored{};    // the fields settle() writes over the placed record
};

// Re-inserts `count` records in parallel. `source(i, item)` describes record
// i and returns false to skip it; `settle(placed, item)` runs on the record
// a live item landed in, under that record's voxel lock (another item may be
// fusing into the same side meanwhile).
//
// Live records go first and marks after them: a mark is weightless, and one
// that came to face a live record of its voxel (a protected one above all)
// must not turn that record away by arriving first. Records that cannot be
// placed (beyond the coordinate range, table or pool exhausted) are lost;
// nothing is written through a missing record.
template <class Source, class Settle>
void reinsertRecords(Volume& volume, const PlacementRules& rules, int threads, int32_t count,
                     Source&& source, Settle&& settle) {
    const float resolution = volume.resolution();
    (void)threads;  // the team size, when built with OpenMP
    for (int pass = 0; pass < 2; ++pass) {
        const bool marks = pass == 1;
#pragma omp parallel num_threads(threads)
        {
            // Records saved in index order come in the order frames placed
            // them, so most fall into a block one of the last few fell into:
            // each thread remembers those and skips the hash for them.
            PlacementCache cache;
#pragma omp for schedule(static)
            for (int32_t i = 0; i < count; ++i) {
                ReinsertItem item;
                if (!source(i, item) || item.is_mark != marks) continue;
                if (!placeable(item.position, resolution)) continue;
                if (item.is_mark) {
                    addPlaceholder(volume, voxelOf(item.position, resolution), item.incoming);
                    continue;
                }
                const FoundPoint placed =
                    addObservation(volume, rules, item.position, item.incoming, &cache);
                if (!placed) continue;
                SpinGuard guard(volume.lockOf(placed.voxel));
                settle(*placed.record, item);
            }
        }
    }
}

}  // namespace fusion
