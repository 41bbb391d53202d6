// The one translation unit that compiles the PNG encoder.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

#include "fuse/AtomicOutput.h"
#include "fuse/Preview.h"

namespace kelvane_fuse {
namespace {

void appendBytes(void* context, void* data, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<uint8_t> encodePng(const Image& image) {
    std::vector<uint8_t> png;
    if (image.width <= 0 || image.height <= 0) return png;
    if (stbi_write_png_to_func(appendBytes, &png, image.width, image.height, 3, image.rgb.data(),
                               image.width * 3) == 0) {
        png.clear();
    }
    return png;
}

bool writePng(const std::string& path, const Image& image, std::string& error) {
    const std::vector<uint8_t> png = encodePng(image);
    if (png.empty()) {
        error = path + ": PNG encoding failed";
        return false;
    }
    return writeFileAtomically(path, png.data(), png.size(), error);
}

}  // namespace kelvane_fuse
