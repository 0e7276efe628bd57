"""fastlic-batch: the LIC of many vector files on a Dask cluster.

    python3 -m fastlic.batch --scheduler local:2 a.npy b.npy ... -o OUTDIR [--png]

Each input is a .npy array (rows, cols, 2), or a stack (..., rows, cols, 2),
``[..., 0]`` along the rows and ``[..., 1]`` along the columns, as the console
reads one. Each gives OUTDIR/NAME.lic.npy (float64, the input's shape
without its last axis) and, with --png, OUTDIR/NAME.png (a stack:
NAME.0000.png, ...). Every file is written whole or not at all. An input
that fails is named with its error; the others' outputs are still written;
the exit status is 1 if any failed.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import warnings
from typing import Any, List, Optional, Sequence

import numpy as np

from . import _fastlic

_FAMILIES = ("method", "sampling", "boundary")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="fastlic-batch", description="The LIC of many .npy vector files on a Dask cluster, one output each.")
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help=".npy vectors (..., rows, cols, 2)")
    parser.add_argument("-o", "--output", required=True, metavar="OUTDIR", help="the directory of the outputs")
    parser.add_argument("--scheduler", default="local", metavar="ADDRESS|local[:N]",
                        help="a scheduler's address, or local[:N]: a local cluster of N worker processes "
                             "(default: one per core)")
    parser.add_argument("--png", action="store_true", help="also write each LIC as the console's image")
    parser.add_argument("--no-npy", action="store_true", help="write no LIC values (only --png's images)")
    # convolve's options, from its tables.
    for family in _FAMILIES:
        for row in _fastlic.options[family]:
            flag = "--" + row["name"]
            if row["kind"] == "flag":
                parser.add_argument(flag, dest=row["keyword"], action="store_true", help=row["help"])
            else:
                kind = {"integer": int, "real": float}.get(row["kind"], str)
                choices = [word for word, _ in row["choices"]] or None
                parser.add_argument(flag, dest=row["keyword"], type=kind, choices=choices, default=row["default"],
                                    help=f"{row['help']} (default {row['default']})")
    return parser


def _client(scheduler: str) -> Any:
    from . import cluster

    if scheduler == "local" or scheduler.startswith("local:"):
        count = scheduler.partition(":")[2]
        if count and not count.isdigit():
            raise ValueError(f"--scheduler local:N takes a number of workers, got {scheduler!r}")
        return cluster(workers=int(count) if count else None)
    return cluster(address=scheduler)


def _read(path: str) -> tuple:
    a = np.load(path, allow_pickle=False)
    if a.dtype.kind not in "iuf" or a.ndim < 3 or a.shape[-1] != 2:
        raise ValueError(f"must hold real numbers of shape (..., rows, cols, 2), got {a.dtype} {a.shape}")
    return np.ascontiguousarray(a[..., 1]), np.ascontiguousarray(a[..., 0])


def work(u: np.ndarray, v: np.ndarray, options: dict, png: bool, tasks: int = 1) -> tuple:
    """One input's LIC values and, with png, its pictures: one of tasks on the workers."""
    import fastlic
    from ._dask import task_threads

    lic = fastlic.convolve(None, u, v, **options, threads=task_threads(tasks))
    return np.asarray(lic), (fastlic.render(lic, u, v) if png else None)


def _replace(directory: str, name: str, write: Any) -> None:
    """write(path) into a new file of directory, which then becomes name at
    once: a reader sees the old file or the whole new one."""
    handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=directory)
    os.close(handle)
    try:
        write(temporary)
        os.replace(temporary, os.path.join(directory, name))
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def _write_png(directory: str, name: str, image: np.ndarray) -> None:
    from . import save_animation

    with tempfile.TemporaryDirectory(prefix=".fastlic-", dir=directory) as scratch:
        save_animation(image[np.newaxis], os.path.join(scratch, "frame%d.png"))
        (written,) = os.listdir(scratch)
        _replace(directory, name, lambda path: os.replace(os.path.join(scratch, written), path))


def _write(outdir: str, stem: str, lic: np.ndarray, images: Optional[np.ndarray], npy: bool) -> None:
    if npy:
        def save(path: str) -> None:
            with open(path, "wb") as f:
                np.save(f, lic)
        _replace(outdir, stem + ".lic.npy", save)
    if images is not None:
        if images.ndim == 3:
            _write_png(outdir, stem + ".png", images)
        else:
            flat = images.reshape((-1,) + images.shape[-3:])
            for k, image in enumerate(flat):
                _write_png(outdir, f"{stem}.{k:04d}.png", image)


class _Progress:
    def __init__(self, total: int) -> None:
        self.total, self.done, self.failed = total, 0, 0
        self.shown = sys.stderr.isatty()
        self.start = time.monotonic()

    def step(self, failed: bool = False) -> None:
        self.done += 1
        self.failed += failed
        if self.shown:
            width = 30
            filled = width * self.done // self.total
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}"
                             f"{f', {self.failed} failed' if self.failed else ''}"
                             f"  {time.monotonic() - self.start:.1f} s")
            if self.done == self.total:
                sys.stderr.write("\n")
            sys.stderr.flush()

    def say(self, line: str) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
        print(line, file=sys.stderr, flush=True)


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = _parser().parse_args(argv)
    if arguments.no_npy and not arguments.png:
        print("fastlic-batch: --no-npy needs --png: there would be nothing to write", file=sys.stderr)
        return 2
    stems: dict = {}
    for path in arguments.inputs:
        stem = os.path.basename(path)
        stem = stem[:-4] if stem.lower().endswith(".npy") else stem
        if stem in stems:
            print(f"fastlic-batch: {stems[stem]} and {path} would both write {stem}.*", file=sys.stderr)
            return 2
        stems[stem] = path
    os.makedirs(arguments.output, exist_ok=True)
    options = {row["keyword"]: getattr(arguments, row["keyword"]) for family in _FAMILIES
               for row in _fastlic.options[family]}
    try:
        client = _client(arguments.scheduler)
    except (OSError, ValueError, TimeoutError) as e:
        print(f"fastlic-batch: no scheduler at {arguments.scheduler}: {e}", file=sys.stderr)
        return 2
    failures: List[str] = []
    progress = _Progress(len(stems))
    with client, warnings.catch_warnings():
        from distributed import as_completed

        # Each input goes with its task, not scattered ahead, so that the task
        # of a worker that dies can run again elsewhere.
        warnings.filterwarnings("ignore", message="Large object of size")

        futures = {}
        for stem, path in stems.items():
            try:
                u, v = _read(path)
            except (OSError, ValueError) as e:
                failures.append(path)
                progress.say(f"fastlic-batch: {path}: {e}")
                progress.step(failed=True)
                continue
            future = client.submit(work, u, v, options, arguments.png, len(stems), key=f"fastlic-batch-{stem}-{len(futures)}",
                                   pure=False)
            futures[future] = (stem, path)
        for future in as_completed(futures):
            stem, path = futures[future]
            try:
                lic, images = future.result()
                _write(arguments.output, stem, lic, images, not arguments.no_npy)
            except Exception as e:  # this input fails, the others go on
                failures.append(path)
                progress.say(f"fastlic-batch: {path}: {type(e).__name__}: {e}")
                progress.step(failed=True)
                continue
            finally:
                future.release()
            progress.step()
    if failures:
        print(f"fastlic-batch: {len(failures)} of {len(stems)} inputs failed: {', '.join(failures)}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
