#!/usr/bin/env python3
"""Diagonal gates and opt-in fusion, vorn against itself (and Qiskit Aer's
default fusion where it is installed).

1. cz against cp(pi) (the same matrix, up to the rounding of e^(i pi)) and
   cx: one gate on every pair of n qubits (n(n-1)/2 gates: 190 at 20
   qubits) after an h layer; vorn.statevector, exact path. Every cz now runs
   on the diagonal path like cp; the ratios cz / cp(pi) (bar 1.1) and
   cz / cx (bar 1) are reported.
2. fusion=True against the exact path on circuits where merging cannot pay
   or where it did not before the fusion pass weighed its costs: chains of
   diagonal gates (rzz on neighbours, 10 layers; cz on every pair), lists
   nothing merges (400 random cswaps), and the peer comparison's workloads
   (h layers, QFT with rz/cx, random rx/ry/rz + cx ladders; bench/compare.py)
   from 12 qubits up. Reported: fused / exact (bar 1.1 on every circuit) and,
   where Aer is installed, fused / Aer on the peer workloads from 20 qubits
   (bar 0.6 at 22-26 qubits, where fusion pays; bench/compare.py runs them
   up to 26).

Timings: wall clock of one call, the best of --repeat calls, exact and fused
calls interleaved so that a change in the machine's load falls on both;
--threads threads for vorn and Aer (2 by default).
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import time

import vorn

sys.path.insert(0, os.path.dirname(__file__))
from compare import h_layers, qft, random_circuit  # noqa: E402  (gate lists of the peer comparison)


def circuit_of(n: int, ops) -> vorn.Circuit:
    c = vorn.Circuit(n)
    for name, params, qubits in ops:
        getattr(c, name)(*params, *qubits)
    return c


def all_pairs(n: int, gate: str) -> vorn.Circuit:
    c = vorn.Circuit(n)
    for q in range(n):
        c.h(q)
    for a in range(n):
        for b in range(a + 1, n):
            if gate == "cp(pi)":
                c.cp(math.pi, a, b)
            else:
                getattr(c, gate)(a, b)
    return c


def rzz_chain(n: int) -> vorn.Circuit:
    c = vorn.Circuit(n)
    for q in range(n):
        c.h(q)
    for layer in range(10):
        for q in range(n - 1):
            c.rzz(0.1 * (q + 1) + layer, q, q + 1)
    return c


def cswaps(n: int) -> vorn.Circuit:
    rng = random.Random(n)
    c = vorn.Circuit(n)
    for q in range(n):
        c.h(q)
    for _ in range(400):
        c.cswap(*rng.sample(range(n), 3))
    return c


def best_pair(first, second, repeat: int) -> tuple[float, float]:
    """The best of `repeat` calls of each, interleaved."""
    a = b = math.inf
    for _ in range(repeat):
        t = time.perf_counter()
        first()
        a = min(a, time.perf_counter() - t)
        t = time.perf_counter()
        second()
        b = min(b, time.perf_counter() - t)
    return a, b


def repeats_for(n: int, repeat: int) -> int:
    return max(3, repeat >> max(0, n - 16))


class Aer:
    """Qiskit Aer's statevector method with its defaults (fusion on)."""

    def __init__(self, threads: int):
        from qiskit import QuantumCircuit, transpile
        from qiskit_aer import AerSimulator

        self.QuantumCircuit, self.transpile = QuantumCircuit, transpile
        self.sim = AerSimulator(method="statevector", max_parallel_threads=threads)

    def prepare(self, n: int, ops):
        qc = self.QuantumCircuit(n)
        for name, params, qubits in ops:
            getattr(qc, name)(*params, *qubits)
        qc.save_statevector()
        return self.transpile(qc, self.sim, optimization_level=0)

    def run(self, qc) -> None:
        self.sim.run(qc).result()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="calls per cell at 16 qubits and below (fewer above)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--quick", action="store_true", help="small sizes only")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "results", "diagonal_fusion.md"))
    args = parser.parse_args()
    threads = args.threads
    pair_sizes = (16, 18) if args.quick else (20, 22)
    chain_sizes = (12, 14) if args.quick else (12, 14, 16, 18, 20)
    peer_sizes = (12, 16) if args.quick else (12, 16, 20, 22)
    try:
        aer = Aer(threads)
    except ImportError:
        aer = None

    def state(c, fusion=False):
        return lambda: vorn.statevector(c, fusion=fusion, threads=threads)

    lines = ["# Diagonal gates and fusion", "", f"threads {threads}; seconds, the best of interleaved calls", ""]
    lines += ["## cz, cp(pi) and cx on every pair (exact path)", "",
              "| n | gates | cz | cp(pi) | cx | cz / cp(pi) | cz / cx |", "|---:|---:|---:|---:|---:|---:|---:|"]
    for n in pair_sizes:
        r = repeats_for(n, args.repeat)
        cz, cp = best_pair(state(all_pairs(n, "cz")), state(all_pairs(n, "cp(pi)")), r)
        cz2, cx = best_pair(state(all_pairs(n, "cz")), state(all_pairs(n, "cx")), r)
        cz = min(cz, cz2)
        lines.append(f"| {n} | {n * (n - 1) // 2} | {cz:.4f} | {cp:.4f} | {cx:.4f} | {cz / cp:.2f} | {cz / cx:.2f} |")
        print(lines[-1], flush=True)

    lines += ["", "## fusion=True against the exact path", "",
              "| workload | n | exact | fused | fused / exact | Aer | fused / Aer |",
              "|---|---:|---:|---:|---:|---:|---:|"]
    cases = [("rzz chain, 10 layers", rzz_chain, chain_sizes), ("cz on every pair", lambda n: all_pairs(n, "cz"), chain_sizes),
             ("400 cswaps", cswaps, chain_sizes)]
    peers = [("h layers", h_layers), ("QFT (rz/cx)", qft), ("random + cx ladder", random_circuit)]
    cases += [(name, (lambda build: lambda n: circuit_of(n, build(n)))(build), peer_sizes) for name, build in peers]
    worst = 0.0
    for name, build, sizes in cases:
        for n in sizes:
            c = build(n)
            r = repeats_for(n, args.repeat)
            exact, fused = best_pair(state(c), state(c, True), r)
            worst = max(worst, fused / exact)
            peer, ratio = "", ""
            if aer is not None and name in dict(peers) and n >= 20:
                job = aer.prepare(n, dict(peers)[name](n))
                aer.run(job)  # warm-up
                t = math.inf
                for _ in range(min(r, 3)):
                    start = time.perf_counter()
                    aer.run(job)
                    t = min(t, time.perf_counter() - start)
                peer, ratio = f"{t:.4f}", f"{fused / t:.2f}"
            lines.append(f"| {name} | {n} | {exact:.4f} | {fused:.4f} | {fused / exact:.2f} | {peer} | {ratio} |")
            print(lines[-1], flush=True)
    lines += ["", f"Largest fused / exact: {worst:.2f} (bar 1.1)."]
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"written {args.out}")


if __name__ == "__main__":
    main()
