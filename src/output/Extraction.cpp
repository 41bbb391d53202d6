// STUB: replaced by live point extraction.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::extractLivePoints(PointRawData&) { return 1; }
int HashTable::extractLivePoints(Vertices**, int&) { return 1; }
int HashTable::getVertexNum(int& count) { if (!m_is_init) { m_error_message = "no init!"; return 1; } count = m_view_id_next.load(); return 0; }
int HashTable::getRequiredMemoryForExtractData(unsigned long long& bytes) const { bytes = 0; return 0; }
}  // namespace fusion
