"""vorn.noise: error constructors and their refusals, the noise model as a
value, noisy runs by trajectories (reproducible for any thread count and
batch size, composing with mid-circuit measurement, reset and conditions)
against exact density matrices (Qiskit Aer's, Cirq's, or NumPy's), noisy
expectation values, and the conversions from Qiskit Aer and Cirq."""

from __future__ import annotations

import copy
import math
import pickle

import numpy as np
import pytest

import vorn
from vorn import Circuit, PauliSum
from vorn import noise as vn
from vorn.execution import engines
from vorn.execution.request import Request
from vorn.model.circuit import _gate_matrix
from vorn.model.noise_model import _pauli_matrix

from test_vorn_dynamic import chi_square_p, stats  # noqa: E402  (the same statistics as the dynamic tests)

SHOTS = 100_000


def key_probabilities(diagonal: np.ndarray, model: vn.NoiseModel, n: int) -> dict[str, float]:
    """Keys (qubit q on clbit q, every qubit measured) -> probability, after the model's readout errors."""
    p = np.real(np.asarray(diagonal)).reshape([2] * n)  # axis k: qubit n - 1 - k
    for q in range(n):
        r = model._readout_of(q)
        if r is not None:
            p = np.moveaxis(np.tensordot(p, r.probabilities, axes=([n - 1 - q], [0])), -1, n - 1 - q)
    flat = p.reshape(-1)
    return {format(i, f"0{n}b"): float(v) for i, v in enumerate(flat) if v > 1e-15}


# ---- constructors and refusals -------------------------------------------------------


def test_depolarizing_follows_qiskit_and_refuses_past_its_physical_maximum():
    e = vn.depolarizing(0.2, 1)
    assert e.is_unitary_mixture and e.probabilities == pytest.approx([0.85, 0.05, 0.05, 0.05])
    two = vn.depolarizing(0.3, 2)
    assert len(two.operators) == 16 and two.probabilities[0] == pytest.approx(1 - 0.3 + 0.3 / 16)
    assert vn.depolarizing(4 / 3, 1).probabilities[0] == pytest.approx(0.0, abs=1e-15)  # the maximum itself
    for bad in (-0.01, 4 / 3 + 1e-9):
        with pytest.raises(ValueError, match="depolarizing p"):
            vn.depolarizing(bad, 1)
    with pytest.raises(ValueError, match="1 or 2 qubits"):
        vn.depolarizing(0.1, 3)


def test_pauli_labels_put_qubit_zero_rightmost():
    e = vn.pauli([("XI", 1.0)])
    assert np.array_equal(e.operators[0], np.kron(np.array([[0, 1], [1, 0]]), np.eye(2)))
    with pytest.raises(ValueError, match="sum to 1"):
        vn.pauli([("X", 0.5), ("Z", 0.4)])
    with pytest.raises(ValueError, match="between 0 and 1"):
        vn.pauli([("X", 1.5), ("Z", -0.5)])
    with pytest.raises(ValueError, match="I, X, Y, Z"):
        vn.pauli([("XA", 1.0)])
    with pytest.raises(ValueError, match="I, X, Y, Z"):
        vn.pauli([("X", 0.5), ("XX", 0.5)])


def test_kraus_refuses_sets_that_are_not_trace_preserving():
    g = 0.3
    good = [np.array([[1, 0], [0, math.sqrt(1 - g)]]), np.array([[0, math.sqrt(g)], [0, 0]])]
    assert not vn.kraus(good).is_unitary_mixture
    off = [good[0], good[1] * (1 + 1e-8)]
    with pytest.raises(ValueError, match="not trace preserving"):
        vn.kraus(off)
    with pytest.raises(ValueError, match="2x2 or all 4x4"):
        vn.kraus([np.eye(2), np.eye(4)])
    with pytest.raises(ValueError, match="finite"):
        vn.kraus([np.array([[np.nan, 0], [0, 1]])])
    # Multiples of unitaries run as a mixture, with their weights as probabilities.
    flip = vn.kraus([math.sqrt(0.9) * np.eye(2), math.sqrt(0.1) * np.array([[0, 1], [1, 0]])])
    assert flip.is_unitary_mixture and flip.probabilities == pytest.approx([0.9, 0.1])


def test_thermal_relaxation_and_damping_refusals():
    with pytest.raises(ValueError, match="at most 2 \\* t1"):
        vn.thermal_relaxation(10, 25, 1)
    with pytest.raises(ValueError, match="positive"):
        vn.thermal_relaxation(0, 1, 1)
    with pytest.raises(ValueError, match="time"):
        vn.thermal_relaxation(10, 10, -1)
    with pytest.raises(ValueError, match="gamma"):
        vn.amplitude_damping(1.2)
    with pytest.raises(TypeError, match="lam"):
        vn.phase_damping("0.1")
    # T2 = 2 T1: pure relaxation, the same channel as amplitude damping.
    t = vn.thermal_relaxation(10, 20, 3)
    damp = vn.amplitude_damping(1 - math.exp(-0.3))
    assert np.allclose(_superop(t), _superop(damp))


def test_readout_rows_must_be_probabilities_summing_to_one():
    assert vn.readout([[0.9, 0.1], [0.2, 0.8]]) == vn.readout(np.array([[0.9, 0.1], [0.2, 0.8]]))
    with pytest.raises(ValueError, match="sum to 1"):
        vn.readout([[0.9, 0.2], [0.2, 0.8]])
    with pytest.raises(ValueError, match="between 0 and 1"):
        vn.readout([[1.1, -0.1], [0, 1]])
    with pytest.raises(ValueError, match="2x2"):
        vn.readout([0.5, 0.5])


def _superop(error: vn.QuantumError) -> np.ndarray:
    return sum(np.kron(k.conj(), k) for k in error.kraus_operators())


# ---- the model as a value --------------------------------------------------------------


def _model() -> vn.NoiseModel:
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.depolarizing(0.01, 1), ["h", "rx"])
    m.add_all_qubit_error(vn.depolarizing(0.02, 2), "cx")
    m.add_error(vn.amplitude_damping(0.1), "h", [1])
    m.add_readout_error(vn.readout([[0.95, 0.05], [0.1, 0.9]]), 0)
    return m


def test_noise_model_copies_compare_and_pickle_by_content():
    m = _model()
    for other in (m.copy(), copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m))):
        assert other == m and other is not m
    c = m.copy()
    c.add_all_qubit_error(vn.depolarizing(0.5, 1), "x")
    assert c != m and "x" not in m.noise_instructions
    assert repr(m) == "<vorn.noise.NoiseModel instructions=['cx', 'h', 'rx'] readout=[0]>"
    e = vn.depolarizing(0.1, 1)
    restored = pickle.loads(pickle.dumps(e))
    assert restored == e and not restored.operators[0].flags.writeable
    assert vn.depolarizing(0.1, 1) != vn.depolarizing(0.2, 1)
    assert vn.NoiseModel().is_ideal() and not m.is_ideal()


def test_errors_must_fit_the_gates_they_are_attached_to():
    m = vn.NoiseModel()
    with pytest.raises(ValueError, match="'cx', which acts on 2"):
        m.add_all_qubit_error(vn.depolarizing(0.1, 1), ["cx"])
    with pytest.raises(ValueError, match="do not fit"):
        m.add_error(vn.depolarizing(0.1, 2), "cx", [0])
    with pytest.raises(TypeError, match="QuantumError"):
        m.add_all_qubit_error(vn.readout([[1, 0], [0, 1]]), "x")
    # A custom name's arity is only known at run time.
    m.add_all_qubit_error(vn.depolarizing(0.1, 2), "unitary")
    c = Circuit(3)
    c.unitary(np.eye(8), [0, 1, 2])
    with pytest.raises(ValueError, match="acts on 3 qubit"):
        vorn.run(c, 10, seed=1, noise=m)


# ---- noisy runs ------------------------------------------------------------------------------


def _ghz(n: int) -> Circuit:
    c = Circuit(n, n)
    c.h(0)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure(range(n), range(n))
    return c


def _ghz_model(p: float) -> vn.NoiseModel:
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.depolarizing(p, 1), "h")
    m.add_all_qubit_error(vn.depolarizing(p, 2), "cx")
    m.add_all_qubit_error(vn.amplitude_damping(p), "measure")
    m.add_all_qubit_readout_error(vn.readout([[0.97, 0.03], [0.05, 0.95]]))
    return m


def test_same_seed_same_counts_on_any_thread_count_and_batch_size():
    c, m = _ghz(5), _ghz_model(0.05)
    base = vorn.run(c, 4000, seed=21, noise=m, memory=True, threads=1)
    again = vorn.run(c, 4000, seed=21, noise=m, memory=True, threads=vorn._ext.pool_threads())
    assert base.counts() == again.counts()
    assert np.array_equal(base.memory(), again.memory())
    for batch, cap in ((1, 0), (333, 0), (0, 1)):
        request = Request(shots=4000, seed=21, memory=True, max_live_states=cap)
        other = engines.run(c, request, m, batch=batch)
        assert other.counts() == base.counts()
        assert np.array_equal(other.memory(), base.memory())
    assert vorn.run(c, 4000, seed=22, noise=m).counts() != base.counts()
    # Shot t is trajectory t: fewer shots give a prefix of the memory.
    assert np.array_equal(vorn.run(c, 100, seed=21, noise=m, memory=True).memory(), base.memory()[:100])


def test_patterns_are_shared_and_counted():
    c = _ghz(4)
    ideal = vorn.run(c, 2000, seed=1, noise=_ghz_model(0.0))
    assert ideal.distinct_paths == 1
    assert set(ideal.counts()) <= {"0000", "1111", "0001", "0010", "0100", "1000", "1110", "1101", "1011", "0111",
                                   "0011", "0101", "0110", "1001", "1010", "1100"}
    noisy = vorn.run(c, 2000, seed=1, noise=_ghz_model(0.02))
    assert 1 < noisy.distinct_paths < 2000
    assert repr(noisy).endswith(f"noisy distinct_paths={noisy.distinct_paths}>")
    with pytest.raises(ValueError, match="no single state"):
        noisy.statevector()


def test_unused_gate_names_warn_once_per_model():
    m = _ghz_model(0.01)
    m.add_all_qubit_error(vn.depolarizing(0.01, 1), "sx")
    with pytest.warns(vn.NoiseWarning, match=r"\['sx'\]"):
        vorn.run(_ghz(2), 10, seed=1, noise=m)
    vorn.run(_ghz(2), 10, seed=1, noise=m)  # no second warning (warnings are errors here)


def test_noise_refusals_name_the_problem():
    c, m = _ghz(2), _ghz_model(0.01)
    h = PauliSum.from_list([("ZZ", 1.0)])
    with pytest.raises(ValueError, match="value_and_grad does not take noise"):
        vorn.value_and_grad(c, h, [], noise=m)
    with pytest.raises(ValueError, match="seed= applies only with noise= or trajectories="):
        vorn.expval(c, h, seed=10)
    # Trajectories of a circuit without noise or mid-circuit measurements all end in its one state.
    means, errors = vorn.expval(c, h, trajectories=10, seed=1)
    assert means[0] == pytest.approx(vorn.expval(c, h)[0], abs=1e-14) and errors[0] == pytest.approx(0, abs=1e-7)
    with pytest.raises(ValueError, match="at least 2"):
        vorn.expval(c, h, noise=m, trajectories=1)
    # Fusion fuses within each run of gates between channels: the same distribution, the same bits on any threads.
    fused = vorn.run(c, 4000, seed=2, noise=m, fusion=True, memory=True, threads=1)
    assert np.array_equal(fused.memory(), vorn.run(c, 4000, seed=2, noise=m, fusion=True, memory=True,
                                                   threads=2).memory())
    exact = vorn.run(c, 4000, seed=2, noise=m).counts()
    assert sum(abs(fused.counts().get(k, 0) - exact.get(k, 0)) for k in set(exact) | set(fused.counts())) < 400
    with pytest.raises(TypeError, match="NoiseModel"):
        vorn.run(c, 10, noise={"h": 0.1})
    far = vn.NoiseModel()
    far.add_error(vn.depolarizing(0.1, 1), "h", [5])
    vorn.run(c, 10, seed=1, noise=far)  # an error on qubits the circuit lacks never applies
    # A noisy measurement into clbits beyond 64 cannot be recorded.
    wide = Circuit(1, 65)
    wide.measure(0, 64)
    with pytest.raises(ValueError, match="64 clbits"):
        vorn.run(wide, 10, noise=far)


def test_a_noisy_run_ends_at_its_timeout():
    c = Circuit(14, 14)
    for _ in range(40):
        for q in range(14):
            c.ry(0.3, q)
    c.measure(range(14), range(14))
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.amplitude_damping(0.3), "ry")  # nearly every shot its own pattern
    with pytest.raises(TimeoutError, match="timeout"):
        vorn.run(c, 100_000, seed=1, noise=m, timeout=0.2)


def _density_matrix(c: Circuit, model: vn.NoiseModel) -> np.ndarray:
    """The exact final density matrix of a circuit of gates under a model
    (errors after gates, Kraus sums): the NumPy reference."""
    n = c.num_qubits
    rho = np.zeros((2**n, 2**n), dtype=complex)
    rho[0, 0] = 1

    def lift(matrix: np.ndarray, qubits: tuple[int, ...]) -> np.ndarray:
        full = np.zeros((2**n, 2**n), dtype=complex)
        for i in range(2**n):
            for j in range(2**n):
                if all((i >> q) & 1 == (j >> q) & 1 for q in range(n) if q not in qubits):
                    a = sum(((i >> q) & 1) << k for k, q in enumerate(qubits))
                    b = sum(((j >> q) & 1) << k for k, q in enumerate(qubits))
                    full[i, j] = matrix[a, b]
        return full

    for ins in c.data:
        if ins.name in ("measure", "barrier"):
            continue
        u = lift(_gate_matrix(ins), ins.qubits)
        rho = u @ rho @ u.conj().T
        for error in model._errors_on(ins.name, tuple(ins.qubits)):
            ks = [lift(k, ins.qubits) for k in error.kraus_operators()]
            rho = sum(k @ rho @ k.conj().T for k in ks)
    return rho


@pytest.mark.scipy
def test_counts_match_the_exact_density_matrix_without_an_oracle_toolkit():
    c = Circuit(3, 3)
    c.ry(0.9, 0)
    c.h(1)
    c.cx(1, 2)
    c.rx(1.3, 2)
    c.cx(0, 1)
    c.measure([0, 1, 2], [0, 1, 2])
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.thermal_relaxation(20, 15, 2), ["ry", "h", "rx"])
    m.add_all_qubit_error(vn.pauli([("II", 0.9), ("XZ", 0.06), ("YI", 0.04)]), "cx")
    m.add_readout_error(vn.readout([[0.9, 0.1], [0.25, 0.75]]), 2)
    expected = key_probabilities(np.diag(_density_matrix(c, m)), m, 3)
    counts = vorn.run(c, SHOTS, seed=0, noise=m).counts()
    assert chi_square_p(counts, expected, SHOTS) > 1e-3


def test_expval_mean_within_five_standard_errors_of_the_exact_value():
    c = Circuit(2)
    c.h(0)
    c.cx(0, 1)
    c.ry(0.4, 1)
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.phase_damping(0.3), "h")
    m.add_all_qubit_error(vn.kraus([np.kron(k, np.eye(2)) for k in vn.amplitude_damping(0.2).operators]), "cx")
    obs = [PauliSum.from_list([("XX", 1.0), ("ZI", 0.5)]), PauliSum.from_list([("YY", -1.0)])]
    rho = _density_matrix(c, m)
    exact = [float(np.real(np.trace(rho @ _pauli_sum_matrix(h)))) for h in obs]
    means, errors = vorn.expval(c, obs, noise=m, trajectories=4000, seed=3)
    assert means.shape == errors.shape == (2,)
    assert np.all(errors > 0)
    assert np.all(np.abs(means - exact) < 5 * errors)
    again = vorn.expval(c, obs, noise=m, trajectories=4000, seed=3, threads=1)
    assert np.array_equal(again[0], means) and np.array_equal(again[1], errors)


def _pauli_sum_matrix(h: PauliSum) -> np.ndarray:
    total = 0
    for label, coeff in h.to_list():
        total = total + coeff * _pauli_matrix(label)
    return total


# ---- with the dynamic-circuit engine --------------------------------------------------------


def _dynamic_circuit() -> Circuit:
    c = Circuit(3, 3)
    c.h(0)
    c.cx(0, 1)
    c.measure(0, 0)
    with c.if_test((0, 1)):
        c.x(2)
    c.reset(0)
    c.ry(0.8, 0)
    c.cx(1, 2)
    c.measure([0, 1, 2], [0, 1, 2])
    return c


def _dynamic_model() -> vn.NoiseModel:
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.depolarizing(0.1, 1), ["h", "x", "ry"])
    m.add_all_qubit_error(vn.depolarizing(0.08, 2), "cx")
    m.add_all_qubit_error(vn.amplitude_damping(0.15), "reset")
    m.add_readout_error(vn.readout([[0.9, 0.1], [0.2, 0.8]]), 0)
    return m


def test_noise_composes_with_measurement_reset_and_conditions_reproducibly():
    c, m = _dynamic_circuit(), _dynamic_model()
    a = vorn.run(c, 3000, seed=8, noise=m, memory=True)
    b = vorn.run(c, 3000, seed=8, noise=m, memory=True, threads=1)
    assert a.counts() == b.counts() and np.array_equal(a.memory(), b.memory())
    assert sum(a.counts().values()) == 3000
    # With noise off, the noisy engine agrees in distribution with the plain branching run.
    off = vorn.run(c, 3000, seed=8, noise=vn.NoiseModel()).counts()
    assert set(off) == set(vorn.run(c, 3000, seed=8).counts())


@pytest.mark.qiskit
@pytest.mark.scipy
def test_dynamic_noisy_counts_match_aer_density_matrix():
    aer = pytest.importorskip("qiskit_aer")
    import qiskit

    c, m = _dynamic_circuit(), _dynamic_model()
    aer_model = _aer_model_of(m)
    sim = aer.AerSimulator(method="density_matrix", noise_model=aer_model, seed_simulator=4)
    qc = qiskit.transpile(vorn.to_qiskit(c), sim, optimization_level=0)
    theirs = sim.run(qc, shots=30_000).result().get_counts()  # Aer runs each shot of it: fewer
    ours = vorn.run(c, SHOTS, seed=4, noise=m).counts()
    keys = sorted(set(ours) | set(theirs))
    table = np.array([[ours.get(k, 0) for k in keys], [theirs.get(k, 0) for k in keys]])
    table = table[:, table.sum(axis=0) >= 10]
    assert stats().chi2_contingency(table)[1] > 1e-3


def _aer_model_of(m: vn.NoiseModel):
    """The Aer model of a vorn model of all-qubit and per-qubit errors (the test oracle's side)."""
    from qiskit_aer import noise as an

    out = an.NoiseModel()
    for name, errors in m._all.items():
        for e in errors:
            out.add_all_qubit_quantum_error(an.kraus_error(e.kraus_operators()), name)
    for (name, qubits), errors in m._local.items():
        for e in errors:
            out.add_quantum_error(an.kraus_error(e.kraus_operators()), name, list(qubits))
    for q, r in m._readout.items():
        out.add_readout_error(an.ReadoutError(r.probabilities), [q])
    if m._readout_all is not None:
        out.add_all_qubit_readout_error(an.ReadoutError(m._readout_all.probabilities))
    return out


def _random_circuit(rng: np.random.Generator, n: int, depth: int) -> Circuit:
    c = Circuit(n, n)
    c.x(1)  # every gate name of the model used (an unused one warns)
    for _ in range(depth):
        kind = rng.integers(4)
        q = int(rng.integers(n))
        if kind == 0:
            c.sx(q)
        elif kind == 1:
            c.rz(float(rng.uniform(0, 6.3)), q)
        elif kind == 2:
            c.x(q)
        else:
            a, b = rng.choice(n, 2, replace=False)
            c.cx(int(a), int(b))
    c.measure(range(n), range(n))
    return c


@pytest.mark.qiskit
@pytest.mark.scipy
@pytest.mark.parametrize("seed", range(3))
def test_random_noisy_circuits_match_aer_density_matrix(seed):
    aer = pytest.importorskip("qiskit_aer")
    from qiskit_aer import noise as an

    rng = np.random.default_rng(seed)
    c = _random_circuit(rng, 3, 12)
    aer_model = an.NoiseModel()
    aer_model.add_all_qubit_quantum_error(an.depolarizing_error(0.05, 1), ["sx", "x"])
    aer_model.add_all_qubit_quantum_error(an.thermal_relaxation_error(30, 25, 3), ["rz"])
    aer_model.add_all_qubit_quantum_error(an.depolarizing_error(0.1, 2).compose(
        an.pauli_error([("XI", 0.1), ("II", 0.9)])), ["cx"])
    aer_model.add_quantum_error(an.amplitude_damping_error(0.2), ["x"], [1])
    aer_model.add_readout_error(an.ReadoutError([[0.92, 0.08], [0.15, 0.85]]), [0])
    m = vn.from_qiskit(aer_model)
    qc = vorn.to_qiskit(c)
    qc.remove_final_measurements()
    qc.save_density_matrix()
    rho = aer.AerSimulator(method="density_matrix", noise_model=aer_model).run(qc).result().data()["density_matrix"]
    expected = key_probabilities(np.diag(np.asarray(rho)), m, 3)
    counts = vorn.run(c, SHOTS, seed=seed, noise=m).counts()
    assert chi_square_p(counts, expected, SHOTS) > 1e-3


@pytest.mark.qiskit
def test_from_qiskit_keeps_mixtures_as_mixtures_and_the_channels_exact():
    pytest.importorskip("qiskit_aer")
    from qiskit.quantum_info import SuperOp
    from qiskit_aer import noise as an

    errors = {
        "x": (an.depolarizing_error(0.2, 1), True),
        "y": (an.pauli_error([("X", 0.3), ("I", 0.7)]), True),
        "h": (an.amplitude_damping_error(0.3), False),
        "s": (an.phase_damping_error(0.4), True),  # its Kraus operators are multiples of I and Z
        "sx": (an.thermal_relaxation_error(40, 30, 5), False),
        "cx": (an.depolarizing_error(0.1, 2), True),
    }
    model = an.NoiseModel()
    for name, (error, _) in errors.items():
        model.add_all_qubit_quantum_error(error, name)
    model.add_all_qubit_readout_error(an.ReadoutError([[0.9, 0.1], [0.3, 0.7]]))
    ours = vn.from_qiskit(model)
    for name, (error, mixture) in errors.items():
        (converted,) = ours._all[name]
        assert converted.is_unitary_mixture == mixture, name
        assert np.allclose(_superop(converted), SuperOp(error.to_quantumchannel()).data, atol=1e-12), name
    assert ours._readout_all == vn.readout([[0.9, 0.1], [0.3, 0.7]])
    wide = an.NoiseModel()
    wide.add_all_qubit_quantum_error(an.depolarizing_error(0.1, 3), "ccx")
    with pytest.raises(NotImplementedError, match="3 qubits"):
        vn.from_qiskit(wide)


# ---- Cirq ---------------------------------------------------------------------------------


@pytest.mark.cirq
def test_from_cirq_channels_are_cirqs_channels():
    cirq = pytest.importorskip("cirq")
    channels = [cirq.depolarize(0.1), cirq.depolarize(0.2, n_qubits=2), cirq.bit_flip(0.1), cirq.phase_flip(0.3),
                cirq.amplitude_damp(0.25), cirq.phase_damp(0.4), cirq.asymmetric_depolarize(0.1, 0.2, 0.05),
                cirq.asymmetric_depolarize(error_probabilities={"XY": 0.1, "ZI": 0.2, "II": 0.7})]
    for ch in channels:
        ours = vn.from_cirq(ch)
        theirs = cirq.kraus(ch)
        n = ours.num_qubits
        # Cirq's first qubit is its matrices' most significant bit; vorn's error qubit 0 the least.
        perm = [int(format(i, f"0{n}b")[::-1], 2) for i in range(2**n)]
        theirs = [k[np.ix_(perm, perm)] for k in theirs]
        assert np.allclose(_superop(ours), sum(np.kron(k.conj(), k) for k in theirs), atol=1e-12), ch
    with pytest.raises(NotImplementedError, match="cannot convert"):
        vn.from_cirq(cirq.generalized_amplitude_damp(0.1, 0.2))


@pytest.mark.cirq
@pytest.mark.scipy
def test_from_cirq_circuit_counts_match_cirqs_density_matrix():
    cirq = pytest.importorskip("cirq")
    q = cirq.LineQubit.range(3)
    noisy = cirq.Circuit([
        cirq.H(q[0]), cirq.depolarize(0.1).on(q[0]), cirq.CNOT(q[0], q[1]),
        cirq.asymmetric_depolarize(error_probabilities={"XZ": 0.15, "II": 0.85}).on(q[0], q[1]),
        cirq.ry(0.7).on(q[2]), cirq.amplitude_damp(0.3).on(q[2]), cirq.CNOT(q[1], q[2]),
        cirq.phase_damp(0.2).on(q[1]), cirq.bit_flip(0.05).on(q[2]),
    ])
    circuit, model = vn.from_cirq(noisy + cirq.Circuit(cirq.measure(*q, key="m")))
    rho = cirq.DensityMatrixSimulator().simulate(noisy, qubit_order=q).final_density_matrix
    # Cirq's index has q0 most significant, as the register's key has q0 leftmost.
    expected = {format(i, "03b"): float(np.real(rho[i, i])) for i in range(8) if np.real(rho[i, i]) > 1e-15}
    counts = vorn.run(circuit, SHOTS, seed=2, noise=model).counts()
    assert chi_square_p(counts, expected, SHOTS) > 1e-3
    with pytest.raises(NotImplementedError, match="vorn.noise.from_cirq"):
        vorn.from_cirq(noisy)  # the plain conversion points to the noisy one
    after = cirq.Circuit([cirq.measure(q[0], key="a"), cirq.bit_flip(0.1).on(q[0])])
    with pytest.raises(NotImplementedError, match="after its measurement"):
        vn.from_cirq(after)
