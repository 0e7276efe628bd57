#!/usr/bin/python3
"""Times many fields: a stack call against sequential calls, and Dask.

  stack       convolve(None, U, V) on a (frames, n, n) stack, one call
  seq-1       frames sequential calls with threads=1
  seq-all     frames sequential calls with every core (threads=None)
  cluster     the stack as a Dask array of one-frame chunks on a LocalCluster
              of 2 worker processes (1 thread each), compute() from the client
  tasks       frames one-frame chunks of 16 x 16 cells on that cluster: the
              time per task is the overhead of a task
The first four run in alternation, run after run; every result is checked
to be the stack's bits. With --tiles N, one N x N frame is then computed
whole and as 2 x 2 tiles (tiles=True), each on a fresh 2-worker cluster,
with each worker's peak resident memory, and the tiles' difference.

    PYTHONPATH=build/drivers/python /usr/bin/python3 bench/many_bench.py [--frames 50] [--size 512]
        [--runs 3] [--tiles 8192] [--report docs/performance.md]
"""

import argparse
import os
import pathlib
import platform
import statistics
import time

import numpy as np

import fastlic

BEGIN = "<!-- many_bench begin -->"
END = "<!-- many_bench end -->"
ROOT = pathlib.Path(__file__).resolve().parents[1]


def timed(job):
    start = time.perf_counter()
    result = job()
    return time.perf_counter() - start, result


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def fields(frames, n):
    """frames turns of the demo field: unlike each other, all smooth."""
    u, v = fastlic.demo_field((n, n))
    angles = np.linspace(0, np.pi, frames, endpoint=False)
    return (np.stack([u * np.cos(a) - v * np.sin(a) for a in angles]),
            np.stack([u * np.sin(a) + v * np.cos(a) for a in angles]))


def peak_rss(dask_worker=None):
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def stacks(frames, n, runs):
    import dask.array as da

    U, V = fields(frames, n)
    jobs = {
        "stack": lambda: np.asarray(fastlic.convolve(None, U, V)),
        "seq-1": lambda: np.stack([fastlic.convolve(None, U[k], V[k], threads=1) for k in range(frames)]),
        "seq-all": lambda: np.stack([fastlic.convolve(None, U[k], V[k]) for k in range(frames)]),
    }
    times = {name: [] for name in list(jobs) + ["cluster", "tasks"]}
    cpu = {name: [] for name in times}
    with fastlic.cluster(workers=2) as client:
        client.wait_for_workers(2)
        lazy = fastlic.convolve(None, da.from_array(U, chunks=(1, n, n)), da.from_array(V, chunks=(1, n, n)))
        u16, v16 = fields(frames, 16)
        tiny = fastlic.convolve(None, da.from_array(u16, chunks=(1, 16, 16)), da.from_array(v16, chunks=(1, 16, 16)))
        jobs["cluster"] = lazy.compute
        jobs["tasks"] = tiny.compute
        tiny.compute()  # the workers import the package once
        expected = None
        for _ in range(runs):
            for name, job in jobs.items():
                before = cpu_seconds()
                seconds, result = timed(job)
                times[name].append(seconds)
                cpu[name].append((cpu_seconds() - before) / seconds)
                if name == "stack":
                    expected = result
                elif name != "tasks":
                    assert result.tobytes() == expected.tobytes(), f"{name} differs from the stack"
    medians = {name: statistics.median(t) for name, t in times.items()}
    return medians, times, {name: statistics.median(c) for name, c in cpu.items()}


def tile_run(n, tiles):
    """One n x n frame computed whole or in 2 x 2 tiles on a fresh cluster:
    (seconds, peak resident bytes of each worker, result)."""
    import dask.array as da

    chunks = (n // 2 if tiles else n, n // 2 if tiles else n)

    def component(i, j, which):
        # The demo's kind of field, computed chunk by chunk on the workers.
        y, x = (i + 0.5) / n - 0.5, (j + 0.5) / n - 0.5
        r1, r2 = (x + 0.2) ** 2 + y ** 2 + 0.01, (x - 0.2) ** 2 + y ** 2 + 0.01
        return (-y / r1 + y / r2 + 0.5 * x) if which == "u" else ((x + 0.2) / r1 - (x - 0.2) / r2 - 0.5 * y)

    with fastlic.cluster(workers=2) as client:
        client.wait_for_workers(2)
        u = da.fromfunction(component, shape=(n, n), chunks=chunks, dtype=np.float64, which="u")
        v = da.fromfunction(component, shape=(n, n), chunks=chunks, dtype=np.float64, which="v")
        lic = fastlic.convolve(None, u, v, tiles=tiles)
        seconds, result = timed(lic.compute)
        peaks = sorted(client.run(peak_rss).values())
    return seconds, peaks, result


def seams(lic, n):
    """The mean absolute step between neighbouring rows (and columns) across
    the tiles' seam and elsewhere: equal where the seam does not show."""
    half = n // 2
    rows, cols = np.abs(np.diff(lic, axis=0)), np.abs(np.diff(lic, axis=1))
    return (rows[half - 1].mean() + cols[:, half - 1].mean()) / 2, (rows.mean() + cols.mean()) / 2


def report(frames, n, medians, times, cpu, runs, tile_rows):
    gib = 2.0 ** 30
    lines = [
        BEGIN,
        f"### Many fields (`bench/many_bench.py`, {time.strftime('%Y-%m-%d')})",
        "",
        f"{frames} frames of {n}² (turns of the demo field), {os.cpu_count()} cores, {platform.machine()}, "
        f"load average {os.getloadavg()[0]:.1f} at the end (the machine is shared with other jobs: "
        "the spread between runs is large); medians of "
        f"{runs} runs in alternation, every result checked to be the stack's bits.",
        "",
        "| job | median | runs | vs seq-1 | cores busy |",
        "|---|---|---|---|---|",
    ]
    for name in ("stack", "seq-1", "seq-all", "cluster"):
        lines.append(f"| {name} | {medians[name]:.2f} s | {', '.join(f'{t:.2f}' for t in times[name])} | "
                     f"{medians['seq-1'] / medians[name]:.2f}× | "
                     f"{'-' if name == 'cluster' else f'{cpu[name]:.2f}'} |")
    lines += [
        "",
        "stack: one call on the (frames, rows, cols) stack (frames one to a thread); seq-1: one call a frame, "
        "`threads=1`; seq-all: one call a frame, every core; cluster: the stack as a Dask array of one-frame "
        "chunks on a `LocalCluster` of 2 worker processes, 1 thread each, `compute()` from the client. "
        "Cores busy: the process's CPU time over the wall time (median), what the shared machine gave it.",
        f"A task's overhead on that cluster: {frames} one-frame tasks of 16² took "
        f"{medians['tasks']:.2f} s, {1000 * medians['tasks'] / frames:.1f} ms a task "
        "(the graph's submission, scheduling, the frames' transfer both ways).",
    ]
    if tile_rows:
        lines += ["", "| one frame | time | peak resident memory per worker |", "|---|---|---|"]
        for name, seconds, peaks in tile_rows["runs"]:
            lines.append(f"| {name} | {seconds:.1f} s | {' and '.join(f'{p / gib:.2f} GiB' for p in peaks)} |")
        d = tile_rows["difference"]
        lines += ["",
                  f"Tiles against the whole frame: largest absolute difference {d['max']:.3g}, mean {d['mean']:.3g}, "
                  f"{100 * d['share']:.3f} % of the pixels differ; the largest difference within 16 cells of the inner seams "
                  f"{d['seam_max']:.3g}, within 16 cells of the frame's periodic edges {d['edge_max']:.3g}, "
                  f"elsewhere {d['rest_max']:.3g}. Mean step between neighbouring pixels across the "
                  f"seams {d['seam']:.2f} against {d['all']:.2f} over the whole image (the whole frame: "
                  f"{d['seam_whole']:.2f} at the same place)."]
    lines.append(END)
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=50)
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--tiles", type=int, default=0, help="also one frame of this size whole and in tiles")
    parser.add_argument("--report", default=str(ROOT / "docs" / "performance.md"))
    args = parser.parse_args()
    medians, times, cpu = stacks(args.frames, args.size, args.runs)
    tile_rows = None
    if args.tiles:
        whole = tile_run(args.tiles, False)
        tiled = tile_run(args.tiles, True)
        difference = np.abs(tiled[2] - whole[2])
        near = np.zeros(difference.shape, bool)  # within 16 cells of the inner seams
        half = args.tiles // 2
        near[half - 16:half + 16, :] = near[:, half - 16:half + 16] = True
        edge = np.ones(difference.shape, bool)  # within 16 cells of the frame's (periodic) edges
        edge[16:-16, 16:-16] = False
        seam, overall = seams(tiled[2], args.tiles)
        tile_rows = {"runs": [("whole frame, 1 task", whole[0], whole[1]),
                              ("2 × 2 tiles (`tiles=True`), 4 tasks", tiled[0], tiled[1])],
                     "difference": {"max": difference.max(), "mean": difference.mean(),
                                    "share": (difference > 0).mean(), "seam_max": difference[near & ~edge].max(),
                                    "edge_max": difference[edge].max(), "rest_max": difference[~near & ~edge].max(),
                                    "seam": seam, "all": overall,
                                    "seam_whole": seams(whole[2], args.tiles)[0]}}
    section = report(args.frames, args.size, medians, times, cpu, args.runs, tile_rows)
    print(section)
    path = pathlib.Path(args.report)
    text = path.read_text()
    if BEGIN in text and END in text:
        text = text[: text.index(BEGIN)] + section + text[text.index(END) + len(END) + 1:]
    else:
        text = text.rstrip("\n") + "\n\n" + section
    path.write_text(text)


if __name__ == "__main__":
    main()
