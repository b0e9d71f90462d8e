# vorn.pennylane: the device's options (precision, fusion, threads) reaching
# vorn's entry points, against vorn's own double-precision results and
# lightning.qubit's values.
import numpy as np
import pytest

pytestmark = pytest.mark.pennylane

qml = pytest.importorskip("pennylane")
pytest.importorskip("pennylane_lightning")
pnp = pytest.importorskip("pennylane.numpy")

from vorn.pennylane import _device  # noqa: E402

# The same ansatz and Hamiltonian as the derivative tests.
from test_vorn_pennylane_derivatives import N, _ansatz, _hamiltonian  # noqa: E402


# ---- options ----------------------------------------------------------------------------------

def test_single_precision_reaches_every_path_and_stays_close_to_double():
    x = np.linspace(0.1, 0.9, N)

    def circuit(x):
        _ansatz(x, range(N))
        return qml.state()

    def energy(x):
        _ansatz(x, range(N))
        return qml.expval(_hamiltonian([0.5, -1.0, 0.7, 0.2], range(N)))

    single = qml.device("vorn.qubit", wires=N, precision="single")
    double = qml.device("vorn.qubit", wires=N)
    s, d = qml.QNode(circuit, single)(x), qml.QNode(circuit, double)(x)
    # A complex64 simulation rounds differently: close to double, yet not equal to it.
    assert 0 < np.max(np.abs(s - d)) < 1e-5
    es, ed = qml.QNode(energy, single)(x), qml.QNode(energy, double)(x)
    assert es != ed and abs(es - ed) < 1e-5
    xs = pnp.array(x, requires_grad=True)
    gs = qml.grad(qml.QNode(energy, single, diff_method="adjoint"))(xs)
    gd = qml.grad(qml.QNode(energy, double, diff_method="adjoint"))(xs)
    # vorn's adjoint pass runs on a complex128 state whatever the device's precision.
    assert np.array_equal(gs, gd)
    sampled = qml.set_shots(qml.QNode(lambda: (qml.Hadamard(0), qml.sample(wires=range(N)))[-1], single), shots=50)
    assert set(np.unique(sampled()[:, 0])) == {0, 1}


@pytest.mark.parametrize("shots", [None, 200])
def test_every_option_reaches_vorns_entry_points(monkeypatch, shots):
    seen = []
    for name in ("_statevector", "_expval", "_run", "_gradients"):
        real = getattr(_device, name)

        def spy(*args, _real=real, _name=name, **kwargs):
            request = args[-1] if _name == "_gradients" else None
            seen.append((_name, kwargs if request is None else
                         {"threads": request.threads, "single": request.single, "fusion": request.fusion}))
            return _real(*args, **kwargs)

        monkeypatch.setattr(_device, name, spy)
    dev = qml.device("vorn.qubit", wires=3, precision="single", fusion=True, threads=1, seed=4)

    def circuit(x):
        qml.RY(x, 0); qml.CNOT([0, 1]); qml.RX(0.4, 2)
        return qml.expval(qml.Z(1) @ qml.X(2)), qml.probs(wires=[0, 1])

    node = qml.set_shots(qml.QNode(circuit, dev), shots=shots)
    node(0.5)
    if shots is None:
        qml.jacobian(qml.QNode(lambda x: (qml.RY(x, 0), qml.expval(qml.Z(0)))[-1], dev,
                               diff_method="adjoint"))(pnp.array(0.5, requires_grad=True))
    circuits = [kw for name, kw in seen if name not in ("_expval", "_gradients") or "precision" in kw]
    assert circuits and all(kw.get("precision") == "single" and kw.get("fusion") is True and kw.get("threads") == 1
                            for kw in circuits)
    # The adjoint pass takes the threads, in double precision without fusion (all it runs).
    assert all(kw == {"threads": 1, "single": False, "fusion": False} for name, kw in seen
               if name == "_gradients")
    assert {name for name, _ in seen} >= ({"_run"} if shots else {"_statevector", "_gradients"})


def test_fusion_and_threads_keep_lightnings_values_and_vorns_bits():
    x = pnp.array(np.linspace(-0.8, 0.7, N), requires_grad=True)

    def energy(x):
        _ansatz(x, range(N))
        return qml.expval(_hamiltonian([0.5, -1.0, 0.7, 0.2], range(N)))

    want = qml.QNode(energy, qml.device("lightning.qubit", wires=N))(x)
    results = []
    for options in ({}, {"fusion": True}, {"threads": 1}, {"fusion": True, "threads": 2}):
        dev = qml.device("vorn.qubit", wires=N, **options)
        results.append((qml.QNode(energy, dev)(x), qml.grad(qml.QNode(energy, dev, diff_method="adjoint"))(x)))
    np.testing.assert_allclose(results[0][0], want, atol=1e-10)
    for value, grad in results[1:]:
        np.testing.assert_allclose(value, results[0][0], atol=1e-12)
        np.testing.assert_allclose(grad, results[0][1], atol=1e-12)
    # Thread counts change nothing, bit for bit.
    assert results[2][0] == results[0][0] and np.array_equal(results[2][1], results[0][1])


def test_bad_options_are_refused_by_name():
    with pytest.raises(ValueError, match="precision"):
        qml.device("vorn.qubit", wires=2, precision="half")
    with pytest.raises(TypeError, match="fusion"):
        qml.device("vorn.qubit", wires=2, fusion="yes")
    with pytest.raises((TypeError, ValueError), match="threads"):
        qml.device("vorn.qubit", wires=2, threads=0)
