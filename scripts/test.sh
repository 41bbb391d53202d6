#!/usr/bin/env bash
# Builds and runs every test:
#   1. release build (library, tools, benchmarks, examples) and the whole suite
#   2. AddressSanitizer + UndefinedBehaviorSanitizer build and the whole suite
#   3. ThreadSanitizer build (without OpenMP) and the concurrency tests
#   4. install of the release build, then the example host built against the
#      installed package with find_package(Kelvane), and pytest on the
#      installed Python package; `pip install .` into a virtual environment
#      and pytest on that; the live view (kelvane-fuse --serve) in chromium;
#      every command block of README.md as a reader pastes it; a fused cloud
#      opened in CloudCompare and MeshLab
#   5. clang-format --dry-run on every C and C++ source
#   6. the rules that keep the sources within what Microsoft's compiler
#      accepts (scripts/check_portable.py)
#   7. the Windows build: MinGW-w64 cross-build, the suite, the C99 host and
#      kelvane-fuse.exe under Wine, the same results as on Linux
#      (scripts/windows.sh)
# Build trees live in build/. Installs missing packages first (scripts/setup.sh).
# Exits non-zero when any step fails; later steps still run where they can.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KELVANE_JOBS:-2}
# Tests whose names contain one of these words exercise threads; they are the
# ones worth running under ThreadSanitizer.
TSAN_FILTER='*Concurrent*:*ThreadPool*:*Pipeline*'

declare -a SUMMARY=()
FAILED=0
record() {  # record <name> <status> <seconds>
  local verdict=PASS
  if [[ $2 -ne 0 ]]; then verdict=FAIL; FAILED=1; fi
  SUMMARY+=("$(printf '%-34s %s  (%ss)' "$1" "$verdict" "$3")")
}
step() {  # step <name> <command...>
  local name=$1; shift
  echo
  echo "=== $name"
  local start=$SECONDS
  "$@"
  local status=$?
  record "$name" "$status" $((SECONDS - start))
  return "$status"
}

configure_and_build() {  # <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" "$@" && cmake --build "$dir" -j"$JOBS"
}

run_tests() {  # <dir> [extra ctest args...]
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j"$JOBS" "$@"
}

run_tsan_tests() {
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    build/tsan/tests/kelvane_tests --gtest_filter="$TSAN_FILTER"
}

run_asan_tests() {
  ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}" \
    ctest --test-dir build/asan --output-on-failure -j"$JOBS"
}

install_and_build_example() {
  local prefix status
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install.XXXXXX") || return 1
  # A fresh configure each time, so a stale cache cannot point elsewhere.
  rm -rf build/examples
  cmake --install build/release --prefix "$prefix" >/dev/null &&
    cmake -S examples -B build/examples -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" &&
    cmake --build build/examples -j"$JOBS" &&
    build/examples/kelvane_example
  status=$?
  rm -rf "$prefix"
  return "$status"
}

# The Python tests run on the package as installed: the module must find the
# installed library through its RPATH, the README's C example compiles against
# the installed header.
install_and_test_python() {
  local prefix status package
  prefix=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-python.XXXXXX") || return 1
  cmake --install build/release --prefix "$prefix" >/dev/null
  package=$(find "$prefix" -path '*/kelvane/__init__.py' | head -n 1)
  if [[ -z "$package" ]]; then
    echo "the install put no kelvane package under $prefix"
    rm -rf "$prefix"
    return 1
  fi
  PYTHONPATH=$(dirname "$(dirname "$package")") \
    KELVANE_FUSE="$prefix/bin/kelvane-fuse" \
    KELVANE_C_INCLUDE_DIR="$prefix/include" \
    KELVANE_LIBRARY=$(find "$prefix" -name 'libKelvane_Impl_Points.so' | head -n 1) \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python
  status=$?
  rm -rf "$prefix"
  return "$status"
}

# `pip install .` as a Python user runs it, offline, into a virtual
# environment that sees Debian's numpy, pytest and Open3D; the pytest suite
# runs against what pip installed, then `pip uninstall` must remove it.
pip_install_and_test_python() {
  local venv status
  venv=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-venv.XXXXXX") || return 1
  /usr/bin/python3 -m venv --system-site-packages "$venv" &&
    KELVANE_JOBS=$JOBS "$venv/bin/pip" install --no-index --no-build-isolation "$ROOT" &&
    (cd "$venv" && KELVANE_EXPECT_PACKAGE_IN="$venv" \
      KELVANE_FUSE="$ROOT/build/release/tools/kelvane-fuse" \
      KELVANE_C_INCLUDE_DIR="$ROOT/include" \
      KELVANE_LIBRARY="$ROOT/build/release/libKelvane_Impl_Points.so" \
      "$venv/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/python") &&
    "$venv/bin/pip" uninstall -y kelvane &&
    if (cd "$venv" && "$venv/bin/python" -c "import kelvane" 2>/dev/null); then
      echo "kelvane is still importable after pip uninstall"
      false
    fi
  status=$?
  rm -rf "$venv"
  return "$status"
}

# The live view in Debian's chromium, driven by playwright-core from the npm
# registry (tests/browser/package-lock.json pins it).
browser_test() {
  npm ci --prefix tests/browser --no-audit --no-fund --loglevel=error &&
    KELVANE_FUSE="$ROOT/build/release/tools/kelvane-fuse" node --test tests/browser
}

# Every C and C++ source follows the repository's .clang-format.
check_format() {
  local files=()
  mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' | grep -v '^tests/api/vtable/msvc_std/')
  clang-format --dry-run --Werror "${files[@]}"
}

step "setup (packages)" bash scripts/setup.sh || { echo "setup failed"; exit 1; }
step "format (clang-format)" check_format
step "portable sources (MSVC rules)" /usr/bin/python3 scripts/check_portable.py

if step "release: build" configure_and_build build/release -DCMAKE_BUILD_TYPE=Release; then
  step "release: whole suite" run_tests build/release
  step "install + example via find_package" install_and_build_example
  step "install + Python package (pytest)" install_and_test_python
  step "pip install . + Python package (pytest)" pip_install_and_test_python
  step "browser: live view (chromium)" browser_test
  step "README command blocks" /usr/bin/python3 tests/readme/run_blocks.py
  step "PLY in CloudCompare and MeshLab" /usr/bin/python3 tests/viewers/check_ply_viewers.py
else
  record "release: whole suite" 1 0
  record "install + example via find_package" 1 0
  record "install + Python package (pytest)" 1 0
  record "pip install . + Python package (pytest)" 1 0
  record "browser: live view (chromium)" 1 0
  record "README command blocks" 1 0
  record "PLY in CloudCompare and MeshLab" 1 0
fi

# After the release build: the Windows step compares with its kelvane-fuse
# and its list of tests.
step "windows: MinGW-w64 build, Wine" bash scripts/windows.sh

if step "asan+ubsan: build" configure_and_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVANE_SANITIZE=address -DKELVANE_BUILD_BENCH=OFF -DKELVANE_BUILD_TOOLS=OFF \
    -DKELVANE_BUILD_EXAMPLES=OFF; then
  step "asan+ubsan: whole suite" run_asan_tests
else
  record "asan+ubsan: whole suite" 1 0
fi

if step "tsan: build" configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVANE_SANITIZE=thread -DKELVANE_OPENMP=OFF -DKELVANE_BUILD_BENCH=OFF \
    -DKELVANE_BUILD_TOOLS=OFF -DKELVANE_BUILD_EXAMPLES=OFF; then
  step "tsan: concurrency tests" run_tsan_tests
else
  record "tsan: concurrency tests" 1 0
fi

echo
echo "=== summary"
printf '%s\n' "${SUMMARY[@]}"
if [[ $FAILED -ne 0 ]]; then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: all passed"
