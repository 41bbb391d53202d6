// The public wrapper, and what a C host cannot provoke in the C interface (the
// C host itself is c_interface_test.c).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "api/CGuard.h"
#include "api/CViews.h"
#include "fusion/Kelvane.h"
#include "fusion/kelvane_c.h"
#include "fusion/kelvane_status.h"
#include "platform/platform.h"
#include "support/FailingNew.h"

namespace {

using fusion::Kelvane_Impl_Points;
using fusion::PointData;

std::string composedMessage(const std::string& wrapper, const std::string& engine) {
    return "[interface] : " + wrapper + " | [impl] : " + engine;
}

// The wrapper's (0) or the engine's (1) half of a composed message.
std::string messageHalf(const std::string& composed, int half) {
    const std::size_t at = composed.find(" | [impl] : ");
    return at == std::string::npos ? std::string()
           : half == 0             ? composed.substr(14, at - 14)
                                   : composed.substr(at + 12);
}

struct SentinelOutputs {
    fusion::Vertices* vertices;
    fusion::PolygonMesh* polygons;
    int count, polygon_count;
    unsigned long long bytes;
    fusion::MeshRawData mesh;
    fusion::PointRawData raw;
    SentinelOutputs() { std::memset(static_cast<void*>(this), 0xAB, sizeof *this); }
    bool untouched() const {
        const SentinelOutputs fresh;
        return std::memcmp(this, &fresh, sizeof *this) == 0;
    }
};

// `count` points facing +z, `spacing` apart: one voxel each at resolution <= 1.
std::vector<fusion::PointData> separatedPoints(int count, float spacing = 3.0f) {
    std::vector<fusion::PointData> points(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        points[i] = {{spacing * (i % 16) + 1.0f, spacing * (i / 16) + 1.0f, 5.0f}, {0, 0, 1}, 8};
    return points;
}

const fusion::PointData kPoint = {{1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 1.0f}, 8};
double kPose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const std::vector<std::vector<int>> kViews = {{1}};

using Call = std::function<int(Kelvane_Impl_Points&, SentinelOutputs&)>;

std::shared_ptr<fusion::RealTimeByteStream> emptyStream() {
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr, stream->size = 0;
    return stream;
}

// Gated operations without an engine answer 1 and their own text; inert ones
// answer 0; neither writes an out-parameter or keeps anything.
struct Case {
    const char* name;
    Call call;
    const char* message;  // nullptr: inert
};

class FacadeWithoutEngine : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(FacadeWithoutEngine, GatedOperationsRefuseAndInertOnesDoNothing) {
    const Case& c = std::get<0>(GetParam());
    Kelvane_Impl_Points k;
    ASSERT_TRUE(!std::get<1>(GetParam()) ||
                (k.init() == 0 && (c.message == nullptr || k.deInit() == 0)));
    const std::string before = k.getLastErrorMessage();
    SentinelOutputs out;
    EXPECT_EQ(c.call(k, out), c.message ? 1 : 0);
    EXPECT_EQ(k.getLastErrorMessage(),
              c.message ? composedMessage(c.message, messageHalf(before, 1)) : before);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(k.pendingEditCount() == 0 && k.getTruncDist() == 0.0f && k.getMinWeight() == 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    BeforeAndAfterInit, FacadeWithoutEngine,
    ::testing::Combine(
        ::testing::Values(
            Case{"setResolution", [](auto& k, auto&) { return k.setResolution(1.0f); }, "no init !"},
            Case{"setDeviceInfo", [](auto& k, auto&) { return k.setDeviceInfo({}); }, "no init !"},
            Case{"setQualityJudge", [](auto& k, auto&) { return k.setQualityJudge(false); }, "no init !"},
            Case{"deInit", [](auto& k, auto&) { return k.deInit(); }, "no init !"},
            Case{"build", [](auto& k, auto& o) { return k.buildByExistingPoints(&kPoint, 1, &o.vertices, o.count, false); }, "no init !"},
            Case{"getVertexNum", [](auto& k, auto& o) { return k.getVertexNum(o.count); }, "no init!"},
            Case{"requiredMemory", [](auto& k, auto& o) { return k.getRequiredMemoryForExtractData(o.bytes); }, "no init!"},
            Case{"extractRaw", [](auto& k, auto& o) { return k.extractLivePoints(o.raw); }, "no init!"},
            Case{"extractArray", [](auto& k, auto& o) { return k.extractLivePoints(&o.vertices, o.count); }, "no init!"},
            Case{"save", [](auto& k, auto&) { auto s = emptyStream(); return k.saveRealTimeBytesData(s) + (s->data ? 100 : 0); }, "no init!"},
            Case{"load", [](auto& k, auto& o) { return k.loadRealTimeBytesData_points(emptyStream(), &o.vertices, o.count); }, "no init!"},
            Case{"getUpdateVertices", [](auto& k, auto& o) { return k.getUpdateVertices(&o.vertices, o.count); }, "no init!"},
            Case{"setChromatographic", [](auto& k, auto&) { return k.setChromatographic(true); }, nullptr},
            Case{"setTruncDistMinWeight", [](auto& k, auto&) { return k.setTruncDist(3.0f) + k.setMinWeight(3.0f); }, nullptr},
            Case{"extractLiveMesh", [](auto& k, auto& o) { return k.extractLiveMesh(&o.vertices, o.count, &o.polygons, o.polygon_count); }, nullptr},
            Case{"getUpdatePolygons", [](auto& k, auto& o) { return k.getUpdatePolygons(&o.polygons, o.polygon_count); }, nullptr}),
        ::testing::Bool()),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_AfterInit" : "_BeforeInit"); });

// Hosts match on these (texts asserted literally elsewhere are left out here).
TEST(FacadeLifecycle, StatusesAndMessagesAreTheLibrarysOwn) {
    EXPECT_EQ(fusion::status::kOk + fusion::status::kFailed, 1);
    EXPECT_EQ(fusion::status::kOutOfMemory, 0x10201);
    EXPECT_EQ(fusion::status::kInvalidArgument, 0x10203);
    const std::pair<const char*, const char*> texts[] = {
        {KELVANE_MSG_EXTRACT_EXCEPTION, "extractLivePoint try catch error !"},
        {KELVANE_MSG_UPDATES_EXCEPTION, "getUpdateVertices try catch error!"},
        {KELVANE_MSG_SAVE_EXCEPTION, "serializeToStream try catch error!"},
        {KELVANE_MSG_LOAD_EXCEPTION, "deserializeByStream try catch error!"}};
    for (const auto& [declared, text] : texts) EXPECT_STREQ(declared, text);
}

TEST(FacadeLifecycle, StatusesAndMessages) {
    Kelvane_Impl_Points k;
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(k.getLastErrorMessage(), "[interface] : no error ! | [impl] : no error msg !");
    EXPECT_TRUE(k.getResolution() == 0.5f && k.getFusionMode() == 0);
    EXPECT_EQ(k.reset(), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("is not init !", "is not init !"));
    EXPECT_TRUE(k.init() == 0 && k.init() == 0 && k.isInit());
    EXPECT_EQ(messageHalf(k.getLastErrorMessage(), 0), "is not init !")
        << "a successful init keeps the message";
    EXPECT_EQ(k.reset(), 0);
    EXPECT_EQ(messageHalf(k.getLastErrorMessage(), 0), "no error !");
    ASSERT_EQ(k.setFineScanArea(nullptr, 1), KELVANE_INVALID_ARGUMENT);
    EXPECT_EQ(k.deInit(), 0);
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(messageHalf(k.getLastErrorMessage(), 0), "no error !");
    EXPECT_EQ(k.deInit(), 1);
    EXPECT_EQ(messageHalf(k.getLastErrorMessage(), 0), "no init !");
}

// The callback set before init persists through init, reset and deInit.
TEST(FacadeProcess, ForwardingKeepsTheWrapperMessageAndTheCallbackPersists) {
    Kelvane_Impl_Points k;
    std::vector<int> statuses;
    k.setProcessFinishedCallBack([&statuses](int status) { statuses.push_back(status); });
    EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, true), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no init !"));
    fusion::DeviceInfo sparse{};
    sparse.point_spacing = 0.6f;
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(k.init() == 0 && k.setResolution(0.5f) == 0 && k.setDeviceInfo(sparse) == 0);
        if (round == 2) k.setProcessFinishedCallBack(std::function<void(int)>());
        EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
        ASSERT_EQ(k.reset(), 0);
        EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
        EXPECT_EQ(k.process(&kPoint, 1, kViews, nullptr, true), 1);
        EXPECT_EQ(messageHalf(k.getLastErrorMessage(), 1), "invalid data !");
        ASSERT_EQ(k.deInit(), 0);
    }
    EXPECT_EQ(statuses, std::vector<int>(4, 0));
}

// The host's own callable runs (no copy): its state persists, and it may replace itself.
TEST(FacadeProcess, TheStoredCallbackRunsAndMayReplaceItself) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    std::vector<int> heard;
    k.setProcessFinishedCallBack([frames = 0, &heard](int) mutable { heard.push_back(++frames); });
    for (int i = 0; i < 3; ++i) ASSERT_EQ(k.process(&kPoint, 1, kViews, kPose, i == 1), 0);
    EXPECT_EQ(heard, (std::vector<int>{1, 2, 3}));

    heard.clear();
    k.setProcessFinishedCallBack([&k, &heard, own = std::vector<int>(1000, 7)](int) {
        k.setProcessFinishedCallBack([&heard](int) { heard.push_back(-1); });
        heard.push_back(own[999] + static_cast<int>(own.size()));
    });
    for (int i = 0; i < 2; ++i) ASSERT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
    EXPECT_EQ(heard, (std::vector<int>{1007, -1}));
}

// A fine-scan point (level 64, finer than the device's spacing) fuses fine
// observations only from blocking frames; builds bring ordinary points.
TEST(FacadeProcess, FineScanPointsFollowTheFrameMode) {
    Kelvane_Impl_Points k;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.1f;
    ASSERT_TRUE(k.init() == 0 && k.setResolution(0.5f) == 0 && k.setDeviceInfo(device) == 0);
    auto fine = [](float x, int level = 64) { return PointData{{x, 1, 1}, {0, 0, 1}, level}; };
    auto position = [&k] {
        fusion::Vertices* v = nullptr;
        int count = 0;
        float x = -1.0f;
        if (k.extractLivePoints(&v, count) == 0 && count == 1) x = v[0].position[0];
        delete[] v;
        return x;
    };
    auto frame = [&k](const PointData& p, bool blocking) {
        const int status = k.process(&p, 1, kViews, kPose, blocking);
        k.waitForPendingWork();
        return status;
    };
    ASSERT_EQ(frame(fine(1.0f), true), 0);
    ASSERT_FLOAT_EQ(position(), 1.0f);
    ASSERT_EQ(frame(fine(1.2f), false), 0);
    EXPECT_FLOAT_EQ(position(), 1.0f) << "a non-blocking frame's fine point is turned away";
    ASSERT_EQ(frame(fine(1.1f, 8), true), 0);
    EXPECT_FLOAT_EQ(position(), 1.0f) << "an ordinary point never fuses into it";
    ASSERT_EQ(frame(fine(1.1f), true), 0);
    EXPECT_FLOAT_EQ(position(), 1.05f) << "a blocking frame's fine point fuses";
    const PointData built = fine(1.2f);
    fusion::Vertices* v = nullptr;
    int count = 0;
    ASSERT_EQ(k.buildByExistingPoints(&built, 1, &v, count, false), 0);
    delete[] v;
    EXPECT_FLOAT_EQ(position(), 1.05f)
        << "a build's point is ordinary, even after a blocking frame";
    ASSERT_EQ(frame(fine(1.2f), false), 0);
    EXPECT_FLOAT_EQ(position(), 1.05f) << "the mode is the frame's own, not the last one's";
}

// Builds of no array, < 1 or >= 45,000,000 points are refused before the engine sees them.
TEST(FacadeBuild, InvalidInputIsRefusedBeforeTheEngineSeesIt) {
    for (const auto& [points, count] :
         {std::make_pair((const PointData*)nullptr, 1), std::make_pair(&kPoint, 0),
          std::make_pair(&kPoint, 45000000)}) {
        Kelvane_Impl_Points k;
        ASSERT_EQ(k.init(), 0);
        const std::string engine_before = messageHalf(k.getLastErrorMessage(), 1);
        SentinelOutputs out;
        EXPECT_EQ(k.buildByExistingPoints(points, count, &out.vertices, out.count, false),
                  KELVANE_INVALID_ARGUMENT)
            << count;
        EXPECT_EQ(k.getLastErrorMessage(), composedMessage("invalid data !", engine_before));
        EXPECT_TRUE(out.untouched());
        ASSERT_EQ(k.getRequiredMemoryForExtractData(out.bytes), 0);
        EXPECT_EQ(out.bytes, (1ull << 30) + 152ull) << "nothing may have been stored";
    }
}

// A build whose cloud cannot be handed back fails with the extraction's
// message; the points stay, and a snapshot carries them with their resolution.
TEST(FacadeBuild, AFailedHandBackLeavesItsMessage) {
    const std::vector<PointData> points = separatedPoints(40);
    fusion::Vertices* out = nullptr;
    int count = -1;
    long allocations = 0;
    {
        Kelvane_Impl_Points k;
        ASSERT_TRUE(k.init() == 0 && k.setResolution(0.2f) == 0);
        fusion_test::FailingNew counting;
        ASSERT_EQ(k.buildByExistingPoints(points.data(), 40, &out, count, false), 0);
        allocations = counting.calls();
        delete[] out;
    }
#if defined(_WIN32)
    if (allocations == 0) GTEST_SKIP() << "the test program's operator new cannot fail the DLL's";
#endif
    ASSERT_GT(allocations, 0);
    Kelvane_Impl_Points k, copy;
    ASSERT_TRUE(k.init() == 0 && k.setResolution(0.2f) == 0 && copy.init() == 0);
    out = nullptr;
    int status;
    {
        fusion_test::FailingNew last(allocations - 1);
        status = k.buildByExistingPoints(points.data(), 40, &out, count, false);
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("memory is lacked!", "memory is lacked!"));
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(k.extractLivePoints(&out, count), 0);
    EXPECT_EQ(count, 40);
    delete[] out;
    auto stream = emptyStream();
    ASSERT_TRUE(k.saveRealTimeBytesData(stream) == 0 &&
                copy.loadRealTimeBytesData_points(stream, &out, count) == 0);
    EXPECT_TRUE(count == 40 && copy.getResolution() == 0.2f);
    delete[] stream->data;
    delete[] out;
}

// The interface class alone: every operation is inert and answers 0 (true, zeros, "").
TEST(InterfaceDefaults, EveryOperationIsInert) {
    fusion::Kelvane base;
    SentinelOutputs out;
    auto stream = emptyStream();
    EXPECT_EQ(base.init() + base.deInit() + base.reset() + base.setResolution(0.3f) +
                  base.setDeviceInfo({}) + base.setQualityJudge(false) +
                  base.setChromatographic(true) + base.setTruncDist(1.0f) +
                  base.setMinWeight(1.0f) + base.dataOrganize(),
              0);
    EXPECT_TRUE(base.isInit());
    EXPECT_EQ(base.getResolution() + base.getTruncDist() + base.getMinWeight(), 0.0f);
    const fusion::DeviceInfo device = base.getDeviceInfo();
    const fusion::DeviceInfo zero{};
    EXPECT_EQ(std::memcmp(&device, &zero, sizeof device), 0);
    EXPECT_EQ(base.getLastErrorMessage(), "");
    EXPECT_EQ(
        base.process(&kPoint, 1, kViews, kPose, true) +
            base.getRequiredMemoryForExtractData(out.bytes) + base.extractLivePoints(out.raw) +
            base.extractLivePoints(&out.vertices, out.count) + base.extractLiveMesh(out.mesh) +
            base.extractLiveMesh(&out.vertices, out.count, &out.polygons, out.polygon_count) +
            base.saveRealTimeBytesData(stream) +
            base.loadRealTimeBytesData_points(stream, &out.vertices, out.count) +
            base.loadRealTimeBytesData_mesh(stream, &out.vertices, out.count, &out.polygons,
                                            out.polygon_count) +
            base.buildByExistingPoints(&kPoint, 1, &out.vertices, out.count, false) +
            base.buildByExistingPoints(&kPoint, 1, &out.vertices, out.count, &out.polygons,
                                       out.polygon_count, false) +
            base.setProtectedArea(&kPoint, 1, false) + base.deleteSelectedArea(&kPoint, 1) +
            base.setFineScanArea(&kPoint, 1) + base.readExternalModel(&kPoint, 1) +
            base.getMeshNum(out.count) + base.getVertexNum(out.count) +
            base.getUpdateVertices(&out.vertices, out.count) +
            base.getUpdatePolygons(&out.polygons, out.polygon_count) +
            base.getPointsNumLimitByResolution(),
        0);
    base.setProcessFinishedCallBack([](int) {});
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(stream->data, nullptr);
    EXPECT_EQ(base.getFusionMode(), 0);
}

#ifdef _OPENMP
#ifdef __linux__
int ownPriority() { return fusion::platform::currentThreadPriority().value; }

// Nice values of the host's OpenMP team members other than its own thread.
std::multiset<int> hostTeamPriorities(int size) {
    std::multiset<int> priorities;
    std::mutex lock;
#pragma omp parallel num_threads(size)
    {
        if (omp_get_thread_num() != 0) {
            const int nice = ownPriority();
            std::lock_guard<std::mutex> guard(lock);
            priorities.insert(nice);
        }
    }
    return priorities;
}
#endif

// The engine's operations leave the host's OpenMP settings as they found them,
// also inside the callback, where the host's own changes stay. Only the
// engine's own threads (and the caller, during a frame) are raised: the host's
// team and the callback keep the host's priority. The host is a fresh thread
// one step lower, so that earlier tests' raises do not count.
TEST(FacadeOpenMP, HostSettingsAndPrioritiesSurviveTheEnginesOperations) {
    std::thread host([] {
#ifdef __linux__
        const int own = std::max(ownPriority(), 0) + 1;
        fusion::platform::ThreadPriority lowered;
        lowered.value = own;
        lowered.known = true;
        fusion::platform::setCurrentThreadPriority(lowered);
        ASSERT_EQ(ownPriority(), own);
        omp_set_dynamic(0);
        const std::multiset<int> before = hostTeamPriorities(4);
        ASSERT_EQ(before, std::multiset<int>({own, own, own}));
        std::vector<int> in_callback;
#endif
        omp_set_dynamic(0);
        Kelvane_Impl_Points k;
        EXPECT_EQ(omp_get_dynamic(), 1);
        ASSERT_EQ(k.init(), 0);
        const int team = omp_get_max_threads();
        std::vector<int> dynamic_inside, team_inside;
        k.setProcessFinishedCallBack([&](int) {
            dynamic_inside.push_back(omp_get_dynamic());
            team_inside.push_back(omp_get_max_threads());
            omp_set_dynamic(dynamic_inside.size() == 1 ? 0 : 1);
#ifdef __linux__
            in_callback.push_back(ownPriority());
#endif
        });
        const std::vector<PointData> points = separatedPoints(300, 0.4f);
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(k.process(points.data(), 300, {{300}}, kPose, i % 2 == 0), 0);
        k.waitForPendingWork();
        EXPECT_EQ(dynamic_inside, (std::vector<int>{1, 0, 1, 1})) << "the host's, then its own";
        EXPECT_EQ(team_inside, std::vector<int>(4, team));
        EXPECT_EQ(omp_get_dynamic(), 1) << "the callback's last change stays";
        auto stream = emptyStream();
        fusion::Vertices* out = nullptr;
        int count = 0;
        ASSERT_EQ(k.saveRealTimeBytesData(stream), 0);
        ASSERT_EQ(k.loadRealTimeBytesData_points(stream, &out, count), 0);
        delete[] out;
        delete[] stream->data;
        ASSERT_EQ(k.buildByExistingPoints(points.data(), 300, &out, count, false), 0);
        delete[] out;
        ASSERT_TRUE(k.setFineScanArea(points.data(), 9) == 0 && k.dataOrganize() == 0 &&
                    k.deleteSelectedArea(points.data(), 5) == 0);
        k.waitForPendingWork();
        EXPECT_EQ(omp_get_dynamic(), 1);
        EXPECT_EQ(omp_get_max_threads(), team);
#ifdef __linux__
        omp_set_dynamic(0);
        EXPECT_EQ(hostTeamPriorities(4), before);
        EXPECT_EQ(ownPriority(), own);
        EXPECT_EQ(in_callback, std::vector<int>(4, own));
#endif
    });
    host.join();
}
#endif

// ---- region edits requested before init ----

enum Kind { kProtect, kDelete, kFineScan };

int request(fusion::Kelvane_Impl_Points& k, Kind kind, const PointData* p, int n) {
    return kind == kProtect  ? k.setProtectedArea(p, n, true)
           : kind == kDelete ? k.deleteSelectedArea(p, n)
                             : k.setFineScanArea(p, n);
}

// Records edits reaching an initialised wrapper, answering answers[i]; queues before init.
class RecordingWrapper : public fusion::Kelvane_Impl_Points {
public:
    struct Call {
        int kind;
        std::vector<PointData> points;
        bool unprotect;
    };
    std::vector<Call> calls;
    std::vector<int> answers;

    int setProtectedArea(const PointData* p, const int& n, bool unprotect) override {
        return isInit() ? record(kProtect, p, n, unprotect)
                        : Kelvane_Impl_Points::setProtectedArea(p, n, unprotect);
    }
    int deleteSelectedArea(const PointData* p, const int& n) override {
        return isInit() ? record(kDelete, p, n, false)
                        : Kelvane_Impl_Points::deleteSelectedArea(p, n);
    }
    int setFineScanArea(const PointData* p, const int& n) override {
        return isInit() ? record(kFineScan, p, n, false)
                        : Kelvane_Impl_Points::setFineScanArea(p, n);
    }

private:
    int record(int kind, const PointData* p, int n, bool unprotect) {
        calls.push_back(
            {kind, std::vector<PointData>(p, p + (p != nullptr && n > 0 ? n : 0)), unprotect});
        return calls.size() <= answers.size() ? answers[calls.size() - 1] : 0;
    }
};

TEST(PendingEdits, UnusableArgumentsAreRefusedAndNothingIsQueued) {
    const std::vector<PointData> points = separatedPoints(4);
    const std::tuple<Kind, bool, int, bool> cases[] = {{kDelete, true, 3, false},
                                                       {kFineScan, false, 0, false},
                                                       {kFineScan, true, 4, true},
                                                       {kProtect, true, 4, false},
                                                       {kProtect, false, -1, false}};
    for (const auto& [kind, null_array, count, initialised] : cases) {
        fusion::Kelvane_Impl_Points real;
        ASSERT_TRUE(!initialised || real.init() == 0);
        const std::string engine_before = messageHalf(real.getLastErrorMessage(), 1);
        EXPECT_EQ(request(real, kind, null_array ? nullptr : points.data(), count),
                  KELVANE_INVALID_ARGUMENT)
            << kind << count;
        EXPECT_EQ(real.getLastErrorMessage(), composedMessage("unsupport data!", engine_before));
        EXPECT_EQ(real.pendingEditCount(), 0);
    }
}

// Queued edits replay at init in order, on their own copies, nothing twice.
TEST(PendingEdits, ReplayRunsEveryEditInOrderOnItsOwnCopy) {
    RecordingWrapper k;
    std::vector<PointData> a = separatedPoints(3), b = separatedPoints(2, 7.0f),
                           c = separatedPoints(4, 11.0f);
    const std::vector<std::vector<PointData>> given = {a, b, c};
    ASSERT_TRUE(request(k, kFineScan, a.data(), 3) == 0 && request(k, kProtect, b.data(), 2) == 0 &&
                request(k, kDelete, c.data(), 4) == 0);
    ASSERT_EQ(k.pendingEditCount(), 3);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no error msg !"));
    for (auto* host_array : {&a, &b, &c})  // only valid during the call
        for (PointData& p : *host_array) p.position[0] = -999.0f;

    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(k.pendingEditCount(), 0);
    ASSERT_EQ(k.calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(k.calls[i].kind, std::vector<int>({kFineScan, kProtect, kDelete})[i]);
        ASSERT_EQ(k.calls[i].points.size(), given[i].size());
        EXPECT_EQ(std::memcmp(k.calls[i].points.data(), given[i].data(), 28 * given[i].size()), 0)
            << i;
    }
    EXPECT_FALSE(k.calls[1].unprotect);
    ASSERT_TRUE(k.deInit() == 0 && k.init() == 0);
    EXPECT_EQ(k.calls.size(), 3u) << "nothing is replayed twice";
}

// A failed edit stops the replay; the rest wait behind new edits for the next init.
TEST(PendingEdits, AFailedReplayStopsAndKeepsTheRestQueued) {
    RecordingWrapper k;
    const std::vector<PointData> points = separatedPoints(4);
    for (int n = 1; n <= 4; ++n)
        ASSERT_EQ(request(k, n % 2 ? kDelete : kFineScan, points.data(), n), 0);
    k.answers = {0, 1};
    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.calls.size() == 2u && k.pendingEditCount() == 2);
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.calls.size(), 2u);

    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.setProtectedArea(points.data(), 0, false), 0);
    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.calls.size(), 5u);
    EXPECT_TRUE(k.calls[2].points.size() == 3u && k.calls[3].points.size() == 4u);
    EXPECT_TRUE(k.calls[4].kind == kProtect && k.calls[4].points.empty() &&
                k.pendingEditCount() == 0);
}

// ---- the C interface ----

using Ints = std::vector<int>;

TEST(CInterfaceGuard, TurnsExceptionsIntoStatuses) {
    std::string message = "untouched";
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, [] { return 7; }), 7);
    EXPECT_EQ(message, "untouched");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, []() -> int { throw std::bad_alloc(); }),
              KELVANE_OUT_OF_MEMORY);
    EXPECT_EQ(message, "f: out of memory");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message,
                                          []() -> int { throw std::runtime_error("broke"); }),
              KELVANE_FAILED);
    EXPECT_EQ(message, "broke");
    EXPECT_EQ(fusion::capi::guardedStatus("f", message, []() -> int { throw 42; }), KELVANE_FAILED);
    EXPECT_EQ(message, "f: unknown exception");
}

// Contiguous views pass as runs; others are reordered; malformed ones are refused.
TEST(CInterfaceViews, MapsIndexListsOntoRunsAndRefusesMalformedViews) {
    const struct {
        int count;
        Ints offsets, indices;
        bool reorder;
        const char* problem;
        std::vector<Ints> runs;
        Ints order;
    } cases[] = {
        {7, {0, 3, 3, 5}, {0, 1, 2, 3, 4}, true, "", {{3, 0, 2}}, {}},
        {6, {0, 2, 3}, {4, 2, 0}, true, "", {{2, 1}}, {4, 2, 0, 1, 3, 5}},
        {5, {1, 2}, {0, 1}, false, "view_offsets[0] is 1, not 0", {}, {}},
        {5, {0, 2, 1}, {0, 1}, false, "view_offsets decreases at view 1 (2 then 1)", {}, {}},
        {5, {0, 2}, {}, false, "view_indices is NULL but the views list 2 points", {}, {}},
        {5, {0, 2, 3}, {0, 1, 1}, false, "point 1 is listed twice (again in view 1)", {}, {}}};
    for (const auto& c : cases) {
        fusion::capi::FrameViews views;
        EXPECT_EQ(fusion::capi::mapViews(c.count, c.offsets.data(),
                                         c.indices.empty() ? nullptr : c.indices.data(),
                                         int(c.offsets.size()) - 1, c.reorder, views),
                  c.problem);
        EXPECT_EQ(views.runs, c.runs) << c.problem;
        EXPECT_EQ(views.order, c.order) << c.problem;
    }
}

}  // namespace
