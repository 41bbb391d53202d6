#include "fuse/Progress.h"

#include <algorithm>
#include <utility>

#include "fuse/System.h"

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

bool Progress::isTerminal(std::FILE* stream) { return os::isTerminal(stream); }

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

std::string formatStepBar(const std::string& what, uint64_t done, uint64_t total, const char* unit,
                          double unit_scale) {
    constexpr int kWidth = 30;
    done = std::min(done, total);
    const int filled = total > 0 ? int(double(kWidth) * double(done) / double(total)) : kWidth;
    std::string bar(size_t(filled), '#');
    bar.append(size_t(kWidth - filled), '.');
    char text[200];
    std::snprintf(text, sizeof text, "[%s] %s  %.0f/%.0f %s", bar.c_str(), what.c_str(),
                  double(done) / unit_scale, double(total) / unit_scale, unit);
    return text;
}

StepBar::StepBar(std::FILE* out, bool interactive, bool enabled, std::string what, const char* unit,
                 double unit_scale, uint64_t worth)
    : m_out(out),
      m_interactive(interactive),
      m_enabled(enabled),
      m_what(std::move(what)),
      m_unit(unit),
      m_unit_scale(unit_scale),
      m_worth(worth) {}

StepProgress StepBar::callback(uint64_t total) {
    if (!m_enabled || total < m_worth) return {};
    return [this](uint64_t done, uint64_t all) { update(done, all); };
}

void StepBar::update(uint64_t done, uint64_t total) {
    if (total == 0) return;
    if (m_interactive) {
        // Redrawn when the bar grows by a step, so a fast step costs nothing.
        const int filled = int(30.0 * double(std::min(done, total)) / double(total));
        if (filled == m_last_filled) return;
        m_last_filled = filled;
        std::fprintf(m_out, "\r%s",
                     formatStepBar(m_what, done, total, m_unit, m_unit_scale).c_str());
        std::fflush(m_out);
        m_drawn = true;
        return;
    }
    if (m_next_line > 10 || done * 10 < total * uint64_t(m_next_line)) return;
    std::fprintf(m_out, "%s  %.0f/%.0f %s\n", m_what.c_str(), double(done) / m_unit_scale,
                 double(total) / m_unit_scale, m_unit);
    m_next_line = int(done * 10 / total) + 1;
}

void StepBar::finish() {
    if (m_drawn) std::fputc('\n', m_out);
    m_drawn = false;
    std::fflush(m_out);
}

}  // namespace kelvane_fuse
