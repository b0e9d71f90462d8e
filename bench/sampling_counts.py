#!/usr/bin/env python3
"""10^6 shots with the counts in hand, against the same run without shots.

For both modules on a 20-qubit uniform state (h on every qubit) and on GHZ:
the run without shots, the run with shots, the run with shots and counts(),
and the dictionary's cost per shot.
Wall time and process CPU time (all threads), median of the repeats, and the
load average before and after (the machine may be shared).

Usage: python bench/sampling_counts.py [--qubits 20] [--shots 1000000] [--repeats 7]
"""
from __future__ import annotations

import argparse
import os
import statistics
import time

import vorn
import vorn_python


def timed(f, repeats):
    walls, cpus = [], []
    for _ in range(repeats):
        c0, t0 = time.process_time(), time.perf_counter()
        f()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
    return statistics.median(walls), statistics.median(cpus)


def circuit(module, kind, n):
    """h on every qubit (uniform) or GHZ, every qubit measured."""
    c = module.Circuit(n) if module is vorn_python else module.Circuit(n, n)
    if kind == "uniform":
        for q in range(n):
            c.h(q)
    else:
        c.h(0)
        for q in range(n - 1):
            c.cx(q, q + 1)
    if module is vorn_python:
        c.measure_all()
    else:
        c.measure(list(range(n)), list(range(n)))
    return c


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--qubits", type=int, default=20)
    p.add_argument("--shots", type=int, default=10**6)
    p.add_argument("--repeats", type=int, default=7)
    a = p.parse_args()
    print(f"load average before: {os.getloadavg()[0]:.2f}, threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}")
    print("module       state    no shots          shots             shots+counts      dict/shot  ratio wall cpu  keys")
    for kind in ("uniform", "ghz"):
        for name, module in (("vorn_python", vorn_python), ("vorn", vorn)):
            c = circuit(module, kind, a.qubits)
            none = timed(lambda: module.run(c, shots=0, seed=1), a.repeats)
            shots = timed(lambda: module.run(c, shots=a.shots, seed=1), a.repeats)
            both = timed(lambda: module.run(c, shots=a.shots, seed=1).counts(), a.repeats)
            keys = len(module.run(c, shots=a.shots, seed=1).counts())
            per_shot = max(both[1] - shots[1], 0.0) / a.shots

            def cell(t):
                return f"{t[0] * 1e3:6.1f} ({t[1] * 1e3:6.1f})"

            print(f"{name:12} {kind:8} {cell(none)}  {cell(shots)}  {cell(both)}  "
                  f"{per_shot * 1e6:.3f}us  {both[0] / none[0]:5.1f} {both[1] / none[1]:5.1f}  {keys}")
    print("times in ms: wall (CPU of all threads); dict/shot in CPU time; ratio = shots+counts / no shots")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
