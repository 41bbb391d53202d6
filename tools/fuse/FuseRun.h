#pragma once

// The run of kelvane-fuse: plays the selected frames through the library as
// a scanning application would, mirrors the incremental updates, checks the
// mirror against a full extraction, writes the outputs and the report.

#include <cstdio>

#include "fuse/Options.h"

namespace kelvane_fuse {

enum ExitStatus : int {
    kExitDone = 0,
    kExitBadInput = 1,
    kExitLibrary = 2,
    kExitOutput = 3,
    kExitMirror = 4,
};

// The report goes to `out`; progress and error lines to `err`.
int runFuse(const FuseOptions& options, std::FILE* out, std::FILE* err);

}  // namespace kelvane_fuse
