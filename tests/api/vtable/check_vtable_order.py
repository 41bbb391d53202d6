#!/usr/bin/env python3
"""Checks the virtual-table slot order of the public interface classes.

Hosts compiled by another compiler call the library through the virtual
table, so its slot order is part of the interface, under the Itanium C++
ABI (Linux, MinGW) and under the Microsoft ABI (Windows hosts built with
MSVC) alike. clang lays a class out for either ABI and prints the slots
(-fdump-vtable-layouts); this script compiles a probe that constructs both
classes for both targets, reads the slot list of each class and compares it
with the required order. Exit 0: both match; 1: a mismatch; 77: no clang.

For the Windows target no standard library exists here, so the directory
given with --msvc-std supplies the few declarations the header needs.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

INERT = "inert"
FLOAT_GETTER = "float getter"

# The required slots; the destructor counts as one slot (the Itanium ABI
# gives it two entries, complete and deleting, the Microsoft ABI one).
REQUIRED = [
    "destructor", "init", "isInit", "deInit", "reset", "setDeviceInfo", "getDeviceInfo",
    "setResolution", "getResolution", "setQualityJudge", INERT, INERT, FLOAT_GETTER, INERT,
    FLOAT_GETTER, "setProcessFinishedCallBack", "process", "dataOrganize",
    "getRequiredMemoryForExtractData", "getLastErrorMessage", INERT, INERT,
    "extractLivePoints(PointRawData&)", "extractLivePoints(Vertices**, int&)",
    "saveRealTimeBytesData", INERT, "loadRealTimeBytesData_points",
    "buildByExistingPoints (5 arguments)", INERT, "setProtectedArea", "deleteSelectedArea",
    "setFineScanArea", INERT, INERT, "getVertexNum", "getUpdateVertices", INERT, INERT,
]
# Which inert operation takes which inert slot is free, and so is which of
# the two float getters comes first; each must appear exactly once.
INERT_OPERATIONS = {
    "setChromatographic", "setTruncDist", "setMinWeight", "extractLiveMesh(MeshRawData&)",
    "extractLiveMesh(Vertices**, int&, PolygonMesh**, int&)", "loadRealTimeBytesData_mesh",
    "buildByExistingPoints (7 arguments)", "readExternalModel", "getMeshNum",
    "getUpdatePolygons", "getPointsNumLimitByResolution",
}
FLOAT_GETTERS = {"getTruncDist", "getMinWeight"}

TARGETS = {"Itanium ABI": "x86_64-linux-gnu", "Microsoft ABI": "x86_64-pc-windows-msvc"}
CLASSES = ["fusion::Kelvane", "fusion::Kelvane_Impl_Points"]

PROBE = """#include "fusion/Kelvane.h"
// Virtual calls make the compiler lay out both classes' tables.
int probe(fusion::Kelvane& base, fusion::Kelvane_Impl_Points& points) {
    return base.init() + points.init();
}
"""


def slot_name(entry):
    """'int fusion::Kelvane::extractLivePoints(fusion::PointRawData &)' ->
    'extractLivePoints(PointRawData&)'; overloads are told apart by their
    parameters, everything else by name alone."""
    match = re.search(r"::(~?\w+)\((.*)\)", entry)
    if not match:
        raise ValueError(f"cannot read the slot entry {entry!r}")
    name, parameters = match.groups()
    if name.startswith("~"):
        return "destructor"
    if name == "extractLivePoints":
        return name + ("(PointRawData&)" if "PointRawData" in parameters else "(Vertices**, int&)")
    if name == "extractLiveMesh":
        return name + ("(MeshRawData&)" if "MeshRawData" in parameters
                       else "(Vertices**, int&, PolygonMesh**, int&)")
    if name == "buildByExistingPoints":
        return name + (" (7 arguments)" if "PolygonMesh" in parameters else " (5 arguments)")
    return name


def read_slots(dump, class_name):
    """The slot names of `class_name` from the 'indices' table of the dump."""
    header = re.compile(r"^VF?Table indices for '" + re.escape(class_name) + r"' \(\d+ entries\)\.$")
    lines = dump.splitlines()
    for start, line in enumerate(lines):
        if header.match(line):
            break
    else:
        raise ValueError(f"the dump has no slot table for {class_name}")
    slots = []
    for line in lines[start + 1:]:
        match = re.match(r"^\s*(\d+) \| (.*)$", line)
        if not match:
            break
        name = slot_name(match.group(2))
        if name == "destructor" and slots and slots[-1] == "destructor":
            continue  # the Itanium ABI's second destructor entry
        slots.append(name)
    return slots


def compare(slots):
    """Problems with `slots` against REQUIRED; an empty list when it matches."""
    problems = []
    if len(slots) != len(REQUIRED):
        problems.append(f"{len(slots)} slots, {len(REQUIRED)} required")
    inert_seen, getters_seen = [], []
    for index, (have, want) in enumerate(zip(slots, REQUIRED)):
        if want == INERT:
            ok = have in INERT_OPERATIONS
            inert_seen.append(have)
        elif want == FLOAT_GETTER:
            ok = have in FLOAT_GETTERS
            getters_seen.append(have)
        else:
            ok = have == want
        if not ok:
            problems.append(f"slot {index}: {have}, but {want} is required there")
    if sorted(inert_seen) != sorted(INERT_OPERATIONS) and not problems:
        problems.append(f"inert slots hold {sorted(inert_seen)}, each inert operation once is required")
    if sorted(getters_seen) != sorted(FLOAT_GETTERS) and not problems:
        problems.append(f"float getter slots hold {getters_seen}, one of each is required")
    return problems


def dump_layouts(clang, target, include, msvc_std, workdir):
    source = os.path.join(workdir, "probe.cpp")
    with open(source, "w") as probe:
        probe.write(PROBE)
    command = [clang, "--target=" + target, "-std=c++17", "-S", "-emit-llvm",
               "-o", os.path.join(workdir, "probe.ll"), "-Xclang", "-fdump-vtable-layouts",
               "-I", include, source]
    if "windows-msvc" in target:
        command[1:1] = ["-nostdinc++", "-isystem", msvc_std]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"clang failed for {target}:\n{result.stderr}")
    return result.stdout


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clang", default="clang++")
    parser.add_argument("--include", required=True, help="the directory holding fusion/Kelvane.h")
    parser.add_argument("--msvc-std", required=True, help="standard-library stand-ins for the Windows target")
    args = parser.parse_args()
    if not args.clang or shutil.which(args.clang) is None:
        print("SKIP: clang++ is not installed (scripts/setup.sh installs it)")
        return 77

    failed = False
    with tempfile.TemporaryDirectory() as workdir:
        for abi, target in TARGETS.items():
            dump = dump_layouts(args.clang, target, args.include, args.msvc_std, workdir)
            for class_name in CLASSES:
                problems = compare(read_slots(dump, class_name))
                verdict = "ok" if not problems else "WRONG"
                print(f"{abi:14} {class_name:28} {verdict}")
                for problem in problems:
                    print("    " + problem)
                failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
