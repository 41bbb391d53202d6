#pragma once

// Translation of the C interface's views (index lists in compressed form)
// into what process() takes: run lengths over consecutive points. Header
// only, so the tests can check the mapping without going through a frame.

#include <string>
#include <vector>

namespace fusion {
namespace capi {

struct FrameViews {
    // One inner list holding the length of every view, in view order (an
    // empty view gives a 0 entry, which makes no run).
    std::vector<std::vector<int>> runs;
    // Empty when the frame can be passed as it is. Otherwise the copied frame
    // takes point order[i] of the host's frame as its point i: the points of
    // each view in view order, then the points of no view.
    std::vector<int> order;
};

// Checks the views of a frame of `count` points and maps them. Returns an
// empty string on success, else what is wrong (nothing is filled then).
// With `reorder` false the frame is never copied (a blocking frame does not
// read its views), but the views are checked all the same.
inline std::string mapViews(int count, const int* offsets, const int* indices, int view_count,
                            bool reorder, FrameViews& out) {
    out = FrameViews{};
    if (view_count < 0) return "view_count is negative (" + std::to_string(view_count) + ")";
    if (view_count == 0) {
        out.runs.emplace_back();
        return std::string();
    }
    if (offsets == nullptr)
        return "view_offsets is NULL but view_count is " + std::to_string(view_count);
    if (offsets[0] != 0) return "view_offsets[0] is " + std::to_string(offsets[0]) + ", not 0";
    for (int v = 0; v < view_count; ++v) {
        if (offsets[v + 1] < offsets[v]) {
            return "view_offsets decreases at view " + std::to_string(v) + " (" +
                   std::to_string(offsets[v]) + " then " + std::to_string(offsets[v + 1]) + ")";
        }
    }
    const int listed = offsets[view_count];
    if (listed > 0 && indices == nullptr) {
        return "view_indices is NULL but the views list " + std::to_string(listed) + " points";
    }

    // One pass checks every index and tells whether the views already are
    // back-to-back runs from point 0 (the common case, passed on uncopied).
    std::vector<unsigned char> seen(static_cast<std::size_t>(count), 0);
    bool runs_in_place = true;
    out.runs.emplace_back();
    std::vector<int>& lengths = out.runs.front();
    lengths.reserve(static_cast<std::size_t>(view_count));
    for (int v = 0; v < view_count; ++v) {
        for (int k = offsets[v]; k < offsets[v + 1]; ++k) {
            const int index = indices[k];
            if (index < 0 || index >= count) {
                out = FrameViews{};
                return "view " + std::to_string(v) + " lists point " + std::to_string(index) +
                       ", outside the frame of " + std::to_string(count) + " points";
            }
            if (seen[static_cast<std::size_t>(index)] != 0) {
                out = FrameViews{};
                return "point " + std::to_string(index) + " is listed twice (again in view " +
                       std::to_string(v) + ")";
            }
            seen[static_cast<std::size_t>(index)] = 1;
            if (index != k) runs_in_place = false;
        }
        lengths.push_back(offsets[v + 1] - offsets[v]);
    }
    if (runs_in_place || !reorder) return std::string();

    out.order.reserve(static_cast<std::size_t>(count));
    out.order.assign(indices, indices + listed);
    for (int i = 0; i < count; ++i) {
        if (seen[static_cast<std::size_t>(i)] == 0) out.order.push_back(i);
    }
    return std::string();
}

}  // namespace capi
}  // namespace fusion
