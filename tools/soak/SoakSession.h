#pragma once

// A randomized, seeded session of host operations against the public
// interface, checking after every step what a host relies on:
//   - live view ids are unique and below getVertexNum;
//   - every update record is well formed; blocking frames, loads, builds,
//     marks, the reorganisation pass and compacting deletions report none;
//   - a table kept from update records alone (kelvane_host::HostMirror)
//     holds, after waitForPendingWork and one last drain, exactly the
//     extracted ids, however frames were paced and their second stages
//     overlapped, and no removal names an id the table does not hold (a
//     removal that came after the reuse of its id would). After single
//     frames, loads and in-place deletions its positions also lie within
//     one voxel edge of the extraction's;
//   - both extraction forms agree record for record;
//   - a saved stream is well formed, holds exactly the extracted points and
//     loads, in a second engine, back to the same live records, field for
//     field including observation counts, except where two records of one
//     voxel face each other by the time of the save and fuse on re-insertion;
//   - an in-place deletion removes the selected unprotected points (or,
//     where two records of a voxel face each other, the one the lookup meets
//     first), a compacting one keeps every other point;
//   - marks move nothing, a build keeps every old vertex, clearing leaves
//     nothing.
// The same seed replays the same operations (up to the engine's thread
// timing). Used by the test suite (a few hundred operations) and by the
// long-running soak tool.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvane_soak {

struct SoakOptions {
    uint32_t seed = 1;
    int operations = 300;
    float resolution = 0.5f;
    // Rays per frame and object size: at the default resolution a frame
    // holds one to two thousand points spaced finer than a voxel.
    int rows = 40;
    int columns = 50;
    float object_size = 16.0f;
    // The device's per-frame limit; small, so that a selection repeated a
    // few times outgrows the deletion's update batch and compacts the store.
    int frame_point_limit = 3000;
    // Every this many steps the current state also makes the snapshot round
    // trip, whatever the step was.
    int snapshot_every = 10;
    // When not empty, only the operations of these names are drawn (with
    // their usual weights); an unknown name fails the session at once.
    std::vector<std::string> only;
    // A fault to plant, for checking the checks: the host's table loses
    // every n-th update record it is handed (0: none).
    int lose_update_every = 0;
};

struct SoakReport {
    int operations = 0;
    std::map<std::string, int> kinds;  // steps per operation kind
    int64_t points_in = 0;             // points handed in by frames and builds
    std::size_t peak_live = 0;
    int snapshots_checked = 0;
    int mirror_checks = 0;         // settled host tables compared with the extraction
    int64_t updates_applied = 0;   // update records the host table took in
    int fused_on_reload = 0;       // records that met another on re-insertion
    int selected_not_removed = 0;  // selected records a deletion did not take
    int taken_instead = 0;         // their facing voxel neighbours it took instead
    std::string failure;           // empty when every check held
    int failed_step = -1;
    std::string failed_kind;
};

class SoakSession {
public:
    explicit SoakSession(const SoakOptions& options) : m_options(options) {}
    SoakReport run();

private:
    SoakOptions m_options;
};

}  // namespace kelvane_soak
