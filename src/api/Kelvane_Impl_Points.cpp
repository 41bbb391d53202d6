#include <algorithm>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <utility>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "api/PendingEdit.h"
#include "engine/HashTable.h"
#include "fusion/Kelvane.h"
#include "fusion/kelvane_status.h"
#include "volume/GlobalParams.h"

// The wrapper checks initialisation, forwards to the engine and turns the
// engine's answers into statuses and messages. It holds no fusion logic.

namespace fusion {

namespace {

using status::kFailed;
using status::kInvalidArgument;

// The two "not initialised" texts differ by one blank on purpose: hosts
// match on them, so each operation keeps the one it has always answered.
constexpr const char* kNoInitSpaced = KELVANE_MSG_NO_INIT;
constexpr const char* kNoInitTight = KELVANE_MSG_NO_INIT_TIGHT;
constexpr const char* kNoError = KELVANE_MSG_NO_ERROR;
constexpr const char* kUnsupportedData = KELVANE_MSG_UNSUPPORTED_DATA;
constexpr const char* kInvalidData = KELVANE_MSG_INVALID_DATA;

std::unique_ptr<PendingEdit> makePendingEdit(int32_t kind, const PointData* points, int count) {
    auto edit = std::make_unique<PendingEdit>();
    edit->kind = kind;
    if (points != nullptr && count > 0) edit->points.assign(points, points + count);
    return edit;
}

}  // namespace

Kelvane_Impl_Points::Kelvane_Impl_Points() {
#ifdef _OPENMP
    // Lets the runtime shrink the host's own parallel teams when cores are
    // busy; the engine's loops fix their teams (FixedTeams).
    omp_set_dynamic(1);
#endif
    m_engine = new HashTable();
}

Kelvane_Impl_Points::~Kelvane_Impl_Points() {
    if (m_engine != nullptr) {
        // An engine that was never initialised only records a message here.
        try {
            (void)m_engine->deInit();
        } catch (...) {
        }
        delete m_engine;
        m_engine = nullptr;
    }
    m_error_message = kNoError;
    m_is_init = false;
    m_pending_edits.clear();
}

int Kelvane_Impl_Points::init() {
    const bool was_init = m_is_init;
    int status = 0;
    try {
        status = m_engine->init();
    } catch (...) {
        try {
            (void)m_engine->deInit();
        } catch (...) {
        }
        return kFailed;
    }
    if (status != 0) {
        m_error_message = m_engine->errorMessage();
        return status;
    }
    m_is_init = true;
    // Edits queued before the engine existed are applied now. A failed edit
    // stays visible through pendingEditCount() and the message, but the
    // engine itself is up, so init still succeeds.
    if (!was_init) (void)loadOfflineSetting();
    return 0;
}

bool Kelvane_Impl_Points::isInit() { return m_is_init; }

int Kelvane_Impl_Points::deInit() {
    if (!m_is_init) {
        m_error_message = kNoInitSpaced;
        return kFailed;
    }
    if (m_engine->deInit() != 0) {
        m_error_message = m_engine->errorMessage();
        return kFailed;
    }
    m_error_message = kNoError;
    m_is_init = false;
    return 0;
}

int Kelvane_Impl_Points::reset() {
    if (m_engine->reset() != 0) {
        m_error_message = m_engine->errorMessage();
        return kFailed;
    }
    m_error_message = kNoError;
    return 0;
}

int Kelvane_Impl_Points::setDeviceInfo(const DeviceInfo& info) {
    if (!m_is_init) {
        m_error_message = kNoInitSpaced;
        return kFailed;
    }
    (void)m_engine->setDeviceInfo(info);
    return 0;
}

DeviceInfo Kelvane_Impl_Points::getDeviceInfo() { return m_engine->getDeviceInfo(); }

int Kelvane_Impl_Points::setResolution(const float& resolution) {
    if (!m_is_init) {
        m_error_message = kNoInitSpaced;
        return kFailed;
    }
    m_resolution = resolution;
    (void)m_engine->setResolution(resolution);
    return 0;
}

float Kelvane_Impl_Points::getResolution() { return m_resolution; }

int Kelvane_Impl_Points::setQualityJudge(const bool& judge) {
    if (!m_is_init) {
        m_error_message = kNoInitSpaced;
        return kFailed;
    }
    (void)m_engine->setQualityJudge(judge);
    return 0;
}

int Kelvane_Impl_Points::setChromatographic(const bool&) { return 0; }
int Kelvane_Impl_Points::setTruncDist(const float&) { return 0; }
float Kelvane_Impl_Points::getTruncDist() { return 0.0f; }
int Kelvane_Impl_Points::setMinWeight(const float&) { return 0; }
float Kelvane_Impl_Points::getMinWeight() { return 0.0f; }

void Kelvane_Impl_Points::setProcessFinishedCallBack(std::function<void(int)> callback) {
    m_engine->setProcessFinishedCallback(std::move(callback));
}

int Kelvane_Impl_Points::process(const PointData* points, const int& count,
                                 const std::vector<std::vector<int>>& views, double* pose,
                                 bool blocking) {
    // The engine checks its own state and keeps its own message.
    return m_engine->process(points, count, views, pose, blocking);
}

int Kelvane_Impl_Points::dataOrganize() {
    (void)m_engine->dataOrganize();
    return 0;
}

int Kelvane_Impl_Points::getRequiredMemoryForExtractData(unsigned long long& bytes) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    return m_engine->getRequiredMemoryForExtractData(bytes);
}

std::string Kelvane_Impl_Points::getLastErrorMessage() {
    std::ostringstream composed;
    composed << "[interface] : " << m_error_message << " | [impl] : " << m_engine->errorMessage();
    return composed.str();
}

int Kelvane_Impl_Points::extractLiveMesh(MeshRawData&) { return 0; }

int Kelvane_Impl_Points::extractLiveMesh(Vertices** const, int&, PolygonMesh** const, int&) {
    return 0;
}

int Kelvane_Impl_Points::extractLivePoints(PointRawData& points) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    try {
        return m_engine->extractLivePoints(points) == 0 ? 0 : kFailed;
    } catch (...) {
        m_error_message = KELVANE_MSG_EXTRACT_EXCEPTION;
        return kFailed;
    }
}

int Kelvane_Impl_Points::extractLivePoints(Vertices** const vertices, int& count) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    return m_engine->extractLivePoints(vertices, count) == 0 ? 0 : kFailed;
}

int Kelvane_Impl_Points::saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    const int status = m_engine->saveRealTimeBytesData(stream);
    if (status != 0) m_error_message = m_engine->errorMessage();
    return status;
}

int Kelvane_Impl_Points::loadRealTimeBytesData_mesh(const std::shared_ptr<RealTimeByteStream>&,
                                                    Vertices** const, int&, PolygonMesh** const,
                                                    int&) {
    return 0;
}

int Kelvane_Impl_Points::loadRealTimeBytesData_points(
    const std::shared_ptr<RealTimeByteStream>& stream, Vertices** const vertices, int& count) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    const int status = m_engine->loadRealTimeBytesData_points(stream, vertices, count);
    if (status != 0) {
        m_error_message = m_engine->errorMessage();
        return status;
    }
    // The load adopted the resolution stored in the stream.
    m_resolution = m_engine->resolution();
    return 0;
}

int Kelvane_Impl_Points::buildByExistingPoints(const PointData* points, const int& count,
                                               Vertices** const vertices, int& vertex_count, bool) {
    if (!m_is_init) {
        m_error_message = kNoInitSpaced;
        return kFailed;
    }
    const GlobalParams params = m_engine->paramsCopy();
    if (points == nullptr || count < 1 || count >= params.max_build_point_num) {
        m_error_message = kInvalidData;
        return kInvalidArgument;
    }
    int status = m_engine->buildByExistingPoints(points, count);
    if (status == 0) status = m_engine->extractLivePoints(vertices, vertex_count);
    if (status != 0) m_error_message = m_engine->errorMessage();
    return status;
}

int Kelvane_Impl_Points::buildByExistingPoints(const PointData*, const int&, Vertices** const, int&,
                                               PolygonMesh** const, int&, bool) {
    return 0;
}

int Kelvane_Impl_Points::setProtectedArea(const PointData* points, const int& count,
                                          bool unprotect) {
    if (m_is_init) {
        const int status = m_engine->setProtectedArea(points, count, unprotect);
        if (status != 0) m_error_message = m_engine->errorMessage();
        return status;
    }
    // Before init an empty selection is still queued, so that the replay
    // answers it exactly as the engine would have; input that could not be
    // copied is refused like the other edits refuse it.
    if (points == nullptr || count < 0) {
        m_error_message = kUnsupportedData;
        return kInvalidArgument;
    }
    m_pending_edits.push_back(makePendingEdit(PendingEdit::kProtectedArea, points, count));
    return 0;
}

int Kelvane_Impl_Points::deleteSelectedArea(const PointData* points, const int& count) {
    if (m_is_init) {
        const int status = m_engine->deleteSelectedArea(points, count);
        if (status != 0) m_error_message = m_engine->errorMessage();
        return status;
    }
    if (points == nullptr || count < 1) {
        m_error_message = kUnsupportedData;
        return kInvalidArgument;
    }
    m_pending_edits.push_back(makePendingEdit(PendingEdit::kDeleteSelectedArea, points, count));
    return 0;
}

int Kelvane_Impl_Points::setFineScanArea(const PointData* points, const int& count) {
    if (points == nullptr || count < 1) {
        m_error_message = kUnsupportedData;
        return kInvalidArgument;
    }
    if (m_is_init) {
        const int status = m_engine->setFineScanArea(points, count);
        if (status != 0) m_error_message = m_engine->errorMessage();
        return status;
    }
    m_pending_edits.push_back(makePendingEdit(PendingEdit::kFineScanArea, points, count));
    return 0;
}

int Kelvane_Impl_Points::readExternalModel(const PointData*, const int&) { return 0; }
int Kelvane_Impl_Points::getMeshNum(int&) { return 0; }

int Kelvane_Impl_Points::getVertexNum(int& count) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    const int status = m_engine->getVertexNum(count);
    if (status != 0) m_error_message = m_engine->errorMessage();
    return status;
}

int Kelvane_Impl_Points::getUpdateVertices(Vertices** const vertices, int& count) {
    if (!m_is_init) {
        m_error_message = kNoInitTight;
        return kFailed;
    }
    try {
        // No updates is an ordinary answer, not a failure.
        (void)m_engine->getUpdateVertices(vertices, count);
    } catch (...) {
        m_error_message = KELVANE_MSG_UPDATES_EXCEPTION;
        return kFailed;
    }
    return 0;
}

int Kelvane_Impl_Points::getUpdatePolygons(PolygonMesh** const, int&) { return 0; }
int Kelvane_Impl_Points::getPointsNumLimitByResolution() { return 0; }

void Kelvane_Impl_Points::waitForPendingWork() { m_engine->waitForPendingWork(); }

int Kelvane_Impl_Points::droppedSecondStages() const { return m_engine->droppedSecondStages(); }

int Kelvane_Impl_Points::pendingEditCount() const {
    return static_cast<int>(m_pending_edits.size());
}

int Kelvane_Impl_Points::loadOfflineSetting() {
    // Work on a detached queue so that anything queued while replaying (an
    // override may queue) lands behind the records still waiting.
    std::vector<std::unique_ptr<PendingEdit>> queue;
    queue.swap(m_pending_edits);
    std::size_t next = 0;
    int status = 0;
    while (next < queue.size()) {
        std::unique_ptr<PendingEdit> edit = std::move(queue[next++]);
        const int count = static_cast<int>(edit->points.size());
        const PointData* points = edit->points.empty() ? nullptr : edit->points.data();
        try {
            switch (edit->kind) {
                case PendingEdit::kProtectedArea:
                    status = setProtectedArea(points, count, false);
                    break;
                case PendingEdit::kDeleteSelectedArea:
                    status = deleteSelectedArea(points, count);
                    break;
                case PendingEdit::kFineScanArea:
                    status = setFineScanArea(points, count);
                    break;
                default:
                    status = 0;
                    break;
            }
        } catch (...) {
            status = kFailed;
        }
        edit.reset();
        if (status != 0) break;
    }
    if (next < queue.size()) {
        m_pending_edits.insert(
            m_pending_edits.begin(),
            std::make_move_iterator(queue.begin() + static_cast<std::ptrdiff_t>(next)),
            std::make_move_iterator(queue.end()));
    }
    return status;
}

}  // namespace fusion
