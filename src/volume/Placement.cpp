// STUB: replaced by the placement and bookkeeping implementation.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::addObservation(const float*, const float*, const FusionPoint&, int32_t&, FusionPoint*&) { return 1; }
int HashTable::integrateObservation(const float*, const Int3&, const FusionPoint&, Voxel&, int32_t&, FusionPoint*&) { return 1; }
int HashTable::addPlaceholder(const Int3&, FusionPoint) { return 1; }
int32_t HashTable::allocatePoint() { return -1; }
int HashTable::releaseIndex(IndexFreeList&, int32_t) { return 1; }
int32_t HashTable::getOrAllocateViewId(FusionPoint&) { return -1; }
void HashTable::emitVertexUpdate(FusionPoint&, int, Vertices*, std::atomic<int32_t>&) {}
int HashTable::markSubVoxel(const float*, const Int3&, FusionPoint*) const { return 1; }
FusionPoint HashTable::mergeObservation(const FusionPoint& stored, const FusionPoint&) { return stored; }
void HashTable::propagateQuality(FusionPoint*, const NeighbourList&, float, Vertices*, std::atomic<int32_t>&, int) {}
bool HashTable::pushUpdateBatch(Vertices*, int32_t) { return false; }
}  // namespace fusion
