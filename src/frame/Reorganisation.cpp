// STUB: replaced by the reorganisation pass.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::dataOrganize() { return 0; }
}  // namespace fusion
