#!/usr/bin/env bash
# Fuses the built-in simulated scan: installs missing packages, builds the
# library and the fusion tool (nothing else) and runs the tool. Arguments
# are passed to the tool unchanged; try `bash scripts/fuse.sh --help`.
#
# Each step prints one line; the compiler's output goes to
# build/release/fuse-build.log and is shown only when the build fails.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KELVANE_JOBS:-2}
BUILD=build/release
LOG=$BUILD/fuse-build.log
mkdir -p "$BUILD"

run_step() {  # run_step <what> <command...>
  local what=$1; shift
  printf 'fuse: %s ... ' "$what"
  local start=$SECONDS
  if "$@" >>"$LOG" 2>&1; then
    printf 'done (%ss)\n' $((SECONDS - start))
  else
    printf 'FAILED\n'
    echo "---- $LOG (last 60 lines) ----" >&2
    tail -n 60 "$LOG" >&2
    exit 1
  fi
}

: >"$LOG"
run_step "checking packages" bash scripts/setup.sh
run_step "configuring" cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TOOLS=ON
run_step "building the library and kelvane-fuse" cmake --build "$BUILD" -j"$JOBS" --target kelvane-fuse

if [[ ! -x $BUILD/tools/kelvane-fuse ]]; then
  echo "fuse: the fusion tool was not built (see $LOG)" >&2
  exit 1
fi
echo "fuse: running $BUILD/tools/kelvane-fuse $*"
exec "$BUILD/tools/kelvane-fuse" "$@"
