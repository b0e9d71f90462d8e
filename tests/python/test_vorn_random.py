# vorn.statevector of random circuits (every gate kind, unitary, global phase,
# random operands, 1 to 10 qubits) against a NumPy simulation by tensor
# contraction with the documented matrices.
import numpy as np
import pytest

import vorn
from test_vorn_gates import REFERENCE, apply_matrix, call, reference_matrix


def random_unitary(rng, k):
    q, r = np.linalg.qr(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_circuit(rng, n, n_gates):
    """The vorn circuit and the NumPy state it should produce."""
    c = vorn.Circuit(n)
    state = np.zeros(1 << n, dtype=complex)
    state[0] = 1
    names = [name for name in REFERENCE if REFERENCE[name][0] <= n]
    for _ in range(n_gates):
        if rng.random() < 0.08:
            k = int(rng.integers(1, min(n, 4) + 1))
            qubits = [int(q) for q in rng.permutation(n)[:k]]
            u = random_unitary(rng, k)
            c.unitary(u, qubits)
            state = apply_matrix(state, u, qubits, n)
            continue
        name = names[rng.integers(len(names))]
        n_qubits, n_params, _ = REFERENCE[name]
        k = n_qubits or int(rng.integers(1, n + 1))  # mcx / mcp: 0 .. n-1 controls
        qubits = tuple(int(q) for q in rng.permutation(n)[:k])
        params = tuple(float(a) for a in rng.uniform(-2 * np.pi, 2 * np.pi, n_params))
        call(c, name, params, qubits)
        state = apply_matrix(state, reference_matrix(name, params, k - 1), qubits, n)
    phase = float(rng.uniform(-4, 4))
    c.global_phase = phase
    return c, state * np.exp(1j * phase)


@pytest.mark.parametrize("n", range(1, 11))
def test_random_circuits_match_a_numpy_simulation(n):
    rng = np.random.default_rng(1000 + n)
    for _ in range(3):
        c, want = random_circuit(rng, n, 12 * n)
        got = vorn.statevector(c)
        assert got.dtype == np.complex128 and got.shape == (1 << n,)
        np.testing.assert_allclose(got, want, rtol=0, atol=1e-10)


def test_run_returns_the_same_state_as_statevector_and_its_probabilities():
    rng = np.random.default_rng(7)
    c, want = random_circuit(rng, 6, 60)
    c.measure_all()
    r = vorn.run(c, shots=100, seed=1)
    assert r.statevector().tobytes() == vorn.statevector(c).tobytes()
    sv = r.statevector()
    assert r.probabilities().tobytes() == (sv.real * sv.real + sv.imag * sv.imag).tobytes()
    np.testing.assert_allclose(sv, want, rtol=0, atol=1e-10)
