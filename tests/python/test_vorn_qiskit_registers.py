# Classical bits as Qiskit circuits have them: clbits outside any register,
# registers sharing clbits (ClassicalRegister(bits=...), compose of dynamic
# circuits), circuits without registers, and NumPy Generator seeds, in
# vorn.qiskit's SamplerV2, EstimatorV2 and Backend; Qiskit's reference
# sampler and Aer are the oracles.
import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
aer = pytest.importorskip("qiskit_aer")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Clbit  # noqa: E402
from qiskit.primitives import StatevectorSampler  # noqa: E402
from qiskit_aer import AerSimulator  # noqa: E402
from qiskit_aer.primitives import SamplerV2 as AerSamplerV2  # noqa: E402

import vorn  # noqa: E402
from vorn.qiskit import Backend, EstimatorV2, SamplerV2  # noqa: E402

pytestmark = pytest.mark.qiskit


def loose_and_shared():
    """Loose clbits between registers, and a register sharing clbits with
    another; each bit deterministic, so every sampler must agree exactly."""
    qr = QuantumRegister(4, "q")
    first = [Clbit(), Clbit()]
    a = ClassicalRegister(2, "a")
    qc = QuantumCircuit(qr, first, a)
    qc.add_bits([Clbit()])
    b = ClassicalRegister(bits=[a[1], first[0], qc.clbits[-1]], name="b")
    qc.add_register(b)
    qc.x([0, 2, 3])
    qc.measure([0, 1, 2, 3], [first[0], first[1], a[1], qc.clbits[-1]])
    return qc


def test_loose_and_shared_clbits_sample_as_the_reference_sampler_does():
    qc = loose_and_shared()
    reference = StatevectorSampler(seed=1).run([qc], shots=50).result()[0].data
    mine = SamplerV2(seed=1).run([qc], shots=50).result()[0].data
    assert sorted(mine) == sorted(reference) == ["a", "b"]
    for name in ("a", "b"):
        assert mine[name].get_counts() == reference[name].get_counts()
        assert mine[name].num_bits == reference[name].num_bits
    memory = Backend().run(qc, shots=20, memory=True).result()
    theirs = AerSimulator().run(qc, shots=20, memory=True).result()
    assert memory.get_counts() == theirs.get_counts() and memory.get_memory() == theirs.get_memory()
    assert vorn.run(qc, 5).counts() == {"11001": 5}  # one register of all clbits, clbit 0 rightmost


def test_registers_sharing_a_random_clbit_read_the_same_value_each_shot():
    qc = QuantumCircuit(2, 2)
    shared = ClassicalRegister(bits=[qc.clbits[1]], name="copy")
    qc.add_register(shared)
    qc.h([0, 1])
    qc.measure([0, 1], [0, 1])
    data = SamplerV2(seed=3).run([qc], shots=400).result()[0].data
    high = data.c.array[:, 0] >> 1 & 1
    np.testing.assert_array_equal(high, data.copy.array[:, 0])
    assert 150 < int(high.sum()) < 250


def test_a_composed_dynamic_circuit_conditions_on_its_own_register():
    # compose() gives the inner circuit's register to the outer circuit as a
    # register over some of its clbits: a shared register the condition reads.
    m = ClassicalRegister(2, "m")
    inner = QuantumCircuit(QuantumRegister(2), m)
    inner.h([0, 1])
    inner.measure([0, 1], m)
    with inner.if_test((m, 3)) as else_:
        inner.x(0)
    with else_:
        inner.h(1)
    inner.measure([0, 1], m)
    outer = QuantumCircuit(3, 4)
    outer.x(0)
    outer.measure(0, 0)
    outer.compose(inner, qubits=[1, 2], clbits=[1, 2], inplace=True)
    assert len(outer.cregs) == 2
    # m reads 11 with probability 1/4 (then x: final 10); else qubit 1 keeps
    # its bit and qubit 2 is made uniform.
    exact_m = {"10": 0.5, "00": 0.25, "01": 0.125, "11": 0.125}
    exact = {"c": {f"0{k}1": p for k, p in exact_m.items()}, "c0": exact_m}
    shots = 4000

    def distance(counts, probabilities):
        assert set(counts) <= set(probabilities)
        return sum(abs(counts.get(k, 0) / shots - p) for k, p in probabilities.items()) / 2

    mine = SamplerV2(seed=5).run([outer], shots=shots).result()[0].data
    theirs = AerSamplerV2(seed=5).run([outer], shots=shots).result()[0].data
    for name in ("c", "c0"):
        assert distance(mine[name].get_counts(), exact[name]) < 0.03
        assert distance(theirs[name].get_counts(), exact[name]) < 0.03  # the oracle agrees
    counted = Backend().run(outer, shots=shots, seed_simulator=2).result().get_counts()
    reference = AerSimulator().run(outer, shots=shots, seed_simulator=1).result().get_counts()
    assert set(counted) == set(reference)  # keys as Qiskit formats Aer's results for shared registers
    assert distance(counted, {k: v / shots for k, v in reference.items()}) < 0.05


def test_a_circuit_without_classical_registers_warns_as_the_reference_sampler_does():
    qc = QuantumCircuit(2)
    qc.h(0)
    with pytest.warns(UserWarning, match="no output classical registers"):
        reference = StatevectorSampler().run([qc]).result()[0].data
    with pytest.warns(UserWarning, match="no output classical registers"):
        mine = SamplerV2().run([qc]).result()[0].data
    assert len(mine) == len(reference) == 0


def test_seeds_may_be_numpy_generators():
    qc = QuantumCircuit(3)
    qc.h([0, 1, 2])
    qc.measure_all()
    sampler = SamplerV2(seed=np.random.default_rng(11))
    runs = [sampler.run([qc], shots=64).result()[0].data.meas.array for _ in range(2)]
    assert not np.array_equal(runs[0], runs[1])  # each run draws its own seed
    again = SamplerV2(seed=np.random.default_rng(11))
    for expected in runs:  # the same Generator state gives the same runs
        np.testing.assert_array_equal(again.run([qc], shots=64).result()[0].data.meas.array, expected)
    estimator = EstimatorV2(seed=np.random.default_rng(2), default_precision=0.1)
    unmeasured = qc.remove_final_measurements(inplace=False)
    first, second = (estimator.run([(unmeasured, "ZZZ")]).result()[0].data.evs for _ in range(2))
    assert first != second
    assert EstimatorV2(seed=np.random.default_rng(2), default_precision=0.1).run(
        [(unmeasured, "ZZZ")]).result()[0].data.evs == first
    with pytest.raises(TypeError, match="seed must be an integer"):
        SamplerV2(seed=np.random.default_rng)
