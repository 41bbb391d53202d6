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
        for (char& c : name) c = c == '/' ? '_' : c;
        m_path = std::filesystem::temp_directory_path() / name;
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() { std::error_code ec; std::filesystem::remove_all(m_path, ec); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    writeText(path, std::string(bytes.begin(), bytes.end()));
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Leftover temporaries of interrupted or abandoned outputs.
inline int countPartialFiles(const std::filesystem::path& dir) {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.path().extension() == ".partial";
    return n;
}

inline fusion::PointData point(float x, float y, float z, float nx, float ny, float nz, int32_t attributes = 8) {
    return fusion::PointData{{x, y, z}, {nx, ny, nz}, attributes};
}

inline fusion::Vertices vertex(int32_t view_id, float x, float y, float z, uint8_t state = 1,
                               uint16_t quality = 0, uint8_t scan_level = 8) {
    fusion::Vertices v{};
    v.position[0] = x; v.position[1] = y; v.position[2] = z;
    v.normal[2] = 1;
    v.view_id = view_id;
    v.state = state;
    v.scan_level = scan_level;
    v.quality_code = quality;
    return v;
}

}  // namespace fuse_test
