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

Functions: convolve, render, noise, demo_field, read_text_field.

    >>> import fastlic
    >>> u, v = fastlic.demo_field((256, 256))
    >>> lic = fastlic.convolve(None, u, v)          # the demo's noise texture
    >>> image = fastlic.render(lic, u, v)           # (256, 256, 3) uint8
"""

from __future__ import annotations

import numbers
import os
from typing import Any, Literal, Mapping, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from . import _fastlic

__all__ = ["convolve", "render", "noise", "demo_field", "read_text_field"]
__version__: str = _fastlic.__version__

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
# The engine indexes cells with 32-bit integers.
_MAX_CELLS = 2**31 - 1
# As the console's --threads.
_MAX_THREADS = 1024

Shape = Tuple[int, int]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
BoundaryName = Literal["periodic", "closed"]
Boundary = Union[BoundaryName, Mapping[str, BoundaryName]]
Mask = Union[None, Literal["nan"], npt.ArrayLike]

_BOUNDARIES = ("periodic", "closed")
_INTERPOLATIONS = ("nearest", "linear")
_CONTRASTS = ("none", "stretch", "equalize", "adaptive", "enhanced")
# The keywords of convolve that render's lic_options may hold.
_LIC_OPTIONS = ("filter_half_length", "slide_steps", "hit_limit", "step", "boundary",
                "orientation", "interpolation", "iterations", "threads")


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
    return np.ascontiguousarray(a)


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


def _vectors(u: Any, v: Any) -> Tuple[np.ndarray, np.ndarray]:
    u, v = _float64("u", u), _float64("v", v)
    if u.shape != v.shape:
        raise ValueError(f"u and v must have the same shape, got u {u.shape} and v {v.shape}")
    return u, v


def _texture(texture: Any, shape: Shape) -> np.ndarray:
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
        return _aligned(t.astype(np.float64))
    if t.dtype != np.int32:
        t = t.astype(np.int32)
    return _aligned(t)


def _boundary(boundary: Any) -> Tuple[bool, bool]:
    """Whether the rows (axis 0) and the columns (axis 1) are closed."""
    if isinstance(boundary, str):
        if boundary not in _BOUNDARIES:
            raise ValueError(
                f'boundary must be "periodic" or "closed", or a dict {{"rows": ..., "cols": ...}} '
                f"of them, got {boundary!r}"
            )
        return boundary == "closed", boundary == "closed"
    if not isinstance(boundary, Mapping):
        raise TypeError(f"boundary must be a string or a dict, got {type(boundary).__name__}")
    for key in boundary:
        if key not in ("rows", "cols"):
            raise ValueError(f'boundary has an unknown key {key!r}: the keys are "rows" and "cols"')
    closed = []
    for key in ("rows", "cols"):
        value = boundary.get(key, "periodic")
        if not isinstance(value, str) or value not in _BOUNDARIES:
            raise ValueError(f'boundary["{key}"] must be "periodic" or "closed", got {value!r}')
        closed.append(value == "closed")
    return closed[0], closed[1]


def _mask(mask: Any, u: np.ndarray, v: np.ndarray) -> Optional[np.ndarray]:
    """The mask as a uint8 array (nonzero = no data), or None where no cell is masked."""
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
    # Without a masked cell the run is the plain one, bit for bit and as fast.
    if not m.any():
        return None
    return m.view(np.uint8)


def _int_option(name: str, value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    value = int(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"{name} must be a 32-bit integer, got {value}")
    return value


def _lic_params(
    filter_half_length: Any = 10,
    slide_steps: Any = 9,
    hit_limit: Any = 12,
    step: Any = 0.5,
    boundary: Any = "periodic",
    orientation: Any = False,
    interpolation: Any = "nearest",
    iterations: Any = 1,
    threads: Any = None,
) -> Tuple[Tuple[Any, ...], int]:
    """convolve's options, checked, as the core takes them: (filter_half_length,
    slide_steps, hit_limit, step, rows_closed, cols_closed, orientation,
    linear, iterations), and the thread count (0: every core)."""
    options = [
        _int_option("filter_half_length", filter_half_length),
        _int_option("slide_steps", slide_steps),
        _int_option("hit_limit", hit_limit),
    ]
    if isinstance(step, bool) or not isinstance(step, numbers.Real):
        raise TypeError(f"step must be a real number, got {type(step).__name__}")
    rows_closed, cols_closed = _boundary(boundary)
    _bool_option("orientation", orientation)
    if not isinstance(interpolation, str) or interpolation not in _INTERPOLATIONS:
        raise ValueError(f'interpolation must be "nearest" or "linear", got {interpolation!r}')
    passes = _int_option("iterations", iterations)
    if threads is None:
        thread_count = 0
    else:
        thread_count = _int_option("threads", threads)
        if not 1 <= thread_count <= _MAX_THREADS:
            raise ValueError(
                f"threads must be from 1 to {_MAX_THREADS} (or None for every core), got {thread_count}"
            )
    params = (*options, float(step), rows_closed, cols_closed, bool(orientation),
              interpolation == "linear", passes)
    return params, thread_count


def _bool_option(name: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


@overload
def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    filter_half_length: int = ...,
    slide_steps: int = ...,
    hit_limit: int = ...,
    step: float = ...,
    boundary: Boundary = ...,
    mask: Mask = ...,
    orientation: bool = ...,
    interpolation: Literal["nearest", "linear"] = ...,
    iterations: int = ...,
    threads: Optional[int] = ...,
    return_hits: Literal[False] = ...,
) -> npt.NDArray[np.float64]: ...


@overload
def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    filter_half_length: int = ...,
    slide_steps: int = ...,
    hit_limit: int = ...,
    step: float = ...,
    boundary: Boundary = ...,
    mask: Mask = ...,
    orientation: bool = ...,
    interpolation: Literal["nearest", "linear"] = ...,
    iterations: int = ...,
    threads: Optional[int] = ...,
    return_hits: Literal[True],
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...


def convolve(
    texture: Optional[npt.ArrayLike],
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    filter_half_length: int = 10,
    slide_steps: int = 9,
    hit_limit: int = 12,
    step: float = 0.5,
    boundary: Boundary = "periodic",
    mask: Mask = None,
    orientation: bool = False,
    interpolation: Literal["nearest", "linear"] = "nearest",
    iterations: int = 1,
    threads: Optional[int] = None,
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
        finite (except in masked cells).
    u, v : arrays (rows, cols) of float64 or float32
        The vector components along the columns and along the rows. float32
        arrays are widened to float64 exactly (integer arrays are converted
        to float64). Only the direction of a vector matters; a vector of
        squared length below 1e-12 counts as none. Components must be
        finite, except in masked cells (see ``mask``).
    filter_half_length : int, default 10
        L: the box filter at streamline position k averages positions
        k-L..k+L (2L+1 texture samples). At least 1.
    slide_steps : int, default 9
        M: the filter slides to positions +1..+M and -1..-M along each
        streamline; every pixel the streamline passes there receives that
        average. At least 0.
    hit_limit : int, default 12
        H: a pixel is used as a streamline seed while fewer than H
        streamlines have covered it. At least 1.
    step : float, default 0.5
        h: the fourth-order Runge-Kutta step in cells; each streamline has
        2(L+M)+1 points, traced (L+M) steps each way. Finite and positive;
        (L+M)*h may not exceed 100 times the grid's longer side.
    boundary : "periodic" or "closed", or a dict, default "periodic"
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
        mask, every component must be finite.
    orientation : bool, default False
        The vectors are directions without sign (v and -v mean the same,
        as in a polarisation map): while a streamline is traced, a sampled
        direction pointing against the previous one is reversed, so sign
        flips do not break the streaks.
    interpolation : "nearest" or "linear", default "nearest"
        How the field is sampled between cell centres: "nearest" takes the
        cell's own vector; "linear" blends the four nearest cell centres
        bilinearly (neighbours beyond a closed edge or masked count as zero
        vectors), which removes the staircase look of coarse fields.
    iterations : int, default 1
        Passes: pass n+1 convolves the LIC values of pass n (as a float64
        texture) over the same field with the same options, giving smoother,
        longer-looking streaks; masked cells stay masked. The hit counts
        returned are the last pass's. At least 1.
    threads : int or None, default None
        Threads to use, 1 to 1024; None uses every core. The result is the same bits
        for every thread count. The GIL is released during the computation,
        so other Python threads run, and several calls may run at once.
    return_hits : bool, default False
        Also return how many streamlines covered each pixel.

    Returns
    -------
    lic : float64 array (rows, cols)
        Each pixel's LIC value: the mean of the averages it received; NaN
        in masked cells.
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
    u, v = _vectors(u, v)
    shape = (int(u.shape[0]), int(u.shape[1]))
    t = noise(shape) if texture is None else texture
    t = _texture(t, shape)
    masked = _mask(mask, u, v)
    params, thread_count = _lic_params(
        filter_half_length, slide_steps, hit_limit, step, boundary, orientation, interpolation,
        iterations, threads,
    )
    lic, hits = _fastlic.convolve(t, v, u, *params[:6], masked, *params[6:], thread_count)
    return (lic, hits) if return_hits else lic


def _value(value: Any) -> Any:
    """value for a message: NumPy scalars as Python numbers."""
    return value.item() if isinstance(value, np.generic) else value


def _real_option(name: str, value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def _choice(name: str, value: Any, choices: Tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in choices:
        quoted = [f'"{c}"' for c in choices]
        listed = ", ".join(quoted[:-1]) + " or " + quoted[-1]
        raise ValueError(f"{name} must be {listed}, got {_value(value)!r}")
    return value


def _tiles(tiles: Any) -> Tuple[int, int]:
    problem = f"tiles must be N or a pair (rows, cols) of whole numbers from 1 to 1024, got {_value(tiles)!r}"
    pair = (tiles, tiles) if isinstance(tiles, numbers.Integral) else tiles
    try:
        down, across = pair
    except (TypeError, ValueError):
        raise TypeError(problem) from None
    if any(isinstance(n, bool) or not isinstance(n, numbers.Integral) for n in (down, across)):
        raise TypeError(problem)
    if not (1 <= down <= 1024 and 1 <= across <= 1024):
        raise ValueError(problem)
    return int(down), int(across)


def _colormap(name: Any) -> str:
    base = name[:-2] if isinstance(name, str) and len(name) > 2 and name.endswith("_r") else name
    if not isinstance(name, str) or base not in _fastlic.colormap_names:
        raise ValueError(
            f"colormap must be one of {', '.join(_fastlic.colormap_names)}, or NAME_r reversed, "
            f"got {_value(name)!r}"
        )
    return name


def _colormap_range(value: Any) -> Optional[Tuple[float, float]]:
    if value is None:
        return None
    problem = f"colormap_range must be None or a pair (lo, hi) of finite numbers, lo below hi, got {value!r}"
    try:
        lo, hi = value
    except (TypeError, ValueError):
        raise TypeError(problem) from None
    if any(isinstance(x, bool) or not isinstance(x, numbers.Real) for x in (lo, hi)):
        raise TypeError(problem)
    lo, hi = float(lo), float(hi)
    if not (np.isfinite(lo) and np.isfinite(hi) and lo < hi):
        raise ValueError(problem)
    return lo, hi


def _mask_color(value: Any) -> Tuple[int, int, int]:
    problem = f"mask_color must be (r, g, b), three whole numbers from 0 to 255, got {value!r}"
    try:
        rgb = tuple(value)
    except TypeError:
        raise TypeError(problem) from None
    if len(rgb) != 3 or any(isinstance(c, bool) or not isinstance(c, numbers.Integral) for c in rgb):
        raise TypeError(problem)
    if not all(0 <= c <= 255 for c in rgb):
        raise ValueError(problem)
    return int(rgb[0]), int(rgb[1]), int(rgb[2])


def render(
    lic: npt.ArrayLike,
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    *,
    mask: Mask = None,
    contrast: Literal["none", "stretch", "equalize", "adaptive", "enhanced"] = "none",
    clip: float = 0.5,
    tiles: Union[int, Tuple[int, int]] = (8, 8),
    clip_limit: float = 3.0,
    enhance_sigma: float = 2.0,
    colormap: str = "classic",
    colormap_range: Optional[Tuple[float, float]] = None,
    log: bool = False,
    color_by: Union[None, Literal["magnitude", "none"], npt.ArrayLike] = "magnitude",
    blend: Literal["multiply", "overlay"] = "multiply",
    alpha: float = 0.5,
    background: Optional[Literal["opaque", "transparent"]] = None,
    mask_color: Tuple[int, int, int] = (0, 0, 0),
    colorbar: bool = False,
    lic_options: Optional[Mapping[str, Any]] = None,
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
    pixel is grey. Masked pixels are black.

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
        Masked pixels are left out of every statistic below and drawn in
        ``mask_color`` (or transparent).
    contrast : str, default "none"
        The brightness: "none" (the LIC values as they are), "stretch" (the
        ``clip`` and 100 - ``clip`` percentiles to 0 and 255, limited),
        "equalize" (global histogram equalisation), "adaptive"
        (contrast-limited adaptive histogram equalisation), "enhanced" (two
        passes: the LIC minus its Gaussian blur, stretched, is the texture
        of a second convolution of (u, v), stretched again; see
        ``lic_options``).
    clip : float, default 0.5
        "stretch", "enhanced": percent of pixels saturated at each end,
        0 up to (not including) 50.
    tiles : int or (int, int), default (8, 8)
        "adaptive": tiles down and across (N: N each way), 1 to 1024.
    clip_limit : float, default 3.0
        "adaptive": the largest slope of a tile's mapping, as a multiple of
        a flat histogram's; at least 1.
    enhance_sigma : float, default 2.0
        "enhanced": the standard deviation of the blur removed from the
        first pass, in pixels; above 0, up to 1000.
    colormap : str, default "classic"
        "classic", "viridis", "magma", "inferno", "plasma", "cividis",
        "grey" (or "gray"), "coolwarm" (diverging); NAME_r reversed.
    colormap_range : (lo, hi) or None, default None
        The values at the two ends of the map; None: 0 to the largest
        magnitude, or the smallest to the largest value of ``color_by``.
    log : bool, default False
        A logarithmic colour scale; the default range starts at the
        smallest value above zero, a given one must lie above zero.
    color_by : "magnitude", "none", None or array (rows, cols), default "magnitude"
        What the colour shows: the vector magnitude, nothing (a grey image
        of the brightness; None is the same), or a scalar of real numbers
        such as vorticity (a pixel whose value is not finite counts as
        masked).
    blend : "multiply" or "overlay", default "multiply"
        "multiply": colour x brightness / 255 (the classic shading);
        "overlay": alpha x colour + (1 - alpha) x brightness.
    alpha : float, default 0.5
        "overlay": the colour's weight, 0 to 1.
    background : None, "opaque" or "transparent", default None
        "transparent": an RGBA image whose masked pixels are transparent
        (alpha 0, the others 255). None is "opaque".
    mask_color : (r, g, b), default (0, 0, 0)
        The colour of masked pixels in an opaque image, whole numbers 0..255.
    colorbar : bool, default False
        Add the console's strip below the image: the colour map from the
        low to the high end of its range, with values written under it. Not
        with ``color_by="none"``.
    lic_options : dict or None, default None
        The keyword arguments that ``convolve`` made ``lic`` with
        (``filter_half_length``, ``slide_steps``, ``hit_limit``, ``step``,
        ``boundary``, ``orientation``, ``interpolation``, ``iterations``,
        ``threads``; ``mask`` is ``render``'s own), for the second pass of
        ``contrast="enhanced"``; None: convolve's defaults. Checked as
        ``convolve`` checks them; unused by the other modes.

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
    u, v = _vectors(u, v)
    lic_values = _float64("lic", lic)
    if lic_values.shape != u.shape:
        raise ValueError(f"lic must have the shape of u and v {u.shape}, got {lic_values.shape}")
    masked = _mask(mask, u, v)
    no_value = np.isnan(lic_values)
    if no_value.any():
        masked = no_value if masked is None else masked | no_value
        masked = masked.view(np.uint8)
    if masked is not None:
        masked = np.ascontiguousarray(masked)

    # In the order of the console's checks (drivers/console/image_options.cpp).
    options: dict = {"contrast": _choice("contrast", contrast, _CONTRASTS)}
    options["clip"] = _real_option("clip", clip)
    if not 0.0 <= options["clip"] < 50.0:
        raise ValueError(f"clip must be a percentage from 0 up to (not including) 50, got {_value(clip)!r}")
    options["tiles"] = _tiles(tiles)
    options["clip_limit"] = _real_option("clip_limit", clip_limit)
    if not options["clip_limit"] >= 1.0 or options["clip_limit"] == np.inf:
        raise ValueError(f"clip_limit must be a number of at least 1, got {_value(clip_limit)!r}")
    options["enhance_sigma"] = _real_option("enhance_sigma", enhance_sigma)
    if not 0.0 < options["enhance_sigma"] <= 1000.0:
        raise ValueError(
            f"enhance_sigma must be a number of pixels above 0, up to 1000, got {_value(enhance_sigma)!r}"
        )
    options["colormap"] = _colormap(colormap)
    options["log"] = _bool_option("log", log)
    options["colormap_range"] = _colormap_range(colormap_range)
    if options["log"] and options["colormap_range"] and not options["colormap_range"][0] > 0.0:
        raise ValueError(f"log: the colour range must lie above zero, got colormap_range {colormap_range!r}")
    scalar = None
    if color_by is None or isinstance(color_by, str):
        if color_by not in (None, "magnitude", "none"):
            raise ValueError(
                f'color_by must be "magnitude", "none", None or an array (rows, cols), got {color_by!r}'
            )
        options["color_by"] = "none" if color_by is None else color_by
    else:
        scalar = _real_array("color_by", color_by)
        if scalar.shape != u.shape:
            raise ValueError(f"color_by must have the shape of u and v {u.shape}, got {scalar.shape}")
        scalar = np.ascontiguousarray(scalar, dtype=np.float64)
        options["color_by"] = "scalar"
    options["blend"] = _choice("blend", blend, ("multiply", "overlay"))
    options["alpha"] = _real_option("alpha", alpha)
    if not 0.0 <= options["alpha"] <= 1.0:
        raise ValueError(f"alpha must be a number from 0 to 1, got {_value(alpha)!r}")
    if not (background is None or (isinstance(background, str) and background in ("opaque", "transparent"))):
        raise ValueError(f'background must be None, "opaque" or "transparent", got {_value(background)!r}')
    options["transparent"] = background == "transparent"
    options["mask_color"] = _mask_color(mask_color)
    options["colorbar"] = _bool_option("colorbar", colorbar)
    if options["colorbar"] and options["color_by"] == "none":
        raise ValueError("colorbar: there is no colour scale with color_by none")

    if lic_options is None:
        lic_options = {}
    if not isinstance(lic_options, Mapping):
        raise TypeError(f"lic_options must be a dict of convolve's options, got {type(lic_options).__name__}")
    for key in lic_options:
        if key not in _LIC_OPTIONS:
            raise ValueError(f"lic_options has an unknown key {key!r}: the keys are {', '.join(_LIC_OPTIONS)}")
    params, thread_count = _lic_params(**lic_options)
    return _fastlic.render(
        np.ascontiguousarray(lic_values), v, u, masked, options, scalar, params, thread_count
    )


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
    as the console reads them.

    Raises
    ------
    OSError
        A file cannot be opened; the console's message, e.g.
        ``Bad Vector Filename: NAME`` (the vector file is tested first).
    ValueError
        A file does not hold what it must; the console's message naming the
        file, the line and the problem, e.g.
        ``field.vec:1042: expected a number, found "1.5x"``.
    """
    rows, cols = _check_shape(shape)
    names = []
    for name, path in (("vectors_path", vectors_path), ("texture_path", texture_path)):
        try:
            names.append(os.fsdecode(os.fspath(path)))
        except TypeError:
            raise TypeError(f"{name} must be a path, got {type(path).__name__}") from None
    texture, x, y = _fastlic.read_text_field(names[0], names[1], rows, cols)
    return texture, y, x
