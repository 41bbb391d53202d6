"""Point fusion for Python: fuse 3-D scanner frames held in numpy arrays.

    import kelvane
    with kelvane.Fusion(resolution=0.5) as fusion:
        for frame in kelvane.read_frame_file("scan.kfr"):
            fusion.process(frame)        # POINT_DTYPE records or (N, 6) floats
        fusion.wait()
        cloud = fusion.extract()         # VERTEX_DTYPE records of the live points

A non-zero status of the library raises kelvane.Error (a RuntimeError with
.status and .message); status 66049 raises kelvane.OutOfMemory, which is
also a MemoryError. Input that cannot be a frame (wrong dtype or shape, not
contiguous, NaN or infinite values) raises TypeError or ValueError before the
library is called, so it changes nothing.
"""

import numpy as np

from ._kelvane import INVALID_ARGUMENT, OUT_OF_MEMORY, POINT_DTYPE, VERTEX_DTYPE
from ._kelvane import Engine as _Engine
from ._kelvane import Error, OutOfMemory

__all__ = [
    "Fusion",
    "Error",
    "OutOfMemory",
    "POINT_DTYPE",
    "VERTEX_DTYPE",
    "VIEW_RUN",
    "INVALID_ARGUMENT",
    "OUT_OF_MEMORY",
    "read_frame_file",
    "quality_grades",
    "grade_colours",
    "to_open3d",
]

# Points per view when a frame comes without views, as kelvane-fuse does
# for frame files.
VIEW_RUN = 256

_INT32 = np.iinfo(np.int32)
_IDENTITY = np.eye(4, dtype=np.float64)


def _as_points(points, what="points"):
    """Checks `points` and returns them as a 1-D POINT_DTYPE array."""
    if not isinstance(points, np.ndarray):
        raise TypeError(f"{what}: expected a numpy array, got {type(points).__name__}")
    if points.dtype == POINT_DTYPE:
        if points.ndim != 1:
            raise ValueError(f"{what}: POINT_DTYPE records must form a 1-D array, got shape {points.shape}")
    elif points.dtype.kind == "f":
        if points.ndim != 2 or points.shape[1] != 6:
            raise ValueError(f"{what}: a float array must have shape (N, 6) for x y z nx ny nz, got {points.shape}")
    else:
        raise TypeError(f"{what}: expected POINT_DTYPE records or an (N, 6) float array, got dtype {points.dtype}")
    if not points.flags.c_contiguous:
        raise ValueError(f"{what}: the array is not contiguous; pass np.ascontiguousarray(...) of it")
    if len(points) > _INT32.max:
        raise ValueError(f"{what}: {len(points)} points are more than the library can take at once")
    if points.dtype == POINT_DTYPE:
        position, normal = points["position"], points["normal"]
    else:
        position, normal = points[:, :3], points[:, 3:]
    if not (np.isfinite(position).all() and np.isfinite(normal).all()):
        bad = np.flatnonzero(~(np.isfinite(position).all(axis=1) & np.isfinite(normal).all(axis=1)))
        raise ValueError(f"{what}: point {bad[0]} has a NaN or infinite coordinate ({len(bad)} such points)")
    if points.dtype == POINT_DTYPE:
        return points
    records = np.empty(len(points), dtype=POINT_DTYPE)
    records["position"] = position
    records["normal"] = normal
    records["attributes"] = 8  # the ordinary scan level
    return records


def _view_arrays(views, count):
    """The compressed form of `views`: offsets (views + 1) and indices."""
    if views is None:
        offsets = np.append(np.arange(0, count, VIEW_RUN), count) if count > 0 else np.zeros(1)
        return offsets.astype(np.int32), np.arange(count, dtype=np.int32)
    if isinstance(views, (str, bytes)) or not hasattr(views, "__iter__"):
        raise TypeError(f"views: expected a list of index arrays or None, got {type(views).__name__}")
    lists = []
    for number, view in enumerate(views):
        view = np.asarray(view)
        if view.ndim != 1:
            raise ValueError(f"views[{number}]: expected a 1-D array of point indices, got shape {view.shape}")
        if view.size and view.dtype.kind not in "iu":
            raise TypeError(f"views[{number}]: point indices must be integers, got dtype {view.dtype}")
        if view.size and (view.min() < _INT32.min or view.max() > _INT32.max):
            raise ValueError(f"views[{number}]: a point index is outside the 32-bit range")
        lists.append(view.astype(np.int32))
    lengths = [len(view) for view in lists]
    offsets = np.zeros(len(lists) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    if offsets[-1] > _INT32.max:
        raise ValueError("views: more point indices than the library can take")
    indices = np.concatenate(lists) if lists else np.zeros(0, dtype=np.int32)
    return offsets.astype(np.int32), indices.astype(np.int32)


def _as_bytes(data):
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"load: expected bytes, got {type(data).__name__}") from None
    if not view.c_contiguous:
        raise ValueError("load: the buffer is not contiguous")
    return view.cast("B")


class Fusion:
    """One fusion engine: init, resolution and device settings on creation.

    resolution is the voxel edge in the unit of the points. point_spacing is
    the scanner's point spacing (above the resolution the library switches
    fusion off; 0.2 by default, as kelvane-fuse's --spacing).
    frame_point_limit is the most points a frame may have plus one; 0 keeps
    the library's 60,000. Call close(), or use the object as a
    context manager, to release the engine and its memory at once.
    """

    def __init__(self, resolution=0.5, point_spacing=0.2, device_type=0, device_subtype=0,
                 frame_point_limit=0, quality_judge=True):
        self._engine = _Engine()
        try:
            self._engine.init()
            self._engine.set_resolution(float(resolution))
            self._engine.set_device_info(int(device_type), int(device_subtype),
                                         int(frame_point_limit), float(point_spacing))
            self._engine.set_quality_judge(bool(quality_judge))
        except BaseException:
            self._engine.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def close(self):
        """Waits for queued work and releases the engine. Safe to repeat."""
        self._engine.close()

    @property
    def closed(self):
        return self._engine.closed

    def process(self, points, views=None, blocking=False):
        """Fuses one frame.

        views: a list of index arrays, one per view (points seen together,
        confirmed and graded as a group), or None for runs of VIEW_RUN
        consecutive points. Views that are not consecutive runs from point 0
        are grouped by copying the frame; points of no view are fused but not
        graded by this frame; an index outside the frame or listed twice
        raises Error with status INVALID_ARGUMENT. blocking=True finishes
        the frame before returning and reports no updates for it; otherwise
        its second stage runs on the engine's workers (see wait()).
        The GIL is released while the library works.
        """
        records = _as_points(points)
        offsets, indices = _view_arrays(views, len(records))
        self._engine.process(records, offsets, indices, _IDENTITY, bool(blocking))

    def wait(self):
        """Blocks until every queued second stage has finished."""
        self._engine.wait()

    def updates(self):
        """Vertex updates since the last call, VERTEX_DTYPE: state 1 set the
        vertex view_id, 255 remove it, 0 its grades changed."""
        return self._engine.updates()

    def extract(self):
        """The live points, VERTEX_DTYPE."""
        return self._engine.extract()

    @property
    def vertex_count(self):
        """The size a table indexed by view_id needs (freed ids included)."""
        return self._engine.vertex_count()

    @property
    def dropped_second_stages(self):
        """Non-blocking frames since creation or reset() whose second stage
        was skipped because every worker slot was taken."""
        return self._engine.dropped_second_stages()

    def save(self):
        """The whole state as a uint8 numpy array over the library's own buffer (no copy)."""
        return self._engine.save()

    def load(self, data):
        """Replaces the state with saved bytes; returns the live points."""
        return self._engine.load(_as_bytes(data))

    def build(self, points):
        """Seeds the volume from existing points; returns the live points."""
        return self._engine.build(_as_points(points))

    def delete_area(self, points):
        """Deletes the stored points that the given points select."""
        self._engine.delete_area(_as_points(points))

    def set_protected_area(self, points, unprotect=False):
        """Protects (or, with unprotect=True, releases) the selected points."""
        self._engine.set_protected_area(_as_points(points), bool(unprotect))

    def set_fine_scan_area(self, points):
        """Marks the selected region for finer scanning."""
        self._engine.set_fine_scan_area(_as_points(points))

    def organize(self):
        """Runs the reorganisation pass over fine-scan and protected points."""
        self._engine.organize()

    def reset(self):
        """Empties the model; keeps the settings and the memory."""
        self._engine.reset()


def read_frame_file(path):
    """Reads a frame file (as kelvane-fuse --record writes) and returns its
    frames as a list of read-only POINT_DTYPE arrays.

    The file holds, per frame, a little-endian int32 point count and that
    many 28-byte point records. The whole file is checked first: a negative
    count or one running past the end raises ValueError naming the frame
    (the first is frame 1).
    """
    with open(path, "rb") as file:
        data = file.read()
    frames, offset = [], 0
    while offset < len(data):
        number = len(frames) + 1  # counted from 1, as kelvane-fuse counts them
        if len(data) - offset < 4:
            raise ValueError(f"{path}: truncated: the point count of frame {number} has only "
                             f"{len(data) - offset} of 4 bytes")
        count = int.from_bytes(data[offset:offset + 4], "little", signed=True)
        if count < 0:
            raise ValueError(f"{path}: frame {number} has a negative point count ({count})")
        if count * POINT_DTYPE.itemsize > len(data) - offset - 4:
            raise ValueError(f"{path}: truncated: frame {number} declares {count} points but only "
                             f"{len(data) - offset - 4} bytes remain")
        frames.append(np.frombuffer(data, dtype=POINT_DTYPE, count=count, offset=offset + 4)
                      if count else np.empty(0, dtype=POINT_DTYPE))
        offset += 4 + count * POINT_DTYPE.itemsize
    return frames


# The three colours kelvane-fuse's preview and live view blend between.
_GRADE_LOW = np.array([0.86, 0.24, 0.20])
_GRADE_MID = np.array([0.92, 0.80, 0.24])
_GRADE_HIGH = np.array([0.27, 0.76, 0.36])


def _as_vertices(vertices):
    if not isinstance(vertices, np.ndarray) or vertices.dtype != VERTEX_DTYPE or vertices.ndim != 1:
        raise TypeError("expected a 1-D VERTEX_DTYPE array, as extract() and updates() return, got "
                        f"{getattr(vertices, 'dtype', type(vertices).__name__)}")
    return vertices


def quality_grades(vertices):
    """The grade (0-15) of each vertex's own scan level: the quality nibble
    that scan level 16, 32 or 64 selects (1-3), nibble 0 for every other."""
    vertices = _as_vertices(vertices)
    level = vertices["scan_level"]
    nibble = np.select([level == 16, level == 32, level == 64], [1, 2, 3], 0)
    return ((vertices["quality"].astype(np.uint32) >> (4 * nibble)) & 0xF).astype(np.uint8)


def grade_colours(grades):
    """RGB in [0, 1] per grade: red (0, not graded) through yellow to green (15)."""
    t = np.clip(np.asarray(grades, dtype=np.float64), 0, 15)[..., None] / 15.0
    low = _GRADE_LOW + (_GRADE_MID - _GRADE_LOW) * (2 * t)
    high = _GRADE_MID + (_GRADE_HIGH - _GRADE_MID) * (2 * t - 1)
    return np.where(t < 0.5, low, high)


def to_open3d(vertices):
    """An open3d.geometry.PointCloud of VERTEX_DTYPE records: positions,
    normals, and the grade of each point's scan level as its colour (as
    kelvane-fuse's preview shows it). Removal records (state 255) are left
    out. Needs Open3D (Debian: python3-open3d)."""
    vertices = _as_vertices(vertices)
    try:
        import open3d
    except ImportError as error:
        raise ImportError("kelvane.to_open3d needs Open3D, which is not installed: on Debian "
                          "`apt-get install python3-open3d`, elsewhere `pip install open3d`") from error
    kept = vertices[vertices["state"] != 255]
    cloud = open3d.geometry.PointCloud()
    cloud.points = open3d.utility.Vector3dVector(kept["position"].astype(np.float64))
    cloud.normals = open3d.utility.Vector3dVector(kept["normal"].astype(np.float64))
    cloud.colors = open3d.utility.Vector3dVector(grade_colours(quality_grades(kept)))
    return cloud
