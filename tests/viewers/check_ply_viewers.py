#!/usr/bin/env python3
"""Opens a cloud fused by kelvane-fuse in the point cloud viewers people use
and checks that they show its extra properties with their real values:

- CloudCompare (Debian's cloudcompare), headless: `CloudCompare -SILENT -O
  fused.ply -SAVE_CLOUDS` under xvfb-run, saved as text with a header; every
  "scalar_" property must come back as a scalar field of the same name
  without the prefix, with the values the file holds.
- MeshLab (Debian's meshlab): `meshlabserver` saves the cloud with its vertex
  quality, which must be the file's "quality" (the grade), not zeros.

    /usr/bin/python3 tests/viewers/check_ply_viewers.py [KELVANE_FUSE]

KELVANE_FUSE defaults to build/release/tools/kelvane-fuse. Needs cloudcompare,
meshlab and xvfb (scripts/setup.sh installs them). Exit status 0 when both
viewers show every value, 1 otherwise.
"""

import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCALARS = ["quality_code", "quality", "scan_level", "protected", "view_id"]


def read_ply(path):
    """The binary little-endian vertex element as a structured array, by its header."""
    data = path.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    types = {"float": "<f4", "double": "<f8", "uchar": "u1", "char": "i1", "ushort": "<u2",
             "short": "<i2", "uint": "<u4", "int": "<i4"}
    header = data[:end].decode()
    count = int(re.search(r"element vertex (\d+)", header).group(1))
    fields = re.findall(r"property (\w+) (\w+)", header.split("element vertex")[1].split("element")[0])
    return np.frombuffer(data, [(name, types[kind]) for kind, name in fields], count, end)


def fuse(tool, work):
    subprocess.run([tool, "-q", "--object", "box", "--frames", "30", "--no-preview", "-o", str(work)],
                   check=True, stdout=subprocess.DEVNULL)
    return read_ply(work / "fused.ply")


def check_cloudcompare(work, cloud):
    subprocess.run(["xvfb-run", "-a", "CloudCompare", "-SILENT", "-O", str(work / "fused.ply"),
                    "-C_EXPORT_FMT", "ASC", "-ADD_HEADER", "-SAVE_CLOUDS", "FILE",
                    str(work / "cloudcompare.asc")], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    lines = (work / "cloudcompare.asc").read_text().splitlines()
    columns = lines[0].lstrip("/").split()
    values = np.array([line.split() for line in lines[1:]], dtype=np.float64)
    problems = []
    if len(values) != len(cloud):
        return [f"CloudCompare loaded {len(values)} points of {len(cloud)}"]
    for axis, name in zip("xyz", "XYZ"):
        if not np.allclose(values[:, columns.index(name)], cloud[axis], rtol=0, atol=1e-5):
            problems.append(f"CloudCompare moved the points along {axis}")
    for axis, name in zip(("nx", "ny", "nz"), ("Nx", "Ny", "Nz")):
        if name not in columns or not np.allclose(values[:, columns.index(name)], cloud[axis], atol=0.01):
            problems.append(f"CloudCompare lost the normals ({name})")
    for name in SCALARS:
        if name not in columns:
            problems.append(f"CloudCompare shows no scalar field '{name}' (columns: {' '.join(columns)})")
        elif not np.array_equal(values[:, columns.index(name)], cloud["scalar_" + name].astype(np.float64)):
            problems.append(f"CloudCompare's '{name}' differs from the file's scalar_{name}")
    return problems


def check_meshlab(work, cloud):
    subprocess.run(["xvfb-run", "-a", "meshlabserver", "-i", str(work / "fused.ply"), "-o",
                    str(work / "meshlab.ply"), "-m", "vq"], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)
    saved = read_ply(work / "meshlab.ply")
    if len(saved) != len(cloud):
        return [f"MeshLab loaded {len(saved)} points of {len(cloud)}"]
    if "quality" not in saved.dtype.names:
        return ["MeshLab kept no vertex quality"]
    if not np.array_equal(saved["quality"], cloud["quality"]):
        return [f"MeshLab's vertex quality differs from the file's (it read "
                f"{np.unique(saved['quality'])[:8]}, the file holds {np.unique(cloud['quality'])[:8]})"]
    return []


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "build/release/tools/kelvane-fuse")
    missing = [p for p in ("CloudCompare", "meshlabserver", "xvfb-run") if shutil.which(p) is None]
    if missing:
        print(f"missing {' '.join(missing)}: apt-get install cloudcompare meshlab xvfb "
              "(scripts/setup.sh installs them)")
        return 1
    with tempfile.TemporaryDirectory(prefix="kelvane-viewers.") as work:
        work = pathlib.Path(work)
        cloud = fuse(tool, work)
        # A cloud whose values cannot tell the viewers' readings apart proves nothing.
        if len(cloud) < 1000 or len(np.unique(cloud["scalar_quality_code"])) < 3:
            print(f"the fused cloud is too plain to check ({len(cloud)} points)")
            return 1
        problems = check_cloudcompare(work, cloud) + check_meshlab(work, cloud)
    for p in problems:
        print(p)
    shown = ", ".join(SCALARS)
    print(f"PLY viewers: {len(cloud)} points; CloudCompare shows {shown}, MeshLab the quality: "
          + ("FAILED" if problems else "every value as written"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
