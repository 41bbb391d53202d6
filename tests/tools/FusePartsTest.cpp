// kelvane-fuse's parts: PLY files, the host mirror and the report.

#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "fuse/ByteOrder.h"
#include "fuse/NaturalOrder.h"
#include "fuse/PlyIO.h"
#include "fuse/Progress.h"
#include "fuse/Report.h"
#include "host/HostMirror.h"
#include "support/FuseHelpers.h"

namespace {

using fuse_test::contains;

using fusion::PointData;

bool parse(const std::string& bytes, std::vector<PointData>& points, std::string& problem) {
    return kelvane_fuse::parsePlyPoints(reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size(), points, problem);
}

void expectPoints(const std::vector<PointData>& points, const std::vector<PointData>& expected) {
    ASSERT_EQ(points.size(), expected.size());
    for (size_t i = 0; i < points.size(); ++i)
        EXPECT_EQ(std::memcmp(&points[i], &expected[i], 28), 0) << "point " << i;
}

// Properties by name in any order and type, ASCII and the tool's binary cloud;
// bad files refused with a reason.
TEST(PlyFiles, PropertiesByNameInBothEncodingsAndBadFilesRefused) {
    const std::string ascii =
        "ply\nformat ascii 1.0\ncomment test\nelement face 2\nproperty list uchar int "
        "vertex_indices\n"
        "element vertex 2\nproperty double nz\nproperty float x\nproperty uchar red\nproperty "
        "float y\nproperty float z\n"
        "property short nx\nproperty float ny\nproperty uchar scan_level\nproperty int "
        "protected\nend_header\n"
        "3 0 1 2\n4 0 1 2 3\n-1 1.5 200 0 0.125 -1 0.5 16 0\n-1 2.5 200 -2.25 0.125 1 0.5 8 1\n";
    std::vector<PointData> points;
    std::string problem;
    ASSERT_TRUE(parse(ascii, points, problem)) << problem;
    expectPoints(points, {{{1.5f, 0, 0.125f}, {-1, 0.5f, -1}, 16},
                          {{2.5f, -2.25f, 0.125f}, {1, 0.5f, -1}, 8 | 1 << 8}});

    std::vector<fusion::Vertices> cloud = {fuse_test::vertex(0, 1, 2, 3, 1, 0xABCD, 16),
                                           fuse_test::vertex(7, -4, 5.5f, -6, 0, 0x000F, 8)};
    cloud[1].protected_flag = 1;
    const auto bytes = kelvane_fuse::encodeFusedPly(cloud);
    const std::string binary(bytes.begin(), bytes.end());
    const size_t body = binary.find("end_header\n") + std::strlen("end_header\n");
    EXPECT_TRUE(contains(binary.substr(0, body),
                         "property float nz\nproperty float quality\n"
                         "property ushort scalar_quality_code\nproperty uchar scalar_quality\n"
                         "property uchar scalar_scan_level\nproperty uchar scalar_protected\n"
                         "property int scalar_view_id\nend_header\n"));
    ASSERT_EQ(binary.size() - body, 2u * 37u);  // 7 floats, ushort, 3 uchar, int
    for (const auto& [record, grade, word, level, protection, id] :
         {std::make_tuple(0, 0xC, 0xABCD, 16, 0, 0), std::make_tuple(1, 0xF, 0x000F, 8, 1, 7)}) {
        const uint8_t* r = bytes.data() + body + 37 * size_t(record);
        EXPECT_EQ(std::make_tuple(kelvane_fuse::loadLEFloat(r + 24), kelvane_fuse::loadLE16(r + 28),
                                  int(r[30]), int(r[31]), int(r[32]),
                                  int32_t(kelvane_fuse::loadLE32(r + 33))),
                  std::make_tuple(float(grade), uint16_t(word), grade, level, protection, id))
            << "record " << record;
    }
    ASSERT_TRUE(parse(binary, points, problem)) << problem;
    expectPoints(points, {{{1, 2, 3}, {0, 0, 1}, 16}, {{-4, 5.5f, -6}, {0, 0, 1}, 8 | 1 << 8}});

    const std::string five =
        "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
        "property float z\nproperty float nx\nproperty float ny\n";
    const std::pair<std::string, const char*> cases[] = {
        {five + "end_header\n1 2 3 0 0\n", "no property 'nz'"},
        {five + "property float nz\nend_header\n1 2 abc 0 0 1\n", "'abc' is not a number"},
        {ascii.substr(0, ascii.size() - 8), "vertex 1 of 2"},
        {std::string(binary).replace(binary.find(" 2\n"), 3, " 2000000000\n"), "too short"}};
    for (const auto& [text, expected] : cases) {
        EXPECT_FALSE(parse(text, points, problem));
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    }
}

using fuse_test::vertex;
using Cloud = std::vector<fusion::Vertices>;

fusion::Vertices removal(int32_t id) { return vertex(id, NAN, NAN, NAN, 255); }

// Large files go in reported pieces with one-piece bytes; small steps show no
// bar, and off a terminal a line prints every tenth.
TEST(LongSteps, PiecesGiveTheSameBytesAndReportTheirProgress) {
    fuse_test::TempDir dir;
    std::vector<fusion::Vertices> cloud(600000);
    for (size_t i = 0; i < cloud.size(); ++i) {
        cloud[i] = fusion::Vertices{};
        cloud[i].position[0] = float(i);
        cloud[i].view_id = int(i);
        cloud[i].quality_code = uint16_t(i);
    }
    std::vector<std::pair<uint64_t, uint64_t>> heard;
    auto listen = [&](uint64_t done, uint64_t total) { heard.emplace_back(done, total); };
    std::string error;
    ASSERT_TRUE(kelvane_fuse::writeFusedPly(dir.file("big.ply"), cloud, error, listen)) << error;
    const std::vector<uint8_t> expected = kelvane_fuse::encodeFusedPly(cloud);
    std::vector<uint8_t> read;
    ASSERT_TRUE(kelvane_fuse::readFileWithProgress(dir.file("big.ply"), read, error, listen));
    EXPECT_TRUE(read == expected);
    ASSERT_GE(heard.size(), 4u);
    EXPECT_EQ(heard[2], std::make_pair(uint64_t(600000), uint64_t(600000))) << "3 pieces";
    EXPECT_EQ(heard.back(), std::make_pair(uint64_t(expected.size()), uint64_t(expected.size())));
    EXPECT_FALSE(kelvane_fuse::readFileWithProgress(dir.file("none"), read, error, listen));
    EXPECT_TRUE(contains(error, "none: cannot open file")) << error;

    std::FILE* out = std::tmpfile();
    {
        kelvane_fuse::StepBar small(out, false, true, "saving s", "MB", 1e6, 1000);
        EXPECT_FALSE(small.callback(999)) << "a small step shows no bar";
        kelvane_fuse::StepBar bar(out, false, true, "saving s", "MB", 1e6, 1000);
        const kelvane_fuse::StepProgress progress = bar.callback(5000000);
        ASSERT_TRUE(progress);
        for (uint64_t done = 0; done <= 5000000; done += 250000) progress(done, 5000000);
        bar.finish();
    }
    const std::string text = fuse_test::readAll(out);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;
    EXPECT_TRUE(contains(text, "saving s  3/5 MB\n")) << text;
    EXPECT_EQ(kelvane_fuse::formatStepBar("loading", 1, 4, "MB", 1.0),
              "[#######.......................] loading  1/4 MB");
}

TEST(HostMirror, UpdatesReplayedInOrderGiveTheLatestState) {
    kelvane_host::HostMirror mirror;
    const Cloud records = {vertex(0, 1, 0, 0),
                           vertex(3, 3, 0, 0),
                           vertex(0, 1.5f, 0, 0),
                           vertex(3, 3, 0, 0, 0, 0x00F7),
                           removal(0),
                           vertex(0, 9, 9, 9)};
    const Cloud bad = {removal(5), vertex(-1, 1, 1, 1), vertex(100, 1, 1, 1),
                       vertex(2, 0, 0, 1, 7)};
    mirror.apply(records.data(), int(records.size()));
    mirror.apply(bad.data(), int(bad.size()), 100);
    EXPECT_EQ(mirror.size(), 2);
    EXPECT_TRUE(mirror.find(0) && mirror.find(0)->position[0] == 9.0f && mirror.find(3) &&
                mirror.find(3)->quality_code == 0x00F7);
    const kelvane_host::MirrorStats& s = mirror.stats();
    EXPECT_EQ(std::make_tuple(s.upserts, s.removals, s.stray_removals, s.invalid),
              std::make_tuple(5, 1, 1, 3));
}

TEST(HostMirror, CompareFindsEachKindOfDifference) {
    const Cloud truth = {vertex(0, 1, 0, 0), vertex(1, 2, 0, 0), vertex(4, 3, 0, 0)};
    kelvane_host::HostMirror mirror;
    mirror.apply(truth.data(), int(truth.size()));
    // Stale: 'p' position, 'n' normal, 'a' attributes.
    const struct {
        void (*change)(Cloud&);
        int missing, extra, duplicates;
        char stale;
    } cases[] = {{[](Cloud& e) { std::swap(e[0], e[2]); }, 0, 0, 0, 0},
                 {[](Cloud& e) { e.push_back(vertex(9, 5, 5, 5)); }, 1, 0, 0, 0},
                 {[](Cloud& e) { e.pop_back(); }, 0, 1, 0, 0},
                 {[](Cloud& e) { e.push_back(e[0]); }, 0, 0, 1, 0},
                 {[](Cloud& e) { e[1].position[2] = 1e-6f; }, 0, 0, 0, 'p'},
                 {[](Cloud& e) { e[0].normal[0] = 0.5f; }, 0, 0, 0, 'n'},
                 {[](Cloud& e) { e[2].quality_code = 1; }, 0, 0, 0, 'a'}};
    for (const auto& c : cases) {
        Cloud extraction = truth;
        c.change(extraction);
        const auto d = mirror.compare(extraction.data(), int(extraction.size()), 0.0f);
        EXPECT_EQ(std::make_tuple(d.missing, d.extra, d.duplicate_ids, d.stale, d.moved, d.turned,
                                  d.regraded),
                  std::make_tuple(c.missing, c.extra, c.duplicates, c.stale != 0, c.stale == 'p',
                                  c.stale == 'n', c.stale == 'a'))
            << &c - cases;
        EXPECT_EQ(d.identical(), c.missing + c.extra + c.duplicates + c.stale == 0);
        EXPECT_EQ(d.matching, 3 - (c.extra + (c.stale != 0)));
    }
}

TEST(Report, VerdictSaysWhetherTheMirrorDiffers) {
    kelvane_fuse::RunReport report;
    report.diff.extracted = report.diff.mirrored = 10, report.diff.matching = 8,
    report.diff.stale = 2;
    for (const int missing : {0, 1}) {
        report.diff.missing = missing;
        std::FILE* file = std::tmpfile();
        kelvane_fuse::printReport(file, report);
        const std::string text = fuse_test::readAll(file);
        EXPECT_TRUE(contains(text, "8 up to date, 2 changed since their last update")) << text;
        EXPECT_EQ(
            contains(text, "DIFFERS from the extraction: 10 extracted, 10 mirrored, 1 missing"),
            missing == 1)
            << text;
    }
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
