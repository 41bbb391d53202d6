#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "fuse/Preview.h"
#include "support/FuseHelpers.h"

namespace {

using kelvane_fuse::Image;

// A square grid of points in the plane z = `z`, normals +z.
void addSquare(std::vector<fusion::Vertices>& cloud, float half, float z, float step, uint16_t quality) {
    int id = int(cloud.size());
    for (float x = -half; x <= half; x += step) {
        for (float y = -half; y <= half; y += step) cloud.push_back(fuse_test::vertex(id++, x, y, z, 0, quality));
    }
}

// A 64 x 48 image from a camera on +z.
Image renderFromAbove(const std::vector<fusion::Vertices>& cloud) {
    kelvane_fuse::PreviewSettings s;
    s.width = 64;
    s.height = 48;
    s.automatic = false;
    s.azimuth = 0;
    s.elevation = 90;
    s.point_size = 0.1f;
    return kelvane_fuse::renderPreview(cloud, s);
}

bool isBackground(const Image& image, int x, int y) {
    return std::equal(image.pixel(x, y), image.pixel(x, y) + 3, kelvane_fuse::kPreviewBackground);
}

TEST(PreviewTest, ObjectFillsTheMiddleAndLeavesTheCornersEmpty) {
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.0f, 0.05f, 0x000F);
    const Image image = renderFromAbove(cloud);
    ASSERT_EQ(image.rgb.size(), 64u * 48u * 3u);
    EXPECT_TRUE(isBackground(image, 0, 0) && isBackground(image, 63, 47));
    // Fully graded and facing the light: green dominates.
    const uint8_t* centre = image.pixel(32, 24);
    EXPECT_GT(centre[1], std::max(centre[0], centre[2]));
}

TEST(PreviewTest, NearerSurfaceHidesTheFartherOneInEitherDrawingOrder) {
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.5f, 0.05f, 0x0000);   // near the camera on +z: ungraded, red
    addSquare(cloud, 1.0f, -0.5f, 0.05f, 0x000F);  // behind it: green
    for (int pass = 0; pass < 2; ++pass) {
        const Image image = renderFromAbove(cloud);
        const uint8_t* centre = image.pixel(32, 24);
        EXPECT_GT(centre[0], centre[1]) << "pass " << pass;
        std::reverse(cloud.begin(), cloud.end());
    }
}

TEST(PreviewTest, AutomaticViewLooksAtTheSideTheNormalsFace) {
    const auto rad = [](float degrees) { return degrees * 3.14159265f / 180.0f; };
    std::vector<fusion::Vertices> cloud;
    addSquare(cloud, 1.0f, 0.0f, 0.25f, 0);
    float toward[3];
    // Normals toward -y (unnormalised on purpose): from that side, raised to
    // the lowest automatic elevation of 20 degrees.
    for (auto& v : cloud) v.normal[1] = -2.0f, v.normal[2] = 0.0f;
    kelvane_fuse::viewDirection(cloud, {}, toward);
    EXPECT_NEAR(toward[0], 0.0f, 1e-5f);
    EXPECT_NEAR(toward[1], -std::cos(rad(20)), 1e-4f);
    EXPECT_NEAR(toward[2], std::sin(rad(20)), 1e-4f);
    // Normals straight up (a plate seen from above): at most 60 degrees up.
    for (auto& v : cloud) v.normal[1] = 0.0f, v.normal[2] = 1.0f;
    kelvane_fuse::viewDirection(cloud, {}, toward);
    EXPECT_NEAR(toward[2], std::sin(rad(60)), 1e-4f);
    // Normals cancelling out (a closed object): the fixed three-quarter view
    // from azimuth -60, elevation 25.
    auto back = cloud;
    for (auto& v : back) v.normal[2] = -1.0f;
    cloud.insert(cloud.end(), back.begin(), back.end());
    kelvane_fuse::viewDirection(cloud, {}, toward);
    EXPECT_NEAR(toward[0], std::cos(rad(25)) * 0.5f, 1e-4f);
    EXPECT_LT(toward[1], -0.7f);
    EXPECT_NEAR(toward[2], std::sin(rad(25)), 1e-4f);
}

TEST(PreviewTest, EmptyOrNonFiniteCloudGivesABackgroundImage) {
    using Cloud = std::vector<fusion::Vertices>;
    for (const Cloud& cloud : {Cloud{}, Cloud{fuse_test::vertex(0, NAN, 0, 0)}}) {
        const Image image = renderFromAbove(cloud);
        for (int y = 0; y < image.height; y += 7) {
            for (int x = 0; x < image.width; x += 7) ASSERT_TRUE(isBackground(image, x, y));
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
    // Signature, then IHDR with big-endian width and height.
    const std::vector<uint8_t> head = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                       0, 0, 0, 20, 0, 0, 0, 10};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), png.begin()));
}

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
