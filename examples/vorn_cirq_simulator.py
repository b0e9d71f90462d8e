# vorn inside Cirq: a one-layer QAOA for MaxCut on a ring of 10 qubits, written
# in Cirq with sympy symbols, swept and sampled by vorn.cirq.Simulator where
# the code had cirq.Simulator; the best point's energy checked against
# cirq.Simulator, and its cut sampled with and without depolarising noise.
# Needs vorn's `cirq` extra. Run by `make demo`.
import time

import cirq
import numpy as np
import sympy

import vorn.cirq

N = 10
qubits = cirq.LineQubit.range(N)
edges = [(qubits[i], qubits[(i + 1) % N]) for i in range(N)]
gamma, beta = sympy.symbols("gamma beta")

ansatz = cirq.Circuit(
    cirq.H.on_each(*qubits),
    (cirq.ZZ(a, b) ** (gamma / np.pi) for a, b in edges),      # exp(-i gamma ZZ / 2) up to a phase
    cirq.Moment(cirq.rx(2 * beta).on(q) for q in qubits),
)
# The cut size: edges whose ends differ, (1 - Z_a Z_b) / 2 each.
cut = sum(0.5 - 0.5 * cirq.Z(a) * cirq.Z(b) for a, b in edges)
grid = cirq.Product(cirq.Linspace("gamma", 0.0, np.pi, 25), cirq.Linspace("beta", 0.0, np.pi / 2, 25))


def main():
    sim = vorn.cirq.Simulator(seed=7)
    start = time.perf_counter()
    values = np.array(sim.simulate_expectation_values_sweep(ansatz, cut, grid)).reshape(-1)
    took = time.perf_counter() - start
    points = list(cirq.to_resolvers(grid))
    best = points[int(np.argmax(values))]
    print(f"{len(points)} grid points of <cut> in one vorn sweep: {took:.2f} s")
    print(f"best: gamma={best.value_of('gamma'):.3f}, beta={best.value_of('beta'):.3f}, "
          f"<cut>={values.max():.4f} of {N}")
    exact = cirq.Simulator(dtype=np.complex128).simulate_expectation_values(ansatz, cut, best)[0].real
    print(f"cirq.Simulator at that point: {exact:.4f} (difference {abs(exact - values.max()):.1e})")

    measured = ansatz + cirq.measure(*qubits, key="z")
    for name, simulator in [("noiseless", sim),
                            ("depolarising 1%", vorn.cirq.Simulator(seed=7, noise=cirq.depolarize(0.01)))]:
        result = simulator.run(measured, best, repetitions=10_000)
        bits = result.records["z"][:, 0, :]
        sizes = (bits != np.roll(bits, -1, axis=1)).sum(axis=1)
        top = result.histogram(key="z").most_common(1)[0]
        print(f"{name:>16}: mean cut {sizes.mean():.3f}, most frequent {top[0]:0{N}b} ({top[1]} times)")


if __name__ == "__main__":
    main()
