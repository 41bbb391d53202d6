// The pieces of the C interface that a C host cannot provoke: the exception
// barrier and every branch of the views mapping. The C host itself is
// tests/api/c_interface_test.c.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/CGuard.h"
#include "api/CViews.h"
#include "fusion/kelvane_c.h"

namespace {

using fusion::capi::FrameViews;
using fusion::capi::guardedStatus;
using fusion::capi::mapViews;

TEST(CInterfaceGuard, TurnsExceptionsIntoStatuses) {
    std::string message = "untouched";
    EXPECT_EQ(guardedStatus("kelvane_x", message, [] { return 7; }), 7);
    EXPECT_EQ(message, "untouched");
    EXPECT_EQ(guardedStatus("kelvane_x", message, []() -> int { throw std::bad_alloc(); }),
              KELVANE_OUT_OF_MEMORY);
    EXPECT_EQ(message, "kelvane_x: out of memory");
    EXPECT_EQ(guardedStatus("kelvane_x", message, []() -> int { throw std::runtime_error("broke"); }),
              KELVANE_FAILED);
    EXPECT_EQ(message, "broke");
    EXPECT_EQ(guardedStatus("kelvane_x", message, []() -> int { throw 42; }), KELVANE_FAILED);
    EXPECT_EQ(message, "kelvane_x: unknown exception");
}

std::string mapped(int count, const std::vector<int>& offsets, const std::vector<int>& indices,
                   FrameViews& views, bool reorder = true) {
    return mapViews(count, offsets.data(), indices.empty() ? nullptr : indices.data(),
                    int(offsets.size()) - 1, reorder, views);
}

TEST(CInterfaceViews, RunsInPlacePassTheFrameUncopied) {
    FrameViews views;
    // Views 0..2, an empty view, 3..4; points 5 and 6 belong to no view.
    EXPECT_EQ(mapped(7, {0, 3, 3, 5}, {0, 1, 2, 3, 4}, views), "");
    EXPECT_EQ(views.runs, (std::vector<std::vector<int>>{{3, 0, 2}}));
    EXPECT_TRUE(views.order.empty());

    EXPECT_EQ(mapViews(7, nullptr, nullptr, 0, true, views), "");
    EXPECT_EQ(views.runs, (std::vector<std::vector<int>>{{}}));
    EXPECT_TRUE(views.order.empty());
}

TEST(CInterfaceViews, OtherGroupingsReorderACopy) {
    FrameViews views;
    EXPECT_EQ(mapped(6, {0, 2, 3}, {4, 2, 0}, views), "");
    EXPECT_EQ(views.runs, (std::vector<std::vector<int>>{{2, 1}}));
    // The views' points in the order listed, then the points of no view.
    EXPECT_EQ(views.order, (std::vector<int>{4, 2, 0, 1, 3, 5}));

    // A blocking frame keeps its order; its views are still checked.
    EXPECT_EQ(mapped(6, {0, 2, 3}, {4, 2, 0}, views, false), "");
    EXPECT_EQ(views.runs, (std::vector<std::vector<int>>{{2, 1}}));
    EXPECT_TRUE(views.order.empty());
    EXPECT_NE(mapped(6, {0, 2}, {4, 4}, views, false), "");
}

TEST(CInterfaceViews, RefusesMalformedViews) {
    struct Case {
        std::vector<int> offsets, indices;
        const char* fragment;
    };
    const std::vector<Case> cases = {
        {{1, 2}, {0, 1}, "view_offsets[0] is 1"},
        {{0, 2, 1}, {0, 1}, "decreases at view 1"},
        {{0, 2}, {}, "view_indices is NULL"},
        {{0, 2}, {0, 5}, "view 0 lists point 5, outside the frame of 5 points"},
        {{0, 1}, {-1}, "lists point -1"},
        {{0, 2}, {3, 3}, "point 3 is listed twice (again in view 0)"},
        {{0, 2, 3}, {0, 1, 1}, "point 1 is listed twice (again in view 1)"},
    };
    for (const Case& c : cases) {
        FrameViews views;
        const std::string problem = mapped(5, c.offsets, c.indices, views);
        EXPECT_NE(problem.find(c.fragment), std::string::npos) << problem;
        EXPECT_TRUE(views.runs.empty());
        EXPECT_TRUE(views.order.empty());
    }
    FrameViews views;
    EXPECT_NE(mapViews(5, nullptr, nullptr, -1, true, views).find("negative"), std::string::npos);
    EXPECT_NE(mapViews(5, nullptr, nullptr, 2, true, views).find("view_offsets is NULL"),
              std::string::npos);
}

TEST(CInterfaceFree, IgnoresArraysItDidNotHandOut) {
    // Freeing these with delete[] would be caught by the sanitizer build.
    int on_stack[4] = {};
    kelvane_free(on_stack);
    auto* mine = new unsigned char[2];
    kelvane_free(mine);
    delete[] mine;
}

}  // namespace
