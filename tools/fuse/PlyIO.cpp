#include "fuse/PlyIO.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <system_error>

#include "fuse/AtomicOutput.h"
#include "fuse/ByteOrder.h"
#include "fuse/Preview.h"

namespace kelvane_fuse {
namespace {

enum class ScalarType { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

bool scalarTypeOf(const std::string& name, ScalarType& type) {
    static const struct {
        const char* name;
        ScalarType type;
    } kTypes[] = {
        {"char", ScalarType::Int8},      {"int8", ScalarType::Int8},
        {"uchar", ScalarType::UInt8},    {"uint8", ScalarType::UInt8},
        {"short", ScalarType::Int16},    {"int16", ScalarType::Int16},
        {"ushort", ScalarType::UInt16},  {"uint16", ScalarType::UInt16},
        {"int", ScalarType::Int32},      {"int32", ScalarType::Int32},
        {"uint", ScalarType::UInt32},    {"uint32", ScalarType::UInt32},
        {"float", ScalarType::Float32},  {"float32", ScalarType::Float32},
        {"double", ScalarType::Float64}, {"float64", ScalarType::Float64},
    };
    for (const auto& t : kTypes) {
        if (name == t.name) {
            type = t.type;
            return true;
        }
    }
    return false;
}

size_t sizeOf(ScalarType type) {
    switch (type) {
        case ScalarType::Int8:
        case ScalarType::UInt8:
            return 1;
        case ScalarType::Int16:
        case ScalarType::UInt16:
            return 2;
        case ScalarType::Int32:
        case ScalarType::UInt32:
        case ScalarType::Float32:
            return 4;
        case ScalarType::Float64:
            return 8;
    }
    return 1;
}

double decodeBinary(ScalarType type, const uint8_t* p) {
    switch (type) {
        case ScalarType::Int8:
            return static_cast<int8_t>(p[0]);
        case ScalarType::UInt8:
            return p[0];
        case ScalarType::Int16:
            return static_cast<int16_t>(loadLE16(p));
        case ScalarType::UInt16:
            return loadLE16(p);
        case ScalarType::Int32:
            return static_cast<int32_t>(loadLE32(p));
        case ScalarType::UInt32:
            return loadLE32(p);
        case ScalarType::Float32:
            return loadLEFloat(p);
        case ScalarType::Float64:
            return loadLEDouble(p);
    }
    return 0.0;
}

struct Property {
    std::string name;
    ScalarType type = ScalarType::Float32;
    bool is_list = false;
    ScalarType count_type = ScalarType::UInt8;
};

struct Element {
    std::string name;
    int64_t count = 0;
    std::vector<Property> properties;
};

struct Header {
    bool binary = false;
    size_t data_offset = 0;
    std::vector<Element> elements;
};

bool parseHeader(const uint8_t* data, size_t size, Header& header, std::string& problem) {
    const char* text = reinterpret_cast<const char*>(data);
    size_t pos = 0;
    int line_number = 0;
    bool have_format = false;
    auto nextLine = [&](std::string& line) {
        if (pos >= size) return false;
        const void* nl = std::memchr(text + pos, '\n', size - pos);
        if (nl == nullptr) return false;
        const size_t end = static_cast<const char*>(nl) - text;
        line.assign(text + pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = end + 1;
        ++line_number;
        return true;
    };
    std::string line;
    if (!nextLine(line) || line != "ply") {
        problem = "not a PLY file (it does not start with \"ply\")";
        return false;
    }
    while (nextLine(line)) {
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword.empty() || keyword == "comment" || keyword == "obj_info") continue;
        if (keyword == "end_header") {
            if (!have_format) {
                problem = "PLY header has no format line";
                return false;
            }
            header.data_offset = pos;
            return true;
        }
        if (keyword == "format") {
            std::string format;
            words >> format;
            if (format == "ascii") {
                header.binary = false;
            } else if (format == "binary_little_endian") {
                header.binary = true;
            } else if (format == "binary_big_endian") {
                problem = "big-endian PLY is not supported";
                return false;
            } else {
                problem = "unknown PLY format '" + format + "'";
                return false;
            }
            have_format = true;
        } else if (keyword == "element") {
            Element element;
            std::string count_text;
            words >> element.name >> count_text;
            char* end = nullptr;
            errno = 0;
            const long long count = std::strtoll(count_text.c_str(), &end, 10);
            if (element.name.empty() || count_text.empty() || *end != '\0' || errno != 0 ||
                count < 0) {
                problem =
                    "bad element line in PLY header (line " + std::to_string(line_number) + ")";
                return false;
            }
            element.count = count;
            header.elements.push_back(element);
        } else if (keyword == "property") {
            if (header.elements.empty()) {
                problem =
                    "PLY property before any element (line " + std::to_string(line_number) + ")";
                return false;
            }
            Property property;
            std::string type_name;
            words >> type_name;
            bool ok = true;
            if (type_name == "list") {
                std::string count_type, item_type;
                words >> count_type >> item_type >> property.name;
                property.is_list = true;
                ok = scalarTypeOf(count_type, property.count_type) &&
                     scalarTypeOf(item_type, property.type);
            } else {
                words >> property.name;
                ok = scalarTypeOf(type_name, property.type);
            }
            if (!ok || property.name.empty()) {
                problem =
                    "bad property line in PLY header (line " + std::to_string(line_number) + ")";
                return false;
            }
            header.elements.back().properties.push_back(property);
        } else {
            problem = "unknown PLY header keyword '" + keyword + "' (line " +
                      std::to_string(line_number) + ")";
            return false;
        }
    }
    problem = "PLY header is not terminated by end_header";
    return false;
}

// Walks the body element by element, item by item, handing every scalar of
// the vertex element to `onValue(item, property, value)`.
class BodyReader {
public:
    BodyReader(const uint8_t* data, size_t size, const Header& header)
        : m_data(data), m_size(size), m_pos(header.data_offset), m_binary(header.binary) {}

    bool read(double& value, ScalarType type, std::string& problem) {
        return m_binary ? readBinary(value, type, problem) : readAscii(value, problem);
    }

private:
    bool readBinary(double& value, ScalarType type, std::string& problem) {
        const size_t n = sizeOf(type);
        if (m_size - m_pos < n) {
            problem = "unexpected end of data";
            return false;
        }
        value = decodeBinary(type, m_data + m_pos);
        m_pos += n;
        return true;
    }

    bool readAscii(double& value, std::string& problem) {
        while (m_pos < m_size && std::isspace(m_data[m_pos])) ++m_pos;
        if (m_pos >= m_size) {
            problem = "unexpected end of data";
            return false;
        }
        size_t end = m_pos;
        while (end < m_size && !std::isspace(m_data[end])) ++end;
        const std::string token(reinterpret_cast<const char*>(m_data) + m_pos, end - m_pos);
        m_pos = end;
        char* parsed_end = nullptr;
        value = std::strtod(token.c_str(), &parsed_end);
        if (parsed_end == token.c_str() || *parsed_end != '\0') {
            problem = "'" + token + "' is not a number";
            return false;
        }
        return true;
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos;
    bool m_binary;
};

int findProperty(const Element& element, const char* name) {
    for (size_t i = 0; i < element.properties.size(); ++i) {
        if (element.properties[i].name == name && !element.properties[i].is_list) return int(i);
    }
    return -1;
}

int findAttribute(const Element& element, const char* name) {
    const int plain = findProperty(element, name);
    return plain >= 0 ? plain : findProperty(element, ("scalar_" + std::string(name)).c_str());
}

// Smallest number of bytes one item of the element takes (in ASCII, a
// one-character token and a separator per property); a declared count
// larger than the data could hold is refused before anything is reserved.
size_t minimumItemSize(const Element& element, bool binary) {
    size_t total = 0;
    for (const auto& p : element.properties) {
        total += binary ? sizeOf(p.is_list ? p.count_type : p.type) : 2;
    }
    return total;
}

bool skipItem(BodyReader& body, const Element& element, std::string& problem) {
    double value;
    for (const auto& p : element.properties) {
        if (!p.is_list) {
            if (!body.read(value, p.type, problem)) return false;
            continue;
        }
        if (!body.read(value, p.count_type, problem)) return false;
        if (!(value >= 0) || value > 1e6) {
            problem = "bad list length in element '" + element.name + "'";
            return false;
        }
        for (int64_t k = 0, n = int64_t(value); k < n; ++k) {
            if (!body.read(value, p.type, problem)) return false;
        }
    }
    return true;
}

const Element* findVertexElement(const Header& header, std::string& problem) {
    for (const auto& e : header.elements) {
        if (e.name == "vertex") return &e;
    }
    problem = "PLY has no vertex element";
    return nullptr;
}

const char* const kRequired[6] = {"x", "y", "z", "nx", "ny", "nz"};

bool hasRequiredProperties(const Element& vertex, std::string& problem) {
    for (const char* name : kRequired) {
        if (findProperty(vertex, name) < 0) {
            problem = std::string("PLY vertex element has no property '") + name + "'";
            return false;
        }
    }
    return true;
}

}  // namespace

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open file";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

bool parsePlyVertexCount(const uint8_t* data, size_t size, int64_t& count, std::string& problem) {
    Header header;
    if (!parseHeader(data, size, header, problem)) return false;
    const Element* vertex = findVertexElement(header, problem);
    if (vertex == nullptr || !hasRequiredProperties(*vertex, problem)) return false;
    count = vertex->count;
    return true;
}

bool parsePlyPoints(const uint8_t* data, size_t size, std::vector<fusion::PointData>& points,
                    std::string& problem) {
    points.clear();
    Header header;
    if (!parseHeader(data, size, header, problem)) return false;
    const Element* vertex = findVertexElement(header, problem);
    if (vertex == nullptr) return false;

    if (!hasRequiredProperties(*vertex, problem)) return false;
    std::vector<int> field_of_property(vertex->properties.size(), -1);
    for (int f = 0; f < 6; ++f) field_of_property[size_t(findProperty(*vertex, kRequired[f]))] = f;
    // Under either name: the plain one, or the one the fused cloud (and
    // CloudCompare) writes.
    const int level_property = findAttribute(*vertex, "scan_level");
    const int protected_property = findAttribute(*vertex, "protected");
    if (level_property >= 0) field_of_property[size_t(level_property)] = 6;
    if (protected_property >= 0) field_of_property[size_t(protected_property)] = 7;

    const size_t body_size = size - header.data_offset;
    BodyReader body(data, size, header);
    for (const auto& element : header.elements) {
        const size_t min_item = minimumItemSize(element, header.binary);
        const size_t room = header.binary ? body_size : body_size + 1;
        if (min_item > 0 && uint64_t(element.count) > room / min_item) {
            problem = "element '" + element.name + "' declares " + std::to_string(element.count) +
                      " items but the file is too short for them";
            return false;
        }
        if (&element != vertex) {
            for (int64_t i = 0; i < element.count; ++i) {
                if (!skipItem(body, element, problem)) {
                    problem =
                        "element '" + element.name + "' item " + std::to_string(i) + ": " + problem;
                    return false;
                }
            }
            continue;
        }
        points.reserve(size_t(element.count));
        for (int64_t i = 0; i < element.count; ++i) {
            double fields[8] = {0, 0, 0, 0, 0, 0, 8, 0};
            for (size_t p = 0; p < element.properties.size(); ++p) {
                const Property& property = element.properties[p];
                double value = 0;
                bool ok;
                if (property.is_list) {
                    Element single{element.name, 1, {property}};
                    ok = skipItem(body, single, problem);
                } else {
                    ok = body.read(value, property.type, problem);
                }
                if (!ok) {
                    problem = "vertex " + std::to_string(i) + " of " +
                              std::to_string(element.count) + ": " + problem;
                    return false;
                }
                if (field_of_property[p] >= 0) fields[field_of_property[p]] = value;
            }
            fusion::PointData point;
            for (int k = 0; k < 3; ++k) {
                point.position[k] = float(fields[k]);
                point.normal[k] = float(fields[3 + k]);
            }
            const auto level = uint32_t(int64_t(fields[6])) & 0xFFu;
            const auto protection = uint32_t(int64_t(fields[7])) & 0xFFu;
            point.attributes = int32_t(level | protection << 8);
            points.push_back(point);
        }
        return true;  // elements after the vertices are not needed
    }
    return true;
}

bool readPlyPoints(const std::string& path, std::vector<fusion::PointData>& points,
                   std::string& error) {
    std::vector<uint8_t> bytes;
    if (!readWholeFile(path, bytes, error)) return false;
    std::string problem;
    if (!parsePlyPoints(bytes.data(), bytes.size(), points, problem)) {
        error = path + ": " + problem;
        return false;
    }
    return true;
}

bool readPlyVertexCount(const std::string& path, int64_t& count, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot open file";
        return false;
    }
    // Headers are short; 64 KiB holds any reasonable one.
    std::vector<uint8_t> head(64 * 1024);
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    std::string problem;
    if (!parsePlyVertexCount(head.data(), head.size(), count, problem)) {
        error = path + ": " + problem;
        return false;
    }
    return true;
}

namespace {

// Point cloud viewers differ in which vertex properties they show as scalar
// fields: MeshLab takes a float named "quality" as the vertex quality (other
// types it reads as 0); CloudCompare, without asking, loads properties whose
// names contain "scalar" (shown without the "scalar_" prefix) and ignores
// "quality". So the grade is written under both names, and every other
// attribute under a "scalar_" name.
constexpr size_t kFusedRecord = 6 * 4 + 4 + 2 + 1 + 1 + 1 + 4;

std::string fusedPlyHeader(size_t count) {
    std::ostringstream header;
    header << "ply\n"
           << "format binary_little_endian 1.0\n"
           << "comment fused point cloud written by kelvane-fuse\n"
           << "comment quality, scalar_quality: the grade of the point's scan level, 0-15\n"
           << "comment scalar_quality_code: all four 4-bit grades\n"
           << "element vertex " << count << "\n"
           << "property float x\nproperty float y\nproperty float z\n"
           << "property float nx\nproperty float ny\nproperty float nz\n"
           << "property float quality\n"
           << "property ushort scalar_quality_code\n"
           << "property uchar scalar_quality\n"
           << "property uchar scalar_scan_level\n"
           << "property uchar scalar_protected\n"
           << "property int scalar_view_id\n"
           << "end_header\n";
    return header.str();
}

void encodeFusedRecords(const fusion::Vertices* vertices, size_t count, uint8_t* out) {
    for (size_t i = 0; i < count; ++i, out += kFusedRecord) {
        const fusion::Vertices& v = vertices[i];
        const int grade = previewGrade(v);
        for (int k = 0; k < 3; ++k) storeLEFloat(out + 4 * k, v.position[k]);
        for (int k = 0; k < 3; ++k) storeLEFloat(out + 12 + 4 * k, v.normal[k]);
        storeLEFloat(out + 24, float(grade));
        storeLE16(out + 28, v.quality_code);
        out[30] = uint8_t(grade);
        out[31] = v.scan_level;
        out[32] = v.protected_flag;
        storeLE32(out + 33, uint32_t(v.view_id));
    }
}

}  // namespace

std::vector<uint8_t> encodeFusedPly(const std::vector<fusion::Vertices>& vertices) {
    const std::string text = fusedPlyHeader(vertices.size());
    std::vector<uint8_t> bytes(text.size() + kFusedRecord * vertices.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    encodeFusedRecords(vertices.data(), vertices.size(), bytes.data() + text.size());
    return bytes;
}

bool writeFusedPly(const std::string& path, const std::vector<fusion::Vertices>& vertices,
                   std::string& error, const std::function<void(uint64_t, uint64_t)>& progress) {
    // Encoded and written a piece at a time: a large cloud needs no second
    // copy of itself in memory, and the progress moves as the file grows.
    constexpr size_t kPiece = size_t(1) << 18;
    AtomicOutput out;
    const std::string text = fusedPlyHeader(vertices.size());
    bool ok = out.open(path) && out.write(text.data(), text.size());
    std::vector<uint8_t> piece(kFusedRecord * std::min(kPiece, vertices.size()));
    for (size_t done = 0; ok && done < vertices.size();) {
        const size_t n = std::min(kPiece, vertices.size() - done);
        encodeFusedRecords(vertices.data() + done, n, piece.data());
        ok = out.write(piece.data(), kFusedRecord * n);
        done += n;
        if (ok && progress) progress(done, vertices.size());
    }
    if (!ok || !out.commit()) {
        error = out.error();
        return false;
    }
    return true;
}

namespace {

// frame-0001.ply and on: the names PlyFrameWriter gives.
bool isRecordedFrameName(const std::string& name) {
    constexpr size_t kPrefix = 6, kSuffix = 4;  // "frame-", ".ply"
    if (name.size() < kPrefix + 4 + kSuffix || name.compare(0, kPrefix, "frame-") != 0 ||
        name.compare(name.size() - kSuffix, kSuffix, ".ply") != 0)
        return false;
    return std::all_of(name.begin() + kPrefix, name.end() - kSuffix,
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

std::vector<uint8_t> encodePlyFrame(const fusion::PointData* points, int32_t count) {
    constexpr size_t kRecord = 6 * 4 + 2;
    const std::string header =
        "ply\nformat binary_little_endian 1.0\n"
        "comment one frame played by kelvane-fuse\n"
        "element vertex " +
        std::to_string(std::max(count, 0)) +
        "\nproperty float x\nproperty float y\nproperty float z\n"
        "property float nx\nproperty float ny\nproperty float nz\n"
        "property uchar scalar_scan_level\nproperty uchar scalar_protected\n"
        "end_header\n";
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.resize(header.size() + kRecord * size_t(std::max(count, 0)));
    uint8_t* out = bytes.data() + header.size();
    for (int32_t i = 0; i < count; ++i, out += kRecord) {
        for (int k = 0; k < 3; ++k) storeLEFloat(out + 4 * k, points[i].position[k]);
        for (int k = 0; k < 3; ++k) storeLEFloat(out + 12 + 4 * k, points[i].normal[k]);
        out[24] = uint8_t(points[i].attributes & 0xFF);
        out[25] = uint8_t((points[i].attributes >> 8) & 0xFF);
    }
    return bytes;
}

bool PlyFrameWriter::open(const std::string& directory) {
    m_directory = directory;
    m_frames = 0;
    m_failed = true;  // until the directory is known to take files
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec || !std::filesystem::is_directory(directory, ec)) {
        m_error = directory + ": cannot create directory" + (ec ? " (" + ec.message() + ")" : "");
        return false;
    }
    // A replay would mix other PLY files in; an earlier recording's frames
    // are replaced, all of them, so none is left over from a longer one.
    std::vector<std::filesystem::path> earlier;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".ply") continue;
        if (!isRecordedFrameName(name)) {
            m_error = directory + ": already holds other PLY files (" + name +
                      "); record into a new or empty directory";
            return false;
        }
        earlier.push_back(entry.path());
    }
    for (const auto& path : earlier) std::filesystem::remove(path, ec);
    AtomicOutput probe;
    if (!probe.open((std::filesystem::path(directory) / "frame-0001.ply").string())) {
        m_error = probe.error();
        return false;
    }
    m_failed = false;
    return true;
}

bool PlyFrameWriter::append(const fusion::PointData* points, int32_t count) {
    if (m_failed) return false;
    char name[32];
    std::snprintf(name, sizeof name, "frame-%04d.ply", ++m_frames);
    const std::vector<uint8_t> bytes = encodePlyFrame(points, count);
    m_failed = !writeFileAtomically((std::filesystem::path(m_directory) / name).string(),
                                    bytes.data(), bytes.size(), m_error);
    return !m_failed;
}

bool readFileWithProgress(const std::string& path, std::vector<uint8_t>& bytes, std::string& error,
                          const std::function<void(uint64_t, uint64_t)>& progress) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": cannot open file";
        return false;
    }
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        std::fclose(f);
        error = path + ": cannot tell its size (" + ec.message() + ")";
        return false;
    }
    // Sized once and read straight into place, in pieces for the progress.
    bytes.resize(size_t(size));
    constexpr size_t kPiece = size_t(8) << 20;
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t got =
            std::fread(bytes.data() + done, 1, std::min(kPiece, bytes.size() - done), f);
        if (got == 0) break;
        done += got;
        if (progress) progress(done, bytes.size());
    }
    const bool failed = std::ferror(f) != 0 || done != bytes.size();
    std::fclose(f);
    if (failed) {
        error = path + ": read error";
        return false;
    }
    return true;
}

}  // namespace kelvane_fuse
