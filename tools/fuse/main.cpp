// kelvane-fuse: fuse a scan from the command line.

#include <cstdio>
#include <iostream>

#include "fuse/FuseRun.h"
#include "fuse/Interrupt.h"
#include "fuse/Options.h"

int main(int argc, char** argv) {
    kelvane_fuse::FuseOptions options;
    const kelvane_fuse::ParseResult parsed =
        kelvane_fuse::parseOptions(argc, argv, options, std::cout, std::cerr);
    if (!parsed.run) return parsed.exit_code;
    kelvane_fuse::removePartialFilesOnInterrupt();
    return kelvane_fuse::runFuse(options, stdout, stderr);
}
