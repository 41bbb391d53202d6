#!/usr/bin/env bash
# Builds the benchmarks in release mode, streams the three loads (dense
# sphere, realistic handheld sweep, handheld sweep over a statue) through the
# engine, has Open3D fuse the very same
# frames in the same run, and prints one table: ours, Open3D and the ratio
# per load, with the targets marked PASS or MISS.
#
#   scripts/bench.sh                  # the streaming table (a few minutes)
#   scripts/bench.sh --all            # also the memory, persistence and normal benchmarks
#   scripts/bench.sh 'BM_Blocking.*'  # only the benchmarks matching a regex (implies --all)
#   scripts/bench.sh --repeat 3       # 3 rounds, ours and the peer taking turns; medians over them
#   scripts/bench.sh --no-peer        # without Open3D
#   scripts/bench.sh --save-baseline  # also keep this run's dense figures as "today"
#                                     # (bench/baseline.json), what later runs compare with
#   scripts/bench.sh --large          # only the large row: the 2.4 x 1.2 m panel (1,770 frames at
#                                     # 15 fps, about 6 minutes with the Open3D batch)
#   scripts/bench.sh --large 600x300  # the same row on a smaller panel, for a quick check
#
# Open3D comes from Debian (python3-open3d, run by /usr/bin/python3); when it
# is missing and we are root, it is installed here first.
# Environment: KELVANE_BENCH_BUILD (build directory, default build-bench),
# JOBS (parallel build jobs, default KELVANE_JOBS or 2). Raw results are left in
# $KELVANE_BENCH_BUILD/bench-results/ (one JSON file per executable and, for
# the streaming sweeps and the peer, per round; the exported frames).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVANE_BENCH_BUILD:-$root/build-bench}
results=$build/bench-results
python=/usr/bin/python3
filter=.
all=0
peer=1
save_baseline=0
repeat=1
large=""
while [[ $# -gt 0 ]]; do
  arg=$1
  shift
  case "$arg" in
    --repeat)
      repeat=${1:-}
      shift || true
      [[ $repeat =~ ^[1-9][0-9]*$ ]] || { echo "bench.sh: --repeat needs a positive count" >&2; exit 1; } ;;
    --all) all=1 ;;
    --large)
      large=2400x1200
      if [[ ${1:-} =~ ^[0-9]+(\.[0-9]+)?x[0-9]+(\.[0-9]+)?$ ]]; then
        large=$1
        shift
      fi ;;
    --no-peer) peer=0 ;;
    --save-baseline) save_baseline=1 ;;
    -h|--help) awk 'NR > 1 && /^#/ { print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    -*) echo "bench.sh: unknown option $arg" >&2; exit 1 ;;
    *) filter=$arg; all=1 ;;
  esac
done

stream=(stream_bench export_frames)
others=(memory_bench persistence_bench normal_bench)
targets=("${stream[@]}")
[[ $all -eq 1 ]] && targets+=("${others[@]}")

# The peer's packages, installed only when missing.
install_peer() {
  local missing=()
  for package in python3-open3d python3-numpy; do
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) == "install ok installed" ]] ||
      missing+=("$package")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "bench.sh: ${missing[*]} missing and not root: the Open3D peer is skipped" >&2
    return 1
  fi
  echo "== installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
if [[ $peer -eq 1 ]] && ! { command -v dpkg-query >/dev/null && install_peer; }; then
  peer=0
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_BENCH=ON \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_TOOLS=OFF -DKELVANE_BUILD_EXAMPLES=OFF >/dev/null

# The large row alone: the panel swept at 15 frames a second, the whole-model
# operations on the result (bench/large_run), the Python package on its
# snapshot and Open3D's batch on its input points (bench/large_row.py).
if [[ -n $large ]]; then
  cmake --build "$build" -j"${JOBS:-${KELVANE_JOBS:-2}}" --target large_run kelvane_python
  mkdir -p "$results"
  echo "== machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "== large_run: the ${large} mm panel"
  points_args=()
  [[ $peer -eq 1 ]] && points_args=(--points "$results/panel.f32")
  "$build/bench/large_run" --size "$large" --fps 15 --snapshot "$results/panel.snap" \
    "${points_args[@]}" --out "$results/large.json" | sed 's/^/  /'
  row_args=(--run "$results/large.json" --snapshot "$results/panel.snap" --size "$large"
    --out "$results/large_row.json")
  [[ $peer -eq 1 ]] && row_args+=(--points "$results/panel.f32")
  echo "== the Python package on its snapshot$([[ $peer -eq 1 ]] && echo ", Open3D's batch on its points")"
  PYTHONPATH="$build/python" "$python" "$root/bench/large_row.py" "${row_args[@]}"
  echo "  load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
  rm -f "$results/panel.f32" "$results/panel.snap"
  exit 0
fi

cmake --build "$build" -j"${JOBS:-${KELVANE_JOBS:-2}}" --target "${targets[@]}"

mkdir -p "$results/frames"
rm -f "$results"/*.json
echo "== machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

if [[ $all -eq 1 ]]; then
  for bench in "${others[@]}"; do
    echo "== $bench"
    "$build/bench/$bench" --benchmark_filter="$filter" \
      --benchmark_out="$results/$bench.json" --benchmark_out_format=json
  done
fi

# Ours and the peer take turns, one round each per repetition: a machine
# whose speed drifts (other guests, frequency) then slows both sides alike,
# and the table's medians over the rounds compare like with like.
if [[ $peer -eq 1 ]]; then
  loads=()
  for load in dense realistic statue; do
    "$build/bench/export_frames" "$load" "$results/frames/$load.kvd"
    loads+=(--load "$load=$results/frames/$load.kvd")
  done
fi
for ((round = 1; round <= repeat; ++round)); do
  tag=$(printf %02d "$round")
  echo "== round $round of $repeat: stream_bench"
  "$build/bench/stream_bench" --benchmark_filter="$filter" \
    --benchmark_out="$results/stream_bench.$tag.json" --benchmark_out_format=json
  if [[ $peer -eq 1 ]]; then
    echo "== round $round of $repeat: Open3D on the same frames"
    "$python" "$root/bench/peer_open3d.py" "${loads[@]}" --out "$results/peer.$tag.json" ||
      echo "bench.sh: the Open3D peer failed its sanity check; its figures are left out" >&2
  fi
done

table_args=(--stream "$results"/stream_bench.*.json --baseline "$root/bench/baseline.json")
peer_files=("$results"/peer.*.json)
[[ -f ${peer_files[0]} ]] && table_args+=(--peer "${peer_files[@]}")
[[ $save_baseline -eq 1 ]] && table_args+=(--save-baseline "$root/bench/baseline.json"
  --baseline-note "dense figures of $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?'), $(date -u +%F),
$(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)")
echo
echo "== ours against Open3D, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$python" "$root/bench/bench_table.py" "${table_args[@]}"

if [[ $all -eq 1 ]]; then
  "$python" - "$results"/{memory,persistence,normal}_bench.json <<'PY'
import json, sys

# Everything Google Benchmark writes besides our counters.
standard = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
            "repetitions", "repetition_index", "threads", "iterations", "real_time",
            "cpu_time", "time_unit", "error_occurred", "error_message", "label"}
print("\nOther benchmarks (medians _med, 95th percentiles _p95, ratios *_vs_*)")
for path in sys.argv[1:]:
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        continue  # nothing matched the filter in this executable
    for run in data.get("benchmarks", []):
        name = run["name"].split("/iterations")[0]
        if run.get("error_occurred"):
            print(f"\n{name}: SKIPPED ({run.get('error_message', '')})")
            continue
        print(f"\n{name}")
        for key in sorted(k for k in run if k not in standard):
            value = run[key]
            text = f"{value:,.0f}" if abs(value) >= 1000 else f"{value:.4g}"
            print(f"  {key:<28} {text:>16}")
PY
fi
