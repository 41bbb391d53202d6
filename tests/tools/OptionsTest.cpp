#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "fuse/Options.h"
#include "sim/Simulator.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::InputKind;

struct Parsed {
    kelvane_fuse::ParseResult result;
    kelvane_fuse::FuseOptions options;
    std::string out, err;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "kelvane-fuse");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    Parsed p;
    std::ostringstream out, err;
    p.result = kelvane_fuse::parseOptions(int(argv.size()), argv.data(), p.options, out, err);
    p.out = out.str();
    p.err = err.str();
    return p;
}

TEST(OptionsTest, NoArgumentsFusesTheSimulatedScanIntoTheCurrentDirectory) {
    const Parsed p = parse({});
    ASSERT_TRUE(p.result.run) << p.err;
    EXPECT_EQ(p.options.input, InputKind::Simulator);
    EXPECT_EQ(kelvane_fuse::outputPath(p.options, p.options.ply), "fused.ply");
    EXPECT_EQ(kelvane_fuse::outputPath(p.options, p.options.preview), "preview.png");
    EXPECT_TRUE(p.options.save_snapshot.empty());
    EXPECT_FALSE(p.options.blocking);
    EXPECT_TRUE(p.options.quality_judge);
    EXPECT_LE(p.options.point_spacing, p.options.resolution);  // fusion stays on
}

TEST(OptionsTest, InputKindFollowsWhatThePathIs) {
    fuse_test::TempDir dir;
    fuse_test::writeText(dir.file("scan.kfr"), "");
    const Parsed file = parse({dir.file("scan.kfr")}), directory = parse({dir.path().string()});
    ASSERT_TRUE(file.result.run && directory.result.run) << file.err << directory.err;
    EXPECT_EQ(file.options.input, InputKind::FrameFile);
    EXPECT_EQ(directory.options.input, InputKind::PlyDirectory);
}

TEST(OptionsTest, HelpExitsCleanlyAndDescribesTheInputs) {
    const Parsed p = parse({"--help"});
    EXPECT_FALSE(p.result.run);
    EXPECT_EQ(p.result.exit_code, 0);
    EXPECT_NE(p.out.find("28-byte point records"), std::string::npos) << p.out;
    EXPECT_TRUE(p.err.empty());
}

TEST(OptionsTest, BadArgumentsFailWithOneLineAndStatusOne) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--resolution", "-0.5"}, "expected a positive number"},
        {{"--object", "teapot"}, "unknown object 'teapot'"},
        {{"no_such_scan.kfr"}, "no_such_scan.kfr: no such file"},
        {{"--view", "0,120"}, "--view"},
        {{"--blocking", "--non-blocking"}, "exclude each other"},
        {{".", "--seed", "3"}, "--seed applies to the simulator"},
        {{"--turbo"}, "--turbo"}};
    for (const auto& [args, expected] : cases) {
        SCOPED_TRACE(expected);
        const Parsed p = parse(args);
        EXPECT_FALSE(p.result.run);
        EXPECT_EQ(p.result.exit_code, 1);
        EXPECT_EQ(p.err.rfind("kelvane-fuse: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find(expected), std::string::npos) << p.err;
        EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
    }
}

// --handheld brings the simulator's realistic preset; what the command line
// states still wins, and like every simulator option it does not combine
// with a recorded input.
TEST(OptionsTest, HandheldTakesThePresetUnlessOverridden) {
    const kelvane_sim::SweepOptions preset = kelvane_sim::handheldSweep();
    const Parsed plain = parse({"--handheld"});
    ASSERT_TRUE(plain.result.run) << plain.err;
    EXPECT_TRUE(plain.options.handheld);
    EXPECT_EQ(plain.options.object, kelvane_sim::shapeName(preset.shape));
    EXPECT_EQ(plain.options.frames, preset.frames);
    EXPECT_EQ(plain.options.rows, preset.rows);
    EXPECT_EQ(plain.options.columns, preset.columns);

    const Parsed tuned = parse({"--handheld", "--frames", "12", "--object", "torus", "--rows", "50"});
    ASSERT_TRUE(tuned.result.run) << tuned.err;
    EXPECT_EQ(tuned.options.frames, 12);
    EXPECT_EQ(tuned.options.object, "torus");
    EXPECT_EQ(tuned.options.rows, 50);
    EXPECT_EQ(tuned.options.columns, preset.columns);

    EXPECT_FALSE(parse({}).options.handheld);
    const Parsed with_input = parse({".", "--handheld"});
    EXPECT_FALSE(with_input.result.run);
    EXPECT_NE(with_input.err.find("--handheld applies to the simulator"), std::string::npos) << with_input.err;
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
