"""fastlic: line integral convolution (LIC) of 2-D vector fields, fast and exact.

Conventions (the same for every function here):

* Arrays are ``(rows, cols)`` = ``(ny, nx)``, as an image: row 0 is the top.
* ``u`` is the vector component along axis 1 (columns, image x), ``v`` the
  component along axis 0 (rows, image y, downwards).
* The console program's text format writes a cell's vector as the pair
  ``(x, y)`` with x along the rows: that pair is ``(v, u)`` here.
* With default options the results are the console program's bits:
  ``convolve`` equals its ``--lic`` and ``--hits`` arrays, ``render`` its
  image, on the same field; ``render``'s keywords are its image options
  (``contrast``, ``colormap``, ``color_by``, ``colorbar``, ...).
* A mask marks cells without data (nonzero = no data): they get a NaN LIC
  value and 0 hits, and ``render`` draws them black.

Functions: convolve, animate, render, imshow (matplotlib), noise, demo_field, read_text_field,
save_animation, cluster (Dask).

Stacks ``(..., rows, cols)`` and Dask arrays: see ``convolve``; files in
batches on a cluster: ``python3 -m fastlic.batch --help``.

    >>> import fastlic
    >>> u, v = fastlic.demo_field((256, 256))
    >>> lic = fastlic.convolve(None, u, v)          # the demo's noise texture
    >>> image = fastlic.render(lic, u, v)           # (256, 256, 3) uint8
"""

from __future__ import annotations

import inspect
import numbers
import os
import sys
from typing import Any, Literal, Mapping, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from . import _dask, _fastlic, _stacks
from ._dask import cluster

__all__ = ["convolve", "animate", "render", "imshow", "noise", "demo_field", "read_text_field", "save_animation",
           "LicArray", "cluster"]
__version__: str = _fastlic.__version__

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
# The engine indexes cells with 32-bit integers.
_MAX_CELLS = 2**31 - 1
# As the console's --threads.
_MAX_THREADS = 1024

Shape = Tuple[int, int]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# The words of the choices, for type checkers: the tables' (_fastlic.options),
# which the tests hold these to.
KernelName = Literal["box", "triangle", "hann", "gaussian", "sine"]
BoundaryName = Literal["periodic", "closed"]
InterpolationName = Literal["nearest", "linear"]
ContrastName = Literal["none", "stretch", "equalize", "adaptive", "enhanced"]
ColorByName = Literal["magnitude", "vorticity", "none"]
BlendName = Literal["multiply", "overlay"]
BackgroundName = Literal["opaque", "transparent"]
Boundary = Union[BoundaryName, Mapping[str, BoundaryName]]
Mask = Union[None, Literal["nan"], npt.ArrayLike]

# The options' tables, as the compiled core checks them: each row's name,
# keyword, kind, default, choices, range, help and the phrase of its
# messages. convolve's options are the families method, sampling and
# boundary; render's the family image.
_TABLES = _fastlic.options
_LIC_FAMILIES = ("method", "sampling", "boundary")
_ROWS = {row["keyword"]: row for rows in _TABLES.values() for row in rows}
_LIC_KEYWORDS = {row["keyword"] for family in _LIC_FAMILIES for row in _TABLES[family]}


def _options(families: Tuple[str, ...], given: Mapping[str, Any]) -> dict:
    """The values of the families' keywords in given; None for a number is
    one not given."""
    return {row["keyword"]: given[row["keyword"]] for family in families for row in _TABLES[family]
            if row["keyword"] in given
            and not (given[row["keyword"]] is None and row["kind"] in ("integer", "real"))}


def _quoted(words: Any) -> str:
    quoted = [f'"{w}"' for w in words]
    return ", ".join(quoted[:-1]) + " or " + quoted[-1]


def _document(function: Any) -> Any:
    """function with the header of each option in its docstring (a line of
    the keyword alone) written from the tables: what it takes, its default."""
    parameters = inspect.signature(function).parameters
    lines = []
    for line in function.__doc__.splitlines():
        row = _ROWS.get(line.strip())
        if row is not None and line == "    " + row["keyword"]:
            kind, phrase = row["kind"], row["phrase"]
            takes = {"integer": f"int, {phrase}", "real": f"float, {phrase}", "flag": "bool"}.get(kind, phrase)
            default = parameters[row["keyword"]].default
            shown = f'"{default}"' if isinstance(default, str) else repr(default)
            line = f"{line} : {takes}, default {shown}"
        lines.append(line)
    function.__doc__ = "\n".join(lines)
    return function


def _check_shape(shape: Any, name: str = "shape") -> Shape:
    try:
        rows, cols = shape
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (rows, cols), got {shape!r}") from None
    for n in (rows, cols):
        if isinstance(n, bool) or not isinstance(n, numbers.Integral):
            raise TypeError(f"{name} must be a pair of integers (rows, cols), got {shape!r}")
    rows, cols = int(rows), int(cols)
    if rows < 1 or cols < 1:
        raise ValueError(f"{name} must have at least one row and one column, got {(rows, cols)}")
    if rows * cols > _MAX_CELLS:
        raise ValueError(f"{name} {(rows, cols)} has {rows * cols} cells; at most {_MAX_CELLS} are supported")
    return rows, cols


def _aligned(a: np.ndarray) -> np.ndarray:
    """a itself where the engine can read it in place, else a C-ordered copy."""
    if a.flags.aligned and all(s % a.itemsize == 0 for s in a.strides):
        return a
    # A copy, also of a contiguous array at an odd address (which
    # ascontiguousarray would hand back as it is).
    return np.array(a, order="C", copy=True)


def _real_array(name: str, a: Any) -> np.ndarray:
    a = np.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be an array of real numbers, got dtype {a.dtype}")
    if a.ndim != 2:
        raise ValueError(f"{name} must be a 2-D array (rows, cols), got shape {a.shape}")
    _check_shape(a.shape, name + ".shape")
    return a


def _float64(name: str, a: Any) -> np.ndarray:
    a = _real_array(name, a)
    # float32 (and integers below 2**53) widen exactly; float64 of native
    # byte order is used as it is, whatever its strides.
    if a.dtype != np.float64:
        a = a.astype(np.float64)
    return _aligned(a)


def _unmasked(a: Any) -> Tuple[Any, Optional[np.ndarray]]:
    """A NumPy masked array's data and mask (True: no data), or a and None.
    The data under the mask (fill values such as 1e20) is never used."""
    if not np.ma.isMaskedArray(a):
        return a, None
    m = np.ma.getmaskarray(a)
    return np.ma.getdata(a), (m if m.ndim == 2 and m.any() else None)


def _vectors(u: Any, v: Any) -> Tuple[np.ndarray, np.ndarray]:
    u, v = _float64("u", u), _float64("v", v)
    if u.shape != v.shape:
        raise ValueError(f"u and v must have the same shape, got u {u.shape} and v {v.shape}")
    return u, v


def _masked_vectors(u: Any, v: Any) -> Tuple[np.ndarray, np.ndarray, list]:
    """u and v as _vectors gives them, and their masked elements' masks."""
    (u, u_mask), (v, v_mask) = _unmasked(u), _unmasked(v)
    u, v = _vectors(u, v)
    return u, v, [u_mask, v_mask]


def _texture(texture: Any, shape: Shape, masked: Optional[np.ndarray]) -> np.ndarray:
    t = _real_array("texture", texture)
    if t.shape != shape:
        raise ValueError(f"texture must have the shape of u and v {shape}, got {t.shape}")
    if t.dtype.kind == "f":
        return _float64("texture", t)
    # Integers that fit 32 bits are taken as int32, as the console's texture
    # is; others as float64.
    fits = t.dtype.itemsize < 4 or t.dtype == np.int32
    if not fits:
        fits = t.size == 0 or (int(t.min()) >= _INT32_MIN and int(t.max()) <= _INT32_MAX)
    if not fits:
        wide = t.astype(np.float64)
        # As the console: an integer that a double cannot hold exactly is
        # refused (beyond 2**53), not rounded; masked cells hold no data.
        if t.dtype.itemsize == 8:
            top = 2.0 ** (63 if t.dtype.kind == "i" else 64)
            inexact = wide >= top
            inexact |= np.where(inexact, 0, wide).astype(t.dtype) != t
            if masked is not None:
                inexact &= masked == 0
            if inexact.any():
                i, j = (int(n) for n in np.argwhere(inexact)[0])
                raise ValueError(f"texture[{i}, {j}] ({int(t[i, j])}) is not exact as a double")
        return _aligned(wide)
    if t.dtype != np.int32:
        t = t.astype(np.int32)
    return _aligned(t)


def _boundary(boundary: Any) -> str:
    """boundary as the core takes it: a word for both axes, or "rows=B,cols=B"."""
    row = _ROWS["boundary"]
    words = [word for word, _ in row["choices"]]
    if isinstance(boundary, str):
        if boundary not in words:
            raise ValueError(f"boundary must be {row['phrase']}, got {boundary!r}")
        return boundary
    if not isinstance(boundary, Mapping):
        raise TypeError(f"boundary must be a string or a dict, got {type(boundary).__name__}")
    for key in boundary:
        if key not in ("rows", "cols"):
            raise ValueError(f'boundary has an unknown key {key!r}: the keys are "rows" and "cols"')
    axes = []
    for key in ("rows", "cols"):
        value = boundary.get(key, row["default"])
        if not isinstance(value, str) or value not in words:
            raise ValueError(f'boundary["{key}"] must be {_quoted(words)}, got {value!r}')
        axes.append(f"{key}={value}")
    return ",".join(axes)


def _mask(mask: Any, u: np.ndarray, v: np.ndarray, mask_nan: Any = False,
          elements: Any = ()) -> Optional[np.ndarray]:
    """The mask as a uint8 array (nonzero = no data), or None where no cell is
    masked: mask's cells, with mask_nan those where u or v is NaN, and the
    masked elements of the arrays given (masks of u's shape, or None)."""
    _check_bool("mask_nan", mask_nan)
    extra = [e for e in elements if e is not None]
    if mask_nan:
        extra.append(np.isnan(u) | np.isnan(v))
    for e in extra:
        if e.shape != u.shape:
            raise ValueError(f"a masked array must have the shape of u and v {u.shape}, got {e.shape}")
    m = _mask_keyword(mask, u, v)
    for e in extra:
        m = e if m is None else m | e
    # Without a masked cell the run is the plain one, bit for bit and as fast.
    if m is None or not m.any():
        return None
    if m.all():
        raise ValueError("every cell is masked (by mask, NaN or masked array elements): there is no data")
    return m.view(np.uint8)


def _mask_keyword(mask: Any, u: np.ndarray, v: np.ndarray) -> Optional[np.ndarray]:
    if mask is None:
        return None
    if isinstance(mask, str):
        if mask != "nan":
            raise ValueError(f'mask must be None, "nan" or an array (rows, cols), got {mask!r}')
        m = np.isnan(u) | np.isnan(v)
    else:
        m = np.asarray(mask)
        if m.dtype.kind not in "biu":
            raise TypeError(f"mask must be an array of bools or integers, got dtype {m.dtype}")
        if m.ndim != 2:
            raise ValueError(f"mask must be a 2-D array (rows, cols), got shape {m.shape}")
        if m.shape != u.shape:
            raise ValueError(f"mask must have the shape of u and v {u.shape}, got {m.shape}")
        # Any nonzero integer is no data, also one whose low byte is zero.
        if m.dtype != np.uint8 and m.dtype != np.bool_:
            m = m != 0
    return m


def _axis(name: str, values: Any, count: int, along: str) -> np.ndarray:
    a = np.asarray(values)
    if a.dtype.kind not in "iuf":
        raise TypeError(f"{name} must be an array of real numbers, got dtype {a.dtype}")
    if a.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array of the {along}' coordinates, got shape {a.shape}")
    if a.shape[0] != count:
        raise ValueError(f"{name} must have one value for each of the {count} {along}, got {a.shape[0]}")
    return np.ascontiguousarray(a, dtype=np.float64)


def _coordinates(x: Any, y: Any, spacing: Any, geographic: Any, shape: Shape) -> Optional[tuple]:
    """convolve's coordinates as the core takes them: None, or (y, x, spacing,
    geographic); the core checks the values."""
    _check_bool("geographic", geographic)
    if x is None and y is None and spacing is None:
        if geographic:
            raise ValueError("geographic: needs x (longitudes) and y (latitudes)")
        return None
    if spacing is not None:
        if x is not None or y is not None:
            raise ValueError("give x and y, or spacing, not both")
        if geographic:
            raise ValueError("geographic: needs x (longitudes) and y (latitudes), not spacing")
        try:
            dy, dx = spacing
        except (TypeError, ValueError):
            raise TypeError(f"spacing must be a pair (dy, dx) of positive numbers, got {spacing!r}") from None
        for d in (dy, dx):
            if isinstance(d, bool) or not isinstance(d, numbers.Real):
                raise TypeError(f"spacing must be a pair (dy, dx) of positive numbers, got {spacing!r}")
        return (None, None, (float(dy), float(dx)), False)
    if x is None or y is None:
        raise ValueError(f"{'y' if y is None else 'x'} is missing: x and y go together (or give spacing=(dy, dx))")
    return (_axis("y", y, shape[0], "rows"), _axis("x", x, shape[1], "columns"), None, bool(geographic))


def _check_bool(name: str, value: Any) -> None:
    """As the core checks its flags: True or False (or a NumPy bool)."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")


def _int_option(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    value = int(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"{name} must be a 32-bit integer, got {value}")
    return value


def _lic_options(given: Mapping[str, Any]) -> Tuple[dict, int]:
    """convolve's options in given, as the core takes them (it checks them),
    and the thread count (0: every core)."""
    options = _options(_LIC_FAMILIES, given)
    if "kernel" in options and not isinstance(options["kernel"], str):
        weights = np.asarray(options["kernel"])
        if weights.dtype.kind not in "biuf":
            raise TypeError(f"kernel must be {_ROWS['kernel']['phrase']}, got dtype {weights.dtype}")
        if weights.ndim != 1:
            raise ValueError(f"kernel must be a 1-D array of weights, got shape {weights.shape}")
        options["kernel"] = weights.astype(np.float64).tolist()
    if "boundary" in options:
        options["boundary"] = _boundary(options["boundary"])
    return options, _threads(given.get("threads"))


def _threads(threads: Any) -> int:
    """The thread count the core takes (0: every core)."""
    if threads is None:
        return 0
    thread_count = _int_option("threads", threads)
    if not 1 <= thread_count <= _MAX_THREADS:
        raise ValueError(f"threads must be from 1 to {_MAX_THREADS} (or None for every core), got {thread_count}")
    return thread_count


def _path(name: str, path: Any) -> bytes:
    """path as the file system's bytes, as open() takes it: any bytes path,
    and str paths with undecodable bytes (surrogateescape). "-" is a file
    of that name (the core's "-" is a standard stream)."""
    try:
        encoded = os.fsencode(os.fspath(path))
    except TypeError:
        raise TypeError(f"{name} must be a path, got {type(path).__name__}") from None
    if b"\0" in encoded:
        raise ValueError(f"{name} must not contain a NUL character, got {path!r}")
    return b"./-" if encoded == b"-" else encoded


# ---- xarray: DataArrays in, a DataArray out; xarray is imported only by
# whoever passes one.

# The names of the last two dimensions taken as coordinates.
_ROW_NAMES, _COL_NAMES = ("y", "lat", "latitude"), ("x", "lon", "longitude")
_GEOGRAPHIC = (("lat", "latitude"), ("lon", "longitude"))


def _is_dataarray(a: Any) -> bool:
    kind = type(a)
    return kind.__name__ == "DataArray" and kind.__module__.partition(".")[0] == "xarray"


def _plain(a: Any) -> Any:
    """A DataArray's values (NaN where data is missing), anything else as it is."""
    return a.values if _is_dataarray(a) else a


def _dataarray_grid(name: str, a: Any, x: Any, y: Any, geographic: Any) -> Tuple[Any, Any, bool]:
    """convolve's x, y and geographic for the DataArray a: the coordinates of
    its two dimensions (rows, cols), or those that x and y name."""
    if a.ndim != 2:
        raise ValueError(f"{name} must be a 2-D DataArray (rows, cols), got dims {a.dims}")
    used = []

    def axis(given: Any, dim: str, names: Tuple[str, ...], which: str, along: str) -> Any:
        if given is not None and not isinstance(given, str):
            used.append("")
            return given  # values given as they are
        if isinstance(given, str):
            if given not in a.coords:
                raise ValueError(f"{which}={given!r} names no coordinate of {name} (it has "
                                 f"{', '.join(map(repr, map(str, a.coords))) or 'none'})")
            if a.coords[given].dims != (dim,):
                raise ValueError(f"{which}={given!r} runs along {a.coords[given].dims}, not along {name}'s "
                                 f"{along} ({dim!r})")
            used.append(given.lower())
            return np.asarray(a.coords[given].values)
        if dim.lower() not in names:
            other = _COL_NAMES if which == "y" else _ROW_NAMES
            hint = (f"it is a{'n' if which == 'y' else ''} {'x' if which == 'y' else 'y'} name: transpose "
                    f"{name} to (y, x) first" if dim.lower() in other else
                    f"name the dimension {'/'.join(names)}, or the coordinate by {which}='name'")
            raise ValueError(f"{name}'s {along} run along {dim!r}, which is not a {which} coordinate; {hint}")
        used.append(dim.lower())
        return np.asarray(a.coords[dim].values) if dim in a.coords else None

    rows, cols = (str(d) for d in a.dims)
    ys = axis(y, rows, _ROW_NAMES, "y", "rows")
    xs = axis(x, cols, _COL_NAMES, "x", "columns")
    if geographic is None:
        geographic = used[0] in _GEOGRAPHIC[0] and used[1] in _GEOGRAPHIC[1]
    if xs is None and ys is None:
        return None, None, bool(geographic)
    # A dimension without values: its indices.
    xs = np.arange(a.shape[1], dtype=np.float64) if xs is None else xs
    ys = np.arange(a.shape[0], dtype=np.float64) if ys is None else ys
    return xs, ys, bool(geographic)


def _attribute(value: Any) -> Any:
    """An option as a netCDF attribute: numbers and strings."""
    if isinstance(value, (bool, np.bool_)):
        return int(value)
    if isinstance(value, Mapping):
        return _boundary(value)
    if isinstance(value, tuple):
        return list(value)
    return value


def _options_of(attrs: Mapping[str, Any]) -> Optional[dict]:
    """convolve's options from a result's attributes (_attribute's forms)."""
    if "texture_range" not in attrs:
        return None
    options = {}
    for key in _LIC_OPTIONS:
        if key not in attrs or key in ("x", "y"):
            continue
        value = attrs[key]
        if key == "boundary" and "=" in str(value):
            value = dict(part.split("=") for part in str(value).split(","))
        elif key == "geographic" or (key in _ROWS and _ROWS[key]["kind"] == "flag"):
            value = bool(value)
        elif key == "spacing":
            value = tuple(float(d) for d in value)
        elif isinstance(value, np.generic):
            value = value.item()
        options[key] = value
    return options


def _convolve_dataarrays(texture: Any, u: Any, v: Any, given: Mapping[str, Any]) -> Any:
    frame = u if _is_dataarray(u) else v
    for name, a in (("u", u), ("v", v), ("texture", texture)):
        if _is_dataarray(a) and a.dims != frame.dims:
            raise ValueError(f"{name} must have the dims of u and v {frame.dims}, got {a.dims}")
    options = {key: value for key, value in given.items() if key not in ("texture", "u", "v")}
    if options["spacing"] is None:
        options["x"], options["y"], options["geographic"] = _dataarray_grid(
            "u" if frame is u else "v", frame, options["x"], options["y"], options["geographic"])
    if options["mask_nan"] is None:
        options["mask_nan"] = True  # xarray's missing values
    options["mask"] = _plain(options["mask"])
    result = convolve(_plain(texture), _plain(u), _plain(v), **options)
    lic, hits = result if options["return_hits"] else (result, None)
    attrs = {"long_name": "line integral convolution", "texture_range": list(lic.texture_range)}
    attrs.update({key: _attribute(value) for key, value in lic.lic_options.items()
                  if key not in ("x", "y") and value is not None})
    xr = sys.modules["xarray"]
    lic = xr.DataArray(np.asarray(lic), dims=frame.dims, coords=frame.coords, attrs=attrs)
    if hits is None:
        return lic
    return lic, xr.DataArray(hits, dims=frame.dims, coords=frame.coords, attrs={"long_name": "hit count"})


# ---- matplotlib: colour maps and norms in, an Axes drawn into; matplotlib
# is imported only where one is asked for.


def _own_colormap(name: Any) -> bool:
    names = _fastlic.colormap_names
    return isinstance(name, str) and (name in names or (name.endswith("_r") and name[:-2] in names))


def _matplotlib_colormap(colormap: Any) -> Any:
    """A matplotlib Colormap for a name or object that is not one of ours."""
    row = _ROWS["colormap"]
    problem = (f"colormap must be {row['phrase']}, or a matplotlib colour map (a name or a Colormap), "
               f"got {colormap!r}")
    try:
        import matplotlib
        import matplotlib.colors
    except ImportError:
        raise ValueError(problem + " (matplotlib is not installed)") from None
    if isinstance(colormap, matplotlib.colors.Colormap):
        return colormap
    if isinstance(colormap, str) and colormap in matplotlib.colormaps:
        return matplotlib.colormaps[colormap]
    raise (ValueError if isinstance(colormap, str) else TypeError)(problem)


def _colormap_table(colormap: Any) -> np.ndarray:
    """A matplotlib colour map sampled at 256 even steps, 0..255."""
    return np.ascontiguousarray(_matplotlib_colormap(colormap)(np.linspace(0.0, 1.0, 256))[:, :3] * 255.0)


def _norm_options(norm: Any) -> Tuple[Optional[Tuple[float, float]], bool]:
    """(colormap_range, log) of a matplotlib Normalize or LogNorm."""
    import matplotlib.colors as colors

    if type(norm) not in (colors.Normalize, colors.LogNorm):
        raise TypeError(f"norm must be a matplotlib Normalize or LogNorm, got {type(norm).__name__}")
    known = norm.vmin is not None and norm.vmax is not None
    return ((float(norm.vmin), float(norm.vmax)) if known else None), type(norm) is colors.LogNorm


class LicArray(np.ndarray):
    """convolve's result: a float64 array of LIC values that also carries

    * ``texture_range``: (lo, hi), the value range of the texture it was
      made from, which ``render`` shades to full brightness;
    * ``lic_options``: the keyword arguments of ``convolve`` it was made
      with (coordinates included), for ``render(contrast="enhanced")``.

    Slices and copies keep them; arithmetic gives plain arrays, and writing
    into it in place drops them, as they describe the values convolve gave.
    ``np.asarray(lic)`` is the plain array.
    """

    texture_range: Optional[Tuple[float, float]]
    lic_options: Optional[dict]

    def __array_finalize__(self, obj: Any) -> None:
        self.texture_range = getattr(obj, "texture_range", None)
        self.lic_options = getattr(obj, "lic_options", None)

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        plain = tuple(np.asarray(a) if isinstance(a, LicArray) else a for a in inputs)
        outputs = kwargs.get("out")
        if outputs:
            for a in outputs:
                if isinstance(a, LicArray):
                    a.texture_range = a.lic_options = None
            kwargs["out"] = tuple(np.asarray(a) if isinstance(a, LicArray) else a for a in outputs)
        return getattr(ufunc, method)(*plain, **kwargs)

    def __setitem__(self, key: Any, value: Any) -> None:
        self.texture_range = self.lic_options = None
        super().__setitem__(key, value)


# The classic shading's scale: a texture on it is shaded as the console's.
_CLASSIC_RANGE = (0.0, 255.0)


def _texture_range(texture: Any, t: np.ndarray, masked: Optional[np.ndarray]) -> Tuple[float, float]:
    """The range render shades to full brightness: 0..255 for the built-in
    noise and integer textures within 0..255 (the classic scale); otherwise
    the smallest to the largest value of the cells with data."""
    if texture is None:
        return _CLASSIC_RANGE
    values = t if masked is None else t[masked == 0]
    lo, hi = float(values.min()), float(values.max())
    if np.asarray(texture).dtype.kind in "iu" and 0 <= lo and hi <= 255:
        return _CLASSIC_RANGE
    if hi > lo:
        return (lo, hi)
    # One value: shaded as full brightness where it is above 0.
    return (min(lo, 0.0), hi) if hi > 0 else _CLASSIC_RANGE


@overload
def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    kernel: Union[KernelName, npt.ArrayLike] = ...,
    filter_half_length: Optional[int] = ...,
    slide_steps: Optional[int] = ...,
    hit_limit: int = ...,
    step: float = ...,
    length: Optional[float] = ...,
    boundary: Boundary = ...,
    mask: Mask = ...,
    mask_nan: Optional[bool] = ...,
    orientation: bool = ...,
    interpolation: InterpolationName = ...,
    iterations: int = ...,
    max_work: float = ...,
    threads: Optional[int] = ...,
    x: Union[None, str, npt.ArrayLike] = ...,
    y: Union[None, str, npt.ArrayLike] = ...,
    spacing: Optional[Tuple[float, float]] = ...,
    geographic: Optional[bool] = ...,
    tiles: bool = ...,
    return_hits: Literal[False] = ...,
) -> npt.NDArray[np.float64]: ...


@overload
def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    kernel: Union[KernelName, npt.ArrayLike] = ...,
    filter_half_length: Optional[int] = ...,
    slide_steps: Optional[int] = ...,
    hit_limit: int = ...,
    step: float = ...,
    length: Optional[float] = ...,
    boundary: Boundary = ...,
    mask: Mask = ...,
    mask_nan: Optional[bool] = ...,
    orientation: bool = ...,
    interpolation: InterpolationName = ...,
    iterations: int = ...,
    max_work: float = ...,
    threads: Optional[int] = ...,
    x: Union[None, str, npt.ArrayLike] = ...,
    y: Union[None, str, npt.ArrayLike] = ...,
    spacing: Optional[Tuple[float, float]] = ...,
    geographic: Optional[bool] = ...,
    tiles: bool = ...,
    return_hits: Literal[True],
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...


@_document
def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    kernel: Union[KernelName, npt.ArrayLike] = "box",
    filter_half_length: Optional[int] = None,
    slide_steps: Optional[int] = None,
    hit_limit: int = 12,
    step: float = 0.5,
    length: Optional[float] = None,
    boundary: Boundary = "periodic",
    mask: Mask = None,
    mask_nan: Optional[bool] = None,
    orientation: bool = False,
    interpolation: InterpolationName = "nearest",
    iterations: int = 1,
    max_work: float = 2e10,
    threads: Optional[int] = None,
    x: Union[None, str, npt.ArrayLike] = None,
    y: Union[None, str, npt.ArrayLike] = None,
    spacing: Optional[Tuple[float, float]] = None,
    geographic: Optional[bool] = None,
    tiles: bool = False,
    return_hits: bool = False,
) -> Union[npt.NDArray[np.float64], Tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]]:
    """Line integral convolution of the field (u, v) over a texture, by the fast method.

    Arrays are (rows, cols). ``u`` is the vector component along axis 1
    (columns, image x), ``v`` the component along axis 0 (rows, image y); the
    console's text format writes a cell's vector as (x, y) = (v, u).
    By default streamlines wrap around at the edges, as the console's do.
    With the default options the result is bit for bit the console
    program's ``--lic`` (and ``--hits``).

    Parameters
    ----------
    texture : array (rows, cols) of real numbers, or None
        The values convolved along the streamlines, usually noise on the
        scale 0..255. None uses ``noise(u.shape, seed=0)``, the texture of
        the console's demo. Integers that fit 32 bits are used as int32 (as
        the console's texture file is), others as float64; values must be
        finite, and integers exact as float64 (up to 2**53 in size, or
        multiples of a power of two beyond), except in masked cells.
    u, v : arrays (rows, cols) of float64 or float32
        The vector components along the columns and along the rows. float32
        arrays are widened to float64 exactly (integer arrays are converted
        to float64). Only the direction of a vector matters; a vector of
        squared length below 1e-12 counts as none. Components must be
        finite, except in masked cells (see ``mask``).
    kernel
        The filter's weights w_j over positions k-L..k+L around streamline
        position k: the window's value is sum(w_j T(k+j)) / sum(w_j) over
        the samples inside the field (walls and masks leave the others
        out). "box" (all alike) is the classic method, bit for bit;
        "triangle" (L+1-|j|), "hann" (0.5(1+cos(pi j/(L+1)))), "gaussian"
        (exp(-j^2/(2 s^2)), s = L/2) and "sine" (sin(pi (j+L+1)/(2L+2)))
        weigh the centre most, for softer, less streaky images. Or a 1-D
        array of 2L+1 weights (L taken from it), finite and at least 0, not
        all 0: index L+j weighs position j, positive j lying ahead along
        the field, so an asymmetric kernel shows the flow's direction.
    filter_half_length
        L: the filter at streamline position k covers positions k-L..k+L
        (2L+1 texture samples). None: 10, or what ``kernel``'s array or
        ``length`` make it.
    slide_steps
        M: the filter slides to positions +1..+M and -1..-M along each
        streamline; every pixel the streamline passes there receives that
        average. None: 9, or L-1 with ``length``.
    hit_limit
        H: a pixel is used as a streamline seed while fewer than H
        streamlines have covered it.
    step
        h: the fourth-order Runge-Kutta step in cells; each streamline has
        2(L+M)+1 points, traced (L+M) steps each way; (L+M)*h may not exceed
        100 times the grid's longer side.
    length
        The streak length in cells, one setting for the filter's reach:
        L = round(length / (2 step)) and M = L-1 (the classic 10 and 9 are
        length 10 at step 0.5). Not with ``filter_half_length`` or
        ``slide_steps``.
    boundary
        What lies beyond the edges. "periodic": the grid again, so a
        streamline leaving at one edge comes back at the opposite one.
        "closed": nothing; a streamline stops at the edge, and the filter
        averages only the samples inside, so pixels by a wall are not
        darkened. A string applies to both axes; a dict
        ``{"rows": ..., "cols": ...}`` sets each axis, "rows" being axis 0
        (the top and bottom edges), "cols" axis 1 (the left and right
        edges); a missing key is "periodic".
    mask : None, "nan" or array (rows, cols) of bools or integers, default None
        Cells without data, where the mask is nonzero (True). A masked cell
        is outside the field for every streamline (no vector, texture 0), is
        never a seed, and gets a NaN LIC value and 0 hits; its vector and
        texture values are not used and may be NaN. "nan" masks the cells
        where u or v is NaN (infinite components still raise). None: no
        mask, every component must be finite. The masked elements of NumPy
        masked arrays (``np.ma``, as netCDF readers give land) among
        ``u``, ``v`` and ``texture`` mask their cells too, whatever value
        lies under them; every mask given adds its cells. A grid with every
        cell masked raises ValueError.
    mask_nan : bool or None, default None
        Also mask the cells where u or v is NaN, beside ``mask``'s array.
        None: True for DataArrays (xarray's missing values are NaN), else
        False.
    orientation
        The vectors are directions without sign (v and -v mean the same,
        as in a polarisation map): while a streamline is traced, a sampled
        direction pointing against the previous one is reversed, so sign
        flips do not break the streaks.
    interpolation
        How the field is sampled between cell centres: "nearest" takes the
        cell's own vector; "linear" blends the four nearest cell centres
        bilinearly (neighbours beyond a closed edge or masked count as zero
        vectors), which removes the staircase look of coarse fields.
    iterations
        Passes: pass n+1 convolves the LIC values of pass n (as a float64
        texture) over the same field with the same options, giving smoother,
        longer-looking streaks; masked cells stay masked. The hit counts
        returned are the last pass's.
    max_work
        A call that could trace more streamline points than this,
        rows x cols x (2(L+M)+1) x iterations, raises ValueError before any
        work, so that a slip in the options cannot take hours; the default
        is far above what usual fields need (a 2048 x 2048 grid takes 1.6e8).
        Ctrl-C stops a call within a fraction of a second
        (KeyboardInterrupt), when made from the main thread.
    threads : int or None, default None
        Threads to use, 1 to 1024; None uses every core. The result is the same bits
        for every thread count. The GIL is released during the computation,
        so other Python threads run, and several calls may run at once.
    x, y : 1-D arrays of real numbers, names (DataArrays), or None, default None
        The physical coordinates of the columns (x, length cols) and of the
        rows (y, length rows), each strictly increasing or decreasing,
        evenly spaced or not. ``u`` is then the component along increasing
        x, ``v`` along increasing y, and streamlines follow the field's
        physical direction: before tracing, each cell's vector is divided
        by that cell's size along each axis, the local spacing (the
        centred difference of the neighbouring coordinates, one-sided at
        the two ends), so that coordinates an affine map of the indices
        give exactly the result of the equal ``spacing``. The image stays
        one pixel per cell. None, and no ``spacing``: unit square cells.
    spacing : pair (dy, dx) of positive numbers, or None, default None
        A uniform grid's cell size along the rows and along the columns,
        instead of ``x`` and ``y``.
    geographic : bool or None, default None
        ``x`` is longitude and ``y`` latitude, in degrees (latitudes
        strictly between -90 and 90; a pole row is refused, east has no
        direction there): the columns' size is scaled by cos(latitude), and
        ``u`` is the eastward, ``v`` the northward component. None: True
        for DataArrays whose dimensions are lat/lon or latitude/longitude,
        else False.

    ``texture``, ``u``, ``v`` and ``mask`` may be ``xarray.DataArray``s of
    dims (rows, cols). The coordinates are then those of the two
    dimensions, named y, lat or latitude (rows) and x, lon or longitude
    (columns), or the coordinates that ``x`` and ``y`` name (``x="xc"``);
    a dimension without values counts its indices. The result is then a
    DataArray with u's dims and coordinates, whose attributes name the
    options and the texture's range (``render`` reads them back, and
    takes DataArrays too).

    Stacks: ``u`` and ``v`` (and ``texture``, ``mask``, ``x``, ``y`` where
    they vary) may have leading dimensions, ``(..., rows, cols)``; a
    ``texture`` or ``mask`` of shape (rows, cols) and 1-D ``x`` and ``y``
    are shared by every frame. Each frame of the result is the bits of its
    own call; many small frames run one to a thread, few large ones with
    every thread each. ``texture_range`` is one pair, or one a frame where
    the frames' differ.

    Dask arrays (and DataArrays backed by them) give Dask arrays, computed
    lazily by whichever scheduler is active (see ``cluster``): one task a
    chunk of the leading dimensions, frames whole (rechunked where chunked
    across), so that the values are the bits of NumPy's.
    tiles : bool, default False
        Dask arrays only: compute each spatial chunk on its own, with a
        margin of (filter_half_length + slide_steps) x step + 2 cells
        (times ``iterations``) from its neighbours or, at the edges, as
        ``boundary`` says, for frames too large for one worker. The values
        differ from the whole frame's through the order in which
        streamlines are seeded, slightly near the seams with the default
        options, across the tiles with long streaks or a low hit_limit
        (see docs/performance.md).
    return_hits : bool, default False
        Also return how many streamlines covered each pixel.

    Returns
    -------
    lic : LicArray, float64 (rows, cols)
        Each pixel's LIC value: the mean of the averages it received; NaN
        in masked cells. A NumPy array that also carries the texture's
        range and these options, for ``render`` (see ``LicArray``).
    hits : int32 array (rows, cols)
        Only with ``return_hits=True``: each pixel's hit count.

    Inputs are never modified (a copy is made only where an array's dtype or
    memory layout requires one); the results are new arrays.

    Raises
    ------
    TypeError
        An argument of the wrong type or dtype.
    ValueError
        Arrays that are not 2-D or of different shapes (a mask included),
        a bad option value, or a component of an unmasked cell that is not
        finite (the message names the array and the cell, e.g.
        ``u[3, 4] is nan``).
    """
    given = dict(locals())
    _check_bool("tiles", tiles)
    if tiles or _dask.is_lazy(texture, u, v, mask):
        return _dask.convolve(given)
    del given["tiles"]
    if _stacks.is_stack(u, v):
        return _stacks.convolve(given, convolve)
    if any(_is_dataarray(a) for a in (texture, u, v)):
        return _convolve_dataarrays(texture, u, v, given)
    mask_nan = bool(mask_nan) if mask_nan is None else mask_nan
    geographic = bool(geographic) if geographic is None else geographic
    for name in ("x", "y"):
        if isinstance(given[name], str):
            raise TypeError(f"{name}={given[name]!r} names a coordinate, which only a DataArray has")
    _check_bool("return_hits", return_hits)
    u, v, elements = _masked_vectors(u, v)
    shape = (int(u.shape[0]), int(u.shape[1]))
    given_texture, t_mask = _unmasked(texture)
    t = noise(shape) if texture is None else given_texture
    masked = _mask(mask, u, v, mask_nan, elements + [t_mask])
    t = _texture(t, shape, masked)
    options, thread_count = _lic_options(given)
    coordinates = _coordinates(x, y, spacing, geographic, shape)
    # Written in place: a copy of the result would cost a large share of a call.
    lic = np.ndarray.__new__(LicArray, shape, np.float64)
    _, hits = _fastlic.convolve(t, v, u, masked, options, thread_count, coordinates, np.asarray(lic))
    lic.texture_range = _texture_range(None if texture is None else given_texture, t, masked)
    carried = {key: given[key] for key in _LIC_OPTIONS if key in _LIC_KEYWORDS or key == "threads"}
    if coordinates is not None:
        carried.update(geographic=coordinates[3])
        if coordinates[2] is not None:
            carried.update(spacing=coordinates[2])
        else:
            carried.update(y=coordinates[0], x=coordinates[1])
    lic.lic_options = carried
    return (lic, hits) if return_hits else lic


def _frame_count(name: str, value: Any) -> int:
    n = _int_option(name, value)
    if n < 1:
        raise ValueError(f"{name} must be at least 1, got {n}")
    return n


def _positive(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    x = float(value)
    if not (np.isfinite(x) and x > 0):
        raise ValueError(f"{name} must be a finite number above 0, got {value!r}")
    return x


def animate(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    frames: Optional[int] = None,
    wavelength: Optional[float] = None,
    steady: bool = False,
    phase_step: Optional[float] = None,
    kernel: Union[KernelName, npt.ArrayLike] = "hann",
    filter_half_length: Optional[int] = None,
    slide_steps: Optional[int] = None,
    hit_limit: int = 12,
    step: float = 0.5,
    length: Optional[float] = None,
    boundary: Boundary = "periodic",
    mask: Mask = None,
    orientation: bool = False,
    interpolation: InterpolationName = "nearest",
    iterations: int = 1,
    max_work: float = 2e10,
    threads: Optional[int] = None,
    x: Any = None,
    y: Any = None,
    spacing: Optional[Tuple[float, float]] = None,
    geographic: Optional[bool] = None,
) -> npt.NDArray[np.float64]:
    """Frames of a LIC animation, (N, rows, cols) float64: streaks that move along the flow.

    A static field (u, v of shape (rows, cols)) gives a seamless loop of
    ``frames`` frames: frame f has the phase phi = 2 pi f / frames, and
    each window of the convolution weighs its sample at offset j (in
    streamline steps, positive ahead along the field) by
    h_j (1 + cos(2 pi j / wavelength + phi)), h the ``kernel``'s weights,
    over the sum of h_j. The
    pattern moves forward by ``wavelength / frames`` steps a frame, and
    frame ``frames`` would be frame 0 again. The streamlines are traced
    once; each frame then costs a pass over the pixels.

    A time series (u, v of shape (T, rows, cols)) gives one frame per
    field, all over the same texture: without ``phase_step`` frame t is
    ``convolve(texture, u[t], v[t], kernel=kernel, ...)`` exactly; with it,
    frame t is the frame of phase t * phase_step over field t, so the flow
    shows both its change and its motion. Fields too small to fill the
    threads are shared out among them whole.

    Parameters
    ----------
    texture, u, v, mask
        As for ``convolve``; u and v may be (T, rows, cols) stacks, and a
        mask (or "nan", over every field) applies to every field.
    frames : int or None
        Frames of the loop of a static field (required there); for a time
        series None or T.
    wavelength : float or None
        The wave's length in streamline steps; None: the filter half
        length L.
    steady : bool
        Take the wave's mean over each window out (1 + cos(...) - m, m the
        h-weighted mean of that cosine over the window's samples), so that
        a constant texture stays constant in every frame. By default a
        window keeps the share of the wave it does not cancel, and
        brightness pulses by that share (about 2% for hann at the default
        wavelength, more at longer ones).
    phase_step : float or None
        Radians between consecutive frames instead of 2 pi / frames (a
        static field's frames then need not loop).
    kernel, filter_half_length, slide_steps, hit_limit, step, length, boundary, orientation, interpolation, iterations, max_work, threads
        As for ``convolve``, but ``kernel`` is "hann" by default. With
        several iterations the passes before the last are static.
    x, y, spacing, geographic
        The grid's physical coordinates, as for ``convolve`` (shared by
        every field of a series). DataArrays u and v ((rows, cols), or
        (T, rows, cols) for a series) give theirs, and their missing
        values are masked unless ``mask`` says otherwise.

    Returns
    -------
    float64 array (N, rows, cols); NaN in masked cells. The same bits for
    every thread count.
    """
    given = dict(locals())
    if _is_dataarray(u) or _is_dataarray(v):
        frame = u if _is_dataarray(u) else v
        if spacing is None and frame.ndim in (2, 3):
            x, y, geographic = _dataarray_grid("u" if frame is u else "v", frame[0] if frame.ndim == 3 else frame,
                                               x, y, geographic)
        mask = "nan" if mask is None else _plain(mask)
        texture, u, v = _plain(texture), _plain(u), _plain(v)
    else:
        for name in ("x", "y"):
            if isinstance(given[name], str):
                raise TypeError(f"{name}={given[name]!r} names a coordinate, which only a DataArray has")
    u_all, v_all = np.asarray(u), np.asarray(v)
    if u_all.ndim != v_all.ndim or u_all.shape != v_all.shape:
        raise ValueError(f"u and v must have the same shape, got u {u_all.shape} and v {v_all.shape}")
    if u_all.ndim == 3:
        if u_all.shape[0] < 1:
            raise ValueError("u and v must hold at least one field, got shape " + str(u_all.shape))
        count = int(u_all.shape[0])
        if frames is not None and _frame_count("frames", frames) != count:
            raise ValueError(f"frames must be None or the number of fields {count} for a time series, got {frames}")
    elif u_all.ndim == 2:
        if frames is None:
            raise TypeError("frames is required for a static field (u, v of shape (rows, cols))")
        count = _frame_count("frames", frames)
        u_all, v_all = u_all[np.newaxis], v_all[np.newaxis]
    else:
        raise ValueError(f"u and v must be 2-D (rows, cols) or 3-D (T, rows, cols), got shape {u_all.shape}")
    pairs = [_vectors(u_all[t], v_all[t]) for t in range(u_all.shape[0])]
    shape = pairs[0][0].shape
    lam = 0.0 if wavelength is None else _positive("wavelength", wavelength)
    _check_bool("steady", steady)
    step_phase = float("nan") if phase_step is None else float(phase_step)
    if phase_step is not None and (isinstance(phase_step, bool) or not isinstance(phase_step, numbers.Real)
                                   or not np.isfinite(step_phase)):
        raise ValueError(f"phase_step must be a finite number, got {phase_step!r}")
    if isinstance(mask, str) and mask == "nan":
        masked_any = np.zeros(shape, dtype=bool)
        for pu, pv in pairs:
            masked_any |= np.isnan(pu) | np.isnan(pv)
        masked = _mask(masked_any, pairs[0][0], pairs[0][1])
    else:
        masked = _mask(mask, pairs[0][0], pairs[0][1])
    t = noise(shape) if texture is None else texture
    t = _texture(t, shape, masked)
    options, thread_count = _lic_options(given)
    coordinates = _coordinates(x, y, spacing, bool(geographic) if geographic is None else geographic, shape)
    out = _fastlic.animate(t, [pv for _, pv in pairs], [pu for pu, _ in pairs], masked, options,
                           count, lam, bool(steady), step_phase, thread_count, coordinates)
    return out


# The keywords of convolve that render's lic_options may hold.
_LIC_OPTIONS = tuple(key for key in inspect.signature(convolve).parameters
                     if key in ("threads", "x", "y", "spacing", "geographic") or key in _LIC_KEYWORDS)


@_document
def render(
    lic: npt.ArrayLike,
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    mask: Mask = None,
    mask_nan: Optional[bool] = None,
    contrast: ContrastName = "none",
    clip: float = 0.5,
    tiles: Union[int, Tuple[int, int]] = (8, 8),
    clip_limit: float = 3.0,
    enhance_sigma: float = 2.0,
    colormap: Any = "classic",
    colormap_range: Optional[Tuple[float, float]] = None,
    log: bool = False,
    norm: Any = None,
    color_by: Union[None, ColorByName, npt.ArrayLike] = "magnitude",
    blend: BlendName = "multiply",
    alpha: float = 0.5,
    background: Optional[BackgroundName] = None,
    mask_color: Tuple[int, int, int] = (0, 0, 0),
    colorbar: bool = False,
    colorbar_label: str = "",
    lic_options: Optional[Mapping[str, Any]] = None,
    texture_range: Optional[Tuple[float, float]] = None,
) -> npt.NDArray[np.uint8]:
    """The console's colour image of a LIC result, pixel for pixel the same as its PNG.

    The keywords are the console's image options (``--contrast``,
    ``--clip``, ... ``--colorbar``) with ``_`` for ``-``, the same defaults
    and the same checks; with the same options the array is the console's
    PNG decoded. With the defaults it is the classic image: each pixel
    takes the classic colour map's colour (grey, dark red, red, blue) for
    its vector's magnitude relative to the largest magnitude of the field's
    unmasked cells, shaded by its LIC value / 255, each component limited
    to 0..255 and rounded (halves up). Where every vector is zero every
    pixel is grey. Masked pixels are black. The LIC value / 255 is that of
    the classic texture scale 0..255; ``texture_range`` (carried by
    ``convolve``'s result) shades other textures alike.

    Parameters
    ----------
    lic : array (rows, cols) of real numbers
        LIC values, as ``convolve`` returns them.
    u, v : arrays (rows, cols) of float64 or float32
        The field that was convolved: u along the columns, v along the rows
        (see ``convolve``). Components must be finite, except in masked
        pixels.
    mask : None, "nan" or array (rows, cols) of bools or integers, default None
        Pixels without data, as for ``convolve``. Pixels whose LIC value is
        NaN (the masked cells of ``convolve``) count as masked too, so
        ``render(convolve(t, u, v, mask=m), u, v)`` needs no mask again.
        Masked elements of masked arrays (``u``, ``v``, ``lic``,
        ``color_by``) count as masked too.
    mask_nan : bool or None, default None
        Also mask the pixels where u or v is NaN, beside ``mask``'s array.
        None: True for DataArrays (xarray's missing values are NaN), else
        False.
        Masked pixels are left out of every statistic below and drawn in
        ``mask_color`` (or transparent).
    contrast
        The brightness: "none" (the LIC values as they are), "stretch" (the
        ``clip`` and 100 - ``clip`` percentiles to 0 and 255, limited),
        "equalize" (global histogram equalisation), "adaptive"
        (contrast-limited adaptive histogram equalisation), "enhanced" (two
        passes: the LIC minus its Gaussian blur, stretched, is the texture
        of a second convolution of (u, v), stretched again; see
        ``lic_options``).
    clip
        "stretch", "enhanced": percent of pixels saturated at each end.
    tiles
        "adaptive": tiles down and across (N: N each way).
    clip_limit
        "adaptive": the largest slope of a tile's mapping, as a multiple of
        a flat histogram's.
    enhance_sigma
        "enhanced": the standard deviation of the blur removed from the
        first pass, in pixels.
    colormap
        "grey" and "gray" are one map; "coolwarm" is diverging. Any other
        matplotlib colour map, by name ("RdBu_r") or as a Colormap object,
        is sampled at 256 even steps (needs matplotlib).
    colormap_range
        The values at the two ends of the map; None: 0 to the largest
        magnitude, or the smallest to the largest value of ``color_by``.
    log
        A logarithmic colour scale; the default range starts at the
        smallest value above zero (with one value above zero, or none, the
        image is one colour and the colour bar shows that value, or 0); a
        given one must lie above zero.
    color_by
        What the colour shows: the vector magnitude, its curl
        ("vorticity", in cells' units, counterclockwise positive, on a range
        symmetric about 0 that suits a diverging map such as "coolwarm"),
        nothing (a grey image of the brightness; None is the same), or a
        scalar of real numbers (a pixel whose value is not finite counts as
        masked).
    blend
        "multiply": colour x brightness / 255 (the classic shading);
        "overlay": alpha x colour + (1 - alpha) x brightness.
    alpha
        "overlay": the colour's weight.
    background
        "transparent": an RGBA image whose masked pixels are transparent
        (alpha 0, the others 255). None is "opaque".
    mask_color
        The colour of masked pixels in an opaque image.
    colorbar
        Add the console's strip below the image: the colour map from the
        low to the high end of its range, with values written under it. Not
        with ``color_by="none"``.
    colorbar_label
        A caption under the colour bar's values, such as the quantity and
        its units ("speed (m/s)"): printable ASCII.
    lic_options : dict or None, default None
        The keyword arguments that ``convolve`` made ``lic`` with
        (``kernel``, ``filter_half_length``, ``slide_steps``, ``hit_limit``,
        ``step``, ``length``, ``boundary``, ``orientation``, ``interpolation``, ``iterations``,
        ``max_work``, ``threads``, ``x``, ``y``, ``spacing``,
        ``geographic``; ``mask`` is ``render``'s own), for the second pass
        of ``contrast="enhanced"``. None: those that ``lic`` carries (the
        result of ``convolve``, a ``LicArray``); with neither, "enhanced"
        raises ValueError rather than guess. Checked as ``convolve`` checks
        them; unused by the other modes.
    norm : matplotlib Normalize or LogNorm, or None, default None
        The colour scale as matplotlib gives it: its vmin and vmax (when
        set) are ``colormap_range``, a LogNorm is ``log=True``. Not with
        ``colormap_range`` or ``log``.
    texture_range : pair (lo, hi) or None, default None
        The texture values that the shading takes as black and as full
        brightness: a LIC value lo is black, hi full colour. None: the range
        ``lic`` carries (``convolve``'s result: 0..255 for the built-in
        noise and integer textures within 0..255, otherwise the texture's
        own smallest to largest value), or 0..255 for a plain array, the
        classic shading.

    Stacks (``lic``, ``u``, ``v`` of shape (..., rows, cols)) give a stack
    of pictures, each that frame's own; Dask arrays give a lazy Dask array
    of whole-frame pictures (see ``convolve``).

    Returns
    -------
    uint8 array (rows, cols, 3): red, green, blue, or (rows, cols, 4) with
    alpha for ``background="transparent"``; row 0 is the image's top. With
    ``colorbar=True`` the strip's rows follow the image's.

    Raises
    ------
    TypeError
        An argument of the wrong type or dtype.
    ValueError
        Arrays of the wrong shape, a bad option value (the message names the
        keyword, e.g. ``clip must be a percentage from 0 up to (not
        including) 50, got 60``), or a vector component that is not finite.
    """
    given = dict(locals())
    if _dask.is_lazy(lic, u, v, mask, color_by):
        return _dask.render(given)
    if _stacks.is_stack(u, v):
        return _stacks.render(given, render)
    carried_range, carried_options = getattr(lic, "texture_range", None), getattr(lic, "lic_options", None)
    if _is_dataarray(lic):
        carried_options = _options_of(lic.attrs)
        if carried_options is not None:
            carried_range = tuple(float(t) for t in lic.attrs["texture_range"])
            if "spacing" not in carried_options:
                carried_options["x"], carried_options["y"], carried_options["geographic"] = _dataarray_grid(
                    "lic", lic, None, None, carried_options.get("geographic"))
    if mask_nan is None:
        mask_nan = any(_is_dataarray(a) for a in (lic, u, v))
    lic, u, v = _plain(lic), _plain(u), _plain(v)
    u, v, elements = _masked_vectors(u, v)
    lic, lic_mask = _unmasked(lic)
    lic_values = _shaded(_float64("lic", lic), carried_range if texture_range is None else texture_range)
    if lic_values.shape != u.shape:
        raise ValueError(f"lic must have the shape of u and v {u.shape}, got {lic_values.shape}")
    masked = _mask(mask, u, v, mask_nan, elements + [lic_mask])
    no_value = np.isnan(lic_values)
    if no_value.any():
        masked = no_value if masked is None else masked | no_value
        masked = masked.view(np.uint8)
    if masked is not None:
        masked = np.ascontiguousarray(masked)

    options = _options(("image",), given)
    table = None
    if not _own_colormap(colormap):
        table = _colormap_table(colormap)
        del options["colormap"]  # the core draws through the table given beside
    if norm is not None:
        if colormap_range is not None or log:
            raise ValueError("norm: give norm, or colormap_range and log, not both")
        options["colormap_range"], options["log"] = _norm_options(norm)
    scalar = None
    if color_by is not None and not isinstance(color_by, str):
        color_by, scalar_mask = _unmasked(color_by)
        scalar = _real_array("color_by", color_by)
        if scalar_mask is not None:  # a pixel without a value, as NaN is
            scalar = np.where(scalar_mask, np.nan, scalar)
        if scalar.shape != u.shape:
            raise ValueError(f"color_by must have the shape of u and v {u.shape}, got {scalar.shape}")
        scalar = np.ascontiguousarray(_float64("color_by", scalar))
        del options["color_by"]  # the core colours by the scalar given beside
    if lic_options is None:
        if contrast == "enhanced" and carried_options is None:
            raise ValueError('contrast="enhanced" convolves again with the options lic was made with: give '
                             "convolve's result as it returned it, or lic_options=")
        lic_options = carried_options or {}
    if not isinstance(lic_options, Mapping):
        raise TypeError(f"lic_options must be a dict of convolve's options, got {type(lic_options).__name__}")
    for key in lic_options:
        if key not in _LIC_OPTIONS:
            raise ValueError(f"lic_options has an unknown key {key!r}: the keys are {', '.join(_LIC_OPTIONS)}")
    params, thread_count = _lic_options(lic_options)
    coordinates = _coordinates(lic_options.get("x"), lic_options.get("y"), lic_options.get("spacing"),
                               lic_options.get("geographic", False), u.shape)
    return _fastlic.render(
        np.ascontiguousarray(lic_values), v, u, masked, scalar, options, params, thread_count, coordinates, table
    )


def _shaded(lic: np.ndarray, texture_range: Any) -> np.ndarray:
    """lic on the classic shading's scale: texture_range's lo to 0, hi to 255.
    The classic range leaves the values as they are, bit for bit."""
    if texture_range is None:
        return lic
    try:
        lo, hi = (float(x) for x in texture_range)
    except (TypeError, ValueError):
        raise TypeError(f"texture_range must be a pair (lo, hi) of numbers, got {texture_range!r}") from None
    if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
        raise ValueError(f"texture_range must be a pair (lo, hi) of finite numbers, lo below hi, got {texture_range!r}")
    if (lo, hi) == _CLASSIC_RANGE:
        return lic
    return (lic - lo) * (255.0 / (hi - lo))


def imshow(ax: Any, lic: Any, u: Any, v: Any, *, x: Any = None, y: Any = None, **options: Any) -> Any:
    """Draws ``render(lic, u, v, **options)`` into the matplotlib Axes ax at its physical extent.

    Each cell is a rectangle around its coordinates (the edges halfway
    between neighbours, as convolve sizes the cells), row 0 at the top as
    in the image. ``x`` and ``y`` are the columns' and the rows'
    coordinates; None: those ``lic`` carries (``convolve``'s ``x`` and
    ``y`` or ``spacing``, a DataArray's coordinates), or else the indices.
    A geographic result is drawn with an aspect of 1/cos(middle latitude),
    so that a degree east and a degree north keep their true proportion.

    Returns the image artist. Its ``cmap`` and ``norm`` are the picture's
    colour scale, so that ``ax.figure.colorbar(artist, label=...)`` draws a
    colour bar in the field's own units (for ``color_by="vorticity"`` give
    ``colormap_range``; with ``color_by="none"`` there is no scale).
    """
    import matplotlib.colors as colors
    from matplotlib.image import NonUniformImage

    if options.get("colorbar"):
        raise ValueError("imshow: draw the colour bar with ax.figure.colorbar(artist), not colorbar=True")
    carried = getattr(lic, "lic_options", None) or {}
    if _is_dataarray(lic):
        carried = _options_of(lic.attrs) or {}
        carried["x"], carried["y"], carried["geographic"] = _dataarray_grid(
            "lic", lic, None, None, carried.get("geographic"))
    image = render(lic, u, v, **options)
    rows, cols = image.shape[:2]
    if x is None and y is None:
        x, y = carried.get("x"), carried.get("y")
        if carried.get("spacing") is not None:
            dy, dx = carried["spacing"]
            x, y = np.arange(cols) * dx, np.arange(rows) * dy
    xs = np.arange(cols, dtype=np.float64) if x is None else np.asarray(x, dtype=np.float64)
    ys = np.arange(rows, dtype=np.float64) if y is None else np.asarray(y, dtype=np.float64)
    if xs.shape != (cols,) or ys.shape != (rows,):
        raise ValueError(f"x and y must have one value per column ({cols}) and per row ({rows}), "
                         f"got {xs.shape} and {ys.shape}")

    def edges(c: np.ndarray) -> np.ndarray:
        if c.size == 1:
            return np.array([c[0] - 0.5, c[0] + 0.5])
        middle = (c[1:] + c[:-1]) / 2
        return np.concatenate([[c[0] - (c[1] - c[0]) / 2], middle, [c[-1] + (c[-1] - c[-2]) / 2]])

    # The colour scale, for a colour bar: given to the artist as it is made.
    scale, scaled = _colour_scale(lic, u, v, options), {}
    if scale is not None:
        lo, hi, log = scale
        colormap = options.get("colormap", "classic")
        scaled["cmap"] = (colors.ListedColormap(_fastlic.colormap_samples(colormap, 256) / 255.0, name=colormap)
                          if _own_colormap(colormap) else _matplotlib_colormap(colormap))
        scaled["norm"] = colors.LogNorm(lo, hi) if log else colors.Normalize(lo, hi)

    xe, ye = edges(xs), edges(ys)
    even = all(c.size < 3 or np.allclose(np.diff(c), c[1] - c[0], rtol=1e-9, atol=0) for c in (xs, ys))
    if even:
        artist = ax.imshow(image, extent=(xe[0], xe[-1], ye[-1], ye[0]), origin="upper", interpolation="nearest",
                           **scaled)
    else:
        # NonUniformImage takes increasing coordinates.
        flip_x, flip_y = xs[0] > xs[-1], ys[0] > ys[-1]
        shown = image[::-1 if flip_y else 1, ::-1 if flip_x else 1]
        artist = NonUniformImage(ax, interpolation="nearest",
                                 extent=(min(xe[0], xe[-1]), max(xe[0], xe[-1]), min(ye[0], ye[-1]), max(ye[0], ye[-1])),
                                 **scaled)
        artist.set_data(xs[::-1] if flip_x else xs, ys[::-1] if flip_y else ys, np.ascontiguousarray(shown))
        ax.add_image(artist)
    ax.set_xlim(xe[0], xe[-1])
    ax.set_ylim(ye[-1], ye[0])  # row 0 at the top
    if carried.get("geographic"):
        ax.set_aspect(1.0 / np.cos(np.radians((ys.min() + ys.max()) / 2)))
    elif not even:
        ax.set_aspect("equal")

    return artist


def _colour_scale(lic: Any, u: Any, v: Any, options: Mapping[str, Any]) -> Optional[Tuple[float, float, bool]]:
    """(lo, hi, log) of the colours render gives with options, for a colour bar."""
    color_by = options.get("color_by", "magnitude")
    norm = options.get("norm")
    given, log = (_norm_options(norm) if norm is not None
                  else (options.get("colormap_range"), bool(options.get("log", False))))
    if color_by is None or (isinstance(color_by, str) and color_by == "none"):
        return None
    if given is not None:
        return float(given[0]), float(given[1]), log
    if isinstance(color_by, str) and color_by != "magnitude":
        return None  # vorticity: its range is the core's
    lic_values, lic_mask = _unmasked(_plain(lic))
    pu, u_mask = _unmasked(_plain(u))
    pv, v_mask = _unmasked(_plain(v))
    pu, pv = np.asarray(pu, dtype=np.float64), np.asarray(pv, dtype=np.float64)
    if isinstance(color_by, str):
        values = np.sqrt(pu * pu + pv * pv)
    else:
        values, scalar_mask = _unmasked(_plain(color_by))
        values = np.where(scalar_mask, np.nan, values) if scalar_mask is not None else np.asarray(values, float)
    shown = ~np.isnan(np.asarray(lic_values, dtype=np.float64)) & np.isfinite(values)
    for m in (lic_mask, u_mask, v_mask):
        if m is not None:
            shown &= ~m
    mask = options.get("mask")
    if mask is not None and not isinstance(mask, str):
        shown &= ~(np.asarray(_plain(mask)) != 0)
    values = values[shown]
    if log:
        values = values[values > 0]
    if values.size == 0:
        return None
    lo = float(values.min()) if (log or not isinstance(color_by, str)) else 0.0
    hi = float(values.max())
    return (lo, hi, log) if hi > lo else None


def noise(shape: Tuple[int, int], seed: int = 0) -> npt.NDArray[np.uint8]:
    """Uniform integer noise 0..255 of the given (rows, cols) shape, as a uint8 array.

    The generator is fixed and portable: the same seed and shape give the
    same values on every machine. ``seed=0`` gives the texture that the
    console writes with ``--demo`` at that size. Seeds are integers
    0 <= seed < 2**64.
    """
    rows, cols = _check_shape(shape)
    if isinstance(seed, bool) or not isinstance(seed, numbers.Integral):
        raise TypeError(f"seed must be an integer, got {type(seed).__name__}")
    if not 0 <= int(seed) < 2**64:
        raise ValueError(f"seed must be at least 0 and below 2**64, got {int(seed)}")
    return _fastlic.noise(rows, cols, int(seed))


def demo_field(shape: Tuple[int, int]) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(u, v) of the console's demo field at the given (rows, cols) shape.

    Two counter-rotating vortices over a saddle: exactly the values of the
    vector file that the console writes with ``--demo`` (six decimals, read
    back), so that ``convolve(None, *demo_field(shape))`` is the console's
    result on its demo input.
    """
    rows, cols = _check_shape(shape)
    x, y = _fastlic.demo_field(rows, cols)
    return y, x


def read_text_field(
    vectors_path: PathLike, texture_path: PathLike, shape: Tuple[int, int]
) -> Tuple[npt.NDArray[np.int32], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(texture, u, v) read from the console's two text files for a (rows, cols) grid.

    The vector file holds rows*cols pairs ``x y`` row by row, x along the
    rows: x becomes v and y becomes u. The texture file holds rows*cols
    integers. Values after the last cell are ignored. Files are read exactly
    as the console reads them, except that ``"-"`` is a file of that name
    (the console's ``-`` is standard input). Paths are str, bytes or
    os.PathLike, as ``open`` takes them.

    Raises
    ------
    OSError
        A file cannot be opened; the console's message, e.g.
        ``Bad Vector Filename: NAME`` (the vector file is tested first).
    ValueError
        A file does not hold what it must; the console's message naming the
        file, the line and the problem, e.g.
        ``field.vec:1042: expected a number, found "1.5x"``. Also a path
        with a NUL character.
    """
    rows, cols = _check_shape(shape)
    texture, x, y = _fastlic.read_text_field(_path("vectors_path", vectors_path),
                                             _path("texture_path", texture_path), rows, cols)
    return texture, y, x


def save_animation(frames: npt.ArrayLike, path: PathLike, *, fps: float = 25.0,
                   threads: Optional[int] = None) -> None:
    """Write frames, an array (N, rows, cols, 3 or 4) of uint8 RGB or RGBA
    pixels such as ``render`` gives, as an animation at path.

    The ending of path chooses the format: ``.png`` or ``.apng``, an
    animated PNG (lossless, plays in web browsers, written here, keeps
    transparency); ``.mp4`` (H.264), ``.webm`` (VP9) or ``.gif``, through
    the ``ffmpeg`` program (Debian package ffmpeg). A path with one number
    conversion such as ``frame%04d.png`` writes one image per frame
    (``.png`` or ``.ppm``). The file, or every file of a sequence, is
    replaced whole or left as it was. The animation loops forever.

    Raises
    ------
    ValueError
        frames not of that shape and type, fps not more than 0 and at most
        1000, or a path of another ending.
    OSError
        A file cannot be written, or ffmpeg is missing or fails.
    """
    a = np.asarray(frames)
    if a.dtype != np.uint8 or a.ndim != 4 or a.shape[3] not in (3, 4) or 0 in a.shape:
        raise ValueError("frames must be a uint8 array (N, rows, cols, 3 or 4), got "
                         f"{a.dtype} {a.shape}")
    if isinstance(fps, bool) or not isinstance(fps, numbers.Real) or not 0 < float(fps) <= 1000:
        raise ValueError(f"fps must be a number more than 0 and at most 1000, got {fps!r}")
    encoded = _path("path", path)
    extensions = tuple(_fastlic.animation_extensions) + (".apng",)
    pattern = "%" in encoded.decode(errors="replace").replace("%%", "")
    if not pattern and not encoded.lower().endswith(tuple(e.encode() for e in extensions)):
        raise ValueError(f"path must end in {', '.join(extensions)} or be a frame pattern "
                         f"such as frame%04d.png, got {path!r}")
    try:
        _fastlic.save_animation(np.ascontiguousarray(a), encoded, float(fps), _threads(threads))
    except RuntimeError as e:  # a name the core refuses, e.g. a pattern of another format
        raise ValueError(str(e).lstrip(": ")) from None
