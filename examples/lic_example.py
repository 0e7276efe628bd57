#!/usr/bin/python3
"""LIC of a vector field with fastlic, shown with matplotlib.

The flow around a cylinder in a uniform stream, with vortices in its wake: the LIC in grey shows the streamlines, a translucent colour map the
speed. Writes the picture to docs/example.png (or the path given) and, with
--show, opens a window.

    /usr/bin/python3 examples/lic_example.py [--show] [OUTPUT.png]
"""

import argparse

import matplotlib
import numpy as np

import fastlic


def flow(shape):
    """(u, v) on a (rows, cols) grid, and the cells inside the cylinder.

    u runs along the columns (image x), v along the rows (image y, down).
    """
    rows, cols = shape
    y, x = np.mgrid[0:rows, 0:cols] + 0.5  # cell centres
    # A unit stream from the left past a cylinder of radius a at (x0, y0):
    # u - iv = 1 - a^2 / z^2.
    a, x0, y0 = 0.11 * rows, 0.22 * cols, 0.5 * rows
    z = (x - x0) + 1j * (y - y0)
    w = 1 - a**2 / z**2
    u, v = w.real, -w.imag
    # A wake of vortices of alternating sense, each with a smooth core.
    for k, sign in enumerate((1, -1, 1, -1)):
        dx, dy = x - (x0 + (1.6 + 1.5 * k) * 2 * a), y - (y0 + sign * 0.5 * a)
        r2 = dx**2 + dy**2
        swirl = sign * 1.6 * a * (1 - np.exp(-r2 / (0.6 * a) ** 2)) / r2
        u, v = u - swirl * dy, v + swirl * dx
    inside = np.abs(z) < a
    u[inside] = v[inside] = 0.0
    return u, v, inside


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default="docs/example.png")
    parser.add_argument("--show", action="store_true", help="also show the picture in a window")
    args = parser.parse_args()
    if not args.show:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shape = (480, 800)
    u, v, inside = flow(shape)
    # Streaks about 60 pixels long: 2 x (filter_half_length + slide_steps) steps of half a cell.
    lic = fastlic.convolve(None, u, v, filter_half_length=30, slide_steps=30)
    speed = np.hypot(u, v)

    fig, ax = plt.subplots(figsize=(8, 4.8), dpi=100)
    ax.imshow(np.ma.masked_where(inside, lic), cmap="gray", interpolation="nearest")
    shown = ax.imshow(np.ma.masked_where(inside, speed), cmap="plasma", alpha=0.45, interpolation="nearest")
    fig.colorbar(shown, ax=ax, label="speed", fraction=0.03, pad=0.02)
    ax.set_title("Flow past a cylinder: fastlic.convolve, speed in colour")
    ax.set_axis_off()
    fig.tight_layout()
    fig.savefig(args.output)
    print(f"wrote {args.output}")
    if args.show:
        plt.show()


if __name__ == "__main__":
    main()
