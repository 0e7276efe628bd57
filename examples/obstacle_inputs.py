#!/usr/bin/python3
"""Writes the inputs of the README's obstacle picture into a directory (made if need be):
potential flow past a cylinder in a channel, as the console's text files
(ps.vec.256.256.3, noise.256.256) and a mask of the cylinder (mask.txt).

    examples/obstacle_inputs.py DIR [ROWS COLS]
"""
import os
import sys

import numpy as np

out = sys.argv[1] if len(sys.argv) > 1 else "."
os.makedirs(out, exist_ok=True)
rows, cols = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (256, 384)

# Image x along the columns, y along the rows; the cylinder a third of the
# way along the channel.
y, x = np.mgrid[0:rows, 0:cols] + 0.5
cx, cy, radius = cols / 3, rows / 2, rows / 7
dx, dy = x - cx, y - cy
r2 = dx * dx + dy * dy
u = 1 - radius**2 * (dx * dx - dy * dy) / r2**2   # along the columns
v = -2 * radius**2 * dx * dy / r2**2              # along the rows
mask = r2 < radius**2
u[mask] = v[mask] = 0

# The text format's pair is (component along the rows, along the columns).
np.savetxt(f"{out}/ps.vec.256.256.3", np.column_stack([v.ravel(), u.ravel()]), fmt="%.9g")
rng = np.random.default_rng(1)
np.savetxt(f"{out}/noise.256.256", rng.integers(0, 256, size=(rows, cols)), fmt="%d")
np.savetxt(f"{out}/mask.txt", mask.astype(int), fmt="%d")
