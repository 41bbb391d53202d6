// STUB: replaced by the layer merging implementation.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::mergeLayers(FusionPoint*, Vertices*, std::atomic<int32_t>&) { return 1; }
int HashTable::mergeLayersQuiet(FusionPoint*) { return 1; }
}  // namespace fusion
