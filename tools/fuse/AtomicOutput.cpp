#include "fuse/AtomicOutput.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "fuse/Interrupt.h"

namespace kelvane_fuse {

AtomicOutput::~AtomicOutput() { abandon(); }

void AtomicOutput::fail(const std::string& problem) {
    if (!m_failed) m_error = m_final_path + ": " + problem;
    m_failed = true;
}

bool AtomicOutput::open(const std::string& final_path) {
    abandon();
    m_final_path = final_path;
    m_temp_path = final_path + ".partial";
    m_error.clear();
    m_failed = false;
    // Remembered before it exists, so an interrupt never misses it.
    m_interrupt_handle = rememberPartialFile(m_temp_path);
    m_file = std::fopen(m_temp_path.c_str(), "wb");
    if (m_file == nullptr) {
        fail(std::string("cannot create file (") + std::strerror(errno) + ")");
        forget();
        return false;
    }
    return true;
}

bool AtomicOutput::write(const void* data, size_t size) {
    if (m_failed || m_file == nullptr) return false;
    if (size == 0) return true;
    if (std::fwrite(data, 1, size, m_file) != size) {
        fail(std::string("write failed (") + std::strerror(errno) + ")");
        return false;
    }
    return true;
}

bool AtomicOutput::commit() {
    if (m_file == nullptr) {
        if (!m_failed) fail("nothing to commit");
        return false;
    }
    if (!m_failed && std::fflush(m_file) != 0)
        fail(std::string("write failed (") + std::strerror(errno) + ")");
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!closed) fail("closing the file failed");
    if (m_failed) {
        std::error_code ignored;
        std::filesystem::remove(m_temp_path, ignored);
        forget();
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(m_temp_path, m_final_path, ec);
    if (ec) {
        fail("cannot rename the finished file into place (" + ec.message() + ")");
        std::filesystem::remove(m_temp_path, ec);
    }
    forget();
    return !ec;
}

void AtomicOutput::forget() {
    forgetPartialFile(m_interrupt_handle);
    m_interrupt_handle = -1;
}

void AtomicOutput::abandon() {
    if (m_file == nullptr) return;
    std::fclose(m_file);
    m_file = nullptr;
    std::error_code ignored;
    std::filesystem::remove(m_temp_path, ignored);
    forget();
}

bool writeFileAtomically(const std::string& path, const void* data, size_t size, std::string& error,
                         const std::function<void(uint64_t, uint64_t)>& progress) {
    constexpr size_t kPiece = size_t(8) << 20;
    AtomicOutput out;
    bool ok = out.open(path);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t done = 0; ok && done < size;) {
        const size_t piece = std::min(kPiece, size - done);
        ok = out.write(bytes + done, piece);
        done += piece;
        if (ok && progress) progress(done, size);
    }
    if (!ok || !out.commit()) {
        error = out.error();
        return false;
    }
    return true;
}

}  // namespace kelvane_fuse
