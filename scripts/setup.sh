#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the tools and the
# fuzzers need. Safe to run again: when everything is present it only
# checks and changes nothing. Run as root on Debian 12 (or with sudo).
set -euo pipefail

PACKAGES=(
  build-essential      # compiler, make
  cmake
  libgtest-dev         # unit tests
  libgmock-dev
  libbenchmark-dev     # benchmarks
  libopencv-core-dev   # 3x3 eigen-decomposition for normals
  libcli11-dev         # command line of the tools
  libstb-dev           # PNG preview written by the tools
  clang                # fuzzers; virtual-table layout check for both C++ ABIs
  clang-format         # the format check of the test command
  libclang-rt-14-dev   # fuzzer and sanitizer runtimes for clang
  python3-dev          # Python package: headers for the extension module
  pybind11-dev         #   its bindings
  python3-numpy        #   arrays in and out
  python3-pytest       #   its tests
  python3-setuptools   # pip install . (offline, --no-build-isolation)
  python3-venv         #   the virtual environment the tests install into
  python3-pip
  python3-open3d       # kelvane.to_open3d and its test
  libboost-dev         # kelvane-fuse --serve: Boost.Beast (HTTP, WebSocket)
  libjs-three          #   three.js and its orbit controls, compiled into the tool
  chromium             #   the browser its test drives
  g++-mingw-w64-x86-64-posix  # Windows build (scripts/windows.sh): MinGW-w64 GCC
  gcc-mingw-w64-x86-64-posix  #   with POSIX threads (std::thread, libgomp) and its C compiler
  googletest           #   GoogleTest's sources, built there with that compiler
  wine                 #   runs the Windows programs
  wine64
  cloudcompare         # the fused PLY as point cloud viewers show it
  meshlab              #   (tests/viewers/check_ply_viewers.py)
  xvfb                 #   both headless, under xvfb-run
  xauth
)
# Node.js and npm for the browser test's driver (playwright-core from the
# npm registry); any node on PATH will do, else Debian's.
if ! command -v npm >/dev/null 2>&1; then
  PACKAGES+=(nodejs npm)
fi

missing=()
for package in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$package")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "setup: missing packages and not root; run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update
"${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
