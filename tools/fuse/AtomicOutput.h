#pragma once

// An output file that appears under its final name only when it is
// complete. Bytes go to a temporary file beside the target; commit() flushes
// and renames it into place. A failed or abandoned output removes the
// temporary file, and so does an interrupt (fuse/Interrupt.h), so a failed
// or interrupted run never leaves a truncated file, under either name.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kelvane_fuse {

class AtomicOutput {
public:
    AtomicOutput() = default;
    ~AtomicOutput();
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    // Creates the temporary file. False (with error()) when it cannot.
    bool open(const std::string& final_path);
    // False once any write failed; later writes are ignored.
    bool write(const void* data, size_t size);
    // Flushes, closes and renames. False (with error()) on any failure,
    // in which case nothing is left under either name.
    bool commit();
    // Drops the temporary file; the final name is not touched.
    void abandon();

    bool isOpen() const { return m_file != nullptr; }
    const std::string& error() const { return m_error; }
    const std::string& finalPath() const { return m_final_path; }
    const std::string& temporaryPath() const { return m_temp_path; }

private:
    void fail(const std::string& problem);
    void forget();  // the temporary file is gone: nothing for an interrupt to remove

    std::FILE* m_file = nullptr;
    std::string m_final_path;
    std::string m_temp_path;
    std::string m_error;
    bool m_failed = false;
    int m_interrupt_handle = -1;
};

// Writes a whole buffer through an AtomicOutput, in pieces of a few
// megabytes, telling `progress` (when given) the bytes written so far. False
// with `error` set to "<path>: <problem>" on failure.
bool writeFileAtomically(const std::string& path, const void* data, size_t size, std::string& error,
                         const std::function<void(uint64_t, uint64_t)>& progress = {});

}  // namespace kelvane_fuse
