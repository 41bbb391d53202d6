#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuse/Progress.h"
#include "fuse/Report.h"

namespace {

struct PercentileCase {
    std::vector<double> samples;
    double q;
    double expected;
};

class PercentileTest : public ::testing::TestWithParam<PercentileCase> {};

TEST_P(PercentileTest, InterpolatesBetweenRanks) {
    EXPECT_DOUBLE_EQ(kelvane_fuse::percentile(GetParam().samples, GetParam().q), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentileTest,
                         ::testing::Values(PercentileCase{{}, 0.5, 0.0},
                                           PercentileCase{{4.0}, 0.95, 4.0},
                                           PercentileCase{{3, 1, 2}, 0.5, 2.0},           // unsorted input
                                           PercentileCase{{4, 1, 3, 2}, 0.5, 2.5},        // even count
                                           PercentileCase{{0, 10, 20, 30, 40}, 0.95, 38.0},
                                           PercentileCase{{0, 10}, 1.0, 10.0}));

std::string printed(const kelvane_fuse::RunReport& report) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return "";
    kelvane_fuse::printReport(file, report);
    std::rewind(file);
    std::string text;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) text += buffer;
    std::fclose(file);
    return text;
}

TEST(ReportTest, ReportStatesTheMirrorVerdict) {
    kelvane_fuse::RunReport report;
    report.frames = 3;
    report.frames_accepted = 3;
    report.non_blocking_ms = {1.0, 2.0, 3.0};
    report.diff.extracted = report.diff.mirrored = report.diff.matching = 10;
    std::string text = printed(report);
    EXPECT_NE(text.find("holds the 10 extracted vertices; every value up to date"), std::string::npos) << text;
    EXPECT_NE(text.find("median 2.00 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("process, blocking          not used"), std::string::npos) << text;

    report.diff.matching = 8;
    report.diff.stale = report.diff.moved = 2;
    text = printed(report);
    EXPECT_NE(text.find("8 up to date, 2 changed since their last update"), std::string::npos) << text;
    EXPECT_EQ(text.find("DIFFERS"), std::string::npos) << text;

    report.diff.missing = 1;
    text = printed(report);
    EXPECT_NE(text.find("DIFFERS from the extraction: 10 extracted, 10 mirrored, 1 missing"), std::string::npos)
        << text;

    // Blocking frames: an empty mirror has no values to call up to date.
    report.blocking = true;
    report.diff = kelvane_fuse::MirrorDiff{};
    report.diff.extracted = report.diff.missing = 10;
    text = printed(report);
    EXPECT_EQ(text.find("up to date"), std::string::npos) << text;
    EXPECT_NE(text.find("blocking frames report no updates"), std::string::npos) << text;
}

TEST(ReportTest, PeakResidentMemoryIsAtLeastWhatWasTouched) {
    std::vector<char> block(32 << 20, 1);  // 32 MiB, every page written
    const int64_t peak = kelvane_fuse::peakResidentBytes();
    EXPECT_GE(peak, int64_t(block.size())) << int(block[block.size() / 2]);
}

TEST(ProgressTest, PlainOutputWritesAboutTenLines) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    kelvane_fuse::Progress progress(file, false, 45, true);
    for (int done = 1; done <= 45; ++done) progress.update(done, done * 10, done * 0.1);
    progress.finish(45, 450, 4.5);
    std::rewind(file);
    int lines = 0;
    std::string last;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        ++lines;
        last = buffer;
    }
    std::fclose(file);
    EXPECT_EQ(lines, 10);
    EXPECT_EQ(last, "frame 45/45  10.0 fps  450 points\n");
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
