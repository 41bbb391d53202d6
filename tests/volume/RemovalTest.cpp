// Removing a record while a first stage names it (gives its first view id):
// the host, applying the naming before the removal, must end up with exactly
// the live vertices whatever the moment.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "edit/AreaDeletion.h"
#include "host/HostMirror.h"
#include "output/Extraction.h"
#include "support/TestSupport.h"
#include "volume/LayerMerging.h"
#include "volume/UpdateBuffer.h"
#include "volume/UpdateQueue.h"

namespace {

using namespace fusion_test;
using fusion::UpdateBuffer;

const float kPlusX[3] = {1.0f, 0.0f, 0.0f};

// Starts a namer inside the removal of `target` and gives it time to finish.
struct NamingDuringRemoval {
    Volume& volume;
    FusionPoint* target;
    UpdateBuffer& named;  // the first stage's records
    std::future<void> namer;
    int windows = 0;

    NamingDuringRemoval(Volume& v, FusionPoint* record, UpdateBuffer& out)
        : volume(v), target(record), named(out) {
        volume.setRemovalHook(&NamingDuringRemoval::hook, this);
    }
    ~NamingDuringRemoval() {
        volume.setRemovalHook(nullptr, nullptr);
        if (namer.valid()) namer.wait();
    }
    static void hook(void* context, FusionPoint& record) {
        auto* self = static_cast<NamingDuringRemoval*>(context);
        if (&record != self->target || self->namer.valid()) return;
        ++self->windows;
        self->namer = std::async(std::launch::async, [self] {
            fusion::emitVertexUpdate(self->volume.viewIds(), *self->target, 0, self->named);
        });
        (void)self->namer.wait_for(std::chrono::milliseconds(200));
    }
};

std::vector<Vertices> extracted(const Volume& volume) {
    Vertices* live = nullptr;
    int count = 0;
    fusion::extractLiveVertices(volume, &live, count);
    return adopt(live, count);
}

// The host, knowing `before`, applies the naming, then the removal.
kelvane_host::MirrorDiff hostView(Volume& volume, const std::vector<Vertices>& before,
                                  std::unique_ptr<UpdateBuffer> first,
                                  std::unique_ptr<UpdateBuffer> removals,
                                  kelvane_host::MirrorStats& stats) {
    fusion::UpdateQueue queue;
    queue.push(std::move(first));
    queue.push(std::move(removals));
    kelvane_host::HostMirror mirror;
    mirror.seed(before.data(), static_cast<int>(before.size()));
    Vertices* records = nullptr;
    int count = 0;
    if (queue.drain(&records, count) == 0) mirror.apply(records, count);
    delete[] records;
    stats = mirror.stats();
    const std::vector<Vertices> live = extracted(volume);
    return mirror.compare(live.data(), static_cast<int>(live.size()), 1e30f);
}

TEST(RemovalConcurrent, ARecordNamedWhileItIsRemovedLeavesTheHostExact) {
    for (const bool by_merging : {true, false}) {
        SCOPED_TRACE(by_merging ? "layer merging" : "deletion in place");
        TestVolume t(1.0f);
        Volume& volume = t.volume;
        // a (never named) fuses into b (known to the host) one voxel ahead.
        const FoundPoint a =
            place(volume, observation(0.45f, 0.0f, 0.0f, kPlusX[0], kPlusX[1], kPlusX[2]));
        ASSERT_TRUE(a);
        ASSERT_NE(putRecord(volume, 1.1f, 0.0f, 0.0f, kPlusX, 3), nullptr);
        const std::vector<Vertices> before = extracted(volume);
        auto named = UpdateBuffer::create(16, volume.viewIds());
        auto removals = UpdateBuffer::create(16, volume.viewIds());
        {
            NamingDuringRemoval window(volume, a.record, *named);
            if (by_merging) {
                ASSERT_TRUE(fusion::mergeLayers(volume, a.record, *removals).ok());
            } else {
                const PointData selected = makePoint(0.45f, 0.0f, 0.0f, 1, 0, 0);
                EXPECT_EQ(fusion::deleteSelection(volume, 1, &selected, 1, *removals).deleted, 1);
            }
            ASSERT_EQ(window.windows, 1) << "the removal reached its window";
        }
        EXPECT_EQ(a.record->observation_count, 0) << "a is gone";
        kelvane_host::MirrorStats stats;
        const kelvane_host::MirrorDiff diff =
            hostView(volume, before, std::move(named), std::move(removals), stats);
        EXPECT_TRUE(diff.sameVertices()) << diff.extra << " extra, " << diff.missing << " missing";
        EXPECT_EQ(stats.stray_removals, 0);
    }
}

}  // namespace
