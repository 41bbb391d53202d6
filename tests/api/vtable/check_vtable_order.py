#!/usr/bin/env python3
"""Checks the virtual-table slot order of the public interface classes.

Hosts built by other compilers call through the virtual table, so its slot
order is part of the interface under the Itanium ABI (Linux, MinGW) and the
Microsoft ABI (MSVC) alike. clang lays the classes out for either target and
prints the slots (-fdump-vtable-layouts); this compares them with the
required order. Exit 0: both ABIs match; 1: a mismatch; 77: no clang.
MSVC_STD_DIR stands in for the Windows target's standard headers, which
this machine does not have.

usage: check_vtable_order.py CLANG++ INCLUDE_DIR MSVC_STD_DIR
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

INERT, FLOAT_GETTER = "inert", "float getter"
# The destructor is one slot (the Itanium ABI gives it two entries).
REQUIRED = [
    "destructor", "init", "isInit", "deInit", "reset", "setDeviceInfo", "getDeviceInfo",
    "setResolution", "getResolution", "setQualityJudge", INERT, INERT, FLOAT_GETTER, INERT,
    FLOAT_GETTER, "setProcessFinishedCallBack", "process", "dataOrganize",
    "getRequiredMemoryForExtractData", "getLastErrorMessage", INERT, INERT,
    "extractLivePoints(PointRawData&)", "extractLivePoints(Vertices**, int&)",
    "saveRealTimeBytesData", INERT, "loadRealTimeBytesData_points", "buildByExistingPoints/5",
    INERT, "setProtectedArea", "deleteSelectedArea", "setFineScanArea", INERT, INERT,
    "getVertexNum", "getUpdateVertices", INERT, INERT,
]
# Which inert operation takes which inert slot is free, and so is the order
# of the two float getters; each must appear exactly once.
INERT_OPERATIONS = sorted([
    "setChromatographic", "setTruncDist", "setMinWeight", "extractLiveMesh(MeshRawData&)",
    "extractLiveMesh(Vertices**, int&, PolygonMesh**, int&)", "loadRealTimeBytesData_mesh",
    "buildByExistingPoints/7", "readExternalModel", "getMeshNum", "getUpdatePolygons",
    "getPointsNumLimitByResolution"])
FLOAT_GETTERS = sorted(["getTruncDist", "getMinWeight"])

TARGETS = {"Itanium ABI": "x86_64-linux-gnu", "Microsoft ABI": "x86_64-pc-windows-msvc"}
CLASSES = ["fusion::Kelvane", "fusion::Kelvane_Impl_Points"]
PROBE = """#include "fusion/Kelvane.h"
// Virtual calls make the compiler lay out both tables.
int probe(fusion::Kelvane& a, fusion::Kelvane_Impl_Points& b) { return a.init() + b.init(); }
"""


def slot_name(entry):
    """'int fusion::Kelvane::extractLivePoints(fusion::PointRawData &)' ->
    'extractLivePoints(PointRawData&)': overloads by their parameters."""
    name, parameters = re.search(r"::(~?\w+)\((.*)\)", entry).groups()
    if name.startswith("~"):
        return "destructor"
    if name == "extractLivePoints":
        return name + ("(PointRawData&)" if "PointRawData" in parameters else "(Vertices**, int&)")
    if name == "extractLiveMesh":
        return name + ("(MeshRawData&)" if "MeshRawData" in parameters else "(Vertices**, int&, PolygonMesh**, int&)")
    if name == "buildByExistingPoints":
        return name + ("/7" if "PolygonMesh" in parameters else "/5")
    return name


def read_slots(dump, class_name):
    """The slots of `class_name` from the dump's 'indices' table."""
    table = re.search(r"^VF?Table indices for '" + re.escape(class_name) + r"' .*\n((?:\s*\d+ \| .*\n)+)",
                      dump, re.M)
    if not table:
        raise ValueError(f"the dump has no slot table for {class_name}")
    slots = []
    for entry in re.findall(r"\d+ \| (.*)", table.group(1)):
        name = slot_name(entry)
        if not (name == "destructor" and slots[-1:] == ["destructor"]):
            slots.append(name)
    return slots


def compare(slots):
    """What is wrong with `slots`; empty when they are in the required order."""
    problems = [f"{len(slots)} slots, {len(REQUIRED)} required"] if len(slots) != len(REQUIRED) else []
    inert = [have for have, want in zip(slots, REQUIRED) if want == INERT]
    getters = [have for have, want in zip(slots, REQUIRED) if want == FLOAT_GETTER]
    for index, (have, want) in enumerate(zip(slots, REQUIRED)):
        allowed = {INERT: INERT_OPERATIONS, FLOAT_GETTER: FLOAT_GETTERS}.get(want, [want])
        if have not in allowed:
            problems.append(f"slot {index}: {have}, but {want} is required there")
    if not problems and (sorted(inert) != INERT_OPERATIONS or sorted(getters) != FLOAT_GETTERS):
        problems.append(f"each inert operation and float getter once is required: {inert}, {getters}")
    return problems


def dump_layouts(clang, target, include, msvc_std, workdir):
    source = os.path.join(workdir, "probe.cpp")
    with open(source, "w") as probe:
        probe.write(PROBE)
    command = [clang, "--target=" + target, "-std=c++17", "-S", "-emit-llvm", "-o",
               os.path.join(workdir, "probe.ll"), "-Xclang", "-fdump-vtable-layouts", "-I", include, source]
    if "msvc" in target:
        command[1:1] = ["-nostdinc++", "-isystem", msvc_std]
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"clang failed for {target}:\n{result.stderr}")
    return result.stdout


def main(clang, include, msvc_std):
    if not clang or shutil.which(clang) is None:
        print("SKIP: clang++ is not installed (scripts/setup.sh installs it)")
        return 77
    failed = False
    with tempfile.TemporaryDirectory() as workdir:
        for abi, target in TARGETS.items():
            dump = dump_layouts(clang, target, include, msvc_std, workdir)
            for class_name in CLASSES:
                problems = compare(read_slots(dump, class_name))
                print(f"{abi:14} {class_name:28} {'WRONG' if problems else 'ok'}")
                print("".join(f"    {problem}\n" for problem in problems), end="")
                failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_vtable_order.py CLANG++ INCLUDE_DIR MSVC_STD_DIR")
    sys.exit(main(*sys.argv[1:]))
