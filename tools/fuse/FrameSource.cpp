#include "fuse/FrameSource.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "fuse/FrameFile.h"
#include "fuse/NaturalOrder.h"
#include "fuse/PlyIO.h"
#include "sim/Simulator.h"

namespace kelvane_fuse {
namespace {

void identityPose(double pose[16]) {
    for (int i = 0; i < 16; ++i) pose[i] = (i % 5 == 0) ? 1.0 : 0.0;
}

std::string panelSize(const kelvane_sim::SweepOptions& o) {
    char text[64];
    std::snprintf(text, sizeof text, "%gx%g", double(o.panel_width), double(o.panel_height));
    return text;
}

class SimulatorSource : public FrameSource {
public:
    explicit SimulatorSource(const kelvane_sim::SweepOptions& options) : m_scanner(options) {}

    std::string describe() const override {
        const auto& o = m_scanner.options();
        return std::string("simulated ") + kelvane_sim::shapeName(o.shape) +
               (o.path == kelvane_sim::Path::Handheld ? " (handheld)" : "") +
               (o.path == kelvane_sim::Path::Raster ? " " + panelSize(o) + " mm (raster)" : "") +
               ", " + std::to_string(o.frames) + " frames of " + std::to_string(o.rows) + "x" +
               std::to_string(o.columns) + " rays, seed " + std::to_string(o.seed);
    }
    int frameCount() const override { return m_scanner.frameCount(); }
    int64_t largestFrame() const override {
        return int64_t(m_scanner.options().rows) * m_scanner.options().columns;
    }
    bool next(SourceFrame& frame, std::string& error) override {
        error.clear();
        if (!m_scanner.next(m_frame)) return false;
        frame.points.swap(m_frame.points);
        frame.views.swap(m_frame.views);
        std::copy(m_frame.pose, m_frame.pose + 16, frame.pose);
        return true;
    }
    const kelvane_sim::SweepOptions* groundTruth() const override { return &m_scanner.options(); }

private:
    kelvane_sim::Scanner m_scanner;
    kelvane_sim::Frame m_frame;
};

class FrameFileSource : public FrameSource {
public:
    FrameFileSource(std::string path, int view_run)
        : m_path(std::move(path)), m_view_run(view_run) {}
    bool open(std::string& error) { return m_reader.open(m_path, error); }

    std::string describe() const override {
        return "frame file " + m_path + ", " + std::to_string(m_reader.frameCount()) + " frames";
    }
    int frameCount() const override { return m_reader.frameCount(); }
    int64_t largestFrame() const override { return m_reader.largestFrame(); }
    bool next(SourceFrame& frame, std::string& error) override {
        error.clear();
        if (m_next >= m_reader.frameCount()) return false;
        if (!m_reader.readFrame(m_next, frame.points, error)) return false;
        ++m_next;
        frame.views = runsOf(int(frame.points.size()), m_view_run);
        identityPose(frame.pose);
        return true;
    }

private:
    std::string m_path;
    int m_view_run;
    FrameFileReader m_reader;
    int m_next = 0;
};

class PlyDirectorySource : public FrameSource {
public:
    PlyDirectorySource(std::string directory, int view_run)
        : m_directory(std::move(directory)), m_view_run(view_run) {}

    bool open(std::string& error) {
        if (!listPlyFiles(m_directory, m_files, error)) return false;
        // Headers only: a file without positions and normals fails now,
        // before any output exists.
        for (const auto& file : m_files) {
            int64_t count = 0;
            if (!readPlyVertexCount(file, count, error)) return false;
            m_largest = std::max(m_largest, count);
        }
        return true;
    }

    std::string describe() const override {
        return "PLY directory " + m_directory + ", " + std::to_string(m_files.size()) + " frames";
    }
    int frameCount() const override { return int(m_files.size()); }
    int64_t largestFrame() const override { return m_largest; }
    bool next(SourceFrame& frame, std::string& error) override {
        error.clear();
        if (m_next >= m_files.size()) return false;
        if (!readPlyPoints(m_files[m_next], frame.points, error)) return false;
        ++m_next;
        frame.views = runsOf(int(frame.points.size()), m_view_run);
        identityPose(frame.pose);
        return true;
    }

private:
    std::string m_directory;
    int m_view_run;
    std::vector<std::string> m_files;
    int64_t m_largest = 0;
    size_t m_next = 0;
};

bool hasPlyExtension(const std::filesystem::path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".ply";
}

}  // namespace

std::vector<std::vector<int>> runsOf(int count, int run) {
    std::vector<int> runs;
    if (run < 1) run = 1;
    for (int begin = 0; begin < count; begin += run) runs.push_back(std::min(run, count - begin));
    return {runs};
}

bool listPlyFiles(const std::string& directory, std::vector<std::string>& files,
                  std::string& error) {
    files.clear();
    std::error_code ec;
    std::vector<std::filesystem::path> found;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file(ec) && hasPlyExtension(it->path())) found.push_back(it->path());
    }
    if (ec) {
        error = directory + ": cannot list directory (" + ec.message() + ")";
        return false;
    }
    if (found.empty()) {
        error = directory + ": no .ply files in this directory";
        return false;
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return naturalLess(a.filename().string(), b.filename().string());
    });
    for (const auto& path : found) files.push_back(path.string());
    return true;
}

std::unique_ptr<FrameSource> openFrameSource(const FuseOptions& options, std::string& error) {
    switch (options.input) {
        case InputKind::FrameFile: {
            auto source = std::make_unique<FrameFileSource>(options.input_path, options.view_run);
            if (!source->open(error)) return nullptr;
            if (source->frameCount() == 0) {
                error = options.input_path + ": contains no frames";
                return nullptr;
            }
            return source;
        }
        case InputKind::PlyDirectory: {
            auto source =
                std::make_unique<PlyDirectorySource>(options.input_path, options.view_run);
            if (!source->open(error)) return nullptr;
            return source;
        }
        case InputKind::Simulator:
        default: {
            kelvane_sim::SweepOptions sweep = options.object == "statue"
                                                  ? kelvane_sim::statueSweep()
                                              : options.handheld ? kelvane_sim::handheldSweep()
                                                                 : kelvane_sim::SweepOptions{};
            if (options.object == "panel")
                sweep = kelvane_sim::panelSweep(options.panel_width, options.panel_height);
            if (!kelvane_sim::parseShape(options.object, sweep.shape)) {
                error = "unknown object '" + options.object + "'";
                return nullptr;
            }
            sweep.frames = options.frames;
            sweep.seed = options.seed;
            sweep.rows = options.rows;
            sweep.columns = options.columns;
            return std::make_unique<SimulatorSource>(sweep);
        }
    }
}

}  // namespace kelvane_fuse
