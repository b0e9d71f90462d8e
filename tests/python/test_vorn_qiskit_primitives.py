# vorn.qiskit's EstimatorV2 and SamplerV2 against Qiskit's reference
# primitives (StatevectorEstimator, StatevectorSampler) on the same PUBs, and
# vorn.run / statevector / expval taking Qiskit objects directly.
import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import efficient_su2  # noqa: E402
from qiskit.primitives import StatevectorEstimator, StatevectorSampler  # noqa: E402
from qiskit.quantum_info import Pauli, SparseObservable, SparsePauliOp, Statevector  # noqa: E402

import vorn  # noqa: E402
from vorn.qiskit import EstimatorV2, SamplerV2  # noqa: E402

pytestmark = pytest.mark.qiskit

N = 4
ANSATZ = efficient_su2(N, reps=2)
OBSERVABLES = [
    SparsePauliOp(["ZZII", "IXXI", "YIIY"], [0.5, -0.3, 0.25]),
    "XYZI",
    {"ZIII": 1.0, "IIIZ": -2.0},
    Pauli("IIZX"),
    SparseObservable.from_sparse_list([("0+", [0, 2], 1.5), ("r", [3], -1.0)], N),  # projectors
]


def paulis_only(observables):
    """The same observables with projectors spelled as Pauli sums, which
    StatevectorEstimator needs."""
    def one(o):
        if isinstance(o, SparseObservable):
            return SparsePauliOp.from_sparse_list(o.as_paulis().to_sparse_list(), o.num_qubits)
        return o

    if isinstance(observables, np.ndarray):
        return np.vectorize(one, otypes=[object])(observables)
    if isinstance(observables, list):
        return [paulis_only(o) for o in observables]
    return one(observables)


def values(*shape, seed=1):
    return np.random.default_rng(seed).uniform(-np.pi, np.pi, shape + (ANSATZ.num_parameters,))


def chi_square_p(counts, probabilities, shots):
    """p-value of observed counts (dict int -> count) against exact probabilities."""
    from scipy import stats

    support = np.flatnonzero(probabilities > 1e-12)
    observed = np.array([counts.get(int(k), 0) for k in support], dtype=float)
    assert observed.sum() == shots, "an outcome outside the exact distribution's support"
    expected = probabilities[support] / probabilities[support].sum() * shots
    return stats.chisquare(observed, expected).pvalue


def assert_same_estimates(mine, reference):
    assert len(mine) == len(reference)
    for a, b in zip(mine, reference):
        assert a.data.evs.shape == b.data.evs.shape and a.data.stds.shape == b.data.stds.shape
        assert a.data.evs.dtype == b.data.evs.dtype == np.float64
        np.testing.assert_allclose(a.data.evs, b.data.evs, rtol=0, atol=1e-10)
        assert not a.data.stds.any()
        assert a.metadata == b.metadata


# ---- EstimatorV2 -------------------------------------------------------------------

@pytest.mark.parametrize("observables, params", [
    ([OBSERVABLES], values(3, 1)),  # (1, 5) x (3, 1) -> (3, 5): the whole table
    (np.array(OBSERVABLES[:4], dtype=object).reshape(2, 2), values(2, 1)),
    (OBSERVABLES[0], values(7)),  # one observable, many bindings
    ([OBSERVABLES[0], OBSERVABLES[1], OBSERVABLES[2], OBSERVABLES[3], OBSERVABLES[4], "ZZZZ", "XXXX"],
     values(7)),  # zipped: each observable on the binding it is paired with
    (OBSERVABLES[4], values(0)),  # no bindings at all
])
def test_estimator_matches_statevector_estimator_under_broadcasting(observables, params):
    mine = EstimatorV2().run([(ANSATZ, observables, params)]).result()
    reference = StatevectorEstimator().run([(ANSATZ, paulis_only(observables), params)]).result()
    assert_same_estimates(mine, reference)


def test_estimator_takes_circuits_without_parameters_non_affine_angles_and_final_measurements():
    bell = QuantumCircuit(2)
    bell.h(0)
    bell.cx(0, 1)
    a, b = Parameter("a"), Parameter("b")
    curved = QuantumCircuit(2, global_phase=a)
    curved.ry(a * a, 0)  # not affine: bound per binding
    curved.rx(b, 1)
    curved.rzz(a + 2 * b, 0, 1)
    curved.rx(0.3 * b - a, 0)
    measured = bell.copy()
    measured.measure_all()
    pubs = [(bell, ["ZZ", "XX", "XI"]), (curved, ["ZI", "YZ"], np.random.default_rng(2).normal(size=(3, 1, 2)))]
    assert_same_estimates(EstimatorV2().run(pubs).result(), StatevectorEstimator().run(pubs).result())
    # Final measurements do not change the state the values are taken on.
    np.testing.assert_allclose(EstimatorV2().run([(measured, "ZZ")]).result()[0].data.evs, 1.0, atol=1e-12)


def test_estimator_precision_adds_seeded_gaussian_noise():
    pub = (ANSATZ, "ZZII", values(4000, seed=3))
    exact = EstimatorV2().run([pub]).result()[0].data.evs
    noisy = EstimatorV2(seed=11, default_precision=0.05).run([pub]).result()[0]
    again = EstimatorV2(seed=11).run([pub], precision=0.05).result()[0]
    other = EstimatorV2(seed=12, default_precision=0.05).run([pub]).result()[0]
    np.testing.assert_array_equal(noisy.data.evs, again.data.evs)
    assert not np.array_equal(noisy.data.evs, other.data.evs)
    np.testing.assert_array_equal(noisy.data.stds, np.full(exact.shape, 0.05))
    noise = noisy.data.evs - exact
    # 4000 draws: the mean within 5 standard errors of 0, the spread within 10% of 0.05.
    assert abs(noise.mean()) < 5 * 0.05 / np.sqrt(noise.size)
    assert 0.045 < noise.std() < 0.055
    # Per-PUB precision overrides the default; PUBs draw from their own streams.
    two = EstimatorV2(seed=11).run([pub, (ANSATZ, "ZZII", pub[2], 0.05)]).result()
    assert not two[0].data.stds.any() and np.array_equal(two[0].data.evs, exact)
    assert not np.array_equal(two[1].data.evs, noisy.data.evs)


def test_estimator_noise_comes_from_vorns_stream_not_numpys(monkeypatch):
    # NumPy's generator streams may change between releases; a seeded result must not.
    pub = (ANSATZ, "ZZII", values(8, seed=3))
    before = EstimatorV2(seed=5, default_precision=0.1).run([pub]).result()[0].data.evs

    def refuse(*args, **kwargs):
        raise AssertionError("NumPy's random generator was used")

    monkeypatch.setattr(np.random, "Generator", refuse)
    monkeypatch.setattr(np.random, "default_rng", refuse)
    np.random.seed(123)  # the global state is not read either
    after = EstimatorV2(seed=5, default_precision=0.1).run([pub]).result()[0].data.evs
    np.testing.assert_array_equal(before, after)


def test_estimator_refuses_bad_input_clearly_and_takes_dynamic_circuits():
    with pytest.raises(ValueError, match="precision"):
        EstimatorV2(default_precision=-0.1)
    with pytest.raises(TypeError, match="precision"):
        EstimatorV2().run([(ANSATZ, "ZZZZ", values())], precision="high")
    with pytest.raises(ValueError, match="seed"):
        EstimatorV2(seed=-1)
    dynamic = QuantumCircuit(2, 1)
    dynamic.h(0)
    dynamic.measure(0, 0)
    dynamic.cx(0, 1)
    # A mid-circuit measurement is no refusal: the exact expectation over its
    # outcomes (a mixture of 00 and 11, not the Bell state: <XX> is 0, not 1).
    evs = EstimatorV2().run([(dynamic, ["ZZ", "XX", "IZ"])]).result()[0].data.evs
    np.testing.assert_allclose(evs, [1.0, 0.0, 0.0], atol=1e-15)
    with pytest.raises(ValueError):  # Qiskit's own check: parameter values missing
        EstimatorV2().run([(ANSATZ, "ZZZZ")])


# ---- SamplerV2 -------------------------------------------------------------------

def registers_circuit():
    """Three registers (one unmeasured bit, one empty register) and a parameter."""
    theta = Parameter("theta")
    qc = QuantumCircuit(3)
    first = qiskit.ClassicalRegister(2, "first")
    second = qiskit.ClassicalRegister(2, "second")
    empty = qiskit.ClassicalRegister(0, "empty")
    qc.add_register(first, empty, second)
    qc.ry(theta, 0)
    qc.h(1)
    qc.cx(1, 2)
    qc.measure([0, 1], [second[1], first[0]])
    qc.measure(2, second[0])
    return qc


def test_sampler_results_have_statevector_samplers_shapes_and_types():
    qc = registers_circuit()
    params = np.linspace(0, np.pi, 6).reshape(2, 3, 1)
    mine = SamplerV2(seed=5).run([(qc, params, 50), (ANSATZ.measure_all(inplace=False), values(2))]).result()
    reference = StatevectorSampler(seed=5).run([(qc, params, 50), (ANSATZ.measure_all(inplace=False),
                                                                    values(2))]).result()
    assert mine.metadata == reference.metadata
    for a, b in zip(mine, reference):
        assert a.metadata == b.metadata
        assert a.data.shape == b.data.shape and list(a.data.keys()) == list(b.data.keys())
        for name in b.data.keys():
            x, y = a.data[name], b.data[name]
            assert type(x) is type(y)
            assert (x.shape, x.num_shots, x.num_bits, x.array.dtype, x.array.shape) == \
                (y.shape, y.num_shots, y.num_bits, y.array.dtype, y.array.shape)
    # The unmeasured bit first[1] reads 0; second's bits follow their qubits.
    first = mine[0].data.first.to_bool_array(order="little")
    second = mine[0].data.second.to_bool_array(order="little")
    assert not first[..., 1].any()
    np.testing.assert_array_equal(first[..., 0], second[..., 0])  # cx copies qubit 1 to qubit 2
    assert not second[0, 0, :, 1].any() and second[1, 2, :, 1].all()  # ry(0) and ry(pi) on qubit 0


@pytest.mark.scipy
def test_sampler_counts_follow_the_exact_distribution_and_repeat_with_the_seed():
    qc = ANSATZ.measure_all(inplace=False)
    params = values(3, seed=4)
    shots = 4000
    result = SamplerV2(seed=9).run([(qc, params, shots)]).result()[0]
    again = SamplerV2(seed=9).run([(qc, params, shots)]).result()[0]
    other = SamplerV2(seed=10).run([(qc, params, shots)]).result()[0]
    np.testing.assert_array_equal(result.data.meas.array, again.data.meas.array)
    assert not np.array_equal(result.data.meas.array, other.data.meas.array)
    for b in range(3):
        probabilities = Statevector(ANSATZ.assign_parameters(params[b])).probabilities()
        counts = result.data.meas[b].get_int_counts()
        assert chi_square_p(counts, probabilities, shots) > 1e-4


@pytest.mark.scipy
def test_sampler_runs_mid_circuit_measurements_and_conditions():
    # Qubit 0 measured in the middle, then reset and reused; qubit 1 flipped
    # when the first outcome was 1: c = (m1, m0) with m1 == m0, and the
    # second measurement of qubit 0 (after ry(theta)) independent of them.
    theta = Parameter("theta")
    qc = QuantumCircuit(2, 3)
    qc.h(0)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    qc.reset(0)
    qc.ry(theta, 0)
    qc.measure(1, 1)
    qc.measure(0, 2)
    shots = 4000
    angles = np.array([[0.0], [2.0]])
    result = SamplerV2(seed=3).run([(qc, angles, shots)]).result()[0]
    for b, (angle,) in enumerate(angles):
        counts = result.data.c[b].get_int_counts()
        p1 = np.sin(angle / 2) ** 2
        exact = np.zeros(8)
        exact[[0b000, 0b011, 0b100, 0b111]] = [(1 - p1) / 2, (1 - p1) / 2, p1 / 2, p1 / 2]
        assert chi_square_p(counts, exact, shots) > 1e-4
    same = SamplerV2(seed=3).run([(qc, angles, shots)]).result()[0]
    np.testing.assert_array_equal(result.data.c.array, same.data.c.array)


def test_sampler_refuses_bad_shots():
    with pytest.raises(ValueError, match="shots"):
        SamplerV2(default_shots=0)
    with pytest.raises(TypeError, match="shots"):
        SamplerV2().run([registers_circuit()], shots=1.5)


# ---- vorn's own functions take Qiskit objects --------------------------------------

def test_run_statevector_and_expval_take_qiskit_objects():
    qc = efficient_su2(3, reps=1).assign_parameters(np.arange(12) * 0.3)
    np.testing.assert_allclose(vorn.statevector(qc), Statevector(qc).data, atol=1e-12)
    h = SparsePauliOp(["XYZ", "ZZI"], [0.5, -1.0])
    assert vorn.expval(qc, h).shape == (1,)  # one operator, not one per term
    np.testing.assert_allclose(vorn.expval(qc, h)[0], Statevector(qc).expectation_value(h).real, atol=1e-12)
    both = vorn.expval(qc, [h, Pauli("XXX"), vorn.PauliSum.from_list([("ZII", 1.0)])])
    assert both.shape == (3,)
    np.testing.assert_allclose(both[2], Statevector(qc).expectation_value(Pauli("ZII")).real, atol=1e-12)
    measured = qc.measure_all(inplace=False)
    result = vorn.run(measured, shots=10, seed=1, memory=True)
    assert result.counts() == vorn.run(vorn.from_qiskit(measured), shots=10, seed=1).counts()
    assert len(result.get_memory()) == 10
    sweep = vorn.expval(ANSATZ, h.tensor(Pauli("I")), params=values(3))
    assert sweep.shape == (3, 1)
    with pytest.raises(TypeError, match="vorn.PauliSum"):
        vorn.expval(qc, ["XYZ"])


@pytest.mark.cirq
def test_run_and_statevector_take_cirq_circuits():
    cirq = pytest.importorskip("cirq")
    a, b = cirq.LineQubit.range(2)
    circuit = cirq.Circuit(cirq.H(a), cirq.CNOT(a, b), cirq.rx(0.4)(b))
    np.testing.assert_allclose(vorn.statevector(circuit), cirq.final_state_vector(circuit), atol=1e-7)
    measured = circuit + cirq.measure(a, b, key="m")
    assert sum(vorn.run(measured, shots=20, seed=2).counts().values()) == 20


def test_importing_vorn_imports_no_toolkit_and_vorn_qiskit_names_the_extra(import_without):
    proc = import_without("qiskit", "vorn.qiskit", """
        c = vorn.Circuit(1); c.h(0); vorn.run(c, shots=1); vorn.statevector(c)
        assert not any(m in sys.modules for m in ("qiskit", "cirq")), "a toolkit was imported"
        """)
    assert proc.returncode == 0, proc.stderr
    assert "vorn-python[qiskit]" in proc.stdout
