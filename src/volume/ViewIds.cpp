#include "volume/ViewIds.h"

#include "volume/SharedFields.h"

namespace fusion {

bool ViewIds::allocate(int32_t free_capacity) {
    m_view_id_next.store(0);
    return m_view_id_free.reserve(free_capacity);
}

void ViewIds::release() {
    m_view_id_free.release();
    m_view_id_next.store(0);
}

void ViewIds::clear() {
    m_view_id_free.clear();
    m_view_id_next.store(0);
}

int32_t ViewIds::allocate() {
    return m_view_id_free.popOr([this] { return m_view_id_next.fetch_add(1); });
}

int32_t ViewIds::getOrAllocate(const FusionPoint& record) {
    const int32_t current = relaxedLoad(record.view_id);
    return current >= 0 ? current : allocate();
}

}  // namespace fusion
