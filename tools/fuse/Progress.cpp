#include "fuse/Progress.h"

#include <algorithm>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kelvane_fuse {

std::string formatProgressBar(int done, int total, double frames_per_second, int64_t points) {
    constexpr int kWidth = 30;
    const int filled = total > 0 ? int(int64_t(kWidth) * std::clamp(done, 0, total) / total) : 0;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kWidth - filled), '.');
    char text[160];
    std::snprintf(text, sizeof text, "[%s] %d/%d frames  %.1f fps  %lld points", bar.c_str(), done,
                  total, frames_per_second, (long long)points);
    return text;
}

Progress::Progress(std::FILE* out, bool interactive, int total_frames, bool enabled)
    : m_out(out), m_interactive(interactive), m_total(total_frames), m_enabled(enabled) {}

bool Progress::isTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

void Progress::update(int done, int64_t points, double elapsed) {
    if (!m_enabled) return;
    const double fps = elapsed > 0 ? done / elapsed : 0.0;
    if (m_interactive) {
        // A terminal redraw costs little, but not nothing per frame.
        if (done < m_total && m_last_draw >= 0 && elapsed - m_last_draw < 0.1) return;
        m_last_draw = elapsed;
        std::fprintf(m_out, "\r%s", formatProgressBar(done, m_total, fps, points).c_str());
        std::fflush(m_out);
        m_drawn = true;
        return;
    }
    if (m_total <= 0) return;
    if (m_next_line > 10 || int64_t(done) * 10 < int64_t(m_total) * m_next_line) return;
    std::fprintf(m_out, "frame %d/%d  %.1f fps  %lld points\n", done, m_total, fps,
                 (long long)points);
    m_next_line = int(int64_t(done) * 10 / m_total) + 1;
}

void Progress::finish(int done, int64_t points, double elapsed) {
    if (!m_enabled) return;
    if (m_interactive) {
        m_last_draw = -1.0;
        update(done, points, elapsed);
        if (m_drawn) std::fputc('\n', m_out);
    }
    std::fflush(m_out);
}

}  // namespace kelvane_fuse
