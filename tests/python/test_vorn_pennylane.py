# vorn.pennylane: the vorn.qubit device against lightning.qubit (values to
# 1e-10, adjoint Jacobians to 1e-9) and default.qubit, its samples, batches,
# derivatives and refusals.
import numpy as np
import pytest

pytestmark = pytest.mark.pennylane

qml = pytest.importorskip("pennylane")
pytest.importorskip("pennylane_lightning")
pnp = pytest.importorskip("pennylane.numpy")

from vorn.pennylane import VornQubit  # noqa: E402
from vorn.pennylane import _convert, _device  # noqa: E402


def test_import_vorn_leaves_pennylane_out_and_names_the_extra_without_it(import_without):
    done = import_without("pennylane", "vorn.pennylane", 'assert "pennylane" not in sys.modules')
    assert done.returncode == 0, done.stderr
    assert 'vorn-python[pennylane]' in done.stdout


def test_the_entry_point_finds_the_device_and_refuses_bad_seeds():
    dev = qml.device("vorn.qubit", wires=2, seed=1)
    assert isinstance(dev, VornQubit) and dev.name == "vorn.qubit"
    with pytest.raises(TypeError, match="seed"):
        qml.device("vorn.qubit", wires=2, seed=1.5)
    with pytest.raises(ValueError, match="seed"):
        qml.device("vorn.qubit", wires=2, seed=-1)


# ---- every translated operation has PennyLane's matrix and phase -------------------------------

def _instance(name, rng):
    if name.startswith("Adjoint("):
        return qml.adjoint(_instance(name[len("Adjoint("):-1], rng))
    cls = getattr(qml, name)
    wires = list(range(3 if name == "MultiControlledX" else cls.num_wires))
    return cls(*rng.uniform(-np.pi, np.pi, cls.num_params), wires=wires)


@pytest.mark.parametrize("name", sorted(_convert._TRANSLATIONS))
def test_each_translation_gives_default_qubits_state(name):
    """A random state, then the operation on permuted wires: vorn.qubit's
    state equals default.qubit's amplitude for amplitude (phase included)."""
    rng = np.random.default_rng(abs(hash(name)) % 2**32)
    op = _instance(name, rng)
    assert _convert.supports(op)
    angles = rng.uniform(-np.pi, np.pi, (2, 4))
    order = list(rng.permutation(4))

    def circuit():
        for w in range(4):
            qml.RY(angles[0, w], wires=w)
            qml.RZ(angles[1, w], wires=w)
        qml.CNOT([0, 1]); qml.CNOT([2, 3])
        qml.apply(op.map_wires({w: order[w] for w in op.wires}))
        return qml.state()

    got = qml.QNode(circuit, qml.device("vorn.qubit", wires=4))()
    want = qml.QNode(circuit, qml.device("default.qubit", wires=4))()
    np.testing.assert_allclose(got, want, atol=1e-12)


def test_supported_set_follows_the_translations_and_the_control_values():
    assert _convert.supports(qml.MultiControlledX(wires=[0, 1, 2]))
    assert not _convert.supports(qml.MultiControlledX(wires=[0, 1, 2], control_values=[0, 1]))
    assert not _convert.supports(qml.Rot(0.1, 0.2, 0.3, wires=0))  # PennyLane decomposes it
    assert _convert.supports(qml.QubitUnitary(np.eye(2), wires=0))
    assert all(_convert._TRANSLATIONS[n].row in _convert.GATES for n in _convert._TRANSLATIONS)


# ---- a suite of QNodes against lightning.qubit -------------------------------------------------

def _layers(x, wires):
    """Gates vorn runs directly and ones PennyLane decomposes, on every wire."""
    n = len(wires)
    k = 0
    for layer in range(2):
        for i, w in enumerate(wires):
            qml.RY(x[k], wires=w); qml.RZ(x[k + 1], wires=w)
            k += 2
        for i in range(layer, n - 1, 2):
            qml.CNOT(wires=[wires[i], wires[i + 1]])
        qml.IsingXY(x[k], wires=[wires[0], wires[-1]]); qml.CRX(x[k + 1], wires=[wires[1], wires[2]])
        qml.Rot(x[k + 2], x[k + 3], x[k + 4], wires=wires[3])
        qml.MultiRZ(x[k + 5], wires=wires[2:6])
        qml.U3(x[k + 6], x[k + 7], x[k + 8], wires=wires[4])
        qml.SingleExcitation(x[k + 9], wires=[wires[5], wires[6]])
        k += 10
    qml.Toffoli(wires=wires[:3]); qml.ECR(wires=wires[3:5]); qml.S(wires[6]); qml.adjoint(qml.T(wires[7]))
    return k


def _num_params(n):
    return 2 * (2 * n + 10)


def _hamiltonian(wires):
    a, b, c, d = wires[0], wires[1], wires[-1], wires[len(wires) // 2]
    return qml.Hamiltonian([0.5, -1.25, 0.75], [qml.Z(a) @ qml.Z(b), qml.X(c) @ qml.Y(d), qml.Y(a)])


@pytest.mark.parametrize("n", [10, 16])
def test_values_equal_lightnings(n):
    wires = [f"w{i}" if i % 3 == 0 else i for i in range(n)]  # labels, not positions
    rng = np.random.default_rng(n)
    x = rng.uniform(-np.pi, np.pi, _num_params(n))
    h = _hamiltonian(wires)

    def circuit(x):
        _layers(x, wires)
        return (qml.expval(qml.Z(wires[0])), qml.expval(qml.X(wires[1]) @ qml.Y(wires[5])), qml.expval(h),
                qml.expval(qml.sum(qml.X(wires[2]), qml.s_prod(0.3, qml.Z(wires[3])))),
                qml.expval(qml.Hermitian(np.array([[1.0, 0.5j], [-0.5j, -2.0]]), wires=wires[4])),
                qml.var(qml.Y(wires[6])), qml.var(h), qml.probs(wires=[wires[7], wires[2]]),
                qml.state() if n <= 12 else qml.probs(wires=wires[:3]))

    got = qml.QNode(circuit, qml.device("vorn.qubit", wires=wires))(x)
    want = qml.QNode(circuit, qml.device("lightning.qubit", wires=wires))(x)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        np.testing.assert_allclose(g, w, atol=1e-10, rtol=0)


@pytest.mark.parametrize("method", ["adjoint", "device"])
def test_adjoint_jacobians_equal_lightnings(method):
    n = 12
    wires = list(range(n))
    x = pnp.array(np.random.default_rng(3).uniform(-np.pi, np.pi, _num_params(n)), requires_grad=True)
    h = _hamiltonian(wires)

    def circuit(x):
        _layers(x, wires)
        return qml.expval(h), qml.expval(qml.Z(4) @ qml.X(9)), qml.expval(qml.Y(11))

    vorn_node = qml.QNode(circuit, qml.device("vorn.qubit", wires=n), diff_method=method)
    ref = qml.QNode(circuit, qml.device("lightning.qubit", wires=n), diff_method="adjoint")
    got = qml.jacobian(lambda x: pnp.stack(vorn_node(x)))(x)
    want = qml.jacobian(lambda x: pnp.stack(ref(x)))(x)
    assert got.shape == (3, _num_params(n))
    np.testing.assert_allclose(got, want, atol=1e-9, rtol=0)
    # qml.grad of one expectation value goes through the vector-Jacobian product.
    def energy(x):
        _layers(x, wires)
        return qml.expval(h)

    node = qml.QNode(energy, qml.device("vorn.qubit", wires=n), diff_method=method)
    np.testing.assert_allclose(qml.grad(node)(x), want[0], atol=1e-9, rtol=0)


def test_parameter_shift_and_non_trainable_arguments_through_pennylanes_machinery():
    dev = qml.device("vorn.qubit", wires=3)

    def circuit(a, b):
        qml.RX(a, wires=0); qml.CRY(b, wires=[0, 1]); qml.Rot(a, b, 0.3, wires=2); qml.CNOT([2, 0])
        return qml.expval(qml.Z(0) @ qml.X(2)), qml.expval(qml.Y(1))

    a = pnp.array(0.4, requires_grad=True)
    b = pnp.array(-1.1, requires_grad=False)
    ref = qml.jacobian(lambda a: pnp.stack(qml.QNode(circuit, qml.device("lightning.qubit", wires=3),
                                                     diff_method="adjoint")(a, b)))(a)
    for method in ("parameter-shift", "adjoint", "best"):
        node = qml.QNode(circuit, dev, diff_method=method)
        got = qml.jacobian(lambda a: pnp.stack(node(a, b)))(a)
        np.testing.assert_allclose(got, ref, atol=1e-9, rtol=0)


def test_global_phase_changes_the_state_not_the_gradient():
    def circuit(x):
        qml.Hadamard(0); qml.GlobalPhase(x, wires=0); qml.RY(x, wires=1)
        return qml.expval(qml.Z(1))

    node = qml.QNode(circuit, qml.device("vorn.qubit", wires=2), diff_method="adjoint")
    np.testing.assert_allclose(qml.grad(node)(pnp.array(0.7, requires_grad=True)), -np.sin(0.7), atol=1e-12)
    state = qml.QNode(lambda: (qml.Hadamard(0), qml.GlobalPhase(0.7), qml.state())[-1],
                      qml.device("vorn.qubit", wires=2))()
    np.testing.assert_allclose(state, np.exp(-0.7j) * np.array([1, 0, 1, 0]) / np.sqrt(2), atol=1e-15)


def test_adjoint_refuses_what_it_cannot_differentiate():
    x = pnp.array(0.3, requires_grad=True)
    dev = qml.device("vorn.qubit", wires=1)
    # A matrix on more wires than the adjoint pass expands into Pauli words.
    wide = qml.device("vorn.qubit", wires=7)
    hermitian = qml.QNode(lambda x: (qml.RX(x, 0), qml.expval(qml.Hermitian(np.eye(128), wires=range(7))))[-1],
                          wide, diff_method="adjoint")
    with pytest.raises(qml.exceptions.DeviceError, match="adjoint"):
        qml.grad(hermitian)(x)
    sampled = qml.set_shots(qml.QNode(lambda x: (qml.RX(x, 0), qml.expval(qml.Z(0)))[-1], dev,
                                      diff_method="adjoint"), shots=10)
    with pytest.raises(qml.exceptions.QuantumFunctionError, match="adjoint"):
        qml.grad(sampled)(x)


# ---- batches: one structure, one vorn sweep ---------------------------------------------------

def test_tapes_of_one_structure_run_as_one_sweep(monkeypatch):
    calls = []
    real = _device._expval

    def spy(*args, **kwargs):
        calls.append(kwargs.get("params") is not None)
        return real(*args, **kwargs)

    monkeypatch.setattr(_device, "_expval", spy)
    dev = qml.device("vorn.qubit", wires=4)

    def tape(a, b, obs):
        ops = [qml.RX(a, 0), qml.CNOT([0, 1]), qml.IsingZZ(b, wires=[1, 3]), qml.QubitUnitary(qml.matrix(qml.SX(2)), 2)]
        return qml.tape.QuantumScript(ops, [qml.expval(obs), qml.expval(qml.Z(3))])

    h = 0.5 * qml.X(0) @ qml.Y(1) + qml.Z(2)
    tapes = [tape(0.1 * k, 0.3 - k, h) for k in range(5)] + [tape(0.2, 0.4, qml.Z(0))]
    batched = qml.execute(tapes, dev)
    assert calls == [True, False]  # the five together, the sixth (another observable) alone
    calls.clear()
    alone = [qml.execute([t], dev)[0] for t in tapes]
    assert calls == [False] * 6
    for got, want in zip(batched, alone):
        assert got == want  # the same bits either way
    want = qml.execute(tapes, qml.device("lightning.qubit", wires=4))
    np.testing.assert_allclose(np.array(batched), np.array(want), atol=1e-12)


def test_broadcast_parameters_expand_to_one_sweep():
    dev = qml.device("vorn.qubit", wires=2)

    @qml.qnode(dev)
    def circuit(x):
        qml.RX(x, 0); qml.CNOT([0, 1])
        return qml.expval(qml.Z(1))

    x = np.array([0.0, 0.5, 2.0])
    np.testing.assert_allclose(circuit(x), np.cos(x), atol=1e-14)


# ---- samples ----------------------------------------------------------------------------------

def _sampled_node(seed, shots):
    dev = qml.device("vorn.qubit", wires=["a", "b", "c"], seed=seed)

    @qml.qnode(dev)
    def circuit():
        qml.RY(1.1, "a"); qml.CNOT(["a", "b"]); qml.Hadamard("c")
        return (qml.sample(wires=["a", "b", "c"]), qml.counts(qml.Z("a") @ qml.Z("b")), qml.expval(qml.X("c")),
                qml.probs(wires=["b"]), qml.sample(qml.Y("c")))

    return qml.set_shots(circuit, shots=shots)


def test_samples_follow_the_state_and_the_seed():
    samples, counts, x_c, probs_b, y_c = _sampled_node(7, 4000)()
    assert samples.shape == (4000, 3) and set(np.unique(samples)) <= {0, 1}
    assert np.array_equal(samples[:, 0], samples[:, 1])  # the CNOT's correlation, wire by wire
    assert counts == {1: 4000}  # Z(a) Z(b) is always +1
    assert x_c == 1.0  # c is in |+>, X's eigenstate, whatever the seed
    p1 = np.sin(1.1 / 2) ** 2
    assert abs(probs_b[1] - p1) < 5 * np.sqrt(p1 * (1 - p1) / 4000)
    assert set(np.unique(y_c)) <= {-1, 1} and abs(np.mean(y_c)) < 5 / np.sqrt(4000)
    again = _sampled_node(7, 4000)()
    assert np.array_equal(again[0], samples) and np.array_equal(again[4], y_c)
    assert not np.array_equal(_sampled_node(8, 4000)()[0], samples)


def test_an_integer_seed_samples_from_vorns_stream_not_numpys(monkeypatch):
    # NumPy's generator streams may change between releases; seeded samples must not.
    before = _sampled_node(7, 500)()[0]

    def refuse(*args, **kwargs):
        raise AssertionError("NumPy's random generator was used")

    monkeypatch.setattr(np.random, "default_rng", refuse)
    assert np.array_equal(_sampled_node(7, 500)()[0], before)


def test_shot_vectors_give_one_result_per_entry():
    out = _sampled_node(1, [(10, 2), 30])()
    assert len(out) == 3
    assert [len(entry[0]) for entry in out] == [10, 10, 30]
    assert [sum(entry[1].values()) for entry in out] == [10, 10, 30]


def test_mid_circuit_measurements_are_deferred():
    def circuit(x):
        qml.RY(x, 0)
        m = qml.measure(0)
        qml.cond(m, qml.RX)(0.8, wires=1)
        return qml.expval(qml.Z(1)), qml.probs(op=m)

    got = qml.QNode(circuit, qml.device("vorn.qubit", wires=3))(0.9)
    want = qml.QNode(circuit, qml.device("default.qubit", wires=3))(0.9)
    np.testing.assert_allclose(got[0], want[0], atol=1e-12)
    np.testing.assert_allclose(got[1], want[1], atol=1e-12)
    # The dynamic engine's exact value agrees; probabilities of outcomes need shots there.
    with pytest.raises(qml.exceptions.DeviceError, match="shots"):
        qml.QNode(circuit, qml.device("vorn.qubit", wires=3), mcm_method="tree-traversal")(0.9)

    def expectation(x):
        qml.RY(x, 0)
        qml.cond(qml.measure(0), qml.RX)(0.8, wires=1)
        return qml.expval(qml.Z(1))

    dynamic = qml.QNode(expectation, qml.device("vorn.qubit", wires=2), mcm_method="tree-traversal")
    np.testing.assert_allclose(dynamic(0.9), want[0], atol=1e-12)


def test_state_reductions_and_wireless_devices_follow_default_qubit():
    def circuit(x):
        qml.RY(x, "q"); qml.CNOT(["q", 2]); qml.RX(0.3, 2); qml.Hadamard("r")
        return (qml.density_matrix(wires=["q"]), qml.vn_entropy(wires=[2]), qml.purity(wires=["q", 2]),
                qml.mutual_info(wires0=["q"], wires1=[2]), qml.expval(qml.Projector([1, 0], wires=["q", 2])),
                qml.var(qml.Hermitian(np.diag([1.0, 3.0]), wires="r")))

    for wires in (["q", 2, "r"], None):  # None: the circuit's own wires
        got = qml.QNode(circuit, qml.device("vorn.qubit", wires=wires))(0.8)
        want = qml.QNode(circuit, qml.device("default.qubit", wires=wires))(0.8)
        for g, w in zip(got, want):
            np.testing.assert_allclose(g, w, atol=1e-12)
