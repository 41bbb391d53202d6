// A minimal host: fuses a few synthetic frames of a sphere patch, keeps a
// mirror of the model from the incremental updates, then reads the whole
// model and saves it to a byte stream.

#include <fusion/Kelvane.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// One frame: a grid of rays hitting a sphere of radius 30 around the origin,
// seen from a camera that turns a little further each frame. One view per
// grid row, as a structured-light scanner would deliver them.
std::vector<fusion::PointData> spherePatch(int frame, std::vector<std::vector<int>>& views) {
    const float radius = 30.0f;
    const int rows = 120, columns = 120;
    const float pi = 3.14159265f;
    std::vector<fusion::PointData> points;
    views.assign(1, std::vector<int>());
    for (int r = 0; r < rows; ++r) {
        int in_row = 0;
        for (int c = 0; c < columns; ++c) {
            const float polar = 0.35f * pi * static_cast<float>(r) / rows + 0.1f;
            const float azimuth = 0.35f * pi * static_cast<float>(c) / columns + 0.04f * frame;
            const float n[3] = {std::sin(polar) * std::cos(azimuth),
                                std::sin(polar) * std::sin(azimuth), std::cos(polar)};
            // A small deterministic ripple stands in for sensor noise.
            const float noise = 0.02f * std::sin(13.0f * r + 7.0f * c + 3.0f * frame);
            fusion::PointData p{};
            for (int k = 0; k < 3; ++k) {
                p.position[k] = (radius + noise) * n[k];
                p.normal[k] = n[k];
            }
            p.attributes = 8;  // ordinary scan level, not protected
            points.push_back(p);
            ++in_row;
        }
        views[0].push_back(in_row);
    }
    return points;
}

}  // namespace

int main() {
    // 1. Construct the engine and say how to hear about finished frames.
    fusion::Kelvane_Impl_Points engine;
    int finished_frames = 0;
    engine.setProcessFinishedCallBack([&finished_frames](int status) {
        if (status == 0) ++finished_frames;
    });

    // 2. init, then the settings (both are needed after every init).
    if (engine.init() != 0) {
        std::printf("init failed: %s\n", engine.getLastErrorMessage().c_str());
        return 1;
    }
    engine.setResolution(0.5f);
    fusion::DeviceInfo device{};
    device.frame_point_num = 60000;
    device.point_spacing = 0.2f;
    engine.setDeviceInfo(device);

    // 3. Frames. Non-blocking: process returns while the second stage of the
    //    frame still runs on the engine's workers.
    double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const int frames = 10;
    for (int f = 0; f < frames; ++f) {
        std::vector<std::vector<int>> views;
        const std::vector<fusion::PointData> points = spherePatch(f, views);
        const int count = static_cast<int>(points.size());
        const int status = engine.process(points.data(), count, views, pose, false);
        if (status != 0)
            std::printf("frame %d: status %d (%s)\n", f, status,
                        engine.getLastErrorMessage().c_str());
    }
    engine.waitForPendingWork();

    // 4. Drain the incremental updates into a mirror indexed by view id. The
    //    host owns each returned array and frees it with delete[].
    int id_bound = 0;
    engine.getVertexNum(id_bound);
    std::vector<unsigned char> alive(static_cast<size_t>(id_bound), 0);
    int update_records = 0;
    fusion::Vertices* updates = nullptr;
    int update_count = 0;
    engine.getUpdateVertices(&updates, update_count);  // count stays 0 when nothing is new
    std::unique_ptr<fusion::Vertices[]> owned_updates(updates);
    for (int i = 0; i < update_count; ++i) {
        const fusion::Vertices& v = updates[i];
        if (v.view_id < 0 || v.view_id >= id_bound) continue;
        alive[static_cast<size_t>(v.view_id)] = v.state == 255 ? 0 : 1;
        ++update_records;
    }
    int mirrored = 0;
    for (unsigned char a : alive) mirrored += a;

    // 5. The whole model at once.
    fusion::Vertices* vertices = nullptr;
    int vertex_count = 0;
    if (engine.extractLivePoints(&vertices, vertex_count) != 0) {
        std::printf("extraction failed: %s\n", engine.getLastErrorMessage().c_str());
        return 1;
    }
    std::unique_ptr<fusion::Vertices[]> owned_vertices(vertices);

    // 6. Save the state; the stream's buffer belongs to the host as well.
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr;
    stream->size = 0;
    const int saved = engine.saveRealTimeBytesData(stream);
    std::unique_ptr<uint8_t[]> owned_stream(stream->data);

    std::printf("frames processed:      %d of %d\n", finished_frames, frames);
    std::printf("update records:        %d\n", update_records);
    std::printf("mirrored live points:  %d\n", mirrored);
    std::printf("extracted live points: %d\n", vertex_count);
    std::printf("vertex ids handed out: %d\n", id_bound);
    std::printf("snapshot:              %s, %llu bytes\n", saved == 0 ? "saved" : "failed",
                static_cast<unsigned long long>(stream->size));

    // 7. Release everything (the destructor would do it as well).
    engine.deInit();
    return finished_frames == frames && vertex_count > 0 && saved == 0 ? 0 : 1;
}
