"""Frames and comparisons shared by the Python tests."""

import numpy as np

import kelvane


def sphere_sweep(frames=10, radius=20.0, spacing=0.4, seed=3):
    """A ball seen orthographically from `frames` directions around it,
    sampled on a square grid with a little noise; one view per grid row."""
    rng = np.random.default_rng(seed)
    u, v = np.meshgrid(*2 * [np.arange(-int(radius / spacing), int(radius / spacing) + 1) * spacing])
    depth2 = radius**2 - u**2 - v**2
    keep = depth2 > 0.01 * radius**2  # grazing samples are lost, as by a scanner
    rows = np.nonzero(keep)[0]
    sweep = []
    for frame in range(frames):
        azimuth, elevation = 2 * np.pi * frame / frames, 0.35 + 0.15 * np.sin(frame)
        d = np.array([np.cos(elevation) * np.cos(azimuth), np.cos(elevation) * np.sin(azimuth), np.sin(elevation)])
        e1 = np.array([-np.sin(azimuth), np.cos(azimuth), 0.0])
        surface = u[keep, None] * e1 + v[keep, None] * np.cross(d, e1) + np.sqrt(depth2[keep])[:, None] * d
        points = np.empty(len(surface), dtype=kelvane.POINT_DTYPE)
        points["position"] = surface + rng.uniform(-0.01, 0.01, surface.shape)
        points["normal"] = surface / radius
        points["attributes"] = 8
        sweep.append((points, np.split(np.arange(len(points)), np.flatnonzero(np.diff(rows)) + 1)))
    return sweep


def write_frame_file(path, frames):
    with open(path, "wb") as out:
        for points in frames:
            out.write(np.int32(len(points)).astype("<i4").tobytes() + points.tobytes())


def sorted_positions(vertices):
    positions = vertices["position"]
    return positions[np.lexsort(positions.T[::-1])]


def fused(sweep):
    """The live points after fusing `sweep` non-blocking, frame by frame."""
    with kelvane.Fusion() as fusion:
        for points, views in sweep:
            fusion.process(points, views=views)
            fusion.wait()
        return fusion.extract()
