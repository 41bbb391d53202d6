#!/usr/bin/env bash
# Fuses the built-in simulated scan: installs missing packages, builds the
# library and the fusion tool (nothing else) into the repository's
# build/release and runs the tool in the current directory, wherever that
# is: arguments are passed on unchanged, so file names are taken relative to
# where you stand, and the outputs (fused.ply, preview.png by default) are
# written there too. Try `bash scripts/fuse.sh --help`.
#
# Each step prints one line; the compiler's output goes to
# build/release/fuse-build.log and is shown only when the build fails.
set -euo pipefail

# The repository, found from this script's real location (a symbolic link to
# it, or to its folder, still finds it).
ROOT=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd -P)
JOBS=${KELVANE_JOBS:-2}
BUILD=$ROOT/build/release
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
run_step "checking packages" bash "$ROOT/scripts/setup.sh"
run_step "configuring" cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_TOOLS=ON
run_step "building the library and kelvane-fuse" cmake --build "$BUILD" -j"$JOBS" --target kelvane-fuse

if [[ ! -x $BUILD/tools/kelvane-fuse ]]; then
  echo "fuse: the fusion tool was not built (see $LOG)" >&2
  exit 1
fi
echo "fuse: running $BUILD/tools/kelvane-fuse $* (in $PWD)"
exec "$BUILD/tools/kelvane-fuse" "$@"
