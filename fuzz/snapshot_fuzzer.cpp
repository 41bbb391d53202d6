// Fuzz target for the snapshot reader.
//
// Input starting with "HASH" is handed to the loader as the stream it is, so
// the validation of the framing is exercised. Any other input is taken as
// the body of a stream and given valid framing first (magic, size field,
// record count, trailer), so that mutations reach the volume block and the
// point records and the re-insertion behind them. After every successful
// load the volume is saved again and the new stream must validate and load,
// no voxel lock may be left taken, and a deletion and a build on the loaded
// volume must go through (they take the locks the volume keeps private).
//
// Built as a CMake target (KELVANE_BUILD_FUZZ, see scripts/fuzz.sh) with
// libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer; OpenMP is off
// there, so loops run on one thread.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/HashTable.h"
#include "output/SnapshotFormat.h"

namespace {

using fusion::HashTable;
using fusion::PointData;
using fusion::RealTimeByteStream;
using fusion::Vertices;
namespace snapshot = fusion::snapshot;

// One engine for the whole run: init is the expensive part, and loading
// must work on an engine that earlier loads left in any state. A small
// volume keeps each clearing cheap.
HashTable* engine() {
    static HashTable* instance = [] {
        auto* e = new HashTable();
        fusion::GlobalParams p = fusion::compactGlobalParams(12, 6, 10);
        p.voxel_chunk_max = 1024;
        p.point_chunk_max = 256;
        e->setInitParams(p);
        if (e->init() != 0) {
            std::fprintf(stderr, "engine init failed\n");
            std::abort();
        }
        fusion::DeviceInfo device{};
        device.point_spacing = 0.001f;
        e->setResolution(0.5f);
        e->setDeviceInfo(device);
        return e;
    }();
    return instance;
}

std::shared_ptr<RealTimeByteStream> exactCopy(const uint8_t* data, std::size_t size) {
    // An exactly sized heap buffer, so any read past the stream is caught.
    auto stream = std::shared_ptr<RealTimeByteStream>(new RealTimeByteStream{nullptr, 0},
                                                      [](RealTimeByteStream* s) {
                                                          delete[] s->data;
                                                          delete s;
                                                      });
    stream->data = new uint8_t[size == 0 ? 1 : size];
    if (size != 0) std::memcpy(stream->data, data, size);
    stream->size = size;
    return stream;
}

std::vector<uint8_t> framed(const uint8_t* data, std::size_t size) {
    const std::size_t records = size > snapshot::kHeaderBytes
                                    ? (size - snapshot::kHeaderBytes) / snapshot::kRecordBytes
                                    : 0;
    std::vector<uint8_t> out(snapshot::streamBytesFor(records), 0);
    std::memcpy(
        out.data(), data,
        std::min<std::size_t>(size, snapshot::kHeaderBytes + records * snapshot::kRecordBytes));
    std::memcpy(out.data(), snapshot::kMagic, 4);
    snapshot::put64(out.data() + snapshot::kSizeOffset, out.size());
    snapshot::put32(out.data() + snapshot::kCountOffset, static_cast<uint32_t>(records));
    std::memcpy(out.data() + out.size() - 4, snapshot::kMagic, 4);
    return out;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// Every voxel lock is free between operations: a lock left taken would hang
// the next insertion that reaches it.
void checkVoxelLocksFree(const HashTable& e) {
    const fusion::Volume& volume = e.volume();
    const int64_t blocks =
        std::min<int64_t>(volume.blocks().blockCount(), volume.voxels().blockCapacity());
    for (int32_t b = 0; b < blocks; ++b) {
        const fusion::Voxel* voxels = volume.blockVoxels(b);
        check(voxels != nullptr, "an allocated block without voxels");
        for (int32_t local = 0; local < volume.params().block_voxel_num; ++local)
            check(volume.lockOf(&voxels[local]).word.load() == 0, "a voxel lock was left taken");
    }
}

// The block hash, the free lists and the pools keep their locks private, so
// they are checked by use: an in-place deletion of a few loaded points puts
// their records and ids on the free lists, and building them again one block
// further along x takes them off and inserts blocks, locking each empty
// bucket it fills and each chain it extends. A lock the load left taken
// makes this hang, which libFuzzer reports as a timeout of this input.
void probeStorageLocks(HashTable& e, const Vertices* loaded, int count) {
    std::vector<PointData> some;
    const int step = std::max(1, count / 16);
    for (int i = 0; i < count; i += step) {
        const Vertices& v = loaded[i];
        some.push_back({{v.position[0], v.position[1], v.position[2]},
                        {v.normal[0], v.normal[1], v.normal[2]},
                        8});
    }
    if (some.empty()) return;
    const int n = static_cast<int>(some.size());
    check(e.deleteSelectedArea(some.data(), n) == 0, "a deletion after a load failed");
    Vertices* updates = nullptr;
    int drained = 0;
    if (e.getUpdateVertices(&updates, drained) == 0) delete[] updates;
    for (PointData& p : some) p.position[0] += 8.0f * e.resolution();
    check(e.buildByExistingPoints(some.data(), n) == 0, "a build after a load failed");
    checkVoxelLocksFree(e);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    HashTable& e = *engine();
    std::shared_ptr<RealTimeByteStream> stream;
    if (size >= 4 && std::memcmp(data, snapshot::kMagic, 4) == 0) {
        stream = exactCopy(data, size);
    } else {
        const std::vector<uint8_t> bytes = framed(data, size);
        stream = exactCopy(bytes.data(), bytes.size());
    }
    const std::vector<uint8_t> before(stream->data, stream->data + stream->size);

    Vertices* out = nullptr;
    int count = 0;
    const int result = e.loadRealTimeBytesData_points(stream, &out, count);
    check(std::memcmp(before.data(), stream->data, before.size()) == 0 &&
              stream->size == before.size(),
          "the loader modified its stream");
    checkVoxelLocksFree(e);
    if (result != 0) {
        check(out == nullptr, "a refused load handed out an array");
        return 0;
    }
    check(count >= 0, "negative vertex count");
    const std::vector<Vertices> loaded(out, out + count);
    delete[] out;

    // What was loaded saves into a stream the reader accepts.
    auto again = exactCopy(nullptr, 0);
    delete[] again->data;
    again->data = nullptr;
    again->size = 0;
    check(e.saveRealTimeBytesData(again) == 0, "saving a loaded volume failed");
    snapshot::StreamHeader header;
    check(snapshot::checkStream(again->data, again->size, header) == snapshot::StreamCheck::Valid,
          "a saved stream does not validate");
    check(e.loadRealTimeBytesData_points(again, &out, count) == 0, "a saved stream does not load");
    delete[] out;
    checkVoxelLocksFree(e);
    probeStorageLocks(e, loaded.data(), static_cast<int>(loaded.size()));
    return 0;
}
