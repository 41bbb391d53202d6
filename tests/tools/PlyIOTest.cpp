#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuse/ByteOrder.h"
#include "fuse/PlyIO.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::parsePlyPoints;

// A PLY with a face element (list property) before the vertices, the
// vertex properties in an unusual order and types, and an extra property to
// skip. The same content in both encodings.
std::vector<uint8_t> mixedPly(bool binary, int vertex_count, int declared_count = -1) {
    if (declared_count < 0) declared_count = vertex_count;
    std::ostringstream h;
    h << "ply\nformat " << (binary ? "binary_little_endian" : "ascii") << " 1.0\n"
      << "comment made by a test\n"
      << "element face 2\nproperty list uchar int vertex_indices\n"
      << "element vertex " << declared_count << "\n"
      << "property double nz\nproperty float x\nproperty uchar red\nproperty float y\n"
      << "property float z\nproperty short nx\nproperty float ny\nproperty uchar scan_level\n"
      << "property int protected\n"
      << "end_header\n";
    std::string text = h.str();
    std::vector<uint8_t> bytes(text.begin(), text.end());
    auto put = [&](const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    };
    std::ostringstream ascii;
    // Faces: a triangle and a quad.
    const int faces[2][5] = {{3, 0, 1, 2, 0}, {4, 0, 1, 2, 3}};
    for (const auto& f : faces) {
        if (binary) {
            const uint8_t n = uint8_t(f[0]);
            put(&n, 1);
            for (int k = 1; k <= f[0]; ++k) {
                uint8_t le[4];
                kelvane_fuse::storeLE32(le, uint32_t(f[k]));
                put(le, 4);
            }
        } else {
            ascii << f[0];
            for (int k = 1; k <= f[0]; ++k) ascii << ' ' << f[k];
            ascii << '\n';
        }
    }
    for (int i = 0; i < vertex_count; ++i) {
        const double nz = -1.0;
        const float x = 1.5f + i, y = -2.25f * i, z = 0.125f;
        const uint8_t red = 200;
        const int16_t nx = int16_t(i % 2);
        const float ny = 0.5f;
        const uint8_t level = i == 0 ? 16 : 8;
        const int32_t protection = i == 1 ? 1 : 0;
        if (binary) {
            uint8_t le[8];
            uint64_t bits;
            std::memcpy(&bits, &nz, 8);
            for (int k = 0; k < 8; ++k) le[k] = uint8_t(bits >> (8 * k));
            put(le, 8);
            kelvane_fuse::storeLEFloat(le, x); put(le, 4);
            put(&red, 1);
            kelvane_fuse::storeLEFloat(le, y); put(le, 4);
            kelvane_fuse::storeLEFloat(le, z); put(le, 4);
            kelvane_fuse::storeLE16(le, uint16_t(nx)); put(le, 2);
            kelvane_fuse::storeLEFloat(le, ny); put(le, 4);
            put(&level, 1);
            kelvane_fuse::storeLE32(le, uint32_t(protection)); put(le, 4);
        } else {
            ascii << nz << ' ' << x << ' ' << int(red) << ' ' << y << ' ' << z << ' ' << nx << ' ' << ny
                  << ' ' << int(level) << ' ' << protection << '\n';
        }
    }
    if (!binary) {
        const std::string body = ascii.str();
        bytes.insert(bytes.end(), body.begin(), body.end());
    }
    return bytes;
}

class PlyEncodingTest : public ::testing::TestWithParam<bool> {};

TEST_P(PlyEncodingTest, FindsPropertiesByNameWhateverTheirOrderTypeAndNeighbours) {
    const auto bytes = mixedPly(GetParam(), 3);
    std::vector<fusion::PointData> points;
    std::string problem;
    ASSERT_TRUE(parsePlyPoints(bytes.data(), bytes.size(), points, problem)) << problem;
    ASSERT_EQ(points.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(points[i].position[0], 1.5f + i);
        EXPECT_FLOAT_EQ(points[i].position[1], -2.25f * i);
        EXPECT_FLOAT_EQ(points[i].position[2], 0.125f);
        EXPECT_FLOAT_EQ(points[i].normal[0], float(i % 2));
        EXPECT_FLOAT_EQ(points[i].normal[1], 0.5f);
        EXPECT_FLOAT_EQ(points[i].normal[2], -1.0f);
    }
    EXPECT_EQ(points[0].attributes, 16);
    EXPECT_EQ(points[1].attributes, 8 | 1 << 8);
    EXPECT_EQ(points[2].attributes, 8);
}

TEST_P(PlyEncodingTest, TruncatedBodyNamesTheVertex) {
    auto bytes = mixedPly(GetParam(), 4);
    // Cut the last vertex in half: its later properties are missing.
    bytes.resize(bytes.size() - (GetParam() ? 12 : 8));
    std::vector<fusion::PointData> points;
    std::string problem;
    EXPECT_FALSE(parsePlyPoints(bytes.data(), bytes.size(), points, problem));
    EXPECT_NE(problem.find("vertex 3 of 4"), std::string::npos) << problem;
}

TEST_P(PlyEncodingTest, CountBeyondTheDataIsRefusedBeforeReading) {
    const auto bytes = mixedPly(GetParam(), 2, 2000000000);
    std::vector<fusion::PointData> points;
    std::string problem;
    EXPECT_FALSE(parsePlyPoints(bytes.data(), bytes.size(), points, problem));
    EXPECT_NE(problem.find("too short"), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(AsciiAndBinary, PlyEncodingTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "binary" : "ascii"; });

struct BadPly {
    const char* name;
    std::string text;
    const char* expected;  // part of the problem text
};

class BadPlyTest : public ::testing::TestWithParam<BadPly> {};

TEST_P(BadPlyTest, IsRefusedWithAReason) {
    const std::string& text = GetParam().text;
    std::vector<fusion::PointData> points;
    std::string problem;
    EXPECT_FALSE(parsePlyPoints(reinterpret_cast<const uint8_t*>(text.data()), text.size(), points, problem));
    EXPECT_NE(problem.find(GetParam().expected), std::string::npos) << problem;
    int64_t count = 0;
    std::string header_problem;
    // Problems visible in the header are caught by the header-only check too.
    if (std::string(GetParam().name) != "bad_number") {
        EXPECT_FALSE(kelvane_fuse::parsePlyVertexCount(reinterpret_cast<const uint8_t*>(text.data()),
                                                       text.size(), count, header_problem));
    }
}

const std::string kAsciiHeadNoNz =
    "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
    "property float nx\nproperty float ny\nend_header\n1 2 3 0 0\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadPlyTest,
    ::testing::Values(
        BadPly{"missing_normal", kAsciiHeadNoNz, "no property 'nz'"},
        BadPly{"not_ply", "solid cube\nfacet normal 0 0 1\n", "not a PLY file"},
        BadPly{"big_endian", "ply\nformat binary_big_endian 1.0\nelement vertex 0\nend_header\n", "big-endian"},
        BadPly{"no_end_header", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "end_header"},
        BadPly{"no_vertex", "ply\nformat ascii 1.0\nelement face 0\nend_header\n", "no vertex element"},
        BadPly{"bad_type", "ply\nformat ascii 1.0\nelement vertex 1\nproperty real x\nend_header\n", "bad property"},
        BadPly{"bad_number",
               "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
               "property float nx\nproperty float ny\nproperty float nz\nend_header\n1 2 abc 0 0 1\n",
               "'abc' is not a number"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FusedPlyTest, WrittenCloudReadsBackWithItsExtraProperties) {
    std::vector<fusion::Vertices> cloud = {fuse_test::vertex(0, 1, 2, 3, 1, 0xABCD, 16),
                                           fuse_test::vertex(7, -4, 5.5f, -6, 0, 0x000F, 8)};
    cloud[1].protected_flag = 1;
    cloud[1].normal[0] = 0.6f;
    cloud[1].normal[2] = 0.8f;
    const auto bytes = kelvane_fuse::encodeFusedPly(cloud);

    const std::string text(bytes.begin(), bytes.end());
    const size_t body = text.find("end_header\n") + std::strlen("end_header\n");
    ASSERT_NE(text.find("element vertex 2\n"), std::string::npos);
    ASSERT_EQ(bytes.size() - body, 2u * 32u);  // 6 floats, ushort, 2 uchar, int
    // The record's tail holds quality, scan level, protection and the id.
    const uint8_t* second = bytes.data() + body + 32;
    EXPECT_EQ(kelvane_fuse::loadLE16(second + 24), 0x000F);
    EXPECT_EQ(second[26], 8);
    EXPECT_EQ(second[27], 1);
    EXPECT_EQ(int32_t(kelvane_fuse::loadLE32(second + 28)), 7);

    std::vector<fusion::PointData> points;
    std::string problem;
    ASSERT_TRUE(parsePlyPoints(bytes.data(), bytes.size(), points, problem)) << problem;
    ASSERT_EQ(points.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(points[i].position[k], cloud[i].position[k]);
            EXPECT_EQ(points[i].normal[k], cloud[i].normal[k]);
        }
    }
    EXPECT_EQ(points[0].attributes, 16);
    EXPECT_EQ(points[1].attributes, 8 | 1 << 8);
}

TEST(FusedPlyTest, FileErrorsNameThePath) {
    fuse_test::TempDir dir;
    std::vector<fusion::PointData> points;
    std::string error;
    EXPECT_FALSE(kelvane_fuse::readPlyPoints(dir.file("absent.ply"), points, error));
    EXPECT_EQ(error.rfind(dir.file("absent.ply"), 0), 0u) << error;
    EXPECT_FALSE(kelvane_fuse::writeFusedPly(dir.file("no/such/dir/out.ply"), {}, error));
    EXPECT_NE(error.find("out.ply"), std::string::npos) << error;
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
