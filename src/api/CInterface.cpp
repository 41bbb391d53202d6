// The C interface (include/fusion/kelvane_c.h): a thin layer over the public
// class fusion::Kelvane_Impl_Points. It converts records and views, keeps the
// last message alive for the host, turns exceptions into statuses and tracks
// the arrays it hands out so that kelvane_free can release each with the
// right type.

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/CGuard.h"
#include "api/CViews.h"
#include "fusion/Kelvane.h"
#include "fusion/kelvane_c.h"

// The C records are the C++ records under other names: arrays cross the
// boundary without conversion, so every field must sit where the library
// expects it.
#define KELVANE_SAME_FIELD(c_type, cpp_type, c_field, cpp_field)                        \
    static_assert(offsetof(c_type, c_field) == offsetof(fusion::cpp_type, cpp_field) && \
                      sizeof(c_type::c_field) == sizeof(fusion::cpp_type::cpp_field),   \
                  #c_type "." #c_field " must match " #cpp_type "." #cpp_field)

static_assert(sizeof(kelvane_point) == sizeof(fusion::PointData), "kelvane_point is PointData");
static_assert(std::is_standard_layout<kelvane_point>::value, "kelvane_point is a plain record");
KELVANE_SAME_FIELD(kelvane_point, PointData, position, position);
KELVANE_SAME_FIELD(kelvane_point, PointData, normal, normal);
KELVANE_SAME_FIELD(kelvane_point, PointData, attributes, attributes);

static_assert(sizeof(kelvane_vertex) == sizeof(fusion::Vertices), "kelvane_vertex is Vertices");
static_assert(std::is_standard_layout<kelvane_vertex>::value, "kelvane_vertex is a plain record");
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, position, position);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, normal, normal);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, view_id, view_id);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, state, state);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, reserved, reserved);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, scan_level, scan_level);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, protected_flag, protected_flag);
KELVANE_SAME_FIELD(kelvane_vertex, Vertices, quality_code, quality_code);

static_assert(sizeof(kelvane_device_info) == sizeof(fusion::DeviceInfo), "same DeviceInfo");
static_assert(std::is_standard_layout<kelvane_device_info>::value, "a plain record");
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, word0, word0);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, word1, word1);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, device_type, device_type);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, word3, word3);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, frame_point_num, frame_point_num);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, device_subtype, device_subtype);
KELVANE_SAME_FIELD(kelvane_device_info, DeviceInfo, point_spacing, point_spacing);
#undef KELVANE_SAME_FIELD

struct kelvane_engine {
    fusion::Kelvane_Impl_Points impl;
    // The last call failed in this layer (before or around the library), and
    // why; an empty text then means the message itself could not be stored.
    bool c_failed = false;
    std::string c_error;
    // Storage behind the pointer kelvane_last_error returns.
    std::string message;
};

namespace {

// Arrays handed to the host, with the element type they were allocated as.
// The library allocates them with array new of their own type, and deleting
// through another type is undefined, so kelvane_free looks the type up.
enum class ArrayKind { Vertices, Bytes };

class HandedOut {
public:
    // May throw std::bad_alloc; the caller still owns the array then.
    void add(const void* array, ArrayKind kind) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_arrays.emplace(array, kind);
    }
    // Takes the array back; false when it was not handed out (or is gone).
    bool take(const void* array, ArrayKind& kind) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_arrays.find(array);
        if (found == m_arrays.end()) return false;
        kind = found->second;
        m_arrays.erase(found);
        return true;
    }

private:
    std::mutex m_mutex;
    std::unordered_map<const void*, ArrayKind> m_arrays;
};

// Never destroyed: hosts may free arrays from their own exit handlers.
HandedOut& handedOut() {
    static HandedOut* const registry = new HandedOut();
    return *registry;
}

void release(void* array, ArrayKind kind) {
    if (kind == ArrayKind::Vertices) {
        delete[] static_cast<fusion::Vertices*>(array);
    } else {
        delete[] static_cast<uint8_t*>(array);
    }
}

// Hands a library array to the host; an empty one is released and becomes
// NULL. Owns `array` from the call on, also when registering it fails.
void handOver(void* array, ArrayKind kind, std::size_t count, void** out) {
    *out = nullptr;
    if (array == nullptr) return;
    if (count == 0) {
        release(array, kind);
        return;
    }
    try {
        handedOut().add(array, kind);
    } catch (...) {
        release(array, kind);
        throw;
    }
    *out = array;
}

void handOverVertices(fusion::Vertices* array, int count, kelvane_vertex** vertices,
                      int* out_count) {
    void* given = nullptr;
    handOver(array, ArrayKind::Vertices, count > 0 ? static_cast<std::size_t>(count) : 0, &given);
    *vertices = static_cast<kelvane_vertex*>(given);
    *out_count = given != nullptr ? count : 0;
}

const fusion::PointData* asPoints(const kelvane_point* points) {
    return reinterpret_cast<const fusion::PointData*>(points);
}

// A failure found by this layer: keeps the text for kelvane_last_error.
int fail(kelvane_engine* e, int status, const std::string& text) {
    e->c_failed = true;
    fusion::capi::setMessageNoThrow(e->c_error, text.c_str());
    return status;
}

// Every entry point that returns a status: a NULL engine is refused, the
// previous call's own failure is forgotten, exceptions become statuses.
template <class Body>
int call(kelvane_engine* e, const char* function, Body&& body) noexcept {
    if (e == nullptr) return KELVANE_INVALID_ARGUMENT;
    e->c_failed = false;
    bool threw = true;
    const int status = fusion::capi::guardedStatus(function, e->c_error, [&] {
        const int result = body();
        threw = false;
        return result;
    });
    if (threw) e->c_failed = true;
    return status;
}

int nullArgument(kelvane_engine* e, const char* function, const char* argument) {
    return fail(e, KELVANE_INVALID_ARGUMENT, std::string(function) + ": " + argument + " is NULL");
}

// The entry points that hand the host an array of vertices: both out
// arguments are checked and cleared first, and an array the library made
// before failing is freed rather than handed over.
template <class Fetch>
int takeVertices(kelvane_engine* e, const char* function, const char* count_name,
                 kelvane_vertex** vertices, int* count, Fetch&& fetch) {
    if (vertices == nullptr) return nullArgument(e, function, "vertices");
    if (count == nullptr) return nullArgument(e, function, count_name);
    *vertices = nullptr;
    *count = 0;
    fusion::Vertices* array = nullptr;
    int n = 0;
    const int status = fetch(&array, n);
    if (status != 0) {
        delete[] array;
        return status;
    }
    handOverVertices(array, n, vertices, count);
    return 0;
}

}  // namespace

extern "C" {

kelvane_engine* kelvane_create(void) {
    try {
        return new kelvane_engine();
    } catch (...) {
        return nullptr;
    }
}

void kelvane_destroy(kelvane_engine* e) {
    // The wrapper's destructor waits for queued work and contains the
    // engine's own failures; destructors do not throw.
    delete e;
}

int kelvane_init(kelvane_engine* e) {
    return call(e, "kelvane_init", [&] { return e->impl.init(); });
}

int kelvane_deinit(kelvane_engine* e) {
    return call(e, "kelvane_deinit", [&] { return e->impl.deInit(); });
}

int kelvane_reset(kelvane_engine* e) {
    return call(e, "kelvane_reset", [&] { return e->impl.reset(); });
}

int kelvane_set_resolution(kelvane_engine* e, float resolution) {
    return call(e, "kelvane_set_resolution", [&] { return e->impl.setResolution(resolution); });
}

int kelvane_set_device_info(kelvane_engine* e, const kelvane_device_info* info) {
    return call(e, "kelvane_set_device_info", [&] {
        if (info == nullptr) return nullArgument(e, "kelvane_set_device_info", "info");
        fusion::DeviceInfo device;
        std::memcpy(&device, info, sizeof(device));
        return e->impl.setDeviceInfo(device);
    });
}

int kelvane_set_quality_judge(kelvane_engine* e, int on) {
    return call(e, "kelvane_set_quality_judge", [&] { return e->impl.setQualityJudge(on != 0); });
}

void kelvane_set_frame_callback(kelvane_engine* e, void (*callback)(int status, void* user),
                                void* user) {
    (void)call(e, "kelvane_set_frame_callback", [&] {
        std::function<void(int)> adapter;
        if (callback != nullptr) adapter = [callback, user](int status) { callback(status, user); };
        e->impl.setProcessFinishedCallBack(std::move(adapter));
        return 0;
    });
}

int kelvane_process(kelvane_engine* e, const kelvane_point* points, int count,
                    const int* view_offsets, const int* view_indices, int view_count,
                    const double* pose, int blocking) {
    return call(e, "kelvane_process", [&] {
        // The library never writes the pose; a copy spares the const_cast.
        double pose_copy[16];
        double* pose_arg = nullptr;
        if (pose != nullptr) {
            std::memcpy(pose_copy, pose, sizeof(pose_copy));
            pose_arg = pose_copy;
        }
        const bool is_blocking = blocking != 0;
        // Without points there is nothing to map the views onto; the library
        // answers for the frame itself.
        if (points == nullptr || count < 1) {
            return e->impl.process(asPoints(points), count, {}, pose_arg, is_blocking);
        }
        fusion::capi::FrameViews views;
        const std::string problem = fusion::capi::mapViews(count, view_offsets, view_indices,
                                                           view_count, !is_blocking, views);
        if (!problem.empty())
            return fail(e, KELVANE_INVALID_ARGUMENT, "kelvane_process: " + problem);
        if (views.order.empty()) {
            return e->impl.process(asPoints(points), count, views.runs, pose_arg, is_blocking);
        }
        std::vector<fusion::PointData> grouped(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < grouped.size(); ++i) {
            grouped[i] = asPoints(points)[views.order[i]];
        }
        return e->impl.process(grouped.data(), count, views.runs, pose_arg, is_blocking);
    });
}

void kelvane_wait(kelvane_engine* e) {
    (void)call(e, "kelvane_wait", [&] {
        e->impl.waitForPendingWork();
        return 0;
    });
}

int kelvane_extract_points(kelvane_engine* e, kelvane_vertex** vertices, int* count) {
    return call(e, "kelvane_extract_points", [&] {
        return takeVertices(
            e, "kelvane_extract_points", "count", vertices, count,
            [e](fusion::Vertices** array, int& n) { return e->impl.extractLivePoints(array, n); });
    });
}

int kelvane_get_updates(kelvane_engine* e, kelvane_vertex** vertices, int* count) {
    return call(e, "kelvane_get_updates", [&] {
        return takeVertices(
            e, "kelvane_get_updates", "count", vertices, count,
            [e](fusion::Vertices** array, int& n) { return e->impl.getUpdateVertices(array, n); });
    });
}

int kelvane_vertex_count(kelvane_engine* e, int* count) {
    return call(e, "kelvane_vertex_count", [&] {
        if (count == nullptr) return nullArgument(e, "kelvane_vertex_count", "count");
        int n = 0;
        const int status = e->impl.getVertexNum(n);
        if (status == 0) *count = n;
        return status;
    });
}

int kelvane_dropped_second_stages(kelvane_engine* e, int* count) {
    return call(e, "kelvane_dropped_second_stages", [&] {
        if (count == nullptr) return nullArgument(e, "kelvane_dropped_second_stages", "count");
        *count = e->impl.droppedSecondStages();
        return 0;
    });
}

int kelvane_save(kelvane_engine* e, unsigned char** data, unsigned long long* size) {
    return call(e, "kelvane_save", [&] {
        if (data == nullptr) return nullArgument(e, "kelvane_save", "data");
        if (size == nullptr) return nullArgument(e, "kelvane_save", "size");
        *data = nullptr;
        *size = 0;
        auto stream = std::make_shared<fusion::RealTimeByteStream>();
        stream->data = nullptr;
        stream->size = 0;
        const int status = e->impl.saveRealTimeBytesData(stream);
        if (status != 0) {
            delete[] stream->data;
            return status;
        }
        void* given = nullptr;
        handOver(stream->data, ArrayKind::Bytes, static_cast<std::size_t>(stream->size), &given);
        *data = static_cast<unsigned char*>(given);
        *size = given != nullptr ? stream->size : 0;
        return 0;
    });
}

int kelvane_load(kelvane_engine* e, const unsigned char* data, unsigned long long size,
                 kelvane_vertex** vertices, int* count) {
    return call(e, "kelvane_load", [&] {
        return takeVertices(e, "kelvane_load", "count", vertices, count,
                            [&](fusion::Vertices** array, int& n) {
                                // A load only reads the stream, so the host's
                                // const bytes are safe.
                                auto stream = std::make_shared<fusion::RealTimeByteStream>();
                                stream->data = const_cast<uint8_t*>(data);
                                stream->size = size;
                                return e->impl.loadRealTimeBytesData_points(stream, array, n);
                            });
    });
}

int kelvane_build(kelvane_engine* e, const kelvane_point* points, int count,
                  kelvane_vertex** vertices, int* vertex_count) {
    return call(e, "kelvane_build", [&] {
        return takeVertices(e, "kelvane_build", "vertex_count", vertices, vertex_count,
                            [&](fusion::Vertices** array, int& n) {
                                return e->impl.buildByExistingPoints(asPoints(points), count, array,
                                                                     n, false);
                            });
    });
}

int kelvane_delete_area(kelvane_engine* e, const kelvane_point* points, int count) {
    return call(e, "kelvane_delete_area",
                [&] { return e->impl.deleteSelectedArea(asPoints(points), count); });
}

int kelvane_set_protected_area(kelvane_engine* e, const kelvane_point* points, int count,
                               int unprotect) {
    return call(e, "kelvane_set_protected_area",
                [&] { return e->impl.setProtectedArea(asPoints(points), count, unprotect != 0); });
}

int kelvane_set_fine_scan_area(kelvane_engine* e, const kelvane_point* points, int count) {
    return call(e, "kelvane_set_fine_scan_area",
                [&] { return e->impl.setFineScanArea(asPoints(points), count); });
}

int kelvane_organize(kelvane_engine* e) {
    return call(e, "kelvane_organize", [&] { return e->impl.dataOrganize(); });
}

void kelvane_free(void* array) {
    if (array == nullptr) return;
    ArrayKind kind = ArrayKind::Bytes;
    if (handedOut().take(array, kind)) release(array, kind);
}

const char* kelvane_last_error(kelvane_engine* e) {
    if (e == nullptr) return "kelvane_last_error: the engine is NULL";
    if (e->c_failed) return e->c_error.empty() ? "out of memory" : e->c_error.c_str();
    try {
        e->message = e->impl.getLastErrorMessage();
        return e->message.c_str();
    } catch (...) {
        return "out of memory while composing the message";
    }
}

}  // extern "C"
