#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one for a bounded time.
#
#   bash scripts/fuzz.sh [seconds-per-target]      (default 60)
#   bash scripts/fuzz.sh --make-seeds              (rewrite the seed corpus)
#
# Each run starts from the committed seed corpus (fuzz/corpus/<target>/)
# plus whatever earlier runs added to fuzz/corpus-work/<target>/ (not
# committed). A crash leaves its input in build/fuzz/ and fails the script.
# The engine sources are compiled straight into the target; OpenMP is off,
# so the parallel loops run on one thread.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SECONDS_PER_TARGET=${1:-60}
CXX=${FUZZ_CXX:-clang++}
OUT=build/fuzz
mkdir -p "$OUT"

if ! command -v "$CXX" >/dev/null; then
  echo "fuzz.sh: $CXX not found (scripts/setup.sh installs clang)" >&2
  exit 1
fi

OPENCV_INCLUDE=/usr/include/opencv4
ENGINE_SOURCES=$(ls src/engine/*.cpp src/volume/*.cpp src/frame/*.cpp src/output/*.cpp \
                    src/edit/*.cpp src/platform/*.cpp)
FLAGS=(-std=c++17 -O1 -g -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wno-unknown-pragmas -DKELVANE_BUILDING_LIBRARY
       -Iinclude -Isrc -isystem "$OPENCV_INCLUDE")

if [[ ${1:-} == --make-seeds ]]; then
  # shellcheck disable=SC2086
  "$CXX" -std=c++17 -O1 -g -Wno-unknown-pragmas -DKELVANE_BUILDING_LIBRARY \
    -Iinclude -Isrc -Itools -isystem "$OPENCV_INCLUDE" \
    fuzz/make_snapshot_seeds.cpp tools/sim/*.cpp $ENGINE_SOURCES \
    -lopencv_core -lpthread -o "$OUT/make_snapshot_seeds"
  mkdir -p fuzz/corpus/snapshot
  "$OUT/make_snapshot_seeds" fuzz/corpus/snapshot
  exit 0
fi

status=0
for target in snapshot process edit; do
  binary="$OUT/${target}_fuzzer"
  echo "=== building $binary"
  # shellcheck disable=SC2086
  "$CXX" "${FLAGS[@]}" "fuzz/${target}_fuzzer.cpp" $ENGINE_SOURCES \
    -lopencv_core -lpthread -o "$binary"

  work="fuzz/corpus-work/$target"
  mkdir -p "$work"
  echo "=== running $target for ${SECONDS_PER_TARGET}s"
  if ! (cd "$OUT" && ASAN_OPTIONS=detect_leaks=1 "./${target}_fuzzer" \
          -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 -timeout=20 \
          -rss_limit_mb=4096 -print_final_stats=1 \
          "$ROOT/$work" "$ROOT/fuzz/corpus/$target" 2>&1 | tee "${target}.log" |
          grep -E '^(#[0-9]+ +(INITED|DONE)|stat::|==[0-9]+==ERROR|SUMMARY|.*property violated)'); then
    :
  fi
  if grep -qE '==[0-9]+==ERROR|property violated|deadly signal|Test unit written' "$OUT/${target}.log"; then
    echo "fuzz.sh: $target found a failure; see $OUT/${target}.log" >&2
    status=1
  fi
done
exit $status
