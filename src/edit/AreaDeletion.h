#pragma once

// Removing a host selection from the volume: in place with one removal
// update per point, or, for selections too large for the free list or the
// update batch, by compacting the whole point store afterwards.

#include <cstdint>
#include <memory>

#include "fusion/Kelvane.h"
#include "volume/Placement.h"
#include "volume/UpdateBuffer.h"
#include "volume/Volume.h"

namespace fusion {

struct Deletion {
    int32_t deleted = 0;   // points removed
    bool compact = false;  // too large for in-place bookkeeping: compact now
};

// Removes every unprotected point the selection names (the record of the
// selected position's voxel that faces the selected normal), and the marks
// around removed fine-scan points. Unless the selection is too large for the
// free list or `removals` (decided before anything changes; then
// Deletion::compact is set and nothing is reported or recycled), each
// removal is reported into `removals` and its record index recycled.
Deletion deleteSelection(Volume& volume, int threads, const PointData* points, int count,
                         UpdateBuffer& removals);

// A copy of every record still holding data or a mark, indexed like the
// point store, taken before the volume is cleared for compaction.
class RecordCopy;
// Null when memory is lacking.
std::unique_ptr<RecordCopy> copyRemainingRecords(const Volume& volume, int threads);
// Re-inserts the copy into the cleared volume: the store is left without
// holes, vertex ids are handed out afresh.
void reinsertRemainingRecords(Volume& volume, const PlacementRules& rules, int threads,
                              const RecordCopy& copy);

class RecordCopy {
public:
    ~RecordCopy();
    RecordCopy(const RecordCopy&) = delete;
    RecordCopy& operator=(const RecordCopy&) = delete;
    int32_t size() const { return m_size; }
    const FusionPoint& operator[](int32_t i) const { return m_points[i]; }

private:
    friend std::unique_ptr<RecordCopy> copyRemainingRecords(const Volume&, int);
    RecordCopy(FusionPoint* points, int32_t size, std::size_t bytes)
        : m_points(points), m_size(size), m_bytes(bytes) {}
    FusionPoint* m_points;  // zero pages: an untouched record reads as "nothing here"
    int32_t m_size;
    std::size_t m_bytes;
};

}  // namespace fusion
