// How much of the per-point normal estimate is the eigen-decomposition. It
// calls the engine's internals, so it lives apart from the streaming
// benchmarks, which see only the public interface.
//
// BM_EigenVersusEstimate: on a model built from 10 sweep frames (the dense
// sphere), the 3x3 symmetric eigen-decomposition on real neighbourhood
// scatter matrices against the whole per-point estimate (neighbourhood
// gather, scatter, decomposition, acceptance), the latter on copies of the
// stored points so the model is not changed.
//   eigen_ns_med, estimate_ns_med (per call, medians over passes),
//   eigen_share = eigen / estimate

#include <array>
#include <cstring>

#include "BenchSupport.h"
#include "frame/EigenSolver.h"
#include "frame/NeighbourhoodScan.h"
#include "frame/NormalEstimation.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::msSince;
using kelvane_bench::report;
using kelvane_bench::Samples;

constexpr float kResolution = 0.5f;

// Scatter matrix of a neighbourhood, formed as the estimator forms it.
void scatterOf(const float (*positions)[3], int count, double scatter[9]) {
    double mean[3] = {0, 0, 0};
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) mean[k] += positions[i][k];
    for (double& m : mean) m /= count;
    double s[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < count; ++i) {
        const float d[3] = {static_cast<float>(positions[i][0] - mean[0]),
                            static_cast<float>(positions[i][1] - mean[1]),
                            static_cast<float>(positions[i][2] - mean[2])};
        s[0] += d[0] * d[0];
        s[1] += d[0] * d[1];
        s[2] += d[0] * d[2];
        s[3] += d[1] * d[1];
        s[4] += d[1] * d[2];
        s[5] += d[2] * d[2];
    }
    const double full[9] = {s[0], s[1], s[2], s[1], s[3], s[4], s[2], s[4], s[5]};
    std::memcpy(scatter, full, sizeof full);
}

void BM_EigenVersusEstimate(benchmark::State& state) {
    constexpr int kModelFrames = 10;
    constexpr int kPasses = 7;
    const auto& frames = kelvane_bench::sweepFrames(kModelFrames);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        for (int i = 0; i < kModelFrames; ++i)
            engine->buildByExistingPoints(frames[i].points.data(),
                                          static_cast<int>(frames[i].points.size()));

        // Stored points with a neighbourhood the estimator would use.
        std::vector<fusion::FusionPoint> points;
        std::vector<std::array<double, 9>> matrices;
        const fusion::Volume& volume = engine->volume();
        const int32_t stored = volume.readablePointCount();
        static float positions[fusion::NeighbourList::kMax][3];
        for (int32_t i = 0; i < stored && points.size() < 20000; ++i) {
            const fusion::FusionPoint* p = volume.pointAt(i);
            if (p == nullptr || p->observation_count == 0) continue;
            int total = 0;
            if (!fusion::collectNeighbourPositions(volume, *p, positions, total,
                                                   volume.params().normal_min_neighbours))
                continue;
            std::array<double, 9> m;
            scatterOf(positions, std::min(total, fusion::NeighbourList::kMax), m.data());
            matrices.push_back(m);
            points.push_back(*p);
        }
        if (points.empty()) {
            state.SkipWithError("no point has a usable neighbourhood");
            return;
        }

        Samples eigen_ns, estimate_ns;
        double sink = 0;
        double measured_ms = 0;
        for (int pass = 0; pass < kPasses; ++pass) {
            auto t0 = Clock::now();
            for (const auto& m : matrices) {
                double vectors[9], values[3];
                fusion::symmetricEigen3(m.data(), vectors, values);
                sink += vectors[8] + values[2];
            }
            double ms = msSince(t0);
            measured_ms += ms;
            eigen_ns.add(1e6 * ms / matrices.size());

            std::vector<fusion::FusionPoint> copies = points;
            for (auto& c : copies) {
                c.normal_update_count = 0;
                c.normal_fresh_flag = 0;
            }
            t0 = Clock::now();
            for (auto& c : copies) sink += fusion::estimateFrameNormal(volume, &c) ? 1 : 0;
            ms = msSince(t0);
            measured_ms += ms;
            estimate_ns.add(1e6 * ms / copies.size());
        }
        benchmark::DoNotOptimize(sink);
        state.SetIterationTime(measured_ms / 1000.0);
        report(state, "points", static_cast<double>(points.size()));
        report(state, "eigen_ns", eigen_ns);
        report(state, "estimate_ns", estimate_ns);
        report(state, "eigen_share", eigen_ns.median() / estimate_ns.median());
        engine->deInit();
    }
}
BENCHMARK(BM_EigenVersusEstimate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
