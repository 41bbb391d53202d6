#!/usr/bin/env python3
"""Holds the sources to what Microsoft's compiler accepts, since no such
compiler runs here. Over every C and C++ file a Windows build compiles
(src/, include/, tools/, tests/, examples/):

  1. Compiler builtins and intrinsics (__builtin_*, __atomic_*, _BitScan*,
     _Interlocked*, <intrin.h>, ...) appear only in the portability header,
     which has a branch for each compiler; export attributes only in the
     export header. The SSE intrinsics (_mm_*), which every x86-64 compiler
     offers alike, come through SIMD_HEADERS, which has a scalar fallback.
  2. Operating-system headers (POSIX, Windows) are included only by the
     files listed in OS_FILES; everything else includes the C and C++
     standard libraries, OpenMP, the public headers and the third-party
     headers in LIBRARIES.
  3. OpenMP is what /openmp (OpenMP 2.0) accepts: only its directives,
     clauses and runtime functions, and loops of a signed integer variable.

bench/ and fuzz/ are left out: Google Benchmark's programs and the libFuzzer
targets are built on Linux only.

usage: check_portable.py [ROOT]      exit 0 when every rule holds
"""

import re
import subprocess
import sys
from pathlib import Path

FOLDERS = ("src/", "include/", "tools/", "tests/", "examples/")
EXTENSIONS = (".c", ".cpp", ".h", ".hpp")
SKIP = ("tests/api/vtable/msvc_std/",)  # stand-ins for the Microsoft standard headers

PORTABILITY_HEADER = "src/platform/portability.h"
EXPORT_HEADER = "include/fusion/export.h"
# Where the SSE headers (<emmintrin.h> and its kin) may be included.
SIMD_HEADERS = ("src/frame/Simd.h",)
# The files that talk to the operating system.
OS_FILES = ("src/platform/platform_posix.cpp", "src/platform/platform_win32.cpp",
            "tools/fuse/System.cpp", "tests/support/ChildProcess.cpp")

BUILTINS = re.compile(r"\b(__builtin_\w+|__atomic_\w+|__sync_\w+|_BitScan\w+|_Interlocked\w+|"
                      r"__popcnt\w*|__cpuid\w*|__int128|__restrict\w*|__forceinline|"
                      r"__assume|__declspec|__attribute__|__thread)\b")
INTRINSIC_HEADERS = re.compile(r"<(\w*intrin\.h|cpuid\.h)>")
SSE_HEADERS = {"xmmintrin.h", "emmintrin.h", "pmmintrin.h", "tmmintrin.h", "smmintrin.h",
               "nmmintrin.h"}
EXPORT_ONLY = {"__declspec", "__attribute__"}

CXX_HEADERS = set("""
algorithm any array atomic bitset cassert cctype cerrno cfenv cfloat charconv chrono cinttypes
climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef cstdint
cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution filesystem
forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream
iterator limits list locale map memory memory_resource mutex new numeric optional ostream queue
random ratio regex scoped_allocator set shared_mutex sstream stack stdexcept streambuf string
string_view system_error thread tuple type_traits typeindex typeinfo unordered_map unordered_set
utility valarray variant vector
""".split())
C_HEADERS = set("""
assert.h ctype.h errno.h float.h inttypes.h limits.h math.h stdarg.h stdbool.h stddef.h stdint.h
stdio.h stdlib.h string.h time.h
""".split())
LIBRARIES = ("fusion/", "omp.h", "gtest/", "gmock/", "CLI/", "stb/", "opencv2/", "pybind11/",
             "boost/")

OMP_DIRECTIVES = {"parallel", "for", "sections", "section", "single", "master", "critical",
                  "barrier", "atomic", "flush", "ordered", "threadprivate"}
OMP_CLAUSES = {"private", "firstprivate", "lastprivate", "shared", "default", "reduction",
               "copyin", "copyprivate", "if", "num_threads", "schedule", "nowait", "ordered"}
OMP_SCHEDULES = {"static", "dynamic", "guided", "runtime"}
OMP_REDUCTIONS = {"+", "*", "-", "&", "|", "^", "&&", "||"}
OMP_FUNCTIONS = {"omp_set_num_threads", "omp_get_num_threads", "omp_get_max_threads",
                 "omp_get_thread_num", "omp_get_num_procs", "omp_in_parallel", "omp_set_dynamic",
                 "omp_get_dynamic", "omp_set_nested", "omp_get_nested", "omp_init_lock",
                 "omp_destroy_lock", "omp_set_lock", "omp_unset_lock", "omp_test_lock",
                 "omp_init_nest_lock", "omp_destroy_nest_lock", "omp_set_nest_lock",
                 "omp_unset_nest_lock", "omp_test_nest_lock", "omp_get_wtime", "omp_get_wtick"}
SIGNED_LOOP = re.compile(r"\s*for\s*\(\s*(?:const\s+)?(?:std::)?(int|int32_t|int64_t|ptrdiff_t|long|"
                         r"long\s+long|short)\s+\w+\s*=")


def strip_comments(text):
    """The text with comments and string literals blanked, lines kept."""
    def blank(match):
        return re.sub(r"[^\n]", " ", match.group(0))
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', blank, text,
                  flags=re.S)


def check_pragma(pragma, loop, where, problems):
    words = re.findall(r"\w+|\([^)]*\)", pragma)
    i = 0
    while i < len(words) and words[i] in OMP_DIRECTIVES:
        i += 1
    if i == 0:
        problems.append(f"{where}: '#pragma omp {pragma}': not an OpenMP 2.0 directive")
        return
    while i < len(words):
        clause = words[i]
        argument = words[i + 1] if i + 1 < len(words) and words[i + 1].startswith("(") else None
        if clause not in OMP_CLAUSES:
            problems.append(f"{where}: OpenMP clause '{clause}' is newer than OpenMP 2.0")
        elif clause == "schedule" and argument:
            kind = argument.strip("()").split(",")[0].strip()
            if kind not in OMP_SCHEDULES:
                problems.append(f"{where}: schedule '{kind}' is newer than OpenMP 2.0")
        elif clause == "reduction" and argument:
            operator = argument.strip("()").split(":")[0].strip()
            if operator not in OMP_REDUCTIONS:
                problems.append(f"{where}: reduction '{operator}' is newer than OpenMP 2.0")
        i += 2 if argument else 1
    if "for" in words[:3] and not SIGNED_LOOP.match(loop):
        problems.append(f"{where}: OpenMP 2.0 loops need a signed integer loop variable: "
                        f"'{loop.strip()[:60]}'")


def check_file(path, name, problems):
    raw = path.read_text(errors="replace")
    text = strip_comments(raw)
    lines = text.splitlines()
    for number, line in enumerate(lines, 1):
        where = f"{name}:{number}"
        include = re.match(r'\s*#\s*include\s*<([^>]+)>', raw.splitlines()[number - 1])
        if include:
            header = include.group(1)
            if header in SSE_HEADERS:
                if name not in SIMD_HEADERS + (PORTABILITY_HEADER,):
                    problems.append(f"{where}: <{header}> belongs in {SIMD_HEADERS[0]}")
            elif INTRINSIC_HEADERS.match(f"<{header}>") and name != PORTABILITY_HEADER:
                problems.append(f"{where}: <{header}> belongs in {PORTABILITY_HEADER}")
            elif not (header in CXX_HEADERS or header.startswith(LIBRARIES) or
                      header in C_HEADERS or name in OS_FILES or
                      name == PORTABILITY_HEADER):
                problems.append(f"{where}: <{header}> is no standard C++ header; operating-system "
                                f"calls go into one of {', '.join(OS_FILES)}")
        for match in BUILTINS.finditer(line):
            word = match.group(1)
            if name == PORTABILITY_HEADER or (name == EXPORT_HEADER and word in EXPORT_ONLY):
                continue
            problems.append(f"{where}: '{word}' belongs in {PORTABILITY_HEADER}")
        pragma = re.match(r"\s*#\s*pragma\s+omp\s+(.*)", line)
        if pragma:
            following = next((l for l in lines[number:] if l.strip()), "")
            check_pragma(pragma.group(1), following, where, problems)
        for function in re.findall(r"\b(omp_\w+)\s*\(", line):
            if function not in OMP_FUNCTIONS:
                problems.append(f"{where}: {function} is newer than OpenMP 2.0")
    return problems


def main(root):
    root = Path(root).resolve()
    files = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard",
                            *FOLDERS], cwd=root, check=True, capture_output=True,
                           text=True).stdout.split()
    problems = []
    checked = 0
    for name in sorted(set(files)):
        if name.endswith(EXTENSIONS) and not name.startswith(SKIP) and (root / name).exists():
            check_file(root / name, name, problems)
            checked += 1
    portability = (root / PORTABILITY_HEADER).read_text()
    if "_MSC_VER" not in portability:
        problems.append(f"{PORTABILITY_HEADER}: no branch for Microsoft's compiler (_MSC_VER)")
    for problem in problems:
        print(problem)
    print(f"portable sources: {checked} files checked, {len(problems)} problems")
    return not problems


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent) else 1)
