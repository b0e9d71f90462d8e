# Qiskit circuits transpiled for a device name every qubit of the device: vorn
# simulates only the qubits some instruction acts on and gives results in the
# circuit's own numbering (counts, memory, widened states, observables on
# idle qubits, per-qubit noise), through vorn.run/statevector/expval and the
# vorn.qiskit primitives and backend, with Aer and Qiskit's reference
# primitives as oracles.
import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.providers.fake_provider import GenericBackendV2  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402
from qiskit.transpiler import generate_preset_pass_manager  # noqa: E402

import vorn  # noqa: E402
from vorn import noise as vn  # noqa: E402
from vorn.qiskit import Backend, EstimatorV2, SamplerV2  # noqa: E402

pytestmark = pytest.mark.qiskit

WIDE = 127
THETA = Parameter("θ")


def small(measured=True):
    """Three qubits, two registers read out of order, one parameter."""
    qr = QuantumRegister(3, "q")
    a, b = ClassicalRegister(2, "a"), ClassicalRegister(1, "b")
    qc = QuantumCircuit(qr, a, b)
    qc.h(0)
    qc.cx(0, 1)
    qc.ry(THETA, 2)
    qc.cx(2, 1)
    qc.rz(0.4, 1)
    if measured:
        qc.measure([0, 1, 2], [a[1], b[0], a[0]])
    return qc


def dynamic():
    qc = QuantumCircuit(3, 3)
    qc.h(0)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(2)
    qc.ry(0.7, 1)
    qc.reset(0)
    qc.h(0)
    qc.measure([0, 1, 2], [0, 1, 2])
    return qc


def spread(qc, places, width=WIDE):
    """``qc`` on qubits ``places`` of a ``width``-qubit circuit (clbits as
    they are), with a barrier across every qubit, as a device's layout
    leaves it."""
    wide = QuantumCircuit(QuantumRegister(width, "q"), *qc.cregs)
    wide.barrier()
    wide.compose(qc, qubits=list(places), inplace=True)
    return wide


def test_a_wide_circuit_gives_the_narrow_circuits_outcomes_bit_for_bit():
    # Qubits kept in ascending order: the simulated circuit is the narrow one.
    for qc in (small().assign_parameters([1.1]), dynamic()):
        wide = spread(qc, [17, 64, 126])
        mine = vorn.run(wide, 500, seed=3, memory=True)
        narrow = vorn.run(qc, 500, seed=3, memory=True)
        assert mine.get_memory() == narrow.get_memory()
        assert mine.counts() == narrow.counts()
        np.testing.assert_array_equal(mine.memory(), narrow.memory())
        assert vorn.required_memory(wide, 500, memory=True) == vorn.required_memory(qc, 500, memory=True)
        sampled = SamplerV2(seed=5).run([wide], shots=300).result()[0].data
        reference = SamplerV2(seed=5).run([qc], shots=300).result()[0].data
        for name in sampled:
            np.testing.assert_array_equal(sampled[name].array, reference[name].array)
        job = Backend().run(wide, shots=300, seed_simulator=2, memory=True).result()
        assert job.get_memory() == Backend().run(qc, shots=300, seed_simulator=2, memory=True).result().get_memory()


def test_parameter_sweeps_of_a_wide_circuit_bind_as_the_narrow_ones():
    wide = spread(small(), [3, 90, 100])
    values = np.array([[0.3], [2.2], [-1.0]])
    mine = SamplerV2(seed=8).run([(wide, values)], shots=200).result()[0].data
    narrow = SamplerV2(seed=8).run([(small(), values)], shots=200).result()[0].data
    np.testing.assert_array_equal(mine.a.array, narrow.a.array)
    np.testing.assert_array_equal(mine.b.array, narrow.b.array)
    runs = vorn.run(wide, 100, seed=1, params=values, memory=True)
    assert [r.get_memory() for r in runs] == [r.get_memory() for r in vorn.run(small(), 100, seed=1, params=values,
                                                                                   memory=True)]


@pytest.fixture(scope="module")
def device16():
    return GenericBackendV2(16, seed=11)


def transpiled(backend, qc, layout):
    pm = generate_preset_pass_manager(optimization_level=1, backend=backend, initial_layout=layout,
                                      seed_transpiler=5)
    return pm.run(qc)


def test_the_state_of_a_transpiled_circuit_is_widened_to_every_qubit_as_qiskit_gives_it(device16):
    # Qubits out of order and apart: the widened state puts each amplitude
    # where Qiskit's full-width Statevector has it.
    tq = transpiled(device16, small(measured=False).assign_parameters([0.9]), [9, 2, 5])
    assert tq.num_qubits == 16
    expected = Statevector(tq).data
    np.testing.assert_allclose(vorn.statevector(tq), expected, atol=1e-10)
    result = vorn.run(tq, shots=10, seed=1)
    np.testing.assert_allclose(result.statevector(), expected, atol=1e-10)
    np.testing.assert_allclose(result.probabilities(), np.abs(expected) ** 2, atol=1e-10)
    with_measure = transpiled(device16, small().assign_parameters([0.9]), [9, 2, 5])
    np.testing.assert_allclose(vorn.run(with_measure, shots=10, seed=1).statevector(), expected, atol=1e-10)
    single = vorn.statevector(tq, precision="single")
    assert single.dtype == np.complex64 and single.size == 1 << 16
    np.testing.assert_allclose(single, expected, atol=1e-5)


def test_a_device_wide_circuit_samples_as_aer_samples_it():
    aer = pytest.importorskip("qiskit_aer")
    device = GenericBackendV2(WIDE, seed=11)
    tq = transpiled(device, small().assign_parameters([1.3]), [60, 61, 62])
    assert tq.num_qubits == WIDE
    shots = 4000
    expected = aer.AerSimulator().run(tq, shots=20_000, seed_simulator=1).result().get_counts()
    expected = {k: v / 20_000 for k, v in expected.items()}

    def distance(counts):
        keys = set(counts) | set(expected)
        return 0.5 * sum(abs(counts.get(k, 0) / shots - expected.get(k, 0.0)) for k in keys)

    counts = vorn.run(tq, shots, seed=2).counts()
    assert set(counts) <= set(expected) and distance(counts) < 0.04
    assert distance(Backend().run(tq, shots=shots, seed_simulator=2).result().get_counts()) < 0.04
    data = SamplerV2(seed=2).run([tq], shots=shots).result()[0].data
    joined = data.b.get_counts()
    assert sum(joined.values()) == shots
    both = {}
    for a_bits, b_bits in zip(data.a.get_bitstrings(), data.b.get_bitstrings()):
        key = f"{b_bits} {a_bits}"
        both[key] = both.get(key, 0) + 1
    assert distance(both) < 0.04


def test_observables_on_idle_qubits_read_them_in_zero():
    qc = small(measured=False)
    places = [40, 7, 99]  # out of order
    wide = spread(qc, places)
    idle_a, idle_b = 0, 126
    terms = [
        ("ZXY", [places[0], places[1], places[2]], 0.7),   # active only
        ("ZZ", [idle_a, places[1]], -1.2),                 # Z on an idle qubit: 1 there
        ("XZ", [idle_b, places[0]], 5.0),                  # X on an idle qubit: 0
        ("YY", [idle_a, places[2]], 3.0),                  # Y on an idle qubit: 0
        ("ZZ", [idle_a, idle_b], 0.25),                    # only idle qubits: 0.25 always
    ]
    observable = SparsePauliOp.from_sparse_list(terms, WIDE)
    # The reference: the narrow circuit with two more qubits in |0> standing for the idle ones.
    reference_qc = QuantumCircuit(5)
    reference_qc.compose(qc, [0, 1, 2], inplace=True)
    where = {places[i]: i for i in range(3)} | {idle_a: 3, idle_b: 4}
    reference_op = SparsePauliOp.from_sparse_list([(s, [where[q] for q in qs], c) for s, qs, c in terms], 5)
    values = np.array([[0.2], [1.7], [-2.5]])
    expected = StatevectorEstimator().run([(reference_qc, reference_op, values)]).result()[0].data.evs
    mine = EstimatorV2().run([(wide, observable, values)]).result()[0].data.evs
    np.testing.assert_allclose(mine, expected, atol=1e-10)
    np.testing.assert_allclose(vorn.expval(wide, observable, params=values)[:, 0], expected, atol=1e-10)
    bound = wide.assign_parameters([0.2])
    np.testing.assert_allclose(vorn.expval(bound, [observable, SparsePauliOp("I" * WIDE)]), [expected[0], 1.0],
                               atol=1e-10)
    # A Qiskit 1 style {label: coeff} observable reads the same way.
    label = ["I"] * WIDE
    label[WIDE - 1 - idle_a], label[WIDE - 1 - places[1]] = "Z", "Z"
    as_dict = EstimatorV2().run([(bound, {"".join(label): 1.0})]).result()[0].data.evs
    expected_zz = StatevectorEstimator().run([(reference_qc.assign_parameters([0.2]), "IZIZI")]).result()[0].data.evs
    np.testing.assert_allclose(as_dict, expected_zz, atol=1e-10)


def test_a_dynamic_device_circuit_has_its_exact_expectation_on_the_active_qubits():
    qc = dynamic().remove_final_measurements(inplace=False)
    wide = spread(qc, [5, 6, 120])
    observable = SparsePauliOp.from_sparse_list([("ZZ", [6, 120], 1.0), ("Z", [7], 2.0), ("X", [5], 1.0)], WIDE)
    narrow = SparsePauliOp.from_sparse_list([("ZZ", [1, 2], 1.0), ("X", [0], 1.0)], 3)
    expected = vorn.expval(qc, narrow)[0] + 2.0
    np.testing.assert_allclose(vorn.expval(wide, observable), [expected], atol=1e-12)
    np.testing.assert_allclose(EstimatorV2().run([(wide, observable)]).result()[0].data.evs, expected, atol=1e-12)


def test_per_qubit_noise_moves_with_the_qubits_it_was_given_for():
    qc = QuantumCircuit(3, 3)
    qc.x([0, 1, 2])
    qc.measure([0, 1, 2], [0, 1, 2])
    places = [11, 50, 90]
    wide = spread(qc, places)
    flip = vn.pauli([("X", 1.0)])  # undoes the x it follows
    model = vn.NoiseModel()
    model.add_error(flip, "x", [50])
    model.add_readout_error(vn.readout([[0, 1], [1, 0]]), 90)  # always misread
    model.add_error(flip, "x", [3])  # an idle qubit of the wide circuit: never acts
    counts = vorn.run(wide, 50, seed=1, noise=model).counts()
    assert counts == {"001": 50}
    # The same errors given for the narrow circuit's qubits: the same trajectories.
    wide_model, narrow_model = vn.NoiseModel(), vn.NoiseModel()
    for m, (q1, q2) in ((wide_model, (50, 90)), (narrow_model, (1, 2))):
        m.add_all_qubit_error(vn.depolarizing(0.2, 1), "h")
        m.add_error(vn.amplitude_damping(0.3), "ry", [q2])
        m.add_error(vn.depolarizing(0.1, 2), "cx", [q2, q1])
        m.add_readout_error(vn.readout([[0.9, 0.1], [0.2, 0.8]]), q1)
    qc = small().assign_parameters([0.5])
    assert (vorn.run(spread(qc, places), 300, seed=4, noise=wide_model, memory=True).get_memory()
            == vorn.run(qc, 300, seed=4, noise=narrow_model, memory=True).get_memory())


def too_wide():
    qc = QuantumCircuit(WIDE, 1)
    qc.h(range(40, 80))
    qc.measure(40, 0)
    return qc


def test_a_circuit_too_wide_even_on_its_active_qubits_names_that_width_everywhere():
    qc = too_wide()
    observable = SparsePauliOp.from_sparse_list([("Z", [41], 1.0)], WIDE)
    calls = [
        lambda: vorn.run(qc, 10),
        lambda: vorn.statevector(qc),
        lambda: vorn.expval(qc, observable),
        lambda: SamplerV2().run([qc], shots=10).result(),
        lambda: EstimatorV2().run([(qc.remove_final_measurements(inplace=False), observable)]).result(),
        lambda: Backend().run(qc, shots=10).result(),
    ]
    for call in calls:
        with pytest.raises(MemoryError, match="acts on 40 of its 127 qubits"):
            call()


def test_the_full_state_of_a_device_wide_circuit_is_refused_naming_width_and_memory():
    wide = spread(small().assign_parameters([0.3]), [1, 2, 3])
    result = vorn.run(wide, 10, seed=1)
    assert sum(result.counts().values()) == 10  # counts need no full state
    for call in (result.statevector, result.probabilities, lambda: vorn.statevector(wide)):
        with pytest.raises(MemoryError, match=r"127 qubits needs 2\^131 bytes.*acts on 3 of them"):
            call()


def test_an_idle_circuit_and_an_empty_one_still_run():
    qc = QuantumCircuit(WIDE, 2)
    qc.barrier()
    qc.measure(5, 1)  # a measurement makes its qubit active
    assert vorn.run(qc, 20, seed=1).counts() == {"00": 20}
    idle = QuantumCircuit(WIDE)
    idle.barrier()
    idle.delay(100, 3)
    np.testing.assert_allclose(vorn.expval(idle, SparsePauliOp.from_sparse_list([("Z", [3], 1.0)], WIDE)), [1.0])
