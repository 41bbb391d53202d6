#pragma once

// The engine behind the public wrapper: it owns the settings, the volume,
// the worker pool, the second-stage slots, the queue of vertex updates, the
// process-finished callback and the last message, and runs every public
// operation by calling the algorithms of the layers below on its volume.
//
// Threads: every operation is called from the host's thread (one at a
// time); deInit and reset may also come from another thread while a frame
// runs and wait for it, and getUpdateVertices (with getVertexNum) from one
// other thread at any time between init and deInit. Second stages of
// non-blocking frames run on the pool and touch only the volume, the update
// queue, the slots and the message.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineMessage.h"
#include "engine/FrameTeam.h"
#include "engine/SecondStageSlots.h"
#include "engine/ThreadPool.h"
#include "fusion/Kelvane.h"
#include "fusion/kelvane_status.h"
#include "volume/BlockCache.h"
#include "volume/GlobalParams.h"
#include "volume/Placement.h"
#include "volume/UpdateQueue.h"
#include "volume/Volume.h"

namespace fusion {

class HashTable {
public:
    HashTable();
    ~HashTable();
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    // ---- lifecycle and settings ---------------------------------------------
    int init();
    int deInit();
    int reset();
    int setResolution(const float& resolution);
    int setDeviceInfo(const DeviceInfo& info);
    DeviceInfo getDeviceInfo() const { return m_device_info; }
    int setQualityJudge(const bool& judge);
    void setProcessFinishedCallback(std::function<void(int)> callback);
    std::string errorMessage() const { return m_error_message.get(); }
    GlobalParams paramsCopy() const { return m_volume.params(); }
    bool isInit() const { return m_is_init; }
    float resolution() const { return m_volume.resolution(); }

    // ---- frames ---------------------------------------------------------------
    int process(const PointData* points, const int& count,
                const std::vector<std::vector<int>>& views, double* pose, bool blocking);
    // Polls every `poll` until no frame is in the pipeline and no second
    // stage holds a slot (deInit, reset, loading and compaction wait so).
    void waitUntilIdle(std::chrono::milliseconds poll = std::chrono::milliseconds(100));
    // Waits like waitUntilIdle, polling briskly, then queues the update
    // records of the finished second stages for the next drain.
    void waitForPendingWork();
    int droppedSecondStages() const { return m_task_slots.dropped(); }

    // ---- reading ----------------------------------------------------------------
    int extractLivePoints(PointRawData& out);
    int extractLivePoints(Vertices** out, int& count);
    int getVertexNum(int& count);
    int getRequiredMemoryForExtractData(unsigned long long& bytes) const;
    int getUpdateVertices(Vertices** out, int& count);
    int saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream);
    int loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                     Vertices** out, int& count);

    // ---- editing ------------------------------------------------------------------
    int dataOrganize();
    int deleteSelectedArea(const PointData* points, int count);
    int setFineScanArea(const PointData* points, int count);
    int setProtectedArea(const PointData* points, int count, bool unprotect);
    int buildByExistingPoints(const PointData* points, int count);

    // ---- inspection, for tests, tools and benchmarks ------------------------------
    const Volume& volume() const { return m_volume; }
    int32_t frameCounter() const { return m_frame_counter; }
    int threadCount() const { return m_thread_num; }
    int queuedSecondStages() const { return m_task_slots.held(); }
    bool processing() const { return m_processing.load(std::memory_order_acquire); }
    bool updatesPending() const { return !m_view_updates.empty(); }
    ThreadPool* threadPool() { return m_thread_pool.get(); }
    // See Volume::setRemovalHook.
    void setRemovalHook(Volume::RemovalHook hook, void* context) {
        m_volume.setRemovalHook(hook, context);
    }
    // The parameter block the next init starts from (tests shrink the
    // volume with it); the defaults otherwise.
    void setInitParams(const GlobalParams& params);
    // The thread count (slots and pool; the team, up to the processors) the
    // next init uses instead of the processor rule; 0 restores the rule. For
    // comparing one thread with many.
    void setInitThreadCount(int threads) { m_init_threads = threads; }

private:
    // ---- frame pipeline (FramePipeline.cpp) ------------------------------------
    int runPipeline(const PointData* points, int count, const std::vector<std::vector<int>>& views,
                    bool blocking);
    void integrateFrame(const int32_t* frame_indices, int count);
    void integrateFrameTask(const std::vector<int32_t>& frame_indices, int slot);
    void integrateFramePoint(int32_t index, UpdateBuffer& updates, BlockCache& cache);
    Team& frameTeam();
    std::unique_ptr<UpdateBuffer> newUpdateBuffer();
    // Queues the records of finished second stages, once the host's thread
    // is not producing records itself.
    void publishSecondStages();

    // The placement settings of one call, built from the stored settings
    // and passed down explicitly: quality judging, the device's spacing, and
    // the frame mode fine-scan records obey (`blocking_frame`: the mode of
    // the frame being fused, or, for loads, compaction and builds, the mode
    // of the latest frame, m_last_frame_blocking).
    PlacementRules placementRules(bool blocking_frame) const;
    // Empties the volume and drops the waiting updates, after waiting for
    // every frame and stage (reset, loading, compaction).
    void clearAfterIdle();
    void releaseAll();

    // The process-finished callback, shared with a frame that is calling it.
    std::shared_ptr<std::function<void(int)>> m_process_finished_callback;
    std::atomic<bool> m_processing{false};  // a frame is inside the pipeline
    EngineMessage m_error_message{KELVANE_MSG_ENGINE_NEW};
    std::unique_ptr<ThreadPool> m_thread_pool;
    // The frame loops' team: the caller of process() and m_team_size - 1
    // helpers; created with the pool.
    std::unique_ptr<FrameTeam> m_frame_team;
    DeviceInfo m_device_info{};
    SecondStageSlots m_task_slots;
    UpdateQueue m_view_updates;
    // Update records reach the host in an order it can apply one by one
    // only if no two producers race on one point. So second stages run one
    // at a time (m_second_stage_lock), and their records are queued only
    // while the host's thread is not producing records of its own: a first
    // stage or an in-place deletion holds m_host_updates_lock, and so does
    // publishing. A removal then always follows the records written before
    // it, and an id it frees is reused only behind it.
    std::mutex m_second_stage_lock;
    std::mutex m_host_updates_lock;
    bool m_is_init = false;
    Volume m_volume;  // parameters, resolution, hash, voxels, points, view ids
    bool m_quality_judge = true;
    int32_t m_frame_counter = 0;
    int32_t m_thread_num = 16;           // task slots and pool workers
    int m_team_size = 1;                 // OpenMP team of the parallel loops
    bool m_last_frame_blocking = false;  // the blocking argument of the latest process
    bool m_resolution_given = false;
    bool m_device_info_given = false;
    std::unique_ptr<GlobalParams> m_init_params;
    int m_init_threads = 0;
};

}  // namespace fusion
