#!/usr/bin/env python3
"""Noisy runs: vorn's trajectories (vorn.run(..., noise=)) against Qiskit Aer
(when installed) on the same circuit and noise model.

Workload (seeded, 2 threads unless --threads): dep16, 16 qubits, 20 layers
of ry on every qubit then cx on alternating neighbour pairs; depolarising
noise 1e-3 after every gate (1-qubit after ry, 2-qubit after cx, Qiskit's
convention on both sides); every qubit measured; 10^4 shots. vorn reports
how many distinct error patterns (final states) it simulated.
Aer runs the circuit (its noise model built by qiskit_aer.noise, the vorn
model converted from it with vorn.noise.from_qiskit) with its statevector
method and defaults, max_parallel_threads as vorn's threads, at --aer-shots
shots (its run is linear in shots; the 10^4 figure is scaled from it when
fewer). Timings: the best of --repeat runs (Aer: one), wall clock, the run
call until counts.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

import vorn
from vorn import noise as vn

sys.path.insert(0, os.path.dirname(__file__))
from dynamic_bench import best, write_report  # noqa: E402

SHOTS = 10_000


def layered(n: int, layers: int) -> vorn.Circuit:
    rng = np.random.default_rng(1)
    c = vorn.Circuit(n, n)
    for layer in range(layers):
        for q in range(n):
            c.ry(float(rng.uniform(0, np.pi)), q)
        for q in range(layer % 2, n - 1, 2):
            c.cx(q, q + 1)
    c.measure(list(range(n)), list(range(n)))
    return c


def vorn_model(p: float) -> vn.NoiseModel:
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.depolarizing(p, 1), "ry")
    m.add_all_qubit_error(vn.depolarizing(p, 2), "cx")
    return m


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--p", type=float, default=1e-3)
    parser.add_argument("--aer-shots", type=int, default=SHOTS, help="shots of Aer's run (scaled to 10^4)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results", "noise.md"))
    args = parser.parse_args()

    c = layered(16, 20)
    model = vorn_model(args.p)
    result = vorn.run(c, SHOTS, seed=1, noise=model, threads=args.threads)
    ours = best(lambda: vorn.run(c, SHOTS, seed=1, noise=model, threads=args.threads).counts(), args.repeat)
    print(f"vorn: {ours:.3f} s, {result.distinct_paths} distinct patterns", flush=True)
    lines = [
        "# Noisy runs (bench/noise_bench.py)",
        "",
        f"dep16: 16 qubits, 20 layers ({sum(1 for i in c.data if i.name != 'measure')} gates), depolarising "
        f"{args.p:g} after every gate, {SHOTS} shots, {args.threads} threads; vorn best of {args.repeat}.",
        "",
        f"- vorn: {ours:.3f} s; distinct error patterns simulated: {result.distinct_paths} "
        f"(of {SHOTS} trajectories)",
    ]
    try:
        import qiskit_aer
        from qiskit_aer import noise as an
    except ImportError:
        qiskit_aer = None
        lines.append("- Qiskit Aer: not installed")
    if qiskit_aer is not None:
        aer_model = an.NoiseModel()
        aer_model.add_all_qubit_quantum_error(an.depolarizing_error(args.p, 1), ["ry"])
        aer_model.add_all_qubit_quantum_error(an.depolarizing_error(args.p, 2), ["cx"])
        assert vn.from_qiskit(aer_model) == model
        sim = qiskit_aer.AerSimulator(method="statevector", noise_model=aer_model, seed_simulator=1,
                                      max_parallel_threads=args.threads)
        qc = vorn.to_qiskit(c)
        theirs = best(lambda: sim.run(qc, shots=args.aer_shots).result().get_counts(), 1)
        scaled = theirs * SHOTS / args.aer_shots
        print(f"aer: {theirs:.3f} s at {args.aer_shots} shots ({scaled:.3f} s at {SHOTS})", flush=True)
        lines += [f"- Qiskit Aer {qiskit_aer.__version__} (statevector, defaults): {theirs:.3f} s at "
                  f"{args.aer_shots} shots" + (f", {scaled:.3f} s scaled to {SHOTS}" if args.aer_shots != SHOTS
                                                else ""),
                  f"- vorn / Aer: {ours / scaled:.3f}"]
    load = os.getloadavg()
    lines += ["", f"Machine load (1, 5, 15 min) at the end: {load[0]:.2f}, {load[1]:.2f}, {load[2]:.2f} on "
              f"{os.cpu_count()} processors (shared with other jobs)."]
    write_report(args.out, lines)


if __name__ == "__main__":
    main()
