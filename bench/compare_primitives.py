#!/usr/bin/env python3
"""vorn.qiskit's EstimatorV2 against Aer's EstimatorV2 on one PUB, the way a
Qiskit user calls them: `estimator.run([(circuit, observable, values)])` with
a Qiskit circuit of ParameterVector angles and a SparsePauliOp.

Cell "estimator": compare_params.py's sweep problem (12 qubits, 10 layers of
ry, rz and a cx ladder: 240 parameters; 50 random Pauli terms; 1000
bindings), exact values (precision 0; Aer with method "statevector"). Also
vorn.expval(params=...) on the converted circuit, to show what the primitive
layer (PUB coercion, conversion, broadcasting) costs. Each simulator runs in
a fresh worker process with the same thread count for everyone; the time is
the best of `--repeat` calls after one warm-up call. The bar: vorn's
EstimatorV2 at most 0.5x Aer's time. Results go to
bench/results/compare-primitives.md.
"""
from __future__ import annotations

import argparse
import os
from pathlib import Path

import numpy as np

from compare_params import aer_cell, against, ansatz, in_worker, problem, report, write_table

RESULTS = Path(__file__).resolve().parent / "results" / "compare-primitives.md"
CELL = dict(n=12, layers=10, terms=50, bindings=1000)
SIMS = ("vorn-estimator", "vorn-expval", "aer-estimator")


def qiskit_problem():
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector
    from qiskit.quantum_info import SparsePauliOp

    n, layers = CELL["n"], CELL["layers"]
    labels, coeffs, values = problem(n, layers, CELL["terms"], CELL["bindings"])
    th = ParameterVector("t", 2 * n * layers)
    qc = QuantumCircuit(n)
    ansatz(n, layers, lambda k, q: qc.ry(th[k], q), lambda k, q: qc.rz(th[k], q), qc.cx)
    return qc, SparsePauliOp(labels, coeffs), values


def make(sim):
    if sim == "aer-estimator":  # compare_params.py's own Aer cell on the same problem
        n, layers = CELL["n"], CELL["layers"]
        return aer_cell("sweep", n, layers, *problem(n, layers, CELL["terms"], CELL["bindings"]))
    qc, op, values = qiskit_problem()
    if sim == "vorn-expval":
        import vorn

        circuit = vorn.from_qiskit(qc)
        h = vorn.PauliSum.from_qiskit(op)
        return lambda: vorn.expval(circuit, h, params=values)[:, 0]
    from vorn.qiskit import EstimatorV2

    est = EstimatorV2()
    return lambda: np.asarray(est.run([(qc, op, values)]).result()[0].data.evs)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--worker", metavar="SIM", choices=SIMS)
    args = parser.parse_args()
    if args.worker:
        report(make(args.worker), args.repeat)
        return
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads))
    load = os.getloadavg()[0]
    found = {}
    for sim in SIMS:
        result = in_worker(__file__, [sim], args.repeat, env)
        if result is not None:
            found[sim] = result
    ref = found.get("vorn-estimator")
    rows = []
    for sim, r in found.items():
        ratio, agree = against(r, ref)
        rows.append((sim, f"{r['seconds']:.4f}", f"{r['seconds'] / CELL['bindings'] * 1e6:.1f}", ratio, agree))
        print(f"{sim:15s} {r['seconds']:9.4f} s  vorn-estimator/this {ratio:6s} max diff {agree}")
    heading = ["# Qiskit primitives: vorn.qiskit.EstimatorV2 against Aer's", "",
               f"One PUB: {CELL['n']} qubits, {CELL['layers']} layers ({2 * CELL['n'] * CELL['layers']} parameters), "
               f"{CELL['terms']} Pauli terms, {CELL['bindings']} bindings; {args.threads} threads, best of "
               f"{args.repeat}; load average {load:.2f} when it started. See bench/compare_primitives.py."]
    write_table(RESULTS, heading, ["simulator", "seconds", "us per binding", "vorn EstimatorV2 time / this time",
                                   "max diff"], rows)


if __name__ == "__main__":
    main()
