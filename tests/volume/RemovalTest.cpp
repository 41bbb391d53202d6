// Removing a record while another thread names it. A first stage names the
// records it grades (their first view id) while the second stage of an
// earlier frame may be absorbing the same records, and the host applies the
// first stage's records before the second stage's. Whatever the moment the
// name is given, the host's table must end up holding exactly the live
// vertices: a name given before the removal is reported by it, a name
// asked for after it is refused.

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

// Lets a namer thread act inside the removal of `target`: the namer is
// started there and given time to finish before the removal goes on. With
// the removal's locks holding it back the namer finishes only afterwards.
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

// The host, knowing `before`, applies the first stage's records, then the
// removal's.
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
        // a (never named) at x = 0.45 and b (known to the host) one voxel
        // ahead at 0.65 with three observations fuse into b's voxel: a goes.
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
