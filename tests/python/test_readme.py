"""The README's C and Python examples, run as the README shows them.

Each example is the fenced block that follows a `<!-- example: NAME -->`
marker in README.md. KELVANE_C_INCLUDE_DIR and KELVANE_LIBRARY (the shared
library file) tell where the C example finds the interface.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import kelvane
from sweeps import sphere_sweep, write_frame_file

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def example(name):
    match = re.search(r"<!-- example: " + name + r" -->\s*```\w*\n(.*?)```", README.read_text(), re.S)
    assert match, f"README.md has no example marked {name}"
    return match.group(1)


def test_c_example_compiles_as_c99_and_runs(tmp_path):
    compiler = os.environ.get("CC") or shutil.which("cc")
    include, library = os.environ.get("KELVANE_C_INCLUDE_DIR"), os.environ.get("KELVANE_LIBRARY")
    if not (compiler and include and library):
        pytest.skip("needs a C compiler, KELVANE_C_INCLUDE_DIR and KELVANE_LIBRARY")
    source = tmp_path / "fuse_plane.c"
    source.write_text(example("c"))
    program = tmp_path / "fuse_plane"
    subprocess.run([compiler, "-std=c99", "-pedantic-errors", "-Wall", "-Wextra", "-Werror",
                    str(source), "-I", include, library, "-Wl,-rpath," + os.path.dirname(library),
                    "-o", str(program)], check=True)
    result = subprocess.run([str(program)], capture_output=True, text=True, check=True)
    assert result.stdout.endswith("1000 live points, the first at z = 5.0\n")


# Stand-ins for open3d: one that records what it was asked to show, one
# that is not installed.
SHOWING_OPEN3D = """
import numpy as np
class utility:
    Vector3dVector = staticmethod(np.asarray)
class geometry:
    PointCloud = staticmethod(lambda points: points)
class visualization:
    @staticmethod
    def draw_geometries(geometries):
        print("showing", len(geometries[0]), "points")
"""
MISSING_OPEN3D = "raise ImportError('No module named open3d')\n"


@pytest.mark.parametrize("open3d, last_line", [
    (SHOWING_OPEN3D, re.compile(r"showing (\d+) points")),
    (MISSING_OPEN3D, re.compile(r"install python3-open3d to view the cloud")),
], ids=["with open3d", "without open3d"])
def test_python_example_fuses_a_frame_file(tmp_path, open3d, last_line):
    frames = tmp_path / "scan.kfr"
    write_frame_file(frames, [points for points, _ in sphere_sweep(frames=6)])
    (tmp_path / "example.py").write_text(example("python"))
    (tmp_path / "open3d.py").write_text(open3d)
    # The stand-in first, then the package under test, wherever it was imported from.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(kelvane.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), package_root]))
    result = subprocess.run([sys.executable, "example.py", str(frames)], cwd=tmp_path, env=env,
                            capture_output=True, text=True, check=True)
    lines = result.stdout.splitlines()
    live = int(re.fullmatch(r"(\d+) live points", lines[0]).group(1))
    assert live > 4000
    shown = last_line.fullmatch(lines[-1])
    assert shown
    if shown.groups():
        assert int(shown.group(1)) == live
