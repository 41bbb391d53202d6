// Saving, loading, editing and seeding large models.
//
// Models are built from a gently waving sheet with one point per voxel at
// resolution 0.5 (BenchSupport.h), so the model holds as many records as
// points were given. Building them is not timed unless it is the subject.
//
// BM_SaveLoad/<points>: saveRealTimeBytesData of the model, then
// loadRealTimeBytesData_points of that stream into a second engine (format
// checks, clearing, parallel re-insertion and the extraction handed back).
//   save_ms_med/_p95, save_records_per_s, save_mb_per_s, save_vs_1s
//   load_ms_med/_p95, load_records_per_s, load_mb_per_s, load_faults_med/_p95
//   stream_mib    size of the stream
//
// BM_DeleteSelection/<selected>: deleteSelectedArea of a disc of <selected>
// live points on a 2,000,000-point model; the disc is built again, untimed,
// between rounds. 10,000 points stay in place (removal records reach the
// host); 200,000 exceed the update batch and take the rebuild path (the whole
// store is compacted).
//   delete_ms_med/_p95, removal_records (0 on the rebuild path),
//   live_after    live points after the first round
//
// BM_BuildFromPoints/<points>: buildByExistingPoints into an empty volume,
// then the extraction a host gets back with it.
//   build_ms_med/_p95, build_pts_per_s, extract_ms_med,
//   host_wait_ms_med (both), vs_3s (host wait over a few seconds),
//   build_faults_med/_p95 and extract_faults_med: minor page faults, the
//   first touch of zero pages (hash buckets scattered over the reserved
//   table, fresh voxel and point chunks, the host's fresh output array)
//
// BM_DataOrganize/<fine points>: dataOrganize on a 1,000,000-point model of
// which <fine points> were marked for fine scanning (level 32), which lays
// placeholders around each of them; the model is rebuilt between rounds.
//   organize_ms_med/_p95, records_added (markers placed by the pass)

#include "BenchSupport.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::discOf;
using kelvane_bench::mib;
using kelvane_bench::msSince;
using kelvane_bench::report;
using kelvane_bench::Samples;

constexpr float kResolution = 0.5f;

void BM_SaveLoad(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    constexpr int kSaves = 5, kLoads = 3;
    const auto sheet = kelvane_bench::sheetPoints(points, kResolution);
    for (auto _ : state) {
        auto source = kelvane_bench::makeEngine(kResolution);
        auto target = kelvane_bench::makeEngine(kResolution);
        if (!source || !target || source->buildByExistingPoints(sheet.data(), points) != 0) {
            state.SkipWithError("could not build the model");
            return;
        }
        Samples save_ms, load_ms, load_faults;
        std::shared_ptr<fusion::RealTimeByteStream> kept;
        for (int round = 0; round < kSaves; ++round) {
            auto stream = std::make_shared<fusion::RealTimeByteStream>();
            stream->data = nullptr;
            stream->size = 0;
            const auto t0 = Clock::now();
            const int status = source->saveRealTimeBytesData(stream);
            save_ms.add(msSince(t0));
            if (status != 0) {
                state.SkipWithError(("save failed: " + source->errorMessage()).c_str());
                return;
            }
            if (kept) delete[] kept->data;
            kept = stream;
        }
        for (int round = 0; round < kLoads; ++round) {
            fusion::Vertices* vertices = nullptr;
            int count = 0;
            const double faults0 = kelvane_bench::minorFaults();
            const auto t0 = Clock::now();
            const int status = target->loadRealTimeBytesData_points(kept, &vertices, count);
            load_ms.add(msSince(t0));
            load_faults.add(kelvane_bench::minorFaults() - faults0);
            delete[] vertices;
            if (status != 0) {
                delete[] kept->data;
                state.SkipWithError(("load failed: " + target->errorMessage()).c_str());
                return;
            }
        }
        const double records = (static_cast<double>(kept->size) - 152.0) / 48.0;
        const double megabytes = static_cast<double>(kept->size) / 1e6;
        state.SetIterationTime((save_ms.sum() + load_ms.sum()) / 1000.0);
        report(state, "save_ms", save_ms);
        report(state, "load_ms", load_ms);
        report(state, "records", records);
        report(state, "stream_mib", mib(static_cast<double>(kept->size)));
        report(state, "save_records_per_s", records / (save_ms.median() / 1000.0));
        report(state, "save_mb_per_s", megabytes / (save_ms.median() / 1000.0));
        report(state, "load_records_per_s", records / (load_ms.median() / 1000.0));
        report(state, "load_mb_per_s", megabytes / (load_ms.median() / 1000.0));
        report(state, "save_vs_1s", save_ms.median() / 1000.0);
        report(state, "load_faults", load_faults);
        delete[] kept->data;
    }
}
BENCHMARK(BM_SaveLoad)->Arg(2000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_DeleteSelection(benchmark::State& state) {
    const int selected = static_cast<int>(state.range(0));
    constexpr int kModelPoints = 2000000;
    const int rounds = selected > 50000 ? 3 : 7;
    const auto sheet = kelvane_bench::sheetPoints(kModelPoints, kResolution);
    const auto disc = discOf(sheet, selected);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine || engine->buildByExistingPoints(sheet.data(), kModelPoints) != 0) {
            state.SkipWithError("could not build the model");
            return;
        }
        Samples delete_ms;
        int removal_records = 0, live_after = 0;
        for (int round = 0; round < rounds; ++round) {
            kelvane_bench::drainUpdates(*engine);
            const auto t0 = Clock::now();
            const int status = engine->deleteSelectedArea(disc.data(), selected);
            delete_ms.add(msSince(t0));
            if (status != 0) {
                state.SkipWithError(("deletion failed: " + engine->errorMessage()).c_str());
                return;
            }
            if (round == 0) {
                removal_records = kelvane_bench::drainUpdates(*engine);
                live_after = kelvane_bench::liveVertexCount(*engine);
            }
            engine->buildByExistingPoints(disc.data(), selected);
        }
        state.SetIterationTime(delete_ms.sum() / 1000.0);
        report(state, "delete_ms", delete_ms);
        report(state, "removal_records", removal_records);
        report(state, "live_after", live_after);
    }
}
BENCHMARK(BM_DeleteSelection)
    ->Arg(10000)
    ->Arg(200000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_BuildFromPoints(benchmark::State& state) {
    const int points = static_cast<int>(state.range(0));
    constexpr int kRounds = 3;
    const auto sheet = kelvane_bench::sheetPoints(points, kResolution);
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        Samples build_ms, extract_ms, host_ms, build_faults, extract_faults;
        for (int round = 0; round < kRounds; ++round) {
            engine->reset();
            double faults0 = kelvane_bench::minorFaults();
            auto t0 = Clock::now();
            const int status = engine->buildByExistingPoints(sheet.data(), points);
            const double built = msSince(t0);
            build_faults.add(kelvane_bench::minorFaults() - faults0);
            if (status != 0) {
                state.SkipWithError(("build failed: " + engine->errorMessage()).c_str());
                return;
            }
            fusion::Vertices* vertices = nullptr;
            int count = 0;
            faults0 = kelvane_bench::minorFaults();
            t0 = Clock::now();
            engine->extractLivePoints(&vertices, count);
            const double extracted = msSince(t0);
            extract_faults.add(kelvane_bench::minorFaults() - faults0);
            delete[] vertices;
            build_ms.add(built);
            extract_ms.add(extracted);
            host_ms.add(built + extracted);
        }
        state.SetIterationTime(host_ms.sum() / 1000.0);
        report(state, "build_ms", build_ms);
        report(state, "extract_ms_med", extract_ms.median());
        report(state, "host_wait_ms", host_ms);
        report(state, "build_pts_per_s", points / (build_ms.median() / 1000.0));
        report(state, "vs_3s", host_ms.median() / 3000.0);
        // Round 1 builds into never-touched storage; later rounds reuse the
        // pages the reset kept, so the p95 shows the first-touch price.
        report(state, "build_faults", build_faults);
        report(state, "extract_faults_med", extract_faults.median());
    }
}
BENCHMARK(BM_BuildFromPoints)
    ->Arg(5000000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_DataOrganize(benchmark::State& state) {
    const int fine = static_cast<int>(state.range(0));
    constexpr int kModelPoints = 1000000;
    constexpr int kRounds = 3;
    const auto sheet = kelvane_bench::sheetPoints(kModelPoints, kResolution);
    auto selection = discOf(sheet, fine);
    for (auto& p : selection) p.attributes = 32;
    for (auto _ : state) {
        auto engine = kelvane_bench::makeEngine(kResolution);
        if (!engine) {
            state.SkipWithError("init failed");
            return;
        }
        Samples organize_ms;
        int32_t added = 0;
        for (int round = 0; round < kRounds; ++round) {
            engine->reset();
            engine->buildByExistingPoints(sheet.data(), kModelPoints);
            engine->setFineScanArea(selection.data(), fine);
            const int32_t before = engine->volume().points().nextIndex();
            const auto t0 = Clock::now();
            engine->dataOrganize();
            organize_ms.add(msSince(t0));
            added = engine->volume().points().nextIndex() - before;
        }
        state.SetIterationTime(organize_ms.sum() / 1000.0);
        report(state, "organize_ms", organize_ms);
        report(state, "records_added", added);
    }
}
BENCHMARK(BM_DataOrganize)
    ->Arg(250000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
