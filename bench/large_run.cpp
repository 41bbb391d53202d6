// The large job, seen as a host sees it (public interface only): the wavy
// panel of the simulator scanned in a raster (kelvane_sim::panelSweep, 46,000
// points a frame 0.32 mm apart, half of each frame overlapping its
// neighbours), fused at resolution 0.5 with non-blocking frames paced at 15
// a second and the updates drained after every frame; then the whole-model
// operations on the result. Frames are generated between calls, outside the
// timed parts.
//
//   large_run [--size WxH] [--fps RATE] [--snapshot FILE] [--points FILE] [--out FILE]
//
// Prints, and writes as JSON with --out:
//   frame_ms_med/_p95          the host's wait in process() per frame
//   late_vs_early              median of the last 10 % of frames over the first 10 %
//   dropped                    second stages skipped (droppedSecondStages)
//   extract_vertices_ms        extractLivePoints into a Vertices array (median of 3;
//                              _first_ms the first call, which touches fresh pages)
//   extract_raw_ms             extractLivePoints into PointRawData (likewise)
//   save_ms, stream_mb         saveRealTimeBytesData (likewise) and the stream's size
//   load_ms                    loadRealTimeBytesData_points into a fresh engine
//   *_faults                   minor page faults of the first call of each
//   resident_mb, bytes_per_point   resident growth of the fused model, per live point
//   peak_resident_mb           the process's peak resident set
// --snapshot keeps the saved stream (for the Python timings of bench.sh),
// --points the input points as float32 x y z (for the batch peer).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "fusion/Kelvane.h"
#include "sim/Simulator.h"

namespace {

using kelvane_bench::Clock;
using kelvane_bench::msBetween;
using kelvane_bench::Samples;

struct Settings {
    float width = 2400.0f, height = 1200.0f;
    double fps = 15.0;
    std::string snapshot, points, out;
};

bool parse(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) return false;
        ++i;
        if (arg == "--size") {
            if (!kelvane_sim::parsePanelSize(value, s.width, s.height)) return false;
        } else if (arg == "--fps") {
            s.fps = std::atof(value);
        } else if (arg == "--snapshot") {
            s.snapshot = value;
        } else if (arg == "--points") {
            s.points = value;
        } else if (arg == "--out") {
            s.out = value;
        } else {
            return false;
        }
    }
    return true;
}

bool configure(fusion::Kelvane_Impl_Points& engine) {
    if (engine.init() != 0) return false;
    engine.setResolution(0.5f);
    fusion::DeviceInfo device{};
    device.point_spacing = 0.3f;
    device.frame_point_num = 60000;
    engine.setDeviceInfo(device);
    return true;
}

double peakResidentBytes() {
#if defined(__unix__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) return 1024.0 * static_cast<double>(usage.ru_maxrss);
#endif
    return 0;
}

template <class Call>
double timed(Call&& call) {
    const Clock::time_point start = Clock::now();
    call();
    return msBetween(start, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parse(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: large_run [--size WxH] [--fps RATE] [--snapshot FILE] "
                     "[--points FILE] [--out FILE]\n");
        return 1;
    }
    const kelvane_sim::SweepOptions options =
        kelvane_sim::panelSweep(settings.width, settings.height);
    const kelvane_sim::Scanner scanner(options);
    std::FILE* points_file = nullptr;
    if (!settings.points.empty()) {
        points_file = std::fopen(settings.points.c_str(), "wb");
        if (points_file == nullptr) {
            std::fprintf(stderr, "large_run: cannot write %s\n", settings.points.c_str());
            return 1;
        }
    }

    const double resident_before = kelvane_bench::residentBytesNow();
    auto engine = std::make_unique<fusion::Kelvane_Impl_Points>();
    if (!configure(*engine)) return 1;

    // The sweep, paced: frame i is due at i / fps after the start.
    Samples frame_ms;
    long long input_points = 0;
    kelvane_sim::Frame frame;
    std::vector<float> xyz;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < scanner.frameCount(); ++i) {
        scanner.frameAt(i, frame);
        if (points_file != nullptr) {
            xyz.resize(3 * frame.points.size());
            for (std::size_t k = 0; k < frame.points.size(); ++k)
                std::memcpy(&xyz[3 * k], frame.points[k].position, 3 * sizeof(float));
            std::fwrite(xyz.data(), sizeof(float), xyz.size(), points_file);
        }
        if (settings.fps > 0) {
            std::this_thread::sleep_until(start +
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(i / settings.fps)));
        }
        const int count = static_cast<int>(frame.points.size());
        input_points += count;
        const Clock::time_point before = Clock::now();
        engine->process(frame.points.data(), count, frame.views, frame.pose, false);
        frame_ms.add(msBetween(before, Clock::now()));
        fusion::Vertices* updates = nullptr;
        int drained = 0;
        engine->getUpdateVertices(&updates, drained);
        delete[] updates;
        if ((i + 1) % 100 == 0)
            std::fprintf(stderr, "large_run: frame %d/%d\n", i + 1, scanner.frameCount());
    }
    if (points_file != nullptr) std::fclose(points_file);
    engine->waitForPendingWork();
    {
        fusion::Vertices* updates = nullptr;
        int drained = 0;
        engine->getUpdateVertices(&updates, drained);
        delete[] updates;
    }
    const double resident_model = kelvane_bench::residentBytesNow() - resident_before;

    // Medians of the first and last tenth of the frames.
    const std::vector<double>& all = frame_ms.values();
    const std::size_t tenth = std::max<std::size_t>(1, all.size() / 10);
    Samples early, late;
    for (std::size_t k = 0; k < tenth && k < all.size(); ++k) {
        early.add(all[k]);
        late.add(all[all.size() - 1 - k]);
    }

    // Whole-model operations, three times each; faults of the first call.
    int live = 0;
    Samples extract_ms, raw_ms, save_ms;
    double extract_first = 0, raw_first = 0, save_first = 0;
    double extract_faults = 0, raw_faults = 0, save_faults = 0;
    double stream_bytes = 0;
    std::shared_ptr<fusion::RealTimeByteStream> kept;
    for (int round = 0; round < 3; ++round) {
        fusion::Vertices* vertices = nullptr;
        double faults = kelvane_bench::minorFaults();
        extract_ms.add(timed([&] { engine->extractLivePoints(&vertices, live); }));
        if (round == 0) extract_faults = kelvane_bench::minorFaults() - faults;
        if (round == 0) extract_first = extract_ms.values().back();
        delete[] vertices;

        fusion::PointRawData raw{};
        faults = kelvane_bench::minorFaults();
        raw_ms.add(timed([&] { engine->extractLivePoints(raw); }));
        if (round == 0) raw_faults = kelvane_bench::minorFaults() - faults;
        if (round == 0) raw_first = raw_ms.values().back();
        delete[] raw.positions;
        delete[] raw.normals;
        delete[] raw.attributes;

        auto stream = std::make_shared<fusion::RealTimeByteStream>();
        stream->data = nullptr;
        stream->size = 0;
        faults = kelvane_bench::minorFaults();
        save_ms.add(timed([&] { engine->saveRealTimeBytesData(stream); }));
        if (round == 0) save_faults = kelvane_bench::minorFaults() - faults;
        if (round == 0) save_first = save_ms.values().back();
        stream_bytes = static_cast<double>(stream->size);
        if (round == 2) {
            kept = stream;
        } else {
            delete[] stream->data;
        }
    }

    if (!settings.snapshot.empty() && kept && kept->data != nullptr) {
        std::FILE* f = std::fopen(settings.snapshot.c_str(), "wb");
        if (f == nullptr || std::fwrite(kept->data, 1, kept->size, f) != kept->size) {
            std::fprintf(stderr, "large_run: cannot write %s\n", settings.snapshot.c_str());
            if (f != nullptr) std::fclose(f);
            return 1;
        }
        std::fclose(f);
    }

    // The load goes into a fresh engine, as a host reopening a saved job.
    const int dropped = engine->droppedSecondStages();
    engine.reset();
    auto fresh = std::make_unique<fusion::Kelvane_Impl_Points>();
    if (!configure(*fresh)) return 1;
    fusion::Vertices* loaded = nullptr;
    int loaded_count = 0;
    double faults = kelvane_bench::minorFaults();
    int load_status = 0;
    const double load_ms = timed(
        [&] { load_status = fresh->loadRealTimeBytesData_points(kept, &loaded, loaded_count); });
    const double load_faults = kelvane_bench::minorFaults() - faults;
    delete[] loaded;
    delete[] kept->data;
    if (load_status != 0 || loaded_count != live) {
        std::fprintf(stderr, "large_run: the load returned status %d and %d points, not %d\n",
                     load_status, loaded_count, live);
        return 1;
    }

    const struct {
        const char* name;
        double value;
    } figures[] = {
        {"frames", static_cast<double>(all.size())},
        {"input_points", static_cast<double>(input_points)},
        {"live_points", static_cast<double>(live)},
        {"frame_ms_med", frame_ms.median()},
        {"frame_ms_p95", frame_ms.p95()},
        {"late_vs_early", early.median() > 0 ? late.median() / early.median() : 0},
        {"dropped", static_cast<double>(dropped)},
        {"fps", settings.fps},
        {"extract_vertices_ms", extract_ms.median()},
        {"extract_vertices_first_ms", extract_first},
        {"extract_vertices_faults", extract_faults},
        {"extract_raw_ms", raw_ms.median()},
        {"extract_raw_first_ms", raw_first},
        {"extract_raw_faults", raw_faults},
        {"save_ms", save_ms.median()},
        {"save_first_ms", save_first},
        {"save_faults", save_faults},
        {"stream_mb", stream_bytes / 1e6},
        {"load_ms", load_ms},
        {"load_faults", load_faults},
        {"resident_mb", resident_model / 1e6},
        {"bytes_per_point", live > 0 ? resident_model / live : 0},
        {"peak_resident_mb", peakResidentBytes() / 1e6},
    };
    std::string json = "{\n";
    for (const auto& f : figures) {
        char line[128];
        std::snprintf(line, sizeof line, "  \"%s\": %.6g,\n", f.name, f.value);
        json += line;
        std::printf("%-26s %14.4g\n", f.name, f.value);
    }
    json.replace(json.size() - 2, 2, "\n}\n");
    if (!settings.out.empty()) {
        std::FILE* f = std::fopen(settings.out.c_str(), "w");
        if (f == nullptr) return 1;
        std::fputs(json.c_str(), f);
        std::fclose(f);
    }
    return 0;
}
