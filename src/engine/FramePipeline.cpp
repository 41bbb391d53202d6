#include <algorithm>
#include <memory>
#include <vector>

#include "engine/HashTable.h"
#include "platform/platform.h"
#include "volume/RelaxedAccess.h"

namespace fusion {
namespace {

// Marks a frame as inside the pipeline for as long as it lives, so the flag
// that deInit and reset wait on is cleared however the pipeline ends.
class ProcessingScope {
public:
    explicit ProcessingScope(std::atomic<bool>& flag) : m_flag(flag) {
        m_flag.store(true, std::memory_order_release);
    }
    ~ProcessingScope() { m_flag.store(false, std::memory_order_release); }
    ProcessingScope(const ProcessingScope&) = delete;
    ProcessingScope& operator=(const ProcessingScope&) = delete;

private:
    std::atomic<bool>& m_flag;
};

// Gives a second stage's task slot back when the task ends, whichever way.
class TaskSlotRelease {
public:
    TaskSlotRelease(std::mutex& mutex, int32_t& task_num, std::atomic<int32_t>* slot)
        : m_mutex(mutex), m_task_num(task_num), m_slot(slot) {}
    ~TaskSlotRelease() {
        std::lock_guard<std::mutex> guard(m_mutex);
        --m_task_num;
        if (m_slot != nullptr) m_slot->store(0, std::memory_order_release);
    }
    TaskSlotRelease(const TaskSlotRelease&) = delete;
    TaskSlotRelease& operator=(const TaskSlotRelease&) = delete;

private:
    std::mutex& m_mutex;
    int32_t& m_task_num;
    std::atomic<int32_t>* m_slot;
};

}  // namespace

int HashTable::process(const PointData* points, const int& count,
                       const std::vector<std::vector<int>>& views, double* pose, bool blocking) {
    if (!m_is_init) {
        m_error_message = "no init !";
        return 1;
    }
    // The pose is required but not applied: points are fused where they are.
    if (points == nullptr || count < 1 || count >= m_global_params->max_frame_point_num ||
        pose == nullptr) {
        m_error_message = "invalid data !";
        return 1;
    }

    int result = 1;
    try {
        ProcessingScope scope(m_processing);
        result = runPipeline(points, count, views, blocking);
    } catch (...) {
        m_error_message = "process try catch error !";
        return 1;
    }
    if (m_process_finished_callback) m_process_finished_callback(result);
    return result;
}

int HashTable::runPipeline(const PointData* points, int count,
                           const std::vector<std::vector<int>>& views, bool blocking) {
    if (m_global_params->fusion_enabled == 0) return 0;

    platform::raiseCurrentThreadPriority();
    ++m_frame_counter;
    m_blocking_frame = blocking;

    std::vector<int32_t> frame_indices(static_cast<std::size_t>(count));
    insertFramePoints(frame_indices.data(), count, points);

    // Lack of memory costs this frame its grading, not the host an exception;
    // the points stay stored as inserted.
    std::unique_ptr<Vertices[]> buffer(platform::tryNewArray<Vertices>(
        static_cast<std::size_t>(updateBufferCapacity())));
    if (!buffer) return 1;
    std::atomic<int32_t> update_count{0};
    if (blocking) {
        preparePerPoint(count, frame_indices.data(), buffer.get(), update_count);
        // A blocking frame reports no updates of its own.
        update_count.store(0);
    } else {
        prepareGrouped(points, count, views, frame_indices.data(), buffer.get(), update_count);
    }
    if (pushUpdateBatch(buffer.get(), update_count.load())) buffer.release();
    buffer.reset();

    if (blocking) {
        integrateFrame(frame_indices.data(), count);
        return 0;
    }

    // The second stage runs on the pool after process() has returned. At
    // most m_thread_num of them may be queued or running; a frame that finds
    // every slot taken keeps its first-stage results and skips the rest
    // rather than making the host wait.
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_task_slots || !m_thread_pool) return 0;
    if (m_task_num >= m_thread_num) {
        m_dropped_second_stages.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    std::atomic<int32_t>* slot = nullptr;
    for (int i = 0; i < m_thread_num; ++i) {
        if (m_task_slots[i].load(std::memory_order_acquire) == 0) {
            slot = &m_task_slots[i];
            break;
        }
    }
    if (slot == nullptr) {
        m_dropped_second_stages.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    // The slot is taken before the task is queued, so waiting on the slots
    // also waits for tasks that have not started yet.
    slot->store(1, std::memory_order_release);
    ++m_task_num;
    try {
        auto indices = std::make_shared<std::vector<int32_t>>(std::move(frame_indices));
        (void)m_thread_pool->commit(
            [this, indices, count, slot]() { integrateFrameTask(indices, count, slot); });
    } catch (...) {
        slot->store(0, std::memory_order_release);
        --m_task_num;
        throw;
    }
    return 0;
}

void HashTable::integrateFrame(const int32_t* frame_indices, int count) {
    std::unique_ptr<Vertices[]> buffer(platform::tryNewArray<Vertices>(
        static_cast<std::size_t>(updateBufferCapacity())));
    if (!buffer) return;
    std::atomic<int32_t> update_count{0};
#pragma omp parallel for schedule(static) num_threads(m_thread_num)
    for (int i = 0; i < count; ++i) {
        integrateFramePoint(frame_indices[i], buffer.get(), update_count);
    }
    // Dropped unqueued: a blocking frame reports nothing to the host.
}

void HashTable::integrateFrameTask(std::shared_ptr<std::vector<int32_t>> frame_indices, int count,
                                   std::atomic<int32_t>* slot) {
    TaskSlotRelease release(m_mutex, m_task_num, slot);
    std::unique_ptr<Vertices[]> buffer(platform::tryNewArray<Vertices>(
        static_cast<std::size_t>(updateBufferCapacity())));
    if (!buffer || !frame_indices) return;
    std::atomic<int32_t> update_count{0};
    const int entries = std::min(count, static_cast<int>(frame_indices->size()));
    for (int i = 0; i < entries; ++i) {
        integrateFramePoint((*frame_indices)[i], buffer.get(), update_count);
    }
    if (pushUpdateBatch(buffer.get(), update_count.load())) buffer.release();
}

void HashTable::integrateFramePoint(int32_t index, Vertices* buffer,
                                    std::atomic<int32_t>& update_count) {
    if (index < 0 || index >= readablePointCount()) return;
    FusionPoint* point = pointAt(index);
    // Flags read untorn: the next frame's first stage may be setting them.
    if (point == nullptr || relaxedLoad(point->protected_flag) == 1 ||
        relaxedLoad(point->confirmed_flag) == 0) {
        return;
    }
    // Layers are merged only after the normal estimate asked for it, and
    // never at the finest resolutions.
    if (estimateFrameNormal(point) && static_cast<double>(m_resolution) > 0.028) {
        mergeLayers(point, buffer, update_count);
    }
}

int HashTable::updateBufferCapacity() const { return 3 * m_global_params->max_frame_point_num; }

int HashTable::handOffLimit() const { return 3 * m_global_params->max_frame_point_num - 10; }

}  // namespace fusion
