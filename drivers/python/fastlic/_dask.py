"""Dask arrays in, Dask arrays out: convolve and render as task graphs.

A task computes a chunk of whole frames through the NumPy functions, so
that its values are NumPy's bits. With tiles, a task computes one spatial
chunk with a margin from its neighbours (Dask's overlap), trimmed after.
Dask is imported only by whoever passes a Dask array or asks for a cluster.
"""

from __future__ import annotations

import math
import sys
from typing import Any, Mapping, Optional

import numpy as np

# A task's result: a frame's LIC values and hit counts side by side, so
# that one computation gives both.
RESULT = np.dtype([("lic", np.float64), ("hits", np.int32)])
_ARRAYS = ("texture", "u", "v", "mask")



def _split_arrays(names, given, options, arrays):
    """Each of names in given: an array goes to arrays (chunked with the
    frames), None or a word stays an option."""
    for name in names:
        a = given[name]
        if a is None or isinstance(a, str):
            options[name] = a
        else:
            arrays[name] = a

def _is_dask(a: Any) -> bool:
    kind = type(a)
    return kind.__name__ == "Array" and kind.__module__.startswith("dask.array")


def _is_dataarray(a: Any) -> bool:
    kind = type(a)
    return kind.__name__ == "DataArray" and kind.__module__.partition(".")[0] == "xarray"


def is_lazy(*arrays: Any) -> bool:
    """Any of arrays a Dask array, or a DataArray that holds one."""
    return any(_is_dask(a) or (_is_dataarray(a) and _is_dask(a.data)) for a in arrays)


def task_threads(tasks: int) -> Optional[int]:
    """Threads for one of ``tasks`` tasks: the threads of the worker running
    it (a Dask worker's, or on the threaded scheduler every core), shared
    among the tasks it runs at once, so that they add up to its cores
    rather than to cores x tasks. None (every core) in the caller's own
    thread: the synchronous scheduler runs one task at a time."""
    import threading

    from ._stacks import cores

    worker = None
    distributed = sys.modules.get("distributed")
    if distributed is not None:
        try:
            worker = distributed.get_worker().state.nthreads
        except (ValueError, AttributeError):
            pass
    if worker is None:
        if threading.current_thread() is threading.main_thread():
            return None
        import dask

        pool = dask.config.get("num_workers", None) or cores()
        return max(1, cores() // max(1, min(tasks, pool)))
    return max(1, worker // max(1, min(tasks, worker)))


def cluster(address: Optional[str] = None, workers: Optional[int] = None) -> Any:
    """A ``dask.distributed`` Client, which becomes the active one: Dask arrays
    from ``convolve`` and ``render`` are then computed on its cluster.

    ``address`` is a scheduler's ("tcp://host:8786"); None starts a
    ``LocalCluster`` of ``workers`` processes (None: one per core), one
    thread each, listening on the loopback interface only, which closes
    with the client (``client.close()`` or a ``with`` block). The workers
    need only this package installed. Without a client, Dask's threaded
    scheduler computes the arrays.
    """
    import numbers

    from distributed import Client

    from ._stacks import cores

    if address is not None:
        if workers is not None:
            raise ValueError("cluster: give address or workers, not both")
        if not isinstance(address, str):
            raise TypeError(f"address must be a scheduler address such as 'tcp://host:8786', got {address!r}")
        return Client(address)
    if workers is None:
        workers = cores()
    if isinstance(workers, bool) or not isinstance(workers, numbers.Integral) or not 1 <= workers <= 1024:
        raise ValueError(f"workers must be an integer from 1 to 1024 (or None: one per core), got {workers!r}")
    return Client(n_workers=int(workers), threads_per_worker=1, processes=True, host="127.0.0.1",
                  dashboard_address=None)


def _unwrap(given: dict) -> Optional[Any]:
    """given's DataArrays replaced by their Dask (or NumPy) arrays, their grid
    taken into the options; the DataArray whose dims the result takes."""
    from . import _dataarray_grid

    frame = next((given[n] for n in ("u", "v") if _is_dataarray(given[n])), None)
    if frame is None:
        return None
    for name in _ARRAYS:
        a = given.get(name)
        if _is_dataarray(a):
            if a.dims != frame.dims[-a.ndim:]:
                raise ValueError(f"{name} must have the dims of u and v {frame.dims}, got {a.dims}")
            given[name] = a.data
    if given.get("spacing") is None:
        plane = frame[(0,) * (frame.ndim - 2)] if frame.ndim > 2 else frame
        given["x"], given["y"], given["geographic"] = _dataarray_grid(
            "u", plane, given["x"], given["y"], given["geographic"])
    if given.get("mask_nan") is None:
        given["mask_nan"] = True  # xarray's missing values
    return frame


def _frames(a: Any, like: Any) -> Any:
    """a chunked as like (whole frames), or one chunk where a is one shared frame."""
    import dask.array as da

    a = da.asarray(a)
    if a.ndim == 2 and like.ndim > 2:
        return a.rechunk(-1)
    return a.rechunk(like.chunks)


def convolve(given: Mapping[str, Any]) -> Any:
    if not is_lazy(*(given[n] for n in _ARRAYS)):
        raise ValueError("tiles=True: only Dask arrays are computed in tiles")
    import dask.array as da

    from . import _boundary, _check_bool

    given = dict(given)
    frame = _unwrap(given)
    _check_bool("return_hits", given["return_hits"])
    u, v = da.asarray(given["u"]), da.asarray(given["v"])
    if u.shape != v.shape:
        raise ValueError(f"u and v must have the same shape, got u {u.shape} and v {v.shape}")
    if u.ndim < 2:
        raise ValueError(f"u must be an array (..., rows, cols), got shape {u.shape}")
    options = {k: value for k, value in given.items() if k not in _ARRAYS + ("tiles", "return_hits")}
    boundary = _boundary(options["boundary"])
    arrays = {}
    _split_arrays(("texture", "mask"), given, options, arrays)
    if given["tiles"]:
        words = dict(part.split("=") for part in boundary.split(",")) if "=" in boundary else {
            "rows": boundary, "cols": boundary}
        margin = (math.ceil(_reach(options) * float(options["step"])) + 2) * max(1, int(options["iterations"]))
        out = _tiles(u, v, arrays, options, words, margin)
    else:
        u = u.rechunk({u.ndim - 2: -1, u.ndim - 1: -1})
        v = v.rechunk(u.chunks)
        names = tuple(arrays)
        extra = [_frames(arrays[n], u) for n in names]
        out = da.map_blocks(_convolve_block, u, v, *extra, names=names, options=options, tasks=u.npartitions,
                            dtype=RESULT,
                            meta=np.empty((0,) * u.ndim, RESULT))
    lic, hits = out["lic"], out["hits"]
    texture = given["texture"]
    known = texture is None or np.dtype(getattr(texture, "dtype", np.float64)) == np.uint8
    carried = {k: options[k] for k in options if k not in ("texture", "mask", "mask_nan") and options[k] is not None}
    if frame is not None:
        return _dataarrays(frame, lic, hits, carried, known, given["return_hits"])
    lic.texture_range = (0.0, 255.0) if known else None
    lic.lic_options = carried
    # Where the range is the texture's own, render computes it frame by frame.
    lic.fastlic_texture = None if known else texture
    return (lic, hits) if given["return_hits"] else lic


def _reach(options: dict) -> int:
    """L + M, the steps a streamline reaches each way, as the options make
    them (at least: the margin may be wider, never narrower)."""
    from . import _int_option

    half, slide, length = options["filter_half_length"], options["slide_steps"], options.get("length")
    kernel = options.get("kernel")
    if half is None:
        if kernel is not None and not isinstance(kernel, str):
            half = (len(np.asarray(kernel).ravel()) - 1) // 2
        elif length is not None:
            half = math.ceil(float(length) / (2 * float(options["step"]))) + 1
        else:
            half = 10
    if slide is None:
        slide = half - 1 if length is not None else 9
    return _int_option("filter_half_length", half) + _int_option("slide_steps", slide)


def _dataarrays(frame: Any, lic: Any, hits: Any, carried: dict, known: bool, return_hits: bool) -> Any:
    import xarray as xr

    from . import _attribute

    attrs = {"long_name": "line integral convolution"}
    if known:  # else render shades by texture_range= given to it
        attrs["texture_range"] = [0.0, 255.0]
    attrs.update({k: _attribute(value) for k, value in carried.items() if k not in ("x", "y")})
    lic = xr.DataArray(lic, dims=frame.dims, coords=frame.coords, attrs=attrs)
    if not return_hits:
        return lic
    return lic, xr.DataArray(hits, dims=frame.dims, coords=frame.coords, attrs={"long_name": "hit count"})


def _convolve_block(u: np.ndarray, v: np.ndarray, *extra: np.ndarray, names: tuple, options: dict,
                    tasks: int) -> np.ndarray:
    import fastlic

    arguments = {**options, **dict(zip(names, extra))}
    if arguments.get("threads") is None:
        arguments["threads"] = task_threads(tasks)
    texture = arguments.pop("texture")
    lic, hits = fastlic.convolve(texture, u, v, **arguments, return_hits=True)
    out = np.empty(np.shape(lic), RESULT)
    out["lic"], out["hits"] = lic, hits
    return out


def _tiles(u: Any, v: Any, arrays: dict, options: dict, words: dict, margin: int) -> Any:
    """convolve chunk by chunk with a margin of margin cells each way."""
    import dask
    import dask.array as da

    from . import noise

    frame = u.shape[-2:]
    depth, overlap_boundary, inner = {}, {}, {}
    for axis, key, along in ((u.ndim - 2, "rows", "rows"), (u.ndim - 1, "cols", "columns")):
        chunks = u.chunks[axis]
        if len(chunks) == 1:  # whole along this axis: its own boundary
            depth[axis], overlap_boundary[axis], inner[key] = 0, "none", words[key]
            continue
        if min(chunks) < margin:
            raise ValueError(f"tiles=True: every chunk along the {along} must be at least {margin} cells "
                             f"(the margin), got chunks {chunks}")
        depth[axis] = margin
        overlap_boundary[axis] = "periodic" if words[key] == "periodic" else "none"
        inner[key] = "closed"  # the margin, or nothing beyond a closed edge
    for axis in range(u.ndim - 2):
        depth[axis], overlap_boundary[axis] = 0, "none"
    v = v.rechunk(u.chunks)
    if options.get("texture") is None and "texture" not in arrays:
        shape = tuple(int(n) for n in frame)
        arrays["texture"] = da.from_delayed(dask.delayed(noise)(shape), shape, np.uint8)
    names = tuple(arrays)
    extra = [da.broadcast_to(da.asarray(arrays[n]), u.shape).rechunk(u.chunks) for n in names]
    coordinates = {}
    for key, axis in (("y", u.ndim - 2), ("x", u.ndim - 1)):
        values = options.get(key)
        if values is not None:
            values = np.asarray(values, dtype=np.float64)
            if values.ndim != 1 or values.shape[0] != u.shape[axis]:
                raise ValueError(f"{key} must have one value for each of the {u.shape[axis]} "
                                 f"{'rows' if key == 'y' else 'columns'}, got shape {values.shape}")
            # Beyond the ends, as far again as they are before them: the
            # wrapped margin's cells keep a size of their own sign.
            coordinates[key] = np.pad(values, margin, mode="reflect", reflect_type="odd")
    block_options = {**options, "boundary": inner}
    starts = {axis: np.cumsum((0,) + u.chunks[axis]) for axis in (u.ndim - 2, u.ndim - 1)}
    return da.map_overlap(_tile_block, u, v, *extra, depth=depth, boundary=overlap_boundary, trim=True,
                          dtype=RESULT, meta=np.empty((0,) * u.ndim, RESULT), names=names,
                          options=block_options, coordinates=coordinates, starts=starts, margin=margin,
                          tasks=u.npartitions,
                          periodic={axis: overlap_boundary[axis] == "periodic" for axis in starts})


def _tile_block(u: np.ndarray, v: np.ndarray, *extra: np.ndarray, names: tuple, options: dict,
                coordinates: dict, starts: dict, margin: int, periodic: dict, tasks: int,
                block_info: Optional[dict] = None) -> np.ndarray:
    options = dict(options)
    if coordinates:
        location = block_info[0]["chunk-location"]
        for key, axis in (("y", u.ndim - 2), ("x", u.ndim - 1)):
            if key not in coordinates:
                continue
            j = location[axis]
            start = starts[axis][j]
            before = margin if (j > 0 or periodic[axis]) and len(starts[axis]) > 2 else 0
            first = start - before + margin  # in the padded coordinates
            options[key] = coordinates[key][first:first + u.shape[axis]]
    return _convolve_block(u, v, *extra, names=names, options=options, tasks=tasks)


def render(given: Mapping[str, Any]) -> Any:
    import dask.array as da

    import fastlic
    from . import _dataarray_grid, _options_of

    given = dict(given)
    lic = given["lic"]
    carried_range, carried_options = getattr(lic, "texture_range", None), getattr(lic, "lic_options", None)
    texture = getattr(lic, "fastlic_texture", None)
    if _is_dataarray(lic):
        carried_options = _options_of(lic.attrs)
        if carried_options is not None:
            carried_range = tuple(float(t) for t in lic.attrs["texture_range"])
            if "spacing" not in carried_options:  # the coordinates are lic's own
                plane = lic[(0,) * (lic.ndim - 2)] if lic.ndim > 2 else lic
                carried_options["x"], carried_options["y"], carried_options["geographic"] = _dataarray_grid(
                    "lic", plane, None, None, carried_options.get("geographic"))
        lic = lic.data
    frame = _unwrap({**given, "texture": None, "x": None, "y": None, "spacing": 1, "geographic": None})
    for name in ("u", "v", "mask", "color_by"):
        if _is_dataarray(given[name]):
            given[name] = given[name].data
    if given["mask_nan"] is None and frame is not None:
        given["mask_nan"] = True
    u, v = da.asarray(given["u"]), da.asarray(given["v"])
    if u.shape != v.shape or u.ndim < 2:
        raise ValueError(f"u and v must have the same shape (..., rows, cols), got u {u.shape} and v {v.shape}")
    u = u.rechunk({u.ndim - 2: -1, u.ndim - 1: -1})
    lic = da.asarray(lic)
    if lic.shape != u.shape:
        raise ValueError(f"lic must have the shape of u and v {u.shape}, got {lic.shape}")
    options = {k: value for k, value in given.items() if k not in ("lic", "u", "v", "mask", "color_by")}
    if options["texture_range"] is None:
        options["texture_range"] = carried_range
    if options["lic_options"] is None:
        options["lic_options"] = carried_options
    if options["lic_options"] is None and given["contrast"] == "enhanced":  # before any task runs
        raise ValueError('contrast="enhanced" convolves again with the options lic was made with: give '
                         "convolve's result as it returned it, or lic_options=")
    arrays = {"lic": lic, "v": v}
    _split_arrays(("mask", "color_by"), given, options, arrays)
    if options["texture_range"] is None and texture is not None:
        arrays["texture"] = texture
    names = tuple(arrays)
    extra = [_frames(arrays[n], u) for n in names]
    rows, cols = u.shape[-2:]
    channels = 4 if given["background"] == "transparent" else 3
    if given["colorbar"]:  # the strip's size: that of any picture of this size
        rows, cols = fastlic.render(np.zeros((rows, cols)), np.ones((rows, cols)), np.ones((rows, cols)),
                                    colorbar=True, colorbar_label=given["colorbar_label"]).shape[:2]
    chunks = u.chunks[:-2] + ((rows,), (cols,), (channels,))
    return da.map_blocks(_render_block, u, *extra, names=names, options=options, tasks=u.npartitions, dtype=np.uint8,
                         chunks=chunks, new_axis=[u.ndim], meta=np.empty((0,) * (u.ndim + 1), np.uint8))


def _render_block(u: np.ndarray, *extra: np.ndarray, names: tuple, options: dict, tasks: int) -> np.ndarray:
    import fastlic
    from . import _texture_range

    arrays = dict(zip(names, extra))
    options = dict(options)
    texture = arrays.pop("texture", None)
    lic, v = arrays.pop("lic"), arrays.pop("v")
    if texture is not None:  # the range of each frame's texture, as convolve takes it
        lead = lic.shape[:-2]
        ranges = np.empty(lead + (2,))
        for index in np.ndindex(*lead):
            t = texture[index] if texture.ndim > 2 else texture
            masked = np.isnan(lic[index]).view(np.uint8)
            ranges[index] = _texture_range(t, np.asarray(t, dtype=np.float64), masked)
        options["texture_range"] = ranges if lead else tuple(ranges)
    threads = task_threads(tasks)
    if threads is not None and options["lic_options"] is not None:
        options["lic_options"] = {**(options["lic_options"] or {}), "threads": threads}
    return fastlic.render(lic, u, v, **options, **arrays)
