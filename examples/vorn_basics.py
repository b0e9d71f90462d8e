# The vorn package: Qiskit's gate names and conventions, counts keyed as
# Qiskit's get_counts, NumPy state vectors. Run by `make demo`.
import math
import time

import numpy as np

import vorn


def append_qft(c):
    """Quantum Fourier transform on all qubits of c (cp phases, final swaps)."""
    n = c.num_qubits
    for j in reversed(range(n)):
        c.h(j)
        for k in reversed(range(j)):
            c.cp(math.pi / 2 ** (j - k), k, j)
    for q in range(n // 2):
        c.swap(q, n - 1 - q)


def main():
    # Bell pair measured into the register 'c'.
    bell = vorn.Circuit(2, 2)
    bell.h(0)
    bell.cx(0, 1)
    bell.measure([0, 1], [0, 1])
    print("Bell counts:", vorn.run(bell, shots=1000, seed=42).counts())

    # Gates with angles, a multi-controlled X and an arbitrary unitary; two
    # clbits of 'c' and a second register 'meas' from measure_all.
    c = vorn.Circuit(3, 2)
    c.h(0)
    c.cx(0, 1)
    c.u(0.1, 0.2, 0.3, 2)
    c.cp(0.5, 0, 2)
    c.mcx([0, 1], 2)
    c.unitary(np.array([[0, 1j], [1j, 0]]), [2])
    c.measure(0, 0)
    c.measure(1, 1)
    c.measure_all()
    result = vorn.run(c, shots=1000, seed=7)
    print("counts ('meas c' per key):", result.counts())
    print("P(outcome) before measuring:", np.round(result.probabilities(), 4))

    # The QFT of |1> has equal magnitudes and phases e^(2 pi i k / 2^n).
    n = 18
    circuit = vorn.Circuit(n)
    circuit.x(0)
    append_qft(circuit)
    start = time.perf_counter()
    state = vorn.statevector(circuit)
    elapsed = time.perf_counter() - start
    k = np.arange(1 << n)
    expected = np.exp(2j * np.pi * k / (1 << n)) / math.sqrt(1 << n)
    print(f"QFT on {n} qubits ({len(circuit)} gates) in {elapsed:.3f} s; "
          f"max deviation from the formula {np.max(np.abs(state - expected)):.1e}")


if __name__ == "__main__":
    main()
