// STUB: replaced by the frame pipeline implementation.
#include "engine/HashTable.h"
namespace fusion {
int HashTable::process(const PointData*, const int&, const std::vector<std::vector<int>>&, double*, bool) { return 1; }
int HashTable::runPipeline(const PointData*, int, const std::vector<std::vector<int>>&, bool) { return 1; }
void HashTable::integrateFrame(const int32_t*, int) {}
void HashTable::integrateFrameTask(std::shared_ptr<std::vector<int32_t>>, int, std::atomic<int32_t>*) {}
void HashTable::integrateFramePoint(int32_t, Vertices*, std::atomic<int32_t>&) {}
int HashTable::updateBufferCapacity() const { return 3 * m_global_params->max_frame_point_num; }
int HashTable::handOffLimit() const { return 3 * m_global_params->max_frame_point_num - 10; }
}  // namespace fusion
