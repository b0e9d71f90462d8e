# vorn.pennylane's adjoint derivatives beyond constant Pauli observables:
# trainable Hamiltonian coefficients (default.qubit's gradients, not zeros)
# and matrix observables (Hermitian, Projector, sums and products of them),
# against default.qubit's backprop; refusals saying which observable and why.
import numpy as np
import pytest

pytestmark = pytest.mark.pennylane

qml = pytest.importorskip("pennylane")
pnp = pytest.importorskip("pennylane.numpy")

import vorn  # noqa: E402
from vorn.pennylane import _convert  # noqa: E402

N = 5


def _ansatz(x, wires):
    for i, w in enumerate(wires):
        qml.RY(x[i], wires=w)
        qml.RZ(0.3 * (i + 1), wires=w)
    for a, b in zip(wires, wires[1:]):
        qml.CNOT([a, b])
    qml.Rot(0.2, x[0], 0.4, wires=wires[-1])  # decomposed by PennyLane
    for i, w in enumerate(wires):
        qml.RX(x[i] * 0.5, wires=w)


def _hamiltonian(coeffs, wires):
    return qml.Hamiltonian(coeffs, [qml.Z(wires[0]) @ qml.Z(wires[1]), qml.X(wires[2]),
                                    qml.Y(wires[1]) @ qml.X(wires[3]), qml.Z(wires[4])])


# ---- trainable Hamiltonian coefficients ---------------------------------------------------------

@pytest.mark.parametrize("method", ["best", "adjoint", "device"])
def test_coefficient_gradients_equal_default_qubits(method):
    x = pnp.array(np.linspace(0.2, 1.1, N), requires_grad=True)
    c = pnp.array([0.5, -1.0, 0.7, 0.2], requires_grad=True)

    def energy(x, c):
        _ansatz(x, range(N))
        return qml.expval(_hamiltonian(c, range(N)))

    got = qml.grad(qml.QNode(energy, qml.device("vorn.qubit", wires=N), diff_method=method))(x, c)
    want = qml.grad(qml.QNode(energy, qml.device("default.qubit", wires=N), diff_method="backprop"))(x, c)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=1e-10)
    # The coefficients' gradient is the terms' values, not zeros.
    assert np.all(np.abs(got[1]) > 1e-3)


def test_coefficient_jacobians_with_other_measurements_and_sums():
    x = pnp.array([0.3, -0.6], requires_grad=True)
    c = pnp.array([0.8, -0.4], requires_grad=True)

    def circuit(x, c):
        qml.RY(x[0], 0); qml.CNOT([0, 1]); qml.RX(x[1], 1)
        return (qml.expval(qml.s_prod(c[0], qml.Z(0)) + qml.s_prod(c[1], qml.X(0) @ qml.Y(1))
                           + 0.25 * qml.Identity(0)),
                qml.expval(qml.Z(1)), qml.expval(qml.s_prod(c[1], qml.X(1))))

    def jacobian(dev, method):
        node = qml.QNode(circuit, dev, diff_method=method)
        return qml.jacobian(lambda x, c: qml.math.stack(node(x, c)))(x, c)

    got = jacobian(qml.device("vorn.qubit", wires=2), "adjoint")
    want = jacobian(qml.device("default.qubit", wires=2), "backprop")
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=1e-12)


# ---- matrix observables -------------------------------------------------------------------------

def _random_hermitian(k, rng):
    a = rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k))
    return (a + a.conj().T) / 2


def _matrix_observables(rng):
    h1, h2, h3 = _random_hermitian(1, rng), _random_hermitian(2, rng), _random_hermitian(3, rng)
    return [
        qml.Hermitian(h2, wires=[3, 1]),  # wires out of order
        qml.Hermitian(h3, wires=[0, 2, 4]),
        qml.Projector([1, 0, 1], wires=[0, 1, 2]),  # a basis state
        qml.Projector(np.array([1, 1j, 0, 1]) / np.sqrt(3), wires=[4, 2]),  # a state vector
        qml.Hermitian(h1, wires=0) + 0.5 * qml.Projector([1], wires=3) - 0.3 * qml.Z(2),
        qml.prod(qml.Hermitian(h1, wires=1), qml.X(3)),
    ]


@pytest.mark.parametrize("method", ["adjoint", "device", "best"])
def test_matrix_observable_jacobians_equal_default_qubits(method):
    rng = np.random.default_rng(7)
    observables = _matrix_observables(rng)
    x = pnp.array(rng.uniform(-1, 1, N), requires_grad=True)

    def circuit_tuple(x):
        _ansatz(x, range(N))
        return tuple(qml.expval(o) for o in observables)

    vorn = qml.QNode(circuit_tuple, qml.device("vorn.qubit", wires=N), diff_method=method)
    want_values = qml.QNode(circuit_tuple, qml.device("default.qubit", wires=N))(x)
    np.testing.assert_allclose(vorn(x), want_values, atol=1e-12)
    got = qml.jacobian(lambda x: qml.math.stack(vorn(x)))(x)
    oracle = qml.QNode(circuit_tuple, qml.device("default.qubit", wires=N), diff_method="backprop")
    want = qml.jacobian(lambda x: qml.math.stack(oracle(x)))(x)
    np.testing.assert_allclose(got, want, atol=1e-10)
    assert np.all(np.abs(got).sum(axis=1) > 1e-3)  # every observable depends on the angles


def test_matrix_expansion_matches_the_matrix_and_refuses_with_reasons():
    rng = np.random.default_rng(3)
    wire_order = [0, 1, 2, 3, 4]
    states = rng.normal(size=(3, 32)) + 1j * rng.normal(size=(3, 32))
    states /= np.linalg.norm(states, axis=1, keepdims=True)
    for obs in _matrix_observables(rng):
        h = _convert.adjoint_sum(obs, wire_order)
        m = qml.matrix(obs, wire_order=wire_order)
        for psi in states:
            np.testing.assert_allclose(vorn.expval(psi, h), np.real(psi.conj() @ m @ psi), atol=1e-12)
    big = qml.Hermitian(np.diag(np.arange(2.0**7)), wires=range(7))
    with pytest.raises(ValueError, match=r"7 wires.*at most 6"):
        _convert.adjoint_sum(big, range(7))
    with pytest.raises(ValueError, match="not Hermitian"):
        _convert.adjoint_sum(qml.prod(qml.Hermitian(_random_hermitian(1, rng), 0), qml.X(0)), [0])


def test_refused_observables_are_named_with_the_reason():
    x = pnp.array(0.3, requires_grad=True)
    big = qml.Hermitian(np.diag(np.arange(2.0**7)), wires=range(7))

    def circuit(x):
        qml.RX(x, 0)
        return qml.expval(big)

    dev = qml.device("vorn.qubit", wires=7)
    with pytest.raises(qml.exceptions.DeviceError, match=r"Hermitian.*7 wires.*at most 6"):
        qml.grad(qml.QNode(circuit, dev, diff_method="adjoint"))(x)
    # "best" falls back to PennyLane's own method rather than refusing.
    got = qml.grad(qml.QNode(circuit, dev, diff_method="best"))(x)
    want = qml.grad(qml.QNode(circuit, qml.device("default.qubit", wires=7), diff_method="backprop"))(x)
    np.testing.assert_allclose(got, want, atol=1e-8)
