#!/usr/bin/env python3
# Peer comparison of the `vorn` package's entry points: OpenQASM 2 workloads,
# the parser alone, Pauli expectation values and sampling. compare.py calls
# run() after its gate workloads; this file is also its own worker process.
"""Compare the vorn package with peers on loaded circuits, observables and shots.

Suites (each cell runs in a fresh worker process, every simulator with the same
thread count T: RAYON_NUM_THREADS=T and OMP_NUM_THREADS=T for all, Aer also
max_parallel_threads=T):

  qasm      OpenQASM 2 text generated here (QFT, Cuccaro ripple-carry adder,
            random circuits, and two circuits of controlled/diagonal gates:
            QAOA-like rzz + rx layers and c3x + cp rounds). Timed: text to final
            state. vorn: vorn.qasm2.loads + vorn.statevector. Qiskit Aer:
            qiskit.qasm2.loads (+ transpile(optimization_level=0) when the
            file defines gates, which Aer does not run) + save_statevector +
            AerSimulator(statevector).
            Qulacs: qiskit.qasm2.loads + the translation below + a fresh
            QuantumState + update_quantum_state. Every cell's probabilities are
            checked against the first simulator's to 1e-10.
  parser    a 200,000-gate OpenQASM 2 file (20 qubits, qelib1 gates with
            angles): vorn.qasm2.loads vs qiskit.qasm2.loads.
  expval    a random normalised state and 200 random Pauli strings (each
            character uniform over I, X, Y, Z on every qubit, real coefficients
            uniform in [-1, 1]). Timed: one evaluation from a state and an
            observable built beforehand. vorn.expval on the NumPy state (read in
            place); Qulacs Observable.get_expectation_value on a loaded
            QuantumState; Aer EstimatorV2 in exact mode (default_precision 0:
            save_expectation_value per string) on a circuit that sets the state;
            Qiskit Statevector.expectation_value(SparsePauliOp). Values agree to
            1e-9. Extra memory: peak resident size during the first evaluation
            minus the resident size just before it.
  sampling  10^6 shots on 20 qubits of a circuit with a spread distribution (ry
            layer, cx chain, ry layer, measure_all). Timed until the counts
            (outcome -> count) are in hand: vorn.run(shots) then counts(); Aer
            run(shots).result().get_counts(); Qulacs simulation +
            state.sampling + a NumPy tally. vorn also times the same circuit
            with shots=0. Checked: each qubit's marginal within 6 sigma of the
            reference state's.

Qiskit-to-Qulacs translation: Qiskit's standard gates go to the matching
Qulacs gate (H, X, ..., RotX/RotY/RotZ, CNOT, CZ, SWAP, TOFFOLI); a controlled
gate becomes its base gate's dense matrix with Qulacs control qubits; any other
gate its dense matrix; a gate defined in the file is expanded through its
definition.
"""
from __future__ import annotations

import argparse
import datetime as dt
import gc
import json
import math
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import compare as base  # the gate-workload comparison: machine text, peak memory helpers

SEED = base.SEED
RESULTS_DIR = base.RESULTS_DIR
SUITES = ("qasm", "parser", "expval", "sampling")
LABELS = {"vorn": "vorn", "aer": "Qiskit Aer", "qulacs": "Qulacs", "qiskit": "Qiskit"}
SUITE_SIMS = {
    "qasm": ("vorn", "aer", "qulacs"),
    "parser": ("vorn", "qiskit"),
    "expval": ("vorn", "qulacs", "aer", "qiskit"),
    "sampling": ("vorn", "aer", "qulacs"),
}
QASM_WORKLOADS = ("qft", "adder", "random", "qaoa", "mcx_cp")
QASM_SIZES = (20, 22, 24, 26)
QASM_QUICK = (16, 20)
# The controlled/diagonal-gate circuits stop at 24 qubits to keep the run short.
QASM_MAX_N = {"qaoa": 24, "mcx_cp": 24}
EXPVAL_SIZES = (20, 22)
EXPVAL_QUICK = (20,)
EXPVAL_TERMS = 200
PARSER_GATES = 200_000
PARSER_GATES_QUICK = 20_000
PARSER_QUBITS = 20
SHOTS = 10**6
SAMPLING_QUBITS = 20
TOLERANCE = 1e-10
EXPVAL_TOLERANCE = 1e-9
WARMUP_SKIP_S = 5.0
BARS = {"qasm": 0.8, "parser": 1.5, "expval": 0.5, "sampling_peer": 0.5, "sampling_self": 3.0}


# ---------------------------------------------------------------- OpenQASM text
HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def _a(x):
    return repr(float(x))


def qasm_qft(n):
    """QFT with cp and the final swaps, on a product state made by an ry layer
    (so that the probabilities depend on the phases)."""
    lines = [HEADER, f"qreg q[{n}];", "creg c[%d];" % n]
    lines += [f"ry({_a(0.3 + 1.4 * q / n)}) q[{q}];" for q in range(n)]
    for j in range(n - 1, -1, -1):
        lines.append(f"h q[{j}];")
        lines += [f"cp({_a(math.pi / 2 ** (j - k))}) q[{k}],q[{j}];" for k in range(j - 1, -1, -1)]
    lines += [f"swap q[{i}],q[{n - 1 - i}];" for i in range(n // 2)]
    return "\n".join(lines) + "\n"


def qasm_adder(n):
    """Cuccaro ripple-carry adder b += a on m = (n-2)/2 bit registers, as
    QASMBench writes it (majority / unmaj gate definitions), on inputs in
    superposition (an ry of a different angle on every input qubit)."""
    m = (n - 2) // 2
    lines = [HEADER,
             "gate majority a,b,c { cx c,b; cx c,a; ccx a,b,c; }",
             "gate unmaj a,b,c { ccx a,b,c; cx c,a; cx a,b; }",
             "qreg cin[1];", f"qreg a[{m}];", f"qreg b[{m}];", "qreg cout[1];"]
    if 2 * m + 2 < n:
        lines.append(f"qreg spare[{n - 2 * m - 2}];")
    lines += [f"ry({_a(0.4 + 1.1 * i / m)}) a[{i}];" for i in range(m)]
    lines += [f"ry({_a(1.9 - 1.3 * i / m)}) b[{i}];" for i in range(m)]
    lines.append("majority cin[0],b[0],a[0];")
    lines += [f"majority a[{i - 1}],b[{i}],a[{i}];" for i in range(1, m)]
    lines.append(f"cx a[{m - 1}],cout[0];")
    lines += [f"unmaj a[{i - 1}],b[{i}],a[{i}];" for i in range(m - 1, 0, -1)]
    lines.append("unmaj cin[0],b[0],a[0];")
    return "\n".join(lines) + "\n"


_ONE_Q = ("h", "x", "sx", "t", "tdg", "s", "rx", "ry", "rz", "u3")
_TWO_Q = ("cx", "cz", "cp", "crz", "rzz", "swap", "cu3")


def _random_gate(rng, name, qubits):
    nparams = {"rx": 1, "ry": 1, "rz": 1, "u3": 3, "cp": 1, "crz": 1, "rzz": 1, "cu3": 3}.get(name, 0)
    params = f"({','.join(_a(rng.uniform(0, 2 * math.pi)) for _ in range(nparams))})" if nparams else ""
    return f"{name}{params} " + ",".join(f"q[{q}]" for q in qubits) + ";"


def qasm_random(n, depth=16):
    """QASMBench-like random circuit: per layer the qubits are shuffled and
    paired; each pair gets a random two-qubit gate with probability 1/2 (a ccx
    with a third qubit now and then), else each qubit a random one-qubit gate."""
    rng = random.Random(SEED + 1000 + n)
    lines = [HEADER, f"qreg q[{n}];", f"creg c[{n}];"]
    for _ in range(depth):
        order = list(range(n))
        rng.shuffle(order)
        for i in range(0, n - 1, 2):
            a, b = order[i], order[i + 1]
            r = rng.random()
            if r < 0.05 and n >= 3:
                c = rng.choice([q for q in range(n) if q not in (a, b)])
                lines.append(f"ccx q[{a}],q[{b}],q[{c}];")
            elif r < 0.5:
                lines.append(_random_gate(rng, rng.choice(_TWO_Q), (a, b)))
            else:
                lines.append(_random_gate(rng, rng.choice(_ONE_Q), (a,)))
                lines.append(_random_gate(rng, rng.choice(_ONE_Q), (b,)))
        if n % 2:
            lines.append(_random_gate(rng, rng.choice(_ONE_Q), (order[-1],)))
    return "\n".join(lines) + "\n"


def qasm_qaoa(n, layers=3):
    """QAOA-like: h on every qubit, then layers of rzz on the edges of a ring
    and an rx mixer (diagonal two-qubit gates and one-qubit rotations)."""
    rng = random.Random(SEED + 2000 + n)
    lines = [HEADER, f"qreg q[{n}];"] + [f"h q[{q}];" for q in range(n)]
    for _ in range(layers):
        gamma, beta = rng.uniform(0, math.pi), rng.uniform(0, math.pi)
        lines += [f"rzz({_a(gamma * (1 + 0.1 * q))}) q[{q}],q[{(q + 1) % n}];" for q in range(n)]
        lines += [f"rx({_a(beta)}) q[{q}];" for q in range(n)]
    return "\n".join(lines) + "\n"


def qasm_mcx_cp(n, rounds=4):
    """Multi-controlled and diagonal gates: an ry layer, then rounds of c3x
    (three controls) over sliding windows, cp between distant qubits and an sx
    layer (so that the phases show in the probabilities)."""
    lines = [HEADER, f"qreg q[{n}];"] + [f"ry({_a(0.2 + 2.5 * q / n)}) q[{q}];" for q in range(n)]
    for r in range(rounds):
        lines += [f"c3x q[{i}],q[{i + 1}],q[{i + 2}],q[{i + 3}];" for i in range(r % 2, n - 3, 2)]
        lines += [f"cp({_a(0.7 + 0.1 * q + r)}) q[{q}],q[{(q + n // 2) % n}];" for q in range(n // 2)]
        lines += [f"sx q[{q}];" for q in range(n)]
    return "\n".join(lines) + "\n"


QASM_BUILDERS = {"qft": qasm_qft, "adder": qasm_adder, "random": qasm_random, "qaoa": qasm_qaoa,
                 "mcx_cp": qasm_mcx_cp}
ABOUT = {
    "qft": "QFT (h, cp, final swaps) after an ry layer",
    "adder": "Cuccaro ripple-carry adder (majority/unmaj gate definitions; ccx, cx) on ry-prepared inputs",
    "random": "random circuit, 16 layers: random pairs get cx/cz/cp/crz/rzz/swap/cu3 (or ccx), "
              "others h/x/sx/t/tdg/s/rx/ry/rz/u3",
    "qaoa": "QAOA-like: h layer, then 3 x (rzz on a ring + rx on every qubit)",
    "mcx_cp": "ry layer, then 4 x (c3x on sliding windows, cp between distant qubits, sx layer)",
}


def qasm_parser_file(gates, n=PARSER_QUBITS):
    """A long flat file of qelib1 gates with angles (no definitions)."""
    rng = random.Random(SEED + 3000)
    lines = [HEADER, f"qreg q[{n}];", f"creg c[{n}];"]
    one = ("h", "rz", "rx", "u3", "sx", "t")
    for _ in range(gates):
        if rng.random() < 0.4:
            a, b = rng.sample(range(n), 2)
            name = rng.choice(("cx", "cz", "cp"))
            p = f"({_a(rng.uniform(-math.pi, math.pi))})" if name == "cp" else ""
            lines.append(f"{name}{p} q[{a}],q[{b}];")
        else:
            name = rng.choice(one)
            k = {"rz": 1, "rx": 1, "u3": 3}.get(name, 0)
            p = f"({','.join(_a(rng.uniform(-math.pi, math.pi)) for _ in range(k))})" if k else ""
            lines.append(f"{name}{p} q[{rng.randrange(n)}];")
    return "\n".join(lines) + "\n"


def sampling_qasm(n):
    lines = [HEADER, f"qreg q[{n}];", f"creg meas[{n}];"]
    lines += [f"ry({_a(0.3 + 2.0 * q / n)}) q[{q}];" for q in range(n)]
    lines += [f"cx q[{q}],q[{q + 1}];" for q in range(n - 1)]
    lines += [f"ry({_a(1.7 - 1.1 * q / n)}) q[{q}];" for q in range(n)]
    lines += [f"measure q[{q}] -> meas[{q}];" for q in range(n)]
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------- Qiskit -> Qulacs
def qiskit_loads(qiskit, text):
    """Qiskit's loader as QuantumCircuit.from_qasm_str runs it: with the later
    qelib1 gates (cp, rzz, c3x, ...) that QASMBench files use."""
    return qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)


def qiskit_to_qulacs(qc):
    """A qulacs.QuantumCircuit with the gates of a Qiskit circuit (its global
    phase, barriers and measurements left out)."""
    import numpy as np
    import qulacs
    from qulacs import gate as qg

    direct = {"h": qg.H, "x": qg.X, "y": qg.Y, "z": qg.Z, "s": qg.S, "sdg": qg.Sdag, "t": qg.T,
              "tdg": qg.Tdag, "sx": qg.sqrtX, "sxdg": qg.sqrtXdag, "cx": qg.CNOT, "cz": qg.CZ,
              "swap": qg.SWAP, "ccx": qg.TOFFOLI}
    # Qulacs' RotX/RotY/RotZ are exp(-i theta P/2), Qiskit's rx/ry/rz.
    rotations = {"rx": qg.RotX, "ry": qg.RotY, "rz": qg.RotZ}
    out = qulacs.QuantumCircuit(qc.num_qubits)

    def add(circuit, where):
        for ins in circuit.data:
            op = ins.operation
            qs = [where[circuit.find_bit(q).index] for q in ins.qubits]
            name = op.name
            if name in ("barrier", "measure", "id", "delay"):
                continue
            if name in direct:
                out.add_gate(direct[name](*qs))
            elif name in rotations:
                out.add_gate(rotations[name](qs[0], float(op.params[0])))
            elif getattr(op, "_standard_gate", None) is None and op.definition is not None \
                    and not hasattr(op, "base_gate"):
                add(op.definition, qs)  # a gate defined in the file
            elif hasattr(op, "base_gate") and op.num_ctrl_qubits:
                # The block of the full matrix where the controls hold their
                # state (the base gate alone misses e.g. cu's phase gamma).
                k = op.num_ctrl_qubits
                full = np.asarray(op.to_matrix(), dtype=complex)
                rows = [i for i in range(full.shape[0]) if i & ((1 << k) - 1) == op.ctrl_state]
                g = qg.DenseMatrix(qs[k:], np.ascontiguousarray(full[np.ix_(rows, rows)]))
                for i, c in enumerate(qs[:k]):
                    g.add_control_qubit(c, (op.ctrl_state >> i) & 1)
                out.add_gate(g)
            else:
                # Qiskit's matrix has its first qubit as the least significant
                # bit, as Qulacs' target list does.
                out.add_gate(qg.DenseMatrix(qs, np.asarray(op.to_matrix(), dtype=complex)))

    add(qc, list(range(qc.num_qubits)))
    return out


# ---------------------------------------------------------------- adapters
class VornSim:
    def __init__(self, threads):
        import vorn
        import vorn.qasm2
        self.vorn = vorn

    def version(self):
        return base.Vorn.version(None)

    def load(self, text):
        return self.vorn.qasm2.loads(text)

    def simulate(self, c):
        return self.vorn.statevector(c)

    def probabilities(self, state):
        import numpy as np
        return np.abs(state) ** 2

    def count_instructions(self, c):
        return len(c.data)

    # expval
    def prepare_expval(self, n, vec, labels, coeffs):
        return vec, self.vorn.PauliSum.from_list(list(zip(labels, coeffs)))

    def expval(self, job):
        vec, h = job
        return float(self.vorn.expval(vec, h)[0])

    # sampling
    def prepare_shots(self, text):
        return self.load(text)

    def run_shots(self, c, shots):
        return self.vorn.run(c, shots=shots, seed=SEED).counts()

    def run_noshots(self, c):
        return self.vorn.run(c, shots=0, seed=SEED)

    def marginals(self, counts, n):
        return _marginals_from_keys(counts, n)

    def engine_split(self, c, shots, repeats):
        """Where run(shots) + counts() spends its time: run() (simulation and
        draws, outcomes kept as a tally) and counts() (the dict, built on the
        first call)."""
        engine, tally = [], []
        for _ in range(repeats):
            gc.collect()
            t0 = time.perf_counter()
            r = self.vorn.run(c, shots=shots, seed=SEED)
            t1 = time.perf_counter()
            r.counts()
            engine.append(t1 - t0)
            tally.append(time.perf_counter() - t1)
        return {"engine_seconds": statistics.median(engine), "counts_seconds": statistics.median(tally)}


class AerSim:
    def __init__(self, threads):
        import qiskit
        import qiskit.qasm2
        import qiskit_aer
        self.qiskit, self.aer, self.threads = qiskit, qiskit_aer, threads
        self.sim = qiskit_aer.AerSimulator(method="statevector", max_parallel_threads=threads)
        self.known = set(self.sim.target.operation_names)

    def version(self):
        return f"qiskit-aer {self.aer.__version__}, qiskit {self.qiskit.__version__}"

    def load(self, text):
        qc = qiskit_loads(self.qiskit, text)
        if any(ins.operation.name not in self.known for ins in qc.data):
            # Aer does not run gates defined in the file: unroll them, as a
            # user would, without optimising the rest.
            qc = self.qiskit.transpile(qc, self.sim, optimization_level=0)
        qc.save_statevector()
        return qc

    def simulate(self, qc):
        return self.sim.run(qc).result()

    def probabilities(self, result):
        import numpy as np
        return np.abs(np.asarray(result.get_statevector())) ** 2

    def prepare_expval(self, n, vec, labels, coeffs):
        from qiskit.quantum_info import SparsePauliOp
        from qiskit_aer.library import SetStatevector
        from qiskit_aer.primitives import EstimatorV2
        qc = self.qiskit.QuantumCircuit(n)
        qc.append(SetStatevector(vec), qc.qubits)
        est = EstimatorV2(options={"default_precision": 0.0, "backend_options": {
            "method": "statevector", "max_parallel_threads": self.threads}})
        return est, qc, SparsePauliOp(labels, coeffs)

    def expval(self, job):
        est, qc, op = job
        return float(est.run([(qc, op)]).result()[0].data.evs)

    def prepare_shots(self, text):
        return qiskit_loads(self.qiskit, text)

    def run_shots(self, qc, shots):
        return self.sim.run(qc, shots=shots, seed_simulator=SEED).result().get_counts()

    def marginals(self, counts, n):
        return _marginals_from_keys(counts, n)


class QulacsSim:
    def __init__(self, threads):
        import qiskit.qasm2
        import qulacs
        self.qiskit, self.q = qiskit, qulacs

    def version(self):
        from importlib.metadata import version
        return f"qulacs {version('qulacs')} (circuits through qiskit {self.qiskit.__version__} and the bench's translation)"

    def load(self, text):
        qc = qiskit_loads(self.qiskit, text)
        return qc.num_qubits, qiskit_to_qulacs(qc)

    def simulate(self, job):
        n, circuit = job
        state = self.q.QuantumState(n)
        circuit.update_quantum_state(state)
        return state

    def probabilities(self, state):
        import numpy as np
        return np.abs(state.get_vector()) ** 2

    def prepare_expval(self, n, vec, labels, coeffs):
        obs = self.q.Observable(n)
        for label, c in zip(labels, coeffs):
            term = " ".join(f"{p} {q}" for q, p in enumerate(reversed(label)) if p != "I")
            obs.add_operator(float(c), term)
        state = self.q.QuantumState(n)
        state.load(vec)
        return obs, state

    def expval(self, job):
        obs, state = job
        return float(obs.get_expectation_value(state))

    def prepare_shots(self, text):
        return self.load(text)

    def run_shots(self, job, shots):
        import numpy as np
        state = self.simulate(job)
        samples = np.asarray(state.sampling(shots, SEED))
        values, tallies = np.unique(samples, return_counts=True)
        n = job[0]
        return {format(int(v), f"0{n}b"): int(k) for v, k in zip(values, tallies)}

    def marginals(self, counts, n):
        return _marginals_from_keys(counts, n)


class QiskitSim:
    """Qiskit itself: its OpenQASM 2 loader and quantum_info's Statevector."""

    def __init__(self, threads):
        import qiskit
        import qiskit.qasm2
        self.qiskit = qiskit

    def version(self):
        return f"qiskit {self.qiskit.__version__}"

    def load(self, text):
        return qiskit_loads(self.qiskit, text)

    def count_instructions(self, qc):
        return len(qc.data)

    def prepare_expval(self, n, vec, labels, coeffs):
        from qiskit.quantum_info import SparsePauliOp, Statevector
        return Statevector(vec), SparsePauliOp(labels, coeffs)

    def expval(self, job):
        sv, op = job
        return float(sv.expectation_value(op).real)


ADAPTERS = {"vorn": VornSim, "aer": AerSim, "qulacs": QulacsSim, "qiskit": QiskitSim}


def _marginals_from_keys(counts, n):
    """P(qubit q reads 1) from counts keyed by bit strings, qubit 0 rightmost."""
    import numpy as np
    ones = np.zeros(n)
    total = 0
    for key, k in counts.items():
        bits = key.replace(" ", "")
        total += k
        for q in range(n):
            if bits[n - 1 - q] == "1":
                ones[q] += k
    return ones / total


def _state_marginals(probs, n):
    import numpy as np
    idx = np.arange(probs.size, dtype=np.uint64)
    return np.array([probs[(idx >> np.uint64(q)) & np.uint64(1) == 1].sum() for q in range(n)])


def _statements(text):
    """Gate statements of a generated file (a call of a defined gate counts once)."""
    skip = ("OPENQASM", "include", "qreg", "creg", "gate", "measure", "barrier")
    return sum(1 for ln in text.splitlines() if ln.strip() and not ln.startswith(skip))


def _rss_mib():
    import re
    m = re.search(r"VmRSS:\s+(\d+) kB", Path("/proc/self/status").read_text())
    return int(m.group(1)) / 1024 if m else float("nan")


def expval_problem(n):
    import numpy as np
    rng = np.random.default_rng(SEED + n)
    vec = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    vec /= np.linalg.norm(vec)
    chars = np.array(list("IXYZ"))
    labels = ["".join(row) for row in chars[rng.integers(0, 4, size=(EXPVAL_TERMS, n))]]
    coeffs = rng.uniform(-1, 1, size=EXPVAL_TERMS)
    return np.ascontiguousarray(vec), labels, coeffs


# ---------------------------------------------------------------- worker side
def _repeats(a, first):
    return max(1, min(a.max_repeats, int(a.cell_budget / max(first, 1e-6))))


def worker(a):
    import numpy as np
    out = {"suite": a.suite, "sim": a.sim, "workload": a.workload, "n": a.n}
    sim = base.open_cell(ADAPTERS, a, out)
    if sim is None:
        return
    gc.collect()
    base._reset_peak()

    if a.suite == "qasm":
        text = QASM_BUILDERS[a.workload](a.n)

        def once():
            t0 = time.perf_counter()
            obj = sim.load(text)
            t1 = time.perf_counter()
            res = sim.simulate(obj)
            t2 = time.perf_counter()
            return res, t1 - t0, t2 - t1

        # The first run is timed too: at 24+ qubits one run per cell is all
        # the budget allows; below WARMUP_SKIP_S it only warms up.
        res, tl, ts = once()
        out["peak_mib"] = base._peak_mib()
        probs = np.ascontiguousarray(sim.probabilities(res), dtype=np.float64)
        del res
        if a.role == "ref":
            np.save(a.ref, probs)
            out["max_diff"] = 0.0
        else:
            out["max_diff"] = base._compare(probs, a.ref)
        del probs
        gc.collect()
        if not out["max_diff"] <= TOLERANCE:
            out["status"] = "mismatch"
            print(json.dumps(out))
            return
        loads, sims = [tl], [ts]
        if tl + ts < WARMUP_SKIP_S:
            loads, sims = [], []
            for _ in range(_repeats(a, tl + ts)):
                gc.collect()
                res, tl, ts = once()
                del res
                loads.append(tl)
                sims.append(ts)
        totals = [x + y for x, y in zip(loads, sims)]
        out.update(status="ok", seconds=statistics.median(totals), times=totals,
                   load_seconds=statistics.median(loads), sim_seconds=statistics.median(sims),
                   gates=_statements(text))

    elif a.suite == "parser":
        text = qasm_parser_file(a.n)
        times = []
        for i in range(a.max_repeats + 1):
            gc.collect()
            t0 = time.perf_counter()
            c = sim.load(text)
            t = time.perf_counter() - t0
            if i == 0:
                out["instructions"] = sim.count_instructions(c)
            else:
                times.append(t)
            del c
        out.update(status="ok", seconds=statistics.median(times), times=times,
                   mib=len(text) / 2**20)

    elif a.suite == "expval":
        vec, labels, coeffs = expval_problem(a.n)
        job = sim.prepare_expval(a.n, vec, labels, coeffs)
        gc.collect()
        rss = _rss_mib()
        base._reset_peak()
        t0 = time.perf_counter()
        value = sim.expval(job)
        first = time.perf_counter() - t0
        out["extra_mib"] = base._peak_mib() - rss
        out["state_mib"] = vec.nbytes / 2**20
        out["value"] = value
        if a.role == "ref":
            Path(a.ref).write_text(repr(value))
        else:
            ref = float(Path(a.ref).read_text())
            out["max_diff"] = abs(value - ref)
            if not abs(value - ref) <= EXPVAL_TOLERANCE:
                out["status"] = "mismatch"
                print(json.dumps(out))
                return
        times = []
        for _ in range(_repeats(a, first) if first < WARMUP_SKIP_S else 0):
            gc.collect()
            t0 = time.perf_counter()
            sim.expval(job)
            times.append(time.perf_counter() - t0)
        times = times or [first]
        out.update(status="ok", seconds=statistics.median(times), times=times)

    elif a.suite == "sampling":
        text = sampling_qasm(a.n)
        job = sim.prepare_shots(text)
        t0 = time.perf_counter()
        counts = sim.run_shots(job, a.shots)  # warm-up and check
        first = time.perf_counter() - t0
        total = sum(counts.values())
        marg = sim.marginals(counts, a.n)
        out["distinct"] = len(counts)
        del counts
        if a.role == "ref":
            # The reference marginals come from the state itself.
            state = VornSim.simulate(sim, job) if a.sim == "vorn" else None
            probs = np.abs(state) ** 2 if state is not None else None
            ref_marg = _state_marginals(probs, a.n) if probs is not None else marg
            np.save(a.ref, ref_marg)
            del state, probs
        else:
            ref_marg = np.load(a.ref)
        sigma = np.sqrt(ref_marg * (1 - ref_marg) / a.shots) + 1e-12
        out["max_sigma"] = float(np.max(np.abs(marg - ref_marg) / sigma))
        if total != a.shots or not out["max_sigma"] <= 6:
            out.update(status="mismatch", max_diff=out["max_sigma"])
            print(json.dumps(out))
            return
        times = []
        for _ in range(_repeats(a, first)):
            gc.collect()
            t0 = time.perf_counter()
            r = sim.run_shots(job, a.shots)
            times.append(time.perf_counter() - t0)
            del r
        out.update(status="ok", seconds=statistics.median(times), times=times)
        if a.sim == "vorn":
            sim.run_noshots(job)
            plain = []
            for _ in range(a.max_repeats):
                gc.collect()
                t0 = time.perf_counter()
                r = sim.run_noshots(job)
                plain.append(time.perf_counter() - t0)
                del r
            out["noshots_seconds"] = statistics.median(plain)
            out.update(sim.engine_split(job, a.shots, a.max_repeats))
        if a.sim == "qulacs":
            # Qulacs' own part, without the bench's tally into a dict.
            n, circuit = job
            part = []
            for _ in range(a.max_repeats):
                state = sim.simulate(job)
                t0 = time.perf_counter()
                state.sampling(a.shots, SEED)
                part.append(time.perf_counter() - t0)
                del state
            out["sampling_only_seconds"] = statistics.median(part)
    out["peak_mib"] = max(out.get("peak_mib", 0.0), base._peak_mib())
    print(json.dumps(out))


# ---------------------------------------------------------------- driver side
def spawn(args, suite, sim, workload, n, extra, timeout):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", "--suite", suite, "--sim", sim,
           "--workload", workload, "--n", str(n), "--threads", str(args.threads)] + extra
    fail = {"suite": suite, "sim": sim, "workload": workload, "n": n, "status": "error"}
    try:
        p = subprocess.run(cmd, env=base.worker_env(args.threads), capture_output=True, text=True,
                           timeout=timeout)
    except subprocess.TimeoutExpired:
        return dict(fail, reason=f"timed out after {timeout:.0f} s")
    lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
    if p.returncode != 0 or not lines:
        tail = (p.stderr.strip().splitlines() or ["no output"])[-1]
        return dict(fail, reason=f"exit {p.returncode}: {tail[:300]}")
    return json.loads(lines[-1])


def _log(r):
    if r["status"] == "ok":
        extra = ""
        if "load_seconds" in r:
            extra = f" (load {r['load_seconds']:.4f})"
        if "extra_mib" in r:
            extra = f", extra {r['extra_mib']:.1f} MiB"
        if "noshots_seconds" in r:
            extra = f", no shots {r['noshots_seconds']:.4f} s"
        msg = f"{r['seconds']:.4f} s{extra} (x{len(r['times'])})"
    else:
        msg = f"{r['status'].upper()}: {r.get('reason', '')}{r.get('max_diff', '')}"
    print(f"  {r['suite']:8s} n={r['n']:>6} {r['workload']:9s} {LABELS[r['sim']]:10s} {msg}", flush=True)


def _predicted(prev, workload, n):
    """Seconds at n from the seconds at a smaller size (state size x gates)."""
    if not prev:
        return 0.0
    pn, ps = prev
    g = lambda m: _statements(QASM_BUILDERS[workload](m))
    return ps * 2 ** (n - pn) * g(n) / g(pn)


def plan(args):
    """(suite, workload, sizes) cells in running order."""
    cells = []
    if "parser" in args.suites:
        cells.append(("parser", "qasm", PARSER_GATES_QUICK if args.quick else PARSER_GATES))
    if "expval" in args.suites:
        for n in (EXPVAL_QUICK if args.quick else EXPVAL_SIZES):
            cells.append(("expval", f"pauli{EXPVAL_TERMS}", n))
    if "sampling" in args.suites:
        cells.append(("sampling", "shots", SAMPLING_QUBITS))
    if "qasm" in args.suites:  # last: the largest states
        sizes = QASM_QUICK if args.quick else args.qasm_sizes
        for n in sizes:
            for w in args.qasm_workloads:
                if n <= QASM_MAX_N.get(w, n):
                    cells.append(("qasm", w, n))
    return cells


def probe(args, sims):
    found, skipped = {}, {}
    for sim in sims:
        r = spawn(args, "qasm", sim, "qft", 2, ["--probe"], 300)
        if r["status"] == "ok":
            found[sim] = r["version"]
        else:
            skipped[sim] = r.get("reason", r["status"])
        print(f"  {LABELS[sim]:10s} {found.get(sim) or 'SKIPPED: ' + skipped[sim]}", flush=True)
    return found, skipped


def run_all(args, found, tmp, progress=lambda results: None):
    results, last = [], {}
    for suite, workload, n in plan(args):
        ref = str(Path(tmp) / f"ref_{suite}_{workload}_{n}.npy")
        role = "ref"
        for sim in [s for s in SUITE_SIMS[suite] if s in found]:
            est = _predicted(last.get((sim, workload)), workload, n) if suite == "qasm" else 0.0
            if est > args.max_run:
                r = {"suite": suite, "sim": sim, "workload": workload, "n": n, "status": "skipped",
                     "reason": f"predicted {est:.0f} s per run > --max-run {args.max_run:.0f} s"}
            else:
                repeats = base.repeats_for(args, n) if suite in ("qasm", "expval") else \
                    (2 if args.quick else 3) if suite == "parser" else 5
                extra = ["--role", role, "--ref", ref, "--max-repeats", str(repeats),
                         "--cell-budget", str(args.package_cell_budget), "--shots", str(args.shots)]
                load = os.getloadavg()[0]
                r = spawn(args, suite, sim, workload, n, extra, timeout=max(600, 30 * est))
                r["load"] = load
            results.append(r)
            _log(r)
            progress(results)
            if r["status"] == "ok":
                last[(sim, workload)] = (n, r["seconds"])
                role = "check"
        for p in (ref, ref + ".npy"):
            if os.path.exists(p):
                os.remove(p)
    return results


# ---------------------------------------------------------------- report
def _ok(r):
    return r is not None and r["status"] == "ok"


def _cell(r, key="seconds"):
    if r is None:
        return "–"
    if r["status"] == "ok":
        return f"{r[key]:.4f}"
    if r["status"] == "mismatch":
        return f"mismatch ({r.get('max_diff', float('nan')):.1e})"
    return r["status"]


def _best_peer(rows, sims):
    peers = [(rows[s]["seconds"], s) for s in sims if s != "vorn" and _ok(rows.get(s))]
    return min(peers) if peers else None


def _ratio_text(rows, sims, bar):
    v, best = rows.get("vorn"), _best_peer(rows, sims)
    if not _ok(v) or best is None:
        return "–", None
    ratio = v["seconds"] / best[0]
    return f"{ratio:.2f} ({LABELS[best[1]]})", ratio <= bar


def _mark(met):
    return "–" if met is None else ("yes" if met else "**no**")


def report(args, found, skipped, results, load, elapsed):
    by = {(r["suite"], r["workload"], r["n"], r["sim"]): r for r in results}
    threads = args.threads
    lines = [
        "# vorn package vs peers: OpenQASM 2 workloads, parser, observables, sampling",
        "",
        f"Generated by `bench/compare.py` (bench/compare_package.py) on "
        f"{dt.datetime.now(dt.timezone.utc):%Y-%m-%d %H:%M} UTC in {elapsed / 60:.1f} min"
        f"{' (--quick: smoke run, sizes reduced)' if args.quick else ''}.",
        f"Machine: {base.machine_text()}. Load average before/after: {load[0]} / {load[1]} "
        "(the machine is shared; numbers may be noisy).",
        f"Threads: {threads} for every simulator (RAYON_NUM_THREADS and OMP_NUM_THREADS = {threads} in every "
        f"worker; Aer also max_parallel_threads={threads}). Each cell runs in a fresh process; every ratio "
        "below compares cells of this one run.",
        "",
        "Simulators:",
    ]
    lines += [f"- {LABELS[s]}: {v}" for s, v in found.items()]
    lines += [f"- {LABELS[s]}: skipped ({why})" for s, why in skipped.items()]
    slower = []

    if "qasm" in args.suites:
        sims = [s for s in SUITE_SIMS["qasm"] if s in found]
        sizes = QASM_QUICK if args.quick else args.qasm_sizes
        lines += ["", "## OpenQASM 2 workloads (text to final state)", "",
                  "Seconds, median of the timed runs (one run when a run takes over "
                  f"{WARMUP_SKIP_S:g} s, else a warm-up then repeats). Each time includes parsing the text: "
                  "vorn.qasm2.loads; for Aer and Qulacs qiskit.qasm2.loads with Qiskit's legacy qelib1 gates (as "
                  "QuantumCircuit.from_qasm_str), for Aer plus transpile(optimization_level=0) when the file "
                  "defines gates (the adder: Aer does not run gates it does not know), for Qulacs plus the "
                  "bench's translation. The vorn column shows its parse share in brackets. "
                  f"Bar: vorn / fastest peer ≤ {BARS['qasm']} at n ≥ 20. Every cell's probabilities agreed "
                  f"with vorn's to {TOLERANCE:g}.", ""]
        for w in args.qasm_workloads:
            lines += [f"### {w}", "", ABOUT[w] + ".", "",
                      "| n | gates | " + " | ".join(f"{LABELS[s]} s" for s in sims)
                      + " | vorn / fastest peer | bar met |",
                      "|---:" * (len(sims) + 4) + "|"]
            for n in sizes:
                rows = {s: by.get(("qasm", w, n, s)) for s in sims}
                if not any(rows.values()):
                    continue
                cells = []
                for s in sims:
                    c = _cell(rows[s])
                    if s == "vorn" and _ok(rows[s]):
                        c += f" ({rows[s]['load_seconds']:.4f})"
                    cells.append(c)
                gates = next((r["gates"] for r in rows.values() if _ok(r)), "–")
                ratio, met = _ratio_text(rows, sims, BARS["qasm"])
                if n < 20:
                    met = None
                if met is False:
                    slower.append(f"- qasm {w} n={n}: vorn / fastest peer = {ratio} (bar {BARS['qasm']})")
                lines.append(f"| {n} | {gates} | " + " | ".join(cells) + f" | {ratio} | {_mark(met)} |")
            lines.append("")

    if "parser" in args.suites:
        g = PARSER_GATES_QUICK if args.quick else PARSER_GATES
        v, q = by.get(("parser", "qasm", g, "vorn")), by.get(("parser", "qasm", g, "qiskit"))
        mib = next((r["mib"] for r in (v, q) if _ok(r)), float("nan"))
        lines += ["## OpenQASM 2 parser alone", "",
                  f"A flat file of {g:,} qelib1 gates on {PARSER_QUBITS} qubits ({mib:.1f} MiB of text; "
                  "h, rz, rx, u3, sx, t, cx, cz, cp). Seconds to a circuit object, median of the repeats after "
                  f"one untimed load. Bar: vorn ≤ {BARS['parser']}x Qiskit.", "",
                  "| gates | vorn.qasm2.loads s | qiskit.qasm2.loads s | vorn / Qiskit | bar met |",
                  "|---:|---:|---:|---:|---:|"]
        ratio, met = "–", None
        if _ok(v) and _ok(q):
            ratio_v = v["seconds"] / q["seconds"]
            ratio, met = f"{ratio_v:.2f}", ratio_v <= BARS["parser"]
            if not met:
                slower.append(f"- parser: vorn / Qiskit = {ratio} (bar {BARS['parser']})")
            if v.get("instructions") != q.get("instructions"):
                lines.insert(-2, f"Note: instruction counts differ: vorn {v.get('instructions')}, "
                                 f"Qiskit {q.get('instructions')}.")
        lines += [f"| {g:,} | {_cell(v)} | {_cell(q)} | {ratio} | {_mark(met)} |", ""]

    if "expval" in args.suites:
        sims = [s for s in SUITE_SIMS["expval"] if s in found]
        names = {"vorn": "vorn.expval", "qulacs": "Qulacs Observable", "aer": "Aer EstimatorV2",
                 "qiskit": "Qiskit Statevector"}
        lines += ["## Pauli expectation values", "",
                  f"A random state and {EXPVAL_TERMS} random Pauli strings on all qubits (each character "
                  "uniform over I, X, Y, Z; real coefficients). Seconds for one evaluation, median of the "
                  "repeats; values agree to 1e-9. Extra MiB: peak resident size during the first evaluation "
                  "minus the resident size before it (the state itself is "
                  "16 MiB at 20 qubits, 64 MiB at 22). Aer's time includes setting its state from the "
                  f"vector (a copy it needs). Bar: vorn ≤ {BARS['expval']}x the fastest peer.", "",
                  "| n | " + " | ".join(f"{names[s]} s" for s in sims) + " | vorn / fastest peer | bar met | "
                  + " | ".join(f"{names[s]} extra MiB" for s in sims) + " |",
                  "|---:" * (2 * len(sims) + 3) + "|"]
        for n in (EXPVAL_QUICK if args.quick else EXPVAL_SIZES):
            rows = {s: by.get(("expval", f"pauli{EXPVAL_TERMS}", n, s)) for s in sims}
            ratio, met = _ratio_text(rows, sims, BARS["expval"])
            if met is False:
                slower.append(f"- expval n={n}: vorn / fastest peer = {ratio} (bar {BARS['expval']})")
            mem = [f"{r['extra_mib']:.1f}" if _ok(r) else "–" for r in rows.values()]
            lines.append(f"| {n} | " + " | ".join(_cell(r) for r in rows.values())
                         + f" | {ratio} | {_mark(met)} | " + " | ".join(mem) + " |")
        lines.append("")

    if "sampling" in args.suites:
        sims = [s for s in SUITE_SIMS["sampling"] if s in found]
        rows = {s: by.get(("sampling", "shots", SAMPLING_QUBITS, s)) for s in sims}
        v = rows.get("vorn")
        lines += ["## Sampling", "",
                  f"{args.shots:,} shots on {SAMPLING_QUBITS} qubits (ry layer, cx chain, ry layer, "
                  "measure_all: a spread distribution). Seconds from a loaded circuit until the counts are in "
                  "hand (vorn: run(shots) and counts(); Aer: run(shots).result().get_counts(); Qulacs: "
                  "simulation, state.sampling, a NumPy tally into a dict), median of the repeats after a "
                  "warm-up. Each qubit's marginal agreed with the state's within 6 sigma. Bars: vorn with "
                  f"shots ≤ {BARS['sampling_self']}x vorn without shots, and ≤ {BARS['sampling_peer']}x the "
                  "fastest peer.", "",
                  "| n | shots | vorn s | vorn, shots=0 s | vorn shots / no shots | bar met | "
                  + " | ".join(f"{LABELS[s]} s" for s in sims if s != "vorn")
                  + " | vorn / fastest peer | bar met |",
                  "|---:" * (len(sims) + 7) + "|"]
        self_ratio, self_met = "–", None
        if _ok(v) and v.get("noshots_seconds"):
            x = v["seconds"] / v["noshots_seconds"]
            self_ratio, self_met = f"{x:.1f}", x <= BARS["sampling_self"]
            if not self_met:
                slower.append(f"- sampling: vorn with / without shots = {self_ratio} (bar {BARS['sampling_self']})")
        ratio, met = _ratio_text(rows, sims, BARS["sampling_peer"])
        if met is False:
            slower.append(f"- sampling: vorn / fastest peer = {ratio} (bar {BARS['sampling_peer']})")
        lines.append(f"| {SAMPLING_QUBITS} | {args.shots:,} | {_cell(v)} | {_cell(v, 'noshots_seconds')} | "
                     f"{self_ratio} | {_mark(self_met)} | "
                     + " | ".join(_cell(rows[s]) for s in sims if s != "vorn") + f" | {ratio} | {_mark(met)} |")
        q = rows.get("qulacs")
        if _ok(q) and "sampling_only_seconds" in q:
            lines += ["", f"Qulacs' state.sampling alone (no simulation, no tally): "
                          f"{q['sampling_only_seconds']:.4f} s."]
        if _ok(v):
            lines.append(f"Distinct outcomes: {v.get('distinct')}.")
            if "engine_seconds" in v:
                lines.append(f"vorn's time split: {v['engine_seconds']:.4f} s in run(shots) (simulation and "
                             f"draws), {v['counts_seconds']:.4f} s in counts() (the dict, built on its first "
                             "call).")
        lines.append("")

    lines += ["## Bars missed", ""] + (slower or ["- none"])
    notes = [r for r in results if r["status"] != "ok"]
    if notes:
        lines += ["", "## Notes", ""] + [f"- {LABELS[r['sim']]} {r['suite']} {r['workload']} n={r['n']}: "
                                         f"{r['status']} {r.get('reason', '')}" for r in notes]
    loads = [r["load"] for r in results if "load" in r]
    if loads:
        lines += ["", f"1-minute load average when each cell started: {min(loads):.2f} to {max(loads):.2f} "
                      f"({os.cpu_count()} CPUs)."]
    return "\n".join(lines) + "\n"


def plot(args, found, results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    ws = args.qasm_workloads
    cols = 3
    rows = math.ceil(len(ws) / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(14, 4 * rows), squeeze=False)
    for ax, w in zip(axes.flat, ws):
        for s in SUITE_SIMS["qasm"]:
            pts = sorted((r["n"], r["seconds"]) for r in results
                         if r["suite"] == "qasm" and r["sim"] == s and r["workload"] == w and r["status"] == "ok")
            if pts:
                ax.plot(*zip(*pts), marker="o", color=base.COLORS[s], label=LABELS[s])
        ax.set_yscale("log")
        ax.set_title(f"{w} (from OpenQASM 2 text)")
        ax.set_xlabel("qubits")
        ax.set_ylabel("seconds (median)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    for ax in list(axes.flat)[len(ws):]:
        ax.axis("off")
    fig.suptitle(f"vorn package vs peers, {args.threads} threads each")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def run(args):
    """Runs the suites in args.suites; writes compare-package.{md,json,png}."""
    start, load0 = time.time(), os.getloadavg()
    sims = [s for s in ADAPTERS if s in args.simulators or s == "qiskit"]
    print(f"package suites {args.suites}, threads={args.threads}:", flush=True)
    found, skipped = probe(args, sims)
    if not found:
        print("no simulator imports; nothing to measure")
        return 1
    fmt = lambda la: ", ".join(f"{x:.2f}" for x in la)
    out = Path(args.out_dir)
    out.mkdir(parents=True, exist_ok=True)
    stem = "compare-package-quick" if args.quick else "compare-package"

    def write(results, final=False):
        # After every cell too, so that an interrupted run leaves its tables.
        md = report(args, found, skipped, results, (fmt(load0), fmt(os.getloadavg())), time.time() - start)
        if not final:
            md = md.replace("\n", "\n\n(partial: the run was still going when this was written)\n", 1)
        (out / f"{stem}.md").write_text(md)
        (out / f"{stem}.json").write_text(json.dumps(results, indent=1))
        return md

    with tempfile.TemporaryDirectory(prefix="vorn-bench-pkg-") as tmp:
        results = run_all(args, found, tmp, write)
    md = write(results, final=True)
    if "qasm" in args.suites:
        plot(args, found, results, out / f"{stem}.png")
    print(md)
    print(f"wrote {out / (stem + '.md')}")
    return 1 if any(r["status"] in ("mismatch", "error") for r in results) else 0


def add_arguments(p):
    """Options of these suites (compare.py shares its parser)."""
    p.add_argument("--qasm-sizes", default=",".join(map(str, QASM_SIZES)),
                   help="qubit counts of the OpenQASM workloads (default: %(default)s)")
    p.add_argument("--qasm-workloads", default=",".join(QASM_WORKLOADS), help="subset, comma-separated")
    p.add_argument("--shots", type=int, default=SHOTS, help="shots of the sampling suite (default 10^6)")
    p.add_argument("--package-cell-budget", type=float, default=6.0,
                   help="seconds of timed repeats aimed at per cell of these suites")


def finish_arguments(p, a):
    a.qasm_sizes = sorted(int(s) for s in a.qasm_sizes.split(","))
    a.qasm_workloads = [w for w in a.qasm_workloads.split(",") if w]
    bad = [w for w in a.qasm_workloads if w not in QASM_BUILDERS]
    if bad:
        p.error(f"unknown OpenQASM workload: {', '.join(bad)}")


def _worker_main(argv):
    p = argparse.ArgumentParser()
    p.add_argument("--worker", action="store_true")
    p.add_argument("--probe", action="store_true")
    for name in ("--suite", "--sim", "--workload", "--ref"):
        p.add_argument(name)
    p.add_argument("--role", default="ref")
    p.add_argument("--n", type=int)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--max-repeats", type=int, default=5)
    p.add_argument("--cell-budget", type=float, default=6.0)
    p.add_argument("--shots", type=int, default=SHOTS)
    worker(p.parse_args(argv))
    return 0


if __name__ == "__main__":
    if "--worker" in sys.argv[1:]:
        sys.exit(_worker_main(sys.argv[1:]))
    # Run on its own: the same options as compare.py, these suites only.
    sys.exit(base.main(sys.argv[1:] + (["--suites", ",".join(SUITES)] if "--suites" not in sys.argv else [])))
