// STUB: replaced by the frame intake and preparation implementation.
#include "engine/HashTable.h"
namespace fusion {
void HashTable::insertFramePoints(int32_t*, int, const PointData*) {}
int HashTable::prepareGrouped(const PointData*, int, const std::vector<std::vector<int>>&, const int32_t*, Vertices*, std::atomic<int32_t>&) { return 1; }
int HashTable::gradePoint(FusionPoint*, int32_t, Vertices*, std::atomic<int32_t>&) { return 1; }
int HashTable::preparePerPoint(int, const int32_t*, Vertices*, std::atomic<int32_t>&) { return 1; }
}  // namespace fusion
