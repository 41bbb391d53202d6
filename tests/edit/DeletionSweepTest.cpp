// Deleting regions of models fused from simulated sweeps, with frames
// arriving before and after: exactly the hit points go, and a host table
// kept from the update records stays in step with the engine.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/HashTable.h"
#include "sim/Simulator.h"
#include "support/EditHelpers.h"
#include "support/EngineFixture.h"

namespace {

using fusion::FusionPoint;
using fusion::HashTable;
using fusion::Int3;
using fusion::PointData;
using fusion::Vertices;
using kelvane_sim::Shape;
using namespace fusion_test;

constexpr float kResolution = 0.5f;

std::string voxelKey(const float position[3]) {
    const Int3 c = fusion::voxelOf(position, kResolution);
    return std::to_string(c.x) + "," + std::to_string(c.y) + "," + std::to_string(c.z);
}

// Selections of a sweep model whose outcome is unambiguous: the selected
// voxel holds at most one record facing the selected normal. Returns the
// kept selections and the ids of the live points they hit.
std::vector<PointData> unambiguous(const HashTable& engine, const std::vector<PointData>& wanted,
                                   std::set<int32_t>& hits) {
    std::map<std::string, std::vector<FusionPoint>> occupants;
    const auto stored = recordsWhere(engine, [](const FusionPoint& p) {
        return p.observation_count != 0 || p.absorbed_flag == 1;
    });
    for (const FusionPoint& p : stored) occupants[voxelKey(p.position)].push_back(p);
    std::vector<PointData> kept;
    for (const PointData& s : wanted) {
        const FusionPoint* facing = nullptr;
        int count = 0;
        for (const FusionPoint& p : occupants[voxelKey(s.position)]) {
            if (fusion::dot3(p.normal, s.normal) > 0.0f) {
                facing = &p;
                ++count;
            }
        }
        if (count > 1) continue;
        kept.push_back(s);
        if (facing != nullptr && isLive(*facing) && facing->protected_flag != 1) {
            hits.insert(facing->view_id);
        }
    }
    return kept;
}

struct Mirror {
    std::unordered_map<int32_t, Vertices> table;
    std::set<int32_t> removed;  // ids reported removed by the last drain

    void drain(HashTable& engine) {
        removed.clear();
        for (const Vertices& v : drainUpdates(engine)) {
            if (v.state == 255) {
                table.erase(v.view_id);
                removed.insert(v.view_id);
            } else {
                table[v.view_id] = v;
                removed.erase(v.view_id);
            }
        }
    }
};

class DeletionSweep : public ::testing::TestWithParam<Shape> {};

TEST_P(DeletionSweep, RegionsGoExactlyAndTheHostKeepsUp) {
    auto engine = makeEngine(kResolution);
    ASSERT_NE(engine, nullptr);
    const kelvane_sim::SweepOptions sweep = smallSweep(GetParam(), 5);
    Mirror mirror;
    std::mt19937 rng(13);

    const int frames = sweep.frames;
    for (int part = 0; part < 3; ++part) {
        ASSERT_TRUE(runFrames(*engine, sweep, part * frames / 3, (part + 1) * frames / 3));
        mirror.drain(*engine);

        // A slab of the model, a few points seen from behind, and some
        // protected points inside the slab.
        const auto live = extractVertices(*engine);
        ASSERT_GT(live.size(), 1000u);
        const float cut = -10.0f + 10.0f * static_cast<float>(part);
        std::vector<PointData> wanted, guarded;
        for (const Vertices& v : live) {
            if (v.position[0] > cut && v.position[0] < cut + 8.0f) {
                if (rng() % 10 == 0) {
                    guarded.push_back(selectionOf(v));
                } else {
                    wanted.push_back(selectionOf(v));
                }
            }
            if (rng() % 50 == 0) {
                PointData behind = selectionOf(v);
                for (float& n : behind.normal) n = -n;
                wanted.push_back(behind);
            }
        }
        ASSERT_EQ(engine->setProtectedArea(guarded.data(), static_cast<int>(guarded.size()), false),
                  0);
        std::set<int32_t> hits;
        const std::vector<PointData> selection = unambiguous(*engine, wanted, hits);
        ASSERT_GT(hits.size(), 100u);
        const auto marked = byViewId(extractVertices(*engine));

        ASSERT_EQ(engine->deleteSelectedArea(selection.data(), static_cast<int>(selection.size())),
                  0);
        mirror.drain(*engine);
        EXPECT_EQ(mirror.removed, hits) << "part " << part;

        const auto truth = byViewId(extractVertices(*engine));
        EXPECT_EQ(truth.size(), marked.size() - hits.size());
        for (const auto& entry : marked) {
            EXPECT_EQ(truth.count(entry.first), hits.count(entry.first) == 0 ? 1u : 0u);
        }
        // The host's table holds exactly the live ids.
        ASSERT_EQ(mirror.table.size(), truth.size()) << "part " << part;
        for (const auto& entry : truth) EXPECT_EQ(mirror.table.count(entry.first), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Objects, DeletionSweep,
                         ::testing::Values(Shape::Sphere, Shape::Box, Shape::Plate),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::string(kelvane_sim::shapeName(info.param));
                         });

}  // namespace
