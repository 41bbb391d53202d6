#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "support/ApiHelpers.h"

namespace {

using fusion::Kelvane_Impl_Points;
using fusion::PointData;
using fusion_test::composedMessage;
using fusion_test::separatedPoints;

enum Kind { kProtect = 0, kDelete = 1, kFineScan = 2 };

int request(Kelvane_Impl_Points& k, Kind kind, const PointData* points, int count) {
    switch (kind) {
        case kProtect: return k.setProtectedArea(points, count, true);
        case kDelete: return k.deleteSelectedArea(points, count);
        case kFineScan: return k.setFineScanArea(points, count);
    }
    return -1;
}

// Records the edits that reach an initialised wrapper, answering each with a
// preset status; before init it queues like the real wrapper.
class RecordingWrapper : public Kelvane_Impl_Points {
public:
    struct Call {
        int kind;
        std::vector<PointData> points;
        bool unprotect;
    };
    std::vector<Call> calls;
    std::vector<int> answers;  // answer of the i-th call; 0 beyond the list

    int setProtectedArea(const PointData* p, const int& n, bool unprotect) override {
        return isInit() ? record(kProtect, p, n, unprotect)
                        : Kelvane_Impl_Points::setProtectedArea(p, n, unprotect);
    }
    int deleteSelectedArea(const PointData* p, const int& n) override {
        return isInit() ? record(kDelete, p, n, false) : Kelvane_Impl_Points::deleteSelectedArea(p, n);
    }
    int setFineScanArea(const PointData* p, const int& n) override {
        return isInit() ? record(kFineScan, p, n, false) : Kelvane_Impl_Points::setFineScanArea(p, n);
    }

private:
    int record(int kind, const PointData* p, int n, bool unprotect) {
        calls.push_back({kind, std::vector<PointData>(p, p + (p != nullptr && n > 0 ? n : 0)), unprotect});
        return calls.size() <= answers.size() ? answers[calls.size() - 1] : 0;
    }
};

class PendingEditRefusal : public ::testing::TestWithParam<std::tuple<Kind, bool, int, bool>> {};

TEST_P(PendingEditRefusal, AnswersUnsupportedDataAndQueuesNothing) {
    const auto [kind, null_array, count, initialised] = GetParam();
    Kelvane_Impl_Points k;
    if (initialised) {
        ASSERT_EQ(k.init(), 0);
    }
    const std::string engine_before = fusion_test::engineHalf(k.getLastErrorMessage());
    const std::vector<PointData> points = separatedPoints(4);
    EXPECT_EQ(request(k, kind, null_array ? nullptr : points.data(), count), 0x10203);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("unsupport data!", engine_before));
    EXPECT_EQ(k.pendingEditCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PendingEditRefusal,
    ::testing::Values(std::make_tuple(kDelete, true, 3, false), std::make_tuple(kDelete, false, 0, false),
                      std::make_tuple(kFineScan, false, 0, false), std::make_tuple(kFineScan, true, 4, false),
                      std::make_tuple(kFineScan, false, 0, true), std::make_tuple(kFineScan, true, 4, true),
                      std::make_tuple(kProtect, true, 4, false), std::make_tuple(kProtect, false, -1, false)));

TEST(PendingEdits, ReplayRunsEveryEditInOrderOnItsOwnCopy) {
    RecordingWrapper k;
    std::vector<PointData> a = separatedPoints(3), b = separatedPoints(2, 7.0f), c = separatedPoints(4, 11.0f);
    const std::vector<std::vector<PointData>> given = {a, b, c};
    ASSERT_EQ(k.setFineScanArea(a.data(), 3), 0);
    ASSERT_EQ(k.setProtectedArea(b.data(), 2, true), 0);
    ASSERT_EQ(k.deleteSelectedArea(c.data(), 4), 0);
    ASSERT_EQ(k.pendingEditCount(), 3);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no error msg !"));
    for (auto* host_array : {&a, &b, &c}) {  // only valid during the call
        for (PointData& p : *host_array) p.position[0] = -999.0f;
    }

    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.pendingEditCount(), 0);
    ASSERT_EQ(k.calls.size(), 3u);
    const int kinds[3] = {kFineScan, kProtect, kDelete};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(k.calls[i].kind, kinds[i]);
        ASSERT_EQ(k.calls[i].points.size(), given[i].size());
        for (std::size_t j = 0; j < given[i].size(); ++j) {
            EXPECT_EQ(k.calls[i].points[j].position[0], given[i][j].position[0]);
        }
    }
    EXPECT_FALSE(k.calls[1].unprotect) << "a queued protection is replayed as protecting";

    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.calls.size(), 3u) << "nothing is replayed twice";
}

TEST(PendingEdits, AFailedReplayStopsAndKeepsTheRestQueued) {
    RecordingWrapper k;
    const std::vector<PointData> points = separatedPoints(4);
    for (int n = 1; n <= 4; ++n) {
        ASSERT_EQ(request(k, n % 2 ? kDelete : kFineScan, points.data(), n), 0);
    }
    k.answers = {0, 1};

    EXPECT_EQ(k.init(), 0) << "the engine is up whatever the edits answer";
    EXPECT_EQ(k.calls.size(), 2u);
    EXPECT_EQ(k.pendingEditCount(), 2) << "the failed edit is consumed, the rest wait";
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.calls.size(), 2u) << "init on an initialised wrapper changes nothing";

    // New edits queue behind the waiting ones, an empty protection too (the
    // engine refuses it later); the next init replays all.
    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.setProtectedArea(points.data(), 0, false), 0);
    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.calls.size(), 5u);
    EXPECT_EQ(k.calls[2].points.size(), 3u);
    EXPECT_EQ(k.calls[3].points.size(), 4u);
    EXPECT_EQ(k.calls[4].kind, kProtect);
    EXPECT_TRUE(k.calls[4].points.empty());
    EXPECT_EQ(k.pendingEditCount(), 0);
}

}  // namespace
