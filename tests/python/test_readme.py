"""The README's C and Python examples, run as the README shows them: each is
the fenced block after a `<!-- example: NAME -->` marker. The C example finds
the interface through KELVANE_C_INCLUDE_DIR and KELVANE_LIBRARY (the file)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import kelvane
from sweeps import sphere_sweep, write_frame_file

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()


def example(name):
    return re.search(r"<!-- example: " + name + r" -->\s*```\w*\n(.*?)```", README, re.S).group(1)


def test_c_example_compiles_as_c99_and_runs(tmp_path):
    compiler = os.environ.get("CC") or shutil.which("cc")
    include, library = os.environ.get("KELVANE_C_INCLUDE_DIR"), os.environ.get("KELVANE_LIBRARY")
    if not (compiler and include and library):
        pytest.skip("needs a C compiler, KELVANE_C_INCLUDE_DIR and KELVANE_LIBRARY")
    include, library = os.path.abspath(include), os.path.abspath(library)
    (tmp_path / "fuse_plane.c").write_text(example("c"))
    subprocess.run([compiler, "-std=c99", "-pedantic-errors", "-Wall", "-Wextra", "-Werror", "fuse_plane.c",
                    "-I", include, library, "-Wl,-rpath," + os.path.dirname(library), "-o", "fuse_plane"],
                   cwd=tmp_path, check=True)
    result = subprocess.run([str(tmp_path / "fuse_plane")], capture_output=True, text=True, check=True)
    assert result.stdout.endswith("1000 live points, the first at z = 5.0\n")


# Stands in for open3d, which would open a window: says what it was to show.
FAKE_OPEN3D = """import numpy
utility = geometry = visualization = type("module", (), {})
utility.Vector3dVector = geometry.PointCloud = staticmethod(numpy.asarray)
visualization.draw_geometries = staticmethod(lambda clouds: print("showing", len(clouds[0]), "points"))
"""


@pytest.mark.parametrize("open3d", [FAKE_OPEN3D, "raise ImportError"], ids=["with open3d", "without"])
def test_python_example_fuses_a_frame_file(tmp_path, open3d):
    write_frame_file(tmp_path / "scan.kfr", [points for points, _ in sphere_sweep(frames=6)])
    (tmp_path / "example.py").write_text(example("python"))
    (tmp_path / "open3d.py").write_text(open3d)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(kelvane.__file__)))
    result = subprocess.run([sys.executable, "example.py", "scan.kfr"], cwd=tmp_path, capture_output=True,
                            text=True, check=True, env=dict(os.environ, PYTHONPATH=f"{tmp_path}:{package_root}"))
    lines = result.stdout.splitlines()
    live = int(re.fullmatch(r"(\d+) live points", lines[0]).group(1))
    assert live > 4000
    assert lines[-1] == (f"showing {live} points" if open3d == FAKE_OPEN3D else "install python3-open3d to view the cloud")
