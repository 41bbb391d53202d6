#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "support/ApiHelpers.h"

namespace {

using fusion::Kelvane_Impl_Points;
using fusion::PointData;
using fusion_test::composedMessage;
using fusion_test::engineHalf;
using fusion_test::separatedPoints;
using fusion_test::wrapperHalf;

enum Kind { kProtect = 0, kDelete = 1, kFineScan = 2 };

// Records the region edits that reach an initialised wrapper instead of
// running them, answering each with a preset status. Before init it behaves
// exactly like the real wrapper (which queues).
class RecordingWrapper : public Kelvane_Impl_Points {
public:
    struct Call {
        int kind;
        std::vector<PointData> points;
        bool unprotect;
    };

    std::vector<Call> calls;
    std::vector<int> answers;  // answer of the i-th call; 0 beyond the list

    int setProtectedArea(const PointData* points, const int& count, bool unprotect) override {
        if (!isInit()) return Kelvane_Impl_Points::setProtectedArea(points, count, unprotect);
        return record(kProtect, points, count, unprotect);
    }
    int deleteSelectedArea(const PointData* points, const int& count) override {
        if (!isInit()) return Kelvane_Impl_Points::deleteSelectedArea(points, count);
        return record(kDelete, points, count, false);
    }
    int setFineScanArea(const PointData* points, const int& count) override {
        if (!isInit()) return Kelvane_Impl_Points::setFineScanArea(points, count);
        return record(kFineScan, points, count, false);
    }

private:
    int record(int kind, const PointData* points, int count, bool unprotect) {
        Call call{kind, {}, unprotect};
        if (points != nullptr && count > 0) call.points.assign(points, points + count);
        const std::size_t index = calls.size();
        calls.push_back(std::move(call));
        return index < answers.size() ? answers[index] : 0;
    }
};

bool samePoints(const std::vector<PointData>& a, const std::vector<PointData>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int j = 0; j < 3; ++j) {
            if (a[i].position[j] != b[i].position[j] || a[i].normal[j] != b[i].normal[j]) return false;
        }
        if (a[i].attributes != b[i].attributes) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Refusals: arguments that cannot form an edit.

struct Refusal {
    const char* name;
    Kind kind;
    bool null_array;
    int count;
    bool initialised;
};

class PendingEditRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(PendingEditRefusal, AnswersUnsupportedDataAndQueuesNothing) {
    const Refusal r = GetParam();
    Kelvane_Impl_Points k;
    if (r.initialised) {
        ASSERT_EQ(k.init(), 0);
    }
    const std::string engine_before = engineHalf(k.getLastErrorMessage());
    const std::vector<PointData> points = separatedPoints(4);
    const PointData* array = r.null_array ? nullptr : points.data();
    int status = -1;
    switch (r.kind) {
        case kProtect: status = k.setProtectedArea(array, r.count, false); break;
        case kDelete: status = k.deleteSelectedArea(array, r.count); break;
        case kFineScan: status = k.setFineScanArea(array, r.count); break;
    }
    EXPECT_EQ(status, 0x10203);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("unsupport data!", engine_before));
    EXPECT_EQ(k.pendingEditCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PendingEditRefusal,
    ::testing::Values(Refusal{"DeleteNullBeforeInit", kDelete, true, 3, false},
                      Refusal{"DeleteZeroBeforeInit", kDelete, false, 0, false},
                      Refusal{"DeleteNegativeBeforeInit", kDelete, false, -2, false},
                      Refusal{"FineScanZeroBeforeInit", kFineScan, false, 0, false},
                      Refusal{"FineScanNullBeforeInit", kFineScan, true, 4, false},
                      Refusal{"FineScanZeroAfterInit", kFineScan, false, 0, true},
                      Refusal{"FineScanNullAfterInit", kFineScan, true, 4, true},
                      Refusal{"ProtectNullBeforeInit", kProtect, true, 4, false},
                      Refusal{"ProtectNegativeBeforeInit", kProtect, false, -1, false}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Queueing before init.

TEST(PendingEdits, EditsBeforeInitAreQueuedWithoutAMessage) {
    Kelvane_Impl_Points k;
    const std::vector<PointData> points = separatedPoints(5);
    EXPECT_EQ(k.deleteSelectedArea(points.data(), 5), 0);
    EXPECT_EQ(k.pendingEditCount(), 1);
    EXPECT_EQ(k.setFineScanArea(points.data(), 2), 0);
    EXPECT_EQ(k.setProtectedArea(points.data(), 3, true), 0);
    // An empty protection request is queued too: the replay then answers it
    // as an initialised engine would have.
    EXPECT_EQ(k.setProtectedArea(points.data(), 0, false), 0);
    EXPECT_EQ(k.pendingEditCount(), 4);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no error msg !"));
}

TEST(PendingEdits, ReplayRunsEveryEditInOrderOnItsOwnCopy) {
    RecordingWrapper k;
    std::vector<PointData> a = separatedPoints(3);
    std::vector<PointData> b = separatedPoints(2, 7.0f);
    std::vector<PointData> c = separatedPoints(4, 11.0f);
    const std::vector<PointData> a_given = a, b_given = b, c_given = c;
    ASSERT_EQ(k.setFineScanArea(a.data(), 3), 0);
    ASSERT_EQ(k.setProtectedArea(b.data(), 2, true), 0);
    ASSERT_EQ(k.deleteSelectedArea(c.data(), 4), 0);
    ASSERT_EQ(k.pendingEditCount(), 3);
    // The host's arrays are only valid during the call.
    for (auto* v : {&a, &b, &c}) {
        for (PointData& p : *v) p.position[0] = -999.0f;
    }
    EXPECT_TRUE(k.calls.empty());

    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.pendingEditCount(), 0);
    ASSERT_EQ(k.calls.size(), 3u);
    EXPECT_EQ(k.calls[0].kind, kFineScan);
    EXPECT_TRUE(samePoints(k.calls[0].points, a_given));
    EXPECT_EQ(k.calls[1].kind, kProtect);
    EXPECT_TRUE(samePoints(k.calls[1].points, b_given));
    EXPECT_FALSE(k.calls[1].unprotect) << "a queued protection is replayed as protecting";
    EXPECT_EQ(k.calls[2].kind, kDelete);
    EXPECT_TRUE(samePoints(k.calls[2].points, c_given));

    // Nothing is left to replay a second time.
    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.calls.size(), 3u);
}

TEST(PendingEdits, AFailedReplayStopsAndKeepsTheRestQueued) {
    RecordingWrapper k;
    const std::vector<PointData> points = separatedPoints(4);
    ASSERT_EQ(k.deleteSelectedArea(points.data(), 1), 0);
    ASSERT_EQ(k.setFineScanArea(points.data(), 2), 0);
    ASSERT_EQ(k.setProtectedArea(points.data(), 3, false), 0);
    ASSERT_EQ(k.deleteSelectedArea(points.data(), 4), 0);
    k.answers = {0, 1};  // the second edit fails

    // The engine is up whatever the edits answer.
    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.isInit());
    ASSERT_EQ(k.calls.size(), 2u);
    EXPECT_EQ(k.calls[1].kind, kFineScan);
    // The failed edit is consumed; the two behind it wait.
    EXPECT_EQ(k.pendingEditCount(), 2);

    // init on an initialised wrapper changes nothing, the queue included.
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.calls.size(), 2u);
    EXPECT_EQ(k.pendingEditCount(), 2);

    // After deInit the edits queue behind the waiting ones and a new init
    // replays all of them in request order.
    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.setFineScanArea(points.data(), 1), 0);
    EXPECT_EQ(k.pendingEditCount(), 3);
    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.calls.size(), 5u);
    EXPECT_EQ(k.calls[2].kind, kProtect);
    EXPECT_EQ(k.calls[2].points.size(), 3u);
    EXPECT_EQ(k.calls[3].kind, kDelete);
    EXPECT_EQ(k.calls[3].points.size(), 4u);
    EXPECT_EQ(k.calls[4].kind, kFineScan);
    EXPECT_EQ(k.calls[4].points.size(), 1u);
    EXPECT_EQ(k.pendingEditCount(), 0);
}

TEST(PendingEdits, AfterInitEditsGoStraightToTheEngine) {
    RecordingWrapper k;
    ASSERT_EQ(k.init(), 0);
    const std::vector<PointData> points = separatedPoints(2);
    k.answers = {0, 0x10203};
    EXPECT_EQ(k.deleteSelectedArea(points.data(), 2), 0);
    EXPECT_EQ(k.setProtectedArea(points.data(), 2, true), 0x10203);
    EXPECT_EQ(k.calls.size(), 2u);
    EXPECT_EQ(k.pendingEditCount(), 0);
}

TEST(PendingEdits, ReplayAgainstTheRealEngine) {
    Kelvane_Impl_Points k;
    const std::vector<PointData> points = separatedPoints(6);
    ASSERT_EQ(k.setProtectedArea(points.data(), 6, false), 0);
    ASSERT_EQ(k.deleteSelectedArea(points.data(), 6), 0);
    ASSERT_EQ(k.setFineScanArea(points.data(), 6), 0);
    // On an empty volume every selection matches nothing and succeeds.
    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.pendingEditCount(), 0);
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no error !");
}

TEST(PendingEdits, AnEmptyQueuedProtectionFailsTheReplayWithTheEngineMessage) {
    Kelvane_Impl_Points k;
    const std::vector<PointData> points = separatedPoints(3);
    ASSERT_EQ(k.setProtectedArea(points.data(), 0, false), 0);
    ASSERT_EQ(k.deleteSelectedArea(points.data(), 3), 0);
    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.pendingEditCount(), 1);
    // The wrapper copied the engine's answer to the empty selection.
    const std::string message = k.getLastErrorMessage();
    EXPECT_EQ(wrapperHalf(message), engineHalf(message));
}

}  // namespace
