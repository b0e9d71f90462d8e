# vorn.qiskit.Backend as Qiskit's tooling uses it: transpile, run, results
# laid out as Aer's (counts, memory, saved state), the backend primitives, and
# its jobs (status, result timeout, cancel).
import numpy as np
import pytest

qiskit = pytest.importorskip("qiskit")
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit.library import QFTGate, efficient_su2  # noqa: E402
from qiskit.primitives import BackendEstimatorV2, BackendSamplerV2  # noqa: E402
from qiskit.providers import JobError, JobStatus, JobTimeoutError  # noqa: E402
from qiskit.quantum_info import SparsePauliOp, Statevector  # noqa: E402

from vorn.model.circuit import GATES  # noqa: E402
from vorn.qiskit import Backend, save_statevector  # noqa: E402

pytestmark = pytest.mark.qiskit


@pytest.fixture(scope="module")
def backend():
    return Backend()


def two_registers():
    qr = QuantumRegister(3, "q")
    a, b = ClassicalRegister(2, "a"), ClassicalRegister(1, "b")
    qc = QuantumCircuit(qr, a, b)
    qc.h(0)
    qc.cx(0, 1)
    qc.ry(1.1, 2)
    qc.measure([0, 1, 2], [a[1], a[0], b[0]])
    return qc


def long_circuit():
    """Long enough (seconds) that a cancel or a timeout lands mid-run."""
    qc = QuantumCircuit(20)
    for _ in range(600):
        qc.h(range(20))
    return qc


def test_target_holds_every_table_gate_and_transpile_keeps_the_state(backend):
    names = set(backend.target.operation_names)
    for row in GATES.values():
        for class_name in row["qiskit"]:
            gate = getattr(qiskit.circuit.library, class_name)
            made = gate(*[0.1] * row["num_params"]) if row["num_qubits"] else None
            if made is not None:
                assert made.name in names, row["name"]
    assert {"mcx", "mcphase", "measure", "reset", "if_else", "delay", "unitary", "save_statevector"} <= names
    assert backend.name == "vorn" and backend.max_circuits is None
    qc = QuantumCircuit(5)
    qc.append(QFTGate(5), range(5))
    qc.mcx([0, 1, 2], 4)
    qc.rzz(0.3, 0, 4)
    native = transpile(qc, backend, optimization_level=1)
    assert set(native.count_ops()) <= names
    np.testing.assert_allclose(Statevector(native).data, Statevector(qc).data, atol=1e-10)


@pytest.mark.scipy
def test_counts_and_memory_are_laid_out_as_aers_and_follow_the_distribution(backend):
    from scipy import stats

    qc = two_registers()
    shots = 4000
    result = backend.run(qc, shots=shots, seed_simulator=7, memory=True).result()
    counts, memory = result.get_counts(), result.get_memory()
    assert len(memory) == shots and all(len(m) == 4 and m[1] == " " for m in memory)
    assert counts == {k: memory.count(k) for k in set(memory)}
    assert set(counts) <= {"0 00", "0 11", "1 00", "1 11"}
    p1 = np.sin(1.1 / 2) ** 2
    expected = np.array([(1 - p1) / 2, (1 - p1) / 2, p1 / 2, p1 / 2]) * shots
    observed = [counts.get(k, 0) for k in ("0 00", "0 11", "1 00", "1 11")]
    assert stats.chisquare(observed, expected).pvalue > 1e-4
    again = backend.run(qc, shots=shots, seed_simulator=7, memory=True).result()
    assert again.get_memory() == memory
    assert result.results[0].header["creg_sizes"] == [["a", 2], ["b", 1]]
    pair = backend.run([qc, qc], shots=shots, seed_simulator=7).result()
    assert pair.get_counts(0) == counts and pair.get_counts(1) != counts  # each circuit its own stream


def test_memory_strings_match_aers_format():
    aer = pytest.importorskip("qiskit_aer")
    qc = two_registers()
    mine = Backend().run(qc, shots=200, seed_simulator=1, memory=True).result().get_memory()
    theirs = aer.AerSimulator().run(qc, shots=200, seed_simulator=1, memory=True).result().get_memory()
    # Each of the four outcomes has probability >= 0.13: all appear in 200 shots.
    assert set(mine) == set(theirs) == {"0 00", "0 11", "1 00", "1 11"}


def test_saved_state_is_the_state_where_the_save_stands(backend):
    qc = efficient_su2(3, reps=1).assign_parameters(np.linspace(0, 2, 12))
    unitary_part = qc.copy()
    save_statevector(qc)
    qc.measure_all()
    state = backend.run(qc, shots=10).result().get_statevector()
    np.testing.assert_allclose(state.data, Statevector(unitary_part).data, atol=1e-12)
    middle = unitary_part.copy()
    save_statevector(middle)
    middle.h(0)
    middle.cx(0, 2)
    saved = backend.run(middle, shots=0).result().get_statevector()
    np.testing.assert_allclose(saved.data, Statevector(unitary_part).data, atol=1e-12)
    after = QuantumCircuit(1, 1)
    after.measure(0, 0)
    save_statevector(after)
    after.h(0)
    with pytest.raises(ValueError, match="after a measurement"):
        backend.run(after).result()


def test_aers_save_statevector_instruction_is_taken_by_name(backend):
    pytest.importorskip("qiskit_aer")
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.cx(0, 1)
    state = Statevector(qc)
    qc.save_statevector()  # Aer's method and instruction
    np.testing.assert_allclose(backend.run(qc).result().get_statevector().data, state.data, atol=1e-12)


def test_backend_primitives_run_on_it(backend):
    ansatz = efficient_su2(3, reps=1)
    params = np.random.default_rng(3).uniform(-2, 2, (2, ansatz.num_parameters))
    h = SparsePauliOp(["ZZI", "XIX", "IYY"], [1.0, 0.5, -0.5])
    estimate = BackendEstimatorV2(backend=backend, options={"seed_simulator": 5}).run(
        [(ansatz, h, params)], precision=0.02).result()[0]
    exact = [Statevector(ansatz.assign_parameters(p)).expectation_value(h).real for p in params]
    assert estimate.data.evs.shape == (2,)
    # 2500 shots per basis: each value within 5 standard errors (sum of |coeff| / sqrt(shots)).
    np.testing.assert_allclose(estimate.data.evs, exact, atol=5 * 2.0 / 50)
    measured = ansatz.measure_all(inplace=False)
    sample = BackendSamplerV2(backend=backend, options={"seed_simulator": 5}).run([(measured, params, 100)]).result()
    assert sample[0].data.meas.array.shape == (2, 100, 1)


def test_mid_circuit_measurement_and_conditions_run(backend):
    qc = QuantumCircuit(2, 2)
    qc.h(0)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    qc.measure(1, 1)
    counts = backend.run(transpile(qc, backend), shots=200, seed_simulator=2).result().get_counts()
    assert set(counts) == {"00", "11"} and sum(counts.values()) == 200


def test_job_status_result_timeout_and_cancel(backend):
    job = backend.run(two_registers(), shots=5)
    assert job.result().get_counts() and job.status() is JobStatus.DONE
    assert not job.cancel()  # nothing left to cancel
    long = backend.run(long_circuit(), shots=1)
    with pytest.raises(JobTimeoutError):
        long.result(timeout=0.05)
    assert long.status() in (JobStatus.QUEUED, JobStatus.RUNNING)
    assert long.cancel()
    with pytest.raises(JobError, match="cancelled"):
        long.result()
    assert long.status() is JobStatus.CANCELLED
    timed = backend.run(long_circuit(), shots=1, timeout=0.2)
    with pytest.raises(TimeoutError):
        timed.result()
    assert timed.status() is JobStatus.ERROR


def test_bad_input_is_refused_clearly(backend):
    with pytest.raises(ValueError, match="unknown option.*shot"):
        backend.run(two_registers(), shot=10)
    with pytest.raises(TypeError, match="QuantumCircuit"):
        backend.run(["h q[0];"])
    with pytest.raises(ValueError, match="seed_simulator"):
        backend.run(two_registers(), seed_simulator=-1)
    loop = QuantumCircuit(1, 1)
    with loop.while_loop((loop.clbits[0], 0)):
        loop.h(0)
        loop.measure(0, 0)
    job = backend.run(loop)
    with pytest.raises(NotImplementedError, match="while_loop"):
        job.result()
    assert job.status() is JobStatus.ERROR
