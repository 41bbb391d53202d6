// STUB: replaced by fine-scan and protected areas.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::setFineScanArea(const PointData*, int) { return 1; }
int HashTable::setProtectedArea(const PointData*, int, bool) { return 1; }
}  // namespace fusion
