"""Builds the kelvane package for pip: CMake compiles the library and the
extension module (nothing else), installs them into a staging directory laid
out as the package (library beside the module, which finds it through its
RPATH), and the files are copied where setuptools collects the wheel.

KELVANE_JOBS sets the parallel build jobs (default 2); KELVANE_CMAKE_ARGS
adds CMake arguments (for example -DKELVANE_OPENMP=OFF)."""

import os
import pathlib
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        stage = pathlib.Path(self.build_temp).resolve() / "stage"
        shutil.rmtree(stage, ignore_errors=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DKELVANE_BUILD_TESTS=OFF", "-DKELVANE_BUILD_BENCH=OFF", "-DKELVANE_BUILD_TOOLS=OFF",
            "-DKELVANE_BUILD_EXAMPLES=OFF", "-DKELVANE_BUILD_PYTHON=ON",
            # The package directory is both where the module goes and the
            # library directory, so the module's RPATH is $ORIGIN.
            "-DKELVANE_PYTHON_INSTALL_DIR=.", "-DCMAKE_INSTALL_LIBDIR=kelvane",
            *shlex.split(os.environ.get("KELVANE_CMAKE_ARGS", "")),
        ]
        jobs = os.environ.get("KELVANE_JOBS", "2")
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "-j", jobs, "--target", "kelvane_python"], check=True)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(stage)], check=True,
                       stdout=subprocess.DEVNULL)
        module = next((stage / "kelvane").glob("_kelvane*"), None)
        if module is None:
            sys.exit("kelvane: CMake built no extension module (are python3-dev, python3-numpy and "
                     "pybind11-dev installed?)")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(module, target)
        # The module needs the library under its SONAME only; wheels carry
        # no symbolic links, so the other names would be whole copies.
        for library in (stage / "kelvane").glob("libKelvane_Impl_Points*"):
            if not library.is_symlink():
                soname = library.name.rsplit(".", 2)[0]  # libX.so.0.1.0 -> libX.so.0
                shutil.copyfile(library, target.parent / soname)


setup(ext_modules=[Extension("kelvane._kelvane", sources=[])], cmdclass={"build_ext": CMakeBuild})
