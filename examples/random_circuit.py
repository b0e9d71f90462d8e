# A 20-qubit random circuit (layers of rotations and entangling gates), timed
# end to end, with the most frequent outcomes. Run by `make demo`.
import random
import time

import vorn_python as vp

N_QUBITS = 20
DEPTH = 20
SHOTS = 1000


def random_circuit(rng):
    circuit = vp.Circuit(N_QUBITS)
    gates = 0
    for _ in range(DEPTH):
        for q in range(N_QUBITS):
            getattr(circuit, rng.choice(["rx", "ry", "rz"]))(rng.uniform(0, 6.283185307179586), q)
            gates += 1
        order = list(range(N_QUBITS))
        rng.shuffle(order)
        for a, b in zip(order[::2], order[1::2]):
            rng.choice([circuit.cx, circuit.cz])(a, b)
            gates += 1
    circuit.measure_all()
    return circuit, gates


def main():
    circuit, gates = random_circuit(random.Random(2026))
    start = time.perf_counter()
    result = vp.run(circuit, shots=SHOTS, seed=7)
    elapsed = time.perf_counter() - start

    probabilities = result.probabilities()
    counts = result.counts()
    likeliest = probabilities.argsort()[::-1][:5]
    print(f"{N_QUBITS} qubits, {gates} gates, {SHOTS} shots: {elapsed:.3f} s "
          f"({elapsed / gates * 1e3:.2f} ms per gate)")
    print(f"total probability {probabilities.sum():.12f}, {len(counts)} distinct outcomes")
    print("likeliest basis states (probability, times drawn):")
    for index in likeliest:
        key = format(int(index), f"0{N_QUBITS}b")
        print(f"  {key}  {probabilities[index]:.6f}  {counts.get(key, 0)}")


if __name__ == "__main__":
    main()
