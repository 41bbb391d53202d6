#pragma once

// Ctrl-C and SIGTERM while outputs are being written: every output's
// temporary file is removed, then the tool ends as interrupted, so the shell
// reports the usual status (128 + the signal's number: 130, 143). Outputs
// already complete under their final names stay.

#include <string>

namespace kelvane_fuse {

// Installs the handlers for SIGINT and SIGTERM. The live view's serving
// phase takes both signals over for its own clean exit; no temporary file
// exists by then.
void removePartialFilesOnInterrupt();

// A temporary file to remove on an interrupt. The handle forgets it again;
// -1 (every slot taken) is a valid handle that does nothing.
int rememberPartialFile(const std::string& path);
void forgetPartialFile(int handle);

// How many files are remembered now (for tests).
int rememberedPartialFiles();

}  // namespace kelvane_fuse
