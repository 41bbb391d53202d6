#!/usr/bin/env bash
# What the built-in eigen-solver changes against OpenCV's: builds kelvane-fuse
# serially (OpenMP off, so runs are deterministic) once with each solver,
# fuses the simulated sweeps with both, and prints per sweep how many fused
# records are byte-identical, and both models' accuracy against the true
# object (distance, normals, coverage, doubled layers).
#
#   scripts/eigen_compare.sh
#
# Environment: JOBS (parallel build jobs, default 2). Build trees:
# build-serial (built-in) and build-serial-opencv, shared with
# scripts/same_results.sh.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
configure() {  # <dir> <solver>
  cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE=Release -DKELVANE_OPENMP=OFF \
    -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_BENCH=OFF -DKELVANE_BUILD_EXAMPLES=OFF \
    -DKELVANE_BUILD_PYTHON=OFF -DKELVANE_EIGEN="$2" >/dev/null
  cmake --build "$1" -j"${JOBS:-2}" --target kelvane-fuse >/dev/null
}
configure "$root/build-serial" builtin
configure "$root/build-serial-opencv" opencv

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sweeps=("sphere --frames 50 --blocking" "box --frames 50 --blocking" "torus --frames 50 --blocking"
        "bumpy --frames 50 --settle" "plate --frames 50 --settle" "bumpy --handheld --blocking"
        "bumpy --handheld --settle" "statue --blocking" "statue --settle")
for sweep in "${sweeps[@]}"; do
  read -r object rest <<<"$sweep"
  for solver in builtin opencv; do
    build=$root/build-serial; [[ $solver == opencv ]] && build=$root/build-serial-opencv
    # shellcheck disable=SC2086
    "$build/tools/kelvane-fuse" -q --object "$object" $rest --no-preview \
      --ply "$work/$solver.ply" >"$work/$solver.report"
  done
  echo "== $object $rest"
  /usr/bin/python3 - "$work" <<'PY'
import re, sys
import numpy as np
work = sys.argv[1]
def records(path):
    data = open(path, "rb").read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    n = int(re.search(rb"element vertex (\d+)", data).group(1))
    size = (len(data) - end) // n if n else 0
    return n, {data[end + i * size:end + (i + 1) * size] for i in range(n)}
n_ours, ours = records(f"{work}/builtin.ply")
n_ref, ref = records(f"{work}/opencv.ply")
same = len(ours & ref)
print(f"  records: built-in {n_ours}, OpenCV {n_ref}; byte-identical {same}, "
      f"differing {n_ours - same} ({100.0 * (n_ours - same) / max(n_ours, 1):.3f} %)")
for solver in ("builtin", "opencv"):
    text = open(f"{work}/{solver}.report").read()
    lines = text.split("against the true object", 1)[1].splitlines()[:2]
    print(f"  {solver:8s}" + " ".join(l.strip() for l in lines))
PY
done
