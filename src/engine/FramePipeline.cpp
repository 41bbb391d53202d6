// process() and its stages: the first stage (intake, confirmation, grading)
// on the host's thread, the second stage (normals, layer merging) either on
// the host's thread (blocking frames) or queued to the pool.

#include <algorithm>
#include <memory>
#include <vector>

#include "engine/HashTable.h"
#include "frame/FrameIntake.h"
#include "frame/NormalEstimation.h"
#include "fusion/kelvane_status.h"
#include "platform/platform.h"
#include "volume/LayerMerging.h"
#include "volume/LoopShares.h"
#include "volume/SharedFields.h"

namespace fusion {

namespace {

// Frame entries a team member integrates at a time in a blocking frame.
constexpr int kSecondStageChunk = 128;

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

// Raises the thread that runs a frame for as long as the frame runs. Back at
// its own priority before the callback and between frames: threads the
// host starts later (its OpenMP team's among them) would otherwise inherit
// the raise.
class RaisedForTheFrame {
public:
    RaisedForTheFrame() : m_own(platform::currentThreadPriority()) {
        platform::raiseCurrentThreadPriority();
    }
    ~RaisedForTheFrame() { platform::setCurrentThreadPriority(m_own); }
    RaisedForTheFrame(const RaisedForTheFrame&) = delete;
    RaisedForTheFrame& operator=(const RaisedForTheFrame&) = delete;

private:
    platform::ThreadPriority m_own;
};

// Gives a second stage's slot back when the stage ends, whichever way.
class SlotRelease {
public:
    SlotRelease(SecondStageSlots& slots, int slot) : m_slots(slots), m_slot(slot) {}
    ~SlotRelease() { m_slots.give(m_slot); }
    SlotRelease(const SlotRelease&) = delete;
    SlotRelease& operator=(const SlotRelease&) = delete;

private:
    SecondStageSlots& m_slots;
    int m_slot;
};

}  // namespace

int HashTable::process(const PointData* points, const int& count,
                       const std::vector<std::vector<int>>& views, double* pose, bool blocking) {
    if (!m_is_init) {
        m_error_message.set(KELVANE_MSG_NO_INIT);
        return 1;
    }
    // The pose is required but not applied: points are fused where they are.
    if (points == nullptr || count < 1 || count >= m_volume.params().max_frame_point_num ||
        pose == nullptr) {
        m_error_message.set(KELVANE_MSG_INVALID_DATA);
        return 1;
    }

    // The stored callable itself runs (a callable that keeps state keeps it
    // from frame to frame), held by a second reference for the call: once
    // the in-progress flag drops, another thread's deInit may go on to
    // destroy the engine, and the callable may replace itself through
    // setProcessFinishedCallback; either leaves this call's callable alive.
    // Sharing the reference allocates nothing.
    const std::shared_ptr<std::function<void(int)>> callback = m_process_finished_callback;
    int result = 1;
    {
        ProcessingScope scope(m_processing);
        try {
            result = runPipeline(points, count, views, blocking);
        } catch (...) {
            m_error_message.set(KELVANE_MSG_PROCESS_EXCEPTION);
            return 1;
        }
    }
    if (callback) (*callback)(result);
    return result;
}

std::unique_ptr<UpdateBuffer> HashTable::newUpdateBuffer() {
    return UpdateBuffer::create(3 * m_volume.params().max_frame_point_num, m_volume.viewIds());
}

int HashTable::runPipeline(const PointData* points, int count,
                           const std::vector<std::vector<int>>& views, bool blocking) {
    if (m_volume.params().fusion_enabled == 0) return 0;

    const RaisedForTheFrame raised;
    ++m_frame_counter;
    m_last_frame_blocking = blocking;  // what later edits obey

    std::vector<int32_t> frame_indices(static_cast<std::size_t>(count));
    {
        std::lock_guard<std::mutex> producing(m_host_updates_lock);
        // Second stages that finished before this frame come first.
        m_view_updates.publishDeferred();
        insertFramePoints(m_volume, placementRules(blocking), m_frame_counter, frameTeam(), points,
                          count, frame_indices.data());

        // Lack of memory costs this frame its grading, not the host an
        // exception; the points stay stored as inserted.
        std::unique_ptr<UpdateBuffer> updates = newUpdateBuffer();
        if (!updates) return 1;
        const FrameStage stage{m_volume, m_frame_counter, m_quality_judge, frameTeam(), *updates};
        if (blocking) {
            preparePerPoint(stage, count, frame_indices.data());
            updates->discard();  // a blocking frame reports no updates of its own
        } else {
            prepareGrouped(stage, points, count, views, frame_indices.data());
        }
        m_view_updates.push(std::move(updates));
        // Those that finished meanwhile follow this frame's records.
        m_view_updates.publishDeferred();
    }

    if (blocking) {
        integrateFrame(frame_indices.data(), count);
        return 0;
    }

    // The second stage runs on the pool after process() has returned. At
    // most m_thread_num of them may be queued or running; a frame that finds
    // every slot taken keeps its first-stage results and skips the rest
    // rather than making the host wait.
    if (!m_thread_pool) return 0;
    const int slot = m_task_slots.take();
    if (slot < 0) return 0;
    try {
        auto indices = std::make_shared<std::vector<int32_t>>(std::move(frame_indices));
        (void)m_thread_pool->commit(
            [this, indices, slot]() { integrateFrameTask(*indices, slot); });
    } catch (...) {
        m_task_slots.give(slot);
        throw;
    }
    return 0;
}

void HashTable::integrateFrame(const int32_t* frame_indices, int count) {
    std::unique_ptr<UpdateBuffer> updates = newUpdateBuffer();
    if (!updates) return;
    // Nothing inserts a block while a blocking frame's second stage runs:
    // each member keeps a frozen cache.
    Team& team = frameTeam();
    LoopShares shares(count, team.size(), kSecondStageChunk);
    team.run([&](int member) {
        BlockCache cache(m_volume, BlockCache::Mode::Frozen);
        int begin = 0, end = 0;
        while (team.keepGoing(member) && shares.next(member, begin, end)) {
            for (int i = begin; i < end; ++i)
                integrateFramePoint(frame_indices[i], *updates, cache);
        }
    });
    // Dropped unqueued: a blocking frame reports nothing to the host.
}

void HashTable::integrateFrameTask(const std::vector<int32_t>& frame_indices, int slot) {
    SlotRelease release(m_task_slots, slot);
    std::lock_guard<std::mutex> one_at_a_time(m_second_stage_lock);
    // While the stage runs it has a processor: the frame team's helpers
    // leave it alone.
    struct Running {
        FrameTeam* team;
        explicit Running(FrameTeam* t) : team(t) {
            if (team != nullptr) team->stageStarted();
        }
        ~Running() {
            if (team != nullptr) team->stageEnded();
        }
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;
    } running(m_frame_team.get());
    std::unique_ptr<UpdateBuffer> updates = newUpdateBuffer();
    if (!updates) return;
    // Later frames may insert while this stage runs: a live cache.
    BlockCache cache(m_volume, BlockCache::Mode::Live);
    for (const int32_t index : frame_indices) integrateFramePoint(index, *updates, cache);
    m_view_updates.pushDeferred(std::move(updates));
}

Team& HashTable::frameTeam() {
    static SoloTeam solo;  // only before init, which process() refuses anyway
    return m_frame_team ? static_cast<Team&>(*m_frame_team) : solo;
}

void HashTable::publishSecondStages() {
    std::lock_guard<std::mutex> quiet(m_host_updates_lock);
    m_view_updates.publishDeferred();
}

void HashTable::integrateFramePoint(int32_t index, UpdateBuffer& updates, BlockCache& cache) {
    if (index < 0 || index >= m_volume.readablePointCount()) return;
    FusionPoint* point = m_volume.pointAt(index);
    // Flags read untorn: the next frame's first stage may be setting them.
    if (relaxedLoad(point->protected_flag) == 1 || relaxedLoad(point->confirmed_flag) == 0) return;
    // Layers are merged only after the normal estimate asked for it, and
    // never at the finest resolutions.
    if (!estimateFrameNormal(cache, point) || static_cast<double>(m_volume.resolution()) <= 0.028)
        return;
    const Outcome merged = mergeLayers(m_volume, point, updates, &cache);
    if (merged.message != nullptr) m_error_message.set(merged.message);
}

}  // namespace fusion
