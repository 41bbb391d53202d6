#include "fuse/Options.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <vector>

#include "sim/Simulator.h"

namespace kelvane_fuse {
namespace {

const char* const kDescription =
    "Plays a 3-D scan through the point-fusion library the way a scanning\n"
    "application does, and writes the fused cloud, an optional preview and a\n"
    "report. With no arguments it fuses the built-in simulated scan and writes\n"
    "fused.ply and preview.png into the current directory.";

const char* const kFooter =
    "Input:\n"
    "  Without INPUT the built-in simulated scanner plays a sweep over an object.\n"
    "  A file INPUT is a recorded frame file (per frame: little-endian int32\n"
    "  point count, then that many 28-byte point records); a directory INPUT\n"
    "  holds one PLY file per frame, played in natural name order.\n"
    "\n"
    "Exit status: 0 done; 1 bad option or input; 2 library failure; 3 output\n"
    "could not be written; 4 --check-mirror found a difference.";

// Parses "AZ,EL" in degrees, or "auto".
bool parseViewpoint(const std::string& text, FuseOptions& options) {
    if (text == "auto") {
        options.view_auto = true;
        return true;
    }
    const size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    try {
        size_t used_a = 0, used_e = 0;
        const std::string a = text.substr(0, comma), e = text.substr(comma + 1);
        options.azimuth = std::stof(a, &used_a);
        options.elevation = std::stof(e, &used_e);
        if (used_a != a.size() || used_e != e.size()) return false;
    } catch (const std::exception&) {
        return false;
    }
    if (options.elevation < -90.0f || options.elevation > 90.0f) return false;
    options.view_auto = false;
    return true;
}

// Range checks whose message states the range plainly.
template <typename T>
CLI::Validator inRange(T low, T high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            std::istringstream in(text);
            double value = 0;
            in >> value;
            if (in.fail() || !in.eof() || value < double(low) || value > double(high)) {
                std::ostringstream message;
                message << "expected " << low << " to " << high << ", got '" << text << "'";
                return message.str();
            }
            return std::string();
        },
        "");
}

CLI::Validator positive() {
    return CLI::Validator(
        [](std::string& text) {
            std::istringstream in(text);
            double value = 0;
            in >> value;
            if (in.fail() || !in.eof() || !(value > 0))
                return "expected a positive number, got '" + text + "'";
            return std::string();
        },
        "");
}

}  // namespace

ParseResult parseOptions(int argc, const char* const* argv, FuseOptions& options, std::ostream& out,
                         std::ostream& err) {
    CLI::App app(kDescription, "kelvane-fuse");
    app.footer(kFooter);
    app.get_formatter()->column_width(30);
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string("kelvane-fuse: ") + e.what() + " (see --help)\n";
    });

    std::string input;
    std::string viewpoint = "auto";
    bool no_preview = false;
    bool no_quality_judge = false;
    bool non_blocking = false;

    app.add_option("INPUT", input, "Frame file or directory of PLY frames (default: simulator)")
        ->type_name("");

    const char* sim = "Simulated scan (when no INPUT is given)";
    std::vector<CLI::Option*> sim_options;
    sim_options.push_back(
        app.add_flag("--handheld", options.handheld,
                     "Hand-held sweep over part of a large bumpy object at a realistic "
                     "density (120 frames, 46,500 points each)")
            ->group(sim));
    sim_options.push_back(
        app.add_option("--object", options.object,
                       "sphere, box, torus, bumpy, plate, statue (a sculpture with fine "
                       "relief, always a hand-held sweep: 120 frames of about 46,000 points) "
                       "or panel (a large wavy panel scanned in a raster, see --size)")
            ->group(sim)
            ->type_name("NAME")
            ->capture_default_str()
            ->check(CLI::Validator(
                [](std::string& name) {
                    kelvane_sim::Shape shape;
                    return kelvane_sim::parseShape(name, shape) ? std::string()
                                                                : "unknown object '" + name + "'";
                },
                "")));
    std::string panel_size;
    sim_options.push_back(
        app.add_option("--size", panel_size,
                       "Panel size in mm, WIDTHxHEIGHT (default 2400x1200: 1,770 frames of "
                       "46,000 points, about 11.5 million fused points)")
            ->group(sim)
            ->type_name("WxH")
            ->check(CLI::Validator(
                [](std::string& text) {
                    float w = 0, h = 0;
                    return kelvane_sim::parsePanelSize(text, w, h)
                               ? std::string()
                               : "expected WIDTHxHEIGHT in mm, got '" + text + "'";
                },
                "")));
    sim_options.push_back(app.add_option("--frames", options.frames, "Frames in the sweep")
                              ->group(sim)
                              ->type_name("N")
                              ->capture_default_str()
                              ->check(inRange(1, 100000)));
    sim_options.push_back(app.add_option("--seed", options.seed, "Noise seed")
                              ->group(sim)
                              ->type_name("N")
                              ->capture_default_str());
    sim_options.push_back(app.add_option("--rows", options.rows, "Ray rows per frame")
                              ->group(sim)
                              ->type_name("N")
                              ->capture_default_str()
                              ->check(inRange(1, 4000)));
    sim_options.push_back(app.add_option("--columns", options.columns, "Ray columns per frame")
                              ->group(sim)
                              ->type_name("N")
                              ->capture_default_str()
                              ->check(inRange(1, 4000)));

    const char* engine = "Engine settings";
    app.add_option("-r,--resolution", options.resolution, "Voxel edge, in the scan's length unit")
        ->group(engine)
        ->type_name("LEN")
        ->capture_default_str()
        ->check(positive());
    app.add_option("--spacing", options.point_spacing,
                   "Device point spacing, 0-1 (above the resolution, fusion is off)")
        ->group(engine)
        ->type_name("LEN")
        ->capture_default_str()
        ->check(inRange(0.0, 1.0));
    app.add_option("--device-type", options.device_type, "Device type, 0-7")
        ->group(engine)
        ->type_name("N")
        ->capture_default_str()
        ->check(inRange(0, 7));
    app.add_option("--device-subtype", options.device_subtype, "Device sub-type, 0-6")
        ->group(engine)
        ->type_name("N")
        ->capture_default_str()
        ->check(inRange(0, 6));
    app.add_option("--frame-limit", options.frame_limit,
                   "Points per frame the device allows (0: just above the largest frame)")
        ->group(engine)
        ->type_name("N")
        ->capture_default_str()
        ->check(inRange(0, 999999));
    app.add_flag("--blocking", options.blocking,
                 "Finish each frame inside process (reports no updates)")
        ->group(engine);
    app.add_flag("--non-blocking", non_blocking, "Queue each frame's second stage (default)")
        ->group(engine);
    app.add_flag("--no-quality-judge", no_quality_judge, "Switch quality judging off")
        ->group(engine);
    app.add_option("--view-run", options.view_run,
                   "Points per view run for file input, which carries no runs")
        ->group(engine)
        ->type_name("N")
        ->capture_default_str()
        ->check(inRange(1, 1000000));
    app.add_option("--fps", options.fps, "Pace frames like a live scanner (0: as fast as possible)")
        ->group(engine)
        ->type_name("RATE")
        ->capture_default_str()
        ->check(inRange(0.0, 1000.0));
    app.add_flag("--settle", options.settle,
                 "Wait for each frame's second stage before the next (slower; the model settles "
                 "frame by frame)")
        ->group(engine);
    app.add_option("--load", options.load_snapshot, "Snapshot to load before the first frame")
        ->group(engine)
        ->type_name("FILE")
        ->check(CLI::ExistingFile.description(""));

    const char* outputs = "Outputs";
    app.add_option("-o,--out", options.out_dir,
                   "Directory for output names without a directory part (created when missing)")
        ->group(outputs)
        ->type_name("DIR")
        ->capture_default_str();
    app.add_option("--ply", options.ply, "Fused cloud as binary PLY")
        ->group(outputs)
        ->type_name("FILE")
        ->capture_default_str();
    app.add_option("--preview", options.preview, "Preview image")
        ->group(outputs)
        ->type_name("FILE")
        ->capture_default_str();
    app.add_flag("--no-preview", no_preview, "Do not render the preview")->group(outputs);
    app.add_option("--width", options.width, "Preview width in pixels")
        ->group(outputs)
        ->type_name("PX")
        ->capture_default_str()
        ->check(inRange(16, 16384));
    app.add_option("--height", options.height, "Preview height in pixels")
        ->group(outputs)
        ->type_name("PX")
        ->capture_default_str()
        ->check(inRange(16, 16384));
    app.add_option("--view", viewpoint, "Preview direction: auto, or AZIMUTH,ELEVATION in degrees")
        ->group(outputs)
        ->type_name("VIEW")
        ->capture_default_str();
    app.add_option("--save", options.save_snapshot, "Also write the engine snapshot")
        ->group(outputs)
        ->type_name("FILE");
    app.add_option("--record", options.record,
                   "Also write the played frames: a frame file, or with a name ending in / (or "
                   "naming a directory) one PLY file per frame")
        ->group(outputs)
        ->type_name("FILE|DIR/");
    app.add_flag("--check-mirror", options.check_mirror,
                 "Exit with status 4 when the update mirror differs from the extraction")
        ->group(outputs);
    app.add_flag("-q,--quiet", options.quiet, "No progress display")->group(outputs);

    const char* live = "Live view";
    std::string serve_port;
    CLI::Option* serve =
        app.add_option("--serve", serve_port,
                       "Serve a page that draws the model as it grows, at PORT (default: a free "
                       "one); put INPUT before it")
            ->group(live)
            ->type_name("[PORT]")
            ->expected(0, 1);
    app.add_option("--serve-address", options.serve_address,
                   "Address to listen on (default: this machine only)")
        ->group(live)
        ->type_name("ADDR")
        ->capture_default_str();
    app.add_flag("--serve-exit", options.serve_exit,
                 "Stop serving when the run ends (default: serve until interrupted)")
        ->group(live);
    app.add_option("--serve-queue", options.serve_queue_mib,
                   "MiB a page may fall behind before it is sent the model afresh")
        ->group(live)
        ->type_name("MIB")
        ->capture_default_str()
        ->check(inRange(1, 4096));

    try {
        app.parse(argc, argv);
        if (options.blocking && non_blocking) {
            throw CLI::ValidationError("--blocking and --non-blocking exclude each other");
        }
        for (const CLI::Option* o : sim_options) {
            if (!input.empty() && o->count() > 0) {
                throw CLI::ValidationError(o->get_name() +
                                           " applies to the simulator, not to INPUT");
            }
        }
        // The statue is only ever scanned by hand: naming it picks its preset.
        if (options.object == "statue") options.handheld = true;
        if (options.handheld) {
            // The preset's values stand wherever the command line gives none.
            const kelvane_sim::SweepOptions preset = options.object == "statue"
                                                         ? kelvane_sim::statueSweep()
                                                         : kelvane_sim::handheldSweep();
            if (app.count("--object") == 0) options.object = kelvane_sim::shapeName(preset.shape);
            if (app.count("--frames") == 0) options.frames = preset.frames;
            if (app.count("--rows") == 0) options.rows = preset.rows;
            if (app.count("--columns") == 0) options.columns = preset.columns;
        }
        if (serve->count() > 0) {
            options.serve_port = 0;
            if (!serve_port.empty()) {
                std::string text = serve_port;
                const std::string problem = inRange(0, 65535)(text);
                if (!problem.empty())
                    throw CLI::ValidationError(
                        "--serve", "a port number, " + problem + " (put INPUT before --serve)");
                options.serve_port = std::stoi(serve_port);
            }
        }
        for (const char* name : {"--serve-address", "--serve-exit", "--serve-queue"}) {
            if (serve->count() == 0 && app.count(name) > 0)
                throw CLI::ValidationError(std::string(name) + " applies to --serve");
        }
        if (!panel_size.empty()) {
            if (options.object != "panel")
                throw CLI::ValidationError("--size", "applies to --object panel only");
            kelvane_sim::parsePanelSize(panel_size, options.panel_width, options.panel_height);
        }
        if (options.object == "panel") {
            const kelvane_sim::SweepOptions preset =
                kelvane_sim::panelSweep(options.panel_width, options.panel_height);
            if (app.count("--frames") == 0) options.frames = preset.frames;
            if (app.count("--rows") == 0) options.rows = preset.rows;
            if (app.count("--columns") == 0) options.columns = preset.columns;
        }
        if (!parseViewpoint(viewpoint, options)) {
            throw CLI::ValidationError(
                "--view",
                "expected auto or AZIMUTH,ELEVATION (elevation -90..90), got '" + viewpoint + "'");
        }
    } catch (const CLI::ParseError& e) {
        // Help and version print to `out` and succeed; every parse error is
        // a usage error with one status, whatever CLI11's own code.
        return ParseResult{false, app.exit(e, out, err) == 0 ? 0 : 1};
    }

    if (!input.empty()) {
        std::error_code ec;
        const auto status = std::filesystem::status(input, ec);
        if (ec || !std::filesystem::exists(status)) {
            err << "kelvane-fuse: " << input << ": no such file or directory\n";
            return ParseResult{false, 1};
        }
        options.input_path = input;
        options.input =
            std::filesystem::is_directory(status) ? InputKind::PlyDirectory : InputKind::FrameFile;
    }
    if (no_preview) options.preview.clear();
    if (no_quality_judge) options.quality_judge = false;
    return ParseResult{true, 0};
}

std::string outputPath(const FuseOptions& options, const std::string& name) {
    if (name.empty()) return name;
    const std::filesystem::path path(name);
    // A name that says where it goes (a directory part, or absolute) is
    // taken as given, relative to where the user stands.
    if (path.has_parent_path() || options.out_dir.empty() || options.out_dir == ".") return name;
    return (std::filesystem::path(options.out_dir) / path).string();
}

}  // namespace kelvane_fuse
