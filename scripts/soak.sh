#!/usr/bin/env bash
# Builds the long soak with AddressSanitizer (leak checking on) and
# UndefinedBehaviorSanitizer, and runs seeded sessions of host operations
# until the given time is up.
#
#   bash scripts/soak.sh [seconds] [first seed] [operations per session]
#                                            (defaults: 1200, 1, 2000)
#
# The build tree is build/soak, configured with KELVANE_BUILD_SOAK and
# KELVANE_SANITIZE=address, with OpenMP, so the engine's parallel loops run as
# they do for a host; only the kelvane_soak target is built. The log goes to
# build/soak/soak.log; a failed check or a sanitizer report fails the script.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
SECONDS_TO_RUN=${1:-1200}
FIRST_SEED=${2:-1}
OPERATIONS=${3:-2000}
OUT=build/soak
JOBS=${KELVANE_JOBS:-2}
mkdir -p "$OUT"

echo "=== configuring and building $OUT (kelvane_soak)"
cmake -S "$ROOT" -B "$OUT" \
  -DCMAKE_CXX_COMPILER="${SOAK_CXX:-g++}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DKELVANE_SANITIZE=address -DKELVANE_OPENMP=ON -DKELVANE_BUILD_SOAK=ON \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_TOOLS=OFF -DKELVANE_BUILD_BENCH=OFF \
  -DKELVANE_BUILD_EXAMPLES=OFF >"$OUT/configure.log" ||
  { cat "$OUT/configure.log" >&2; exit 1; }
cmake --build "$OUT" -j"$JOBS" --target kelvane_soak

echo "=== soaking for ${SECONDS_TO_RUN}s from seed $FIRST_SEED"
status=0
ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" \
  "$OUT/tools/soak/kelvane_soak" "$SECONDS_TO_RUN" "$FIRST_SEED" "$OPERATIONS" 2>&1 |
  grep --line-buffered -v -e '^--- error data ---$' | tee "$OUT/soak.log" || status=$?
if grep -qE '==[0-9]+==ERROR|runtime error|^FAILED' "$OUT/soak.log"; then
  echo "soak.sh: the soak failed; see $OUT/soak.log" >&2
  exit 1
fi
exit "$status"
