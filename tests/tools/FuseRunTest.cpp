// kelvane-fuse as a user runs it: whole runs, failures, interruption.

#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fuse/FrameFile.h"
#include "fuse/FuseRun.h"
#include "fuse/Options.h"
#include "fuse/PlyIO.h"
#include "support/ChildProcess.h"
#include "support/FuseHelpers.h"

namespace {

using fuse_test::contains;

using Args = std::vector<std::string>;
using fuse_test::TempDir;

struct ToolRun {
    kelvane_fuse::ParseResult parsed;
    kelvane_fuse::FuseOptions options;
    int status;
    std::string out, err;
};

ToolRun parse(Args args) {
    args.insert(args.begin(), "kelvane-fuse");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    ToolRun r;
    std::ostringstream out, err;
    r.parsed = kelvane_fuse::parseOptions(int(argv.size()), argv.data(), r.options, out, err);
    r.status = r.parsed.exit_code, r.out = out.str(), r.err = err.str();
    return r;
}

// Runs the tool quietly on a small sweep into `dir` by default; "@" stands for `dir`.
ToolRun runTool(const TempDir& dir, Args args) {
    const auto lacks = [&](const char* option) {
        return std::find(args.begin(), args.end(), option) == args.end();
    };
    if (args[0][0] == '-' && lacks("--frames"))
        args.insert(args.begin(), {"--frames", "4", "--rows", "48", "--columns", "60"});
    if (lacks("--out")) args.insert(args.begin(), {"--out", "@"});
    for (auto& a : args) a = a[0] == '@' ? dir.path.string() + a.substr(1) : a;
    args.insert(args.begin(), "-q");
    ToolRun r = parse(args);
    if (!r.parsed.run) return r;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    r.status = kelvane_fuse::runFuse(r.options, out, err);
    r.out = fuse_test::readAll(out), r.err = fuse_test::readAll(err);
    return r;
}

size_t plyVertexCount(const std::string& path) {
    std::vector<fusion::PointData> points;
    std::string error;
    return kelvane_fuse::readPlyPoints(path, points, error) ? points.size() : 0;
}

// A full-speed scan's outputs and exact mirror; its recording replays on its snapshot.
TEST(FuseRun, ScanRecordAndSnapshotReplay) {
    TempDir dir;
    const ToolRun first = runTool(dir, {"--check-mirror", "--width", "64", "--height", "48",
                                        "--record", "scan.kfr", "--save", "state.snap"});
    ASSERT_EQ(first.status, kelvane_fuse::kExitDone) << first.err << first.out;
    const size_t vertices = plyVertexCount(dir.file("fused.ply"));
    const std::string n = std::to_string(vertices);
    EXPECT_GT(vertices, 100u);
    for (const std::string& line :
         {"fused live points          " + n + "\n", "holds the " + n + " extracted vertices",
          std::string("4 read, 4 accepted, 0 refused")})
        EXPECT_TRUE(contains(first.out, line)) << line << "\n" << first.out;
    const std::string png = fuse_test::readBytes(dir.file("preview.png"));
    EXPECT_EQ(png.substr(0, 24),
              std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x40\0\0\0\x30", 24));

    const ToolRun replay = runTool(dir, {"@/scan.kfr", "--load", "@/state.snap", "--settle",
                                         "--check-mirror", "--no-preview", "--ply", "b.ply"});
    ASSERT_EQ(replay.status, kelvane_fuse::kExitDone) << replay.err << replay.out;
    EXPECT_TRUE(contains(replay.out, "snapshot loaded            " + n + " vertices"))
        << replay.out;
    EXPECT_GE(plyVertexCount(dir.file("b.ply")), vertices);
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path), 0);
}

// Names with a directory part are taken as written; bare ones go into --out.
TEST(FuseRun, OutputNamesWithADirectoryAreTakenAsWritten) {
    kelvane_fuse::FuseOptions options;
    options.out_dir = "out";
    for (const auto& [name, path] :
         std::vector<std::pair<std::string, std::string>>{{"a.ply", "out/a.ply"},
                                                          {"sub/a.ply", "sub/a.ply"},
                                                          {"/tmp/a.ply", "/tmp/a.ply"},
                                                          {"", ""}})
        EXPECT_EQ(std::filesystem::path(kelvane_fuse::outputPath(options, name)),
                  std::filesystem::path(path));  // either separator on Windows
}

// A directory of PLY frames holds the played points bit for bit and plays back.
// Blocking frames report no updates: the mirror check is skipped, not failed.
TEST(FuseRun, RecordsAndReplaysADirectoryOfPlyFrames) {
    TempDir dir;
    const ToolRun recorded =
        runTool(dir, {"--blocking", "--check-mirror", "--no-preview", "--record", "@/scan.kfr"});
    ASSERT_EQ(recorded.status, kelvane_fuse::kExitDone) << recorded.err;
    EXPECT_TRUE(contains(recorded.out,
                         "host mirror                not checked: blocking frames "
                         "report no updates\n"))
        << recorded.out;
    const ToolRun copied = runTool(dir, {"@/scan.kfr", "--no-preview", "--record", "@/frames/"});
    ASSERT_EQ(copied.status, kelvane_fuse::kExitDone) << copied.err;
    kelvane_fuse::FrameFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(dir.file("scan.kfr"), error)) << error;
    ASSERT_EQ(reader.frameCount(), 4);
    for (int frame = 0; frame < 4; ++frame) {
        std::vector<fusion::PointData> expected, read;
        ASSERT_TRUE(reader.readFrame(frame, expected, error)) << error;
        const std::string name = "frames/frame-000" + std::to_string(frame + 1) + ".ply";
        ASSERT_TRUE(kelvane_fuse::readPlyPoints(dir.file(name), read, error)) << error;
        ASSERT_EQ(read.size(), expected.size());
        EXPECT_EQ(std::memcmp(read.data(), expected.data(), read.size() * sizeof(read[0])), 0)
            << name;
    }
    // A shorter recording replaces the whole earlier one.
    const ToolRun shorter = runTool(dir, {"--frames", "2", "--rows", "48", "--columns", "60",
                                          "--no-preview", "--record", "@/frames/"});
    ASSERT_EQ(shorter.status, kelvane_fuse::kExitDone) << shorter.err;
    const ToolRun replayed = runTool(dir, {"@/frames", "--no-preview", "--ply", "again.ply"});
    EXPECT_EQ(replayed.status, kelvane_fuse::kExitDone) << replayed.err;
    EXPECT_TRUE(contains(replayed.out, "2 read, 2 accepted")) << replayed.out;
}

// --size sets the panel's raster (frames and rays) and is the panel's alone.
TEST(FuseOptions, PanelSizeSetsTheRaster) {
    const ToolRun panel = parse({"--object", "panel", "--size", "300x130"});
    ASSERT_TRUE(panel.parsed.run) << panel.err;
    EXPECT_EQ(panel.options.frames, 21);
    EXPECT_EQ(panel.options.rows * panel.options.columns, 46000);
    EXPECT_EQ(panel.options.panel_width, 300.0f);
    EXPECT_EQ(parse({"--object", "panel"}).options.frames, 59 * 30) << "2400 x 1200 by default";
    for (const Args& bad :
         {Args{"--size", "300x130"}, Args{"--object", "panel", "--size", "300"}}) {
        const ToolRun refused = parse(bad);
        EXPECT_FALSE(refused.parsed.run);
        EXPECT_EQ(refused.status, 1);
        EXPECT_TRUE(contains(refused.err, "--size")) << refused.err;
    }
}

std::string plyFrame(int count, const std::string& rows) {
    return "ply\nformat ascii 1.0\nelement vertex " + std::to_string(count) +
           "\nproperty float x\nproperty float y\n"
           "property float z\nproperty float nx\nproperty float ny\nproperty float "
           "nz\nend_header\n" +
           rows;
}

// A failed run: one line with the file at fault, its status, no outputs or temporaries.
struct Failure {
    const char* name;
    std::vector<std::pair<const char*, std::string>> files;  // written into the directory first
    Args args;
    int status;
    const char* message;
};

class FuseRunFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(FuseRunFailure, OneLineTheStatusAndNoOutputs) {
    TempDir dir;
    std::filesystem::create_directories(dir.path / "frames");
    for (const auto& [name, bytes] : GetParam().files) fuse_test::writeBytes(dir.file(name), bytes);
    const ToolRun run = runTool(dir, GetParam().args);
    EXPECT_EQ(run.status, GetParam().status) << run.out;
    EXPECT_EQ(run.err.rfind("kelvane-fuse: ", 0), 0u) << run.err;
    EXPECT_TRUE(contains(run.err, GetParam().message)) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    for (const char* output : {"fused.ply", "preview.png", "copy.kfr"})
        EXPECT_FALSE(std::filesystem::exists(dir.file(output)));
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path), 0);
}

constexpr int kBad = kelvane_fuse::kExitBadInput;
INSTANTIATE_TEST_SUITE_P(
    Cases, FuseRunFailure,
    ::testing::Values(Failure{"truncated_frame_file",
                              {{"scan.kfr", std::string("\1\0\0\0", 4) + std::string(23, '\0')}},
                              {"@/scan.kfr"},
                              kBad,
                              "scan.kfr: truncated: frame 1 declares 1 points"},
                      Failure{"ply_body_cut_short",
                              {{"frames/f1.ply", plyFrame(2, "1 2 3 0 0 1\n2 2 3 0 0 1\n")},
                               {"frames/f2.ply", plyFrame(2, "1 2 3 0 0 1\n2 2\n")}},
                              {"@/frames", "--record", "copy.kfr"},
                              kBad,
                              "f2.ply: element 'vertex' declares 2 items"},
                      Failure{"unwritable_output_directory",
                              {{"occupied", "a file"}},
                              {"--out", "@/occupied/sub"},
                              kelvane_fuse::kExitOutput,
                              "occupied/sub: cannot create directory"},
                      Failure{"missing_directory_before_any_frame",
                              {{"frames/f1.ply", plyFrame(1, "1 2 3 0 0 1\n")},
                               {"frames/f2.ply", plyFrame(2, "1 2 3 0 0 1\n")}},
                              {"@/frames", "--record", "copy.kfr", "--save", "@/none/state.snap"},
                              kelvane_fuse::kExitOutput,
                              "none/state.snap: cannot create file (No such file"},
                      Failure{"output_named_like_a_directory",
                              {},
                              {"--ply", "@/frames"},
                              kelvane_fuse::kExitOutput,
                              "frames: is a directory"},
                      Failure{"recording_into_a_directory_of_frames",
                              {{"frames/f1.ply", plyFrame(1, "1 2 3 0 0 1\n")}},
                              {"--record", "@/frames/"},
                              kelvane_fuse::kExitOutput,
                              "frames/: already holds other PLY files (f1.ply)"}),
    [](const auto& info) { return std::string(info.param.name); });

#if defined(KELVANE_FUSE_EXECUTABLE)

// Ctrl-C or SIGTERM while recording: the temporary goes and the tool ends by the signal.
class FuseInterrupt : public ::testing::TestWithParam<int> {};

TEST_P(FuseInterrupt, RemovesPartialFilesAndEndsByTheSignal) {
#if defined(_WIN32)
    GTEST_SKIP() << "starts and signals the tool as a POSIX child process";
#else
    TempDir dir;
    const std::string record = dir.file("scan.kfr");
    Args args = {KELVANE_FUSE_EXECUTABLE, "-q", "--frames", "400", "--rows", "48"};
    args.insert(args.end(), {"--columns", "60", "--fps", "40", "--record", record, "--out"});
    args.push_back(dir.path.string());
    test_support::ChildProcess child(args);
    ASSERT_TRUE(child.running());
    // Open from before the first frame to the end (10 s at this pace).
    for (int i = 0; i < 400 && !std::filesystem::exists(record + ".partial"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(std::filesystem::exists(record + ".partial"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a few frames in
    child.signal(GetParam());
    std::string how;
    EXPECT_TRUE(child.waitEndedBySignal(GetParam(), how)) << how;
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path), 0);
    EXPECT_FALSE(std::filesystem::exists(record));
#endif
}

INSTANTIATE_TEST_SUITE_P(Signals, FuseInterrupt, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

#endif

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
