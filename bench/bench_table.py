#!/usr/bin/python3
"""Prints the streaming benchmarks beside the Open3D peer as one table.

Inputs: the Google Benchmark JSON of stream_bench, the peer's JSON
(bench/peer_open3d.py) and, for the "no slower than today" rows, a baseline
of the dense figures saved from an earlier run (--save-baseline writes one).
Standard library only.

  bench_table.py --stream S1.json [S2.json ...] [--peer P1.json [P2.json ...]]
                 [--baseline B.json] [--save-baseline B.json]

With several rounds (scripts/bench.sh --repeat N alternates our sweeps and
the peer's), every figure is the median over the rounds.
"""

import argparse
import json
import sys

LOADS = ("dense", "realistic", "statue")
# The targets hold on both loads that look like real scans.
REAL = ("realistic", "statue")
NOISE = 1.10  # "no slower / no higher than today" allows 10 % for a shared machine


def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def load_stream(paths):
    """{benchmark: {load: counters}} from stream_bench's JSON files, one per
    round. Each counter is the median over the rounds (and over repetitions
    within a file)."""
    values = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for run in data.get("benchmarks", []):
            name = run.get("run_name", run["name"]).split("/iterations")[0]
            family, _, load = name.partition("/")
            if load not in LOADS or run.get("error_occurred") or run.get("run_type") == "aggregate":
                continue
            counters = values.setdefault(family, {}).setdefault(load, {})
            for key, value in run.items():
                if not isinstance(value, (int, float)) or isinstance(value, bool):
                    continue
                # Resident growth means something only in a process's first
                # sweep: later ones reuse pages the allocator kept.
                if key == "rss_growth_mib" and run.get("repetition_index", 0) != 0:
                    continue
                counters.setdefault(key, []).append(value)
    return {family: {load: {key: median(v) for key, v in counters.items()}
                     for load, counters in by_load.items()}
            for family, by_load in values.items()}


def load_peer(paths):
    """The peer's report, one file per round: per load, the median of each
    figure over the rounds; a load counts only when every round was sane."""
    reports = []
    for path in paths:
        try:
            with open(path) as f:
                reports.append(json.load(f))
        except (OSError, ValueError):
            pass
    if not reports:
        return {}, {}
    meta = dict(reports[0])
    loads = {}
    for name in reports[0].get("loads", {}):
        rounds = [r.get("loads", {}).get(name, {}) for r in reports]
        merged = dict(rounds[0])
        for key, value in rounds[0].items():
            if isinstance(value, (int, float)) and not isinstance(value, bool):
                merged[key] = median([r.get(key) for r in rounds])
        merged["sane"] = all(r.get("sane") for r in rounds)
        if not merged["sane"]:
            merged["why"] = next(r.get("why") for r in rounds if not r.get("sane"))
        loads[name] = merged
    meta["loads"] = loads
    meta["rounds"] = len(reports)
    return {k: v for k, v in loads.items() if v.get("sane")}, meta


def fmt(value, unit=""):
    if value is None:
        return "-"
    if unit == "M":
        return f"{value / 1e6:.2f} M/s"
    if abs(value) >= 100:
        return f"{value:,.0f}{unit}"
    return f"{value:.3g}{unit}" if abs(value) < 10 else f"{value:.1f}{unit}"


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


class Table:
    def __init__(self):
        self.rows = []

    def add(self, label, ours, peer, unit="", check=""):
        """ours, peer: {load: value or None}."""
        cells = [label]
        for load in LOADS:
            cells += [fmt(ours.get(load), unit), fmt(peer.get(load), unit), fmt(ratio(ours.get(load), peer.get(load)))]
        cells.append(check)
        self.rows.append(cells)

    def print(self):
        header = ["metric"]
        for load in LOADS:
            header += [f"{load}: ours", "Open3D", "ratio"]
        header.append("target, on realistic and statue")
        widths = [max(len(str(r[i])) for r in self.rows + [header]) for i in range(len(header))]
        line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
        print(line(header))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(line(r))


def mark(ok):
    return "n/a" if ok is None else ("PASS" if ok else "MISS")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stream", required=True, nargs="+", help="one JSON per round")
    parser.add_argument("--peer", nargs="+", help="one JSON per round")
    parser.add_argument("--baseline")
    parser.add_argument("--save-baseline")
    parser.add_argument("--baseline-note", help="where and when the saved baseline was measured")
    args = parser.parse_args()

    runs = load_stream(args.stream)
    peer, meta = load_peer(args.peer or [])
    baseline = {}
    if args.baseline:
        try:
            with open(args.baseline) as f:
                baseline = json.load(f)
        except (OSError, ValueError):
            pass

    def ours(family, counter):
        return {load: runs.get(family, {}).get(load, {}).get(counter) for load in LOADS}

    def theirs(counter):
        return {load: peer.get(load, {}).get(counter) for load in LOADS}

    nb_med, nb_p95 = ours("BM_NonBlocking", "call_ms_med"), ours("BM_NonBlocking", "call_ms_p95")
    bl_med, bl_p95 = ours("BM_Blocking", "call_ms_med"), ours("BM_Blocking", "call_ms_p95")
    tsdf_med, tsdf_p95 = theirs("tsdf_ms_med"), theirs("tsdf_ms_p95")
    bl_rate, nb_rate = ours("BM_Blocking", "pts_per_s"), ours("BM_NonBlocking", "pts_per_s")
    dropped_paced = ours("BM_Paced30fps", "dropped")
    nb_growth, bl_growth = ours("BM_NonBlocking", "f100_vs_f10"), ours("BM_Blocking", "f100_vs_f10")
    rss = ours("BM_NonBlocking", "rss_growth_mib")
    bl_cpu, tsdf_cpu = ours("BM_Blocking", "cpu_ms_med"), theirs("tsdf_cpu_ms_med")

    def at_most(value, limit):
        return None if value is None or limit is None else value <= limit

    def every(test):
        """PASS when `test(load)` holds on both real loads; n/a when one cannot be judged."""
        results = [test(load) for load in REAL]
        return None if any(r is None for r in results) else all(results)

    def shown(values):
        return " / ".join(fmt(v) for v in values)

    t = Table()
    vs_tsdf = [ratio(nb_med[l], tsdf_med[l]) for l in REAL]
    t.add("non-blocking process, median (ms)", nb_med, tsdf_med, check=(
        f"<= 1.0 x TSDF (is {shown(vs_tsdf)} x, aim 0.6 x): "
        f"{mark(every(lambda l: at_most(ratio(nb_med[l], tsdf_med[l]), 1.0)))}"))
    p95_vs = [ratio(nb_p95[l], tsdf_med[l]) for l in REAL]
    t.add("non-blocking process, p95 (ms)", nb_p95, tsdf_p95, check=(
        f"<= 1.5 x TSDF median (is {shown(p95_vs)} x) and < 33 ms: "
        f"{mark(every(lambda l: None if nb_p95[l] is None else (nb_p95[l] < 33.0 and at_most(ratio(nb_p95[l], tsdf_med[l]), 1.5) is not False)))}"))
    # What a live scanner's host waits: frames 1/30 s apart.
    t.add("non-blocking process at 30 fps, median (ms)", ours("BM_Paced30fps", "call_ms_med"),
          tsdf_med)
    bl_vs = [ratio(bl_med[l], tsdf_med[l]) for l in REAL]
    t.add("blocking process, median (ms)", bl_med, tsdf_med, check=(
        f"<= 0.8 x TSDF (is {shown(bl_vs)} x): "
        f"{mark(every(lambda l: at_most(ratio(bl_med[l], tsdf_med[l]), 0.8)))}"))
    t.add("blocking process, p95 (ms)", bl_p95, tsdf_p95)
    t.add("blocking, processor time, median (ms)", bl_cpu, tsdf_cpu, check=(
        f"<= TSDF's: {mark(every(lambda l: at_most(ratio(bl_cpu[l], tsdf_cpu[l]), 1.0)))}"))
    t.add("throughput, blocking (Open3D: batch)", bl_rate, theirs("batch_pts_per_s"),
          unit="M", check=(f">= 4 M points/s: "
                           f"{mark(every(lambda l: None if bl_rate[l] is None else bl_rate[l] >= 4e6))}"))
    t.add("throughput, non-blocking (Open3D: TSDF)", nb_rate, theirs("tsdf_pts_per_s"),
          unit="M")
    t.add("second stages dropped at 30 fps", dropped_paced, {},
          check=f"0: {mark(every(lambda l: None if dropped_paced[l] is None else dropped_paced[l] == 0))}")
    t.add("second stages dropped, back to back", ours("BM_NonBlocking", "dropped"), {})
    t.add("frame 100 / frame 10, non-blocking", nb_growth, theirs("tsdf_f100_vs_f10"),
          check=f"<= 1.2: {mark(every(lambda l: at_most(nb_growth[l], 1.2)))}")
    t.add("frame 100 / frame 10, blocking", bl_growth, theirs("tsdf_f100_vs_f10"),
          check=f"<= 1.2: {mark(every(lambda l: at_most(bl_growth[l], 1.2)))}")
    t.add("resident growth over the sweep (MiB)", rss, {})
    # A host draining on another thread (its render thread) while frames stream.
    aside_p99 = ours("BM_DrainedAside", "aside_drain_ms_p99")
    aside_max = ours("BM_DrainedAside", "aside_drain_ms_max")
    t.add("drain from a second thread, p99 (ms)", aside_p99, {})
    t.add("drain from a second thread, longest (ms)", aside_max, {},
          check=f"<= 5 ms: {mark(every(lambda l: at_most(aside_max[l], 5.0)))}")
    t.add("points in the model (Open3D: extracted)", ours("BM_NonBlocking", "live_points"), theirs("tsdf_points"))

    t.print()

    # Dense frames against the figures saved from an earlier run.
    today = baseline.get("dense", {})
    if today:
        print("\nDense frames against today (bench/baseline.json; 10 % allowed for a shared machine):")
        for label, key, value, unit in (("non-blocking process, median", "nonblocking_ms_med", nb_med["dense"], " ms"),
                                        ("blocking process, median", "blocking_ms_med", bl_med["dense"], " ms"),
                                        ("blocking, processor time, median", "blocking_cpu_ms_med", bl_cpu["dense"], " ms"),
                                        ("resident growth over the sweep", "rss_growth_mib", rss["dense"], " MiB")):
            rel = ratio(value, today.get(key))
            print(f"  {label:<32} {fmt(value, unit):>10} against {fmt(today.get(key), unit):>10} "
                  f"({fmt(rel)} x): {mark(at_most(rel, NOISE))}")
    print()

    notes = []
    if meta:
        notes.append(f"Open3D {meta.get('open3d')} on {meta.get('cpu_count')} cores (OMP_NUM_THREADS "
                     f"{meta.get('omp_num_threads')}); TSDF voxel {meta.get('resolution')} mm, sdf_trunc "
                     f"{meta.get('sdf_trunc_mm')} mm; cores kept busy by integrate: "
                     + ", ".join(f"{k} {v.get('tsdf_cpu_per_wall', 0):.2f}" for k, v in meta.get("loads", {}).items()))
        for k, v in meta.get("loads", {}).items():
            busy = v.get("tsdf_cpu_per_wall", 0)
            if v.get("sane") and busy < 0.8 * (meta.get("cpu_count") or 1):
                notes.append(f"Open3D's integrate kept only {busy:.2f} of {meta.get('cpu_count')} cores busy on {k}: "
                             "other processes held a core and its short parallel regions waited for it; its times "
                             "and the ratios carry that noise")
            if not v.get("sane"):
                notes.append(f"Open3D on {k} is NOT SANE ({v.get('why')}): its column is left out")
    if not today and not args.save_baseline:
        notes.append("no baseline of today's dense figures: run scripts/bench.sh --save-baseline once on the "
                     "engine to compare with")
    elif today.get("note"):
        notes.append(f"baseline: {today['note']}")
    for n in notes:
        print("  " + n)

    if args.save_baseline:
        record = {"dense": {"nonblocking_ms_med": nb_med["dense"], "blocking_ms_med": bl_med["dense"],
                            "blocking_cpu_ms_med": bl_cpu["dense"], "rss_growth_mib": rss["dense"],
                            "note": args.baseline_note or "saved by scripts/bench.sh --save-baseline"}}
        with open(args.save_baseline, "w") as f:
            json.dump(record, f, indent=1)
            f.write("\n")
        print(f"  saved the dense figures to {args.save_baseline}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
