# Bad input to the vorn package: a clear exception naming what is wrong,
# never a crash or a silently different circuit. Also: non-finite angles are
# accepted, a run that cannot fit fails before touching memory, and the
# interpreter lock is free while a circuit runs.
import math
import threading

import numpy as np
import pytest

import vorn
from vorn import ClassicalRegister, Circuit


def circuit(n=3, m=2):
    return Circuit(n, m)


BAD_CALLS = [
    # (what, call, exception, message pattern)
    ("qubit count as text", lambda: Circuit("3"), TypeError, "num_qubits must be an integer"),
    ("negative qubit count", lambda: Circuit(-1), ValueError, "num_qubits must be >= 0"),
    ("negative clbit count", lambda: Circuit(2, -1), ValueError, "num_clbits must be >= 0"),
    ("qubit past the end", lambda: circuit().h(3), IndexError, "qubit 3 out of range: the circuit has 3 qubits"),
    ("qubit before the start", lambda: circuit().x(-4), IndexError, "qubit -4 out of range"),
    ("target past the end", lambda: circuit().cx(0, 7), IndexError, "target_qubit 7 out of range"),
    ("control past the end", lambda: circuit().mcx([0, 9], 1), IndexError, "control qubit 9 out of range"),
    ("repeated operand", lambda: circuit().cx(1, 1), ValueError, "qubit 1 is used twice in one 'cx' gate"),
    ("target among the controls", lambda: circuit().mcp(0.1, [0, 2], 2), ValueError, "qubit 2 is used twice"),
    ("float qubit", lambda: circuit().h(1.0), TypeError, "qubit must be an integer, not float"),
    ("bool qubit", lambda: circuit().h(True), TypeError, "qubit must be an integer, not bool"),
    ("controls not a list", lambda: circuit().mcx(1.5, 0), TypeError, "control_qubits must be an integer or a sequence"),
    ("angle as text", lambda: circuit().rx("0.5", 0), TypeError, "angle 'theta' must be a real number, not str"),
    ("complex angle", lambda: circuit().u(0.1, 1j, 0.2, 0), TypeError, "angle 'phi' must be a real number"),
    ("clbit past the end", lambda: circuit().measure(0, 2), IndexError, "clbit 2 out of range: the circuit has 2 clbits"),
    ("measure lists differ", lambda: circuit().measure([0, 1], [0]), ValueError, "2 qubits but 1 clbits"),
    ("not unitary", lambda: circuit().unitary([[1, 1], [0, 1]], [0]), ValueError, "not unitary to within 1e-10"),
    ("nearly unitary", lambda: circuit().unitary(np.diag([1, 1 + 1e-9]), [0]), ValueError, "not unitary"),
    ("non-finite matrix", lambda: circuit().unitary(np.diag([1, np.nan]), [0]), ValueError, r"\(1, 1\) is not finite"),
    ("matrix too small", lambda: circuit().unitary(np.eye(2), [0, 1]), ValueError, "needs a 4x4 matrix, got shape"),
    ("matrix not square", lambda: circuit().unitary(np.eye(4)[:2], [0]), ValueError, r"got shape \(2, 4\)"),
    ("matrix not numbers", lambda: circuit().unitary([["a", "b"], ["c", "d"]], [0]), ValueError, "not a complex array"),
    ("unitary on no qubits", lambda: circuit().unitary(np.eye(1), []), ValueError, "acts on 1 to"),
    ("register name taken", lambda: circuit().add_register(ClassicalRegister(1, "c")), ValueError, "'c' already exists"),
    ("negative shots", lambda: vorn.run(circuit(), shots=-1), ValueError, "shots must be >= 0"),
    ("fractional shots", lambda: vorn.run(circuit(), shots=1.5), TypeError, "shots must be an integer"),
    ("negative seed", lambda: vorn.run(circuit(), seed=-1), ValueError, "seed must be >= 0"),
    ("seed past 64 bits", lambda: vorn.run(circuit(), seed=2**64), ValueError, r"<= 18446744073709551615"),
    ("not a circuit", lambda: vorn.run("qc"), TypeError, "expected a vorn.Circuit, not str"),
    ("no qubits", lambda: vorn.statevector(Circuit(0)), ValueError, "no qubits"),
]


@pytest.mark.parametrize(("what", "call", "exc", "pattern"), BAD_CALLS, ids=[b[0] for b in BAD_CALLS])
def test_bad_input_raises_a_clear_error(what, call, exc, pattern):
    with pytest.raises(exc, match=pattern):
        call()


def test_a_refused_gate_leaves_the_circuit_unchanged():
    c = circuit()
    c.h(0)
    for bad in (lambda: c.cx(0, 0), lambda: c.ccx(0, 1, 5), lambda: c.rx("x", 0), lambda: c.measure([0, 1], [1, 2])):
        with pytest.raises((ValueError, IndexError, TypeError)):
            bad()
    assert [ins.name for ins in c.data] == ["h"]


def test_gate_after_measurement_acts_on_the_collapsed_state():
    c = circuit()
    c.h(0)
    c.measure(0, 0)
    c.barrier()
    c.x(1)
    c.measure(0, 1)  # measuring again reads the same value
    assert vorn.run(c, shots=50, seed=4).counts().keys() <= {"00", "11"}
    c.cx(0, 1)  # qubit 1 follows the collapsed qubit 0: 1 xor it
    c.unitary(np.eye(2), [0])
    c.measure(1, 1)
    counts = vorn.run(c, shots=200, seed=4).counts()
    assert counts.keys() == {"10", "01"}


def test_negative_indices_count_from_the_end_as_in_qiskit():
    c = Circuit(3, 2)
    c.x(-1)
    c.measure(-1, -2)
    assert c.data[0].qubits == (2,) and c.data[1].clbits == (0,)
    assert vorn.run(c, shots=3, seed=0).counts() == {"01": 3}


def test_numpy_integers_are_accepted_as_operands():
    c = Circuit(2)
    c.cx(np.int64(0), np.uint8(1))
    assert c.data[0].qubits == (0, 1)


@pytest.mark.parametrize("angle", [math.nan, math.inf, -math.inf])
def test_non_finite_angles_are_accepted_and_run(angle):
    c = Circuit(2, 2)
    c.h(0)
    c.rx(angle, 1)
    c.u(0.3, angle, 0.2, 1)
    assert np.isnan(vorn.statevector(c)[2:]).all()
    assert np.isnan(vorn.run(c, shots=10, seed=0).statevector()[2:]).all()  # nothing measured
    # Such a state cannot be sampled: an error, not every shot on the last outcome.
    c.measure([0, 1], [0, 1])
    with pytest.raises(ValueError, match="not all finite"):
        vorn.run(c, shots=10, seed=0)
    assert np.isnan(vorn.run(c, shots=0, seed=0).statevector()[2:]).all()


@pytest.mark.parametrize("n", [36, 58, 59, 64, 1000])
def test_too_many_qubits_is_a_memory_error_before_any_allocation(n):
    c = Circuit(n)
    c.h(0)
    with pytest.raises(MemoryError):
        vorn.statevector(c)


def test_the_interpreter_lock_is_free_while_a_circuit_runs():
    c = Circuit(20)
    for layer in range(6):
        for q in range(20):
            c.rx(0.1 * layer + q, q)
    done = threading.Event()
    worker = threading.Thread(target=lambda: (vorn.statevector(c), done.set()))
    ticks = 0
    worker.start()
    while not done.is_set():
        ticks += 1
    worker.join()
    # A held lock would leave this loop a handful of turns (one per switch interval).
    assert ticks > 1000
