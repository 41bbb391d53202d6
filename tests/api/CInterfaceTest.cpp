// What a C host cannot provoke: the exception barrier of the C interface and
// the branches of its views mapping. The C host itself is c_interface_test.c.

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
using Runs = std::vector<std::vector<int>>;

TEST(CInterfaceGuard, TurnsExceptionsIntoStatuses) {
    std::string message = "untouched";
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, [] { return 7; }), 7);
    EXPECT_EQ(message, "untouched");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, []() -> int { throw std::bad_alloc(); }),
              KELVANE_OUT_OF_MEMORY);
    EXPECT_EQ(message, "f: out of memory");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, []() -> int { throw std::runtime_error("broke"); }),
              KELVANE_FAILED);
    EXPECT_EQ(message, "broke");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, []() -> int { throw 42; }), KELVANE_FAILED);
    EXPECT_EQ(message, "f: unknown exception");
}

std::string mapped(int count, const std::vector<int>& offsets, const std::vector<int>& indices,
                   FrameViews& views, bool reorder = true) {
    return fusion::capi::mapViews(count, offsets.data(), indices.empty() ? nullptr : indices.data(),
                                  int(offsets.size()) - 1, reorder, views);
}

TEST(CInterfaceViews, MapsIndexListsOntoRuns) {
    FrameViews views;
    // Back-to-back runs from point 0 (one of them empty): passed uncopied.
    EXPECT_EQ(mapped(7, {0, 3, 3, 5}, {0, 1, 2, 3, 4}, views), "");
    EXPECT_EQ(views.runs, (Runs{{3, 0, 2}}));
    EXPECT_TRUE(views.order.empty());
    // Any other grouping: the views' points as listed, then those of no view.
    EXPECT_EQ(mapped(6, {0, 2, 3}, {4, 2, 0}, views), "");
    EXPECT_EQ(views.runs, (Runs{{2, 1}}));
    EXPECT_EQ(views.order, (std::vector<int>{4, 2, 0, 1, 3, 5}));
    // A blocking frame keeps its order.
    EXPECT_EQ(mapped(6, {0, 2, 3}, {4, 2, 0}, views, false), "");
    EXPECT_TRUE(views.order.empty());
}

TEST(CInterfaceViews, RefusesMalformedViews) {
    const struct {
        std::vector<int> offsets, indices;
        const char* problem;
    } cases[] = {
        {{1, 2}, {0, 1}, "view_offsets[0] is 1, not 0"},
        {{0, 2, 1}, {0, 1}, "view_offsets decreases at view 1 (2 then 1)"},
        {{0, 2}, {}, "view_indices is NULL but the views list 2 points"},
        {{0, 2}, {0, 5}, "view 0 lists point 5, outside the frame of 5 points"},
        {{0, 1}, {-1}, "view 0 lists point -1, outside the frame of 5 points"},
        {{0, 2, 3}, {0, 1, 1}, "point 1 is listed twice (again in view 1)"},
    };
    for (const auto& c : cases) {
        FrameViews views;
        EXPECT_EQ(mapped(5, c.offsets, c.indices, views, false), c.problem);
        EXPECT_TRUE(views.runs.empty() && views.order.empty());
    }
}

}  // namespace
