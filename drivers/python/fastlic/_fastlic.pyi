# The compiled core. Arrays are checked and converted by fastlic's
# functions: float64 arrays (int32 or float64 texture), 2-D, of one shape,
# aligned; a mask is uint8 of that shape (nonzero = no data) or None. x runs
# along the rows (v), y along the columns (u). render's lic, mask and scalar
# are C-ordered. Options are dicts of the public keywords and Python values
# (boundary as "rows=B,cols=B" or a word, kernel as a word or a list of
# floats), checked here by the tables that
# `options` describes; a scalar, where given, is what the colour shows.
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt

class OptionRow(TypedDict):
    name: str
    keyword: str
    kind: str  # integer, real, flag, choice, numbers, text
    default: Any
    choices: list[tuple[str, str]]  # (word, help)
    range: tuple[float, float, bool, bool] | None  # lo, hi, lo open, hi open
    help: str
    phrase: str  # "KEYWORD must be PHRASE, got VALUE"

__version__: str

def convolve(
    texture: npt.NDArray[np.int32] | npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    mask: npt.NDArray[np.uint8] | None,
    options: dict[str, Any],
    threads: int,
    coordinates: tuple[Any, Any, Any, bool] | None = None,
    lic: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...

# Frames (N, rows, cols): one field's loop of `frames` (xs, ys of one
# array each), or a frame per field of the lists; wavelength 0 is the
# filter half length, steady takes each window's mean of the wave out,
# phase_step NaN none; coordinates as convolve's.
def animate(
    texture: npt.NDArray[np.int32] | npt.NDArray[np.float64],
    xs: list[npt.NDArray[np.float64]],
    ys: list[npt.NDArray[np.float64]],
    mask: npt.NDArray[np.uint8] | None,
    options: dict[str, Any],
    frames: int,
    wavelength: float,
    steady: bool,
    phase_step: float,
    threads: int,
    coordinates: tuple[Any, Any, Any, bool] | None = None,
) -> npt.NDArray[np.float64]: ...

colormap_names: list[str]
# By family: method, sampling, boundary (convolve's), image (render's).
options: dict[str, list[OptionRow]]

def render(
    lic: npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    mask: npt.NDArray[np.uint8] | None,
    scalar: npt.NDArray[np.float64] | None,
    options: dict[str, Any],
    lic_options: dict[str, Any],
    threads: int,
    coordinates: tuple[Any, Any, Any, bool] | None = None,
    table: npt.NDArray[np.float64] | None = None,
) -> npt.NDArray[np.uint8]: ...
def colormap_samples(name: str, count: int) -> npt.NDArray[np.float64]: ...
def read_text_field(
    vector_file: str, texture_file: str, rows: int, cols: int
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def demo_field(rows: int, cols: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def noise(rows: int, cols: int, seed: int) -> npt.NDArray[np.uint8]: ...

# frames (N, rows, cols, 3 or 4) uint8, C-ordered; path as the file system's bytes.
animation_extensions: list[str]
def save_animation(frames: npt.NDArray[np.uint8], path: bytes, fps: float, threads: int) -> None: ...
