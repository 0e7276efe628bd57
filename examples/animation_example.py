#!/usr/bin/python3
"""Animated LIC with fastlic: streaks moving along a field, and a field that changes.

Writes two small animated PNGs (plays in any browser):

* docs/animation.png: the demo field as a seamless loop, the streaks moving
  along the flow (``fastlic.animate`` with ``frames``);
* docs/series.png: a slowly rotating field, one frame per time step, the
  streaks moving too (a (T, rows, cols) stack with ``phase_step``).

With --show the loop also plays in a matplotlib window (FuncAnimation).

    /usr/bin/python3 examples/animation_example.py [--show] [--size N] [OUTDIR]
"""

import argparse
import os

import numpy as np

import fastlic


def rotating(shape, steps, turn):
    """u, v stacks (steps, rows, cols): the demo field turned by turn radians in all."""
    u, v = fastlic.demo_field(shape)
    angles = np.linspace(0, turn, steps)[:, None, None]
    return u * np.cos(angles) - v * np.sin(angles), u * np.sin(angles) + v * np.cos(angles)


def pictures(frames, u, v):
    """RGB frames (N, rows, cols, 3), one brightness scale for all: the
    values as they are, coloured by the first field's magnitude."""
    u0, v0 = (u[0], v[0]) if np.ndim(u) == 3 else (u, v)
    return np.stack([fastlic.render(f, u0, v0, colormap="viridis", blend="overlay", alpha=0.35) for f in frames])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("outdir", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "docs"))
    parser.add_argument("--size", type=int, default=112)
    parser.add_argument("--show", action="store_true")
    args = parser.parse_args()
    shape = (args.size, args.size)

    u, v = fastlic.demo_field(shape)
    loop = fastlic.animate(None, u, v, frames=12, length=16)
    fastlic.save_animation(pictures(loop, u, v), os.path.join(args.outdir, "animation.png"), fps=12)

    us, vs = rotating(shape, 16, np.pi / 8)
    series = fastlic.animate(None, us, vs, phase_step=2 * np.pi / 12, length=16)
    fastlic.save_animation(pictures(series, us, vs), os.path.join(args.outdir, "series.png"), fps=12)

    if args.show:
        import matplotlib.pyplot as plt
        from matplotlib.animation import FuncAnimation

        fig, ax = plt.subplots()
        image = ax.imshow(loop[0], cmap="gray", vmin=0, vmax=255)
        ax.set_axis_off()
        _ = FuncAnimation(fig, lambda k: image.set_data(loop[k]) or [image], frames=len(loop), interval=60, blit=True)
        plt.show()


if __name__ == "__main__":
    main()
