#pragma once

// Progress display on standard error: a bar redrawn in place on a terminal,
// a plain line every tenth of the run otherwise (logs, pipes, CI).

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kelvane_fuse {

std::string formatProgressBar(int done, int total, double frames_per_second, int64_t points);

class Progress {
public:
    Progress(std::FILE* out, bool interactive, int total_frames, bool enabled);
    void update(int done, int64_t points, double elapsed_seconds);
    void finish(int done, int64_t points, double elapsed_seconds);

    static bool isTerminal(std::FILE* stream);

private:
    std::FILE* m_out;
    bool m_interactive;
    int m_total;
    bool m_enabled;
    double m_last_draw = -1.0;
    int m_next_line = 1;  // tenths already reported in plain mode
    bool m_drawn = false;
};

// Progress of one long step that is not frames (reading or saving a large
// snapshot, writing a large PLY file): `done` of `total` units.
using StepProgress = std::function<void(uint64_t done, uint64_t total)>;

std::string formatStepBar(const std::string& what, uint64_t done, uint64_t total, const char* unit,
                          double unit_scale);

// The same bar for such a step, drawn only when the step is large enough to
// be worth watching (`total` at least `worth`): redrawn in place on a
// terminal, a plain line every tenth otherwise.
class StepBar {
public:
    StepBar(std::FILE* out, bool interactive, bool enabled, std::string what, const char* unit,
            double unit_scale, uint64_t worth);
    // The callback to hand to the step; empty when the bar stays hidden
    // for this total.
    StepProgress callback(uint64_t total);
    void finish();

private:
    void update(uint64_t done, uint64_t total);

    std::FILE* m_out;
    bool m_interactive;
    bool m_enabled;
    std::string m_what;
    const char* m_unit;
    double m_unit_scale;
    uint64_t m_worth;
    int m_next_line = 1;
    int m_last_filled = -1;
    bool m_drawn = false;
};

}  // namespace kelvane_fuse
