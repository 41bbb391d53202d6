"""Shared pieces of the Python package's tests.

The package is imported from PYTHONPATH: the build tree (<build>/python)
under ctest, or an installed prefix in scripts/test.sh. KELVANE_FUSE names
the kelvane-fuse executable for the comparison with the C++ tool.
"""

import os
import subprocess

import pytest

from sweeps import sphere_sweep


@pytest.fixture(scope="session")
def sweep():
    return sphere_sweep()


@pytest.fixture(scope="session")
def fuse_tool():
    tool = os.environ.get("KELVANE_FUSE", "")
    if not tool or not os.path.isfile(tool):
        pytest.skip("KELVANE_FUSE does not name the kelvane-fuse executable")
    return tool


@pytest.fixture(scope="session")
def tool_run(fuse_tool, tmp_path_factory):
    """A simulated sweep played by kelvane-fuse in blocking mode: the frames
    it recorded and the fused cloud it wrote."""
    out = tmp_path_factory.mktemp("tool")
    subprocess.run([fuse_tool, "--frames", "12", "--rows", "100", "--columns", "125", "--blocking",
                    "--spacing", "0.3", "--no-preview", "-q", "-o", str(out),
                    "--record", "frames.kfr", "--ply", "fused.ply"],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "frames.kfr", out / "fused.ply"
