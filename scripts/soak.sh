#!/usr/bin/env bash
# Builds the long soak with AddressSanitizer (leak checking on) and
# UndefinedBehaviorSanitizer, and runs seeded sessions of host operations
# until the given time is up.
#
#   bash scripts/soak.sh [seconds] [first seed] [operations per session]
#                                            (defaults: 1200, 1, 2000)
#
# The library, the simulated scanner and the soak driver are compiled
# straight into one binary (build/soak/kelvane_soak), with OpenMP, so the
# engine's parallel loops run as they do for a host. The log goes to
# build/soak/soak.log; a failed check or a sanitizer report fails the script.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SECONDS_TO_RUN=${1:-1200}
FIRST_SEED=${2:-1}
OPERATIONS=${3:-2000}
CXX=${SOAK_CXX:-g++}
OUT=build/soak
mkdir -p "$OUT"

SOURCES=$(ls src/api/*.cpp src/engine/*.cpp src/volume/*.cpp src/frame/*.cpp src/output/*.cpp \
             src/edit/*.cpp src/platform/*.cpp tools/sim/*.cpp)
echo "=== building $OUT/kelvane_soak"
# shellcheck disable=SC2086
"$CXX" -std=c++17 -O1 -g -fno-omit-frame-pointer -fopenmp \
  -fsanitize=address,undefined -fno-sanitize-recover=undefined \
  -DKELVANE_BUILDING_LIBRARY -Iinclude -Isrc -Itools -isystem /usr/include/opencv4 \
  tools/soak/soak_main.cpp $SOURCES -lopencv_core -lpthread -o "$OUT/kelvane_soak"

echo "=== soaking for ${SECONDS_TO_RUN}s from seed $FIRST_SEED"
status=0
ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" \
  "$OUT/kelvane_soak" "$SECONDS_TO_RUN" "$FIRST_SEED" "$OPERATIONS" 2>&1 |
  grep --line-buffered -v -e '^--- error data ---$' | tee "$OUT/soak.log" || status=$?
if grep -qE '==[0-9]+==ERROR|runtime error|^FAILED' "$OUT/soak.log"; then
  echo "soak.sh: the soak failed; see $OUT/soak.log" >&2
  exit 1
fi
exit "$status"
