// Each guarded allocation of an operation fails in turn: a failure status (or
// coping), a consistent engine, no leak, and success once memory is back.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/FailingNew.h"
#include "support/Models.h"

namespace {

using namespace fusion_test;
using kelvane_sim::Shape;

using fusion::status::kOutOfMemory;
Vertices g_sentinel;
Vertices* const kUntouched = &g_sentinel;  // an out-pointer nobody wrote

// One engine in a known state, with the frames of a short sweep.
struct Subject {
    std::unique_ptr<HashTable> engine;
    std::vector<kelvane_sim::Frame> frames;
    std::shared_ptr<fusion::RealTimeByteStream> stream = hostStream();
    Vertices* out = kUntouched;
    int count = -7;

    int frame(int i, bool blocking) {
        const kelvane_sim::Frame& f = frames[static_cast<std::size_t>(i)];
        return engine->process(f.points.data(), static_cast<int>(f.points.size()), f.views,
                               const_cast<double*>(f.pose), blocking);
    }
    void releaseOutputs() {
        if (out != kUntouched) delete[] out;
        out = kUntouched;
    }
    std::vector<PointData> livePoints() {
        std::vector<PointData> out_points;
        for (const Vertices& v : liveVertices(*engine)) out_points.push_back(selectionOf(v));
        return out_points;
    }
};

Subject warm(int frames_fused, const GlobalParams& params = smallParams(),
             int frame_points = 60000) {
    Subject s;
    s.engine = std::make_unique<HashTable>();
    s.engine->setInitParams(params);
    if (s.engine->init() != 0) return s;
    fusion::DeviceInfo device{};
    device.point_spacing = 0.001f;
    device.frame_point_num = frame_points;
    s.engine->setResolution(0.5f);
    s.engine->setDeviceInfo(device);
    kelvane_sim::SweepOptions sweep = smallSweep(Shape::Sphere, 21, 12);
    sweep.rows = 40;
    sweep.columns = 50;
    sweep.object_size = 16.0f;
    const kelvane_sim::Scanner scanner(sweep);
    s.frames.resize(12);
    for (int i = 0; i < 12; ++i) scanner.frameAt(i, s.frames[static_cast<std::size_t>(i)]);
    for (int i = 0; i < frames_fused; ++i) {
        s.frame(i, false);
        s.engine->waitForPendingWork();
    }
    return s;
}

GlobalParams tinyChunks() {
    GlobalParams p = fusion::compactGlobalParams(12, 3, 7);
    p.voxel_chunk_max = p.point_chunk_max = 1024;
    return p;
}

// `s` with the stream of a twelve-frame sweep to load.
Subject loadInto(Subject s) {
    static const std::vector<uint8_t> saved = [] {
        Subject source = warm(12);
        source.engine->saveRealTimeBytesData(source.stream);
        return bytesOf(*source.stream);
    }();
    s.stream = hostStream(saved);
    return s;
}

struct FailureCase {
    const char* name;
    std::function<Subject()> prepare;
    std::function<int(Subject&)> run;
    std::vector<int> failures;                           // statuses a lack of memory may give
    std::function<void(Subject&, int)> check = nullptr;  // what a failed run must have left
    bool can_cope = false;  // some allocations are optional: the run may still succeed
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const FailureCase kCases[] = {
    {"Init",
     [] {
         Subject s;
         s.engine = std::make_unique<HashTable>();
         s.engine->setInitParams(smallParams());
         return s;
     },
     [](Subject& s) { return s.engine->init(); },
     {kOutOfMemory},
     [](Subject& s, int) {
         EXPECT_FALSE(s.engine->isInit());
         EXPECT_EQ(s.engine->errorMessage(), "no error msg !") << "a failed init sets no message";
     }},
    {"NonBlockingFrame",
     [] { return warm(5); },
     [](Subject& s) { return s.frame(6, false); },
     {1},
     [](Subject& s, int) {
         EXPECT_GT(s.engine->volume().points().nextIndex(), 0) << "points stay stored";
     },
     true},
    {"FrameGrowingTheVolume",
     [] { return warm(0, tinyChunks()); },
     [](Subject& s) { return s.frame(0, true); },
     {1},
     nullptr,
     true},
    {"BuildGrowingTheVolume",
     [] { return warm(0, tinyChunks()); },
     [](Subject& s) {
         const auto points = spherePoints(2000, 8.0f, 4);
         s.engine->buildByExistingPoints(points.data(), static_cast<int>(points.size()));
         return s.engine->extractLivePoints(&s.out, s.count);
     },
     {1},
     [](Subject& s, int) {
         if (s.out != kUntouched) {  // the extraction's result, its last allocation, failed
             EXPECT_EQ(s.out, nullptr);
             EXPECT_EQ(s.engine->errorMessage(), "memory is lacked!");
         }
     },
     true},
    {"Drain",
     [] { return warm(5); },
     [](Subject& s) {
         s.frame(6, false);
         s.engine->waitForPendingWork();
         return s.engine->getUpdateVertices(&s.out, s.count);
     },
     {1},
     [](Subject& s, int) {
         if (s.out == kUntouched) return;  // the frame itself failed first
         EXPECT_TRUE(s.engine->updatesPending()) << "a failed drain keeps the records queued";
     }},
    {"Save",
     [] { return warm(6); },
     [](Subject& s) {
         s.stream = hostStream();  // a save never frees what a stream held
         return s.engine->saveRealTimeBytesData(s.stream);
     },
     {kOutOfMemory},
     [](Subject& s, int) {
         EXPECT_EQ(s.stream->data, nullptr);
         EXPECT_EQ(s.stream->size, 0u);
         EXPECT_EQ(s.engine->errorMessage(), "memory is lacked");
     }},
    {"Load",
     [] { return loadInto(warm(4)); },
     [](Subject& s) { return s.engine->loadRealTimeBytesData_points(s.stream, &s.out, s.count); },
     {kOutOfMemory, 1},
     [](Subject& s, int status) {
         if (status == kOutOfMemory) {
             EXPECT_TRUE(liveVertices(*s.engine).empty()) << "an empty volume is left";
         }
     }},
    {"LoadGrowingTheVolume",  // small chunks: the load grows every store, dropping what cannot
     [] { return loadInto(warm(0, tinyChunks())); },
     [](Subject& s) { return s.engine->loadRealTimeBytesData_points(s.stream, &s.out, s.count); },
     {kOutOfMemory, 1},
     [](Subject& s, int status) {
         if (status == kOutOfMemory) {
             EXPECT_TRUE(liveVertices(*s.engine).empty()) << "an empty volume is left";
             EXPECT_EQ(s.out, kUntouched) << "nothing handed out";
         } else {
             EXPECT_EQ(s.out, nullptr) << "only the result was missing";
             EXPECT_EQ(s.engine->errorMessage(), "memory is lacked!");
         }
     },
     true},
    {"DeletionInPlace",
     [] { return warm(6); },
     [](Subject& s) {
         const auto points = s.livePoints();
         return s.engine->deleteSelectedArea(points.data(), static_cast<int>(points.size() / 4));
     },
     {1}},
    {"DeletionCompacting",
     [] {
         Subject s = warm(0, smallParams(), 100);  // batches of 300: a large selection compacts
         const auto points = spherePoints(3000, 20.0f, 10);
         s.engine->buildByExistingPoints(points.data(), static_cast<int>(points.size()));
         return s;
     },
     [](Subject& s) {
         const auto points = s.livePoints();
         return s.engine->deleteSelectedArea(points.data(), static_cast<int>(points.size() / 2));
     },
     {1},
     nullptr,
     true},
};

class AllocationFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(AllocationFailure, EachGuardedAllocationFailsCleanly) {
    const FailureCase& c = GetParam();
    long allocations = 0;
    {
        Subject s = c.prepare();
        ASSERT_TRUE(s.engine);
        FailingAllocations budget(1000000);
        ASSERT_EQ(c.run(s), 0) << "with memory the operation succeeds";
        while (fusion::platform::allocationAllowed()) ++allocations;
        allocations = 1000000 - allocations;
        s.releaseOutputs();
    }
    ASSERT_GT(allocations, 0);
    // A dozen failure points spread over the allocations, first and last included.
    const long step = std::max(1L, (allocations - 1) / 11);
    std::vector<long> failing_at;
    for (long n = 0; n < allocations; n += step) failing_at.push_back(n);
    if (failing_at.back() != allocations - 1) failing_at.push_back(allocations - 1);
    for (const long n : failing_at) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        Subject s = c.prepare();
        int status;
        {
            FailingAllocations failing(n);
            status = c.run(s);
            s.engine->waitForPendingWork();
        }
        const bool listed =
            std::find(c.failures.begin(), c.failures.end(), status) != c.failures.end();
        EXPECT_TRUE(listed || (c.can_cope && status == 0)) << "status " << status;
        if (status != 0 && c.check) c.check(s, status);
        s.releaseOutputs();

        if (!s.engine->isInit()) {
            ASSERT_EQ(s.engine->init(), 0);
        }
        EXPECT_FALSE(s.engine->processing());
        EXPECT_EQ(s.engine->queuedSecondStages(), 0);
        EXPECT_EQ(idProblem(liveVertices(*s.engine), vertexNum(*s.engine)), "");
        if (std::string(c.name) != "Init") {
            EXPECT_EQ(c.run(s), 0) << "again with memory";
            s.releaseOutputs();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailure, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

// Each operator-new allocation of a frame, on any thread, fails in turn: 0 or
// 1, no throw, none inside a parallel loop, a consistent engine. The callback
// captures enough that a copy of it would allocate.
TEST(AllocationFailure, EachAllocationOfAFrameFailsInTurn) {
    auto prepare = [] {
        Subject s = warm(5);
        std::array<char, 64> captured{};
        s.engine->setProcessFinishedCallback(
            [captured](int status) { (void)(status + captured[0]); });
        return s;
    };
    for (const bool blocking : {false, true}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        long allocations = 0;
        {
            Subject s = prepare();
            ASSERT_TRUE(s.engine);
            FailingNew counting;
            ASSERT_EQ(s.frame(6, blocking), 0);
            s.engine->waitForPendingWork();
            allocations = counting.calls();
        }
        ASSERT_GT(allocations, 3);
        for (long n = 0; n < allocations; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
            Subject s = prepare();
            int status = -1;
            bool thrown = false;
            {
                FailingNew failing(n);
                try {
                    status = s.frame(6, blocking);
                    s.engine->waitForPendingWork();
                } catch (...) {
                    thrown = true;
                }
            }
            EXPECT_FALSE(thrown);
            EXPECT_TRUE(status == 0 || status == 1) << status;
            EXPECT_FALSE(s.engine->processing());
            EXPECT_EQ(s.engine->queuedSecondStages(), 0);
            EXPECT_EQ(idProblem(liveVertices(*s.engine), vertexNum(*s.engine)), "");
            EXPECT_EQ(s.frame(7, blocking), 0) << "the next frame, with memory";
        }
    }
}

}  // namespace
