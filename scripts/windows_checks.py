#!/usr/bin/env python3
"""Checks of scripts/windows.sh that are easier in Python than in bash.

  windows_checks.py exports DLL C_HEADER
      The DLL exports the C functions the header declares, the members of
      fusion::Kelvane and fusion::Kelvane_Impl_Points with their virtual tables
      and type information, and nothing else; every virtual operation of the
      interface is there for both classes.
  windows_checks.py gtest-log LOG EXIT_STATUS [LINUX_TEST_LIST]
      Reads a GoogleTest log: every test that started ended, none failed, each
      skipped one printed its reason, and (given the output of the Linux
      binary's --gtest_list_tests) every Linux test ran. The last line printed
      is "passed failed skipped".
  windows_checks.py same-points PLY_A PLY_B
      The two binary PLY files hold the same vertex records in any order,
      leaving out the view_id property (loading a snapshot hands out new ids).
"""

import re
import subprocess
import sys
from pathlib import Path

TRIPLE = "x86_64-w64-mingw32"
CLASSES = ("Kelvane", "Kelvane_Impl_Points")


def dll_exports(dll):
    text = subprocess.run([f"{TRIPLE}-objdump", "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    names, in_table = [], False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
        elif in_table:
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)$", line)
            if not match:
                break
            names.append(match.group(1))
    return names


def demangle(names):
    if not names:
        return []
    text = subprocess.run([f"{TRIPLE}-c++filt"], input="\n".join(names), check=True,
                          capture_output=True, text=True).stdout
    return text.splitlines()


def check_exports(dll, header):
    exports = dll_exports(dll)
    problems = []
    declared_c = set(re.findall(r"KELVANE_C_API[^;(]*?\b(kelvane_\w+)\s*\(",
                                Path(header).read_text()))
    exported_c = {n for n in exports if not n.startswith("_Z")}
    for name in sorted(declared_c - exported_c):
        problems.append(f"C function not exported: {name}")
    for name in sorted(exported_c - declared_c):
        problems.append(f"exported, but not a function of {Path(header).name}: {name}")

    members = demangle([n for n in exports if n.startswith("_Z")])
    member = re.compile(r"^fusion::(%s)::(~?\w+)" % "|".join(CLASSES))
    extra = re.compile(r"^(vtable|typeinfo|typeinfo name) for fusion::(%s)$" % "|".join(CLASSES))
    found, of_classes = set(), 0
    for name in members:
        m = member.match(name) or extra.match(name)
        if not m:
            problems.append(f"exported, but no part of the two public classes: {name}")
            continue
        of_classes += 1
        if m.re is member:
            found.add((m.group(1), m.group(2)))
        else:
            found.add((m.group(2), m.group(1)))

    # Every virtual operation of the interface, in both classes, and what a
    # host needs to create, destroy and call through the virtual table.
    interface = Path(header).with_name("Kelvane.h").read_text()
    virtuals = set(re.findall(r"virtual\s+[\w:<>]+\s*\*?\s+(\w+)\s*\(", interface))
    required = {(c, v) for c in CLASSES for v in virtuals}
    required |= {(c, what) for c in CLASSES for what in ("vtable", "typeinfo", "~" + c)}
    required.add(("Kelvane_Impl_Points", "Kelvane_Impl_Points"))
    for cls, what in sorted(required - found):
        problems.append(f"not exported: fusion::{cls} {what}")

    for problem in problems:
        print(problem)
    print(f"{len(exports)} exports: {len(exported_c)} C functions, "
          f"{of_classes} of the two classes ({len(virtuals)} virtual operations each)")
    return not problems


def check_gtest_log(log, exit_status, linux_list=None):
    lines = Path(log).read_text(errors="replace").splitlines()
    started, passed, failed, skipped, unexplained = [], [], [], [], []
    current, block = None, []
    for line in lines:
        m = re.match(r"\[ RUN      \] (\S+)", line)
        if m:
            current, block = m.group(1), []
            started.append(current)
            continue
        m = re.match(r"\[ +(OK|FAILED|SKIPPED) +\] (\S+?),? .*\(\d+ ms\)$", line)
        if m and m.group(2) == current:
            outcome = m.group(1)
            if outcome == "OK":
                passed.append(current)
            elif outcome == "FAILED":
                failed.append(current)
            else:
                skipped.append(current)
                # ": Skipped" then the reason on the lines up to the verdict.
                marks = [i for i, b in enumerate(block) if b.endswith(": Skipped")]
                if not marks or not any(b.strip() for b in block[marks[-1] + 1:]):
                    unexplained.append(current)
            current = None
            continue
        if current is not None:
            block.append(line)

    ok = True
    ended = set(passed) | set(failed) | set(skipped)
    for name in started:
        if name not in ended:
            print(f"started and never ended (the binary stopped there): {name}")
            failed.append(name)
    for name in failed:
        print(f"failed: {name}")
    for name in unexplained:
        print(f"skipped without a reason: {name}")
    if int(exit_status) != 0 and not failed:
        print(f"the test binary exited with status {exit_status}")
        ok = False
    if linux_list:
        linux, suite = set(), None
        for line in Path(linux_list).read_text().splitlines():
            if not line.strip():
                continue
            if not line.startswith(" "):
                suite = line.split("#")[0].strip()
            else:
                linux.add(suite + line.split("#")[0].strip())
        missing = sorted(linux - set(started))
        for name in missing:
            print(f"runs on Linux but did not run here: {name}")
        ok = ok and not missing
        print(f"{len(started)} tests ran, {len(linux)} on Linux, "
              f"{len(set(started) - linux)} only here")
    ok = ok and not failed and not unexplained and bool(started)
    print(f"{len(passed)} {len(failed)} {len(skipped)}")
    return ok


PLY_TYPES = {"char": 1, "uchar": 1, "int8": 1, "uint8": 1, "short": 2, "ushort": 2, "int16": 2,
             "uint16": 2, "int": 4, "uint": 4, "int32": 4, "uint32": 4, "float": 4, "float32": 4,
             "double": 8, "float64": 8}


def ply_records(path):
    data = Path(path).read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    header = data[:end].decode("ascii").splitlines()
    if "format binary_little_endian 1.0" not in header:
        raise ValueError(f"{path}: not a binary little-endian PLY file")
    count, properties, in_vertex = 0, [], False
    for line in header:
        words = line.split()
        if words[:2] == ["element", "vertex"]:
            count, in_vertex = int(words[2]), True
        elif words[:1] == ["element"]:
            in_vertex = False
        elif words[:1] == ["property"] and in_vertex:
            properties.append((words[2], PLY_TYPES[words[1]]))
    size = sum(width for _, width in properties)
    keep, offset = [], 0
    for name, width in properties:
        if name not in ("view_id", "scalar_view_id"):
            keep.append((offset, offset + width))
        offset += width
    body = data[end:end + count * size]
    if len(body) != count * size:
        raise ValueError(f"{path}: truncated")
    records = (body[i:i + size] for i in range(0, len(body), size))
    return sorted(b"".join(r[a:b] for a, b in keep) for r in records)


def check_same_points(a, b):
    ra, rb = ply_records(a), ply_records(b)
    if ra == rb:
        return True
    print(f"{a}: {len(ra)} points, {b}: {len(rb)} points, "
          f"{len(set(ra) ^ set(rb))} records in one only")
    return False


def main(argv):
    if len(argv) >= 3 and argv[0] == "exports":
        return check_exports(argv[1], argv[2])
    if len(argv) in (3, 4) and argv[0] == "gtest-log":
        return check_gtest_log(*argv[1:])
    if len(argv) == 3 and argv[0] == "same-points":
        return check_same_points(argv[1], argv[2])
    print(__doc__, file=sys.stderr)
    return False


if __name__ == "__main__":
    sys.exit(0 if main(sys.argv[1:]) else 1)
