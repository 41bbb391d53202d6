"""Fixtures of the Python package's tests. The package comes from PYTHONPATH
(the build tree under ctest, an installed prefix in scripts/test.sh);
KELVANE_FUSE names the kelvane-fuse executable to compare with."""

import os
import subprocess

import pytest

from sweeps import sphere_sweep


@pytest.fixture(scope="session")
def sweep():
    return sphere_sweep()


@pytest.fixture(scope="session")
def tool_run(tmp_path_factory):
    """A simulated sweep played by kelvane-fuse, blocking: the frames it
    recorded and the cloud it wrote."""
    tool = os.environ.get("KELVANE_FUSE", "")
    if not os.path.isfile(tool):
        pytest.skip("KELVANE_FUSE does not name the kelvane-fuse executable")
    out = tmp_path_factory.mktemp("tool")
    subprocess.run([tool, "--frames", "12", "--rows", "100", "--columns", "125", "--blocking", "--spacing", "0.3",
                    "--no-preview", "-q", "-o", str(out), "--record", "frames.kfr", "--ply", "fused.ply"],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "frames.kfr", out / "fused.ply"
