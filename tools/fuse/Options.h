#pragma once

// Command-line settings of kelvane-fuse.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace kelvane_fuse {

enum class InputKind { Simulator, FrameFile, PlyDirectory };

struct FuseOptions {
    // Input: the simulator unless a frame file or a PLY directory is given.
    InputKind input = InputKind::Simulator;
    std::string input_path;
    std::string object = "sphere";
    int frames = 60;
    uint32_t seed = 1;
    int rows = 200;
    int columns = 250;
    int view_run = 256;  // points per view run for inputs that carry no runs
    // The simulator's handheld sweep (a realistic density over a partial
    // view); --object, --frames, --rows and --columns default to its values.
    bool handheld = false;
    // The panel (--object panel): its size; --frames, --rows and --columns
    // default to the raster that covers it.
    float panel_width = 2400.0f;
    float panel_height = 1200.0f;

    // Engine settings.
    float resolution = 0.5f;
    float point_spacing = 0.2f;
    int device_type = 0;
    int device_subtype = 0;
    int frame_limit = 0;  // 0: sized from the largest input frame
    bool blocking = false;
    bool quality_judge = true;
    double fps = 0.0;     // 0: as fast as frames are processed
    bool settle = false;  // wait for each frame's second stage before the next
    std::string load_snapshot;

    // Outputs; bare names (no directory part) are placed in out_dir.
    std::string out_dir = ".";
    std::string ply = "fused.ply";
    std::string preview = "preview.png";
    std::string save_snapshot;
    std::string record;
    int width = 1024;
    int height = 768;
    bool view_auto = true;
    float azimuth = 0.0f;    // degrees about the vertical axis
    float elevation = 0.0f;  // degrees above the horizontal
    bool check_mirror = false;
    bool quiet = false;

    // Live view: serve_port -1 serves nothing, 0 a free port.
    int serve_port = -1;
    std::string serve_address = "127.0.0.1";
    bool serve_exit = false;   // stop serving when the run ends
    int serve_queue_mib = 64;  // how far a page may fall behind
};

struct ParseResult {
    bool run = false;  // false: exit with exit_code (help, version, error)
    int exit_code = 0;
};

// Parses argv. Help goes to `out`; a bad option or value is one line on
// `err`. Input paths are checked for existence here so a typo fails at once.
ParseResult parseOptions(int argc, const char* const* argv, FuseOptions& options, std::ostream& out,
                         std::ostream& err);

// Where an output goes: a bare name (no directory part) into the output
// directory; a name with a directory part, absolute or relative to the
// current directory, as given; an empty name (output switched off) stays
// empty.
std::string outputPath(const FuseOptions& options, const std::string& name);

}  // namespace kelvane_fuse
