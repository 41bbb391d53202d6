// STUB: replaced by the neighbourhood scan implementation.
#include "engine/HashTable.h"
namespace fusion {
void HashTable::countConfirmingNeighbours(const FusionPoint&, int& total, int& current, uint32_t&, NeighbourList&) const { total = 0; current = 0; }
void HashTable::collectGradingNeighbours(const FusionPoint&, float, uint64_t*, int& total, int& current, NeighbourList&) const { total = 0; current = 0; }
bool HashTable::collectNeighbourPositions(const FusionPoint&, float (*)[3], int& total, int minimum) const { total = 0; return 0 >= minimum; }
uint16_t HashTable::computeQualityCode(const GlobalParams&, const uint64_t*, int, float) { return 0; }
}  // namespace fusion
