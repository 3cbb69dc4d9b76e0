#!/usr/bin/env python3
"""Runs commands in turn, RUNS rounds, and prints the median wall time of
each and its ratio to the last one (the baseline, say bench/ideal_reader).

  bench/alternate.py RUNS 'name=command args' ... 'ideal=build/ideal_reader DIR'
"""
import shlex
import statistics
import subprocess
import sys
import time

runs = int(sys.argv[1])
commands = [arg.split("=", 1) for arg in sys.argv[2:]]
times = {name: [] for name, _ in commands}
for _, command in commands:  # once each, to warm the cache
    subprocess.run(shlex.split(command), stdout=subprocess.DEVNULL, check=True)
for _ in range(runs):
    for name, command in commands:
        start = time.perf_counter()
        subprocess.run(shlex.split(command), stdout=subprocess.DEVNULL,
                       check=True)
        times[name].append((time.perf_counter() - start) * 1e3)
baseline = statistics.median(times[commands[-1][0]])
for name, _ in commands:
    median = statistics.median(times[name])
    print(f"{name:12s} {median:9.1f} ms  over the last {median / baseline:.3f}"
          f"  (least {min(times[name]):.1f})")
