#!/usr/bin/env bash
# Builds the benchmark suite in release mode, runs it, and prints a summary of
# every median, 95th percentile and ratio it measured.
#
#   scripts/bench.sh                      # the whole suite (a few minutes)
#   scripts/bench.sh 'BM_Stream.*'        # only the benchmarks matching a regex
#
# Environment: KELVANE_BENCH_BUILD (build directory, default build-bench),
# JOBS (parallel build jobs, default 2). Raw results, one JSON file per
# executable, are left in $KELVANE_BENCH_BUILD/bench-results/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVANE_BENCH_BUILD:-$root/build-bench}
results=$build/bench-results
filter=${1:-.}
benches=(memory_bench frame_bench persistence_bench)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVANE_BUILD_BENCH=ON \
  -DKELVANE_BUILD_TESTS=OFF -DKELVANE_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target "${benches[@]}"

mkdir -p "$results"
rm -f "$results"/*.json
for bench in "${benches[@]}"; do
  echo "== $bench"
  "$build/bench/$bench" --benchmark_filter="$filter" \
    --benchmark_out="$results/$bench.json" --benchmark_out_format=json
done

if ! command -v python3 >/dev/null; then
  echo "python3 not found: see the counters above or the JSON in $results"
  exit 0
fi

python3 - "$results"/*.json <<'PY'
import json, sys

# Everything Google Benchmark writes besides our counters.
standard = {"name", "family_index", "per_family_instance_index", "run_name", "run_type",
            "repetitions", "repetition_index", "threads", "iterations", "real_time",
            "cpu_time", "time_unit", "error_occurred", "error_message", "label"}
print("\nSummary (medians _med, 95th percentiles _p95, ratios *_vs_*)")
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
