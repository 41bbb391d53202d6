#include "sim/DepthFrames.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>

namespace kelvane_sim {

namespace {

constexpr char kMagic[8] = {'K', 'V', 'D', 'E', 'P', 'T', 'H', '1'};

// Byte-by-byte little-endian coding, whatever the host's order.
template <typename Word>
void putWord(std::string& out, Word word) {
    for (std::size_t i = 0; i < sizeof(Word); ++i)
        out.push_back(static_cast<char>((word >> (8 * i)) & 0xff));
}
void putI32(std::string& out, int32_t v) { putWord(out, static_cast<uint32_t>(v)); }
void putF32(std::string& out, float v) {
    uint32_t w;
    std::memcpy(&w, &v, sizeof w);
    putWord(out, w);
}
void putF64(std::string& out, double v) {
    uint64_t w;
    std::memcpy(&w, &v, sizeof w);
    putWord(out, w);
}

class Reader {
public:
    explicit Reader(std::ifstream& in) : m_in(in) {}
    bool ok() const { return m_ok; }
    template <typename Word>
    Word word() {
        unsigned char bytes[sizeof(Word)] = {};
        if (!m_in.read(reinterpret_cast<char*>(bytes), sizeof bytes)) m_ok = false;
        Word w = 0;
        for (std::size_t i = 0; i < sizeof(Word); ++i) w |= static_cast<Word>(bytes[i]) << (8 * i);
        return w;
    }
    int32_t i32() { return static_cast<int32_t>(word<uint32_t>()); }
    float f32() {
        const uint32_t w = word<uint32_t>();
        float v;
        std::memcpy(&v, &w, sizeof v);
        return v;
    }
    double f64() {
        const uint64_t w = word<uint64_t>();
        double v;
        std::memcpy(&v, &w, sizeof v);
        return v;
    }

private:
    std::ifstream& m_in;
    bool m_ok = true;
};

}  // namespace

bool writeDepthFrames(const std::string& path, const std::vector<Frame>& frames,
                      std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = path + ": cannot open for writing";
        return false;
    }
    std::string bytes(kMagic, sizeof kMagic);
    putWord(bytes, static_cast<uint32_t>(frames.size()));
    putWord(bytes, uint32_t{0});
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    for (std::size_t f = 0; f < frames.size() && out; ++f) {
        const Frame& frame = frames[f];
        const Intrinsics& k = frame.intrinsics;
        const std::size_t pixels =
            static_cast<std::size_t>(k.width) * static_cast<std::size_t>(k.height);
        if (k.width < 0 || k.height < 0 || frame.depth.size() != pixels) {
            error = path + ": frame " + std::to_string(f) + " has a depth image of the wrong size";
            return false;
        }
        bytes.clear();
        putI32(bytes, k.width);
        putI32(bytes, k.height);
        for (double v : {k.fx, k.fy, k.cx, k.cy}) putF64(bytes, v);
        for (double v : frame.pose) putF64(bytes, v);
        for (float v : frame.depth) putF32(bytes, v);
        putI32(bytes, static_cast<int32_t>(frame.points.size()));
        for (const auto& p : frame.points)
            for (float v : p.position) putF32(bytes, v);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    out.flush();
    if (!out) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

bool readDepthFrames(const std::string& path, std::vector<Frame>& frames, std::string& error) {
    frames.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open";
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    char magic[sizeof kMagic] = {};
    in.read(magic, sizeof magic);
    if (!in || std::memcmp(magic, kMagic, sizeof magic) != 0) {
        error = path + ": not a depth frame file";
        return false;
    }
    Reader read(in);
    const uint32_t count = read.word<uint32_t>();
    (void)read.word<uint32_t>();
    // Every frame takes at least its fixed part, so a count the file cannot
    // hold is refused before anything is reserved for it.
    constexpr uint64_t kFixed = 4 + 4 + 4 * 8 + 16 * 8 + 4;
    if (!read.ok() || count > size / kFixed) {
        error = path + ": damaged header";
        return false;
    }
    frames.resize(count);
    for (uint32_t f = 0; f < count; ++f) {
        Frame& frame = frames[f];
        Intrinsics& k = frame.intrinsics;
        k.width = read.i32();
        k.height = read.i32();
        k.fx = read.f64();
        k.fy = read.f64();
        k.cx = read.f64();
        k.cy = read.f64();
        for (double& v : frame.pose) v = read.f64();
        const uint64_t left = size - std::min<uint64_t>(size, static_cast<uint64_t>(in.tellg()));
        if (!read.ok() || k.width < 0 || k.height < 0 ||
            static_cast<uint64_t>(k.width) * static_cast<uint64_t>(k.height) > left / 4) {
            error = path + ": frame " + std::to_string(f) + " is damaged or cut short";
            frames.clear();
            return false;
        }
        frame.depth.resize(static_cast<std::size_t>(k.width) * static_cast<std::size_t>(k.height));
        for (float& v : frame.depth) v = read.f32();
        const int32_t points = read.i32();
        const uint64_t rest = size - std::min<uint64_t>(size, static_cast<uint64_t>(in.tellg()));
        if (!read.ok() || points < 0 || static_cast<uint64_t>(points) > rest / 12) {
            error = path + ": frame " + std::to_string(f) + " is damaged or cut short";
            frames.clear();
            return false;
        }
        frame.points.assign(static_cast<std::size_t>(points), fusion::PointData{});
        for (auto& p : frame.points)
            for (float& v : p.position) v = read.f32();
        frame.views.clear();
        if (points > 0) frame.views.push_back({points});
    }
    if (!read.ok()) {
        error = path + ": cut short";
        frames.clear();
        return false;
    }
    return true;
}

}  // namespace kelvane_sim
