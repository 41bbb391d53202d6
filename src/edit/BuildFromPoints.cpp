// STUB: replaced by building from existing points.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::buildByExistingPoints(const PointData*, int) { return 1; }
}  // namespace fusion
