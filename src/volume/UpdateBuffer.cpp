#include "volume/UpdateBuffer.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

constexpr float kFloatEpsilon = 1.1920929e-7f;
constexpr uint8_t kRemovedState = 255;

bool nearZero(const float* v) noexcept {
    return std::fabs(v[0]) < kFloatEpsilon && std::fabs(v[1]) < kFloatEpsilon &&
           std::fabs(v[2]) < kFloatEpsilon;
}

void writeVertex(Vertices& out, const FusionPoint& record, int32_t view_id,
                 uint8_t state) noexcept {
    std::memcpy(out.position, record.position, sizeof(out.position));
    std::memcpy(out.normal, record.normal, sizeof(out.normal));
    out.view_id = view_id;
    out.state = state;
    out.scan_level = record.scan_level;
    out.protected_flag = record.protected_flag;
    out.quality_code = record.quality_code;
}

void writeRemoval(Vertices& out, int32_t view_id) noexcept {
    const float nan = quietNaN();
    for (int a = 0; a < 3; ++a) {
        out.position[a] = nan;
        out.normal[a] = nan;
    }
    out.view_id = view_id;
    out.state = kRemovedState;
    out.scan_level = 8;
    out.protected_flag = 0;
    out.quality_code = 0;
}

// An id the host can index by: 0 up to the ids handed out so far.
bool validId(const ViewIds& ids, int32_t id) {
    if (id >= 0 && static_cast<int64_t>(id) <= static_cast<int64_t>(ids.next()) + 1) return true;
    std::printf("分配view_id错误！\n");
    return false;
}

}  // namespace

std::unique_ptr<UpdateBuffer> UpdateBuffer::create(int32_t capacity, ViewIds& ids) {
    if (capacity < 0) return nullptr;
    Vertices* records = platform::tryNewArray<Vertices>(static_cast<std::size_t>(capacity));
    if (records == nullptr) return nullptr;
    std::unique_ptr<UpdateBuffer> buffer(new (std::nothrow) UpdateBuffer(records, capacity, ids));
    if (!buffer) delete[] records;
    return buffer;
}

UpdateBuffer::UpdateBuffer(Vertices* records, int32_t capacity, ViewIds& ids) noexcept
    : m_records(records), m_capacity(capacity), m_ids(ids) {}

UpdateBuffer::~UpdateBuffer() {
    returnFreedIds();
    delete[] m_records;
}

Vertices* UpdateBuffer::claim() noexcept {
    const int32_t slot = m_count.fetch_add(1, std::memory_order_relaxed);
    if (slot < m_capacity) return m_records + slot;
    // Everyone past the end hands the slot back, so the count settles at
    // the capacity.
    m_count.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
}

int32_t UpdateBuffer::count() const noexcept {
    const int32_t n = m_count.load(std::memory_order_acquire);
    return n < m_capacity ? n : m_capacity;
}

void UpdateBuffer::returnFreedIds() noexcept {
    if (m_records != nullptr) returnFreedIds(m_records);
}

void UpdateBuffer::returnFreedIds(const Vertices* records) noexcept {
    if (m_ids_returned || records == nullptr) return;
    m_ids_returned = true;
    const int32_t n = count();
    for (int32_t i = 0; i < n; ++i) {
        if (records[i].state == kRemovedState) m_ids.releaseId(records[i].view_id);
    }
}

void UpdateBuffer::discard() noexcept {
    returnFreedIds();
    m_count.store(0, std::memory_order_relaxed);
}

Vertices* UpdateBuffer::takeRecords() noexcept {
    Vertices* records = m_records;
    m_records = nullptr;
    return records;
}

void emitVertexUpdate(ViewIds& ids, FusionPoint& record, int state, UpdateBuffer& out) {
    // One untorn copy: other stages may be changing the record meanwhile.
    const FusionPoint seen = relaxedCopy(record);
    // A record at the exact origin or without a normal is not a vertex.
    if (nearZero(seen.position) || nearZero(seen.normal)) return;
    if (seen.observation_count == 0) return;
    const bool removal = state == -1;
    int32_t id = relaxedLoad(record.view_id);
    if (removal && id < 0) return;  // the host never knew it

    if (id < 0) {
        // The record's first update names it, under the record's naming
        // lock (see ViewIds): a removal holds that lock from its look at the
        // id until the record is empty, so a record still holding data here
        // is not being removed, and its removal will report this name.
        SpinGuard naming(ids.namingLock(record));
        if (relaxedLoad(record.observation_count) == 0) return;  // removed meanwhile
        id = relaxedLoad(record.view_id);  // another emitter may have named it
        if (id < 0) {
            id = ids.allocate();
            if (!validId(ids, id)) return;
            relaxedStore(record.view_id, id);
        }
    }
    if (!validId(ids, id)) return;

    // A full buffer drops the record; the point keeps its id and is reported
    // by its next update.
    Vertices* slot = out.claim();
    if (slot == nullptr) return;
    if (removal) {
        writeRemoval(*slot, id);  // the id returns when the buffer is queued
    } else {
        writeVertex(*slot, seen, id, static_cast<uint8_t>(state & 0xFF));
    }
}

}  // namespace fusion
