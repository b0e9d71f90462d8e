"""Dynamic circuits with vorn: teleportation with classically controlled
corrections, and a bit-flip repetition code whose syndrome is measured and
reset every round, decoded afterwards by majority vote.

Run: python examples/vorn_dynamic.py [--out build/demo/vorn_dynamic.png]
Prints the teleported state's check and the logical error rates of the code
against the physical (coherent, rx) error per round, and plots them when
matplotlib is installed.
"""

from __future__ import annotations

import argparse
import math
import os

import numpy as np

import vorn
from vorn import Circuit, ClassicalRegister


def teleportation(theta: float, phi: float) -> Circuit:
    """Teleports ry(theta) rz(phi)|0> from qubit 0 to qubit 2, then undoes
    that preparation on qubit 2: clbit 2 reads 0 on every shot exactly when
    the corrections are right."""
    c = Circuit(3, 3)
    c.ry(theta, 0)
    c.rz(phi, 0)
    c.h(1)
    c.cx(1, 2)
    c.cx(0, 1)
    c.h(0)
    c.measure(0, 0)
    c.measure(1, 1)
    with c.if_test((1, 1)):
        c.x(2)
    with c.if_test((0, 1)):
        c.z(2)
    c.rz(-phi, 2)
    c.ry(-theta, 2)
    c.measure(2, 2)
    return c


def repetition_code(distance: int, rounds: int, error: float) -> Circuit:
    """A bit-flip repetition code of ``distance`` data qubits (0 .. d-1) and
    d-1 ancillas (d .. 2d-2). Each round every data qubit takes a coherent
    error rx(error), then each neighbouring pair's parity is measured into
    the syndrome register (each round overwrites the last; the ancilla is
    reset after). The data qubits are measured at the end into register
    ``data``."""
    c = Circuit(2 * distance - 1)
    c.add_register(ClassicalRegister(distance - 1, "syndrome"))
    c.add_register(ClassicalRegister(distance, "data"))
    for r in range(rounds):
        for q in range(distance):
            c.rx(error, q)
        for a in range(distance - 1):
            ancilla = distance + a
            c.cx(a, ancilla)
            c.cx(a + 1, ancilla)
            c.measure(ancilla, a)
            c.reset(ancilla)
    c.measure(list(range(distance)), list(range(distance - 1, 2 * distance - 1)))
    return c


def logical_error_rate(result: vorn.Result, distance: int) -> float:
    """Shots whose majority-voted data bits read 1 (the logical state was |0>)."""
    memory = result.memory()
    first = distance - 1
    width = memory.shape[1]
    ones = np.zeros(len(memory), dtype=np.int64)
    for q in range(distance):
        clbit = first + q
        ones += (memory[:, width - 1 - clbit // 8] >> (clbit % 8)) & 1
    return float(np.mean(ones > distance // 2))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=None, help="where to save the plot (PNG)")
    parser.add_argument("--shots", type=int, default=4000)
    args = parser.parse_args()

    c = teleportation(1.1, 0.4)
    result = vorn.run(c, shots=args.shots, seed=1)
    print("teleportation: clbit 2 after undoing the preparation:", result.marginal_counts([2]))
    print("               the two measured bits:", result.marginal_counts([0, 1]))

    errors = np.linspace(0.05, 0.6, 8)
    print("\nrepetition code, 10 rounds, coherent rx error on every data qubit each round")
    print("rx angle  physical flip/round  d=3 logical  d=5 logical  d=7 logical")
    rates = {3: [], 5: [], 7: []}
    for e in errors:
        row = []
        for d in rates:
            res = vorn.run(repetition_code(d, 10, float(e)), shots=args.shots, seed=7, memory=True)
            rates[d].append(logical_error_rate(res, d))
            row.append(rates[d][-1])
        print(f"{e:8.3f}  {math.sin(e / 2) ** 2:19.4f}  " + "  ".join(f"{x:11.4f}" for x in row))

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib not installed: no plot)")
        return
    fig, ax = plt.subplots(figsize=(6, 4))
    for d, values in rates.items():
        ax.plot(errors, values, marker="o", label=f"distance {d}")
    ax.plot(errors, [min(1.0, 10 * math.sin(e / 2) ** 2) for e in errors], "k:", label="10 unprotected rounds")
    ax.set_xlabel("coherent rx error per round (radians)")
    ax.set_ylabel("logical error rate after 10 rounds")
    ax.set_yscale("log")
    ax.legend()
    ax.set_title(f"Repetition code, majority vote ({args.shots} shots)")
    out = args.out or os.path.join("build", "demo", "vorn_dynamic.png")
    os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
    fig.savefig(out, dpi=120, bbox_inches="tight")
    print(f"\nplot saved to {out}")


if __name__ == "__main__":
    main()
