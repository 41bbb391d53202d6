// Writes the seed corpus of the snapshot fuzz target: small streams saved
// by the engine itself from a few kinds of volume (empty, built points,
// marked areas, a two-sided plate, a short simulated sweep through the
// frame pipeline). Run by `scripts/fuzz.sh --make-seeds`.
//
//   make_snapshot_seeds <output directory>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/HashTable.h"
#include "sim/Simulator.h"

namespace {

using fusion::HashTable;
using fusion::PointData;

std::unique_ptr<HashTable> makeEngine(float resolution) {
    auto engine = std::make_unique<HashTable>();
    if (engine->init() != 0) return nullptr;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    engine->setResolution(resolution);
    engine->setDeviceInfo(device);
    return engine;
}

PointData point(float x, float y, float z, float nx, float ny, float nz, int32_t attributes = 8) {
    return PointData{{x, y, z}, {nx, ny, nz}, attributes};
}

// A ring of points with outward normals around the z axis.
std::vector<PointData> ring(int count, float radius, float z) {
    std::vector<PointData> out;
    for (int i = 0; i < count; ++i) {
        const float a = 6.2831853f * static_cast<float>(i) / static_cast<float>(count);
        out.push_back(
            point(radius * std::cos(a), radius * std::sin(a), z, std::cos(a), std::sin(a), 0.0f));
    }
    return out;
}

bool save(HashTable& engine, const std::string& path) {
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr;
    stream->size = 0;
    if (engine.saveRealTimeBytesData(stream) != 0) return false;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(stream->data, 1, stream->size, f) == stream->size;
    std::fclose(f);
    std::printf("%s: %llu bytes\n", path.c_str(), static_cast<unsigned long long>(stream->size));
    delete[] stream->data;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    {
        auto e = makeEngine(0.5f);
        ok = ok && e && save(*e, dir + "/empty.bin");
    }
    {
        auto e = makeEngine(0.5f);
        const auto pts = ring(40, 4.0f, 1.0f);
        ok = ok && e && e->buildByExistingPoints(pts.data(), static_cast<int>(pts.size())) == 0 &&
             save(*e, dir + "/built_ring.bin");
    }
    {
        // Fine-scan and protected areas lay placeholders around their points.
        auto e = makeEngine(0.2f);
        const auto pts = ring(30, 3.0f, -2.0f);
        ok = ok && e && e->buildByExistingPoints(pts.data(), static_cast<int>(pts.size())) == 0;
        std::vector<PointData> fine(pts.begin(), pts.begin() + 4);
        for (PointData& p : fine) p.attributes = 32 | (1 << 8);
        const std::vector<PointData> guarded(pts.begin() + 10, pts.begin() + 13);
        ok = ok && e->setFineScanArea(fine.data(), 4) == 0 &&
             e->setProtectedArea(guarded.data(), 3, false) == 0 &&
             save(*e, dir + "/marked_areas.bin");
    }
    {
        // Both faces of a thin plate share voxels: two sides per voxel.
        auto e = makeEngine(1.0f);
        std::vector<PointData> pts;
        for (int i = 0; i < 20; ++i) {
            const float x = -5.0f + 0.5f * static_cast<float>(i);
            pts.push_back(point(x, 0.3f, 0.05f, 0, 0, 1));
            pts.push_back(point(x, 0.3f, -0.05f, 0, 0, -1));
        }
        ok = ok && e && e->buildByExistingPoints(pts.data(), static_cast<int>(pts.size())) == 0 &&
             save(*e, dir + "/two_sided_plate.bin");
    }
    {
        // A short sweep through the frame pipeline: re-estimated normals,
        // grades, sub-cell masks and merged layers.
        auto e = makeEngine(0.5f);
        kelvane_sim::SweepOptions options;
        options.shape = kelvane_sim::Shape::Box;
        options.frames = 6;
        options.rows = 10;
        options.columns = 10;
        options.object_size = 5.0f;
        options.seed = 3;
        kelvane_sim::Scanner scanner(options);
        kelvane_sim::Frame frame;
        while (ok && e && scanner.next(frame)) {
            const int count = static_cast<int>(frame.points.size());
            if (count > 0)
                (void)e->process(frame.points.data(), count, frame.views, frame.pose, true);
        }
        e->waitUntilIdle();
        ok = ok && e && save(*e, dir + "/sweep_box.bin");
    }
    return ok ? 0 : 1;
}
