#include "engine/HashTable.h"

#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "platform/platform.h"

namespace fusion {

namespace {
constexpr int kAllocationFailed = 0x10201;

std::size_t int32Bytes(int32_t entries) { return static_cast<std::size_t>(entries) * sizeof(int32_t); }
}  // namespace

// ---- IndexFreeList ------------------------------------------------------------

bool IndexFreeList::reserve(int32_t entries) {
    release();
    void* region = platform::reserveZeroed(int32Bytes(entries));
    if (region == nullptr) return false;
    values = static_cast<int32_t*>(region);
    capacity = entries;
    return true;
}

bool IndexFreeList::grow() {
    const auto bigger = static_cast<int32_t>(std::trunc(static_cast<double>(capacity) * 1.5));
    if (bigger <= capacity) return false;
    void* region = platform::reserveZeroed(int32Bytes(bigger));
    if (region == nullptr) return false;
    if (values != nullptr) {
        std::memcpy(region, values, int32Bytes(capacity));
        platform::releaseZeroed(values, int32Bytes(capacity));
    }
    values = static_cast<int32_t*>(region);
    capacity = bigger;
    return true;
}

void IndexFreeList::release() {
    if (values != nullptr) platform::releaseZeroed(values, int32Bytes(capacity));
    values = nullptr;
    capacity = 0;
    count.store(0);
    lock.clear();
}

// ---- construction -----------------------------------------------------------------

HashTable::HashTable() = default;

HashTable::~HashTable() {
    if (m_is_init) deInit();
    // A failed init may have left nothing or part of the storage behind.
    releaseStorage();
}

int HashTable::threadCountFor(int processors) {
    const int count = processors - 2;
    return count < 1 ? 16 : count;
}

// ---- init / deInit / reset -----------------------------------------------------------

int HashTable::init() {
    if (m_is_init) return 0;
    try {
#ifdef _OPENMP
        m_thread_num = threadCountFor(omp_get_num_procs());
        omp_set_num_threads(m_thread_num);
#else
        m_thread_num = threadCountFor(static_cast<int>(std::thread::hardware_concurrency()));
#endif
        m_task_slots.reset(new std::atomic<int32_t>[static_cast<std::size_t>(m_thread_num)]);
        for (int i = 0; i < m_thread_num; ++i) m_task_slots[i].store(0);
        m_task_num = 0;

        m_global_params.reset(new (std::nothrow) GlobalParams(
            m_init_params_override ? *m_init_params_override : defaultGlobalParams()));
        if (!m_global_params || !platform::allocationAllowed() || !allocateStorage()) {
            releaseStorage();
            m_global_params.reset();
            m_task_slots.reset();
            return kAllocationFailed;
        }

        m_thread_pool.reset(new ThreadPool(static_cast<uint16_t>(m_thread_num)));

        m_processing.store(false);
        m_dropped_second_stages.store(0);
        m_resolution = 0.5f;
        m_frame_counter = 0;
        m_blocking_frame = false;
        m_resolution_given = false;
        m_device_info_given = false;
        m_is_init = true;
        m_error_message = "no error !";
        return 0;
    } catch (...) {
        m_thread_pool.reset();
        releaseStorage();
        m_global_params.reset();
        m_task_slots.reset();
        return 1;
    }
}

void HashTable::waitUntilIdle(std::chrono::milliseconds poll) {
    while (m_processing.load(std::memory_order_acquire)) std::this_thread::sleep_for(poll);
    if (!m_task_slots) return;
    for (int i = 0; i < m_thread_num; ++i) {
        while (m_task_slots[i].load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(poll);
    }
}

int HashTable::deInit() {
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }
    try {
        waitUntilIdle();
        m_processing.store(false);
        for (int i = 0; i < m_thread_num; ++i) m_task_slots[i].store(0);
        m_task_slots.reset();

        std::deque<std::shared_ptr<ViewUpdate>> dropped;
        {
            SpinGuard guard(m_view_updates_lock);
            dropped.swap(m_view_updates);
        }
        releaseStorage();
        // Every queued task held a slot we waited for, so the queue is empty.
        m_thread_pool.reset();
        m_global_params.reset();
        m_blocking_frame = false;
        m_resolution_given = false;
        m_device_info_given = false;
        m_is_init = false;
        return 0;
    } catch (...) {
        return 1;
    }
}

int HashTable::reset() {
    if (!m_is_init) {
        m_error_message = "is not init !";
        return 1;
    }
    try {
        waitUntilIdle();
        std::deque<std::shared_ptr<ViewUpdate>> dropped;
        {
            SpinGuard guard(m_view_updates_lock);
            dropped.swap(m_view_updates);
        }
        clearVolume();
        m_dropped_second_stages.store(0);
        m_error_message = "no error !";
        return 0;
    } catch (...) {
        return 1;
    }
}

// ---- settings ------------------------------------------------------------------------

int HashTable::setResolution(const float& resolution) {
    m_resolution = resolution;
    m_resolution_given = true;
    if (m_device_info_given) deriveParams();
    return 0;
}

int HashTable::setDeviceInfo(const DeviceInfo& info) {
    m_device_info = info;
    m_device_info_given = true;
    if (m_resolution_given) deriveParams();
    return 0;
}

int HashTable::setQualityJudge(const bool& judge) {
    m_quality_judge = judge;
    return 0;
}

void HashTable::setProcessFinishedCallback(std::function<void(int)> callback) {
    m_process_finished_callback = std::move(callback);
}

int HashTable::deriveParams() {
    if (m_global_params) deriveGlobalParams(*m_global_params, m_device_info, m_resolution);
    return 0;
}

// ---- storage ----------------------------------------------------------------------------

std::size_t HashTable::voxelChunkBytes() const {
    return static_cast<std::size_t>(m_global_params->chunk_block_num) *
           static_cast<std::size_t>(m_global_params->block_voxel_num) * sizeof(Voxel);
}

std::size_t HashTable::pointChunkBytes() const {
    return static_cast<std::size_t>(m_global_params->chunk_point_num) * sizeof(FusionPoint);
}

bool HashTable::appendVoxelChunk() {
    const int32_t slot = m_voxel_chunk_num.load(std::memory_order_relaxed);
    if (slot >= m_global_params->voxel_chunk_max) return false;
    void* chunk = platform::reserveZeroed(voxelChunkBytes(), /*dense=*/true);
    if (chunk == nullptr) return false;
    m_voxel_chunks[slot] = static_cast<Voxel*>(chunk);
    // Release: a reader that sees the new count also sees the slot's pointer.
    m_voxel_chunk_num.store(slot + 1, std::memory_order_release);
    return true;
}

bool HashTable::appendPointChunk() {
    const int32_t slot = m_point_chunk_num.load(std::memory_order_relaxed);
    if (slot >= m_global_params->point_chunk_max) return false;
    void* chunk = platform::reserveZeroed(pointChunkBytes(), /*dense=*/true);
    if (chunk == nullptr) return false;
    m_point_chunks[slot] = static_cast<FusionPoint*>(chunk);
    m_point_chunk_num.store(slot + 1, std::memory_order_release);
    return true;
}

bool HashTable::allocateStorage() {
    const GlobalParams& p = *m_global_params;
    m_hash_entry_total = static_cast<std::size_t>(p.hash_bucket_num) +
                         static_cast<std::size_t>(p.hash_excess_list_size);
    // Buckets are hit at random, so no large pages: each touched 4 KiB page
    // holds the few entries that landed there.
    m_hash_entries = static_cast<HashEntry*>(
        platform::reserveZeroed(m_hash_entry_total * sizeof(HashEntry), /*dense=*/false));
    if (m_hash_entries == nullptr) return false;
    m_block_entries = static_cast<int32_t*>(
        platform::reserveZeroed(m_hash_entry_total * sizeof(int32_t), /*dense=*/true));
    if (m_block_entries == nullptr) return false;
    m_block_count.store(0);
    cur_ExcessHash_Index.store(p.hash_bucket_num);

    m_voxel_chunks = platform::tryNewArray<Voxel*>(static_cast<std::size_t>(p.voxel_chunk_max));
    if (m_voxel_chunks == nullptr) return false;
    std::fill(m_voxel_chunks, m_voxel_chunks + p.voxel_chunk_max, nullptr);
    m_voxel_chunk_num.store(0);
    m_voxel_chunk_lock.clear();
    for (int i = 0; i < p.voxel_chunk_init; ++i) {
        if (!appendVoxelChunk()) return false;
    }

    m_point_chunks = platform::tryNewArray<FusionPoint*>(static_cast<std::size_t>(p.point_chunk_max));
    if (m_point_chunks == nullptr) return false;
    std::fill(m_point_chunks, m_point_chunks + p.point_chunk_max, nullptr);
    m_point_chunk_num.store(0);
    m_point_chunk_lock.clear();
    for (int i = 0; i < p.point_chunk_init; ++i) {
        if (!appendPointChunk()) return false;
    }
    m_point_next.store(0);

    if (!m_point_free.reserve(p.chunk_point_num)) return false;
    m_view_id_next.store(0);
    if (!m_view_id_free.reserve(2 * p.max_frame_point_num)) return false;
    m_view_updates_lock.clear();
    return true;
}

void HashTable::releaseStorage() {
    if (m_hash_entries != nullptr) {
        platform::releaseZeroed(m_hash_entries, m_hash_entry_total * sizeof(HashEntry));
        m_hash_entries = nullptr;
    }
    if (m_block_entries != nullptr) {
        platform::releaseZeroed(m_block_entries, m_hash_entry_total * sizeof(int32_t));
        m_block_entries = nullptr;
    }
    m_hash_entry_total = 0;
    m_block_count.store(0);
    cur_ExcessHash_Index.store(0);

    if (m_voxel_chunks != nullptr) {
        const int32_t chunks = m_voxel_chunk_num.load();
        for (int32_t i = 0; i < chunks; ++i) platform::releaseZeroed(m_voxel_chunks[i], voxelChunkBytes());
        delete[] m_voxel_chunks;
        m_voxel_chunks = nullptr;
    }
    m_voxel_chunk_num.store(0);
    m_voxel_chunk_lock.clear();

    if (m_point_chunks != nullptr) {
        const int32_t chunks = m_point_chunk_num.load();
        for (int32_t i = 0; i < chunks; ++i) platform::releaseZeroed(m_point_chunks[i], pointChunkBytes());
        delete[] m_point_chunks;
        m_point_chunks = nullptr;
    }
    m_point_chunk_num.store(0);
    m_point_chunk_lock.clear();
    m_point_next.store(0);

    m_point_free.release();
    m_view_id_next.store(0);
    m_view_id_free.release();
}

}  // namespace fusion
