# vorn.pennylane: mid-circuit measurements on vorn's dynamic engine
# (mcm_method "tree-traversal" and "one-shot") on a device with no spare
# wires: exact values against default.qubit's deferred ones, statistics of
# shots against its exact probabilities, postselection, and refusals.
import numpy as np
import pytest

pytestmark = pytest.mark.pennylane

qml = pytest.importorskip("pennylane")

SHOTS = 4000
TOL = 0.035  # about 4.5 standard deviations of a frequency at 4000 shots


def _circuit(x, stats):
    """Two wires, every one in use: a measurement with reset, a condition on
    two outcomes, a measurement on a wire that is later reused."""
    def circuit():
        qml.RY(x, 0)
        qml.CNOT([0, 1])
        m0 = qml.measure(0, reset=True)
        qml.RX(0.7, 0)
        m1 = qml.measure(1)
        qml.cond(m0 & ~m1, qml.RY)(1.1, wires=1)
        qml.cond(m1, qml.Hadamard)(wires=0)
        qml.RZ(0.3, 1)
        qml.RX(0.4, 1)
        return stats(m0, m1)
    return circuit


def _exact(circuit):
    return qml.QNode(circuit, qml.device("default.qubit"), mcm_method="deferred")()


@pytest.mark.parametrize("method", ["tree-traversal"])
def test_exact_expectation_values_equal_default_qubits(method):
    h = np.array([[1.0, 0.5 - 0.2j, 0, 0.1], [0.5 + 0.2j, -0.3, 0.4j, 0], [0, -0.4j, 0.7, 0.2], [0.1, 0, 0.2, 0.0]])

    def stats(m0, m1):
        return (qml.expval(qml.Z(0)), qml.expval(qml.Z(1) @ qml.X(0) + 0.5 * qml.Y(1)),
                qml.expval(qml.Hermitian(h, wires=[1, 0])), qml.probs(wires=[0, 1]), qml.probs(wires=[1]))

    for x in (0.0, 0.9, np.pi):  # outcomes of probability 0 and 1 included
        circuit = _circuit(x, stats)
        got = qml.QNode(circuit, qml.device("vorn.qubit", wires=2), mcm_method=method)()
        for g, w in zip(got, _exact(circuit), strict=True):
            np.testing.assert_allclose(g, w, atol=1e-12)


@pytest.mark.parametrize("method", ["tree-traversal", "one-shot"])
def test_sampled_statistics_of_wires_and_measurements_follow_the_exact_ones(method):
    def stats(m0, m1):
        return (qml.probs(wires=[0, 1]), qml.probs(op=[m0, m1]), qml.expval(m0 + 2 * m1),
                qml.expval(qml.X(1)), qml.counts(m1), qml.sample(m0))

    circuit = _circuit(0.9, stats)
    exact = _exact(_circuit(0.9, lambda m0, m1: (qml.probs(wires=[0, 1]), qml.probs(op=[m0, m1]),
                                                  qml.expval(m0 + 2 * m1), qml.expval(qml.X(1)))))
    node = qml.set_shots(qml.QNode(circuit, qml.device("vorn.qubit", wires=2, seed=5), mcm_method=method),
                         shots=SHOTS)
    probs, mprobs, value, x1, counts, samples = node()
    np.testing.assert_allclose(probs, exact[0], atol=TOL)
    np.testing.assert_allclose(mprobs, exact[1], atol=TOL)
    assert abs(value - exact[2]) < 3 * TOL
    assert abs(x1 - exact[3]) < 2 * TOL
    assert sum(counts.values()) == SHOTS and abs(counts.get(1, 0) / SHOTS - (mprobs[1] + mprobs[3])) < TOL
    assert samples.shape == (SHOTS,) and set(np.unique(samples)) <= {0, 1}
    # The same seed draws the same shots.
    again = qml.set_shots(qml.QNode(circuit, qml.device("vorn.qubit", wires=2, seed=5), mcm_method=method),
                          shots=SHOTS)()
    assert np.array_equal(again[5], samples)


def test_postselection_discards_the_other_shots():
    def gates():
        qml.RY(1.2, 0)
        qml.CNOT([0, 1])
        qml.cond(qml.measure(0, postselect=1), qml.RX)(0.5, wires=1)

    def circuit():
        gates()
        return qml.probs(wires=1), qml.sample(wires=0)

    def probs():
        gates()
        return qml.probs(wires=1)

    p1 = np.sin(0.6) ** 2
    exact = qml.QNode(probs, qml.device("default.qubit", wires=3), mcm_method="deferred")()
    got, kept = qml.set_shots(qml.QNode(circuit, qml.device("vorn.qubit", wires=2, seed=2),
                                        mcm_method="tree-traversal"), shots=SHOTS)()
    np.testing.assert_allclose(got, exact, atol=TOL)
    assert abs(len(kept) / SHOTS - p1) < TOL and np.all(kept == 1)


def test_shot_vectors_give_one_result_per_entry():
    circuit = _circuit(0.4, lambda m0, m1: (qml.expval(m1), qml.sample(wires=[0, 1])))
    got = qml.set_shots(qml.QNode(circuit, qml.device("vorn.qubit", wires=2, seed=1), mcm_method="one-shot"),
                        shots=[10, 30])()
    assert len(got) == 2 and got[0][1].shape == (10, 2) and got[1][1].shape == (30, 2)


def test_what_is_not_done_is_refused_saying_so():
    dev = qml.device("vorn.qubit", wires=2)
    probs = _circuit(0.3, lambda m0, m1: qml.probs(op=m0))
    with pytest.raises(qml.exceptions.DeviceError, match="probabilities of wires only.*use shots"):
        qml.QNode(probs, dev, mcm_method="tree-traversal")()

    def postselected():
        qml.RY(0.3, 0)
        qml.measure(0, postselect=1)
        return qml.expval(qml.Z(1))

    with pytest.raises(qml.exceptions.DeviceError, match="postselection needs shots"):
        qml.QNode(postselected, dev, mcm_method="tree-traversal")()
    with pytest.raises(qml.exceptions.DeviceError, match="fill-shots"):
        qml.set_shots(qml.QNode(postselected, dev, mcm_method="tree-traversal", postselect_mode="fill-shots"),
                      shots=10)()
    def many():
        for w in range(3):
            qml.measure(w, reset=True)
        return qml.sample(wires=[0])

    # 3 outcomes and 62 final bits do not fit in one shot's 64-bit record (refused before simulating).
    with pytest.raises(qml.exceptions.DeviceError, match="at most 64"):
        qml.set_shots(qml.QNode(many, qml.device("vorn.qubit", wires=62)), shots=2)()
    with pytest.raises(qml.exceptions.DeviceError, match="offers"):
        qml.QNode(postselected, dev, mcm_method="device")()


def test_without_a_method_the_dynamic_engine_runs_what_deferral_has_no_wires_for():
    stats = lambda m0, m1: qml.expval(qml.Z(1) @ qml.Z(0))  # noqa: E731
    circuit = _circuit(0.9, stats)
    dev = qml.device("vorn.qubit", wires=2, seed=3)
    np.testing.assert_allclose(qml.QNode(circuit, dev)(), _exact(circuit), atol=1e-12)
    sampled = qml.set_shots(qml.QNode(circuit, dev), shots=SHOTS)()
    assert abs(sampled - _exact(circuit)) < 2 * TOL
    # With spare wires the exact tape is deferred, and keeps vorn's adjoint derivatives.
    x = qml.numpy.array(0.4, requires_grad=True)

    def deferred(x):
        qml.RY(x, 0)
        qml.cond(qml.measure(0), qml.RX)(0.8, wires=1)
        return qml.expval(qml.Z(1))

    wide = qml.device("vorn.qubit", wires=3)
    got = qml.grad(qml.QNode(deferred, wide, diff_method="adjoint"))(x)
    want = qml.grad(qml.QNode(deferred, qml.device("default.qubit", wires=3), diff_method="backprop"))(x)
    np.testing.assert_allclose(got, want, atol=1e-12)
