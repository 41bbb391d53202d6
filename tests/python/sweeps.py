"""Frames and comparisons shared by the Python tests."""

import numpy as np

import kelvane


def sphere_sweep(frames=10, radius=20.0, spacing=0.4, seed=3):
    """Frames of a ball of `radius` seen orthographically from `frames`
    directions around it, sampled on a square grid with a little noise;
    each frame comes with one view per grid row."""
    rng = np.random.default_rng(seed)
    half = int(radius / spacing)
    u, v = np.meshgrid(np.arange(-half, half + 1) * spacing, np.arange(-half, half + 1) * spacing)
    depth2 = radius**2 - u**2 - v**2
    keep = depth2 > 0.01 * radius**2  # grazing samples are lost, as by a scanner
    rows = np.repeat(np.arange(u.shape[0])[:, None], u.shape[1], axis=1)[keep]
    sweep = []
    for frame in range(frames):
        azimuth, elevation = 2 * np.pi * frame / frames, 0.35 + 0.15 * np.sin(frame)
        d = np.array([np.cos(elevation) * np.cos(azimuth), np.cos(elevation) * np.sin(azimuth), np.sin(elevation)])
        e1 = np.array([-np.sin(azimuth), np.cos(azimuth), 0.0])
        e2 = np.cross(d, e1)
        surface = u[keep, None] * e1 + v[keep, None] * e2 + np.sqrt(depth2[keep])[:, None] * d
        points = np.empty(len(surface), dtype=kelvane.POINT_DTYPE)
        points["position"] = surface + rng.uniform(-0.01, 0.01, surface.shape)
        points["normal"] = surface / radius
        points["attributes"] = 8
        views = np.split(np.arange(len(points)), np.flatnonzero(np.diff(rows)) + 1)
        sweep.append((points, views))
    return sweep


def write_frame_file(path, frames):
    with open(path, "wb") as out:
        for points in frames:
            out.write(np.int32(len(points)).astype("<i4").tobytes())
            out.write(np.ascontiguousarray(points, dtype=kelvane.POINT_DTYPE).tobytes())


def sorted_positions(vertices):
    positions = vertices["position"]
    return positions[np.lexsort(positions.T[::-1])]


def fused(sweep, **settings):
    """The live points after fusing `sweep` non-blocking, frame by frame."""
    with kelvane.Fusion(**settings) as fusion:
        for points, views in sweep:
            fusion.process(points, views=views)
            fusion.wait()
        return fusion.extract()
