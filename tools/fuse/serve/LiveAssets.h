#pragma once

// The live view's page and its scripts, compiled into the tool at build time
// (three.js from the Debian package the build found), so the running tool
// reads no files and fetches nothing for them.

#include <cstddef>
#include <string>

namespace kelvane_fuse {

struct LiveAsset {
    const char* path;  // URL path, "/live.js"
    const char* type;  // Content-Type
    const unsigned char* data;
    size_t size;
};

// Null for any path the page does not use.
const LiveAsset* findLiveAsset(const std::string& path);

}  // namespace kelvane_fuse
