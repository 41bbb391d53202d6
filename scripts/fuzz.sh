#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one for a bounded time.
#
#   bash scripts/fuzz.sh [seconds-per-target]      (default 60)
#   bash scripts/fuzz.sh --make-seeds              (rewrite the snapshot seeds)
#
# The build tree is build/fuzz, configured with clang and KELVANE_BUILD_FUZZ,
# which instruments the engine's layer libraries and links the targets of
# fuzz/ against them; OpenMP is off, so the parallel loops run on one thread.
# Each run starts from the committed seed corpus (fuzz/corpus/<target>/) plus
# whatever earlier runs added to fuzz/corpus-work/<target>/ (not committed).
# A crash or a hang leaves its input in build/fuzz/ and fails the script.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SECONDS_PER_TARGET=${1:-60}
CXX=${FUZZ_CXX:-clang++}
OUT=build/fuzz
JOBS=${KELVANE_JOBS:-2}
TARGETS=(snapshot process edit)
mkdir -p "$OUT"

if ! command -v "$CXX" >/dev/null; then
  echo "fuzz.sh: $CXX not found (scripts/setup.sh installs clang)" >&2
  exit 1
fi

echo "=== configuring and building $OUT"
cmake -S "$ROOT" -B "$OUT" -DCMAKE_CXX_COMPILER="$CXX" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DKELVANE_BUILD_FUZZ=ON -DKELVANE_OPENMP=OFF -DKELVANE_BUILD_PYTHON=OFF \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_TOOLS=OFF -DKELVANE_BUILD_BENCH=OFF \
  -DKELVANE_BUILD_EXAMPLES=OFF >"$OUT/configure.log" ||
  { cat "$OUT/configure.log" >&2; exit 1; }

if [[ ${1:-} == --make-seeds ]]; then
  cmake --build "$OUT" -j"$JOBS" --target make_snapshot_seeds
  mkdir -p fuzz/corpus/snapshot
  ASAN_OPTIONS=detect_leaks=1 "$OUT/fuzz/make_snapshot_seeds" fuzz/corpus/snapshot
  exit 0
fi

cmake --build "$OUT" -j"$JOBS" --target "${TARGETS[@]/%/_fuzzer}"

status=0
for target in "${TARGETS[@]}"; do
  work="fuzz/corpus-work/$target"
  mkdir -p "$work"
  echo "=== running $target for ${SECONDS_PER_TARGET}s"
  if ! (cd "$OUT" && ASAN_OPTIONS=detect_leaks=1 "./fuzz/${target}_fuzzer" \
          -max_total_time="$SECONDS_PER_TARGET" -max_len=65536 -timeout=20 \
          -rss_limit_mb=4096 -print_final_stats=1 \
          "$ROOT/$work" "$ROOT/fuzz/corpus/$target" 2>&1 | tee "${target}.log" |
          grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|==[0-9]+==ERROR|SUMMARY|.*property violated)'); then
    :
  fi
  if grep -qE '==[0-9]+==ERROR|property violated|deadly signal|Test unit written' "$OUT/${target}.log"; then
    echo "fuzz.sh: $target found a failure; see $OUT/${target}.log" >&2
    status=1
  fi
done
exit $status
