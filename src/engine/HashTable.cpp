#include "engine/HashTable.h"

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "edit/AreaDeletion.h"
#include "edit/AreaMarks.h"
#include "edit/BuildFromPoints.h"
#include "engine/FixedTeams.h"
#include "frame/Reorganisation.h"
#include "fusion/kelvane_status.h"
#include "output/Extraction.h"
#include "output/Snapshot.h"
#include "platform/platform.h"

namespace fusion {

namespace {

using status::kInvalidArgument;
constexpr int kAllocationFailed = status::kOutOfMemory;
constexpr const char* kNotInit = KELVANE_MSG_NOT_INIT;
constexpr const char* kNoError = KELVANE_MSG_NO_ERROR;

// Processors minus two, or 16 when that leaves fewer than one: the host
// keeps two cores for itself, and a small machine still gets a full team.
int threadCountFor(int processors) {
    const int count = processors - 2;
    return count < 1 ? 16 : count;
}

// The loops are bound by computation: a team larger than the processors
// only adds switching. Slots and pool workers keep the thread count. A build
// without OpenMP runs every loop on the calling thread, which makes a run
// reproducible bit for bit, unless a thread count was asked for (tests of
// the frame team in such builds, ThreadSanitizer's among them).
int teamSizeFor(int threads, bool asked) {
#ifdef _OPENMP
    (void)asked;
    return std::max(1, std::min(threads, omp_get_num_procs()));
#else
    if (!asked) return 1;
    const int processors = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    return std::max(1, std::min(threads, processors));
#endif
}

}  // namespace

HashTable::HashTable() = default;

HashTable::~HashTable() {
    if (m_is_init) deInit();
    // A failed init may have left part of the storage behind.
    releaseAll();
}

void HashTable::setInitParams(const GlobalParams& params) {
    m_init_params.reset(new GlobalParams(params));
}

// ---- init / deInit / reset ------------------------------------------------------

int HashTable::init() {
    if (m_is_init) return 0;
    try {
#ifdef _OPENMP
        m_thread_num = threadCountFor(omp_get_num_procs());
#else
        m_thread_num = threadCountFor(static_cast<int>(std::thread::hardware_concurrency()));
#endif
        if (m_init_threads > 0) m_thread_num = m_init_threads;
        m_team_size = teamSizeFor(m_thread_num, m_init_threads > 0);
#ifdef _OPENMP
        // The host thread's default team; the engine's own loops name theirs.
        omp_set_num_threads(m_thread_num);
#endif
        m_task_slots.allocate(m_thread_num);
        if (!m_volume.allocate(m_init_params ? *m_init_params : defaultGlobalParams())) {
            releaseAll();
            return kAllocationFailed;
        }
        m_thread_pool.reset(new ThreadPool(static_cast<uint16_t>(m_thread_num)));
        m_frame_team.reset(new FrameTeam(m_team_size - 1));

        m_processing.store(false);
        m_volume.setResolution(0.5f);
        m_frame_counter = 0;
        m_last_frame_blocking = false;
        m_resolution_given = false;
        m_device_info_given = false;
        m_is_init = true;
        m_error_message.set(kNoError);
        return 0;
    } catch (...) {
        releaseAll();
        return 1;
    }
}

void HashTable::releaseAll() {
    m_frame_team.reset();
    m_thread_pool.reset();
    m_volume.release();
    m_task_slots.release();
}

void HashTable::waitUntilIdle(std::chrono::milliseconds poll) {
    while (m_processing.load(std::memory_order_acquire)) std::this_thread::sleep_for(poll);
    m_task_slots.waitUntilFree(poll);
}

void HashTable::waitForPendingWork() {
    if (!m_is_init) return;
    waitUntilIdle(std::chrono::milliseconds(1));
    publishSecondStages();
}

int HashTable::deInit() {
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    try {
        waitUntilIdle();
        m_processing.store(false);
        m_view_updates.clear();
        // Every queued task held a slot we waited for, so the pool's queue is
        // empty and stopping it loses nothing.
        releaseAll();
        m_last_frame_blocking = false;
        m_resolution_given = false;
        m_device_info_given = false;
        m_is_init = false;
        return 0;
    } catch (...) {
        return 1;
    }
}

void HashTable::clearAfterIdle() {
    waitUntilIdle();
    m_view_updates.clear();
    m_volume.clear();
}

int HashTable::reset() {
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    try {
        clearAfterIdle();
        m_task_slots.resetDropped();
        m_error_message.set(kNoError);
        return 0;
    } catch (...) {
        return 1;
    }
}

// ---- settings ---------------------------------------------------------------------

int HashTable::setResolution(const float& resolution) {
    m_volume.setResolution(resolution);
    m_resolution_given = true;
    if (m_device_info_given) m_volume.deriveParams(m_device_info);
    return 0;
}

int HashTable::setDeviceInfo(const DeviceInfo& info) {
    m_device_info = info;
    m_device_info_given = true;
    if (m_resolution_given) m_volume.deriveParams(m_device_info);
    return 0;
}

int HashTable::setQualityJudge(const bool& judge) {
    m_quality_judge = judge;
    return 0;
}

void HashTable::setProcessFinishedCallback(std::function<void(int)> callback) {
    if (!callback) {
        m_process_finished_callback.reset();
        return;
    }
    // Lack of memory for the holder leaves no callback rather than the old
    // one, whose captures the host may be about to release.
    std::shared_ptr<std::function<void(int)>> held;
    try {
        held = std::make_shared<std::function<void(int)>>(std::move(callback));
    } catch (const std::bad_alloc&) {
    }
    m_process_finished_callback = std::move(held);
}

PlacementRules HashTable::placementRules(bool blocking_frame) const {
    PlacementRules rules;
    rules.mark_sub_cells = m_quality_judge;
    rules.point_spacing = m_device_info.point_spacing;
    rules.blocking_frame = blocking_frame;
    return rules;
}

// ---- reading ------------------------------------------------------------------------

int HashTable::extractLivePoints(PointRawData& out) {
    const FixedTeams fixed_teams;
    if (!m_is_init) return 1;
    return fusion::extractLivePoints(m_volume, out, m_team_size);
}

int HashTable::extractLivePoints(Vertices** out, int& count) {
    const FixedTeams fixed_teams;
    if (!m_is_init) return 1;
    const Outcome result = extractLiveVertices(m_volume, out, count, m_team_size);
    if (result.message != nullptr) m_error_message.set(result.message);
    return result.status;
}

int HashTable::getVertexNum(int& count) {
    if (!m_is_init) {
        m_error_message.set(KELVANE_MSG_NO_INIT_TIGHT);
        return 1;
    }
    // Ids are recycled, never returned, so this bounds every id handed out:
    // the size of a host table indexed by view id.
    count = m_volume.viewIds().next();
    return 0;
}

int HashTable::getRequiredMemoryForExtractData(unsigned long long& bytes) const {
    bytes = requiredExtractionBytes(m_volume);
    return 0;
}

int HashTable::getUpdateVertices(Vertices** out, int& count) {
    // A drain may come from another thread while a frame runs, and must not
    // wait for the frame: finished second stages are queued here only when
    // the host's thread is producing nothing (otherwise the frame queues
    // them when its first stage ends), and the drain itself holds nothing
    // but the queue's lock.
    {
        std::unique_lock<std::mutex> quiet(m_host_updates_lock, std::try_to_lock);
        if (quiet.owns_lock()) m_view_updates.publishDeferred();
    }
    return m_view_updates.drain(out, count);
}

int HashTable::saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream) {
    const FixedTeams fixed_teams;
    if (!stream) {
        m_error_message.set(KELVANE_MSG_NO_STREAM);
        return kInvalidArgument;
    }
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    try {
        const Outcome result = saveSnapshot(m_volume, m_team_size, *stream);
        if (result.message != nullptr) m_error_message.set(result.message);
        return result.status;
    } catch (...) {
        delete[] stream->data;
        stream->data = nullptr;
        stream->size = 0;
        m_error_message.set(KELVANE_MSG_SAVE_EXCEPTION);
        return kInvalidArgument;
    }
}

int HashTable::loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                            Vertices** out, int& count) {
    const FixedTeams fixed_teams;
    if (!stream || stream->size == 0 || stream->data == nullptr) {
        m_error_message.set(KELVANE_MSG_NO_STREAM);
        return kInvalidArgument;
    }
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    snapshot::StreamHeader header;
    try {
        const Outcome valid = validateSnapshot(stream.get(), header);
        if (!valid.ok()) {
            m_error_message.set(valid.message);
            return valid.status;
        }
    } catch (...) {
        m_error_message.set(KELVANE_MSG_LOAD_EXCEPTION);
        return kInvalidArgument;
    }

    // From here on the previous volume is gone. Wait before changing the
    // resolution, so a frame still inside the pipeline never sees it switch.
    waitUntilIdle();
    m_volume.setResolution(header.resolution);
    clearAfterIdle();
    // Grown before the parallel insertion, so threads never queue on the
    // growth lock.
    if (!m_volume.points().reserveRecords(header.load_count)) {
        m_error_message.set(KELVANE_MSG_NO_MEMORY);
        return kAllocationFailed;
    }
    loadSnapshotRecords(m_volume, placementRules(m_last_frame_blocking), m_team_size, stream->data,
                        header);
    m_error_message.set(kNoError);
    return extractLivePoints(out, count);
}

// ---- editing ------------------------------------------------------------------------

int HashTable::dataOrganize() {
    const FixedTeams fixed_teams;
    if (!m_is_init) return 0;
    const char* failure = fusion::dataOrganize(m_volume, m_team_size);
    if (failure != nullptr) m_error_message.set(failure);
    return 0;
}

int HashTable::deleteSelectedArea(const PointData* points, int count) {
    const FixedTeams fixed_teams;
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    if (points == nullptr || count < 1) return 1;
    std::unique_ptr<UpdateBuffer> removals = newUpdateBuffer();
    if (!removals) return 1;

    // A second stage still changing a selected point would report the change
    // after the removal and bring the point back on the host's side: the
    // stages finish first, and their records go out before the removals.
    waitUntilIdle(std::chrono::milliseconds(1));
    Deletion deletion;
    {
        std::lock_guard<std::mutex> producing(m_host_updates_lock);
        m_view_updates.publishDeferred();
        deletion = deleteSelection(m_volume, m_team_size, points, count, *removals);
        if (!deletion.compact) m_view_updates.push(std::move(removals));
    }
    if (deletion.deleted == 0 || !deletion.compact) return 0;

    // Compaction: the remaining records are copied aside, the volume is
    // cleared and they are put back without holes; the host re-reads the
    // cloud, as ids are handed out afresh.
    try {
        std::unique_ptr<RecordCopy> copy = copyRemainingRecords(m_volume, m_team_size);
        if (!copy) return 1;
        clearAfterIdle();
        reinsertRemainingRecords(m_volume, placementRules(m_last_frame_blocking), m_team_size,
                                 *copy);
        m_error_message.set(kNoError);
        return 0;
    } catch (...) {
        return 1;
    }
}

int HashTable::setFineScanArea(const PointData* points, int count) {
    const FixedTeams fixed_teams;
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    return markArea(m_volume, m_team_size, points, count, AreaKind::FineScan);
}

int HashTable::setProtectedArea(const PointData* points, int count, bool unprotect) {
    const FixedTeams fixed_teams;
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    return markArea(m_volume, m_team_size, points, count,
                    unprotect ? AreaKind::Unprotect : AreaKind::Protect);
}

int HashTable::buildByExistingPoints(const PointData* points, int count) {
    const FixedTeams fixed_teams;
    if (!m_is_init) {
        m_error_message.set(kNotInit);
        return 1;
    }
    if (points == nullptr || count < 1) return 1;
    // The whole build counts as one frame: intake of the next real frame
    // then lists the built records afresh.
    ++m_frame_counter;
    buildFromPoints(m_volume, placementRules(m_last_frame_blocking), m_team_size, points, count);
    return 0;
}

}  // namespace fusion
