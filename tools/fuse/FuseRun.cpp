#include "fuse/FuseRun.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fuse/AtomicOutput.h"
#include "fuse/FrameFile.h"
#include "fuse/FrameSource.h"
#include "fuse/LiveView.h"
#include "fuse/PlyIO.h"
#include "fuse/Preview.h"
#include "fuse/Progress.h"
#include "fuse/Report.h"
#include "fuse/System.h"
#include "fusion/Kelvane.h"
#include "fusion/kelvane_status.h"
#include "host/HostMirror.h"

namespace kelvane_fuse {
namespace {

using Clock = std::chrono::steady_clock;

// Steps large enough to show a bar for: a snapshot of about a million
// records, a cloud of a million points.
constexpr uint64_t kLargeBytes = uint64_t(48) << 20;
constexpr uint64_t kLargeCloud = 1000000;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The library refuses these at intake; the host counts them itself because
// the interface does not report them.
bool isRejectedPoint(const fusion::PointData& p) {
    constexpr float kEpsilon = 1.1920929e-7f;
    bool tiny = true;
    for (float c : p.position) {
        if (!std::isfinite(c)) return true;
        if (std::fabs(c) >= kEpsilon) tiny = false;
    }
    return tiny;
}

// Device per-frame limit: the user's, or just above the largest frame so no
// input frame is refused for its size (the library's own default is 60,000).
int frameLimitFor(const FuseOptions& options, int64_t largest_frame) {
    if (options.frame_limit > 0) return options.frame_limit;
    constexpr int64_t kLibraryDefault = 60000, kLargestHonoured = 999999;
    return int(std::min(std::max(kLibraryDefault, largest_frame + 1), kLargestHonoured));
}

bool readSnapshotFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                      const StepProgress& progress) {
    if (!readFileWithProgress(path, bytes, error, progress)) return false;
    if (bytes.empty()) {
        error = path + ": empty file, not a snapshot";
        return false;
    }
    return true;
}

// One drain as a host does it after every frame: take what is waiting and
// apply it to the mirror (and hand it to the live view, which copies it).
// The count is preset because the library leaves it untouched when nothing
// is waiting.
void drainUpdates(fusion::Kelvane_Impl_Points& engine, kelvane_host::HostMirror& mirror,
                  RunReport& report, LiveView* live, const LiveStats& stats) {
    fusion::Vertices* records = nullptr;
    int count = 0;
    engine.getUpdateVertices(&records, count);
    if (records == nullptr) return;
    if (count > 0) {
        // Ids only grow, so none of these can be at or above the count now.
        int vertex_count = kelvane_host::HostMirror::kMaxViewId;
        engine.getVertexNum(vertex_count);
        mirror.apply(records, count, vertex_count);
        ++report.update_deliveries;
        if (live != nullptr) live->publishUpdates(records, count, stats);
    }
    delete[] records;
}

// Tries to create the temporary file an output will be written through, and
// removes it again: a missing or read-only directory, or a directory where
// the file should be, is found before anything is fused.
bool outputWritable(const std::string& path, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        error = path + ": is a directory, not a file name";
        return false;
    }
    AtomicOutput probe;
    if (!probe.open(path)) {
        error = probe.error();
        return false;
    }
    probe.abandon();
    return true;
}

class Run {
public:
    Run(const FuseOptions& options, std::FILE* out, std::FILE* err)
        : m_options(options), m_out(out), m_err(err) {}

    int execute();

private:
    int fail(int status, const std::string& message) {
        std::fprintf(m_err, "kelvane-fuse: %s\n", message.c_str());
        return status;
    }
    std::string libraryMessage() { return m_engine.getLastErrorMessage(); }
    bool outputsWritable(std::string& error) const;
    int configureEngine(int64_t largest_frame);
    int loadSnapshot();
    int playFrames(FrameSource& source);
    int writeOutputs(const std::vector<fusion::Vertices>& cloud);
    int startLive();
    LiveStats liveStats(int frames_played, int frames_total, double seconds);
    void drain(const LiveStats& stats);
    void serveUntilDone();
    // A bar for one long step; shown only when the step is large.
    StepBar stepBar(const std::string& what, const char* unit, double scale, uint64_t worth) {
        return StepBar(m_err, Progress::isTerminal(m_err), !m_options.quiet, what, unit, scale,
                       worth);
    }

    const FuseOptions& m_options;
    std::FILE* m_out;
    std::FILE* m_err;
    fusion::Kelvane_Impl_Points m_engine;
    kelvane_host::HostMirror m_mirror;
    RunReport m_report;
    std::vector<float> m_scanned;  // positions of a sample of simulated frames
    // --record: a frame file, or a directory of PLY frames when the name
    // ends with a slash or names a directory.
    FrameFileWriter m_recorder;
    PlyFrameWriter m_ply_recorder;
    bool m_recording = false;
    bool m_recording_ply = false;
    std::unique_ptr<LiveView> m_live;
    LiveStats m_last_stats;
};

bool Run::outputsWritable(std::string& error) const {
    for (const std::string* name : {&m_options.ply, &m_options.save_snapshot, &m_options.preview}) {
        const std::string path = outputPath(m_options, *name);
        if (!path.empty() && !outputWritable(path, error)) return false;
    }
    return true;
}

int Run::startLive() {
    if (m_options.serve_port < 0) return kExitDone;
    ServeSettings settings;
    settings.address = m_options.serve_address;
    settings.port = m_options.serve_port;
    settings.queue_limit = int64_t(m_options.serve_queue_mib) << 20;
    std::string error;
    m_live = startLiveView(settings, error);
    if (!m_live) return fail(kExitBadInput, error);
    std::fprintf(m_err, "kelvane-fuse: live view at %s\n", m_live->url().c_str());
    std::fflush(m_err);
    return kExitDone;
}

LiveStats Run::liveStats(int frames_played, int frames_total, double seconds) {
    LiveStats stats;
    stats.frame = frames_played;
    stats.frames = frames_total;
    stats.fps = seconds > 0 ? float(frames_played / seconds) : 0.0f;
    stats.dropped = m_engine.droppedSecondStages();
    stats.resolution = m_engine.getResolution();
    return stats;
}

// After each frame: the drain, and the whole model when a page waits for it.
// The extraction comes after the drain whose records were just published,
// so a page that starts from it and applies every later delivery ends with
// the same set as a host that mirrored from the start.
void Run::drain(const LiveStats& stats) {
    m_last_stats = stats;
    drainUpdates(m_engine, m_mirror, m_report, m_live.get(), stats);
    if (!m_live) return;
    if (m_options.blocking) m_live->resyncAll();  // blocking frames report nothing
    if (!m_live->wantsModel()) return;
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    if (m_engine.extractLivePoints(&vertices, count) == 0 && (vertices != nullptr || count == 0))
        m_live->publishModel(vertices, count, stats);
    delete[] vertices;
}

// --serve: the pages keep the final model until the user interrupts, or
// (--serve-exit) get a moment to receive what is queued for them.
void Run::serveUntilDone() {
    if (!m_live) return;
    if (m_options.serve_exit) {
        m_live->drainQueues(5.0);
    } else {
        m_live->waitForInterrupt([this] {
            std::fprintf(m_err, "kelvane-fuse: serving %s until interrupted (Ctrl-C)\n",
                         m_live->url().c_str());
            std::fflush(m_err);
        });
    }
    std::fprintf(m_err, "kelvane-fuse: %s\n", m_live->summary().c_str());
    m_live.reset();
}

int Run::configureEngine(int64_t largest_frame) {
    m_engine.setProcessFinishedCallBack([this](int status) {
        ++m_report.callbacks;
        if (status != 0) ++m_report.callback_failures;
    });
    const int status = m_engine.init();
    if (status != 0) {
        return fail(kExitLibrary, "the library did not initialise (status " +
                                      std::to_string(status) + "): " + libraryMessage());
    }
    m_engine.setResolution(m_options.resolution);
    fusion::DeviceInfo device{};
    device.device_type = m_options.device_type;
    device.device_subtype = m_options.device_subtype;
    device.frame_point_num = frameLimitFor(m_options, largest_frame);
    device.point_spacing = m_options.point_spacing;
    m_engine.setDeviceInfo(device);
    m_engine.setQualityJudge(m_options.quality_judge);
    if (m_options.point_spacing > m_options.resolution) {
        std::fprintf(m_err,
                     "kelvane-fuse: note: spacing %g exceeds resolution %g, so the library "
                     "switches fusion off\n",
                     double(m_options.point_spacing), double(m_options.resolution));
    }
    return kExitDone;
}

int Run::loadSnapshot() {
    m_report.snapshot_vertices = -1;
    if (m_options.load_snapshot.empty()) return kExitDone;
    std::vector<uint8_t> bytes;
    std::string error;
    StepBar reading = stepBar("reading " + m_options.load_snapshot, "MB", 1e6, kLargeBytes);
    std::error_code ec;
    const uint64_t file_bytes = std::filesystem::file_size(m_options.load_snapshot, ec);
    const bool read = readSnapshotFile(m_options.load_snapshot, bytes, error,
                                       reading.callback(ec ? 0 : file_bytes));
    reading.finish();
    if (!read) return fail(kExitBadInput, error);
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = bytes.data();  // the library reads it and never takes it over
    stream->size = bytes.size();
    fusion::Vertices* vertices = nullptr;
    int count = 0;
    // The library loads in one call: the bar shows it started and ended.
    StepBar loading = stepBar("loading the snapshot into the engine", "MB", 1e6, kLargeBytes);
    const StepProgress loaded = loading.callback(bytes.size());
    if (loaded) loaded(0, bytes.size());
    const int status = m_engine.loadRealTimeBytesData_points(stream, &vertices, count);
    if (loaded && status == 0) loaded(bytes.size(), bytes.size());
    loading.finish();
    if (status != 0) {
        delete[] vertices;
        const int exit_status =
            status == fusion::status::kInvalidArgument ? kExitBadInput : kExitLibrary;
        return fail(exit_status, m_options.load_snapshot + ": snapshot refused (status " +
                                     std::to_string(status) + "): " + libraryMessage());
    }
    m_mirror.seed(vertices, vertices != nullptr ? count : 0);
    m_report.snapshot_vertices = vertices != nullptr ? count : 0;
    delete[] vertices;
    return kExitDone;
}

int Run::playFrames(FrameSource& source) {
    Progress progress(m_err, Progress::isTerminal(m_err), source.frameCount(), !m_options.quiet);
    const Clock::time_point start = Clock::now();
    SourceFrame frame;
    std::string error;
    for (int index = 0;; ++index) {
        if (!source.next(frame, error)) {
            if (!error.empty()) {
                progress.finish(index, m_report.input_points, secondsSince(start));
                return fail(kExitBadInput, error);
            }
            break;
        }
        ++m_report.frames;
        const int count = int(frame.points.size());
        if (m_recording_ply)
            m_ply_recorder.append(frame.points.data(), count);
        else if (m_recording)
            m_recorder.append(frame.points.data(), count);
        m_report.input_points += count;
        for (const auto& p : frame.points) m_report.rejected_points += isRejectedPoint(p) ? 1 : 0;
        // Every fourth frame is plenty to tell how much of the scan the
        // model covers.
        if (source.groundTruth() != nullptr && index % 4 == 0) {
            for (const auto& p : frame.points)
                m_scanned.insert(m_scanned.end(), p.position, p.position + 3);
        }

        if (m_options.fps > 0) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(index / m_options.fps));
            std::this_thread::sleep_until(due);
        }
        if (count == 0) {
            ++m_report.frames_empty;
            continue;
        }
        const Clock::time_point before = Clock::now();
        const int status = m_engine.process(frame.points.data(), count, frame.views, frame.pose,
                                            m_options.blocking);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
        (m_options.blocking ? m_report.blocking_ms : m_report.non_blocking_ms).push_back(ms);
        if (status == 0) {
            ++m_report.frames_accepted;
        } else if (m_report.first_failure.empty()) {
            m_report.first_failure = "frame " + std::to_string(index + 1) + ", status " +
                                     std::to_string(status) + ": " + libraryMessage();
        }
        if (m_options.settle) m_engine.waitForPendingWork();
        drain(liveStats(index + 1, source.frameCount(), secondsSince(start)));
        progress.update(index + 1, m_report.input_points, secondsSince(start));
    }
    progress.finish(m_report.frames, m_report.input_points, secondsSince(start));
    // Second stages of the last frames may still run; a host that wants the
    // settled model waits for them and drains once more.
    m_engine.waitForPendingWork();
    drain(liveStats(m_report.frames, source.frameCount(), secondsSince(start)));
    return kExitDone;
}

int Run::writeOutputs(const std::vector<fusion::Vertices>& cloud) {
    int status = kExitDone;
    std::string error;
    auto failed = [&](const std::string& message) {
        std::fprintf(m_err, "kelvane-fuse: %s\n", message.c_str());
        if (status == kExitDone) status = kExitOutput;
    };

    const std::string ply = outputPath(m_options, m_options.ply);
    if (!ply.empty()) {
        StepBar writing = stepBar("writing " + ply, "k points", 1e3, kLargeCloud);
        const bool written = writeFusedPly(ply, cloud, error, writing.callback(cloud.size()));
        writing.finish();
        if (written)
            m_report.written.push_back(ply);
        else
            failed(error);
    }

    const std::string snapshot = outputPath(m_options, m_options.save_snapshot);
    if (!snapshot.empty()) {
        auto stream = std::make_shared<fusion::RealTimeByteStream>();
        stream->data = nullptr;
        stream->size = 0;
        const int saved = m_engine.saveRealTimeBytesData(stream);
        if (saved != 0 || stream->data == nullptr) {
            failed(snapshot + ": the library could not save the snapshot (status " +
                   std::to_string(saved) + "): " + libraryMessage());
        } else {
            StepBar saving = stepBar("saving " + snapshot, "MB", 1e6, kLargeBytes);
            const bool written = writeFileAtomically(snapshot, stream->data, size_t(stream->size),
                                                     error, saving.callback(stream->size));
            saving.finish();
            if (written)
                m_report.written.push_back(snapshot);
            else
                failed(error);
        }
        delete[] stream->data;  // handed to the host by the save
    }

    const std::string preview = outputPath(m_options, m_options.preview);
    if (!preview.empty()) {
        PreviewSettings settings;
        settings.width = m_options.width;
        settings.height = m_options.height;
        settings.automatic = m_options.view_auto;
        settings.azimuth = m_options.azimuth;
        settings.elevation = m_options.elevation;
        settings.point_size = m_report.resolution > 0 ? m_report.resolution : m_options.resolution;
        if (writePng(preview, renderPreview(cloud, settings), error))
            m_report.written.push_back(preview);
        else
            failed(error);
    }

    if (m_recording) {
        const bool complete = m_recording_ply ? m_ply_recorder.commit() : m_recorder.commit();
        if (complete)
            m_report.written.push_back(outputPath(m_options, m_options.record));
        else
            failed(m_recording_ply ? m_ply_recorder.error() : m_recorder.error());
    }
    return status;
}

int Run::execute() {
    const Clock::time_point wall_start = Clock::now();
    std::string error;
    std::unique_ptr<FrameSource> source = openFrameSource(m_options, error);
    if (!source) return fail(kExitBadInput, error);
    m_report.input = source->describe();
    m_report.blocking = m_options.blocking;

    if (!m_options.out_dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_options.out_dir, ec);
        if (ec)
            return fail(kExitOutput,
                        m_options.out_dir + ": cannot create directory (" + ec.message() + ")");
    }
    if (!m_options.record.empty()) {
        const std::string record = outputPath(m_options, m_options.record);
        std::error_code ec;
        m_recording_ply = std::filesystem::path(record).filename().empty() ||  // "frames/"
                          std::filesystem::is_directory(record, ec);
        if (m_recording_ply ? !m_ply_recorder.open(record) : !m_recorder.open(record))
            return fail(kExitOutput, m_recording_ply ? m_ply_recorder.error() : m_recorder.error());
        m_recording = true;
    }
    std::string unwritable;
    if (!outputsWritable(unwritable)) return fail(kExitOutput, unwritable);

    int status = startLive();
    if (status != kExitDone) return status;
    status = configureEngine(source->largestFrame());
    if (status != kExitDone) return status;
    status = loadSnapshot();
    if (status != kExitDone) return status;
    status = playFrames(*source);
    if (status != kExitDone) return status;

    fusion::Vertices* vertices = nullptr;
    int count = 0;
    if (m_engine.extractLivePoints(&vertices, count) != 0 || (vertices == nullptr && count > 0)) {
        delete[] vertices;
        return fail(kExitLibrary, "extracting the fused points failed: " + libraryMessage());
    }
    std::vector<fusion::Vertices> cloud(vertices, vertices + count);
    delete[] vertices;
    m_report.live_points = count;
    m_engine.getVertexNum(m_report.vertex_count);
    m_report.resolution = m_engine.getResolution();
    m_report.second_stages_dropped = m_engine.droppedSecondStages();
    // Both sides copy the same record bytes, so anything but equality is a
    // change the updates did not announce.
    m_report.diff = m_mirror.compare(cloud.data(), count, 0.0f);
    m_report.mirror = m_mirror.stats();
    if (m_live) m_live->publishFinal(cloud.data(), count, m_last_stats);
    if (const kelvane_sim::SweepOptions* truth = source->groundTruth()) {
        m_report.accuracy =
            kelvane_sim::measureAccuracy(*truth, cloud, m_scanned, m_report.resolution);
        m_report.has_accuracy = true;
    }

    status = writeOutputs(cloud);
    m_engine.deInit();
    m_report.peak_resident = os::peakResidentBytes();
    m_report.wall_seconds = secondsSince(wall_start);
    printReport(m_out, m_report);
    std::fflush(m_out);
    serveUntilDone();
    // Blocking frames report nothing, so their runs have no mirror to check.
    if (status == kExitDone && m_options.check_mirror && !m_options.blocking &&
        !m_report.diff.sameVertices())
        status = kExitMirror;
    return status;
}

}  // namespace

int runFuse(const FuseOptions& options, std::FILE* out, std::FILE* err) {
    // The engine preallocates its volume; keep it off the stack.
    auto run = std::make_unique<Run>(options, out, err);
    return run->execute();
}

}  // namespace kelvane_fuse
