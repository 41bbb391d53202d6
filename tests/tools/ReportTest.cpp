#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "fuse/Progress.h"
#include "fuse/Report.h"

namespace {

TEST(ReportTest, PercentileInterpolatesBetweenRanks) {
    const std::tuple<std::vector<double>, double, double> cases[] = {
        {{}, 0.5, 0.0}, {{4.0}, 0.95, 4.0}, {{3, 1, 2}, 0.5, 2.0}, {{4, 1, 3, 2}, 0.5, 2.5},
        {{0, 10, 20, 30, 40}, 0.95, 38.0}, {{0, 10}, 1.0, 10.0}};
    for (const auto& [samples, q, expected] : cases) {
        EXPECT_DOUBLE_EQ(kelvane_fuse::percentile(samples, q), expected) << samples.size() << " samples, q " << q;
    }
}

// Everything written to a temporary file by `print`.
template <typename Print>
std::string captured(Print print) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return "";
    print(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
    std::fclose(file);
    return text;
}

TEST(ReportTest, ReportStatesTheMirrorVerdict) {
    kelvane_fuse::RunReport report;
    report.frames = report.frames_accepted = 3;
    report.non_blocking_ms = {1.0, 2.0, 3.0};
    report.diff.extracted = report.diff.mirrored = report.diff.matching = 10;
    const auto printed = [&] { return captured([&](std::FILE* f) { kelvane_fuse::printReport(f, report); }); };
    std::string text = printed();
    EXPECT_NE(text.find("holds the 10 extracted vertices; every value up to date"), std::string::npos) << text;
    EXPECT_NE(text.find("median 2.00 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("process, blocking          not used"), std::string::npos) << text;

    report.diff.matching = 8;
    report.diff.stale = report.diff.moved = 2;
    text = printed();
    EXPECT_NE(text.find("8 up to date, 2 changed since their last update"), std::string::npos) << text;
    EXPECT_EQ(text.find("DIFFERS"), std::string::npos) << text;

    report.diff.missing = 1;
    text = printed();
    EXPECT_NE(text.find("DIFFERS from the extraction: 10 extracted, 10 mirrored, 1 missing"), std::string::npos)
        << text;

    // Blocking frames: an empty mirror has no values to call up to date.
    report.blocking = true;
    report.diff = kelvane_host::MirrorDiff{};
    report.diff.extracted = report.diff.missing = 10;
    text = printed();
    EXPECT_EQ(text.find("up to date"), std::string::npos) << text;
    EXPECT_NE(text.find("blocking frames report no updates"), std::string::npos) << text;
}

TEST(ReportTest, PeakResidentMemoryIsAtLeastWhatWasTouched) {
    std::vector<char> block(32 << 20, 1);  // 32 MiB, every page written
    EXPECT_GE(kelvane_fuse::peakResidentBytes(), int64_t(block.size())) << int(block[block.size() / 2]);
}

TEST(ProgressTest, PlainOutputWritesAboutTenLines) {
    const std::string text = captured([](std::FILE* file) {
        kelvane_fuse::Progress progress(file, false, 45, true);
        for (int done = 1; done <= 45; ++done) progress.update(done, done * 10, done * 0.1);
        progress.finish(45, 450, 4.5);
    });
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), "frame 45/45  10.0 fps  450 points\n");
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
