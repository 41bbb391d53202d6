"""The kelvane package as a numpy user drives it."""

import os
import re
import sys
import threading

import numpy as np
import pytest

import kelvane
from sweeps import fused, sorted_positions, sphere_sweep, write_frame_file


def read_fused_ply(path):
    """The cloud kelvane-fuse writes: binary little-endian PLY."""
    data = path.read_bytes()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    assert re.findall(rb"property (\w+) (\w+)", data[:end]) == [
        (b"float", b"x"), (b"float", b"y"), (b"float", b"z"), (b"float", b"nx"), (b"float", b"ny"),
        (b"float", b"nz"), (b"ushort", b"quality"), (b"uchar", b"scan_level"), (b"uchar", b"protected"),
        (b"int", b"view_id")]
    record = np.dtype([("position", "<f4", 3), ("normal", "<f4", 3), ("quality", "<u2"),
                       ("scan_level", "u1"), ("protected", "u1"), ("view_id", "<i4")])
    return np.frombuffer(data, record, int(re.search(rb"element vertex (\d+)", data).group(1)), end)


def differing(a, b):
    """Points of one cloud without a match in the other, positions rounded
    well below the scan noise (0.02)."""
    rounded = [set(map(tuple, np.round(cloud["position"], 3).tolist())) for cloud in (a, b)]
    return len(rounded[0] ^ rounded[1])


def test_records_have_the_library_layouts():
    assert kelvane.POINT_DTYPE == np.dtype([("position", "<f4", 3), ("normal", "<f4", 3), ("attributes", "<i4")])
    assert kelvane.POINT_DTYPE.itemsize == 28 and kelvane.VERTEX_DTYPE.itemsize == 36
    assert {name: kelvane.VERTEX_DTYPE.fields[name][1] for name in kelvane.VERTEX_DTYPE.names} == {
        "position": 0, "normal": 12, "view_id": 24, "state": 28, "reserved": 29, "scan_level": 32,
        "protected": 33, "quality": 34}


def test_same_live_points_as_the_cpp_tool(tool_run):
    frames_path, ply_path = tool_run
    tool = read_fused_ply(ply_path)
    with kelvane.Fusion(resolution=0.5, point_spacing=0.3) as fusion:
        for points in kelvane.read_frame_file(frames_path):
            fusion.process(points, blocking=True)
        ours = fusion.extract()
    assert len(tool) > 10000 and len(ours) == len(tool)
    # Blocking frames run their loops on an OpenMP team; the order in which
    # observations meet in a voxel may change the last bits of a fused
    # position, so a few points in a thousand may round the other way.
    assert differing(ours, tool) <= len(tool) // 500


def test_views_as_index_arrays_regroup_a_shuffled_frame(sweep):
    # Shuffled points, each view listing where its points went: regrouped,
    # the engine sees the original frames.
    rng = np.random.default_rng(7)
    shuffled = []
    for points, views in sweep[:6]:
        order = rng.permutation(len(points))
        where = np.argsort(order)
        shuffled.append((points[order], [where[view] for view in views]))
    expected, regrouped = fused(sweep[:6]), fused(shuffled)
    assert len(regrouped) == len(expected)
    assert differing(regrouped, expected) <= len(expected) // 500


def test_updates_mirror_and_save_load_round_trip(sweep):
    mirror = set()
    with kelvane.Fusion() as source:
        for points, views in sweep[:5]:
            source.process(points, views=views)
            source.wait()  # settled frames deliver their updates in order
            for view_id, state in source.updates()[["view_id", "state"]].tolist():
                (mirror.discard if state == 255 else mirror.add)(view_id)
        live = source.extract()
        assert mirror == set(live["view_id"].tolist())
        assert source.vertex_count >= len(live) > 2000 and source.dropped_second_stages == 0
        data = source.save()
    assert isinstance(data, bytes) and data[:4] == b"HASH"
    with kelvane.Fusion() as copy:
        assert np.array_equal(sorted_positions(copy.load(data)), sorted_positions(live))
        assert np.array_equal(sorted_positions(copy.extract()), sorted_positions(live))
        assert len(copy.load(memoryview(bytearray(data)))) == len(live)


def _with(points, field, value):
    changed = points.copy()
    changed[field][5, 1] = value
    return changed


BAD_FRAMES = {  # case: (make (points, views) from a good frame, exception, message)
    "integer array": (lambda p, v: (np.zeros((len(p), 6), np.int32), v), TypeError, "dtype int32"),
    "five columns": (lambda p, v: (np.zeros((len(p), 5)), v), ValueError, "shape (N, 6)"),
    "records in 2-D": (lambda p, v: (p[:100].reshape(10, 10), None), ValueError, "1-D"),
    "not contiguous": (lambda p, v: (p[::2], None), ValueError, "not contiguous"),
    "NaN position": (lambda p, v: (_with(p, "position", np.nan), v), ValueError, "point 5 has a NaN"),
    "infinite normal": (lambda p, v: (_with(p, "normal", np.inf), v), ValueError, "point 5 has a NaN"),
    "float view": (lambda p, v: (p, [np.array([0.0, 1.0])]), TypeError, "integers"),
    "point in two views": (lambda p, v: (p, [np.arange(2), np.arange(1, 3)]), kelvane.Error, "twice"),
}


@pytest.mark.parametrize("case", BAD_FRAMES)
def test_bad_input_raises_and_changes_nothing(sweep, case):
    make, error, fragment = BAD_FRAMES[case]
    with kelvane.Fusion() as fusion:
        for points, views in sweep[:3]:
            fusion.process(points, views=views)
        fusion.wait()
        fusion.updates()
        before, count = sorted_positions(fusion.extract()), fusion.vertex_count
        with pytest.raises(error, match=re.escape(fragment)) as raised:
            fusion.process(*make(*sweep[3]))
        assert error is not kelvane.Error or raised.value.status == kelvane.INVALID_ARGUMENT
        fusion.wait()
        assert fusion.updates().size == 0 and fusion.vertex_count == count
        assert np.array_equal(sorted_positions(fusion.extract()), before)


def test_statuses_become_exceptions():
    assert issubclass(kelvane.Error, RuntimeError)
    assert issubclass(kelvane.OutOfMemory, MemoryError) and issubclass(kelvane.OutOfMemory, kelvane.Error)
    fusion = kelvane.Fusion()
    with pytest.raises(kelvane.Error) as raised:
        fusion.process(np.zeros((0, 6)))  # the library refuses an empty frame
    assert raised.value.status == 1 and "invalid data !" in raised.value.message
    with pytest.raises(kelvane.Error) as raised:
        fusion.load(b"HASH" + bytes(300))
    assert raised.value.status == kelvane.INVALID_ARGUMENT
    fusion.close()
    fusion.close()
    with pytest.raises(ValueError, match="closed"):
        fusion.extract()


def test_region_edits_build_and_reset():
    grid = np.stack(np.meshgrid(np.arange(40.0), np.arange(40.0)), axis=-1).reshape(-1, 2) + 1.0
    plane = np.column_stack([grid, np.full(len(grid), 5.0), np.zeros((len(grid), 2)), np.ones(len(grid))])
    with kelvane.Fusion() as fusion:
        assert len(fusion.build(plane)) == len(plane)
        fusion.delete_area(plane[:400])
        assert len(fusion.extract()) == len(plane) - 400
        fusion.set_protected_area(plane[400:500])
        fusion.set_fine_scan_area(plane[500:600])
        fusion.organize()
        fusion.reset()
        assert len(fusion.extract()) == 0


def test_process_releases_the_gil():
    # With a switch interval far beyond the test's length Python never takes
    # the GIL from a running thread: the main thread runs again only when the
    # worker gives the GIL up. A process() that kept it would be over by then.
    # The frame is small because numpy gives up the GIL itself in loops over
    # more than a few hundred values.
    points, views = sphere_sweep(frames=1, radius=1.5)[0]
    assert points.size * 3 < 500
    fusion, state = kelvane.Fusion(), []

    def worker():
        state.append("in process")
        fusion.process(points, views=views, blocking=True)
        state.append("returned")

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        thread = threading.Thread(target=worker)
        thread.start()
        seen = list(state)
    finally:
        sys.setswitchinterval(interval)
    thread.join()
    fusion.close()
    assert seen == ["in process"] and state == ["in process", "returned"]


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident set from /proc")
def test_no_leak_under_repeated_calls(sweep):
    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    with kelvane.Fusion() as fusion:
        for points, views in sweep[:4]:
            fusion.process(points, views=views)
        fusion.wait()
        data = fusion.save()
        cycle = lambda: (fusion.updates(), fusion.extract(), fusion.save(), fusion.load(data))  # noqa: E731
        per_cycle = 2 * len(cycle()[1]) * kelvane.VERTEX_DTYPE.itemsize + 2 * len(data)
        before = resident()
        for _ in range(150):
            cycle()
        growth = resident() - before
    assert growth < 15 * per_cycle  # leaking the library's arrays would keep all 150


def test_read_frame_file(tmp_path, sweep):
    frames = [points for points, _ in sweep[:3]]
    write_frame_file(tmp_path / "sweep.kfr", frames)
    read = kelvane.read_frame_file(tmp_path / "sweep.kfr")
    assert len(read) == 3 and all(np.array_equal(a, b) for a, b in zip(read, frames))
    (tmp_path / "cut.kfr").write_bytes((tmp_path / "sweep.kfr").read_bytes()[:-10])
    with pytest.raises(ValueError, match="frame 2 declares"):
        kelvane.read_frame_file(tmp_path / "cut.kfr")


def test_frames_without_views_run_in_256s():
    offsets, indices = kelvane._view_arrays(None, 600)
    assert offsets.tolist() == [0, 256, 512, 600] and np.array_equal(indices, np.arange(600))
