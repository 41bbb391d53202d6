#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "fusion/Kelvane.h"
#include "support/ApiHelpers.h"

#if defined(__linux__)
#include <sys/resource.h>

#include <fstream>
#endif

// Sanitizer runtimes reserve and map memory of their own; an address-space
// limit would break them rather than the engine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVANE_TEST_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVANE_TEST_UNDER_SANITIZER 1
#endif
#endif

namespace {

using fusion::Kelvane;
using fusion::Kelvane_Impl_Points;
using fusion_test::composedMessage;
using fusion_test::engineHalf;
using fusion_test::SentinelOutputs;
using fusion_test::wrapperHalf;

static_assert(!std::is_copy_constructible<Kelvane_Impl_Points>::value,
              "two wrappers must never own one engine");
static_assert(!std::is_copy_assignable<Kelvane_Impl_Points>::value,
              "two wrappers must never own one engine");

#if defined(__linux__)
// Bytes of address space the process has mapped (VmSize), or 0.
std::size_t currentAddressSpace() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024u;
    }
    return 0;
}
#endif

fusion::DeviceInfo sparseDevice() {
    // A spacing coarser than the default resolution switches fusion off,
    // which lets frames pass through the pipeline without touching the volume.
    fusion::DeviceInfo d{};
    d.point_spacing = 0.6f;
    return d;
}

double kIdentityPose[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// ---------------------------------------------------------------------------
// The interface class answers every operation with its inert default.

TEST(InterfaceDefaults, EveryOperationIsInert) {
    Kelvane k;
    SentinelOutputs out;
    fusion::PointData point{};
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    const std::vector<std::vector<int>> views;
    const int one = 1;

    const std::vector<int> statuses = {
        k.init(), k.deInit(), k.reset(), k.setDeviceInfo(fusion::DeviceInfo{}),
        k.setResolution(2.0f), k.setQualityJudge(false), k.setChromatographic(true),
        k.setTruncDist(1.0f), k.setMinWeight(1.0f),
        k.process(&point, one, views, kIdentityPose, true), k.dataOrganize(),
        k.getRequiredMemoryForExtractData(out.bytes), k.extractLiveMesh(out.mesh),
        k.extractLiveMesh(&out.vertices, out.vertex_count, &out.polygons, out.polygon_count),
        k.extractLivePoints(out.raw), k.extractLivePoints(&out.vertices, out.vertex_count),
        k.saveRealTimeBytesData(stream),
        k.loadRealTimeBytesData_mesh(stream, &out.vertices, out.vertex_count, &out.polygons,
                                     out.polygon_count),
        k.loadRealTimeBytesData_points(stream, &out.vertices, out.vertex_count),
        k.buildByExistingPoints(&point, one, &out.vertices, out.vertex_count, false),
        k.buildByExistingPoints(&point, one, &out.vertices, out.vertex_count, &out.polygons,
                                out.polygon_count, false),
        k.setProtectedArea(&point, one, false), k.deleteSelectedArea(&point, one),
        k.setFineScanArea(&point, one), k.readExternalModel(&point, one),
        k.getMeshNum(out.polygon_count), k.getVertexNum(out.vertex_count),
        k.getUpdateVertices(&out.vertices, out.vertex_count),
        k.getUpdatePolygons(&out.polygons, out.polygon_count), k.getPointsNumLimitByResolution()};
    for (std::size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(statuses[i], 0) << "operation " << i;

    EXPECT_TRUE(k.isInit());
    EXPECT_EQ(k.getResolution(), 0.0f);
    EXPECT_EQ(k.getTruncDist(), 0.0f);
    EXPECT_EQ(k.getMinWeight(), 0.0f);
    EXPECT_EQ(k.getLastErrorMessage(), "");
    const fusion::DeviceInfo zero{};
    const fusion::DeviceInfo got = k.getDeviceInfo();
    EXPECT_EQ(std::memcmp(&got, &zero, sizeof(zero)), 0);
    EXPECT_EQ(k.getFusionMode(), Kelvane::FUSION_MODE_POINTS);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(stream->data, nullptr);
    k.setProcessFinishedCallBack([](int) {});
}

// ---------------------------------------------------------------------------
// A freshly constructed wrapper.

TEST(Facade, FreshObjectState) {
    Kelvane_Impl_Points k;
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(k.getLastErrorMessage(), "[interface] : no error ! | [impl] : no error msg !");
    EXPECT_EQ(k.getResolution(), 0.5f);
    EXPECT_EQ(k.getFusionMode(), 0);
    EXPECT_EQ(k.pendingEditCount(), 0);
    // Reading the message changes neither half.
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no error msg !"));
}

// ---------------------------------------------------------------------------
// Gates: operations that need an initialised engine answer 1 with one of two
// texts, write no out-parameter and leave the engine's message alone.

struct GateCase {
    const char* name;
    std::function<int(Kelvane_Impl_Points&, SentinelOutputs&)> call;
    const char* message;
};

const fusion::PointData kPoint = {{1.0f, 2.0f, 3.0f}, {0.0f, 0.0f, 1.0f}, 8};

std::vector<GateCase> gateCases() {
    return {
        {"setResolution", [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.setResolution(1.0f); },
         "no init !"},
        {"setDeviceInfo",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.setDeviceInfo(fusion::DeviceInfo{}); },
         "no init !"},
        {"setQualityJudge",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.setQualityJudge(false); }, "no init !"},
        {"deInit", [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.deInit(); }, "no init !"},
        {"buildByExistingPoints",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.buildByExistingPoints(&kPoint, 1, &o.vertices, o.vertex_count, false);
         },
         "no init !"},
        {"getVertexNum",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) { return k.getVertexNum(o.vertex_count); },
         "no init!"},
        {"getRequiredMemoryForExtractData",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.getRequiredMemoryForExtractData(o.bytes);
         },
         "no init!"},
        {"extractLivePointsRaw",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) { return k.extractLivePoints(o.raw); },
         "no init!"},
        {"extractLivePointsArray",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.extractLivePoints(&o.vertices, o.vertex_count);
         },
         "no init!"},
        {"saveRealTimeBytesData",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) {
             auto stream = std::make_shared<fusion::RealTimeByteStream>();
             stream->data = nullptr;
             stream->size = 0;
             const int status = k.saveRealTimeBytesData(stream);
             return stream->data == nullptr ? status : -1;
         },
         "no init!"},
        {"loadRealTimeBytesData_points",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             uint8_t bytes[8] = {'H', 'A', 'S', 'H'};
             auto stream = std::make_shared<fusion::RealTimeByteStream>();
             stream->data = bytes;
             stream->size = sizeof(bytes);
             return k.loadRealTimeBytesData_points(stream, &o.vertices, o.vertex_count);
         },
         "no init!"},
        {"getUpdateVertices",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.getUpdateVertices(&o.vertices, o.vertex_count);
         },
         "no init!"},
    };
}

class FacadeGate : public ::testing::TestWithParam<std::tuple<GateCase, bool>> {};

TEST_P(FacadeGate, AnswersNotInitialised) {
    const GateCase& c = std::get<0>(GetParam());
    const bool after_deinit = std::get<1>(GetParam());
    Kelvane_Impl_Points k;
    if (after_deinit) {
        ASSERT_EQ(k.init(), 0);
        ASSERT_EQ(k.deInit(), 0);
    }
    const std::string engine_before = engineHalf(k.getLastErrorMessage());
    SentinelOutputs out;
    EXPECT_EQ(c.call(k, out), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage(c.message, engine_before));
    EXPECT_TRUE(out.untouched());
    EXPECT_FALSE(k.isInit());
}

INSTANTIATE_TEST_SUITE_P(
    BeforeInitAndAfterDeInit, FacadeGate,
    ::testing::Combine(::testing::ValuesIn(gateCases()), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<GateCase, bool>>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_AfterDeInit" : "_BeforeInit");
    });

// ---------------------------------------------------------------------------
// Inert operations: 0 (or 0.0f) before and after init, nothing written,
// nothing queued, no message.

struct InertCase {
    const char* name;
    std::function<int(Kelvane_Impl_Points&, SentinelOutputs&)> call;
};

std::vector<InertCase> inertCases() {
    return {
        {"setChromatographic", [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.setChromatographic(true); }},
        {"setTruncDist",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) {
             const int status = k.setTruncDist(3.0f);
             return k.getTruncDist() == 0.0f ? status : -1;
         }},
        {"setMinWeight",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) {
             const int status = k.setMinWeight(3.0f);
             return k.getMinWeight() == 0.0f ? status : -1;
         }},
        {"extractLiveMeshRaw", [](Kelvane_Impl_Points& k, SentinelOutputs& o) { return k.extractLiveMesh(o.mesh); }},
        {"extractLiveMeshArrays",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.extractLiveMesh(&o.vertices, o.vertex_count, &o.polygons, o.polygon_count);
         }},
        {"loadRealTimeBytesData_mesh",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             std::shared_ptr<fusion::RealTimeByteStream> none;
             return k.loadRealTimeBytesData_mesh(none, &o.vertices, o.vertex_count, &o.polygons,
                                                 o.polygon_count);
         }},
        {"buildByExistingPointsMesh",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) {
             return k.buildByExistingPoints(nullptr, 0, &o.vertices, o.vertex_count, &o.polygons,
                                            o.polygon_count, true);
         }},
        {"readExternalModel", [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.readExternalModel(&kPoint, 1); }},
        {"getMeshNum", [](Kelvane_Impl_Points& k, SentinelOutputs& o) { return k.getMeshNum(o.polygon_count); }},
        {"getUpdatePolygons",
         [](Kelvane_Impl_Points& k, SentinelOutputs& o) { return k.getUpdatePolygons(&o.polygons, o.polygon_count); }},
        {"getPointsNumLimitByResolution",
         [](Kelvane_Impl_Points& k, SentinelOutputs&) { return k.getPointsNumLimitByResolution(); }},
    };
}

class FacadeInert : public ::testing::TestWithParam<std::tuple<InertCase, bool>> {};

TEST_P(FacadeInert, ReturnsZeroAndTouchesNothing) {
    const InertCase& c = std::get<0>(GetParam());
    Kelvane_Impl_Points k;
    if (std::get<1>(GetParam())) {
        ASSERT_EQ(k.init(), 0);
    }
    const std::string message_before = k.getLastErrorMessage();
    SentinelOutputs out;
    EXPECT_EQ(c.call(k, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(k.getLastErrorMessage(), message_before);
    EXPECT_EQ(k.pendingEditCount(), 0);
    EXPECT_EQ(k.getTruncDist(), 0.0f);
    EXPECT_EQ(k.getMinWeight(), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    BeforeAndAfterInit, FacadeInert,
    ::testing::Combine(::testing::ValuesIn(inertCases()), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<InertCase, bool>>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_AfterInit" : "_BeforeInit");
    });

// ---------------------------------------------------------------------------
// Lifecycle through the wrapper.

TEST(FacadeLifecycle, InitTwiceThenDeInitTwice) {
    Kelvane_Impl_Points k;
    EXPECT_EQ(k.init(), 0);
    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.isInit());
    EXPECT_EQ(k.deInit(), 0);
    EXPECT_FALSE(k.isInit());
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no error !");
    EXPECT_EQ(k.deInit(), 1);
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no init !");
    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.isInit());
}

TEST(FacadeLifecycle, ResetAnswersForBothLevels) {
    Kelvane_Impl_Points k;
    EXPECT_EQ(k.reset(), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("is not init !", "is not init !"));

    ASSERT_EQ(k.init(), 0);
    // A successful init keeps the wrapper's last message ...
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "is not init !");
    // ... a successful reset replaces it.
    EXPECT_EQ(k.reset(), 0);
    EXPECT_EQ(wrapperHalf(k.getLastErrorMessage()), "no error !");
    int vertices = -1;
    EXPECT_EQ(k.getVertexNum(vertices), 0);
    EXPECT_EQ(vertices, 0);
}

#if defined(__linux__) && !defined(KELVANE_TEST_UNDER_SANITIZER)
// The wrapper lives in the shared library with its own copy of the engine, so
// the in-process allocation hook cannot reach it. A host with a tight
// address-space limit is the real-world way to make init's large
// reservations fail.
TEST(FacadeLifecycle, FailedAllocationAtInitIsReportedAndRetryable) {
    Kelvane_Impl_Points k;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    const std::size_t mapped = currentAddressSpace();
    if (mapped == 0) GTEST_SKIP() << "address-space size not available";
    int status = -1;
    {
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(mapped + (256u << 20));
        if (saved.rlim_cur != RLIM_INFINITY && saved.rlim_cur < tight.rlim_cur) {
            GTEST_SKIP() << "already limited";
        }
        ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
        status = k.init();
        ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    }
    EXPECT_EQ(status, 0x10201);
    EXPECT_FALSE(k.isInit());
    // The engine sets no message for this failure; the wrapper copies it.
    const std::string message = k.getLastErrorMessage();
    EXPECT_EQ(wrapperHalf(message), engineHalf(message));
    int vertices = -1;
    EXPECT_EQ(k.getVertexNum(vertices), 1);

    EXPECT_EQ(k.init(), 0);
    EXPECT_TRUE(k.isInit());
}
#endif

TEST(FacadeSettings, DeviceInfoIsCorrectedOnlyOnceBothSettingsAreGiven) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    fusion::DeviceInfo d{};
    d.word0 = 0x01020304u;
    d.word1 = 0xFFFFFFFFu;
    d.device_type = 9;
    d.word3 = 0x80000000u;
    d.frame_point_num = 5000;
    d.device_subtype = -1;
    d.point_spacing = 0.01f;

    // Only the device so far: it reads back exactly as given.
    ASSERT_EQ(k.setDeviceInfo(d), 0);
    fusion::DeviceInfo got = k.getDeviceInfo();
    EXPECT_EQ(std::memcmp(&got, &d, sizeof(d)), 0);

    ASSERT_EQ(k.setResolution(0.5f), 0);
    got = k.getDeviceInfo();
    EXPECT_EQ(got.device_type, 0);
    EXPECT_EQ(got.device_subtype, 0);
    EXPECT_EQ(got.word0, d.word0);
    EXPECT_EQ(got.word1, d.word1);
    EXPECT_EQ(got.word3, d.word3);
    EXPECT_EQ(got.frame_point_num, d.frame_point_num);
    EXPECT_EQ(got.point_spacing, d.point_spacing);

    // A new init forgets that both were given.
    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.setDeviceInfo(d), 0);
    got = k.getDeviceInfo();
    EXPECT_EQ(got.device_type, 9);
    EXPECT_EQ(got.device_subtype, -1);
}

TEST(FacadeSettings, ResolutionIsStoredWithoutARangeCheck) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    for (float r : {1.0f, 0.05f, -3.0f, 0.0f}) {
        EXPECT_EQ(k.setResolution(r), 0);
        EXPECT_EQ(k.getResolution(), r);
    }
}

// ---------------------------------------------------------------------------
// Frames are forwarded: the engine keeps its own message.

TEST(FacadeProcess, ForwardingLeavesTheWrapperMessageAlone) {
    Kelvane_Impl_Points k;
    const std::vector<std::vector<int>> views = {{1}};
    EXPECT_EQ(k.process(&kPoint, 1, views, kIdentityPose, true), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("no error !", "no init !"));

    ASSERT_EQ(k.init(), 0);
    // Give the wrapper a message of its own first.
    ASSERT_EQ(k.setFineScanArea(nullptr, 1), 0x10203);
    EXPECT_EQ(k.process(&kPoint, 1, views, nullptr, true), 1);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("unsupport data!", "invalid data !"));
}

TEST(FacadeProcess, CallbackSetBeforeInitSurvivesInitResetAndDeInit) {
    Kelvane_Impl_Points k;
    std::vector<int> statuses;
    k.setProcessFinishedCallBack([&statuses](int status) { statuses.push_back(status); });

    const std::vector<std::vector<int>> views = {{1}};
    const auto configureAndProcess = [&] {
        EXPECT_EQ(k.setResolution(0.5f), 0);
        EXPECT_EQ(k.setDeviceInfo(sparseDevice()), 0);
        return k.process(&kPoint, 1, views, kIdentityPose, false);
    };

    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(configureAndProcess(), 0);
    EXPECT_EQ(statuses, std::vector<int>{0});
    int vertices = -1;
    EXPECT_EQ(k.getVertexNum(vertices), 0);
    EXPECT_EQ(vertices, 0) << "fusion is off: nothing may be stored";

    ASSERT_EQ(k.reset(), 0);
    EXPECT_EQ(k.process(&kPoint, 1, views, kIdentityPose, false), 0);
    EXPECT_EQ(statuses.size(), 2u);

    ASSERT_EQ(k.deInit(), 0);
    ASSERT_EQ(k.init(), 0);
    EXPECT_EQ(configureAndProcess(), 0);
    EXPECT_EQ(statuses.size(), 3u);

    // An empty callable clears it.
    k.setProcessFinishedCallBack(std::function<void(int)>());
    EXPECT_EQ(k.process(&kPoint, 1, views, kIdentityPose, false), 0);
    EXPECT_EQ(statuses.size(), 3u);
    k.waitForPendingWork();
}

// ---------------------------------------------------------------------------
// Building from points: the argument check belongs to the wrapper.

struct BuildRefusal {
    const char* name;
    bool null_array;
    int count;
};

class FacadeBuildRefusal : public ::testing::TestWithParam<BuildRefusal> {};

TEST_P(FacadeBuildRefusal, InvalidInputIsRefusedBeforeTheEngineSeesIt) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    const std::string engine_before = engineHalf(k.getLastErrorMessage());
    SentinelOutputs out;
    const fusion::PointData* points = GetParam().null_array ? nullptr : &kPoint;
    EXPECT_EQ(k.buildByExistingPoints(points, GetParam().count, &out.vertices, out.vertex_count, false),
              0x10203);
    EXPECT_EQ(k.getLastErrorMessage(), composedMessage("invalid data !", engine_before));
    EXPECT_TRUE(out.untouched());
    unsigned long long bytes = 0;
    ASSERT_EQ(k.getRequiredMemoryForExtractData(bytes), 0);
    EXPECT_EQ(bytes, (1ull << 30) + 152ull) << "the volume must still be empty";
}

INSTANTIATE_TEST_SUITE_P(Inputs, FacadeBuildRefusal,
                         ::testing::Values(BuildRefusal{"NullArray", true, 1},
                                           BuildRefusal{"ZeroCount", false, 0},
                                           BuildRefusal{"NegativeCount", false, -4},
                                           BuildRefusal{"AtTheLimit", false, 45000000},
                                           BuildRefusal{"Huge", false, INT_MAX}),
                         [](const ::testing::TestParamInfo<BuildRefusal>& info) {
                             return std::string(info.param.name);
                         });

TEST(FacadeBuild, BuiltPointsComeBackAndSizeTheExtractionEstimate) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    ASSERT_EQ(k.setResolution(0.5f), 0);
    fusion::DeviceInfo d{};
    d.point_spacing = 0.001f;
    ASSERT_EQ(k.setDeviceInfo(d), 0);

    // 40 points, each in a voxel of its own: 40 records, and 56 * 40 exceeds
    // 48 * 40 + 152, so the estimate follows the 56-byte layout.
    const std::vector<fusion::PointData> points = fusion_test::separatedPoints(40);
    fusion::Vertices* vertices = nullptr;
    int count = -1;
    ASSERT_EQ(k.buildByExistingPoints(points.data(), 40, &vertices, count, false), 0);
    std::unique_ptr<fusion::Vertices[]> owned(vertices);
    ASSERT_EQ(count, 40);
    int vertex_num = -1;
    ASSERT_EQ(k.getVertexNum(vertex_num), 0);
    EXPECT_EQ(vertex_num, 40);
    unsigned long long bytes = 0;
    ASSERT_EQ(k.getRequiredMemoryForExtractData(bytes), 0);
    EXPECT_EQ(bytes, (1ull << 30) + 56ull * 40ull);
}

// ---------------------------------------------------------------------------
// Snapshot forwarding: failures copy the engine's message, a load adopts the
// stream's resolution.

TEST(FacadeSnapshot, LoadFailureCopiesTheEngineMessage) {
    Kelvane_Impl_Points k;
    ASSERT_EQ(k.init(), 0);
    auto stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr;
    stream->size = 0;
    SentinelOutputs out;
    const int status = k.loadRealTimeBytesData_points(stream, &out.vertices, out.vertex_count);
    EXPECT_NE(status, 0);
    const std::string message = k.getLastErrorMessage();
    EXPECT_FALSE(engineHalf(message).empty());
    EXPECT_EQ(wrapperHalf(message), engineHalf(message));
    EXPECT_EQ(k.getResolution(), 0.5f);
}

TEST(FacadeSnapshot, LoadAdoptsTheSavedResolution) {
    std::shared_ptr<fusion::RealTimeByteStream> stream = std::make_shared<fusion::RealTimeByteStream>();
    stream->data = nullptr;
    stream->size = 0;
    {
        Kelvane_Impl_Points saver;
        ASSERT_EQ(saver.init(), 0);
        ASSERT_EQ(saver.setResolution(0.2f), 0);
        ASSERT_EQ(saver.saveRealTimeBytesData(stream), 0);
    }
    ASSERT_NE(stream->data, nullptr);
    std::unique_ptr<uint8_t[]> owned(stream->data);

    Kelvane_Impl_Points loader;
    ASSERT_EQ(loader.init(), 0);
    EXPECT_EQ(loader.getResolution(), 0.5f);
    fusion::Vertices* vertices = nullptr;
    int count = -1;
    ASSERT_EQ(loader.loadRealTimeBytesData_points(stream, &vertices, count), 0);
    delete[] vertices;
    EXPECT_EQ(loader.getResolution(), 0.2f);
}

}  // namespace
