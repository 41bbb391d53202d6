#pragma once

// The engine behind the public wrapper: settings, the sparse voxel volume,
// the worker pool, the queue of vertex updates and the last-error message.
// Internal: members are public so that tests can reach every stage.
//
// Storage scheme
//   m_hash_entries  hash_bucket_num ordered buckets, then the excess list.
//                   Reserved as zero pages; an all-zero entry is empty.
//   voxel chunks    block index B lives in chunk B >> chunk_block_shift at
//                   (B & (chunk_block_num-1)) * 512 + local index. Chunks are
//                   appended under m_voxel_chunk_lock; the table never moves.
//   point chunks    FusionPoint index i lives in chunk i >> chunk_point_shift
//                   at i & (chunk_point_num-1). Appended under
//                   m_point_chunk_lock (and m_point_free's lock when growth
//                   starts from allocatePoint's free-list path).
//   free lists      released point indices and view ids, each a stack with
//                   its own spin lock and an atomic count.
// Readers of the volume take no lock; writers of a voxel's sides and of the
// records they hold take that voxel's lock, one voxel at a time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ThreadPool.h"
#include "fusion/Kelvane.h"
#include "volume/Coordinates.h"
#include "volume/GlobalParams.h"
#include "volume/Records.h"
#include "volume/SpinLock.h"

namespace fusion {

// One batch of vertex updates produced by one stage of one frame. Owns its
// array (allocated with the library's non-throwing array new).
struct ViewUpdate {
    Vertices* updates = nullptr;
    std::atomic<int32_t> count{0};
    ViewUpdate() = default;
    ViewUpdate(const ViewUpdate&) = delete;
    ViewUpdate& operator=(const ViewUpdate&) = delete;
    ~ViewUpdate() { delete[] updates; }
};

// A stack of int32 values with its own lock and an atomic count; entries
// 0 .. count-1 are valid and taken from the top. Storage is reserved as zero
// pages, so a large capacity costs nothing until used.
struct IndexFreeList {
    int32_t* values = nullptr;
    int32_t capacity = 0;
    std::atomic<int32_t> count{0};
    SpinLock lock;

    bool reserve(int32_t entries);  // false when memory is lacking
    bool grow();                    // capacity * 1.5; false when it cannot
    void release();
};

// The facing neighbours a neighbourhood walk lists: at most the 125 voxels of
// the 5x5x5 cube, kept on the caller's stack.
struct NeighbourList {
    static constexpr int kMax = 125;
    FusionPoint* records[kMax];
    int32_t indices[kMax];
    int count = 0;
    void append(FusionPoint* record, int32_t index) noexcept {
        if (count < kMax) {
            records[count] = record;
            indices[count] = index;
            ++count;
        }
    }
};

// Per-stage update buffer: room for 3 * max_frame_point_num records.
struct UpdateBuffer {
    Vertices* records = nullptr;
    std::atomic<int32_t> count{0};
};

class HashTable {
public:
    HashTable();
    ~HashTable();
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    // ---- lifecycle and settings -------------------------------------------
    int init();
    int deInit();
    int reset();
    int setResolution(const float& resolution);
    int setDeviceInfo(const DeviceInfo& info);
    DeviceInfo getDeviceInfo() const { return m_device_info; }
    int setQualityJudge(const bool& judge);
    void setProcessFinishedCallback(std::function<void(int)> callback);
    std::string errorMessage() const { return m_error_message; }
    GlobalParams paramsCopy() const { return *m_global_params; }
    int deriveParams();
    // Polls every 100 ms until no frame is in the pipeline and no second
    // stage holds a slot (used by deInit, reset, loading and rebuilding).
    void waitUntilIdle(std::chrono::milliseconds poll = std::chrono::milliseconds(100));
    // Non-blocking frames whose second stage was skipped because every task
    // slot was taken, since the last init or reset.
    int droppedSecondStages() const { return m_dropped_second_stages.load(std::memory_order_relaxed); }
    // Processors minus two, or 16 when that leaves fewer than one.
    static int threadCountFor(int processors);

    // ---- frame pipeline ----------------------------------------------------
    int process(const PointData* points, const int& count,
                const std::vector<std::vector<int>>& views, double* pose, bool blocking);
    int runPipeline(const PointData* points, int count,
                    const std::vector<std::vector<int>>& views, bool blocking);
    void integrateFrame(const int32_t* frame_indices, int count);
    void integrateFrameTask(std::shared_ptr<std::vector<int32_t>> frame_indices, int count,
                            std::atomic<int32_t>* slot);
    // The second-stage step for one frame entry.
    void integrateFramePoint(int32_t index, Vertices* buffer, std::atomic<int32_t>& update_count);
    // Update-buffer capacity, 3 * max_frame_point_num records.
    int updateBufferCapacity() const;
    // The limit below which preparation still hands points on.
    int handOffLimit() const;

    // ---- volume: hash table and storage -----------------------------------
    // Finds the entry of block b, inserting it when absent; null when the
    // excess list is exhausted.
    HashEntry* findOrInsertBlock(const Int3& b);
    // Read-only: the block index of b, or -1 when absent or beyond the
    // allocated voxel chunks. Never inserts, never locks.
    int32_t findBlock(const Int3& b) const;
    // Voxel of block index `block`, growing the voxel chunks when needed;
    // null when memory runs out.
    Voxel* voxelAt(int32_t block, int32_t local);
    // Voxel of an existing chunk, or null when the block lies beyond them.
    Voxel* voxelIfAllocated(int32_t block, int32_t local) const;
    // The facing record of voxel coordinates c for normal n: 0 found, 1 not.
    // `voxel` is set whenever the voxel exists, even when no side faces n.
    int lookupPoint(const Int3& c, const float normal[3], FusionPoint*& record, Voxel*& voxel,
                    int32_t& index) const;
    int pickSide(const Voxel& voxel, const float normal[3], FusionPoint*& record,
                 int32_t& index) const;
    FusionPoint* pointAt(int32_t index) const;
    // Records below this bound are readable: min(m_point_next, allocated).
    int32_t readablePointCount() const;
    void clearVolume();

    // ---- volume: placement and bookkeeping --------------------------------
    int addObservation(const float position[3], const float normal[3], const FusionPoint& incoming,
                       int32_t& out_index, FusionPoint*& out_record);
    int integrateObservation(const float position[3], const Int3& c, const FusionPoint& incoming,
                             Voxel& voxel, int32_t& out_index, FusionPoint*& out_record);
    int addPlaceholder(const Int3& c, FusionPoint incoming);
    int32_t allocatePoint();
    int releaseIndex(IndexFreeList& list, int32_t value);
    int32_t getOrAllocateViewId(FusionPoint& record);
    void emitVertexUpdate(FusionPoint& record, int state, Vertices* buffer,
                          std::atomic<int32_t>& update_count);
    int markSubVoxel(const float position[3], const Int3& c, FusionPoint* record) const;
    static FusionPoint mergeObservation(const FusionPoint& stored, const FusionPoint& incoming);
    void propagateQuality(FusionPoint* centre, const NeighbourList& neighbours, float edge,
                          Vertices* buffer, std::atomic<int32_t>& update_count, int level);
    // Queues a finished buffer as a batch; true when it took ownership.
    bool pushUpdateBatch(Vertices* buffer, int32_t count);

    // ---- volume: layer merging ---------------------------------------------
    int mergeLayers(FusionPoint* record, Vertices* buffer, std::atomic<int32_t>& update_count);
    int mergeLayersQuiet(FusionPoint* record);

    // ---- frame preparation --------------------------------------------------
    void insertFramePoints(int32_t* frame_indices, int count, const PointData* points);
    int prepareGrouped(const PointData* points, int count,
                       const std::vector<std::vector<int>>& views, const int32_t* frame_indices,
                       Vertices* buffer, std::atomic<int32_t>& update_count);
    int gradePoint(FusionPoint* point, int32_t index, Vertices* buffer,
                   std::atomic<int32_t>& update_count);
    int preparePerPoint(int count, const int32_t* frame_indices, Vertices* buffer,
                        std::atomic<int32_t>& update_count);

    // ---- neighbourhood scan --------------------------------------------------
    // Confirming variant: total, current (replaced by the older count), frame
    // tag and the older neighbours.
    void countConfirmingNeighbours(const FusionPoint& centre, int& total, int& current,
                                   uint32_t& frame_tag, NeighbourList& older) const;
    // Grading variant: masks of every facing neighbour, older ones listed
    // according to the sub-voxel edge s.
    void collectGradingNeighbours(const FusionPoint& centre, float edge, uint64_t masks[125],
                                  int& total, int& current, NeighbourList& older) const;
    // Position variant: true when at least `minimum` neighbours were found.
    bool collectNeighbourPositions(const FusionPoint& centre, float positions[125][3], int& total,
                                   int minimum) const;
    static uint16_t computeQualityCode(const GlobalParams& params, const uint64_t* masks,
                                       int count, float size);

    // ---- normal estimation ---------------------------------------------------
    bool estimateFrameNormal(FusionPoint* point);
    bool reestimateNormal(FusionPoint* point, float out_normal[3]);

    // ---- reorganisation --------------------------------------------------------
    int dataOrganize();

    // ---- output ------------------------------------------------------------------
    int extractLivePoints(PointRawData& out);
    int extractLivePoints(Vertices** out, int& count);
    int getVertexNum(int& count);
    int getRequiredMemoryForExtractData(unsigned long long& bytes) const;
    int getUpdateVertices(Vertices** out, int& count);
    int saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream);
    int loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                     Vertices** out, int& count);

    // ---- region editing ----------------------------------------------------------
    int deleteSelectedArea(const PointData* points, int count);
    int setFineScanArea(const PointData* points, int count);
    int setProtectedArea(const PointData* points, int count, bool unprotect);
    int buildByExistingPoints(const PointData* points, int count);

    // ---- members, in the engine's declared order ---------------------------------
    std::function<void(int)> m_process_finished_callback;
    std::atomic<bool> m_processing{false};
    std::string m_error_message = "no error msg !";
    std::unique_ptr<ThreadPool> m_thread_pool;
    DeviceInfo m_device_info{};
    // 1 while a queued or running second stage holds the slot. Atomic because
    // deInit and reset poll the slots without m_mutex.
    std::unique_ptr<std::atomic<int32_t>[]> m_task_slots;
    std::deque<std::shared_ptr<ViewUpdate>> m_view_updates;  // guarded by m_view_updates_lock
    SpinLock m_view_updates_lock;
    bool m_is_init = false;

    HashEntry* m_hash_entries = nullptr;
    std::size_t m_hash_entry_total = 0;  // buckets + excess entries
    // Entry index of each block, so clearing touches only used entries.
    int32_t* m_block_entries = nullptr;
    std::atomic<int32_t> m_block_count{0};
    std::atomic<int32_t> cur_ExcessHash_Index{0};

    Voxel** m_voxel_chunks = nullptr;  // voxel_chunk_max slots
    std::atomic<int32_t> m_voxel_chunk_num{0};
    SpinLock m_voxel_chunk_lock;

    FusionPoint** m_point_chunks = nullptr;  // point_chunk_max slots
    std::atomic<int32_t> m_point_chunk_num{0};
    SpinLock m_point_chunk_lock;
    std::atomic<int32_t> m_point_next{0};

    IndexFreeList m_point_free;
    std::atomic<int32_t> m_view_id_next{0};
    IndexFreeList m_view_id_free;

    float m_resolution = 0.5f;
    bool m_quality_judge = true;
    int32_t m_frame_counter = 0;
    int32_t m_task_num = 0;  // guarded by m_mutex
    std::atomic<int32_t> m_dropped_second_stages{0};
    int32_t m_thread_num = 16;
    std::mutex m_mutex;  // guards m_task_num and taking/freeing m_task_slots
    std::unique_ptr<GlobalParams> m_global_params;
    bool m_blocking_frame = false;
    bool m_resolution_given = false;
    bool m_device_info_given = false;

    // Parameters used by the next init; tests shrink them to exercise limits.
    // Defaults to the standard block.
    std::unique_ptr<GlobalParams> m_init_params_override;

private:
    void releaseStorage();
    bool allocateStorage();
    bool appendVoxelChunk();
    bool appendPointChunk();
    std::size_t voxelChunkBytes() const;
    std::size_t pointChunkBytes() const;
};

}  // namespace fusion
