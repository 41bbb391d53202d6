#!/usr/bin/env bash
# Checks that the frame path still fuses exactly what it fused before: builds
# kelvane-fuse serially (OpenMP off, so every run is deterministic), fuses the
# simulated objects and the handheld sweep, and compares the PLY files and
# snapshots byte for byte with reference files made by an earlier build.
#
#   scripts/same_results.sh REFERENCE_DIR        # compare with the references
#   scripts/same_results.sh --make REFERENCE_DIR # write the references instead
#   scripts/same_results.sh --opencv REFERENCE_DIR
#                     # the library built with OpenCV's eigen-solver
#                     # (-DKELVANE_EIGEN=opencv), as models were fused before
#                     # the built-in solver; in its own build directory
#
# Reference files, for each object o in sphere plate torus box bumpy:
#   o-blk.ply   50 blocking frames          o-nb.ply   50 frames, --settle
#   o-blk.snap  the snapshot of the blocking run
# and for the handheld sweep: hand-blk.ply (60 blocking frames), hand-nb.ply
# (60 frames, --settle).
#
# Environment: KELVANE_SERIAL_BUILD (build directory, default build-serial),
# JOBS (parallel build jobs, default 2). Exit status 0 when every file
# matches, 1 when one differs or is missing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVANE_SERIAL_BUILD:-$root/build-serial}
make=0
eigen=builtin
while [[ ${1:-} == --* ]]; do
  case $1 in
    --make) make=1 ;;
    --opencv) eigen=opencv; build=${KELVANE_SERIAL_BUILD:-$root/build-serial-opencv} ;;
    *) echo "same_results.sh: unknown option $1" >&2; exit 1 ;;
  esac
  shift
done
[[ $# -eq 1 ]] || { echo "usage: $0 [--make] [--opencv] REFERENCE_DIR" >&2; exit 1; }
refs=$(cd "$1" 2>/dev/null && pwd) || { echo "same_results.sh: no directory $1" >&2; exit 1; }

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_OPENMP=OFF \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_BENCH=OFF -DKELVANE_BUILD_EXAMPLES=OFF \
  -DKELVANE_BUILD_PYTHON=OFF -DKELVANE_EIGEN="$eigen" >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target kelvane-fuse >/dev/null
fuse=$build/tools/kelvane-fuse

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
# Compares (or keeps) one produced file under its reference name.
check() {
  local produced=$1 name=$2
  if [[ $make -eq 1 ]]; then
    cp "$produced" "$refs/$name"
    echo "kept       $name"
  elif [[ ! -f $refs/$name ]]; then
    echo "MISSING    $name"
    failures=$((failures + 1))
  elif cmp -s "$produced" "$refs/$name"; then
    echo "same       $name"
  else
    echo "DIFFERENT  $name ($(cmp "$produced" "$refs/$name" 2>&1 | head -1))"
    failures=$((failures + 1))
  fi
}

for object in sphere plate torus box bumpy; do
  "$fuse" -q --object "$object" --frames 50 --blocking --no-preview \
    --ply "$work/$object-blk.ply" --save "$work/$object-blk.snap" >/dev/null
  check "$work/$object-blk.ply" "$object-blk.ply"
  check "$work/$object-blk.snap" "$object-blk.snap"
  "$fuse" -q --object "$object" --frames 50 --settle --no-preview \
    --ply "$work/$object-nb.ply" >/dev/null
  check "$work/$object-nb.ply" "$object-nb.ply"
done
"$fuse" -q --handheld --frames 60 --blocking --no-preview --ply "$work/hand-blk.ply" >/dev/null
check "$work/hand-blk.ply" hand-blk.ply
"$fuse" -q --handheld --frames 60 --settle --no-preview --ply "$work/hand-nb.ply" >/dev/null
check "$work/hand-nb.ply" hand-nb.ply

if [[ $make -eq 1 ]]; then exit 0; fi
if [[ $failures -eq 0 ]]; then
  echo "same results: every file matches"
else
  echo "same results: $failures file(s) differ or are missing"
  exit 1
fi
