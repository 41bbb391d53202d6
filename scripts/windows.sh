#!/usr/bin/env bash
# Cross-builds the library for 64-bit Windows with MinGW-w64 and runs it
# under Wine:
#   - build/windows/bin/ gets Kelvane_Impl_Points.dll, its import library
#     (libKelvane_Impl_Points.dll.a) and module-definition file
#     (Kelvane_Impl_Points.def), kelvane-fuse.exe, kelvane_tests.exe,
#     the C99 host kelvane_c_interface_test.exe and the compiler's runtime
#     DLLs they load;
#   - the DLL's export table must hold the C interface and the two public
#     classes, nothing else;
#   - the whole GoogleTest suite runs once; every test the Linux build has
#     must run or be skipped with its reason;
#   - the C99 host, compiled against fusion/kelvane_c.h (with the two
#     headers it includes) and the import library only, runs, and so does
#     the README's C example;
#   - kelvane-fuse.exe and the Linux kelvane-fuse fuse the same recorded
#     frame file on one processor (taskset -c 0), with blocking frames and
#     with settled non-blocking ones, and must write byte-identical
#     PLY files and snapshots; each side loads the other's snapshot and must
#     hold the same live points.
# The last line says "N passed, N failed". Exit status 0 when nothing failed.
#
# Needs the packages of scripts/setup.sh (it runs it first) and, for the
# comparison, the Linux kelvane-fuse of build/release (built here when
# missing). Environment: KELVANE_JOBS (parallel build jobs, default 2).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
JOBS=${KELVANE_JOBS:-2}
BUILD=$ROOT/build/windows
BIN=$BUILD/bin
WORK=$BUILD/check
TRIPLE=x86_64-w64-mingw32
CXX=$TRIPLE-g++-posix
CC=$TRIPLE-gcc-posix
CHECKS=(/usr/bin/python3 "$ROOT/scripts/windows_checks.py")

PASSED=0
FAILED=0
SKIPPED=0
pass() { PASSED=$((PASSED + 1)); echo "ok      $*"; }
fail() { FAILED=$((FAILED + 1)); echo "FAILED  $*"; }
finish() {
  # Wine's server for this prefix outlives the last program by a moment.
  if [[ -d ${WINEPREFIX:-} ]]; then wineserver -w 2>/dev/null || true; fi
  echo "windows: $((SECONDS - START)) s"
  local line="$PASSED passed, $FAILED failed"
  [[ $SKIPPED -gt 0 ]] && line+=", $SKIPPED skipped"
  echo "$line"
  [[ $FAILED -eq 0 ]]
  exit $?
}
START=$SECONDS

bash scripts/setup.sh >/dev/null || { fail "setup (packages)"; finish; }

# ---- build ----------------------------------------------------------------

# GoogleTest from Debian's sources, built once with the cross compiler.
build_googletest() {
  local stamp=$BUILD/googletest/.version version
  version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null)
  [[ -f $stamp && $(cat "$stamp") == "$version" ]] && return 0
  rm -rf "$BUILD/googletest" "$BUILD/googletest-build"
  cmake -S /usr/src/googletest -B "$BUILD/googletest-build" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$BUILD/googletest" >/dev/null &&
    cmake --build "$BUILD/googletest-build" -j"$JOBS" >/dev/null &&
    cmake --install "$BUILD/googletest-build" >/dev/null &&
    echo "$version" >"$stamp"
}

# CLI11 and stb are header-only; the cross compiler sees just those two
# folders of the build machine, never the rest of /usr/include.
stage_headers() {
  mkdir -p "$BUILD/headers" &&
    ln -sfn /usr/include/CLI "$BUILD/headers/CLI" &&
    ln -sfn /usr/include/stb "$BUILD/headers/stb"
}

configure_and_build() {
  cmake -S "$ROOT" -B "$BUILD" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DGTest_DIR="$BUILD/googletest/lib/cmake/GTest" \
    -DKELVANE_CLI11_INCLUDE_DIR="$BUILD/headers" -DKELVANE_STB_INCLUDE_DIR="$BUILD/headers" \
    -DKELVANE_BUILD_BENCH=OFF -DKELVANE_BUILD_EXAMPLES=OFF -DKELVANE_BUILD_PYTHON=OFF \
    -DKELVANE_SERVE=OFF >/dev/null &&
    cmake --build "$BUILD" -j"$JOBS" --target Kelvane_Impl_Points kelvane-fuse kelvane_tests
}

# The C99 host sees two headers and the import library, as a C host would.
build_c_host() {
  local include=$BUILD/c-host/include
  rm -rf "$BUILD/c-host" && mkdir -p "$include/fusion" &&
    cp include/fusion/kelvane_c.h include/fusion/kelvane_status.h include/fusion/export.h "$include/fusion/" &&
    "$CC" -std=c99 -O2 -Wall -Wextra -pedantic-errors -I"$include" \
      tests/api/c_interface_test.c "$BIN/libKelvane_Impl_Points.dll.a" \
      -o "$BIN/kelvane_c_interface_test.exe"
}

# The compiler's runtime, beside the programs that load it.
copy_runtime() {
  local dll path
  for dll in libgomp-1.dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll; do
    path=$("$CXX" -print-file-name="$dll")
    [[ -f $path ]] || { echo "$dll not found by $CXX"; return 1; }
    cp "$path" "$BIN/" || return 1
  done
}

echo "=== cross-build (MinGW-w64, build/windows)"
phase=$SECONDS
if build_googletest && stage_headers && configure_and_build && build_c_host && copy_runtime; then
  pass "cross-build: DLL, import library, kelvane-fuse.exe, kelvane_tests.exe, C99 host, runtime ($((SECONDS - phase)) s)"
else
  fail "cross-build"
  finish
fi

# Every DLL a program imports is either beside it or part of Windows.
missing=""
for file in "$BIN"/*.exe "$BIN"/*.dll; do
  while read -r dll; do
    [[ $dll == lib*.dll || $dll == Kelvane* ]] && [[ ! -f $BIN/$dll ]] && missing+=" $dll"
  done < <($TRIPLE-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p')
done
if [[ -z $missing ]]; then pass "every imported DLL is in bin/"; else fail "missing in bin/:$missing"; fi

if "${CHECKS[@]}" exports "$BIN/Kelvane_Impl_Points.dll" include/fusion/kelvane_c.h; then
  pass "export table: the C interface and the two public classes only"
else
  fail "export table"
fi

# ---- under Wine ---------------------------------------------------------------

export WINEPREFIX=$BUILD/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  wineboot --init >/dev/null 2>&1
  wineserver -w 2>/dev/null
fi
rm -rf "$WORK" && mkdir -p "$WORK"

echo
echo "=== test suite under Wine"
# Standard output carries the report; Wine's own chatter goes to stderr.
phase=$SECONDS
wine "$BIN/kelvane_tests.exe" >"$WORK/tests.log" 2>"$WORK/tests.err"
suite_status=$?
suite_seconds=$((SECONDS - phase))
linux_tests=$ROOT/build/release/tests/kelvane_tests
list_args=()
if [[ -x $linux_tests ]]; then
  "$linux_tests" --gtest_list_tests >"$WORK/linux-tests.txt" && list_args=("$WORK/linux-tests.txt")
else
  echo "(no Linux test binary in build/release: the test lists are not compared)"
fi
summary=$("${CHECKS[@]}" gtest-log "$WORK/tests.log" "$suite_status" "${list_args[@]}")
log_status=$?
head -n -1 <<<"$summary"
read -r suite_passed suite_failed suite_skipped <<<"$(tail -n 1 <<<"$summary")"
PASSED=$((PASSED + ${suite_passed:-0}))
FAILED=$((FAILED + ${suite_failed:-0}))
SKIPPED=$((SKIPPED + ${suite_skipped:-0}))
if [[ $log_status -eq 0 ]]; then
  echo "ok      test suite: ${suite_passed:-0} tests passed, ${suite_skipped:-0} skipped with their reasons ($suite_seconds s)"
else
  [[ ${suite_failed:-0} -eq 0 ]] && FAILED=$((FAILED + 1))
  echo "FAILED  test suite (log: $WORK/tests.log)"
fi

echo
echo "=== C99 host under Wine"
if wine "$BIN/kelvane_c_interface_test.exe" >"$WORK/c-host.log" 2>"$WORK/c-host.err" &&
  grep -q "every check held" "$WORK/c-host.log"; then
  pass "C99 host: $(tr -d '\r' <"$WORK/c-host.log")"
else
  cat "$WORK/c-host.log" "$WORK/c-host.err"
  fail "C99 host"
fi

# The C example of the README, built as its Windows section says.
example=$BUILD/c-host/fuse_plane.c
awk '/<!-- example: c -->/ { marked = 1; next }
     marked && /^```c$/ { inside = 1; next }
     inside && /^```$/ { exit }
     inside' README.md >"$example"
if "$CC" -std=c99 -Wall -Wextra -Iinclude "$example" "$BIN/libKelvane_Impl_Points.dll.a" \
    -o "$BIN/fuse_plane.exe" && output=$(wine "$BIN/fuse_plane.exe" 2>/dev/null) &&
  [[ $output == "1000 live points, the first at z = 5.0"* ]]; then
  pass "the README's C example: ${output%$'\r'}"
else
  fail "the README's C example (${output:-no output})"
fi

# ---- the same results as on Linux ----------------------------------------------

echo
echo "=== kelvane-fuse.exe against the Linux kelvane-fuse"
linux_fuse=$ROOT/build/release/tools/kelvane-fuse
if [[ ! -x $linux_fuse ]]; then
  if [[ ! -f $ROOT/build/release/CMakeCache.txt ]]; then
    cmake -S "$ROOT" -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build build/release -j"$JOBS" --target kelvane-fuse >/dev/null
fi
if [[ ! -x $linux_fuse ]]; then
  fail "no Linux kelvane-fuse to compare with"
  finish
fi

# One processor: the engine sizes a frame's team to the processors it may
# use, and the team's members share the loops out as they finish, so only a
# team of one fuses in a fixed order. Wine hands the affinity on to the
# Windows process. OpenMP's teams (edits, saving) are held to one thread too.
export OMP_THREAD_LIMIT=1
phase=$SECONDS
cd "$WORK"
"$linux_fuse" -q --handheld --frames 24 --record frames.kfr --no-preview --ply "" >/dev/null
printf '\0\0\0\0' >empty.kfr  # one frame without points: loads a snapshot and saves it

fuse() {  # fuse <linux|windows> <output name> <arguments...>
  local side=$1 name=$2
  shift 2
  local program=(taskset -c 0 "$linux_fuse")
  [[ $side == windows ]] && program=(taskset -c 0 wine "$BIN/kelvane-fuse.exe")
  "${program[@]}" -q --no-preview "$@" --ply "$name.ply" >"$name.report" 2>"$name.err" || {
    cat "$name.err"
    return 1
  }
}

same_bytes() {  # same_bytes <what> <file> <file>
  if cmp -s "$2" "$3"; then
    pass "$1: byte-identical ($(stat -c %s "$2") bytes)"
  else
    fail "$1: $(cmp "$2" "$3" 2>&1 | head -n 1)"
  fi
}

for mode in blocking settle; do
  flag=--blocking
  [[ $mode == settle ]] && flag=--settle
  if fuse linux "linux-$mode" frames.kfr "$flag" --save "linux-$mode.snap" &&
    fuse windows "windows-$mode" frames.kfr "$flag" --save "windows-$mode.snap"; then
    same_bytes "$mode frames, PLY" "linux-$mode.ply" "windows-$mode.ply"
    same_bytes "$mode frames, snapshot" "linux-$mode.snap" "windows-$mode.snap"
    # The reports, but for times and memory: the same counts of points,
    # update records and mirror differences.
    counts() { tr -d '\r' <"$1" | grep -vE '^  (process, |peak resident|wall time|wrote)'; }
    if diff <(counts "linux-$mode.report") <(counts "windows-$mode.report") >"$mode.diff"; then
      pass "$mode frames, report: the same counts (updates drained, mirror)"
    else
      cat "$mode.diff"
      fail "$mode frames, report: the counts differ"
    fi
  else
    fail "$mode frames: a run failed"
  fi
done

# Each side loads the other's snapshot: the same live points as the run that
# saved it (loading hands out new view ids, so those are left out).
if fuse windows windows-loads-linux empty.kfr --blocking --load linux-blocking.snap &&
  fuse linux linux-loads-windows empty.kfr --blocking --load windows-blocking.snap; then
  for loaded in windows-loads-linux linux-loads-windows; do
    if "${CHECKS[@]}" same-points linux-blocking.ply "$loaded.ply"; then
      pass "$loaded: the same live points as the run that saved the snapshot"
    else
      fail "$loaded: the live points differ"
    fi
  done
  same_bytes "a loaded snapshot, PLY" windows-loads-linux.ply linux-loads-windows.ply
else
  fail "loading the other side's snapshot: a run failed"
fi
tr -d '\r' <windows-blocking.report | grep -E "fused live points|wall time" |
  sed 's/^ */windows, blocking: /'
echo "comparison: $((SECONDS - phase)) s"

finish
