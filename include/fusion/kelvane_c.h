/*
 * Plain C interface of the point-fusion library, for hosts that cannot use
 * the C++ class (C, C# through P/Invoke, Python through ctypes, ...). It is
 * exported from the same shared library as fusion::Kelvane_Impl_Points and
 * drives exactly one such object per kelvane_engine. The header compiles as
 * C99 and as C++.
 *
 * Statuses are the library's: 0 success, 1 failure, 66049 (0x10201) an
 * allocation failed, 66051 (0x10203) an argument or byte stream is invalid.
 * A NULL engine, or a NULL out-pointer, gives 66051. No C++ exception ever
 * leaves a function of this header: a failed allocation becomes 66049, any
 * other exception status 1 with its text as the message.
 *
 * Messages: kelvane_last_error(e) describes the last failure on e. When the
 * check that failed belongs to this C layer (NULL arguments, malformed views,
 * a caught exception) the text names the function and the problem; otherwise
 * it is the library's composed message,
 * "[interface] : <wrapper message> | [impl] : <engine message>".
 *
 * Memory: every array handed out (vertices, saved bytes) belongs to the
 * caller and must be released with kelvane_free, never with free() or by
 * another runtime. When a count of 0 is returned the array is NULL.
 *
 * Threads: call the functions for one engine from one thread at a time, as
 * with the C++ class. kelvane_free may be called from any thread.
 */
#ifndef KELVANE_C_H
#define KELVANE_C_H

#include <stdint.h>

#include "fusion/export.h"
#include "fusion/kelvane_status.h"

/* The export macro works for C as well; extern "C" keeps the names plain. */
#define KELVANE_C_API KELVANE_API

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes: KELVANE_OK, KELVANE_FAILED, KELVANE_OUT_OF_MEMORY and
 * KELVANE_INVALID_ARGUMENT, from fusion/kelvane_status.h. */

/* One scanned point (28 bytes, the layout of fusion::PointData).
 * attributes: bits 0-7 scan level (a power of two; anything else counts as
 * 8), bits 8-15 protected flag (1: protected), bits 16-31 ignored. */
typedef struct kelvane_point {
    float position[3];
    float normal[3];
    int32_t attributes;
} kelvane_point;

/* One output vertex (36 bytes, the layout of fusion::Vertices).
 * state: 0 plain extraction or re-graded, 1 added or changed, 255 removed
 * (NaN position and normal). view_id identifies the vertex across updates. */
typedef struct kelvane_vertex {
    float position[3];
    float normal[3];
    int32_t view_id;
    uint8_t state;
    uint8_t reserved[3]; /* never written */
    uint8_t scan_level;
    uint8_t protected_flag;
    uint16_t quality_code; /* four 4-bit grades */
} kelvane_vertex;

/* The scanner's description (28 bytes, the layout of fusion::DeviceInfo).
 * Words 0, 1 and 3 are carried through unchanged. */
typedef struct kelvane_device_info {
    uint32_t word0;
    uint32_t word1;
    int32_t device_type; /* 0-7, anything else is read as 0 */
    uint32_t word3;
    int32_t frame_point_num; /* per-frame point limit; honoured when 1-999,999, else 60,000 */
    int32_t device_subtype;  /* 0-6, anything else is read as 0 */
    float point_spacing;     /* outside (0, 1) counts as 0.001 */
} kelvane_device_info;

/* A compiler that pads these records differently cannot talk to the
 * library; fail the build instead of corrupting frames. */
typedef char kelvane_point_is_28_bytes[sizeof(kelvane_point) == 28 ? 1 : -1];
typedef char kelvane_vertex_is_36_bytes[sizeof(kelvane_vertex) == 36 ? 1 : -1];
typedef char kelvane_device_info_is_28_bytes[sizeof(kelvane_device_info) == 28 ? 1 : -1];

/* Opaque; owns one fusion::Kelvane_Impl_Points. */
typedef struct kelvane_engine kelvane_engine;

/* Creates an engine (not yet initialised). NULL when memory is lacking. */
KELVANE_C_API kelvane_engine* kelvane_create(void);
/* Waits for queued work, releases everything. NULL is ignored. */
KELVANE_C_API void kelvane_destroy(kelvane_engine* e);

KELVANE_C_API int kelvane_init(kelvane_engine* e);
KELVANE_C_API int kelvane_deinit(kelvane_engine* e);
KELVANE_C_API int kelvane_reset(kelvane_engine* e);
/* Both settings are needed again after every kelvane_init. */
KELVANE_C_API int kelvane_set_resolution(kelvane_engine* e, float resolution);
KELVANE_C_API int kelvane_set_device_info(kelvane_engine* e, const kelvane_device_info* info);
KELVANE_C_API int kelvane_set_quality_judge(kelvane_engine* e, int on);

/* Called with the frame's status at the end of every accepted
 * kelvane_process, on the thread that called it (for a non-blocking frame
 * before its second stage has run). A NULL callback clears it. Kept across
 * init, reset and deinit. The callback must not call back into e. */
KELVANE_C_API void kelvane_set_frame_callback(kelvane_engine* e,
                                              void (*callback)(int status, void* user), void* user);

/* Fuses one frame of `count` points. pose: 16 doubles, row-major; it must
 * not be NULL, and it is not applied (points are fused where they are).
 * blocking != 0 finishes the frame before returning and reports no updates;
 * 0 queues its second stage and reports the frame's updates.
 *
 * Views, in compressed form: view v holds the point indices
 * view_indices[view_offsets[v] .. view_offsets[v+1]-1]; view_offsets has
 * view_count + 1 entries, starts at 0 and never decreases. view_count 0
 * means no views (offsets and indices may be NULL); then no point of the
 * frame is confirmed or graded by views.
 *
 * A view is a group of points seen together; the engine confirms and grades
 * each view as a whole, and wants each as a run of consecutive points. When
 * the views are already such runs back to back from point 0 (view 0 holds
 * 0..a-1, view 1 holds a..b-1, ...) the frame is passed on as it is. Any
 * other grouping is accepted too: the frame is then copied with the points
 * of view 0 first (in the order listed), then those of view 1, and so on,
 * followed by the points of no view in their original order; the points of
 * no view are fused but not confirmed or graded by this frame. An index
 * outside 0..count-1, or one listed twice (in one view or in two), is
 * refused with 66051 and nothing is fused. A blocking frame reads no views:
 * they are checked but the frame is fused in the order given. */
KELVANE_C_API int kelvane_process(kelvane_engine* e, const kelvane_point* points, int count,
                                  const int* view_offsets, const int* view_indices, int view_count,
                                  const double* pose, int blocking);

/* Blocks until no frame is in kelvane_process and every queued second
 * stage has finished. NULL is ignored. */
KELVANE_C_API void kelvane_wait(kelvane_engine* e);

/* The whole live cloud. *vertices is released with kelvane_free. */
KELVANE_C_API int kelvane_extract_points(kelvane_engine* e, kelvane_vertex** vertices, int* count);
/* Every vertex update queued since the last call, in order: state 1 set
 * vertex view_id, 255 remove it, 0 its grades changed. Count 0 when none. */
KELVANE_C_API int kelvane_get_updates(kelvane_engine* e, kelvane_vertex** vertices, int* count);
/* The size a host table indexed by view_id needs (freed ids included). */
KELVANE_C_API int kelvane_vertex_count(kelvane_engine* e, int* count);
/* Non-blocking frames since the last init or reset whose second stage was
 * skipped because every worker slot was taken. */
KELVANE_C_API int kelvane_dropped_second_stages(kelvane_engine* e, int* count);

/* The whole state as a byte stream; *data is released with kelvane_free. */
KELVANE_C_API int kelvane_save(kelvane_engine* e, unsigned char** data, unsigned long long* size);
/* Replaces the state with a saved stream and returns the loaded live
 * points. The resolution stored in the stream becomes the engine's. */
KELVANE_C_API int kelvane_load(kelvane_engine* e, const unsigned char* data,
                               unsigned long long size, kelvane_vertex** vertices, int* count);
/* Seeds the volume from existing points (their attributes are not read)
 * and returns the resulting live points. */
KELVANE_C_API int kelvane_build(kelvane_engine* e, const kelvane_point* points, int count,
                                kelvane_vertex** vertices, int* vertex_count);

/* Region edits, given as point sets. Before kelvane_init they are queued
 * and applied by the next successful kelvane_init. */
KELVANE_C_API int kelvane_delete_area(kelvane_engine* e, const kelvane_point* points, int count);
KELVANE_C_API int kelvane_set_protected_area(kelvane_engine* e, const kelvane_point* points,
                                             int count, int unprotect);
KELVANE_C_API int kelvane_set_fine_scan_area(kelvane_engine* e, const kelvane_point* points,
                                             int count);
/* Reorganisation pass over fine-scan and protected points. */
KELVANE_C_API int kelvane_organize(kelvane_engine* e);

/* Releases an array handed out by any function above. NULL, and a pointer
 * the library did not hand out or already took back, are ignored. */
KELVANE_C_API void kelvane_free(void* array);

/* The message of the last failure on e; valid until the next call on e.
 * Never NULL. */
KELVANE_C_API const char* kelvane_last_error(kelvane_engine* e);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_C_H */
