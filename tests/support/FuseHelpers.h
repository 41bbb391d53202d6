#pragma once

// Builders shared by the tests of the tools.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fusion/Kelvane.h"

namespace fuse_test {

namespace fs = std::filesystem;

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A fresh directory named after the running test, removed afterwards.
struct TempDir {
    fs::path path;
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kelvane_") + info->test_suite_name() + "_" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        fs::remove_all(path = fs::temp_directory_path() / name), fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What was written to `file` (closed afterwards).
inline std::string readAll(std::FILE* file) {
    std::string text(size_t(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    return text;
}

// Leftover temporaries of interrupted or abandoned outputs.
inline long countPartialFiles(const fs::path& dir) {
    return std::count_if(fs::directory_iterator(dir), {},
                         [](const auto& e) { return e.path().extension() == ".partial"; });
}

inline fusion::Vertices vertex(int32_t view_id, float x, float y, float z, uint8_t state = 1,
                               uint16_t quality = 0, uint8_t scan_level = 8) {
    fusion::Vertices v{};
    v.position[0] = x, v.position[1] = y, v.position[2] = z;
    v.normal[2] = 1;
    v.view_id = view_id, v.state = state, v.scan_level = scan_level, v.quality_code = quality;
    return v;
}

}  // namespace fuse_test
