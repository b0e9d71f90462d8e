#!/usr/bin/env python3
"""Parameterised circuits against peers: adjoint gradients, sweeps, and the
per-binding overhead. Each cell runs in a fresh worker process with the same
thread count T for everyone (RAYON_NUM_THREADS = OMP_NUM_THREADS = T, Aer also
max_parallel_threads = T); the time is the best of `--repeat` calls after one
warm-up call. Results go to bench/results/compare-params.md.

Ansatz (hardware-efficient): `layers` of ry then rz on every qubit (one
parameter each) and a cx ladder; Hamiltonian: `terms` random Pauli strings
(each character uniform over I, X, Y, Z), real coefficients uniform in [-1, 1].

  grad     20 qubits, 10 layers (400 parameters), 50 terms: the value and the
           gradient at one binding. vorn.value_and_grad; PennyLane
           lightning.qubit with diff_method="adjoint" (qml.grad of a QNode
           returning expval of the Hamiltonian); Qulacs
           ParametricQuantumCircuit.backprop(observable). Gradients agree to 1e-8.
  sweep    12 qubits, 10 layers (240 parameters), 50 terms, 1000 bindings:
           vorn.expval(params=...); Aer EstimatorV2 (default_precision 0) on
           one PUB (circuit, observable, values); a Qulacs loop (set_parameter
           per angle + update_quantum_state + get_expectation_value). Values
           agree to 1e-9.
  overhead 6 qubits, 10 layers (120 parameters), 50 terms, 1000 bindings: as
           sweep, reported in microseconds per binding.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

RESULTS = Path(__file__).resolve().parent / "results" / "compare-params.md"
CELLS = {
    "grad": dict(n=20, layers=10, terms=50, bindings=1, sims=("vorn", "lightning", "qulacs")),
    "sweep": dict(n=12, layers=10, terms=50, bindings=1000, sims=("vorn", "aer", "qulacs")),
    "overhead": dict(n=6, layers=10, terms=50, bindings=1000, sims=("vorn", "aer", "qulacs")),
}


def problem(n, layers, terms, bindings, seed=17):
    rng = np.random.default_rng(seed + n)
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    coeffs = rng.uniform(-1, 1, terms)
    values = rng.uniform(-np.pi, np.pi, (bindings, 2 * n * layers))
    return labels, coeffs, values


def ansatz(n, layers, ry, rz, cx):
    """Calls ry(k, qubit) and rz(k + 1, qubit) per qubit and layer (k the
    parameter's column), then cx(q, q + 1) down the ladder."""
    k = 0
    for _ in range(layers):
        for q in range(n):
            ry(k, q)
            rz(k + 1, q)
            k += 2
        for q in range(n - 1):
            cx(q, q + 1)


# ---- the simulators: each returns (callable doing the work, function giving the answer) ------


def vorn_cell(cell, n, layers, labels, coeffs, values):
    import vorn

    th = vorn.ParameterVector("t", 2 * n * layers)
    c = vorn.Circuit(n)
    ansatz(n, layers, lambda k, q: c.ry(th[k], q), lambda k, q: c.rz(th[k], q), c.cx)
    h = vorn.PauliSum.from_list(list(zip(labels, coeffs)))
    # ParameterVector elements sort by index: column j is parameter t[j].
    if cell == "grad":
        return lambda: vorn.value_and_grad(c, h, params=values[0])[1]
    return lambda: vorn.expval(c, h, params=values)[:, 0]


def lightning_cell(cell, n, layers, labels, coeffs, values, device="lightning.qubit"):
    import pennylane as qml
    from pennylane import numpy as pnp

    dev = qml.device(device, wires=n)
    # PennyLane wire 0 is the leftmost (most significant) bit: label character j acts on wire j
    # while vorn's rightmost character is qubit 0, so vorn qubit q is wire n-1-q.
    ops = []
    for label in labels:
        factors = [{"X": qml.PauliX, "Y": qml.PauliY, "Z": qml.PauliZ}[ch](j) for j, ch in enumerate(label) if ch != "I"]
        ops.append(qml.prod(*factors) if factors else qml.Identity(0))
    ham = qml.Hamiltonian(list(coeffs), ops)

    @qml.qnode(dev, diff_method="adjoint")
    def energy(x):
        ansatz(n, layers, lambda k, q: qml.RY(x[k], wires=n - 1 - q), lambda k, q: qml.RZ(x[k], wires=n - 1 - q),
               lambda a, b: qml.CNOT(wires=[n - 1 - a, n - 1 - b]))
        return qml.expval(ham)

    x = pnp.array(values[0], requires_grad=True)
    grad = qml.grad(energy)
    return lambda: np.asarray(grad(x))


def qulacs_circuit(n, layers):
    from qulacs import ParametricQuantumCircuit

    pc = ParametricQuantumCircuit(n)
    # Parameters are numbered in the order they are added: k, as everywhere.
    ansatz(n, layers, lambda k, q: pc.add_parametric_RY_gate(q, 0.0), lambda k, q: pc.add_parametric_RZ_gate(q, 0.0),
           pc.add_CNOT_gate)
    return pc


def qulacs_observable(n, labels, coeffs):
    from qulacs import Observable

    obs = Observable(n)
    for label, coeff in zip(labels, coeffs):
        # Qulacs: "X 0 Z 3" with qubit 0 the least significant, as vorn's rightmost character.
        text = " ".join(f"{ch} {n - 1 - j}" for j, ch in enumerate(label) if ch != "I")
        obs.add_operator(float(coeff), text)
    return obs


def qulacs_cell(cell, n, layers, labels, coeffs, values):
    from qulacs import QuantumState

    pc = qulacs_circuit(n, layers)
    obs = qulacs_observable(n, labels, coeffs)
    # Qulacs's rotations are exp(+i theta/2 P): parameter -theta is Qiskit's and vorn's theta.
    if cell == "grad":
        def grad():
            for j, v in enumerate(values[0]):
                pc.set_parameter(j, -v)
            return -np.asarray(pc.backprop(obs))
        return grad
    state = QuantumState(n)

    def loop():
        out = np.empty(len(values))
        for b, row in enumerate(values):
            for j, v in enumerate(row):
                pc.set_parameter(j, -v)
            state.set_zero_state()
            pc.update_quantum_state(state)
            out[b] = obs.get_expectation_value(state)
        return out
    return loop


def aer_cell(cell, n, layers, labels, coeffs, values):
    from qiskit import QuantumCircuit
    from qiskit.circuit import ParameterVector
    from qiskit.quantum_info import SparsePauliOp
    from qiskit_aer.primitives import EstimatorV2

    th = ParameterVector("t", 2 * n * layers)
    qc = QuantumCircuit(n)
    ansatz(n, layers, lambda k, q: qc.ry(th[k], q), lambda k, q: qc.rz(th[k], q), qc.cx)
    op = SparsePauliOp(labels, coeffs)
    threads = int(os.environ.get("OMP_NUM_THREADS", "0"))
    est = EstimatorV2(options={"default_precision": 0.0,
                               "backend_options": {"max_parallel_threads": threads, "method": "statevector"}})
    return lambda: np.asarray(est.run([(qc, op, values)]).result()[0].data.evs)


SIMS = {"vorn": vorn_cell, "lightning": lightning_cell, "qulacs": qulacs_cell, "aer": aer_cell}


def worker(cell, sim, repeat):
    spec = CELLS[cell]
    labels, coeffs, values = problem(spec["n"], spec["layers"], spec["terms"], spec["bindings"])
    report(SIMS[sim](cell, spec["n"], spec["layers"], labels, coeffs, values), repeat)


def report(work, repeat):
    """Prints, as JSON, the best time of `repeat` calls of `work` after one
    warm-up call, and the warm-up's answer (read by `in_worker`)."""
    answer = work()
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - t)
    print(json.dumps({"seconds": best, "answer": np.asarray(answer, dtype=float).tolist()}))


def in_worker(script, worker_args, repeat, env):
    """Runs `script --worker ...` in a fresh process; its report, or None
    (said on stdout) when it failed, e.g. a peer not installed."""
    done = subprocess.run([sys.executable, script, "--worker", *worker_args, "--repeat", str(repeat)],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        print(f"{'/'.join(worker_args)}: skipped ({done.stderr.strip().splitlines()[-1:]})")
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cells", default=",".join(CELLS))
    parser.add_argument("--worker", nargs=2, metavar=("CELL", "SIM"))
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker, args.repeat)
        return
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads))
    rows = []
    for cell in args.cells.split(","):
        spec = CELLS[cell]
        found = {}
        for sim in spec["sims"]:
            result = in_worker(__file__, [cell, sim], args.repeat, env)
            if result is not None:
                found[sim] = result
        ref = found.get("vorn")
        for sim, r in found.items():
            ratio, agree = against(r, ref)
            t = r["seconds"]
            per = f"{t / spec['bindings'] * 1e6:.1f} us/binding" if spec["bindings"] > 1 else ""
            rows.append((cell, sim, f"{t:.4f}", per, ratio, agree))
            print(f"{cell:9s} {sim:10s} {t:9.4f} s  {per:18s} vorn/peer {ratio:6s} max diff {agree}")
    write_table(RESULTS, ["# Parameterised circuits against peers", "",
                          f"{args.threads} threads, best of {args.repeat}; see bench/compare_params.py for the cells."],
                ["cell", "simulator", "seconds", "per binding", "vorn time / this time", "max diff to vorn"], rows)


def against(result, ref):
    """(ref's time / this time, the largest difference of the answers) as
    text; empty without a reference."""
    if ref is None:
        return "", ""
    diff = np.max(np.abs(np.subtract(result["answer"], ref["answer"])))
    return f"{ref['seconds'] / result['seconds']:.2f}", f"{diff:.1e}"


def write_table(path, heading, header, rows):
    """A markdown page: the `heading` lines, then `rows` under `header`."""
    path.parent.mkdir(parents=True, exist_ok=True)
    lines = [*heading, "", f"| {' | '.join(header)} |", "|" + "---|" * len(header)]
    lines += [f"| {' | '.join(r)} |" for r in rows]
    path.write_text("\n".join(lines) + "\n")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
