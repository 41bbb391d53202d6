/*
 * A C99 host of the library, using nothing but fusion/kelvane_c.h: it fuses
 * a simulated sweep over a ball, mirrors the vertex updates in a table
 * indexed by view id, checks the mirror and the model against the
 * extraction, saves, loads into a second engine, and goes through the
 * failure statuses a C host sees. Exit status 0 when every check held.
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fusion/kelvane_c.h"

static int failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                               \
        }                                                                             \
    } while (0)

/* The sweep: a ball of radius 20 seen orthographically from 16 directions
 * around it, sampled on a grid of spacing 0.4 (so several samples meet in
 * each 0.5 voxel), with a little deterministic noise. One view per grid
 * row, as a structured-light scanner delivers its rows. */
#define RADIUS 20.0
#define SPACING 0.4
#define GRID 101 /* samples per row and rows per frame, centred on the ball */
#define FRAMES 16
#define MAX_POINTS (GRID * GRID)

static unsigned int noise_state = 12345u;
static double noise(void) { /* uniform in [-0.01, 0.01] */
    noise_state = noise_state * 1103515245u + 12345u;
    return ((noise_state >> 8) & 0xFFFF) / 65535.0 * 0.02 - 0.01;
}

/* Fills one frame; returns its point count and the row views. */
static int make_frame(int frame, kelvane_point* points, int* offsets, int* indices, int* view_count) {
    const double pi = 3.14159265358979;
    const double azimuth = 2.0 * pi * frame / FRAMES, elevation = 0.35 + 0.15 * sin(frame);
    const double d[3] = {cos(elevation) * cos(azimuth), cos(elevation) * sin(azimuth), sin(elevation)};
    const double e1[3] = {-sin(azimuth), cos(azimuth), 0.0};
    const double e2[3] = {d[1] * e1[2] - d[2] * e1[1], d[2] * e1[0] - d[0] * e1[2], d[0] * e1[1] - d[1] * e1[0]};
    int count = 0, views = 0, row, column, k;
    offsets[0] = 0;
    for (row = 0; row < GRID; ++row) {
        for (column = 0; column < GRID; ++column) {
            const double u = (column - GRID / 2) * SPACING, v = (row - GRID / 2) * SPACING;
            const double depth2 = RADIUS * RADIUS - u * u - v * v;
            if (depth2 < 0.01 * RADIUS * RADIUS) continue; /* grazing: a scanner loses it */
            for (k = 0; k < 3; ++k) {
                const double p = u * e1[k] + v * e2[k] + sqrt(depth2) * d[k];
                points[count].position[k] = (float)(p + noise());
                points[count].normal[k] = (float)(p / RADIUS);
            }
            points[count].attributes = 8;
            indices[count] = count;
            ++count;
        }
        if (count > offsets[views]) offsets[++views] = count;
    }
    *view_count = views;
    return count;
}

struct callback_log {
    int calls;
    int failed;
};

static void on_frame(int status, void* user) {
    struct callback_log* log = (struct callback_log*)user;
    ++log->calls;
    if (status != 0) ++log->failed;
}

static int setup(kelvane_engine* e) {
    kelvane_device_info device;
    memset(&device, 0, sizeof device);
    device.point_spacing = 0.3f;
    if (kelvane_init(e) != 0) return 1;
    if (kelvane_set_resolution(e, 0.5f) != 0) return 1;
    return kelvane_set_device_info(e, &device);
}

static int by_position(const void* a, const void* b) {
    return memcmp(((const kelvane_vertex*)a)->position, ((const kelvane_vertex*)b)->position,
                  sizeof(float[3]));
}

/* Applies one delivery of updates to the host table. */
static void mirror_updates(kelvane_vertex** table, unsigned char** present, int* size,
                           const kelvane_vertex* updates, int n) {
    int i;
    for (i = 0; i < n; ++i) {
        const int id = updates[i].view_id;
        CHECK(id >= 0);
        if (id < 0) continue;
        if (id >= *size) {
            const int grown = 2 * id + 1;
            *table = (kelvane_vertex*)realloc(*table, (size_t)grown * sizeof **table);
            *present = (unsigned char*)realloc(*present, (size_t)grown);
            memset(*present + *size, 0, (size_t)(grown - *size));
            *size = grown;
        }
        (*present)[id] = updates[i].state != 255;
        (*table)[id] = updates[i];
    }
}

static void check_failures_and_nulls(void) {
    kelvane_engine* e = kelvane_create();
    kelvane_point point = {{1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 1.0f}, 8};
    const double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const int offsets[2] = {0, 1}, outside[1] = {1};
    kelvane_vertex* vertices = NULL;
    int count = -1;
    unsigned char* bytes = NULL;
    unsigned long long size = 0;

    /* A NULL engine is refused, or ignored where nothing is returned. */
    CHECK(kelvane_init(NULL) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_process(NULL, &point, 1, NULL, NULL, 0, pose, 1) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_extract_points(NULL, &vertices, &count) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_last_error(NULL) != NULL);
    kelvane_destroy(NULL);
    kelvane_wait(NULL);
    kelvane_free(NULL);

    CHECK(e != NULL);
    if (e == NULL) return;
    /* The library's own answers before init, with its message. */
    CHECK(kelvane_process(e, &point, 1, NULL, NULL, 0, pose, 1) == KELVANE_FAILED);
    CHECK(strstr(kelvane_last_error(e), "no init !") != NULL);
    CHECK(kelvane_set_fine_scan_area(e, &point, 0) == KELVANE_INVALID_ARGUMENT);
    CHECK(setup(e) == 0);

    /* NULL out-pointers are refused by name. */
    CHECK(kelvane_extract_points(e, NULL, &count) == KELVANE_INVALID_ARGUMENT);
    CHECK(strstr(kelvane_last_error(e), "vertices is NULL") != NULL);
    CHECK(kelvane_get_updates(e, &vertices, NULL) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_vertex_count(e, NULL) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_save(e, &bytes, NULL) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_save(e, NULL, &size) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_set_device_info(e, NULL) == KELVANE_INVALID_ARGUMENT);

    /* Views naming a point outside the frame: refused, nothing fused. */
    CHECK(kelvane_process(e, &point, 1, offsets, outside, 1, pose, 0) == KELVANE_INVALID_ARGUMENT);
    CHECK(strstr(kelvane_last_error(e), "outside the frame") != NULL);
    CHECK(kelvane_extract_points(e, &vertices, &count) == 0 && count == 0 && vertices == NULL);
    /* After a success the message is the library's again. */
    CHECK(strncmp(kelvane_last_error(e), "[interface] : ", 14) == 0);

    /* A damaged stream is refused; the NULL pose is the library's error. */
    CHECK(kelvane_load(e, (const unsigned char*)"HASHnonsense", 12, &vertices, &count) ==
          KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_process(e, &point, 1, NULL, NULL, 0, NULL, 1) == KELVANE_FAILED);
    CHECK(strstr(kelvane_last_error(e), "invalid data !") != NULL);

    /* Building from points hands back live points; a freed array is gone. */
    CHECK(kelvane_build(e, &point, 1, &vertices, &count) == 0 && count == 1 && vertices != NULL);
    if (vertices != NULL) CHECK(fabsf(vertices[0].position[2] - 3.0f) < 1e-5f);
    kelvane_free(vertices);
    kelvane_free(vertices); /* a second release is ignored */
    CHECK(kelvane_delete_area(e, &point, 1) == 0);
    CHECK(kelvane_organize(e) == 0);
    kelvane_destroy(e);
}

int main(void) {
    static kelvane_point points[MAX_POINTS];
    static int offsets[GRID + 1], indices[MAX_POINTS];
    const double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    struct callback_log log = {0, 0};
    kelvane_vertex *table = NULL, *updates = NULL, *live = NULL, *loaded = NULL;
    unsigned char* present = NULL;
    unsigned char* bytes = NULL;
    unsigned long long size = 0;
    int table_size = 0, live_count = 0, loaded_count = 0, n = 0, frame, i, mirrored = 0, near = 0;
    kelvane_engine *e, *copy;

    check_failures_and_nulls();

    e = kelvane_create();
    CHECK(e != NULL && setup(e) == 0);
    if (e == NULL) return 1;
    kelvane_set_frame_callback(e, on_frame, &log);
    for (frame = 0; frame < FRAMES; ++frame) {
        int view_count = 0;
        const int count = make_frame(frame, points, offsets, indices, &view_count);
        CHECK(kelvane_process(e, points, count, offsets, indices, view_count, pose, 0) == 0);
        /* Settled frames deliver their updates in order, so the mirror
         * must end up holding exactly the live points. */
        kelvane_wait(e);
        CHECK(kelvane_get_updates(e, &updates, &n) == 0);
        mirror_updates(&table, &present, &table_size, updates, n);
        kelvane_free(updates);
    }
    CHECK(log.calls == FRAMES && log.failed == 0);
    kelvane_set_frame_callback(e, NULL, NULL);

    CHECK(kelvane_extract_points(e, &live, &live_count) == 0);
    CHECK(live_count > 4000); /* the ball's surface, some 7,500 voxels, mostly seen */
    for (i = 0; i < live_count; ++i) {
        const float* p = live[i].position;
        const double r = sqrt((double)p[0] * p[0] + (double)p[1] * p[1] + (double)p[2] * p[2]);
        if (fabs(r - RADIUS) < 0.1) ++near;
        if (live[i].view_id >= 0 && live[i].view_id < table_size && present[live[i].view_id]) ++mirrored;
    }
    CHECK(mirrored == live_count); /* every live point is in the mirror... */
    for (i = 0; i < table_size; ++i) mirrored -= present[i];
    CHECK(mirrored == 0);          /* ...and the mirror holds nothing else */
    CHECK(near == live_count);
    CHECK(kelvane_vertex_count(e, &n) == 0 && n >= live_count);

    /* Save, load into a fresh engine: the same live points come back. */
    CHECK(kelvane_save(e, &bytes, &size) == 0 && bytes != NULL && size > 148);
    copy = kelvane_create();
    CHECK(copy != NULL && setup(copy) == 0);
    CHECK(kelvane_load(copy, bytes, size, &loaded, &loaded_count) == 0);
    CHECK(loaded_count == live_count);
    if (loaded_count == live_count && live_count > 0) {
        qsort(live, (size_t)live_count, sizeof *live, by_position);
        qsort(loaded, (size_t)loaded_count, sizeof *loaded, by_position);
        for (i = 0; i < live_count; ++i) CHECK(by_position(&live[i], &loaded[i]) == 0);
    }
    kelvane_free(bytes);
    kelvane_free(loaded);
    kelvane_free(live);
    CHECK(kelvane_reset(e) == 0);
    CHECK(kelvane_extract_points(e, &live, &live_count) == 0 && live_count == 0);
    kelvane_destroy(copy);
    kelvane_destroy(e);
    free(table);
    free(present);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("C interface: every check held\n");
    return 0;
}
