#pragma once

// Public surface of the point-fusion library.
//
// A host creates a fusion::Kelvane_Impl_Points, calls init(), gives it the
// resolution and the DeviceInfo, and then hands it frames through process().
// Every operation returns an int status: 0 success, 1 failure, 0x10201 an
// allocation failed, 0x10203 an argument or byte stream is invalid; the
// message of the last failure is available from getLastErrorMessage().
//
// Ownership: every array returned through an out-pointer (Vertices**, the
// three arrays of PointRawData, RealTimeByteStream::data) is allocated with
// the non-throwing array new of this library and belongs to the host, who
// releases it with delete[].
//
// Threads: call the operations from one thread at a time. deInit() and
// reset() may come from another thread while process() runs; they wait for
// the frame and for every queued second stage. One other thread may drain
// getUpdateVertices() (and read getVertexNum()) while frames run; the drain
// never waits for a frame. The process-finished callback runs on the thread
// that called process(), once the frame is done: the callable set is the
// one called, and it must not call process().

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fusion/export.h"

namespace fusion {

// One scanned point handed in by the host (28 bytes, arrays have stride 28).
// attributes: bits 0-7 scan level (a power of two; anything else counts as
// 8), bits 8-15 protected flag, bits 16-31 ignored.
struct PointData {
    float position[3];
    float normal[3];
    int32_t attributes;
};

// One output vertex (36 bytes). state: 0 plain extraction or re-graded,
// 1 added or changed, 255 removed (NaN position and normal, word 8).
struct Vertices {
    float position[3];
    float normal[3];
    int32_t view_id;
    uint8_t state;
    uint8_t reserved[3];  // never written
    uint8_t scan_level;
    uint8_t protected_flag;
    uint16_t quality_code;  // four 4-bit grades
};

// The fused cloud as parallel arrays, each sized for every point record the
// engine had in use; only the first `count` entries are meaningful.
struct PointRawData {
    float* positions;      // 3 per point
    float* normals;        // 3 per point
    uint32_t* attributes;  // scan_level | protected_flag << 8 | quality_code << 16
    int32_t count;
    float resolution;
};

// The scanner's description (28 bytes). Words 0, 1 and 3 are carried
// through unchanged.
struct DeviceInfo {
    uint32_t word0;
    uint32_t word1;
    int32_t device_type;  // 0-7, anything else is read as 0
    uint32_t word3;
    int32_t frame_point_num;  // honoured when 1-999,999, else 60,000
    int32_t device_subtype;   // 0-6, anything else is read as 0
    float point_spacing;      // outside (0, 1) counts as 0.001
};

// Serialised engine state. A save allocates `data` (owned by the host from
// then on) and sets `size`; a load reads both and never modifies them.
struct RealTimeByteStream {
    uint8_t* data;
    uint64_t size;
};

// Named only by the inert mesh operations; this engine never touches them.
struct PolygonMesh {
    int32_t index[3];
};
struct MeshRawData {
    float* positions;
    float* normals;
    int32_t* indices;
    int32_t vertex_count;
    int32_t face_count;
};

static_assert(sizeof(PointData) == 28, "PointData is shared with the host by layout");
static_assert(sizeof(Vertices) == 36, "Vertices is shared with the host by layout");
static_assert(sizeof(PointRawData) == 32, "PointRawData is shared with the host by layout");
static_assert(sizeof(DeviceInfo) == 28, "DeviceInfo is shared with the host by layout");
static_assert(sizeof(RealTimeByteStream) == 16, "RealTimeByteStream is shared by layout");

class HashTable;
struct PendingEdit;

// The interface class. Not abstract: every operation has an inert default
// body (0, 0.0f, true for isInit, an all-zero DeviceInfo, an empty message).
//
// Hosts built by other compilers call through the virtual table, so its slot
// order is part of the interface and must be the same under both C++ ABIs.
// The Itanium ABI (GCC, Clang, MinGW) gives slots in declaration order. The
// Microsoft ABI gathers all overloads of one name into the slot range of the
// first of them and fills that range in reverse declaration order, so under
// _MSC_VER the two overload pairs whose slots hold live operations
// (extractLivePoints, buildByExistingPoints) are declared the other way
// round. The extractLiveMesh pair is inert and may take either order.
// tests/api/vtable checks the layout for both ABIs with clang.
class KELVANE_API Kelvane {
public:
    enum FusionMode : int32_t { FUSION_MODE_POINTS = 0 };

    Kelvane() = default;
    Kelvane(const Kelvane& other) : m_mode(other.m_mode) {}
    Kelvane& operator=(const Kelvane& other) {
        m_mode = other.m_mode;
        return *this;
    }
    virtual ~Kelvane();

    virtual int init();
    virtual bool isInit();
    virtual int deInit();
    virtual int reset();
    virtual int setDeviceInfo(const DeviceInfo& info);
    virtual DeviceInfo getDeviceInfo();
    virtual int setResolution(const float& resolution);
    virtual float getResolution();
    virtual int setQualityJudge(const bool& judge);
    virtual int setChromatographic(const bool& on);
    virtual int setTruncDist(const float& dist);
    virtual float getTruncDist();
    virtual int setMinWeight(const float& weight);
    virtual float getMinWeight();
    virtual void setProcessFinishedCallBack(std::function<void(int)> callback);
    virtual int process(const PointData* points, const int& count,
                        const std::vector<std::vector<int>>& views, double* pose, bool blocking);
    virtual int dataOrganize();
    virtual int getRequiredMemoryForExtractData(unsigned long long& bytes);
    virtual std::string getLastErrorMessage();
    virtual int extractLiveMesh(MeshRawData& mesh);
    virtual int extractLiveMesh(Vertices** const vertices, int& vertex_count,
                                PolygonMesh** const polygons, int& polygon_count);
#if defined(_MSC_VER)
    virtual int extractLivePoints(Vertices** const vertices, int& count);
    virtual int extractLivePoints(PointRawData& points);
#else
    virtual int extractLivePoints(PointRawData& points);
    virtual int extractLivePoints(Vertices** const vertices, int& count);
#endif
    virtual int saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream);
    virtual int loadRealTimeBytesData_mesh(const std::shared_ptr<RealTimeByteStream>& stream,
                                           Vertices** const vertices, int& vertex_count,
                                           PolygonMesh** const polygons, int& polygon_count);
    virtual int loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                             Vertices** const vertices, int& count);
#if defined(_MSC_VER)
    virtual int buildByExistingPoints(const PointData* points, const int& count,
                                      Vertices** const vertices, int& vertex_count,
                                      PolygonMesh** const polygons, int& polygon_count, bool flag);
    virtual int buildByExistingPoints(const PointData* points, const int& count,
                                      Vertices** const vertices, int& vertex_count, bool flag);
#else
    virtual int buildByExistingPoints(const PointData* points, const int& count,
                                      Vertices** const vertices, int& vertex_count, bool flag);
    virtual int buildByExistingPoints(const PointData* points, const int& count,
                                      Vertices** const vertices, int& vertex_count,
                                      PolygonMesh** const polygons, int& polygon_count, bool flag);
#endif
    virtual int setProtectedArea(const PointData* points, const int& count, bool unprotect);
    virtual int deleteSelectedArea(const PointData* points, const int& count);
    virtual int setFineScanArea(const PointData* points, const int& count);
    virtual int readExternalModel(const PointData* points, const int& count);
    virtual int getMeshNum(int& count);
    virtual int getVertexNum(int& count);
    virtual int getUpdateVertices(Vertices** const vertices, int& count);
    virtual int getUpdatePolygons(PolygonMesh** const polygons, int& count);
    virtual int getPointsNumLimitByResolution();

    FusionMode getFusionMode() const { return m_mode; }

protected:
    FusionMode m_mode = FUSION_MODE_POINTS;
};

// The point engine. Owns one engine object for its whole life. Copying is
// refused: two wrappers must never share one engine, and a copy of an
// initialised wrapper could not be initialised consistently.
//
// Region edits (setProtectedArea, deleteSelectedArea, setFineScanArea)
// requested before init() are queued and replayed, in request order, at the
// end of the next successful init().
class KELVANE_API Kelvane_Impl_Points : public Kelvane {
public:
    Kelvane_Impl_Points();
    ~Kelvane_Impl_Points() override;
    Kelvane_Impl_Points(const Kelvane_Impl_Points&) = delete;
    Kelvane_Impl_Points& operator=(const Kelvane_Impl_Points&) = delete;

    int init() override;
    bool isInit() override;
    int deInit() override;
    int reset() override;
    int setDeviceInfo(const DeviceInfo& info) override;
    DeviceInfo getDeviceInfo() override;
    int setResolution(const float& resolution) override;
    float getResolution() override;
    int setQualityJudge(const bool& judge) override;
    int setChromatographic(const bool& on) override;
    int setTruncDist(const float& dist) override;
    float getTruncDist() override;
    int setMinWeight(const float& weight) override;
    float getMinWeight() override;
    void setProcessFinishedCallBack(std::function<void(int)> callback) override;
    int process(const PointData* points, const int& count,
                const std::vector<std::vector<int>>& views, double* pose, bool blocking) override;
    int dataOrganize() override;
    int getRequiredMemoryForExtractData(unsigned long long& bytes) override;
    std::string getLastErrorMessage() override;
    int extractLiveMesh(MeshRawData& mesh) override;
    int extractLiveMesh(Vertices** const vertices, int& vertex_count, PolygonMesh** const polygons,
                        int& polygon_count) override;
    int extractLivePoints(PointRawData& points) override;
    int extractLivePoints(Vertices** const vertices, int& count) override;
    int saveRealTimeBytesData(std::shared_ptr<RealTimeByteStream>& stream) override;
    int loadRealTimeBytesData_mesh(const std::shared_ptr<RealTimeByteStream>& stream,
                                   Vertices** const vertices, int& vertex_count,
                                   PolygonMesh** const polygons, int& polygon_count) override;
    int loadRealTimeBytesData_points(const std::shared_ptr<RealTimeByteStream>& stream,
                                     Vertices** const vertices, int& count) override;
    int buildByExistingPoints(const PointData* points, const int& count, Vertices** const vertices,
                              int& vertex_count, bool flag) override;
    int buildByExistingPoints(const PointData* points, const int& count, Vertices** const vertices,
                              int& vertex_count, PolygonMesh** const polygons, int& polygon_count,
                              bool flag) override;
    int setProtectedArea(const PointData* points, const int& count, bool unprotect) override;
    int deleteSelectedArea(const PointData* points, const int& count) override;
    int setFineScanArea(const PointData* points, const int& count) override;
    int readExternalModel(const PointData* points, const int& count) override;
    int getMeshNum(int& count) override;
    int getVertexNum(int& count) override;
    int getUpdateVertices(Vertices** const vertices, int& count) override;
    int getUpdatePolygons(PolygonMesh** const polygons, int& count) override;
    int getPointsNumLimitByResolution() override;

    // Blocks until no frame is inside process() and every queued second
    // stage has finished; the next getUpdateVertices() then delivers all of
    // their records. Not part of the interface class: for hosts and tools
    // that need a settled model.
    //
    // A host table kept from the update records (indexed by view_id, state
    // 255 erasing) holds, after waitForPendingWork() and one last drain,
    // exactly the points extractLivePoints() returns, however frames were
    // paced: records arrive in an order that can be applied one by one, and
    // a removed point's id is reused only after its removal. (Blocking
    // frames, loads, builds, compacting deletions, region marks and
    // dataOrganize() report nothing; re-read the cloud after them.)
    void waitForPendingWork();

    // Non-blocking frames since the last init() or reset() whose second stage
    // (new normals and layer merging) was skipped because the pool already
    // held as many queued frames as it has task slots. Such a frame keeps
    // its first-stage results. Non-zero means frames arrive faster than the
    // machine integrates them.
    int droppedSecondStages() const;

    // Number of region edits queued before init() and not yet replayed.
    int pendingEditCount() const;

private:
    int loadOfflineSetting();

    HashTable* m_engine = nullptr;
    bool m_is_init = false;
    float m_resolution = 0.5f;
    std::string m_error_message = "no error !";
    std::vector<std::unique_ptr<PendingEdit>> m_pending_edits;
};

}  // namespace fusion
