#!/usr/bin/python3
"""LIC of an ocean current on a longitude/latitude grid with land, with xarray and matplotlib.

A wind-driven gyre in a basin between two continents, on a grid of
1/3 degree from 60 W to 20 E and 10 N to 65 N, held as xarray DataArrays
the way a netCDF reader gives them: dimensions lat and lon, velocities in
m/s eastward (u) and northward (v), NaN over land. fastlic takes the
coordinates from the dimensions, traces along the true directions on the
sphere (cos(latitude) shortens a degree of longitude), and fastlic.imshow
draws the result at its longitudes and latitudes with a colour bar in m/s.
Writes docs/coordinates.png (or the path given).

    /usr/bin/python3 examples/ocean_example.py [OUTPUT.png]
"""

import sys

import matplotlib
import numpy as np
import xarray as xr

import fastlic


def ocean():
    """(u, v) as DataArrays (lat, lon), NaN over land."""
    lat = np.arange(65.0, 10.0, -1 / 3)  # north at the top, as a map
    lon = np.arange(-60.0, 20.0, 1 / 3)
    la, lo = np.meshgrid(np.radians(lat), np.radians(lon), indexing="ij")
    # A streamfunction of two gyres in the basin, in metres along the
    # sphere: u = -dpsi/dy, v = dpsi/dx, with dx = R cos(lat) dlon.
    radius = 6.371e6
    x, y = (lo - lo.min()) / np.ptp(lo), (la - la.min()) / np.ptp(la)
    psi = np.sin(np.pi * x) * np.sin(2 * np.pi * y) * np.exp(-3 * x) * 2e4
    dpsi_dlat = np.gradient(psi, np.radians(1 / 3), axis=0) * -1  # lat decreases down the rows
    dpsi_dlon = np.gradient(psi, np.radians(1 / 3), axis=1)
    u = -dpsi_dlat / radius * 30
    v = dpsi_dlon / (radius * np.cos(la)) * 30
    # Land: a continent to the west, one to the east and an island.
    land = (lo < np.radians(-48 + 6 * np.sin(3 * la))) | (lo > np.radians(8 - 0.15 * np.degrees(la - 0.6)))
    land |= (np.degrees(lo) + 20) ** 2 / 30 + (np.degrees(la) - 40) ** 2 / 6 < 1
    u[land] = v[land] = np.nan
    coords = {"lat": lat, "lon": lon}
    attrs = {"units": "m/s"}
    return (xr.DataArray(u, dims=("lat", "lon"), coords=coords, attrs=dict(attrs, long_name="eastward current")),
            xr.DataArray(v, dims=("lat", "lon"), coords=coords, attrs=dict(attrs, long_name="northward current")))


def main(output):
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    u, v = ocean()
    lic = fastlic.convolve(None, u, v, filter_half_length=20, slide_steps=20)
    fig, ax = plt.subplots(figsize=(7, 5.6), dpi=100)
    ax.set_facecolor("tan")
    artist = fastlic.imshow(ax, lic, u, v, contrast="stretch", colormap="viridis", background="transparent")
    fig.colorbar(artist, ax=ax, label="current speed (m/s)", shrink=0.8)
    ax.set_xlabel("longitude (degrees east)")
    ax.set_ylabel("latitude (degrees north)")
    ax.set_title("Ocean gyres on a longitude/latitude grid, land masked")
    fig.tight_layout()
    fig.savefig(output)
    print(output)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/coordinates.png")
