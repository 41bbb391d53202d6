#pragma once

// Progress display on standard error: a bar redrawn in place on a terminal,
// a plain line every tenth of the run otherwise (logs, pipes, CI).

#include <cstdint>
#include <cstdio>
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

}  // namespace kelvane_fuse
