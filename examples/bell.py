# Bell and GHZ states with vorn_python: build, run with a seed, print the
# counts and the state vector. Run by `make demo`.
import vorn_python as vp


def ghz(n_qubits):
    circuit = vp.Circuit(n_qubits)
    circuit.h(0)
    for q in range(n_qubits - 1):
        circuit.cx(q, q + 1)
    circuit.measure_all()
    return circuit


def main():
    bell = vp.run(ghz(2), shots=1000, seed=42)
    print("Bell counts:", bell.counts())
    print("Bell state: ", bell.statevector())

    for n in (3, 5):
        result = vp.run(ghz(n), shots=1000, seed=42)
        probabilities = result.probabilities()
        print(f"GHZ({n}) counts:", result.counts())
        print(f"GHZ({n}) P(0...0) = {probabilities[0]:.6f}, P(1...1) = {probabilities[-1]:.6f}")


if __name__ == "__main__":
    main()
