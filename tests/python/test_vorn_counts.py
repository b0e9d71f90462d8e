# Counts: Qiskit's key format (clbit 0 rightmost, registers separated by a
# space, last register leftmost), ascending keys, the clbit map (last
# measurement wins, unmeasured clbits read 0) and runs without sampling.
import numpy as np
import pytest

import vorn
from vorn import ClassicalRegister


def qiskit_counts(build, n_qubits, registers, shots=7):
    """get_counts of Qiskit's reference simulator for the same deterministic circuit."""
    qiskit = pytest.importorskip("qiskit")
    from qiskit.providers.basic_provider import BasicSimulator

    qc = qiskit.QuantumCircuit(qiskit.QuantumRegister(n_qubits), *[qiskit.ClassicalRegister(s, nm) for nm, s in registers])
    build(qc)
    return dict(BasicSimulator().run(qc, shots=shots, seed_simulator=1).result().get_counts())


def vorn_counts(build, n_qubits, registers, shots=7):
    c = vorn.Circuit(n_qubits)
    for name, size in registers:
        c.add_register(ClassicalRegister(size, name))
    build(c)
    return vorn.run(c, shots=shots, seed=5).counts()


def several_registers(c):
    c.x(0)
    c.x(2)
    c.measure(0, 1)
    c.measure(2, 2)
    c.measure_all()


def last_measure_wins(c):
    c.x(1)
    c.measure(0, 0)
    c.measure(1, 0)
    c.measure(1, 2)


def unmeasured_clbits(c):
    c.x(0)
    c.x(1)
    c.measure(1, 3)


def nothing_measured(c):
    c.x(1)


@pytest.mark.qiskit
@pytest.mark.parametrize(
    ("build", "n_qubits", "registers"),
    [
        (several_registers, 3, [("c", 2), ("d", 1)]),
        (last_measure_wins, 2, [("c", 3)]),
        (unmeasured_clbits, 2, [("c", 5)]),
        (nothing_measured, 2, [("c", 3)]),
        (lambda c: (c.x(1), c.measure_all()), 3, [("c", 2)]),
    ],
    ids=["several_registers", "last_measure_wins", "unmeasured_clbits", "nothing_measured", "measure_all_beside_c"],
)
def test_keys_match_qiskit_get_counts(build, n_qubits, registers):
    assert vorn_counts(build, n_qubits, registers) == qiskit_counts(build, n_qubits, registers)


def test_random_outcomes_are_sorted_and_add_up_over_registers():
    c = vorn.Circuit(4, 2)
    for q in range(4):
        c.h(q)
    c.measure(3, 0)
    c.measure(0, 1)
    c.measure_all()  # 'meas'; the h on every qubit leaves 16 equally likely outcomes
    counts = vorn.run(c, shots=4000, seed=9).counts()
    assert list(counts) == sorted(counts)
    assert sum(counts.values()) == 4000
    assert len(counts) == 16
    for key in counts:
        meas, creg = key.split(" ")
        assert len(meas) == 4 and len(creg) == 2
        assert creg == meas[-1 - 0] + meas[-1 - 3]  # c[1] = qubit 0, c[0] = qubit 3


def test_measure_all_twice_adds_a_second_register_and_a_barrier():
    c = vorn.Circuit(2)
    c.x(0)
    c.measure_all()
    c.measure_all()
    assert [r.name for r in c.cregs] == ["meas", "meas0"]
    assert [ins.name for ins in c.data] == ["x", "barrier", "measure", "measure", "barrier", "measure", "measure"]
    assert vorn.run(c, shots=3, seed=0).counts() == {"01 01": 3}


def test_measure_all_without_new_bits_uses_the_first_clbits():
    c = vorn.Circuit(2, 3)
    c.x(1)
    copy = c.measure_all(inplace=False, add_bits=False)
    assert len(c) == 1 and copy.num_clbits == 3
    assert vorn.run(copy, shots=4, seed=0).counts() == {"010": 4}


@pytest.mark.parametrize(("clbits", "shots", "want"), [(0, 10, {}), (2, 0, {}), (2, 6, {"00": 6})])
def test_runs_without_sampling(clbits, shots, want):
    c = vorn.Circuit(2, clbits)
    c.h(0)
    r = vorn.run(c, shots=shots, seed=1)
    assert r.counts() == want
    assert r.statevector().shape == (4,)


def test_results_are_read_only_and_counts_are_a_fresh_dict():
    c = vorn.Circuit(2, 2)
    c.h(0)
    c.measure([0, 1], [0, 1])
    r = vorn.run(c, shots=10, seed=3)
    r.counts().clear()
    assert sum(r.counts().values()) == 10
    for array in (r.statevector(), r.probabilities()):
        with pytest.raises(ValueError):
            array[0] = 0
    # The state is the engine's buffer adopted by NumPy, not a copy of it.
    sv = r.statevector()
    assert not sv.flags.owndata and not isinstance(sv.base, np.ndarray)
    assert sv.ctypes.data == r.statevector().ctypes.data



@pytest.mark.parametrize("qubits", [2, 8])  # a dict kept from the first call, and one kept from the second
def test_counts_changed_by_the_caller_never_reach_the_next_call(qubits):
    c = vorn.Circuit(qubits, qubits)
    for q in range(qubits):
        c.h(q)
    c.measure(list(range(qubits)), list(range(qubits)))
    r = vorn.run(c, shots=4000, seed=5)
    first = r.counts()
    want = dict(first)
    assert len(want) == 2**qubits
    first.clear()
    second = r.counts()
    assert second == want
    second["x"] = 1
    del second[next(iter(want))]
    assert r.counts() == want
    assert r.counts() is not r.counts()

def test_more_clbits_than_one_integer_holds():
    c = vorn.Circuit(3, 70)
    c.h(0)
    c.h(2)  # unmeasured: its two values merge into one key
    c.x(1)
    c.measure(0, 69)
    c.measure(0, 1)
    c.measure(1, 0)
    counts = vorn.run(c, shots=400, seed=8).counts()
    assert sorted(counts) == ["0" + "0" * 67 + "01", "1" + "0" * 67 + "11"]
    assert sum(counts.values()) == 400


# ---- marginal_counts as Qiskit's ------------------------------------------------------

@pytest.mark.qiskit
@pytest.mark.parametrize("indices", [[0, 0], [2, 0, 2], [1, 0], [0, 1, 2], [2, 1, 0, 0], [3], [3, 1, 1]])
def test_marginal_counts_follow_qiskit(indices):
    from qiskit.result import marginal_counts

    c = vorn.Circuit(4)
    c.add_register(ClassicalRegister(2, "a"))
    c.add_register(ClassicalRegister(2, "b"))
    c.h(0)
    c.cx(0, 1)
    c.h(2)
    c.x(3)
    c.measure([0, 1, 2, 3], [0, 1, 2, 3])
    r = vorn.run(c, shots=400, seed=8)
    assert r.marginal_counts(indices) == marginal_counts(r.counts(), indices)


@pytest.mark.qiskit
def test_marginal_counts_of_no_clbits_raise_as_qiskit():
    from qiskit.exceptions import QiskitError
    from qiskit.result import marginal_counts

    c = vorn.Circuit(2, 2)
    c.measure([0, 1], [0, 1])
    r = vorn.run(c, shots=10, seed=1)
    with pytest.raises(QiskitError):
        marginal_counts(r.counts(), [])
    with pytest.raises(ValueError, match="at least one clbit"):
        r.marginal_counts([])
    with pytest.raises(IndexError, match="clbit 2 out of range"):
        r.marginal_counts([0, 2])
