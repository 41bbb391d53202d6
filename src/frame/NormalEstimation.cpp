// STUB: replaced by the normal estimation implementation.
#include "engine/HashTable.h"
namespace fusion {
bool HashTable::estimateFrameNormal(FusionPoint*) { return false; }
bool HashTable::reestimateNormal(FusionPoint*, float*) { return false; }
}  // namespace fusion
