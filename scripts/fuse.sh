#!/usr/bin/env bash
# Fuses the built-in simulated scan: installs missing packages, builds the
# release tree (with the tools) and runs the fusion tool. Arguments are passed
# to the tool unchanged; try `bash scripts/fuse.sh --help`.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KELVANE_JOBS:-2}

bash scripts/setup.sh
cmake -S "$ROOT" -B build/release -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TOOLS=ON >/dev/null
cmake --build build/release -j"$JOBS"

if [[ -x build/release/tools/kelvane-fuse ]]; then
  exec build/release/tools/kelvane-fuse "$@"
fi
echo "fuse: the fusion tool is not part of this build; running the example host instead" >&2
exec build/release/examples/kelvane_example
