import os
import signal
import subprocess
import sys
import threading
import time

import dask.array as da  # scripts/setup installs Debian's dask, distributed and xarray
import numpy as np
import pytest
import xarray as xr

import fastlic


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def stack(frames=4, shape=(40, 56), seed=3):
    rng = np.random.default_rng(seed)
    i, j = np.mgrid[0 : shape[0], 0 : shape[1]].astype(np.float64)
    u = np.stack([(i - 13 - k) + 0.3 * rng.standard_normal(shape) for k in range(frames)])
    v = np.stack([-(j - 25 + k) + 0.3 * rng.standard_normal(shape) for k in range(frames)])
    return u, v


def test_dask_arrays_are_lazy_and_numpys_bits():
    u, v = stack()
    texture = np.random.default_rng(1).standard_normal(u.shape[1:])  # its own range, shared
    mask = np.zeros(u.shape, bool)
    mask[1, 5:9, 7:20] = True
    options = dict(boundary={"rows": "closed"}, interpolation="linear", spacing=(1.0, 2.0))
    expected, hits = fastlic.convolve(texture, u, v, mask=mask, return_hits=True, **options)
    # Chunked across time and space: rechunked to whole frames.
    U, V, M = (da.from_array(a, chunks=(3, 16, 30)) for a in (u, v, mask))
    lic, lazy_hits = fastlic.convolve(texture, U, V, mask=M, return_hits=True, **options)
    assert isinstance(lic, da.Array) and lic.numblocks == (2, 1, 1)
    assert same_bits(lic.compute(), expected) and same_bits(lazy_hits.compute(), hits)
    image = fastlic.render(lic, U, V, contrast="enhanced", colorbar=True)
    assert isinstance(image, da.Array)
    assert same_bits(image.compute(), fastlic.render(expected, u, v, contrast="enhanced", colorbar=True))
    # A Dask-backed DataArray: its coordinates, a DataArray back, still lazy.
    time_, y, x = np.arange(4.0), np.linspace(-30, 30, 40), np.cumsum(np.linspace(1, 2, 56))
    dims, coords = ("time", "lat", "lon"), {"time": time_, "lat": y, "lon": x}
    Ud, Vd = xr.DataArray(U, dims=dims, coords=coords), xr.DataArray(V, dims=dims, coords=coords)
    licd = fastlic.convolve(None, Ud, Vd)
    assert isinstance(licd.data, da.Array) and licd.dims == dims
    expected = fastlic.convolve(None, u, v, x=x, y=y, geographic=True)
    assert same_bits(licd.values, expected)
    assert same_bits(fastlic.render(licd, Ud, Vd, contrast="enhanced").compute(),
                     fastlic.render(expected, u, v, contrast="enhanced"))


def test_tasks_side_by_side_share_the_cores():
    import concurrent.futures

    import dask

    from fastlic._dask import task_threads
    from fastlic._stacks import cores

    assert task_threads(64) is None  # the caller's own thread: one task at a time, every core
    # (tasks, tasks the pool runs at once, threads each)
    for tasks, workers, threads in ((1, None, cores()), (64, None, 1), (64, 1, cores()), (3, 64, max(1, cores() // 3))):
        with dask.config.set(num_workers=workers), concurrent.futures.ThreadPoolExecutor(1) as pool:
            assert pool.submit(task_threads, tasks).result() == threads, (tasks, workers)


@pytest.mark.parametrize("boundary", ["periodic", "closed", {"rows": "closed", "cols": "periodic"}])
def test_tiles_differ_from_the_whole_frame_only_by_seeding_and_wrapping(boundary):
    u, v = stack(frames=2, shape=(96, 120))
    whole = fastlic.convolve(None, u, v, boundary=boundary)
    # One chunk across: no seam, the whole frame's bits.
    assert same_bits(fastlic.convolve(None, da.from_array(u, chunks=(1, 96, 120)), v, boundary=boundary,
                                      tiles=True).compute(), whole)
    tiled = fastlic.convolve(None, da.from_array(u, chunks=(1, 48, 60)), v, boundary=boundary, tiles=True).compute()
    assert tiled.shape == whole.shape and np.isfinite(tiled).all()
    # Here seeding leaves the inner seams exact. A periodic edge differs: the
    # whole frame wraps -1 < x < 0 to row 0 (truncation), the margin does not.
    assert same_bits(tiled[:, 12:-12, 12:-12], whole[:, 12:-12, 12:-12])
    assert same_bits(tiled, whole) == (boundary == "closed")
    x, y = np.cumsum(np.linspace(1, 3, 120)), np.linspace(0, 50, 96) ** 1.2  # each tile its own part
    assert same_bits(fastlic.convolve(None, da.from_array(u, chunks=(1, 48, 60)), v, x=x, y=y, boundary="closed",
                                      tiles=True).compute(), fastlic.convolve(None, u, v, x=x, y=y, boundary="closed"))
    # With one hit a pixel, which streamline seeds first decides.
    seeded = fastlic.convolve(None, da.from_array(u, chunks=(1, 48, 60)), v, hit_limit=1, tiles=True).compute()
    assert not same_bits(seeded, fastlic.convolve(None, u, v, hit_limit=1))
    with pytest.raises(ValueError, match="every chunk along the rows must be at least 12 cells"):
        fastlic.convolve(None, da.from_array(u, chunks=(1, 8, 60)), v, tiles=True)


@pytest.fixture(scope="module")
def client():
    with fastlic.cluster(workers=2) as c:
        c.wait_for_workers(2)
        assert all(w.startswith("tcp://127.0.0.1:") for w in c.scheduler_info()["workers"])
        yield c


def test_a_cluster_gives_numpys_bits(client):
    u, v = stack(frames=6)
    lic = fastlic.convolve(None, da.from_array(u, chunks=(1, 40, 56)), v)
    futures = client.compute(lic)  # the active client computes it, on both workers
    assert same_bits(futures.result(), fastlic.convolve(None, u, v))
    assert len(client.has_what()) == 2


def batch(inputs, outdir, scheduler, *extra):
    return subprocess.run([sys.executable, "-m", "fastlic.batch", "--scheduler", scheduler, *map(str, inputs),
                           "-o", str(outdir), *extra], capture_output=True, text=True, timeout=300)


def test_batch_writes_every_good_input_and_names_the_bad(client, tmp_path):
    u, v = stack(frames=3)
    names = []
    for k in range(3):
        names.append(tmp_path / f"f{k}.npy")
        np.save(names[-1], np.stack([v[k], u[k]], axis=-1))
    np.save(tmp_path / "bad.npy", np.zeros((4, 5)))
    run = batch(names[:2] + [tmp_path / "bad.npy", names[2]], tmp_path / "out", client.scheduler.address, "--png",
                "--boundary", "closed")
    assert run.returncode == 1
    assert f"{tmp_path / 'bad.npy'}: must hold real numbers of shape (..., rows, cols, 2), got float64 (4, 5)" \
        in run.stderr
    for k in range(3):
        expected = fastlic.convolve(None, u[k], v[k], boundary="closed")
        assert same_bits(np.load(tmp_path / "out" / f"f{k}.lic.npy"), expected)
    assert sorted(os.listdir(tmp_path / "out")) == sorted([f"f{k}.lic.npy" for k in range(3)] +
                                                          [f"f{k}.png" for k in range(3)])


def test_a_worker_killed_mid_batch_loses_nothing(client, tmp_path):
    u, v = stack(frames=1, shape=(256, 256))
    for k in range(16):
        np.save(tmp_path / f"f{k:02d}.npy", np.stack([v[0], u[0] * (1 + k)], axis=-1))
    out = tmp_path / "out"
    result = {}
    worker = threading.Thread(target=lambda: result.update(
        run=batch(sorted(tmp_path.glob("*.npy")), out, client.scheduler.address)))
    worker.start()
    deadline = time.monotonic() + 120
    while not (out.exists() and os.listdir(out)) and time.monotonic() < deadline:
        time.sleep(0.02)
    (pid,) = client.run(os.getpid, workers=[sorted(client.scheduler_info()["workers"])[0]]).values()
    os.kill(pid, signal.SIGKILL)  # its nanny starts another
    killed_while_running = worker.is_alive()
    worker.join()
    run = result["run"]
    assert killed_while_running, "the batch ended before the worker was killed: give it more frames"
    written = sorted(os.listdir(out))
    assert not [name for name in written if not name.endswith(".lic.npy")]  # nothing half-written
    if run.returncode == 0:
        assert len(written) == 16
        for k in range(16):
            assert same_bits(np.load(out / f"f{k:02d}.lic.npy"), fastlic.convolve(None, u[0] * (1 + k), v[0]))
    else:  # the scheduler gave up on a task: the input is named
        assert "KilledWorker" in run.stderr and "fastlic-batch-f" in run.stderr
