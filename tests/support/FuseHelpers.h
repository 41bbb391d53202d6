#pragma once

// Builders shared by the command-line tool's tests.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "fusion/Kelvane.h"

namespace fuse_test {

// A fresh directory named after the running test, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kelvane_fuse_") + info->test_suite_name() + "_" + info->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        m_path = std::filesystem::temp_directory_path() / name;
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files in `dir` whose names end in `suffix`.
inline int countFilesEndingWith(const std::filesystem::path& dir, const std::string& suffix) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) ++n;
    }
    return n;
}

inline fusion::PointData point(float x, float y, float z, float nx, float ny, float nz, int32_t attributes = 8) {
    fusion::PointData p;
    p.position[0] = x; p.position[1] = y; p.position[2] = z;
    p.normal[0] = nx; p.normal[1] = ny; p.normal[2] = nz;
    p.attributes = attributes;
    return p;
}

inline fusion::Vertices vertex(int32_t view_id, float x, float y, float z, uint8_t state = 1,
                               uint16_t quality = 0, uint8_t scan_level = 8) {
    fusion::Vertices v{};
    v.position[0] = x; v.position[1] = y; v.position[2] = z;
    v.normal[0] = 0; v.normal[1] = 0; v.normal[2] = 1;
    v.view_id = view_id;
    v.state = state;
    v.scan_level = scan_level;
    v.protected_flag = 0;
    v.quality_code = quality;
    return v;
}

}  // namespace fuse_test
