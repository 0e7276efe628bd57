# The compiled core. Arguments are checked and converted by fastlic's
# functions: float64 arrays (int32 or float64 texture), 2-D, of one shape,
# aligned; a mask is uint8 of that shape (nonzero = no data) or None. x runs
# along the rows (v), y along the columns (u). render's lic, mask and scalar
# are C-ordered; its options are fastlic.render's keywords, checked
# (tiles a pair, color_by "magnitude", "none" or "scalar", transparent a
# bool); params are convolve's, in its order, for enhanced contrast.
from typing import Any

import numpy as np
import numpy.typing as npt

__version__: str

def convolve(
    texture: npt.NDArray[np.int32] | npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    filter_half_length: int,
    slide_steps: int,
    hit_limit: int,
    step: float,
    rows_closed: bool,
    cols_closed: bool,
    mask: npt.NDArray[np.uint8] | None,
    orientation: bool,
    linear: bool,
    iterations: int,
    threads: int,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]: ...
colormap_names: list[str]

def render(
    lic: npt.NDArray[np.float64],
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    mask: npt.NDArray[np.uint8] | None,
    options: dict[str, Any],
    scalar: npt.NDArray[np.float64] | None,
    params: tuple[int, int, int, float, bool, bool, bool, bool, int],
    threads: int,
) -> npt.NDArray[np.uint8]: ...
def read_text_field(
    vector_file: str, texture_file: str, rows: int, cols: int
) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def demo_field(rows: int, cols: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def noise(rows: int, cols: int, seed: int) -> npt.NDArray[np.uint8]: ...
