# What a primitive call costs besides the simulation: each circuit is
# converted and compiled once and reused while it is unchanged (a changed
# circuit is never served stale), and small jobs run without a thread,
# reporting errors at result() as Qiskit's primitives do. Qiskit's reference
# primitives are the oracle; no timing is asserted.
import threading

import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import CircuitInstruction, Parameter  # noqa: E402
from qiskit.circuit.library import RXGate, UnitaryGate, efficient_su2  # noqa: E402
from qiskit.primitives import StatevectorEstimator  # noqa: E402
from qiskit.providers import JobStatus  # noqa: E402
from qiskit.quantum_info import SparsePauliOp  # noqa: E402

from vorn.qiskit import EstimatorV2, SamplerV2  # noqa: E402
from vorn.qiskit._convert import converted  # noqa: E402

pytestmark = pytest.mark.qiskit

OBSERVABLE = SparsePauliOp(["ZZZ", "XIY", "IXX"], [1.0, 0.5, -0.7])


def unitary(a, b):
    """A one-qubit unitary (a rotation about an axis in the XZ plane, with a phase)."""
    c, s = np.cos(a), np.sin(a)
    return np.exp(1j * b) * np.array([[c, -1j * s], [-1j * s, c]]) @ np.diag([1, np.exp(1j * b)])


def assert_matches_reference(qc, values=None):
    pub = (qc, OBSERVABLE) if values is None else (qc, OBSERVABLE, values)
    expected = StatevectorEstimator().run([pub]).result()[0].data.evs
    np.testing.assert_allclose(EstimatorV2().run([pub]).result()[0].data.evs, expected, atol=1e-10)


def test_an_unchanged_circuit_is_converted_and_compiled_once():
    qc = efficient_su2(3, reps=1)
    values = np.linspace(0, 1, qc.num_parameters)
    assert_matches_reference(qc, values)
    first = converted(qc)
    assert_matches_reference(qc, values + 0.5)
    assert converted(qc) is first
    assert first.program() is first.program()
    assert converted(qc.copy()) is not first  # another circuit object: its own conversion


def test_a_circuit_changed_in_any_way_is_converted_again():
    theta = Parameter("θ")
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.rx(2 * theta, 1)
    qc.cx(0, 2)
    qc.unitary(unitary(0.4, 0.9), [2])
    assert_matches_reference(qc, [0.3])
    qc.ry(0.4, 2)  # a gate added
    assert_matches_reference(qc, [0.3])
    qc.data[1] = CircuitInstruction(RXGate(3 * theta), qc.data[1].qubits)  # an angle's expression replaced
    assert_matches_reference(qc, [0.3])
    qc.data[3] = CircuitInstruction(UnitaryGate(unitary(1.3, -0.2)), qc.data[3].qubits)  # another matrix
    assert_matches_reference(qc, [0.3])
    qc.data[2] = CircuitInstruction(qc.data[2].operation, [qc.qubits[1], qc.qubits[0]])  # operands swapped
    assert_matches_reference(qc, [0.3])
    qc.global_phase = theta  # a phase: seen by no expectation value, but a state vector would show it
    assert_matches_reference(qc, [0.3])


def test_a_control_flow_block_changed_in_place_is_seen():
    qc = QuantumCircuit(2, 1)
    qc.h(0)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    observable = SparsePauliOp("ZI")
    first = EstimatorV2().run([(qc, observable)]).result()[0].data.evs
    np.testing.assert_allclose(first, 0.0, atol=1e-12)
    body = qc.data[-1].operation.blocks[0]  # its one qubit is the circuit's qubit 1
    body.x(0)  # the block object itself, changed after the first call: x twice, qubit 1 stays |0>
    again = EstimatorV2().run([(qc, observable)]).result()[0].data.evs
    np.testing.assert_allclose(again, 1.0, atol=1e-12)


def test_small_jobs_finish_without_a_thread_and_report_errors_at_result():
    qc = efficient_su2(3, reps=1)
    values = np.zeros(qc.num_parameters)
    started = []
    original = threading.Thread.start

    def counting(self):
        started.append(self)
        return original(self)

    threading.Thread.start = counting
    try:
        job = EstimatorV2().run([(qc, OBSERVABLE, values)])
        assert job.status() is JobStatus.DONE and job.done()
        measured = qc.measure_all(inplace=False)
        sampled = SamplerV2(seed=1).run([(measured, values)], shots=10)
        assert sampled.done()
        loop = QuantumCircuit(1, 1)
        with loop.while_loop((loop.clbits[0], 0)):
            loop.h(0)
            loop.measure(0, 0)
        failing = SamplerV2().run([loop])  # the error waits for result()
        assert failing.status() is JobStatus.ERROR
    finally:
        threading.Thread.start = original
    assert started == []
    assert sampled.result()[0].data.meas.num_shots == 10
    with pytest.raises(NotImplementedError, match="while_loop"):
        failing.result()
    # A large job still runs on a thread of its own.
    wide = efficient_su2(14, reps=2)
    big = EstimatorV2().run([(wide, SparsePauliOp("Z" * 14), np.zeros((64, wide.num_parameters)))])
    assert big.result()[0].data.evs.shape == (64,)
