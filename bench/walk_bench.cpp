// The neighbourhood walks on their own, one thread, on a model as the
// sweeps leave it. They are most of a frame's first stage, so this is where
// a change to the walk, the quality code or the record layout shows first,
// measured without the team, the pool and the other agents' load in the way
// (thread processor time).
//
// BM_Walks/<load>: the first 100 frames of the load are fused (blocking);
// the centres are the stored records that frame 100's points fall on, in
// frame order, each once, as that frame's first stage would meet them.
//   grade_ns_med         per centre: the grading walk and the quality code
//   confirm_ns_med       per centre: the confirming walk
//   positions_ns_med     per centre: the position walk (normal estimation)
//   cached_*_ns_med      the same walks through a BlockCache kept over the
//                        frame's centres, as a stage's thread keeps one
//   centres, neighbours  centres walked; facing neighbours per grading walk
// Medians over 7 passes; the model is not changed.

#include <ctime>
#include <memory>
#include <unordered_set>
#include <vector>

#include "BenchSupport.h"
#include "Sweeps.h"
#include "frame/NeighbourhoodScan.h"
#include "volume/SharedFields.h"

namespace {

using kelvane_bench::Density;
using kelvane_bench::report;
using kelvane_bench::Samples;

const int kModelFrames = getenv("KELVANE_WALK_FRAMES") ? atoi(getenv("KELVANE_WALK_FRAMES")) : 100;
constexpr int kPasses = 7;

double threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

void BM_Walks(benchmark::State& state, Density density) {
    const auto& frames = kelvane_bench::sweep(density);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kelvane_bench::kSweepResolution);
        if (!engine || static_cast<int>(frames.size()) <= kModelFrames) {
            state.SkipWithError("init failed or too few frames");
            return;
        }
        double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        for (int i = 0; i < kModelFrames; ++i) {
            const auto& frame = frames[static_cast<std::size_t>(i)];
            engine->process(frame.points.data(), static_cast<int>(frame.points.size()), frame.views,
                            pose, true);
        }
        const fusion::Volume& volume = engine->volume();

        std::vector<fusion::FusionPoint*> centres;
        std::unordered_set<int32_t> seen;
        for (const fusion::PointData& p : frames[kModelFrames].points) {
            const fusion::FoundPoint found =
                volume.lookupPoint(fusion::voxelOf(p.position, volume.resolution()), p.normal);
            if (found && seen.insert(found.index).second) centres.push_back(found.record);
        }
        if (centres.empty()) {
            state.SkipWithError("no centre found");
            return;
        }

        const int32_t frame = engine->frameCounter() + 1;
        const float edge = volume.resolution();
        // Built once, as a frame's preparation does.
        const fusion::QualityGrader grader(volume.params(), volume.resolution());
        Samples grade_ns, confirm_ns, positions_ns;
        Samples cached_grade_ns, cached_confirm_ns, cached_positions_ns;
        double neighbours = 0;
        double sink = 0;
        double measured_ns = 0;
        // Thread processor time of `body`, per centre, into `out`.
        auto timed = [&](Samples& out, auto&& body) {
            const double t0 = threadCpuNs();
            body();
            const double ns = threadCpuNs() - t0;
            measured_ns += ns;
            out.add(ns / static_cast<double>(centres.size()));
        };
        // The three walks from every centre, each through what `with` hands
        // its body: the volume, or a cache made for the walk (timed too).
        auto walks = [&](auto&& with, Samples& grade, Samples& confirm, Samples& gather) {
            uint16_t counts[fusion::NeighbourList::kMax];
            static float positions[fusion::NeighbourList::kMax][3];
            fusion::NeighbourList listed;
            int total = 0, older = 0;
            uint32_t tag = 0;
            timed(grade, [&] {
                with([&](auto& where) {
                    neighbours = 0;
                    for (fusion::FusionPoint* centre : centres) {
                        fusion::collectGradingNeighbours(where, frame, *centre, edge, counts, total,
                                                         older, listed);
                        sink += grader.code(counts, total);
                        neighbours += total;
                    }
                });
            });
            timed(confirm, [&] {
                with([&](auto& where) {
                    for (fusion::FusionPoint* centre : centres) {
                        fusion::countConfirmingNeighbours(where, frame, *centre, total, older, tag,
                                                          listed);
                        sink += older + tag;
                    }
                });
            });
            timed(gather, [&] {
                with([&](auto& where) {
                    for (fusion::FusionPoint* centre : centres) {
                        fusion::collectNeighbourPositions(where, *centre, positions, total, 0);
                        sink += positions[0][0];
                    }
                });
            });
        };
        auto plain = [&](auto&& body) { body(volume); };
        auto cached = [&](auto&& body) {
            auto cache =
                std::make_unique<fusion::BlockCache>(volume, fusion::BlockCache::Mode::Frozen);
            body(*cache);
        };
        for (int pass = 0; pass < kPasses; ++pass) {
            walks(plain, grade_ns, confirm_ns, positions_ns);
            walks(cached, cached_grade_ns, cached_confirm_ns, cached_positions_ns);
        }
        benchmark::DoNotOptimize(sink);
        state.SetIterationTime(measured_ns / 1e9);
        report(state, "centres", static_cast<double>(centres.size()));
        report(state, "neighbours", neighbours / static_cast<double>(centres.size()));
        report(state, "grade_ns", grade_ns);
        report(state, "confirm_ns", confirm_ns);
        report(state, "positions_ns", positions_ns);
        report(state, "cached_grade_ns", cached_grade_ns);
        report(state, "cached_confirm_ns", cached_confirm_ns);
        report(state, "cached_positions_ns", cached_positions_ns);
        engine->deInit();
    }
}

BENCHMARK_CAPTURE(BM_Walks, dense, Density::Dense)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Walks, realistic, Density::Realistic)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
