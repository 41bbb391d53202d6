#!/usr/bin/python3
"""The large row of scripts/bench.sh: the panel job's figures in one table.

Reads what bench/large_run measured (JSON), times the Python package on the
snapshot large_run saved (load into a fresh Fusion, extract, save: each
hands the library's array to numpy without a copy), runs Open3D's offline
batch on the same input points (voxel_down_sample at the resolution, then
estimate_normals) when they fit in the memory available, and prints the
row with the targets marked PASS or MISS.

  large_row.py --run large.json --snapshot panel.snap [--points panel.f32] [--out row.json]

Run with Debian's interpreter (/usr/bin/python3) and the package on the path
(PYTHONPATH=<build>/python).
"""

import argparse
import gc
import json
import os
import sys
import time

import numpy as np


def available_bytes():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, 1000.0 * (time.perf_counter() - start)


def python_package(snapshot):
    """Load, extract and save through kelvane, as the job's user did."""
    import kelvane

    data = np.fromfile(snapshot, dtype=np.uint8)
    with kelvane.Fusion(resolution=0.5, point_spacing=0.3) as fusion:
        loaded, load_ms = timed(lambda: fusion.load(data))
        del data
        figures = {"py_load_ms": load_ms, "py_points": len(loaded)}
        del loaded
        extract_ms, save_ms = [], []
        for _ in range(3):
            cloud, ms = timed(fusion.extract)
            extract_ms.append(ms)
            shared = not cloud.flags.owndata
            del cloud
            saved, ms = timed(fusion.save)
            save_ms.append(ms)
            del saved
        figures.update({"py_extract_ms": float(np.median(extract_ms)), "py_extract_first_ms": extract_ms[0],
                        "py_save_ms": float(np.median(save_ms)), "py_save_first_ms": save_ms[0],
                        "py_no_copy": shared})
    gc.collect()
    return figures


def open3d_batch(points_path, resolution):
    """Open3D's offline reconstruction of the same input points, when it fits."""
    count = os.path.getsize(points_path) // 12
    # float32 from the file, float64 for Open3D, its own copy and the voxel
    # map: about 80 bytes a point at the peak.
    need = 80 * count
    if need > 0.8 * available_bytes():
        return {"o3d_skipped": f"needs about {need / 1e9:.1f} GB, {available_bytes() / 1e9:.1f} GB available"}
    import open3d as o3d

    o3d.utility.set_verbosity_level(o3d.utility.VerbosityLevel.Error)
    points = np.fromfile(points_path, dtype=np.float32).reshape(-1, 3).astype(np.float64)
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(points))
    del points
    t0 = time.perf_counter()
    down = cloud.voxel_down_sample(resolution)
    t1 = time.perf_counter()
    down.estimate_normals(o3d.geometry.KDTreeSearchParamHybrid(radius=3.0 * resolution, max_nn=30))
    t2 = time.perf_counter()
    return {"o3d_input_points": count, "o3d_output_points": len(down.points), "o3d_down_ms": 1000 * (t1 - t0),
            "o3d_normals_ms": 1000 * (t2 - t1), "o3d_pts_per_s": count / (t2 - t0)}


def verdict(ok):
    return "PASS" if ok else "MISS"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--run", required=True, help="JSON written by large_run")
    parser.add_argument("--snapshot", required=True, help="the snapshot large_run kept")
    parser.add_argument("--points", help="the input points large_run kept (float32 x y z)")
    parser.add_argument("--size", default="2400x1200", help="the panel's size, for the title")
    parser.add_argument("--baseline-bytes-per-point", type=float, default=263.0)
    parser.add_argument("--out", help="JSON file for every figure of the row")
    args = parser.parse_args()

    with open(args.run) as f:
        run = json.load(f)
    figures = dict(run)
    figures.update(python_package(args.snapshot))
    if args.points:
        figures.update(open3d_batch(args.points, 0.5))
    full = args.size == "2400x1200"

    def ms(key):
        return f"{figures[key]:,.0f}" if key in figures else "-"

    def target(text, ok):
        return f"{text}: {verdict(ok)}" if full else text + " (full panel only)"

    extraction = max(figures["extract_vertices_ms"], figures["extract_raw_ms"], figures["py_extract_ms"])
    rows = [
        ("frames; live points at the end", f"{run['frames']:.0f}; {run['live_points'] / 1e6:.2f} M", ""),
        ("frame time, median (ms)", f"{run['frame_ms_med']:.1f}", ""),
        ("last 10 % of frames over first 10 %", f"{run['late_vs_early']:.2f}",
         target("<= 1.1", run["late_vs_early"] <= 1.1)),
        (f"second stages dropped at {run['fps']:.0f} fps", f"{run['dropped']:.0f}", target("0", run["dropped"] == 0)),
        ("extraction, Vertices (ms; first call)", f"{ms('extract_vertices_ms')}; {ms('extract_vertices_first_ms')}",
         target("<= 1000 ms, either form and Python", extraction <= 1000)),
        ("extraction, PointRawData (ms; first call)", f"{ms('extract_raw_ms')}; {ms('extract_raw_first_ms')}", ""),
        ("Python extract() (ms; first call)", f"{ms('py_extract_ms')}; {ms('py_extract_first_ms')}",
         "no copy" if figures.get("py_no_copy") else "COPIED"),
        (f"save, {run['stream_mb']:.0f} MB stream (ms; first call)", f"{ms('save_ms')}; {ms('save_first_ms')}",
         target("<= 1000 ms", figures["save_ms"] <= 1000)),
        ("Python save() (ms; first call)", f"{ms('py_save_ms')}; {ms('py_save_first_ms')}", ""),
        ("load into a fresh engine (ms)", ms("load_ms"), target("<= 4000 ms", figures["load_ms"] <= 4000)),
        ("Python load() (ms)", ms("py_load_ms"), ""),
        ("resident bytes per live point (model MB)", f"{run['bytes_per_point']:.0f} ({run['resident_mb']:,.0f})",
         target(f"<= {args.baseline_bytes_per_point:.0f}", run["bytes_per_point"] <= args.baseline_bytes_per_point)),
        ("peak resident (MB)", f"{run['peak_resident_mb']:,.0f}", ""),
    ]
    if "o3d_pts_per_s" in figures:
        rows.append(("Open3D batch: voxel_down_sample + normals (ms)",
                     f"{figures['o3d_down_ms'] + figures['o3d_normals_ms']:,.0f}",
                     f"{figures['o3d_input_points'] / 1e6:.1f} M points in, {figures['o3d_output_points'] / 1e6:.2f} M out"))
    elif "o3d_skipped" in figures:
        rows.append(("Open3D batch", "-", "skipped: " + figures["o3d_skipped"]))

    print(f"\nlarge: the {args.size} mm panel, {run['input_points'] / 1e6:.1f} M input points, resolution 0.5")
    width = max(len(r[0]) for r in rows)
    value_width = max(len(r[1]) for r in rows)
    print(f"| {'metric':<{width}} | {'ours':<{value_width}} | target |")
    print(f"|{'-' * (width + 2)}|{'-' * (value_width + 2)}|--------|")
    for name, value, note in rows:
        print(f"| {name:<{width}} | {value:<{value_width}} | {note} |")
    if args.out:
        with open(args.out, "w") as f:
            json.dump(figures, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
