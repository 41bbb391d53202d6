#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "fuse/ByteOrder.h"
#include "fuse/Preview.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::Image;
using kelvane_fuse::PreviewSettings;

// A square grid of points in the plane z = `z`, normals +z.
void addSquare(std::vector<fusion::Vertices>& cloud, float half, float z, float step, uint16_t quality) {
    int id = int(cloud.size());
    for (float x = -half; x <= half; x += step) {
        for (float y = -half; y <= half; y += step) cloud.push_back(fuse_test::vertex(id++, x, y, z, 0, quality));
    }
}

PreviewSettings lookingDownZ() {
    PreviewSettings s;
    s.width = 64;
    s.height = 48;
    s.automatic = false;
    s.azimuth = 0;
    s.elevation = 90;  // camera on +z
    s.point_size = 0.1f;
    return s;
}

bool isBackground(const Image& image, int x, int y) {
    const uint8_t* p = image.pixel(x, y);
    return p[0] == kelvane_fuse::kPreviewBackground[0] && p[1] == kelvane_fuse::kPreviewBackground[1] &&
           p[2] == kelvane_fuse::kPreviewBackground[2];
}

TEST(PreviewTest, ObjectFillsTheMiddleAndLeavesTheCornersEmpty) {
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.0f, 0.05f, 0x000F);
    const Image image = kelvane_fuse::renderPreview(cloud, lookingDownZ());
    ASSERT_EQ(image.rgb.size(), 64u * 48u * 3u);
    EXPECT_FALSE(isBackground(image, 32, 24));
    EXPECT_TRUE(isBackground(image, 0, 0));
    EXPECT_TRUE(isBackground(image, 63, 47));
    // Fully graded and facing the light: green dominates.
    const uint8_t* centre = image.pixel(32, 24);
    EXPECT_GT(centre[1], centre[0]);
    EXPECT_GT(centre[1], centre[2]);
}

TEST(PreviewTest, NearerSurfaceHidesTheFartherOne) {
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.5f, 0.05f, 0x0000);   // near the camera on +z: ungraded, red
    addSquare(cloud, 1.0f, -0.5f, 0.05f, 0x000F);  // behind it: green
    // Drawn in both orders, the z-buffer decides, not the order.
    for (int pass = 0; pass < 2; ++pass) {
        const Image image = kelvane_fuse::renderPreview(cloud, lookingDownZ());
        const uint8_t* centre = image.pixel(32, 24);
        EXPECT_GT(centre[0], centre[1]) << "pass " << pass;
        std::reverse(cloud.begin(), cloud.end());
    }
}

TEST(PreviewTest, AutomaticViewLooksAtTheSideTheNormalsFace) {
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.0f, 0.25f, 0);
    for (auto& v : cloud) {
        v.normal[0] = 0.0f;
        v.normal[1] = -2.0f;  // unnormalised on purpose
        v.normal[2] = 0.0f;
    }
    PreviewSettings settings;
    float toward[3];
    kelvane_fuse::viewDirection(cloud, settings, toward);
    // From the side the normals face (-y), raised to the lowest automatic
    // elevation of 20 degrees.
    EXPECT_NEAR(toward[0], 0.0f, 1e-5f);
    EXPECT_NEAR(toward[1], -std::cos(20.0f * 3.14159265f / 180.0f), 1e-4f);
    EXPECT_NEAR(toward[2], std::sin(20.0f * 3.14159265f / 180.0f), 1e-4f);
    // Normals straight up (a plate seen from above): at most 60 degrees up.
    for (auto& v : cloud) {
        v.normal[1] = 0.0f;
        v.normal[2] = 1.0f;
    }
    kelvane_fuse::viewDirection(cloud, settings, toward);
    EXPECT_NEAR(toward[2], std::sin(60.0f * 3.14159265f / 180.0f), 1e-4f);
    // Normals cancelling out (a closed object): the fixed three-quarter view
    // from azimuth -60, elevation 25.
    auto back = cloud;
    for (auto& v : back) v.normal[2] = -1.0f;
    cloud.insert(cloud.end(), back.begin(), back.end());
    kelvane_fuse::viewDirection(cloud, settings, toward);
    EXPECT_NEAR(toward[0], std::cos(25.0f * 3.14159265f / 180.0f) * 0.5f, 1e-4f);
    EXPECT_LT(toward[1], -0.7f);
    EXPECT_NEAR(toward[2], std::sin(25.0f * 3.14159265f / 180.0f), 1e-4f);
}

TEST(PreviewTest, EmptyOrNonFiniteCloudGivesABackgroundImage) {
    std::vector<fusion::Vertices> cloud = {fuse_test::vertex(0, NAN, 0, 0)};
    for (const auto& c : {std::vector<fusion::Vertices>{}, cloud}) {
        const Image image = kelvane_fuse::renderPreview(c, lookingDownZ());
        for (int y = 0; y < image.height; y += 7) {
            for (int x = 0; x < image.width; x += 7) {
                ASSERT_TRUE(isBackground(image, x, y));
            }
        }
    }
}

TEST(PreviewTest, PngCarriesTheImageSize) {
    Image image;
    image.width = 20;
    image.height = 10;
    image.rgb.assign(20 * 10 * 3, 128);
    const std::vector<uint8_t> png = kelvane_fuse::encodePng(image);
    ASSERT_GT(png.size(), 33u);
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(signature, signature + 8, png.begin()));
    // IHDR: big-endian width and height right after its type.
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ((png[16] << 24) | (png[17] << 16) | (png[18] << 8) | png[19], 20);
    EXPECT_EQ((png[20] << 24) | (png[21] << 16) | (png[22] << 8) | png[23], 10);
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
