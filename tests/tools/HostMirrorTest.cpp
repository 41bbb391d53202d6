#ifdef KELVANE_HAVE_FUSE_CORE

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "host/HostMirror.h"
#include "support/FuseHelpers.h"

namespace {

using fuse_test::vertex;

fusion::Vertices removal(int32_t id) { return vertex(id, NAN, NAN, NAN, 255); }

TEST(HostMirrorTest, UpdatesReplayedInOrderGiveTheLatestState) {
    kelvane_host::HostMirror mirror;
    // One delivery holding: two additions, a change, a re-grade, a removal,
    // and the removed id handed out again to a new point.
    const std::vector<fusion::Vertices> records = {
        vertex(0, 1, 0, 0, 1), vertex(3, 3, 0, 0, 1), vertex(0, 1.5f, 0, 0, 1),
        vertex(3, 3, 0, 0, 0, 0x00F7), removal(0), vertex(0, 9, 9, 9, 1),
    };
    mirror.apply(records.data(), int(records.size()));
    EXPECT_EQ(mirror.size(), 2);
    ASSERT_TRUE(mirror.find(0) != nullptr && mirror.find(3) != nullptr);
    EXPECT_EQ(mirror.find(0)->position[0], 9.0f);
    EXPECT_EQ(mirror.find(3)->quality_code, 0x00F7);
    EXPECT_EQ(mirror.stats().upserts, 5);
    EXPECT_EQ(mirror.stats().removals, 1);

    // Stray removal, negative id, id beyond those handed out, unknown state.
    const std::vector<fusion::Vertices> bad = {removal(5), vertex(-1, 1, 1, 1, 1), vertex(100, 1, 1, 1),
                                               vertex(2, 0, 0, 1, 7)};
    mirror.apply(bad.data(), int(bad.size()), 100);
    EXPECT_EQ(mirror.size(), 2);
    EXPECT_EQ(mirror.stats().stray_removals, 1);
    EXPECT_EQ(mirror.stats().invalid, 3);
}

struct Divergence {
    const char* name;
    void (*change)(std::vector<fusion::Vertices>& extraction);
    int64_t missing, extra, stale, duplicates;
    char stale_in = 0;  // 'p' position, 'n' normal, 'a' attributes
};

class MirrorCompareTest : public ::testing::TestWithParam<Divergence> {};

TEST_P(MirrorCompareTest, FindsEachKindOfDifference) {
    const Divergence& c = GetParam();
    const std::vector<fusion::Vertices> truth = {vertex(0, 1, 0, 0), vertex(1, 2, 0, 0), vertex(4, 3, 0, 0)};
    kelvane_host::HostMirror mirror;
    mirror.apply(truth.data(), int(truth.size()));
    std::vector<fusion::Vertices> extraction = truth;
    c.change(extraction);
    const auto diff = mirror.compare(extraction.data(), int(extraction.size()), 0.0f);
    EXPECT_EQ(diff.missing, c.missing);
    EXPECT_EQ(diff.extra, c.extra);
    EXPECT_EQ(diff.stale, c.stale);
    EXPECT_EQ(diff.duplicate_ids, c.duplicates);
    const bool same_ids = c.missing + c.extra + c.duplicates == 0;
    EXPECT_EQ(diff.sameVertices(), same_ids);
    EXPECT_EQ(diff.identical(), same_ids && c.stale == 0);
    EXPECT_EQ(diff.moved, c.stale_in == 'p' ? 1 : 0);
    EXPECT_EQ(diff.turned, c.stale_in == 'n' ? 1 : 0);
    EXPECT_EQ(diff.regraded, c.stale_in == 'a' ? 1 : 0);
    if (diff.identical()) { EXPECT_EQ(diff.matching, 3); }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MirrorCompareTest,
    ::testing::Values(
        Divergence{"identical_in_any_order", [](auto& e) { std::swap(e[0], e[2]); }, 0, 0, 0, 0},
        Divergence{"point_the_host_never_heard_of", [](auto& e) { e.push_back(vertex(9, 5, 5, 5)); }, 1, 0, 0, 0},
        Divergence{"point_removed_without_notice", [](auto& e) { e.pop_back(); }, 0, 1, 0, 0},
        Divergence{"moved_by_a_tiny_step", [](auto& e) { e[1].position[2] = 1e-6f; }, 0, 0, 1, 0, 'p'},
        Divergence{"normal_changed", [](auto& e) { e[0].normal[0] = 0.5f; }, 0, 0, 1, 0, 'n'},
        Divergence{"regraded_silently", [](auto& e) { e[2].quality_code = 1; }, 0, 0, 1, 0, 'a'},
        Divergence{"position_became_nan", [](auto& e) { e[0].position[0] = NAN; }, 0, 0, 1, 0, 'p'},
        Divergence{"id_listed_twice", [](auto& e) { e.push_back(e[0]); }, 0, 0, 0, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

#endif  // KELVANE_HAVE_FUSE_CORE
