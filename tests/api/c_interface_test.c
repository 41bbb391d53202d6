/*
 * A C99 host of the library, using nothing but fusion/kelvane_c.h: it checks
 * the failure statuses a C host sees, fuses a simulated sweep over a ball,
 * mirrors the vertex updates in a table indexed by view id, checks mirror
 * and model against the extraction, saves, and loads into a second engine.
 * Exit status 0 when every check held.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "fusion/kelvane_c.h"

static int failures = 0;
#define CHECK(condition)                                                                \
    do {                                                                                \
        if (!(condition))                                                               \
            ++failures, fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition); \
    } while (0)

/* A ball of radius 20 seen orthographically from 16 directions, sampled on a
 * 0.4 grid (several samples per 0.5 voxel) with a little noise; one view per
 * grid row, as a structured-light scanner delivers its rows. */
#define RADIUS 20.0
#define GRID 101
#define FRAMES 16

static int make_frame(int frame, kelvane_point* points, int* offsets, int* indices, int* views) {
    const double azimuth = 6.283185307 * frame / FRAMES, elevation = 0.35 + 0.15 * sin(frame);
    const double d[3] = {cos(elevation) * cos(azimuth), cos(elevation) * sin(azimuth),
                         sin(elevation)};
    const double e1[3] = {-sin(azimuth), cos(azimuth), 0.0};
    const double e2[3] = {d[1] * e1[2] - d[2] * e1[1], d[2] * e1[0] - d[0] * e1[2],
                          d[0] * e1[1] - d[1] * e1[0]};
    static unsigned int noise = 12345u;
    int count = 0, row, column, k;
    offsets[*views = 0] = 0;
    for (row = 0; row < GRID; ++row) {
        for (column = 0; column < GRID; ++column) {
            const double u = (column - GRID / 2) * 0.4, v = (row - GRID / 2) * 0.4;
            const double depth2 = RADIUS * RADIUS - u * u - v * v;
            if (depth2 < 0.01 * RADIUS * RADIUS) continue; /* grazing: a scanner loses it */
            for (k = 0; k < 3; ++k) {
                const double p = u * e1[k] + v * e2[k] + sqrt(depth2) * d[k];
                noise = noise * 1103515245u + 12345u;
                points[count].position[k] =
                    (float)(p + ((noise >> 8) & 0xFFFF) / 65535.0 * 0.02 - 0.01);
                points[count].normal[k] = (float)(p / RADIUS);
            }
            points[count].attributes = 8;
            indices[count] = count, ++count;
        }
        if (count > offsets[*views]) offsets[++*views] = count;
    }
    return count;
}

static void on_frame(int status, void* user) { ((int*)user)[status != 0] += 1; }

static int setup(kelvane_engine* e) {
    kelvane_device_info device;
    memset(&device, 0, sizeof device);
    device.point_spacing = 0.3f;
    return e == NULL || kelvane_init(e) || kelvane_set_resolution(e, 0.5f) ||
           kelvane_set_device_info(e, &device);
}

static void check_failures(void) {
    kelvane_engine* e = kelvane_create();
    kelvane_point point = {{1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 1.0f}, 8};
    const double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const int offsets[2] = {0, 1}, outside[1] = {1};
    kelvane_vertex* vertices = NULL;
    int count = -1;

    CHECK(kelvane_init(NULL) == KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_extract_points(NULL, &vertices, &count) == KELVANE_INVALID_ARGUMENT);
    kelvane_destroy(NULL), kelvane_wait(NULL), kelvane_free(NULL); /* ignored */
    CHECK(kelvane_process(e, &point, 1, NULL, NULL, 0, pose, 1) == KELVANE_FAILED);
    CHECK(strstr(kelvane_last_error(e), "no init !") != NULL); /* the library's message */
    CHECK(setup(e) == 0);
    CHECK(kelvane_extract_points(e, NULL, &count) == KELVANE_INVALID_ARGUMENT);
    CHECK(strstr(kelvane_last_error(e), "vertices is NULL") != NULL);
    CHECK(kelvane_process(e, &point, 1, offsets, outside, 1, pose, 0) == KELVANE_INVALID_ARGUMENT);
    CHECK(strstr(kelvane_last_error(e), "outside the frame") != NULL);
    CHECK(kelvane_extract_points(e, &vertices, &count) == 0 && count == 0 && vertices == NULL);
    CHECK(strncmp(kelvane_last_error(e), "[interface] : ", 14) == 0); /* the library's again */
    CHECK(kelvane_load(e, (const unsigned char*)"HASHnonsense", 12, &vertices, &count) ==
          KELVANE_INVALID_ARGUMENT);
    CHECK(kelvane_build(e, &point, 1, &vertices, &count) == 0 && count == 1 && vertices != NULL);
    kelvane_free(vertices);
    kelvane_free(vertices); /* a second release is ignored */
    kelvane_destroy(e);
}

int main(void) {
    static kelvane_point points[GRID * GRID];
    static int offsets[GRID + 1], indices[GRID * GRID];
    static unsigned char present[1 << 20]; /* the host's mirror: which view ids are live */
    const double pose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    kelvane_vertex *updates = NULL, *live = NULL, *loaded = NULL;
    unsigned char* bytes = NULL;
    unsigned long long size = 0;
    int calls[2] = {0, 0}, live_count = 0, loaded_count = 0, n = 0, frame, i, held = 0,
        mirrored = 0;
    kelvane_engine *e = kelvane_create(), *copy = kelvane_create();

    check_failures();
    CHECK(setup(e) == 0 && setup(copy) == 0);
    if (failures != 0) return 1;
    kelvane_set_frame_callback(e, on_frame, calls);
    for (frame = 0; frame < FRAMES; ++frame) {
        int views = 0;
        const int count = make_frame(frame, points, offsets, indices, &views);
        CHECK(kelvane_process(e, points, count, offsets, indices, views, pose, 0) == 0);
        kelvane_wait(e); /* settled frames deliver their updates in order */
        CHECK(kelvane_get_updates(e, &updates, &n) == 0);
        for (i = 0; i < n; ++i) {
            CHECK(updates[i].view_id >= 0 && updates[i].view_id < (int)sizeof present);
            present[updates[i].view_id] = updates[i].state != 255;
        }
        kelvane_free(updates);
    }
    CHECK(calls[0] == FRAMES && calls[1] == 0);

    CHECK(kelvane_extract_points(e, &live, &live_count) == 0);
    CHECK(live_count > 4000); /* most of the ball's ~7,500 surface voxels */
    for (i = 0; i < live_count; ++i) {
        held += live[i].view_id >= 0 && live[i].view_id < (int)sizeof present &&
                present[live[i].view_id];
    }
    for (i = 0; i < (int)sizeof present; ++i) mirrored += present[i];
    CHECK(held == live_count &&
          mirrored == live_count); /* every live point mirrored, nothing else */
    CHECK(kelvane_vertex_count(e, &n) == 0 && n >= live_count);

    CHECK(kelvane_save(e, &bytes, &size) == 0 && bytes != NULL && size > 148);
    CHECK(kelvane_load(copy, bytes, size, &loaded, &loaded_count) == 0 &&
          loaded_count == live_count);
    kelvane_free(bytes);
    kelvane_free(loaded);
    kelvane_free(live);
    kelvane_destroy(copy);
    kelvane_destroy(e);
    if (failures == 0) printf("C interface: every check held\n");
    return failures != 0;
}
