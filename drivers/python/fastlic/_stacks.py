"""Stacks of fields in one call: arrays (..., rows, cols), frame after frame.

Every frame is computed by the one-frame functions, so a stack's frame is
bit for bit that frame's own call. Many small frames go one to a thread
(each call single-threaded: the core releases the GIL); few or large
frames take every thread each, one after another. The engine gives the
same bits for every thread count, so the choice changes only the speed.
"""

from __future__ import annotations

import concurrent.futures
import os
from typing import Any, Callable, List, Mapping, Optional, Tuple

import numpy as np

# A frame up to this many cells is small: frames that small go one to a
# thread, larger ones share every thread (memory stays one frame a thread).
SMALL_FRAME = 1 << 22


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not Linux
        return os.cpu_count() or 1


def plan(frames: int, cells: int, threads: int) -> Tuple[int, Optional[int]]:
    """(frames at once, threads per frame) for a stack; threads 0 is every core."""
    available = threads or cores()
    at_once = min(available, frames)
    if at_once > 1 and cells <= SMALL_FRAME:
        return at_once, 1
    return 1, threads or None


def is_stack(*arrays: Any) -> bool:
    return any(np.ndim(a) > 2 for a in arrays if a is not None and not isinstance(a, str))


def _shape(a: Any) -> Tuple[int, ...]:
    return tuple(int(n) for n in np.shape(a))


def _slicer(name: str, a: Any, lead: Tuple[int, ...], core: int) -> Callable[[tuple], Any]:
    """A function of a frame's index giving a's part for that frame: a itself
    where it has only the frame's own core dimensions (shared by every
    frame), a[index] where it has the stack's leading dimensions too."""
    if a is None or isinstance(a, str) or np.ndim(a) <= core:
        return lambda index: a
    shape = _shape(a)
    if shape[:-core] != lead:
        raise ValueError(f"{name} must have the stack's leading dimensions {lead} (or none, shared by every "
                         f"frame), got shape {shape}")
    return lambda index: a[index]


def _run(frames: List[tuple], call: Callable[[tuple, Optional[int]], Any], cells: int, threads: int) -> list:
    at_once, per_frame = plan(len(frames), cells, threads)

    def one(index: tuple) -> Any:
        try:
            return call(index, per_frame)
        except (ValueError, TypeError) as e:
            raise type(e)(f"frame {index if len(index) > 1 else index[0]}: {e}") from None

    if at_once == 1:
        return [one(index) for index in frames]
    pool = concurrent.futures.ThreadPoolExecutor(at_once, thread_name_prefix="fastlic")
    try:
        results = list(pool.map(one, frames))
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()
    return results


def _stack_of(u: Any, v: Any) -> Tuple[Tuple[int, ...], Tuple[int, int]]:
    shape_u, shape_v = _shape(u), _shape(v)
    if shape_u != shape_v:
        raise ValueError(f"u and v must have the same shape, got u {shape_u} and v {shape_v}")
    if len(shape_u) < 2:
        raise ValueError(f"u must be an array (..., rows, cols), got shape {shape_u}")
    return shape_u[:-2], shape_u[-2:]


def _dataarray_frame(a: Any, index: tuple) -> Any:
    return a[index] if a is not None and np.ndim(a) > 2 else a


def convolve(given: Mapping[str, Any], one: Callable[..., Any]) -> Any:
    """convolve of a stack: given is convolve's arguments, one the one-frame convolve."""
    from . import LicArray, _is_dataarray, _threads

    texture, u, v = given["texture"], given["u"], given["v"]
    lead, frame = _stack_of(u, v)
    threads = _threads(given["threads"])
    options = {key: value for key, value in given.items() if key not in ("texture", "u", "v", "threads", "tiles")}
    dataarrays = any(_is_dataarray(a) for a in (texture, u, v))
    parts = {name: _slicer(name, given[name], lead, 2) for name in ("texture", "u", "v", "mask")}
    parts.update({name: _slicer(name, given[name], lead, 1) for name in ("x", "y")
                  if not isinstance(given[name], str)})
    indices = list(np.ndindex(*lead))

    def call(index: tuple, per_frame: Optional[int]) -> Any:
        args = {name: part(index) for name, part in parts.items()}
        if dataarrays:
            args.update({name: _dataarray_frame(given[name], index) for name in ("texture", "u", "v")})
        return one(args.pop("texture"), args.pop("u"), args.pop("v"), **{**options, **args}, threads=per_frame)

    results = _run(indices, call, frame[0] * frame[1], threads)
    pairs = results if given["return_hits"] else [(r, None) for r in results]
    if dataarrays:
        return _dataarray_stack(u if _is_dataarray(u) else v, pairs, given["return_hits"])
    lic = np.ndarray.__new__(LicArray, lead + frame, np.float64)
    plain = np.asarray(lic)
    for index, (frame_lic, _) in zip(indices, pairs):
        plain[index] = frame_lic
    ranges = [r.texture_range for r, _ in pairs]
    lic.texture_range = ranges[0] if all(r == ranges[0] for r in ranges) else np.array(ranges).reshape(lead + (2,))
    carried = dict(pairs[0][0].lic_options)
    for name in ("x", "y"):
        if np.ndim(given[name]) > 1:  # one set of coordinates per frame
            carried[name] = np.stack([r.lic_options[name] for r, _ in pairs]).reshape(lead + (-1,))
    carried["threads"] = given["threads"]
    lic.lic_options = carried
    if not given["return_hits"]:
        return lic
    hits = np.stack([h for _, h in pairs]).reshape(lead + frame)
    return lic, hits


def _dataarray_stack(frame_of: Any, pairs: list, return_hits: bool) -> Any:
    """The DataArray of a stack: u's dims and coordinates, the first frame's
    attributes; where the frames' texture ranges differ, their joint range."""
    import xarray as xr

    first = pairs[0][0]
    attrs = dict(first.attrs)
    ranges = np.array([p[0].attrs["texture_range"] for p in pairs], dtype=np.float64)
    attrs["texture_range"] = [float(ranges[:, 0].min()), float(ranges[:, 1].max())]
    shape = frame_of.shape
    lic = xr.DataArray(np.stack([np.asarray(p[0]) for p in pairs]).reshape(shape), dims=frame_of.dims,
                       coords=frame_of.coords, attrs=attrs)
    if not return_hits:
        return lic
    hits = xr.DataArray(np.stack([np.asarray(p[1]) for p in pairs]).reshape(shape), dims=frame_of.dims,
                        coords=frame_of.coords, attrs=dict(pairs[0][1].attrs))
    return lic, hits


def render(given: Mapping[str, Any], one: Callable[..., Any]) -> Any:
    """render of a stack: given is render's arguments, one the one-frame render."""
    from . import _is_dataarray

    lic, u, v = given["lic"], given["u"], given["v"]
    lead, frame = _stack_of(u, v)
    if _shape(lic) != lead + frame:
        raise ValueError(f"lic must have the shape of u and v {lead + frame}, got {_shape(lic)}")
    carried_range = getattr(lic, "texture_range", None)
    carried_options = getattr(lic, "lic_options", None)
    texture_range = given["texture_range"]
    if texture_range is None and carried_range is not None and np.ndim(carried_range) > 1:
        texture_range = carried_range  # one range a frame
    lic_options = given["lic_options"] if given["lic_options"] is not None else carried_options
    if lic_options is not None and not isinstance(lic_options, Mapping):
        raise TypeError(f"lic_options must be a dict of convolve's options, got {type(lic_options).__name__}")
    threads = _lic_threads(lic_options)
    options = {key: value for key, value in given.items()
               if key not in ("lic", "u", "v", "lic_options", "texture_range")}
    parts = {name: _slicer(name, given[name], lead, 2) for name in ("lic", "u", "v", "mask")}
    if given["color_by"] is not None and not isinstance(given["color_by"], str):
        parts["color_by"] = _slicer("color_by", given["color_by"], lead, 2)
    if texture_range is not None:
        parts["texture_range"] = _slicer("texture_range", texture_range, lead, 1)
    option_parts = {}
    if lic_options is not None:
        option_parts = {name: _slicer(f"lic_options[{name!r}]", lic_options[name], lead, 1)
                        for name in ("x", "y") if lic_options.get(name) is not None}
    dataarrays = any(_is_dataarray(a) for a in (lic, u, v))

    def call(index: tuple, per_frame: Optional[int]) -> Any:
        args = {name: part(index) for name, part in parts.items()}
        if dataarrays:
            args.update({name: _dataarray_frame(given[name], index) for name in ("lic", "u", "v")})
        frame_options = None
        if lic_options is not None:
            frame_options = {**lic_options, **{name: part(index) for name, part in option_parts.items()},
                             "threads": per_frame}
        elif per_frame is not None and given["contrast"] != "enhanced":
            # Only the thread count: "enhanced" must still refuse to guess the options.
            frame_options = {"threads": per_frame}
        if args.get("texture_range") is not None:
            args["texture_range"] = tuple(float(t) for t in np.asarray(args["texture_range"]).ravel())
        return one(args.pop("lic"), args.pop("u"), args.pop("v"), **{**options, **args}, lic_options=frame_options)

    images = _run(list(np.ndindex(*lead)), call, frame[0] * frame[1], threads)
    return np.stack(images).reshape(lead + images[0].shape)


def _lic_threads(lic_options: Optional[Mapping[str, Any]]) -> int:
    from . import _threads

    return _threads(None if lic_options is None else lic_options.get("threads"))
