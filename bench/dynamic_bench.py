#!/usr/bin/env python3
"""Dynamic circuits: vorn's branching run against the same circuit with only
final measurements, and against Qiskit Aer (when installed).

Workloads (seeded, 2 threads unless --threads):
  mid20    20 qubits: ry layer, cx chain, ry layer; qubit 0 measured in the
           middle; an rx layer on every qubit conditioned on that clbit; a cx
           chain; every qubit measured at the end. 10^4 shots.
  final20  the same gates with the rx layer unconditioned and only the final
           measurements (vorn's simulate-once run).
  rep17    the repetition code of examples/vorn_dynamic.py at distance 9
           (17 qubits), 10 rounds of rx(0.2) errors, syndrome measured and
           reset every round. 10^4 shots.
Aer runs the circuits transpiled to its basis (optimization_level=0, not
timed) with its defaults (each shot simulated on its own, --aer-shots) and
with shot_branching_enable=True (--aer-branching-shots); vorn is timed at the
same shot count for each comparison.
Timings: the best of --repeat runs, wall clock, the run call until counts.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))

import vorn  # noqa: E402
from vorn_dynamic import repetition_code  # noqa: E402

SHOTS = 10_000


def layered(n: int, dynamic: bool) -> vorn.Circuit:
    rng = np.random.default_rng(1)
    c = vorn.Circuit(n, n + 1)
    for q in range(n):
        c.ry(float(rng.uniform(0, np.pi)), q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    for q in range(n):
        c.ry(float(rng.uniform(0, np.pi)), q)
    if dynamic:
        c.measure(0, n)
        with c.if_test((n, 1)):
            for q in range(n):
                c.rx(0.3, q)
    else:
        for q in range(n):
            c.rx(0.3, q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure(list(range(n)), list(range(n)))
    return c


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def write_report(path: str, lines: list[str]) -> None:
    """The markdown report to `path` (its folder made) and to stdout."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--aer-shots", type=int, default=100, help="shots of Aer's default (per-shot) run")
    parser.add_argument("--aer-branching-shots", type=int, default=1000, help="shots of Aer's shot-branching run")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results", "dynamic.md"))
    args = parser.parse_args()

    work = {"mid20": layered(20, True), "final20": layered(20, False), "rep17": repetition_code(9, 10, 0.2)}

    def ours(name: str, shots: int) -> float:
        c = work[name]
        return best(lambda: vorn.run(c, shots=shots, seed=1, threads=args.threads).counts(), args.repeat)

    rows = []  # (workload, shots, vorn seconds, peer, peer seconds)
    for name in work:
        rows.append((name, SHOTS, ours(name, SHOTS), "", float("nan")))
        print(rows[-1], flush=True)
    try:
        import qiskit
        import qiskit_aer
    except ImportError:
        qiskit_aer = None
    if qiskit_aer is not None:
        for name in ("mid20", "rep17"):
            qc = vorn.to_qiskit(work[name])
            for label, options, shots in (("Aer shot branching", {"shot_branching_enable": True},
                                           args.aer_branching_shots),
                                          ("Aer default", {}, args.aer_shots)):
                sim = qiskit_aer.AerSimulator(method="statevector", seed_simulator=1,
                                              max_parallel_threads=args.threads, **options)
                tqc = qiskit.transpile(qc, sim, optimization_level=0)
                peer = best(lambda: sim.run(tqc, shots=shots).result().get_counts(), 1)
                rows.append((name, shots, ours(name, shots), label, peer))
                print(rows[-1], flush=True)
    lines = [
        "# Dynamic circuits (bench/dynamic_bench.py)",
        "",
        f"{args.threads} threads; vorn best of {args.repeat}, Aer one run, both at the shots given. "
        "Aer's per-shot run is linear in shots, so it is timed at fewer.",
        "",
        "| workload | shots | vorn s | peer | peer s | vorn / peer |",
        "|---|---:|---:|---|---:|---:|",
    ]
    for name, shots, mine, peer, theirs in rows:
        ratio = "" if not peer else f"{mine / theirs:.4f}"
        lines.append(f"| {name} | {shots} | {mine:.3f} | {peer} | {'' if not peer else f'{theirs:.2f}'} | {ratio} |")
    by_name = {r[0]: r[2] for r in rows if not r[3]}
    lines += ["", f"mid20 / final20 (vorn, 10^4 shots): {by_name['mid20'] / by_name['final20']:.2f}"]
    write_report(args.out, lines)


if __name__ == "__main__":
    main()
