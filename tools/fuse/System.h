#pragma once

// What the tool asks of the operating system, behind one small file: the
// rest of the tool is standard C++.

#include <cstdint>
#include <cstdio>

namespace kelvane_fuse {
namespace os {

// True when the stream is an interactive terminal.
bool isTerminal(std::FILE* stream);

// Peak resident set of this process in bytes, 0 when the system cannot say.
int64_t peakResidentBytes();

// Moves to a byte offset from the start, past 2 GiB too (plain fseek takes a
// long, which is 32 bits on Windows).
bool seekTo(std::FILE* file, uint64_t offset);

// Removes a file by name; safe to call from a signal handler (plain unlink,
// no buffers, no locks).
void removeFileInSignalHandler(const char* path);

}  // namespace os
}  // namespace kelvane_fuse
