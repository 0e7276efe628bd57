#!/usr/bin/python3
"""Times fastlic.convolve against the console program on the same field.

For each size the console's demo input is written at that size; then, in
alternation, run after run:
  console   fastlic --vectors V --texture T --size NxN --lic lic.npy (the whole process)
  python    the same job in Python: read_text_field, convolve, numpy.save
  convolve  convolve alone on the arrays in memory (float64, C order)
  float32   convolve on float32 copies of the vectors (widened by the package)
  engine    the engine alone on the same arrays in memory (build/engine-time,
            its own clock, the median of three calls in one process)
and every result is checked to be the console's bits. The medians go into
docs/performance.md between the markers below (only that section changes).

    PYTHONPATH=build/drivers/python /usr/bin/python3 bench/python_bench.py [--sizes 512 1024 2048]
        [--runs 5] [--console build/fastlic] [--engine build/engine-time] [--report docs/performance.md]
"""

import argparse
import os
import pathlib
import platform
import statistics
import subprocess
import tempfile
import time

import numpy as np

import fastlic

BEGIN = "<!-- python_bench begin -->"
END = "<!-- python_bench end -->"
ROOT = pathlib.Path(__file__).resolve().parents[1]


def timed(job):
    start = time.perf_counter()
    job()
    return time.perf_counter() - start


def measure(console, engine, n, runs, work):
    size = f"{n}x{n}"
    subprocess.run([console, "--demo", work, "--size", size], check=True)
    vectors, texture = work / "ps.vec.256.256.3", work / "noise.256.256"
    t, u, v = fastlic.read_text_field(vectors, texture, (n, n))
    u32, v32 = u.astype(np.float32), v.astype(np.float32)
    arrays = [work / name for name in ("u.npy", "v.npy", "t.npy")]
    for path, a in zip(arrays, (u, v, t)):
        np.save(path, a)
    results = {}
    engine_seconds = []

    def engine_job():
        # Its median of three: the first run in a process starts the threads.
        out = subprocess.run([engine, *map(str, arrays), "3"], check=True, capture_output=True, text=True)
        engine_seconds.append(float(out.stdout))

    def console_job():
        subprocess.run([console, "--vectors", vectors, "--texture", texture, "--size", size,
                        "--lic", work / "console.npy"], check=True)

    def python_job():
        tt, uu, vv = fastlic.read_text_field(vectors, texture, (n, n))
        np.save(work / "python.npy", fastlic.convolve(tt, uu, vv))

    jobs = {
        "console": console_job,
        "python": python_job,
        "convolve": lambda: results.__setitem__("convolve", fastlic.convolve(t, u, v)),
        "float32": lambda: results.__setitem__("float32", fastlic.convolve(t, u32, v32)),
        "engine": engine_job,
    }
    times = {name: [] for name in jobs}
    for _ in range(runs):
        for name, job in jobs.items():
            times[name].append(timed(job))
    expected = np.load(work / "console.npy")
    assert np.load(work / "python.npy").tobytes() == expected.tobytes(), "python differs"
    assert results["convolve"].tobytes() == expected.tobytes(), "convolve differs"
    widened = fastlic.convolve(t, u32.astype(np.float64), v32.astype(np.float64))
    assert results["float32"].tobytes() == widened.tobytes(), "float32 differs"
    times["engine"] = engine_seconds
    return {name: statistics.median(ts) for name, ts in times.items()}


def call_overhead(runs=2000):
    """Median time of a whole call on a 4 x 4 grid: the binding's fixed cost and the engine's."""
    t, u, v = fastlic.noise((4, 4)), *fastlic.demo_field((4, 4))
    samples = [timed(lambda: fastlic.convolve(t, u, v, threads=1)) for _ in range(runs)]
    return statistics.median(samples)


def ms(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.2f} s"


def report(rows, overhead, runs):
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")), "?")
    lines = [
        BEGIN,
        "## Python package",
        "",
        f"Measured by `bench/python_bench.py` on {time.strftime('%Y-%m-%d', time.gmtime())}: {cpu}, "
        f"{len(os.sched_getaffinity(0))} cores, Python {platform.python_version()}, NumPy {np.__version__}; "
        f"load average {os.getloadavg()[0]:.1f} at the end (the machine is shared); "
        f"medians of {runs} runs taken in alternation, the demo field, every thread. "
        "*console*: the console program's whole process from the text files to `--lic`; "
        "*python*: the same job in Python (`read_text_field`, `convolve`, `numpy.save`); "
        "*convolve*: `fastlic.convolve` alone on float64 arrays in memory; "
        "*float32*: the same on float32 vectors (widened by the package); "
        "*engine*: the engine alone on the same arrays (`engine-time`, timed inside the process). "
        "All results are the console's bits.",
        "",
        "| size | console | python | python / console | convolve | float32 | engine | convolve / engine |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for n, m in rows:
        lines.append(f"| {n}² | {ms(m['console'])} | {ms(m['python'])} | {m['python'] / m['console']:.3f} "
                     f"| {ms(m['convolve'])} | {ms(m['float32'])} | {ms(m['engine'])} "
                     f"| {m['convolve'] / m['engine']:.3f} |")
    lines += ["", f"A whole call on a 4 × 4 grid (one thread) takes {overhead * 1e6:.0f} µs: "
              "the fixed cost of the binding's checks and conversions and of the engine's set-up.", END]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 1024, 2048])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--console", default=str(ROOT / "build" / "fastlic"))
    parser.add_argument("--engine", default=str(ROOT / "build" / "engine-time"))
    parser.add_argument("--report", default=str(ROOT / "docs" / "performance.md"))
    args = parser.parse_args()

    rows = []
    with tempfile.TemporaryDirectory() as work:
        for n in args.sizes:
            rows.append((n, measure(args.console, args.engine, n, args.runs, pathlib.Path(work))))
            print(f"{n}²: " + ", ".join(f"{k} {ms(s)}" for k, s in rows[-1][1].items()), flush=True)
    section = report(rows, call_overhead(), args.runs)
    path = pathlib.Path(args.report)
    text = path.read_text() if path.exists() else ""
    if BEGIN in text and END in text:
        text = text[: text.index(BEGIN)] + section + text[text.index(END) + len(END) + 1 :]
    else:
        text = text.rstrip("\n") + ("\n\n" if text else "") + section
    path.write_text(text)
    print(f"wrote the Python section of {path}")


if __name__ == "__main__":
    main()
