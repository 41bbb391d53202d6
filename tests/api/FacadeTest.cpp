#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"
#include "support/ApiHelpers.h"

namespace {

using fusion::Kelvane_Impl_Points;
using fusion_test::composedMessage;
using fusion_test::engineHalf;
using fusion_test::SentinelOutputs;
using fusion_test::wrapperHalf;
using Call = std::function<int(Kelvane_Impl_Points&, SentinelOutputs&)>;

const fusion::PointData kPoint = {{1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 1.0f}, 8};
double kPose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
const std::vector<std::vector<int>> kViews = {{1}};

std::shared_ptr<fusion::RealTimeByteStream> emptyStream() {
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr;
    stream->size = 0;
    return stream;
}

// Operations that need an initialised engine: status 1, their own text, no
// out-parameter written, the engine's half untouched.
struct GateCase {
    const char* name;
    Call call;
    const char* message;
};

class FacadeGate : public ::testing::TestWithParam<std::tuple<GateCase, bool>> {};

TEST_P(FacadeGate, AnswersNotInitialised) {
    const GateCase& c = std::get<0>(GetParam());
    Kelvane_Impl_Points k;
    if (std::get<1>(GetParam())) {
        ASSERT_EQ(k.init(), 0);
        ASSERT_EQ(k.deInit(), 0);
    }
    const std::string engine_before = engineHalf(k.getLastErrorMessage());
    SentinelOutputs out;
    EXPECT_EQ(c.call(k, out), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage(c.message, engine_before));
    EXPECT_TRUE(out.untouched());
}

INSTANTIATE_TEST_SUITE_P(
    BeforeInitAndAfterDeInit, FacadeGate,
    ::testing::Combine(
        ::testing::Values(
            GateCase{"setResolution", [](auto& k, auto&) { return k.setResolution(1.0f); }, "no init !"},
            GateCase{"setDeviceInfo", [](auto& k, auto&) { return k.setDeviceInfo({}); }, "no init !"},
            GateCase{"setQualityJudge", [](auto& k, auto&) { return k.setQualityJudge(false); }, "no init !"},
            GateCase{"deInit", [](auto& k, auto&) { return k.deInit(); }, "no init !"},
            GateCase{"build", [](auto& k, auto& o) { return k.buildByExistingPoints(&kPoint, 1, &o.vertices, o.count, false); }, "no init !"},
            GateCase{"getVertexNum", [](auto& k, auto& o) { return k.getVertexNum(o.count); }, "no init!"},
            GateCase{"requiredMemory", [](auto& k, auto& o) { return k.getRequiredMemoryForExtractData(o.bytes); }, "no init!"},
            GateCase{"extractRaw", [](auto& k, auto& o) { return k.extractLivePoints(o.raw); }, "no init!"},
            GateCase{"extractArray", [](auto& k, auto& o) { return k.extractLivePoints(&o.vertices, o.count); }, "no init!"},
            GateCase{"save", [](auto& k, auto&) { auto s = emptyStream(); return k.saveRealTimeBytesData(s) + (s->data ? 100 : 0); }, "no init!"},
            GateCase{"load", [](auto& k, auto& o) { return k.loadRealTimeBytesData_points(emptyStream(), &o.vertices, o.count); }, "no init!"},
            GateCase{"getUpdateVertices", [](auto& k, auto& o) { return k.getUpdateVertices(&o.vertices, o.count); }, "no init!"}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_AfterDeInit" : "_BeforeInit");
    });

// Inert operations: 0 before and after init, nothing written, nothing kept.
class FacadeInert : public ::testing::TestWithParam<std::tuple<Call, bool>> {};

TEST_P(FacadeInert, ReturnsZeroAndTouchesNothing) {
    Kelvane_Impl_Points k;
    if (std::get<1>(GetParam())) {
        ASSERT_EQ(k.init(), 0);
    }
    const std::string message_before = k.getLastErrorMessage();
    SentinelOutputs out;
    EXPECT_EQ(std::get<0>(GetParam())(k, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(k.getLastErrorMessage(), message_before);
    EXPECT_EQ(k.pendingEditCount(), 0);
    EXPECT_EQ(k.getTruncDist(), 0.0f);
    EXPECT_EQ(k.getMinWeight(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    BeforeAndAfterInit, FacadeInert,
    ::testing::Combine(
        ::testing::Values(
            Call([](auto& k, auto&) { return k.setChromatographic(true); }),
            Call([](auto& k, auto&) { return k.setTruncDist(3.0f) + k.setMinWeight(3.0f); }),
            Call([](auto& k, auto& o) { return k.extractLiveMesh(o.mesh); }),
            Call([](auto& k, auto& o) { return k.extractLiveMesh(&o.vertices, o.count, &o.polygons, o.polygon_count); }),
            Call([](auto& k, auto& o) { return k.loadRealTimeBytesData_mesh(emptyStream(), &o.vertices, o.count, &o.polygons, o.polygon_count); }),
            Call([](auto& k, auto& o) { return k.buildByExistingPoints(&kPoint, 1, &o.vertices, o.count, &o.polygons, o.polygon_count, true); }),
            Call([](auto& k, auto&) { return k.readExternalModel(&kPoint, 1); }),
            Call([](auto& k, auto& o) { return k.getMeshNum(o.polygon_count); }),
            Call([](auto& k, auto& o) { return k.getUpdatePolygons(&o.polygons, o.polygon_count); }),
            Call([](auto& k, auto&) { return k.getPointsNumLimitByResolution(); })),
        ::testing::Bool()));

TEST(FacadeLifecycle, StatusesAndMessagesThroughInitResetAndDeInit) {
    Kelvane_Impl_Points k;
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(k.getLastErrorMessage(), "[interface] : no error ! | [impl] : no error msg !");
    EXPECT_EQ(k.getResolution(), 0.5f);
    EXPECT_EQ(k.getFusionMode(), 0);
    EXPECT_EQ(k.reset(), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("is not init !", "is not init !"));
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.isInit());
    // A successful init keeps the wrapper's message; reset and deInit clear it.
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "is not init !");
    EXPECT_EQ(k.reset(), 0);
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no error !");
    ASSERT_EQ(k.setFineScanArea(nullptr, 1), 0x10203);
    EXPECT_EQ(k.deInit(), 0);
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no error !");
    EXPECT_EQ(k.deInit(), 1);
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no init !");
}

TEST(FacadeSettings, DeviceInfoIsCorrectedOnlyOnceBothSettingsAreGiven) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    const fusion::DeviceInfo d = {0x01020304u, 0xFFFFFFFFu, 9, 0x80000000u, 5000, -1, 0.01f};
    ASSERT_EQ(k.setDeviceInfo(d), 0);
    fusion::DeviceInfo got = k.getDeviceInfo();
    EXPECT_EQ(std::memcmp(&got, &d, sizeof(d)), 0) << "only the device given: read back as given";

    ASSERT_EQ(k.setResolution(-3.0f), 0);  // no range check
    EXPECT_EQ(k.getResolution(), -3.0f);
    fusion::DeviceInfo expected = d;
    expected.device_type = 0;
    expected.device_subtype = 0;
    got = k.getDeviceInfo();
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof(d)), 0);
}

TEST(FacadeProcess, ForwardingKeepsTheWrapperMessageAndTheCallbackPersists) {
    Kelvane_Impl_Points k;
    std::vector<int> statuses;
    k.setProcessFinishedCallBack([&statuses](int status) { statuses.push_back(status); });
    EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, true), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no init !"));

    // A spacing coarser than the voxel switches fusion off: accepted frames
    // then return 0 at once, without touching the volume.
    fusion::DeviceInfo sparse{};
    sparse.point_spacing = 0.6f;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(k.init(), 0);
        ASSERT_EQ(k.setResolution(0.5f), 0);
        ASSERT_EQ(k.setDeviceInfo(sparse), 0);
        EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
        ASSERT_EQ(k.reset(), 0);
        EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
        ASSERT_EQ(k.deInit(), 0);
    }
    EXPECT_EQ(statuses, std::vector<int>(4, 0));

    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.setFineScanArea(nullptr, 1), 0x10203);
    EXPECT_EQ(k.process(&kPoint, 1, kViews, nullptr, true), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("unsupport data!", "invalid data !"));
    k.setProcessFinishedCallBack(std::function<void(int)>());
    ASSERT_EQ(k.setResolution(0.5f), 0);
    ASSERT_EQ(k.setDeviceInfo(sparse), 0);
    EXPECT_EQ(k.process(&kPoint, 1, kViews, kPose, false), 0);
    EXPECT_EQ(statuses.size(), 4u) << "an empty callable clears the callback";
}

class FacadeBuildRefusal : public ::testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(FacadeBuildRefusal, InvalidInputIsRefusedBeforeTheEngineSeesIt) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    const std::string engine_before = engineHalf(k.getLastErrorMessage());
    SentinelOutputs out;
    const fusion::PointData* points = std::get<0>(GetParam()) ? nullptr : &kPoint;
    EXPECT_EQ(k.buildByExistingPoints(points, std::get<1>(GetParam()), &out.vertices, out.count, false),
              0x10203);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("invalid data !", engine_before));
    EXPECT_TRUE(out.untouched());
    ASSERT_EQ(k.getRequiredMemoryForExtractData(out.bytes), 0);
    EXPECT_EQ(out.bytes, (1ull << 30) + 152ull) << "nothing may have been stored";
}

INSTANTIATE_TEST_SUITE_P(Inputs, FacadeBuildRefusal,
                         ::testing::Values(std::make_tuple(true, 1), std::make_tuple(false, 0),
                                           std::make_tuple(false, -4), std::make_tuple(false, 45000000),
                                           std::make_tuple(false, INT_MAX)));

// A build and a save through one wrapper, a load through another: the
// records arrive and the loader adopts the saved resolution.
TEST(FacadeSnapshot, BuiltPointsTravelWithTheirResolution) {
    auto stream = emptyStream();
    const std::vector<fusion::PointData> points = fusion_test::separatedPoints(40);
    for (const bool load : {false, true}) {
        Kelvane_Impl_Points k;
        ASSERT_EQ(k.init(), 0);
        fusion::Vertices* vertices = nullptr;
        int count = -1;
        if (load) {
            ASSERT_EQ(k.loadRealTimeBytesData_points(stream, &vertices, count), 0);
            EXPECT_EQ(k.getResolution(), 0.2f);
            delete[] stream->data;
        } else {
            ASSERT_EQ(k.setResolution(0.2f), 0);
            ASSERT_EQ(k.buildByExistingPoints(points.data(), 40, &vertices, count, false), 0);
            ASSERT_EQ(k.saveRealTimeBytesData(stream), 0);
        }
        std::unique_ptr<fusion::Vertices[]> owned(vertices);
        EXPECT_EQ(count, 40);
    }
}

}  // namespace
