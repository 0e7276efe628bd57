#!/usr/bin/python3
"""Times commands in alternation, so that a shared machine's load falls on
each alike: ROUNDS runs of each, the order reversed every other round.

    alternate.py ROUNDS PREPARE ::: COMMAND ::: COMMAND ...

PREPARE (a shell command, "" for none) runs before every run, untimed.
Prints the load average, then per command the median and least wall time
and the median CPU time (user + system) of the process, in milliseconds.
"""
import os
import shlex
import statistics
import subprocess
import sys
import time


def main():
    rounds, prepare = int(sys.argv[1]), sys.argv[2]
    commands = [c.strip() for c in (" " + " ".join(sys.argv[3:])).split(" ::: ") if c.strip()]
    wall = {c: [] for c in commands}
    cpu = {c: [] for c in commands}
    for r in range(rounds):
        for c in commands if r % 2 == 0 else commands[::-1]:
            if prepare:
                subprocess.run(prepare, shell=True, check=True)
            start = time.perf_counter()
            p = subprocess.Popen(shlex.split(c), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _, status, usage = os.wait4(p.pid, 0)
            wall[c].append((time.perf_counter() - start) * 1e3)
            cpu[c].append((usage.ru_utime + usage.ru_stime) * 1e3)
            if status != 0:
                sys.exit(f"failed: {c}")
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    for c in commands:
        print(f"wall median {statistics.median(wall[c]):8.2f} least {min(wall[c]):8.2f}"
              f"  cpu median {statistics.median(cpu[c]):8.2f}  {c}")


if __name__ == "__main__":
    main()
