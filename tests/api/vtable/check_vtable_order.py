#!/usr/bin/env python3
"""Checks the virtual-table slot order of the public interface classes, part
of the interface for hosts built by other compilers, under the Itanium ABI
(Linux, MinGW) and the Microsoft ABI (MSVC), from clang's layout dump for
either target (MSVC_STD_DIR stands in for that target's standard headers).
Exit 0: both ABIs match; 1: a mismatch; 77: no clang.

usage: check_vtable_order.py CLANG++ INCLUDE_DIR MSVC_STD_DIR
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

INERT, FLOAT_GETTER = "inert", "float getter"
# The destructor is one slot (the Itanium ABI gives it two entries).
REQUIRED = [
    "destructor", "init", "isInit", "deInit", "reset", "setDeviceInfo", "getDeviceInfo", "setResolution",
    "getResolution", "setQualityJudge", INERT, INERT, FLOAT_GETTER, INERT, FLOAT_GETTER, "setProcessFinishedCallBack",
    "process", "dataOrganize", "getRequiredMemoryForExtractData", "getLastErrorMessage", INERT, INERT,
    "extractLivePoints(PointRawData&)", "extractLivePoints(Vertices**, int&)", "saveRealTimeBytesData", INERT,
    "loadRealTimeBytesData_points", "buildByExistingPoints/5", INERT, "setProtectedArea", "deleteSelectedArea",
    "setFineScanArea", INERT, INERT, "getVertexNum", "getUpdateVertices", INERT, INERT]
# Which inert operation takes which inert slot is free, and so is the order
# of the two float getters; each must appear exactly once.
ALLOWED = {
    INERT: sorted(["setChromatographic", "setTruncDist", "setMinWeight", "extractLiveMesh(MeshRawData&)",
                   "extractLiveMesh(Vertices**, int&, PolygonMesh**, int&)", "loadRealTimeBytesData_mesh",
                   "buildByExistingPoints/7", "readExternalModel", "getMeshNum", "getUpdatePolygons",
                   "getPointsNumLimitByResolution"]),
    FLOAT_GETTER: ["getMinWeight", "getTruncDist"],
}
# Overloads are told apart by a parameter type only one of them has.
OVERLOADS = {"extractLivePoints": ("PointRawData", "(PointRawData&)", "(Vertices**, int&)"),
             "extractLiveMesh": ("MeshRawData", "(MeshRawData&)", "(Vertices**, int&, PolygonMesh**, int&)"),
             "buildByExistingPoints": ("PolygonMesh", "/7", "/5")}
TARGETS = {"Itanium ABI": "x86_64-linux-gnu", "Microsoft ABI": "x86_64-pc-windows-msvc"}
PROBE = """#include "fusion/Kelvane.h"
// Virtual calls make the compiler lay out both tables.
int probe(fusion::Kelvane& a, fusion::Kelvane_Impl_Points& b) { return a.init() + b.init(); }
"""


def read_slots(dump, class_name):
    """The slot names of `class_name` from the dump's 'indices' table."""
    table = re.search(r"^VF?Table indices for '" + re.escape(class_name) + r"' .*\n((?:\s*\d+ \| .*\n)+)",
                      dump, re.M)
    slots = []
    for name, parameters in re.findall(r"\d+ \| .*?::(~?\w+)\((.*)\)", table.group(1) if table else ""):
        if name in OVERLOADS:
            marker, with_marker, without = OVERLOADS[name]
            name += with_marker if marker in parameters else without
        name = "destructor" if name.startswith("~") else name
        if not (name == "destructor" and slots[-1:] == ["destructor"]):
            slots.append(name)
    return slots


def compare(slots):
    """What is wrong with `slots`; empty when they are in the required order."""
    problems = [f"{len(slots)} slots, {len(REQUIRED)} required"] if len(slots) != len(REQUIRED) else []
    problems += [f"slot {index}: {have}, but {want} is required there" for index, (have, want)
                 in enumerate(zip(slots, REQUIRED)) if have not in ALLOWED.get(want, [want])]
    return problems + [f"each {kind} operation once is required" for kind, names in ALLOWED.items()
                       if sorted(have for have, want in zip(slots, REQUIRED) if want == kind) != names]


def main(clang, include, msvc_std):
    if not clang or shutil.which(clang) is None:
        print("SKIP: clang++ is not installed (scripts/setup.sh installs it)")
        return 77
    failed = False
    with tempfile.TemporaryDirectory() as workdir:
        source = os.path.join(workdir, "probe.cpp")
        pathlib.Path(source).write_text(PROBE)
        for abi, target in TARGETS.items():
            command = [clang, "--target=" + target, "-std=c++17", "-S", "-emit-llvm", "-o", os.devnull,
                       "-Xclang", "-fdump-vtable-layouts", "-I", include, source]
            if "msvc" in target:
                command[1:1] = ["-nostdinc++", "-isystem", msvc_std]
            result = subprocess.run(command, capture_output=True, text=True)
            if result.returncode != 0:
                raise RuntimeError(f"clang failed for {target}:\n{result.stderr}")
            for class_name in ["fusion::Kelvane", "fusion::Kelvane_Impl_Points"]:
                problems = compare(read_slots(result.stdout, class_name))
                print(f"{abi:14} {class_name:28} {'WRONG' if problems else 'ok'}")
                print("".join(f"    {problem}\n" for problem in problems), end="")
                failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check_vtable_order.py CLANG++ INCLUDE_DIR MSVC_STD_DIR")
    sys.exit(main(*sys.argv[1:]))
