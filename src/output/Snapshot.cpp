// STUB: replaced by the snapshot writer and reader.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>&) { return 1; }
int HashTable::loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>&, Vertices**, int&) { return 1; }
}  // namespace fusion
