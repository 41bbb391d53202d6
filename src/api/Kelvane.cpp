#include "fusion/Kelvane.h"

// Inert default bodies of the interface class. An implementation overrides
// what it supports; everything else answers "done, nothing to do".

namespace fusion {

Kelvane::~Kelvane() = default;

int Kelvane::init() { return 0; }
bool Kelvane::isInit() { return true; }
int Kelvane::deInit() { return 0; }
int Kelvane::reset() { return 0; }
int Kelvane::setDeviceInfo(const DeviceInfo&) { return 0; }
DeviceInfo Kelvane::getDeviceInfo() { return DeviceInfo{}; }
int Kelvane::setResolution(const float&) { return 0; }
float Kelvane::getResolution() { return 0.0f; }
int Kelvane::setQualityJudge(const bool&) { return 0; }
int Kelvane::setChromatographic(const bool&) { return 0; }
int Kelvane::setTruncDist(const float&) { return 0; }
float Kelvane::getTruncDist() { return 0.0f; }
int Kelvane::setMinWeight(const float&) { return 0; }
float Kelvane::getMinWeight() { return 0.0f; }
void Kelvane::setProcessFinishedCallBack(std::function<void(int)>) {}
int Kelvane::process(const PointData*, const int&, const std::vector<std::vector<int>>&, double*,
                     bool) {
    return 0;
}
int Kelvane::dataOrganize() { return 0; }
int Kelvane::getRequiredMemoryForExtractData(unsigned long long&) { return 0; }
std::string Kelvane::getLastErrorMessage() { return std::string(); }
int Kelvane::extractLiveMesh(MeshRawData&) { return 0; }
int Kelvane::extractLiveMesh(Vertices** const, int&, PolygonMesh** const, int&) { return 0; }
int Kelvane::extractLivePoints(PointRawData&) { return 0; }
int Kelvane::extractLivePoints(Vertices** const, int&) { return 0; }
int Kelvane::saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>&) { return 0; }
int Kelvane::loadRealTimeBytesData_mesh(const std::shared_ptr<RealTimeByteStream>&,
                                        Vertices** const, int&, PolygonMesh** const, int&) {
    return 0;
}
int Kelvane::loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>&,
                                          Vertices** const, int&) {
    return 0;
}
int Kelvane::buildByExistingPoints(const PointData*, const int&, Vertices** const, int&, bool) {
    return 0;
}
int Kelvane::buildByExistingPoints(const PointData*, const int&, Vertices** const, int&,
                                   PolygonMesh** const, int&, bool) {
    return 0;
}
int Kelvane::setProtectedArea(const PointData*, const int&, bool) { return 0; }
int Kelvane::deleteSelectedArea(const PointData*, const int&) { return 0; }
int Kelvane::setFineScanArea(const PointData*, const int&) { return 0; }
int Kelvane::readExternalModel(const PointData*, const int&) { return 0; }
int Kelvane::getMeshNum(int&) { return 0; }
int Kelvane::getVertexNum(int&) { return 0; }
int Kelvane::getUpdateVertices(Vertices** const, int&) { return 0; }
int Kelvane::getUpdatePolygons(PolygonMesh** const, int&) { return 0; }
int Kelvane::getPointsNumLimitByResolution() { return 0; }

}  // namespace fusion
