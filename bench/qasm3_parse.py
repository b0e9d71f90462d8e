#!/usr/bin/env python3
"""Time vorn.qasm3.loads against qiskit.qasm3.loads on a 10^5-gate program.

The program is what Qiskit's exporter writes for a random circuit of
stdgates.inc gates with angles (20 qubits), so both readers see the same
text. Each reader runs `--repeats` times (best time kept); vorn's circuit is
checked against vorn.from_qiskit of the source circuit. Needs qiskit and
qiskit-qasm3-import (Qiskit's reader).

    python bench/qasm3_parse.py [--gates 100000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import random
import time

import vorn
import vorn.qasm3


def program(num_gates: int, num_qubits: int = 20, seed: int = 1):
    from qiskit import QuantumCircuit, qasm3

    rng = random.Random(seed)
    qc = QuantumCircuit(num_qubits)
    for _ in range(num_gates):
        kind = rng.randrange(4)
        a, b = rng.sample(range(num_qubits), 2)
        if kind == 0:
            getattr(qc, rng.choice(["h", "x", "s", "t", "sx"]))(a)
        elif kind == 1:
            getattr(qc, rng.choice(["rx", "ry", "rz", "p"]))(rng.uniform(-3, 3), a)
        elif kind == 2:
            getattr(qc, rng.choice(["cx", "cz", "swap"]))(a, b)
        else:
            getattr(qc, rng.choice(["crx", "cp", "crz"]))(rng.uniform(-3, 3), a, b)
    return qc, qasm3.dumps(qc)


def best(call, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--gates", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    from qiskit import qasm3

    qc, text = program(args.gates)
    assert vorn.qasm3.loads(text) == vorn.from_qiskit(qc)
    vorn_time = best(lambda: vorn.qasm3.loads(text), args.repeats)
    qiskit_time = best(lambda: qasm3.loads(text), args.repeats)
    print(f"{args.gates} gates, {len(text) / 1e6:.1f} MB of text")
    print(f"vorn.qasm3.loads   {vorn_time:8.3f} s")
    print(f"qiskit.qasm3.loads {qiskit_time:8.3f} s")
    print(f"ratio              {vorn_time / qiskit_time:8.4f} (vorn / Qiskit)")


if __name__ == "__main__":
    main()
