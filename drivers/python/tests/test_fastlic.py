import concurrent.futures
import inspect
import os
import signal
import subprocess
import sys
import typing
import threading
import time

import matplotlib
import matplotlib.colors
import numpy as np
import pytest
from PIL import Image

import fastlic

SHAPE = (37, 53)  # not square, so that swapped axes or components show


def field(shape=SHAPE):
    """A vortex off the centre plus noise: u and v unlike each other."""
    rng = np.random.default_rng(7)
    i, j = np.mgrid[0 : shape[0], 0 : shape[1]].astype(np.float64)
    u = (i - 11.3) + 0.3 * rng.standard_normal(shape)
    v = -(j - 30.1) + 0.3 * rng.standard_normal(shape)
    texture = rng.integers(0, 256, shape).astype(np.int32)
    return texture, u, v


def blob(shape=SHAPE):
    i, j = np.mgrid[0 : shape[0], 0 : shape[1]]
    return np.hypot(i - 20, j - 12) < 6


def write_text(dir, texture, u, v):
    """The console's files: a cell's (x, y) pair is (v, u)."""
    vectors, noise = dir / "field.vec", dir / "noise.txt"
    np.savetxt(vectors, np.column_stack([v.ravel(), u.ravel()]), fmt="%.17g")
    np.savetxt(noise, texture, fmt="%d")
    return vectors, noise


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def same_run(a, b):
    return all(same_bits(x, y) for x, y in zip(a, b))


# Options of the console, of convolve and of render: the default, another
# shape, and walls, a mask, orientation, linear sampling and two passes
# together; then the image options on a masked field, each unlike the
# classic image.
MASKED = (["--mask", "mask.txt"], dict(mask=blob()))
# Not evenly spaced; latitudes from north to south.
LON, LAT = -30 + 70 * np.linspace(0, 1, SHAPE[1]) ** 1.5, np.linspace(70, -20, SHAPE[0])
CASES = [
    ([], {}, {}),
    (["--filter-half-length", 5, "--slide-steps", "011", "--hit-limit", 2, "--step", "+.75"],  # decimal, not octal
     dict(filter_half_length=5, slide_steps=11, hit_limit=2, step=0.75), {}),
    (["--boundary", "rows=closed", "--mask", "mask.txt", "--orientation", "--interpolation", "linear",
      "--iterations", 2],
     dict(boundary={"rows": "closed"}, mask=blob(), orientation=True, interpolation="linear", iterations=2), {}),
    (["--cell-size", "3,7"], dict(spacing=(3, 7)), {}),
    (["--coordinates", "lonlat.npz", "--geographic", "--interpolation", "linear", "--contrast", "enhanced"],
     dict(x=LON, y=LAT, geographic=True, interpolation="linear"), dict(contrast="enhanced")),
    (MASKED[0] + ["--mask-color", "255,0,0"], MASKED[1], dict(mask_color=(255, 0, 0))),
    (MASKED[0] + ["--contrast", "stretch", "--clip", 2, "--colormap", "viridis", "--colorbar", "--colorbar-label",
                  "speed (m/s)"], MASKED[1],
     dict(contrast="stretch", clip=2, colormap="viridis", colorbar=True, colorbar_label="speed (m/s)")),
    (MASKED[0] + ["--contrast", "equalize", "--color-by", "none", "--background", "transparent"], MASKED[1],
     dict(contrast="equalize", color_by=None, background="transparent")),
    (MASKED[0] + ["--contrast", "adaptive", "--tiles", "3x4", "--clip-limit", 2, "--colormap", "magma_r", "--log",
                  "--colormap-range", "1:30", "--blend", "overlay", "--alpha", 0.3], MASKED[1],
     dict(contrast="adaptive", tiles=(3, 4), clip_limit=2, colormap="magma_r", log=True,
          colormap_range=(1, 30), blend="overlay", alpha=0.3)),
    (MASKED[0] + ["--contrast", "enhanced", "--enhance-sigma", 1.5, "--filter-half-length", 5, "--slide-steps", 3,
                  "--boundary", "rows=closed", "--interpolation", "linear", "--color-by", "scalar.npy",
                  "--colormap", "coolwarm", "--colorbar"],
     dict(mask=blob(), filter_half_length=5, slide_steps=3, boundary={"rows": "closed"}, interpolation="linear"),
     dict(contrast="enhanced", enhance_sigma=1.5, color_by="scalar", colormap="coolwarm", colorbar=True)),
]


@pytest.mark.parametrize("args, options, image_options", CASES)
def test_same_bits_as_the_console_both_ways(console, tmp_path, args, options, image_options):
    texture, u, v = field()
    vectors, noise = write_text(tmp_path, texture, u, v)
    np.savetxt(tmp_path / "mask.txt", blob(), fmt="%d")
    scalar = np.sin(np.arange(SHAPE[0] * SHAPE[1]).reshape(SHAPE) / 40.0) * 5
    np.save(tmp_path / "scalar.npy", scalar)
    np.savez_compressed(tmp_path / "lonlat.npz", x=LON, y=LAT)
    console("--vectors", vectors, "--texture", noise, "--size", f"{SHAPE[0]}x{SHAPE[1]}", *args,
            "--lic", "lic.npy", "--hits", "hits.npy", "-o", "image.png", cwd=tmp_path)

    # Arrays to text: the arrays written above.
    lic, hits = fastlic.convolve(texture, u, v, return_hits=True, **options)
    assert same_bits(lic, np.load(tmp_path / "lic.npy")) and same_bits(hits, np.load(tmp_path / "hits.npy"))
    # Text to arrays: the files read back are the arrays, and convolve the same.
    read = fastlic.read_text_field(vectors, noise, SHAPE)
    assert all(same_bits(a, b) for a, b in zip(read, (texture, u, v)))
    assert same_bits(fastlic.convolve(*read, **options), lic)
    # The image, pixel for pixel.
    if image_options.get("color_by") == "scalar":
        image_options = dict(image_options, color_by=scalar)
    image = fastlic.render(lic, u, v, **image_options)  # the options lic carries
    assert same_bits(image, np.asarray(Image.open(tmp_path / "image.png")))
    assert not image_options or not np.array_equal(image[: SHAPE[0], :, :3], fastlic.render(lic, u, v))


def test_u_and_v_files_are_pythons(console, tmp_path):
    texture, u, v = field()
    for name, a in (("u", u), ("v", v.astype(np.float32)), ("t", texture)):
        np.save(tmp_path / f"{name}.npy", a)
    console("--u", "u.npy", "--v", "v.npy", "--texture", "t.npy", "--lic", "lic.npy", cwd=tmp_path)
    assert same_bits(np.load(tmp_path / "lic.npy"), fastlic.convolve(texture, u, v.astype(np.float32)))


def test_demo_data_is_the_consoles(console, tmp_path):
    shape = (23, 31)
    console("--demo", tmp_path, "--size", f"{shape[0]}x{shape[1]}")
    texture, u, v = fastlic.read_text_field(tmp_path / "ps.vec.256.256.3", tmp_path / "noise.256.256", shape)
    assert same_bits(fastlic.noise(shape).astype(np.int32), texture)
    demo_u, demo_v = fastlic.demo_field(shape)
    assert same_bits(demo_u, u) and same_bits(demo_v, v)
    assert not np.array_equal(fastlic.noise(shape, seed=1), fastlic.noise(shape))


def strided(a):
    """The same values as a view with negative steps in both axes."""
    view = np.zeros((a.shape[0] * 2, a.shape[1] * 3), a.dtype)[::-2, ::-3]
    view[...] = a
    return view


def test_dtypes_and_layouts_give_the_plain_result():
    texture, u, v = field()
    u, v = u.astype(np.float32).astype(np.float64), v.astype(np.float32).astype(np.float64)
    plain = fastlic.convolve(texture, u, v)
    big_texture = texture.astype(np.int64) + 2**40  # beyond int32: taken as float64
    cases = [
        (texture, u.astype(np.float32), v.astype(np.float32)),
        (np.asfortranarray(texture), np.asfortranarray(u), np.asfortranarray(v)),
        (strided(texture), strided(u), strided(v)),
        (texture.astype(np.uint8), u.astype(">f8"), v.tolist()),
        (texture.astype(np.int64), u, v),
        (texture.astype(np.float32), u, v),
        (texture, np.frombuffer(b"\0" + u.tobytes(), offset=1).reshape(SHAPE), v),  # contiguous, odd address
    ]
    for t, cu, cv in cases:
        before = [np.array(a, copy=True) for a in (t, cu, cv)]
        result = fastlic.convolve(t, cu, cv)
        assert same_bits(result, plain)
        assert all(np.array_equal(a, b) for a, b in zip(before, (t, cu, cv)))  # inputs untouched
        assert result.flags.c_contiguous and result.flags.owndata
    assert same_bits(
        fastlic.convolve(big_texture, u, v), fastlic.convolve(big_texture.astype(np.float64), u, v)
    )
    assert same_bits(fastlic.render(strided(plain), strided(u), np.asfortranarray(v)), fastlic.render(plain, u, v))
    assert same_bits(fastlic.convolve(None, u, v), fastlic.convolve(fastlic.noise(SHAPE), u, v))


def test_the_gil_is_released_and_calls_run_at_once():
    u, v = fastlic.demo_field((384, 384))
    serial = fastlic.convolve(None, u, v, threads=1)
    # Another Python thread keeps ticking through the call's middle half.
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    start = time.perf_counter()
    fastlic.convolve(None, u, v, threads=1)
    end = time.perf_counter()
    stop.set()
    ticker.join()
    quarter = (end - start) / 4
    assert sum(start + quarter < t < end - quarter for t in ticks) >= 5
    # Two calls at once from two Python threads give the serial result.
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda _: fastlic.convolve(None, u, v, threads=1), range(2)))
    assert all(same_bits(r, serial) for r in results)


@pytest.mark.parametrize("call", [
    "fastlic.convolve(None, u, v, iterations=10**6, max_work=1e12, threads=1)",
    "fastlic.render(lic, u, v, contrast='enhanced', lic_options=dict(iterations=10**6, max_work=1e12))",
])
def test_ctrl_c_interrupts_a_long_call_at_once(call):
    script = ("import fastlic\nu, v = fastlic.demo_field((64, 64))\nlic = fastlic.convolve(None, u, v)\n"
              "print('ready', flush=True)\ntry:\n"
              f"    {call}\n"
              "except KeyboardInterrupt:\n    print('KeyboardInterrupt')\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert child.stdout.readline() == "ready\n"
    time.sleep(0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    assert child.communicate(timeout=60)[0] == "KeyboardInterrupt\n" and time.monotonic() - sent < 2


def bad(u=None, v=None, texture=None, **options):
    t, fu, fv = field((4, 5))
    return lambda: fastlic.convolve(t if texture is None else texture, fu if u is None else u,
                                    fv if v is None else v, **options)


def with_cell(a, cell, value):
    a = np.array(a, dtype=np.float64)
    a[cell] = value
    return a


_, U, V = field((4, 5))
TALL = field((40, 5))
ERRORS = [
    (bad(u=np.zeros(5)), ValueError, "u must be a 2-D array (rows, cols), got shape (5,)"),
    (bad(kernel=[1, -1, 1]), ValueError, "kernel: weights must be finite and at least 0, got -1 at index 1"),
    (bad(kernel=[0.0] * 3), ValueError, "kernel: weights must have a sum above 0, got all 0"),
    (bad(kernel=np.ones((3, 3))), ValueError, "kernel must be a 1-D array of weights, got shape (3, 3)"),
    (bad(kernel=np.ones(5), filter_half_length=3), ValueError,
     "kernel: 5 weights make the filter half length 2, not the 3 that filter_half_length or length sets"),
    (bad(kernel="hanning"), ValueError,
     'kernel must be "box", "triangle", "hann", "gaussian", "sine" or a 1-D array of weights, got \'hanning\''),
    (bad(length=10, slide_steps=3), ValueError, "length: cannot be given with slide_steps"),
    (bad(u=np.stack([U, U]), v=np.stack([V, V]), texture=np.zeros((3, 4, 5))), ValueError,
     "texture must have the stack's leading dimensions (2,) (or none, shared by every frame), got shape (3, 4, 5)"),
    (bad(u=np.stack([U, with_cell(U, (1, 2), np.nan)]), v=np.stack([V, V])), ValueError,
     "frame 1: u[1, 2] is nan: vector components must be finite"),
    (bad(u=np.zeros((2, 4, 5)), v=np.zeros((3, 4, 5))), ValueError,
     "u and v must have the same shape, got u (2, 4, 5) and v (3, 4, 5)"),
    (bad(tiles=True), ValueError, "tiles=True: only Dask arrays are computed in tiles"),
    (lambda: fastlic.cluster("tcp://127.0.0.1:1", workers=2), ValueError, "cluster: give address or workers, not both"),
    (bad(v=np.zeros((4, 5), complex)), TypeError, "v must be an array of real numbers, got dtype complex128"),
    (bad(u=np.zeros((0, 5))), ValueError, "u.shape must have at least one row and one column, got (0, 5)"),
    (bad(v=np.zeros((5, 4))), ValueError, "u and v must have the same shape, got u (4, 5) and v (5, 4)"),
    (bad(texture=np.zeros((5, 4))), ValueError, "texture must have the shape of u and v (4, 5), got (5, 4)"),
    (bad(texture=np.full((4, 5), "a")), TypeError, "texture must be an array of real numbers, got dtype <U1"),
    (bad(u=with_cell(U, (1, 2), np.nan)), ValueError, "u[1, 2] is nan: vector components must be finite"),
    (bad(v=with_cell(V, (3, 0), -np.inf)), ValueError, "v[3, 0] is -inf: vector components must be finite"),
    # The first in row order, though the rows are checked on several threads.
    (lambda: fastlic.convolve(TALL[0], with_cell(with_cell(TALL[1], (33, 1), np.nan), (20, 4), np.inf), TALL[2]),
     ValueError, "u[20, 4] is inf: vector components must be finite"),
    (bad(u=with_cell(U, (2, 4), 1e200), v=with_cell(V, (2, 4), 3e200)), ValueError,
     "the vector (u, v) = (1e+200, 3e+200) at [2, 4] is too large: its squared length overflows"),
    (bad(texture=with_cell(np.ones((4, 5)), (0, 1), np.nan)), ValueError,
     "texture[0, 1] is nan: texture values must be finite"),
    (bad(filter_half_length=0), ValueError, "filter_half_length must be at least 1, got 0"),
    (bad(step=float("nan")), ValueError, "step must be a finite number above 0, got nan"),
    (bad(filter_half_length=300, slide_steps=300, step=2), ValueError,
     "filter_half_length, slide_steps and step: the streamline reaches 1200 cells each way, "
     "more than 100 times the grid's longer side (500 cells)"),
    (bad(filter_half_length=1.0), TypeError, "filter_half_length must be an integer, got float"),
    (bad(slide_steps=2**40), ValueError, "slide_steps must be a 32-bit integer, got 1099511627776"),
    (bad(step="1"), TypeError, "step must be a real number, got str"),
    (bad(threads=1025), ValueError, "threads must be from 1 to 1024 (or None for every core), got 1025"),
    (bad(boundary="open"), ValueError,
     'boundary must be "periodic" or "closed", or a dict {"rows": ..., "cols": ...} of them, got \'open\''),
    (bad(boundary={"row": "closed"}), ValueError, 'boundary has an unknown key \'row\': the keys are "rows" and "cols"'),
    (bad(boundary={"cols": "wall"}), ValueError, 'boundary["cols"] must be "periodic" or "closed", got \'wall\''),
    (bad(boundary=1), TypeError, "boundary must be a string or a dict, got int"),
    (bad(mask="zero"), ValueError, 'mask must be None, "nan" or an array (rows, cols), got \'zero\''),
    (bad(mask=np.zeros((4, 5))), TypeError, "mask must be an array of bools or integers, got dtype float64"),
    (bad(mask=np.zeros(5, bool)), ValueError, "mask must be a 2-D array (rows, cols), got shape (5,)"),
    (bad(mask=np.zeros((5, 4), bool)), ValueError, "mask must have the shape of u and v (4, 5), got (5, 4)"),
    # A mask excuses only its own cells, and "nan" only NaN.
    (bad(u=with_cell(U, (1, 2), np.nan), mask=np.eye(4, 5, dtype=bool)), ValueError,
     "u[1, 2] is nan: vector components must be finite"),
    (bad(v=with_cell(V, (3, 0), np.inf), mask="nan"), ValueError, "v[3, 0] is inf: vector components must be finite"),
    (bad(u=np.ma.masked_all((4, 5))), ValueError,
     "every cell is masked (by mask, NaN or masked array elements): there is no data"),
    (bad(orientation=1), TypeError, "orientation must be True or False, got int"),
    (bad(return_hits="yes"), TypeError, "return_hits must be True or False, got str"),
    (bad(texture=np.where(np.eye(4, 5, 1, dtype=bool), 2**53 + 1, 1)), ValueError,
     "texture[0, 1] (9007199254740993) is not exact as a double"),
    (bad(spacing=(1, 0)), ValueError, "spacing[1] (dx) must be a positive finite number, got 0"),
    (bad(spacing=(1, 2), x=np.arange(5)), ValueError, "give x and y, or spacing, not both"),
    (bad(x=np.arange(5)), ValueError, "y is missing: x and y go together (or give spacing=(dy, dx))"),
    (bad(x=np.arange(4), y=np.arange(4)), ValueError, "x must have one value for each of the 5 columns, got 4"),
    (bad(x=np.arange(5), y=[0, 1, 1, 2]), ValueError,
     "y[2] repeats y[1] (1): coordinates must be strictly increasing or decreasing"),
    (bad(x=[3, 2, 1, 1.5, 0], y=np.arange(4)), ValueError,
     "x[3] (1.5) turns back after x[2] (1): coordinates must be strictly decreasing, as they start"),
    (bad(x=[0, 1, np.nan, 3, 4], y=np.arange(4)), ValueError, "x[2] is nan: coordinates must be finite"),
    (bad(x=np.arange(5), y=[60, 70, 80, 90], geographic=True), ValueError,
     "y[3] is 90: latitudes must lie strictly between -90 and 90 (east has no direction at a pole)"),
    (bad(geographic=True), ValueError, "geographic: needs x (longitudes) and y (latitudes)"),
    (bad(u=np.full((4, 5), 1e153), x=np.arange(5), y=[89.99999, 89.9999, 89.999, 89.99], geographic=True), ValueError,
     "the vector at [0, 0] is too large in cell units: its squared length overflows once divided by the cell's size"),
    (bad(interpolation="cubic"), ValueError, 'interpolation must be "nearest" or "linear", got \'cubic\''),
    (bad(interpolation=1), TypeError, 'interpolation must be "nearest" or "linear", got 1'),  # a type, as for numbers
    (bad(iterations=2**31 - 1), ValueError, "max_work: the run would trace up to 1675037244660 streamline points "
     "(cells x (2 x (filter half length + slide steps) + 1) x iterations), more than the limit of 20000000000; "
     "give a larger max_work to run it"),
    (bad(texture=with_cell(np.ones((4, 5)), (2, 3), -1e308)), ValueError,
     "texture[2, 3] is -1e+308: texture values must be at most 2^990 (about 1.05e298) in magnitude"),
    # The core takes no option it does not know.
    (lambda: fastlic._fastlic.convolve(field((4, 5))[0], V, U, None, {"linear": True}, 0), ValueError,
     "unknown option 'linear'"),
    (lambda: fastlic.render(np.zeros((4, 4)), U, V), ValueError, "lic must have the shape of u and v (4, 5), got (4, 4)"),
    *[(lambda o=o: fastlic.render(np.zeros((4, 5)), U, V, **o), kind, message) for o, kind, message in [
        (dict(contrast="sharp"), ValueError,
         'contrast must be "none", "stretch", "equalize", "adaptive" or "enhanced", got \'sharp\''),
        (dict(clip=50), ValueError, "clip must be a percentage from 0 up to (not including) 50, got 50"),
        (dict(clip="1"), TypeError, "clip must be a real number, got str"),
        (dict(tiles=(0, 8)), ValueError,
         "tiles must be N or a pair (rows, cols) of whole numbers from 1 to 1024, got (0, 8)"),
        (dict(enhance_sigma=0), ValueError, "enhance_sigma must be a number of pixels from 0.2 to 1000, got 0"),
        (dict(colormap_range=(0, 10**400)), ValueError,
         f"colormap_range must be None or a pair (lo, hi) of finite numbers, lo below hi, got (0, {10**400})"),
        (dict(colormap="nosuchmap"), ValueError, "colormap must be one of classic, viridis, magma, inferno, plasma, "
         "cividis, grey, gray, coolwarm, or NAME_r reversed, or a matplotlib colour map (a name or a Colormap), "
         "got 'nosuchmap'"),
        (dict(colormap_range=(1, 2), norm=matplotlib.colors.Normalize()), ValueError,
         "norm: give norm, or colormap_range and log, not both"),
        (dict(norm=matplotlib.colors.PowerNorm(2)), TypeError, "norm must be a matplotlib Normalize or LogNorm, got PowerNorm"),
        (dict(log=True, colormap_range=(0, 1)), ValueError,
         "log: the colour range must lie above zero, got colormap_range (0, 1)"),
        (dict(color_by="speed"), ValueError,
         'color_by must be "magnitude", "vorticity", "none", None or an array (rows, cols), got \'speed\''),
        (dict(color_by=np.zeros((5, 4))), ValueError, "color_by must have the shape of u and v (4, 5), got (5, 4)"),
        (dict(mask_color=(0, 0, 256)), ValueError,
         "mask_color must be (r, g, b), three whole numbers from 0 to 255, got (0, 0, 256)"),
        (dict(colorbar=True, color_by="none"), ValueError, "colorbar: there is no colour scale with color_by none"),
        (dict(colorbar_label="m/s"), ValueError, "colorbar_label: a caption needs colorbar"),
        (dict(lic_options={"mask": None}), ValueError,
         "lic_options has an unknown key 'mask': the keys are kernel, filter_half_length, slide_steps, hit_limit, "
         "step, length, boundary, orientation, interpolation, iterations, max_work, threads, x, y, spacing, "
         "geographic"),
        (dict(contrast="enhanced"), ValueError, 'contrast="enhanced" convolves again with the options lic was '
         "made with: give convolve's result as it returned it, or lic_options="),
        (dict(texture_range=(1, 1)), ValueError,
         "texture_range must be a pair (lo, hi) of finite numbers, lo below hi, got (1, 1)"),
        (dict(lic_options={"hit_limit": 0}), ValueError, "hit_limit must be at least 1, got 0"),
    ]],
    (lambda: fastlic.noise((3,)), TypeError, "shape must be a pair (rows, cols), got (3,)"),
    (lambda: fastlic.noise((2.0, 3)), TypeError, "shape must be a pair of integers (rows, cols), got (2.0, 3)"),
    (lambda: fastlic.demo_field((0, 3)), ValueError, "shape must have at least one row and one column, got (0, 3)"),
    (lambda: fastlic.noise((70000, 70000)), ValueError,
     "shape (70000, 70000) has 4900000000 cells; at most 2147483647 are supported"),
    (lambda: fastlic.noise((2, 2), seed=-1), ValueError, "seed must be at least 0 and below 2**64, got -1"),
    (lambda: fastlic.read_text_field("/nonexistent/v", "/nonexistent/t", (2, 2)), OSError,
     "Bad Vector Filename: /nonexistent/v"),
    (lambda: fastlic.read_text_field(__file__, 3, (2, 2)), TypeError, "texture_path must be a path, got int"),
    (lambda: fastlic.read_text_field(__file__ + "\0x", __file__, (2, 2)), ValueError,
     f"vectors_path must not contain a NUL character, got {__file__ + chr(0) + 'x'!r}"),
    (lambda: fastlic.read_text_field(b"/nonexistent/\xff", __file__, (2, 2)), OSError,
     "Bad Vector Filename: /nonexistent/\\xff"),
    (lambda: fastlic.read_text_field("-", __file__, (2, 2)), OSError, "Bad Vector Filename: ./-"),  # a name
    (lambda: fastlic.read_text_field(__file__, "/nonexistent/t", (2, 2)), OSError, "Bad Texture Filename: /nonexistent/t"),
    (lambda: fastlic.read_text_field(__file__, __file__, (2, 2)), ValueError,
     f'{__file__}:1: expected a number, found "import"'),
    (lambda: fastlic.animate(None, np.zeros((4, 5)), np.zeros((4, 5))), TypeError,
     "frames is required for a static field (u, v of shape (rows, cols))"),
    (lambda: fastlic.animate(None, np.zeros((2, 4, 5)), np.zeros((2, 4, 5)), frames=3), ValueError,
     "frames must be None or the number of fields 2 for a time series, got 3"),
    (lambda: fastlic.animate(None, np.zeros((4, 5)), np.zeros((4, 5)), frames=2, steady="yes"), TypeError,
     "steady must be True or False, got str"),
    (lambda: fastlic.animate(None, np.zeros((4, 5)), np.zeros((4, 5)), frames=2, wavelength=0), ValueError,
     "wavelength must be a finite number above 0, got 0"),
    (lambda: fastlic.save_animation(np.zeros((2, 4, 5, 3)), "a.png"), ValueError,
     "frames must be a uint8 array (N, rows, cols, 3 or 4), got float64 (2, 4, 5, 3)"),
    (lambda: fastlic.save_animation(np.zeros((2, 4, 5, 3), np.uint8), "a.png", fps=0), ValueError,
     "fps must be a number more than 0 and at most 1000, got 0"),
    (lambda: fastlic.save_animation(np.zeros((2, 4, 5, 3), np.uint8), "a.bmp"), ValueError,
     "path must end in .png, .mp4, .webm, .gif, .apng or be a frame pattern such as frame%04d.png, got 'a.bmp'"),
    (lambda: fastlic.save_animation(np.zeros((2, 4, 5, 3), np.uint8), "/nonexistent/a%d.bmp"), ValueError,
     "/nonexistent/a%d.bmp: expected .ppm or .png frames"),
    (lambda: fastlic.save_animation(np.zeros((2, 4, 5, 3), np.uint8), "/nonexistent/a.png"), OSError,
     "/nonexistent/a.png: cannot create: No such file or directory"),
]


@pytest.mark.parametrize("call, kind, message", ERRORS, ids=[e[2][:40] for e in ERRORS])
def test_errors(call, kind, message):
    with pytest.raises(kind) as raised:
        call()
    assert str(raised.value) == message


def test_signatures_are_the_tables():
    for function, families in ((fastlic.convolve, ("method", "sampling", "boundary")), (fastlic.render, ("image",))):
        parameters = inspect.signature(function).parameters
        for row in (row for family in families for row in fastlic._fastlic.options[family]):
            assert parameters[row["keyword"]].default in (None, row["default"]), row["keyword"]
            words = getattr(fastlic, "".join(w.title() for w in row["keyword"].split("_")) + "Name", None)
            assert words is None or typing.get_args(words) == tuple(w for w, _ in row["choices"]), row["keyword"]


def test_equivalent_forms_give_the_same_run():
    texture, u, v = field()
    mask = blob()
    nan_u = np.where(mask, np.nan, u)

    def run(t=texture, cu=u, cv=v, **options):
        return fastlic.convolve(t, cu, cv, return_hits=True, **options)

    periodic, closed, masked = run(), run(boundary="closed"), run(mask=mask)
    assert not same_run(closed, periodic)
    assert np.isnan(masked[0][mask]).all() and not masked[1][mask].any()
    i = np.arange(SHAPE[0])[:, None]
    for expected, forms in [
        (periodic, [run(boundary="periodic"), run(boundary={}), run(boundary={"rows": "periodic", "cols": "periodic"}),
                    run(mask=np.zeros(SHAPE, bool))]),
        (closed, [run(boundary={"rows": "closed", "cols": "closed"})]),
        (run(kernel="hann", length=10), [run(kernel="hann", filter_half_length=10, slide_steps=9),
                                         run(kernel="hann", length=10.4, step=0.5)]),
        # Weights of any dtype; twice the weights, the same bits.
        (run(kernel=[1, 2, 5, 3, 0]), [run(kernel=np.array([1, 2, 5, 3, 0], np.int16)),
                                       run(kernel=(2.0, 4.0, 10.0, 6.0, 0.0))]),
        (masked, [run(mask=mask.astype(np.int64) * 256),  # nonzero, low byte zero
                  run(mask=strided(mask.astype(np.uint8))),
                  run(cu=nan_u, mask="nan"),
                  run(t=np.where(mask, np.nan, texture), cu=nan_u, mask=mask),  # masked cells' values unused
                  run(t=np.where(mask, 2**53 + 1, texture), mask=mask),
                  run(cu=nan_u, cv=np.where(mask, np.inf, v), mask="nan"),  # (nan, inf): no data
                  # netCDF's land: masked elements over a fill value, in any of the arrays.
                  run(cu=np.ma.masked_where(mask, np.where(mask, 1e20, u))),
                  run(cv=np.ma.masked_where(mask & (i > 20), v), t=np.ma.masked_where(mask & (i <= 20), texture)),
                  run(cu=np.where(i > 20, nan_u, u), mask=mask & (i <= 20), mask_nan=True)]),
    ]:
        assert all(same_run(form, expected) for form in forms)


def test_coordinates_trace_the_physical_directions():
    texture, _, _ = field()
    i, j = np.mgrid[0 : SHAPE[0], 0 : SHAPE[1]].astype(np.float64)
    u, v = -(i - 18.3), 2 * (j - 25.7)  # a vortex on cells twice as wide as high
    plain = fastlic.convolve(texture, u, v)
    cols, rows = np.arange(SHAPE[1], dtype=np.float64), np.arange(SHAPE[0], dtype=np.float64)
    for run, expected in [
        (dict(spacing=(1, 2)), fastlic.convolve(texture, u / 2, v)),
        (dict(x=5 + 2 * cols, y=rows - 4), fastlic.convolve(texture, u / 2, v)),  # affine: the same spacing
        (dict(spacing=(0.75, 0.75)), plain),  # square cells are the plain field
        (dict(x=cols, y=-rows), fastlic.convolve(texture, u, -v)),  # y upwards
        (dict(x=-cols, y=rows), fastlic.convolve(texture, -u, v)),
    ]:
        assert same_bits(fastlic.convolve(texture, u, v, **run), expected), run
    # Where the division is not exact: within the last bits of a direction.
    for run, (hu, hv) in [(dict(spacing=(3, 7)), (u / 7, v / 3)),
                          (dict(x=LON, y=LAT, geographic=True),
                           (u / (np.gradient(LON) * np.cos(np.radians(LAT))[:, None]), v / np.gradient(LAT)[:, None]))]:
        lic, hand = fastlic.convolve(texture, u, v, **run), fastlic.convolve(texture, hu, hv)
        assert np.mean(lic == hand) > 0.98 and not np.array_equal(lic, plain), run


def test_results_carry_the_texture_range_and_options():
    texture, u, v = field()
    noise = fastlic.noise(SHAPE)
    lic = fastlic.convolve(noise, u, v, step=0.25)
    fractions = fastlic.convolve(noise / 255.0, u, v, step=0.25)
    assert lic.texture_range == (0, 255) and fractions.texture_range == (noise.min() / 255, noise.max() / 255)
    classic = fastlic.render(np.asarray(lic), u, v)
    assert same_bits(fastlic.render(lic, u, v), classic)
    # A texture of fractions: the same picture, but for the last bit of a shade.
    assert np.abs(fastlic.render(fractions, u, v, texture_range=(0, 1)).astype(int) - classic).max() <= 1
    enhanced = fastlic.render(lic, u, v, contrast="enhanced")
    assert same_bits(enhanced, fastlic.render(np.asarray(lic), u, v, contrast="enhanced", lic_options=dict(step=0.25)))
    assert not np.array_equal(enhanced, fastlic.render(lic, u, v, contrast="enhanced", lic_options={}))
    assert type(lic * 2) is np.ndarray and lic[1:].lic_options == lic.lic_options


def test_dataarrays_keep_their_coordinates():
    xr = pytest.importorskip("xarray")
    texture, u, v = field()
    land = blob()
    U = xr.DataArray(np.where(land, np.nan, u), dims=("lat", "lon"), coords={"lat": LAT, "lon": LON})
    lic = fastlic.convolve(texture, U, U.copy(data=v), step=0.25)
    expected = fastlic.convolve(texture, u, v, x=LON, y=LAT, geographic=True, mask=land, step=0.25)
    assert same_bits(lic.values, np.asarray(expected)) and lic.dims == U.dims and lic.coords.to_dataset().equals(U.coords.to_dataset())
    assert same_bits(fastlic.render(lic, U, U.copy(data=v), contrast="enhanced"),
                     fastlic.render(expected, u, v, mask=land, contrast="enhanced"))
    renamed = U.rename(lat="eta", lon="xi").assign_coords(yc=("eta", LAT), xc=("xi", LON))
    assert same_bits(fastlic.convolve(texture, renamed, v, x="xc", y="yc", geographic=True, step=0.25).values,
                     lic.values)
    for a, message in [(U.rename(lat="a"), "u's rows run along 'a', which is not a y coordinate; name the dimension "
                        "y/lat/latitude, or the coordinate by y='name'"),
                       (U.T, "u's rows run along 'lon', which is not a y coordinate; it is an x name: transpose u "
                        "to (y, x) first")]:
        with pytest.raises(ValueError) as raised:
            fastlic.convolve(texture, a, v)
        assert str(raised.value) == message
    # Without xarray the package works with NumPy.
    script = "import sys; sys.modules['xarray'] = None; import fastlic; fastlic.convolve(None, *fastlic.demo_field((9, 9)))"
    subprocess.run([sys.executable, "-c", script], check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def test_matplotlib_colour_maps_norms_and_axes():
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    texture, u, v = field()
    lic = fastlic.convolve(texture, u, v)
    for form, same in [(dict(colormap="RdBu_r"), dict(colormap=matplotlib.colormaps["RdBu_r"])),
                       (dict(norm=matplotlib.colors.LogNorm(1, 30)), dict(colormap_range=(1, 30), log=True)),
                       (dict(norm=matplotlib.colors.Normalize()), {})]:
        assert same_bits(fastlic.render(lic, u, v, **form), fastlic.render(lic, u, v, **same)), form
    assert not np.array_equal(fastlic.render(lic, u, v, colormap="RdBu_r"), fastlic.render(lic, u, v))
    fig, ax = plt.subplots()
    artist = fastlic.imshow(ax, fastlic.convolve(texture, u, v, x=LON, y=LAT, geographic=True), u, v)
    fig.colorbar(artist)
    fig.canvas.draw()
    assert (artist.norm.vmin, artist.norm.vmax) == (0, np.hypot(u, v).max())
    assert ax.get_xlim() == (LON[0] - (LON[1] - LON[0]) / 2, LON[-1] + (LON[-1] - LON[-2]) / 2)
    assert ax.get_ylim() == (LAT[-1] + (LAT[-1] - LAT[-2]) / 2, LAT[0] - (LAT[1] - LAT[0]) / 2)  # north up
    plt.close(fig)


def test_render_draws_masked_pixels_black():
    texture, u, v = field()
    mask = blob()
    lic = fastlic.convolve(texture, u, v, mask=mask)
    # The largest magnitude is that of the unmasked cells.
    expected = fastlic.render(np.where(mask, 0, lic), np.where(mask, 0, u), np.where(mask, 0, v))
    expected[mask] = 0
    assert expected[~mask].any()
    huge_u, nan_u = np.where(mask, 1e6, u), np.where(mask, np.nan, u)
    assert same_bits(fastlic.render(np.where(mask, 99.0, lic), huge_u, v, mask=mask), expected)
    assert same_bits(fastlic.render(lic, nan_u, v, mask="nan"), expected)
    assert same_bits(fastlic.render(np.ma.masked_where(mask, lic), np.ma.masked_where(mask, huge_u), v), expected)


def test_animations_read_back_frame_for_frame(tmp_path, monkeypatch):
    from PIL import Image
    texture, u, v = field()
    image = fastlic.render(fastlic.convolve(texture, u, v), u, v, background="transparent")
    frames = np.stack([np.roll(image, k, axis=1) for k in range(4)])
    fastlic.save_animation(frames, tmp_path / "a.png", fps=12.5)
    with Image.open(tmp_path / "a.png") as im:
        assert (im.n_frames, im.info["duration"], im.info["loop"]) == (4, 80.0, 0)
        for k in range(4):
            im.seek(k)
            assert np.array_equal(np.asarray(im.convert("RGBA")), frames[k])
    fastlic.save_animation(frames[..., :3], tmp_path / "f%02d.png")
    assert sorted(p.name for p in tmp_path.glob("f*.png")) == ["f00.png", "f01.png", "f02.png", "f03.png"]
    fastlic.save_animation(frames[..., :3], tmp_path / "a.mp4")
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries", "stream=nb_read_frames",
                            "-of", "csv=p=0", str(tmp_path / "a.mp4")], capture_output=True, text=True)
    assert probe.stdout.strip() == "4"
    monkeypatch.setenv("PATH", str(tmp_path))  # no ffmpeg there
    with pytest.raises(OSError, match=r"^.*b\.webm: cannot run ffmpeg: not installed \(Debian package ffmpeg\)$"):
        fastlic.save_animation(frames, tmp_path / "b.webm")
    assert not (tmp_path / "b.webm").exists()


def test_animate_loops_and_series_by_threads():
    texture, u, v = field()
    loop = fastlic.animate(texture, u, v, frames=6, wavelength=7.5, threads=1)
    assert loop.shape == (6,) + SHAPE and same_bits(loop, fastlic.animate(texture, u, v, frames=6, wavelength=7.5,
                                                                              threads=3))
    # Over a whole loop the wave cancels: the static picture of the kernel.
    assert np.abs(loop.mean(0) - fastlic.convolve(texture, u, v, kernel="hann")).max() < 1e-9
    # A steady wave leaves a constant texture constant; the plain one pulses.
    flat = np.full(SHAPE, 77.0)
    assert np.abs(fastlic.animate(flat, u, v, frames=4, steady=True) - 77).max() < 1e-9
    assert np.abs(fastlic.animate(flat, u, v, frames=4) - 77).max() > 0.5
    us, vs = np.stack([u, -v, 2 * u]), np.stack([v, u, 2 * v])
    series = fastlic.animate(texture, us, vs, kernel="gaussian", threads=2)
    assert all(same_bits(series[t], fastlic.convolve(texture, us[t], vs[t], kernel="gaussian")) for t in range(3))
    phased = fastlic.animate(texture, us, vs, phase_step=0.7, threads=1)
    assert same_bits(phased, fastlic.animate(texture, us, vs, phase_step=0.7, threads=2))
    assert same_bits(phased[2], fastlic.animate(texture, us[2], vs[2], frames=3, phase_step=0.7)[2])
    # Physical coordinates, given or a DataArray's, as convolve takes them.
    xr = pytest.importorskip("xarray")
    mapped = fastlic.animate(texture, us, vs, x=LON, y=LAT, geographic=True, kernel="gaussian")
    assert all(same_bits(mapped[t], fastlic.convolve(texture, us[t], vs[t], x=LON, y=LAT, geographic=True,
                                                     kernel="gaussian")) for t in range(3))
    dims, coords = ("time", "lat", "lon"), {"lat": LAT, "lon": LON}
    assert same_bits(mapped, fastlic.animate(texture, xr.DataArray(us, dims=dims, coords=coords),
                                             xr.DataArray(vs, dims=dims, coords=coords), kernel="gaussian"))


def test_stacks_are_each_frames_own_call(monkeypatch):
    texture, u, v = field()
    lead = (2, 3)
    U = np.stack([u * (1 + k) - k for k in range(6)]).reshape(lead + SHAPE)
    V = np.stack([v + 3 * k for k in range(6)]).reshape(lead + SHAPE)
    masks = np.stack([np.roll(blob(), 4 * k, axis=1) for k in range(6)]).reshape(lead + SHAPE)
    textures = np.stack([texture * (k + 1.5) for k in range(6)]).reshape(lead + SHAPE)  # ranges of their own
    cases = [(None, dict(mask=blob(), x=LON, y=LAT, geographic=True)),  # shared: texture, mask, coordinates
             (textures, dict(mask=masks, boundary="closed", interpolation="linear")),
             (texture, dict(x=np.stack([LON * (1 + k / 9) for k in range(6)]).reshape(lead + LON.shape),
                            y=LAT, spacing=None))]
    for t, options in cases:
        frames = [(i, j) for i in range(2) for j in range(3)]

        def part(a, index, core):
            return a[index] if a is not None and np.ndim(a) > core else a
        expected = [fastlic.convolve(part(t, f, 2), U[f], V[f], return_hits=True,
                                     **{k: part(a, f, 2 if k == "mask" else 1) for k, a in options.items()})
                    for f in frames]
        results = []
        for small in (fastlic._stacks.SMALL_FRAME, 0):  # frames one to a thread, or every thread on each frame
            monkeypatch.setattr(fastlic._stacks, "SMALL_FRAME", small)
            results.append(fastlic.convolve(t, U, V, return_hits=True, **options))
            lic, hits = results[-1]
            assert all(same_bits(np.asarray(lic[f]), np.asarray(e[0])) and same_bits(hits[f], e[1])
                       for f, e in zip(frames, expected))
        image = fastlic.render(lic, U, V, contrast="enhanced", colormap="viridis")
        assert all(same_bits(image[f], fastlic.render(e[0], U[f], V[f], contrast="enhanced", colormap="viridis"))
                   for f, e in zip(frames, expected))
    assert np.asarray(lic.texture_range).shape == (2,) and np.asarray(results[0][0].texture_range).shape == (2,)
    assert np.shape(fastlic.convolve(textures, U, V).texture_range) == lead + (2,)
    xr = pytest.importorskip("xarray")
    dims = ("time", "lat", "lon")
    Ud = xr.DataArray(U[0], dims=dims, coords={"time": [1, 2, 3], "lat": LAT, "lon": LON})
    licd = fastlic.convolve(None, Ud, Ud.copy(data=V[0]), mask=blob(), step=0.25)
    assert licd.dims == dims and all(same_bits(licd.values[k], np.asarray(fastlic.convolve(
        None, U[0, k], V[0, k], x=LON, y=LAT, geographic=True, mask=blob(), step=0.25))) for k in range(3))
    assert same_bits(fastlic.render(licd, Ud, Ud.copy(data=V[0]))[2],
                     fastlic.render(licd[2], Ud[2], Ud[2].copy(data=V[0, 2])))
