#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fuse/ByteOrder.h"
#include "fuse/PlyIO.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::parsePlyPoints;

// A PLY with a face element (list property) before the vertices, vertex
// properties in an unusual order and of mixed types, and one to skip. The
// same content in both encodings. Vertex i: x = 1.5 + i, y = -2.25 i,
// z = 0.125, normal (i % 2, 0.5, -1); vertex 0 at scan level 16, vertex 1
// protected.
std::vector<uint8_t> mixedPly(bool binary, int vertex_count, int declared_count = -1) {
    std::ostringstream text;
    text << "ply\nformat " << (binary ? "binary_little_endian" : "ascii") << " 1.0\ncomment test\n"
         << "element face 2\nproperty list uchar int vertex_indices\nelement vertex "
         << (declared_count < 0 ? vertex_count : declared_count) << "\n"
         << "property double nz\nproperty float x\nproperty uchar red\nproperty float y\nproperty float z\n"
         << "property short nx\nproperty float ny\nproperty uchar scan_level\nproperty int protected\n"
         << "end_header\n";
    std::string head = text.str();
    std::vector<uint8_t> bytes(head.begin(), head.end());
    std::ostringstream ascii;
    // Each value is written with its declared size: 1, 2 or 4 integer bytes,
    // 'f' float or 'd' double.
    auto put = [&](double value, char size) {
        const float f = float(value);
        uint32_t float_bits;
        std::memcpy(&float_bits, &f, 4);
        uint64_t bits = size == 'f' ? float_bits : uint64_t(int64_t(value));
        if (size == 'd') std::memcpy(&bits, &value, 8);
        const int n = size == 'd' ? 8 : size == 'f' ? 4 : size;
        for (int k = 0; binary && k < n; ++k) bytes.push_back(uint8_t(bits >> (8 * k)));
        if (!binary) ascii << value << ' ';
    };
    for (int corners : {3, 4}) {
        put(corners, 1);
        for (int k = 0; k < corners; ++k) put(k, 4);
        ascii << '\n';
    }
    for (int i = 0; i < vertex_count; ++i) {
        put(-1.0, 'd'), put(1.5 + i, 'f'), put(200, 1), put(-2.25 * i, 'f'), put(0.125, 'f');
        put(i % 2, 2), put(0.5, 'f'), put(i == 0 ? 16 : 8, 1), put(i == 1 ? 1 : 0, 4);
        ascii << '\n';
    }
    const std::string body = ascii.str();
    if (!binary) bytes.insert(bytes.end(), body.begin(), body.end());
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
        const fusion::PointData expected = fuse_test::point(1.5f + i, -2.25f * i, 0.125f, float(i % 2), 0.5f, -1.0f,
                                                            i == 0 ? 16 : i == 1 ? 8 | 1 << 8 : 8);
        EXPECT_EQ(std::memcmp(&points[i], &expected, sizeof expected), 0) << "vertex " << i;
    }
}

// A body cut inside the last vertex names it; a count beyond what the data
// could hold is refused before anything is read or reserved.
TEST_P(PlyEncodingTest, ShortBodyIsRefusedWithAReason) {
    auto cut = mixedPly(GetParam(), 4);
    cut.resize(cut.size() - (GetParam() ? 12 : 8));
    const auto huge = mixedPly(GetParam(), 2, 2000000000);
    for (const auto& [bytes, expected] : {std::make_pair(cut, "vertex 3 of 4"), std::make_pair(huge, "too short")}) {
        std::vector<fusion::PointData> points;
        std::string problem;
        EXPECT_FALSE(parsePlyPoints(bytes.data(), bytes.size(), points, problem));
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(AsciiAndBinary, PlyEncodingTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "binary" : "ascii"; });

TEST(PlyIOTest, BadFilesAreRefusedWithAReason) {
    const std::string six = "property float x\nproperty float y\nproperty float z\nproperty float nx\n"
                            "property float ny\n";
    const std::pair<std::string, const char*> cases[] = {
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + six + "end_header\n1 2 3 0 0\n", "no property 'nz'"},
        {"solid cube\nfacet normal 0 0 1\n", "not a PLY file"},
        {"ply\nformat binary_big_endian 1.0\nelement vertex 0\nend_header\n", "big-endian"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "end_header"},
        {"ply\nformat ascii 1.0\nelement face 0\nend_header\n", "no vertex element"},
        {"ply\nformat ascii 1.0\nelement vertex 1\nproperty real x\nend_header\n", "bad property"},
        // Only this one is in the body, beyond what the header-only check reads.
        {"ply\nformat ascii 1.0\nelement vertex 1\n" + six + "property float nz\nend_header\n1 2 abc 0 0 1\n",
         "'abc' is not a number"}};
    for (const auto& [text, expected] : cases) {
        const auto* data = reinterpret_cast<const uint8_t*>(text.data());
        std::vector<fusion::PointData> points;
        std::string problem, header_problem;
        int64_t count = 0;
        EXPECT_FALSE(parsePlyPoints(data, text.size(), points, problem));
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
        EXPECT_EQ(kelvane_fuse::parsePlyVertexCount(data, text.size(), count, header_problem),
                  std::strstr(expected, "abc") != nullptr) << expected;
    }
}

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
        EXPECT_EQ(std::memcmp(points[i].position, cloud[i].position, 24), 0) << i;  // position and normal
        EXPECT_EQ(points[i].attributes, i == 0 ? 16 : 8 | 1 << 8);
    }
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
