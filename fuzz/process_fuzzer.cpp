// Fuzz target for the frame call.
//
// An input is a short session on an emptied small volume: a few settings
// (resolution, device spacing, per-frame limit, quality judging), then up
// to six frames, each optionally repeated so that frames confirm one
// another. Points are mostly clustered within a few voxels of a centre, so
// they fuse, confirm, grade and merge; the input mixes in non-finite,
// zero, denormal, huge and tiny coordinates, zero, huge and non-finite
// normals, arbitrary attribute words, and views whose entries are negative,
// zero, huge or sum past the frame. Counts, null arrays and null poses
// outside the accepted range are tried too.
//
// After the session: every queued update is well formed, both extractions
// agree, ids are unique and below the vertex count, the voxel sides and
// records are consistent, and a save loads back without gaining points.
//
// Built as a CMake target (KELVANE_BUILD_FUZZ, see scripts/fuzz.sh) with
// libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer; OpenMP is off
// there, so loops run on one thread, while second stages still run on the
// pool's workers.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine_checks.h"

namespace {

using fusion::HashTable;
using fusion::PointData;
using fuzzcheck::Reader;

constexpr float kResolutions[] = {0.5f, 1.0f, 0.25f, 0.1f, 0.05f, 2.0f, 0.03f, 0.02f};
constexpr float kSpacings[] = {0.001f, 0.01f, 0.3f, 0.0f, -1.0f, 2.0f};
constexpr int kFrameLimits[] = {400, 1000, 60, 3000};
constexpr uint8_t kLevels[] = {8, 16, 32, 64, 1, 0, 3, 128};

float normalComponent(Reader& in, uint8_t kind, int axis, float resolution) {
    switch (kind % 8) {
        case 5:
            return 0.0f;
        case 6:
            return (in.u8() & 1) ? 1e30f : -1e30f;
        case 7:
            return fuzzcheck::extremeValue(in.u8(), resolution);
        default: {
            // Zero bytes give (0, 0, 1).
            const float t = static_cast<float>(in.i8()) / 64.0f;
            return axis == 2 ? 1.0f - t : t;
        }
    }
}

PointData readPoint(Reader& in, const float centre[3], float resolution,
                    const PointData* previous) {
    const uint8_t kind = in.u8() % 16;
    if (kind == 14 && previous != nullptr) return *previous;
    PointData p{};
    for (int a = 0; a < 3; ++a) {
        // Steps of an eighth of a voxel within sixteen voxels of the centre.
        p.position[a] = centre[a] + static_cast<float>(in.i8()) * resolution / 8.0f;
    }
    if (kind >= 10 && kind <= 12)
        p.position[kind - 10] = fuzzcheck::extremeValue(in.u8(), resolution);
    if (kind == 13) {
        for (float& c : p.position) c = fuzzcheck::extremeValue(in.u8(), resolution);
    }
    if (kind == 15) {
        for (float& c : p.position) c = static_cast<float>(in.i8()) * 1e-9f;
    }
    const uint8_t normal_kind = in.u8();
    for (int a = 0; a < 3; ++a) p.normal[a] = normalComponent(in, normal_kind, a, resolution);
    const uint8_t level = in.u8();
    const uint8_t protection = in.u8();
    p.attributes =
        static_cast<int32_t>(kLevels[level % 8] | ((protection % 4 == 3 ? 1u : 0u) << 8) |
                             (static_cast<uint32_t>(level >> 3) << 16));
    if (protection >= 0xF0) p.attributes = static_cast<int32_t>(in.u32());  // anything at all
    return p;
}

std::vector<std::vector<int>> readViews(Reader& in, int count) {
    std::vector<std::vector<int>> views;
    const int lists = in.u8() % 5;  // 0: no runs at all
    for (int l = 0; l < lists; ++l) {
        std::vector<int> list;
        const int entries = in.u8() % 6;
        for (int k = 0; k < entries; ++k) {
            const uint8_t kind = in.u8();
            if (kind == 0xFF) {
                list.push_back(std::numeric_limits<int>::max());
            } else if (kind >= 0xF0) {
                list.push_back(-static_cast<int>(in.u8()));
            } else {
                list.push_back(static_cast<int>(in.u16() % static_cast<uint16_t>(count + 20)));
            }
        }
        views.push_back(list);
    }
    return views;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    HashTable& e = fuzzcheck::engine();
    Reader in(data, size);
    const float resolution = in.pick(kResolutions);
    const float spacing = in.pick(kSpacings);
    const int limit = in.pick(kFrameLimits);
    const uint8_t settings = in.u8();
    fuzzcheck::restart(e, resolution, spacing, limit, (settings & 1) == 0);
    const int frames = 1 + in.u8() % 6;

    double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int f = 0; f < frames && !in.empty(); ++f) {
        const uint8_t flags = in.u8();
        const bool blocking = (flags & 1) != 0;
        const int repeats = 1 + ((flags >> 4) & 3);
        int count = 1 + in.u16() % 400;
        const int32_t frame_limit = e.volume().params().max_frame_point_num;
        count = std::min(count, frame_limit - 1);
        const float centres[4][3] = {{1.0f, 2.0f, 3.0f},
                                     {-4.0f, 0.5f, -1.0f},
                                     {0.01f, 0.02f, 0.0f},
                                     {250.0f, -130.0f, 60.0f}};
        const float* centre = centres[in.u8() % 4];

        std::vector<PointData> points;
        points.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            points.push_back(
                readPoint(in, centre, resolution, points.empty() ? nullptr : &points.back()));
        }
        const std::vector<std::vector<int>> views = readViews(in, count);

        // Calls the engine must refuse without touching anything.
        int call_count = count;
        const PointData* call_points = points.data();
        double* call_pose = pose;
        if (flags & 2) call_points = nullptr;
        if (flags & 4) call_pose = nullptr;
        if (flags & 8) {
            const int invalid[] = {0, -1, frame_limit, std::numeric_limits<int>::min()};
            call_count = invalid[(flags >> 6) & 3];
        }
        const bool valid = call_points != nullptr && call_pose != nullptr && call_count >= 1 &&
                           call_count < frame_limit;

        for (int r = 0; r < repeats; ++r) {
            const int32_t frame_before = e.frameCounter();
            const int status = e.process(call_points, call_count, views, call_pose, blocking);
            if (!valid) {
                fuzzcheck::check(status == 1 && e.errorMessage() == "invalid data !",
                                 "an invalid frame was not refused");
                fuzzcheck::check(e.frameCounter() == frame_before, "a refused frame was counted");
            } else {
                fuzzcheck::check(status == 0, "a valid frame failed");
            }
            if (!blocking) e.waitUntilIdle(std::chrono::milliseconds(0));
            fuzzcheck::check(!e.processing(), "a frame left the pipeline flag set");
            fuzzcheck::check(e.queuedSecondStages() == 0, "a second stage outlived the wait");
        }
        fuzzcheck::drainChecked(e);
    }

    if (settings & 2) e.dataOrganize();
    fuzzcheck::drainChecked(e);
    fuzzcheck::liveChecked(e);
    fuzzcheck::volumeChecked(e);
    if (settings & 4) fuzzcheck::roundTripChecked(e);
    return 0;
}
