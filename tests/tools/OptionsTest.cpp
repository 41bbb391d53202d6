#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fuse/Options.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::FuseOptions;
using kelvane_fuse::InputKind;

struct Parsed {
    kelvane_fuse::ParseResult result;
    FuseOptions options;
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
    fuse_test::writeBytes(dir.file("scan.kfr"), {});
    const Parsed file = parse({dir.file("scan.kfr")});
    ASSERT_TRUE(file.result.run) << file.err;
    EXPECT_EQ(file.options.input, InputKind::FrameFile);
    const Parsed directory = parse({dir.path().string()});
    ASSERT_TRUE(directory.result.run) << directory.err;
    EXPECT_EQ(directory.options.input, InputKind::PlyDirectory);
}

TEST(OptionsTest, HelpExitsCleanlyAndDescribesTheInputs) {
    const Parsed p = parse({"--help"});
    EXPECT_FALSE(p.result.run);
    EXPECT_EQ(p.result.exit_code, 0);
    EXPECT_NE(p.out.find("--resolution"), std::string::npos);
    EXPECT_NE(p.out.find("28-byte point records"), std::string::npos);
    EXPECT_TRUE(p.err.empty());
}

struct BadArgs {
    const char* name;
    std::vector<std::string> args;
    const char* expected;
};

class BadOptionsTest : public ::testing::TestWithParam<BadArgs> {};

TEST_P(BadOptionsTest, FailWithOneLineAndStatusOne) {
    const Parsed p = parse(GetParam().args);
    EXPECT_FALSE(p.result.run);
    EXPECT_EQ(p.result.exit_code, 1);
    EXPECT_EQ(p.err.rfind("kelvane-fuse: ", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(GetParam().expected), std::string::npos) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadOptionsTest,
    ::testing::Values(BadArgs{"negative_resolution", {"--resolution", "-0.5"}, "expected a positive number"},
                      BadArgs{"unknown_object", {"--object", "teapot"}, "unknown object 'teapot'"},
                      BadArgs{"missing_input", {"no_such_scan.kfr"}, "no_such_scan.kfr: no such file"},
                      BadArgs{"bad_view", {"--view", "0,120"}, "--view"},
                      BadArgs{"both_modes", {"--blocking", "--non-blocking"}, "exclude each other"},
                      BadArgs{"simulator_option_with_input", {".", "--seed", "3"}, "--seed applies to the simulator"},
                      BadArgs{"unknown_option", {"--turbo"}, "--turbo"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
