#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fuse/FrameFile.h"
#include "fuse/FuseRun.h"
#include "fuse/Options.h"
#include "fuse/PlyIO.h"
#include "sim/Simulator.h"
#include "support/FuseHelpers.h"

namespace {

namespace fs = std::filesystem;

struct RunOutput {
    int status = -1;
    std::string out, err;
};

std::string slurp(std::FILE* file) {
    std::string text(size_t(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    return text;
}

// Parses the arguments as the executable does and runs the tool, writing
// into `dir` unless the arguments say otherwise.
RunOutput runTool(const fuse_test::TempDir& dir, std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--out") == args.end()) {
        args.insert(args.begin(), {"--out", dir.path().string()});
    }
    args.insert(args.begin(), {"kelvane-fuse", "-q"});
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    kelvane_fuse::FuseOptions options;
    std::ostringstream parse_out, parse_err;
    const auto parsed = kelvane_fuse::parseOptions(int(argv.size()), argv.data(), options, parse_out, parse_err);
    RunOutput result{parsed.exit_code, "", parse_err.str()};
    if (!parsed.run) return result;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) return RunOutput{};
    result.status = kelvane_fuse::runFuse(options, out, err);
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

// A small sweep keeps each run short.
const std::vector<std::string> kSmallSweep = {"--frames", "4", "--rows", "48", "--columns", "60"};

std::vector<std::string> with(std::vector<std::string> base, const std::vector<std::string>& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

size_t plyVertexCount(const std::string& path) {
    std::vector<fusion::PointData> points;
    std::string error;
    EXPECT_TRUE(kelvane_fuse::readPlyPoints(path, points, error)) << error;
    return points.size();
}

TEST(FuseRunTest, SimulatedScanGivesCloudPreviewAndAMatchingMirror) {
    fuse_test::TempDir dir;
    // Frames at full speed, second stages overlapping the next frames: the
    // host's table must still hold exactly the extracted vertices.
    const RunOutput run = runTool(dir, with(kSmallSweep, {"--check-mirror", "--width", "64", "--height", "48"}));
    ASSERT_EQ(run.status, kelvane_fuse::kExitDone) << run.err << run.out;
    const size_t vertices = plyVertexCount(dir.file("fused.ply"));
    EXPECT_GT(vertices, 100u);
    EXPECT_NE(run.out.find("fused live points          " + std::to_string(vertices) + "\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("holds the " + std::to_string(vertices) + " extracted vertices"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("4 read, 4 accepted, 0 refused"), std::string::npos) << run.out;
    const auto png = fuse_test::readBytes(dir.file("preview.png"));
    EXPECT_TRUE(png.size() > 8 && png[1] == 'P');
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path()), 0);
}

TEST(FuseRunTest, RecordedScanReplaysTheSimulatorsFrames) {
    fuse_test::TempDir dir;
    const RunOutput record = runTool(dir, with(kSmallSweep, {"--record", "scan.kfr", "--no-preview", "--ply", ""}));
    ASSERT_EQ(record.status, kelvane_fuse::kExitDone) << record.err;
    EXPECT_FALSE(fs::exists(dir.file("fused.ply")));

    kelvane_fuse::FrameFileReader reader;
    std::string error;
    ASSERT_TRUE(reader.open(dir.file("scan.kfr"), error)) << error;
    ASSERT_EQ(reader.frameCount(), 4);
    kelvane_sim::SweepOptions sweep;
    sweep.frames = 4, sweep.rows = 48, sweep.columns = 60;
    kelvane_sim::Frame frame;
    std::vector<fusion::PointData> points;
    for (int f = 0; f < 4; ++f) {
        ASSERT_TRUE(reader.readFrame(f, points, error)) << error;
        kelvane_sim::Scanner(sweep).frameAt(f, frame);
        ASSERT_EQ(points.size(), frame.points.size());
        EXPECT_EQ(0, std::memcmp(points.data(), frame.points.data(), points.size() * sizeof(fusion::PointData)));
    }

    const RunOutput replay = runTool(dir, {dir.file("scan.kfr"), "--no-preview"});
    ASSERT_EQ(replay.status, kelvane_fuse::kExitDone) << replay.err;
    EXPECT_GT(plyVertexCount(dir.file("fused.ply")), 100u);
}

TEST(FuseRunTest, SavedSnapshotSeedsTheNextRun) {
    fuse_test::TempDir dir;
    const RunOutput first = runTool(dir, with(kSmallSweep, {"--save", "state.snap", "--no-preview", "--ply", "a.ply"}));
    ASSERT_EQ(first.status, kelvane_fuse::kExitDone) << first.err;
    const size_t saved = plyVertexCount(dir.file("a.ply"));
    ASSERT_GT(saved, 0u);

    const RunOutput second = runTool(dir, {"--load", dir.file("state.snap"), "--frames", "1", "--rows", "48",
                                           "--columns", "60", "--no-preview", "--ply", "b.ply", "--settle",
                                           "--check-mirror"});
    ASSERT_EQ(second.status, kelvane_fuse::kExitDone) << second.err;
    EXPECT_NE(second.out.find("snapshot loaded            " + std::to_string(saved) + " vertices"),
              std::string::npos) << second.out;
    // The loaded vertices seeded the host's table (else --check-mirror
    // fails the run), and one more frame over the same sphere adds to them.
    EXPECT_GE(plyVertexCount(dir.file("b.ply")), saved);
}

// An ASCII PLY frame in frames/ declaring `count` vertices with position and normal.
void writeFramePly(const fuse_test::TempDir& dir, const char* name, int count, const std::string& rows) {
    fs::create_directories(dir.path() / "frames");
    std::string head = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(count) + "\n";
    for (const char* p : {"x", "y", "z", "nx", "ny", "nz"}) head += std::string("property float ") + p + "\n";
    fuse_test::writeText((dir.path() / "frames" / name).string(), head + "end_header\n" + rows);
}

struct BadInput {
    const char* name;
    // Prepares the input inside the directory and returns the arguments.
    std::vector<std::string> (*prepare)(const fuse_test::TempDir& dir);
    const char* file_in_message;
    const char* problem;
};

class FuseRunBadInputTest : public ::testing::TestWithParam<BadInput> {};

TEST_P(FuseRunBadInputTest, FailsWithOneLineAndLeavesNoOutputs) {
    fuse_test::TempDir dir;
    const RunOutput run = runTool(dir, GetParam().prepare(dir));
    EXPECT_EQ(run.status, kelvane_fuse::kExitBadInput) << run.out;
    EXPECT_EQ(run.err.rfind("kelvane-fuse: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(GetParam().file_in_message), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(GetParam().problem), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    for (const char* output : {"fused.ply", "preview.png", "copy.kfr"}) EXPECT_FALSE(fs::exists(dir.file(output)));
    EXPECT_EQ(fuse_test::countPartialFiles(dir.path()), 0);
}

using Args = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    Cases, FuseRunBadInputTest,
    ::testing::Values(
        BadInput{"truncated_frame_file",
                 [](const fuse_test::TempDir& dir) {
                     std::vector<uint8_t> bytes(4 + 23, 0);
                     bytes[0] = 1;  // one point declared, 28 bytes due, 23 given
                     fuse_test::writeBytes(dir.file("scan.kfr"), bytes);
                     return Args{dir.file("scan.kfr")};
                 },
                 "scan.kfr", "truncated: frame 0"},
        // Headers are fine, so the bad body is met only after frame 1 was played.
        BadInput{"ply_body_cut_short",
                 [](const fuse_test::TempDir& dir) {
                     writeFramePly(dir, "f1.ply", 2, "1 2 3 0 0 1\n2 2 3 0 0 1\n");
                     writeFramePly(dir, "f2.ply", 2, "1 2 3 0 0 1\n2 2\n");
                     return Args{(dir.path() / "frames").string(), "--record", "copy.kfr"};
                 },
                 "f2.ply", "declares 2 items"},
        BadInput{"directory_without_ply",
                 [](const fuse_test::TempDir& dir) {
                     fs::create_directories(dir.path() / "frames");
                     fuse_test::writeText((dir.path() / "frames" / "notes.txt").string(), "no frames here");
                     return Args{(dir.path() / "frames").string()};
                 },
                 "frames", "no .ply files"},
        BadInput{"damaged_snapshot",
                 [](const fuse_test::TempDir& dir) {
                     fuse_test::writeText(dir.file("state.snap"), std::string(200, 'x'));
                     return Args{"--load", dir.file("state.snap"), "--frames", "1"};
                 },
                 "state.snap", "snapshot refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FuseRunTest, UnwritableOutputDirectoryIsAnOutputFailure) {
    fuse_test::TempDir dir;
    fuse_test::writeText(dir.file("occupied"), "a file where the output directory should go");
    const RunOutput run = runTool(dir, with(kSmallSweep, {"--out", dir.file("occupied/sub")}));
    EXPECT_EQ(run.status, kelvane_fuse::kExitOutput);
    EXPECT_NE(run.err.find("occupied/sub: cannot create directory"), std::string::npos) << run.err;
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
