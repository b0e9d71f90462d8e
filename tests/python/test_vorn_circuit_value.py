# vorn.Circuit as a value (copies, equality, iteration, pickling) and the
# building methods Qiskit users reach for (compose, append, inverse, size,
# depth, count_ops, draw), checked against Qiskit where it has the same one.
import copy
import pathlib
import pickle
import tomllib

import numpy as np
import pytest

import vorn
from vorn import Circuit, ClassicalRegister, Instruction

ATOL = 1e-12


def sample(n=3, clbits=2):
    c = Circuit(n, clbits)
    c.h(0)
    c.cx(0, 1)
    c.rz(0.25, 2)
    c.mcp(0.5, [0, 1], 2)
    c.unitary(np.array([[0, 1], [1j, 0]]), [1])
    c.global_phase = 0.3
    return c


@pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy, Circuit.copy], ids=["copy", "deepcopy", "method"])
def test_copies_are_independent(make_copy):
    c = sample()
    d = make_copy(c)
    assert d == c and d is not c
    d.x(0)
    d.measure(1, 0)
    d.add_register(ClassicalRegister(1, "extra"))
    d.global_phase = 1.0
    assert len(c) == 5 and c.num_clbits == 2 and c.global_phase == pytest.approx(0.3)
    c.h(1)  # measured in the copy only: still allowed here
    assert len(c) == 6


def test_deepcopy_copies_matrices_and_keeps_them_read_only():
    c = sample()
    d = copy.deepcopy(c)
    assert d[-1].matrix is not c[-1].matrix
    assert not d[-1].matrix.flags.writeable


def test_equality_compares_every_part():
    assert sample() == sample()
    changes = [
        lambda c: c.x(0),
        lambda c: setattr(c, "global_phase", 0.31),
        lambda c: c.add_register(ClassicalRegister(1, "r")),
    ]
    for change in changes:
        other = sample()
        change(other)
        assert other != sample()
    a, b = Circuit(1), Circuit(1)
    a.unitary([[0, 1], [1, 0]], 0)
    b.unitary([[0, 1j], [1j, 0]], 0)
    assert a != b and a[0] != b[0]  # matrices by value, no ambiguous-truth error
    assert Circuit(2) != Circuit(3) and Circuit(1) != "circuit"


def test_instruction_equality_and_hash_with_matrices():
    m = np.eye(2)
    a = Instruction("unitary", (0,), (), (), m)
    b = Instruction("unitary", (0,), (), (), m.copy())
    assert a == b and not (a != b) and hash(a) == hash(b)
    assert a != Instruction("unitary", (0,), (), (), np.diag([1, -1]))
    assert a != Instruction("unitary", (0,), (), (), None)
    assert len({a, b, Instruction("h", (0,))}) == 2


def test_iteration_and_indexing_yield_the_instructions():
    c = sample()
    assert list(c) == c.data
    assert c[0] == Instruction("h", (0,)) and c[-1].name == "unitary"
    assert c[1:3] == c.data[1:3]


def test_pickle_round_trip_keeps_everything_and_gates_after_a_measurement():
    c = sample()
    c.measure(2, 1)
    back = pickle.loads(pickle.dumps(c))
    assert back == c and back.cregs == c.cregs
    assert not back[4].matrix.flags.writeable
    np.testing.assert_array_equal(vorn.statevector(back), vorn.statevector(c))
    back.h(2)  # a gate after the measurement of its qubit: a dynamic circuit now
    c.h(2)
    assert back == c


def test_repr_stays_short_for_large_circuits():
    c = Circuit(5)
    for _ in range(100_000):
        c.h(0)
    assert len(repr(c)) < 100 and "100000" in repr(c)


@pytest.mark.parametrize("value", [np.complex128(1 + 2j), np.complex64(1), np.array(1 + 2j), 1j])
def test_complex_angles_are_refused_whatever_their_type(value):
    c = Circuit(1)
    with pytest.raises(TypeError, match="angle 'theta' must be a real number"):
        c.rx(value, 0)
    with pytest.raises(TypeError, match="angle 'global_phase' must be a real number"):
        c.global_phase = value
    assert len(c) == 0 and c.global_phase == 0.0
    c.rx(np.float32(0.5), 0)  # real NumPy scalars still count
    assert c[0].params == (0.5,)


def test_operand_tuples_are_shared_within_a_circuit():
    c = Circuit(3)
    for _ in range(3):
        c.cx(0, 1)
        c.h(2)
    assert c[0].qubits is c[2].qubits is c[4].qubits
    assert c[1].qubits is c[3].qubits


def test_version_is_the_projects():
    root = pathlib.Path(__file__).parents[2]
    project = tomllib.loads((root / "pyproject.toml").read_text())["project"]
    assert vorn.__version__ == project["version"]


# ---- building -------------------------------------------------------------------

def test_compose_maps_qubits_and_clbits_and_adds_phases():
    base = Circuit(3, 2)
    base.x(2)
    base.global_phase = 0.5
    part = Circuit(2, 1)
    part.h(0)
    part.cx(0, 1)
    part.measure(1, 0)
    part.global_phase = 0.25
    out = base.compose(part, qubits=[2, 0], clbits=[1])
    assert len(base) == 1  # not in place
    assert [(i.name, i.qubits, i.clbits) for i in out] == [
        ("x", (2,), ()), ("h", (2,), ()), ("cx", (2, 0), ()), ("measure", (0,), (1,))]
    assert out.global_phase == pytest.approx(0.75)
    front = base.compose(part, qubits=[1, 0], clbits=[0], front=True)
    assert [i.name for i in front] == ["h", "cx", "measure", "x"]


def test_compose_refusals_change_nothing():
    c = Circuit(2, 1)
    c.measure(0, 0)
    gate = Circuit(1)
    gate.h(0)
    c.compose(gate, inplace=True)  # after the measurement of its qubit: allowed (dynamic)
    assert len(c) == 2
    with pytest.raises(ValueError, match="compose a circuit of 3 qubits onto one of 2"):
        c.compose(Circuit(3))
    with pytest.raises(ValueError, match="names a qubit twice"):
        Circuit(3).compose(Circuit(2), qubits=[1, 1])
    with pytest.raises(IndexError, match="qubit 5 out of range"):
        Circuit(3).compose(Circuit(2), qubits=[0, 5])


def test_append_takes_instructions_and_circuits():
    c = Circuit(3, 1)
    c.append(Instruction("cx", (0, 2)))
    c.append(Instruction("rz", (0,), (0.5,)), [1])
    c.append(Instruction("mcx", (0, 1, 2)))
    sub = Circuit(1)
    sub.h(0)
    c.append(sub, [2])
    c.append(Instruction("measure", (2,), (), (0,)))
    assert [(i.name, i.qubits) for i in c] == [("cx", (0, 2)), ("rz", (1,)), ("mcx", (0, 1, 2)), ("h", (2,)),
                                               ("measure", (2,))]
    with pytest.raises(ValueError, match="'rz' takes 1 angle"):
        c.append(Instruction("rz", (0,)))
    with pytest.raises(ValueError, match="'cx' takes 2 qubit"):
        c.append(Instruction("cx", (0,)))
    with pytest.raises(ValueError, match="unknown instruction 'foo'"):
        c.append(Instruction("foo", (0,)))
    with pytest.raises(TypeError, match="Instruction or a vorn.Circuit"):
        c.append(("h", (0,)))
    with pytest.raises(IndexError):
        c.append(Instruction("h", (7,)))


def test_inverse_of_a_measured_circuit_is_refused():
    c = Circuit(1, 1)
    c.measure(0, 0)
    with pytest.raises(ValueError, match="no inverse"):
        c.inverse()


def random_circuit(seed, n=4):
    rng = np.random.default_rng(seed)
    c = Circuit(n, n)
    names = ["h", "sx", "t", "csx", "iswap", "rx", "u2", "cu", "xx_minus_yy", "dcx", "rccx", "ecr", "r"]
    for _ in range(25):
        name = names[rng.integers(len(names))]
        row = vorn.model.circuit.GATES[name]
        qubits = [int(q) for q in rng.permutation(n)[: row["num_qubits"]]]
        getattr(c, name)(*rng.uniform(-3, 3, row["num_params"]), *qubits)
        if rng.random() < 0.2:
            c.barrier(qubits)
    q, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
    c.unitary(q, [n - 1, 1])
    c.global_phase = 0.7
    return c


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", [1, 2])
def test_inverse_and_summaries_match_qiskit(seed):
    pytest.importorskip("qiskit")
    from qiskit.quantum_info import Operator

    c = random_circuit(seed)
    inv = c.inverse()
    np.testing.assert_allclose(Operator(vorn.to_qiskit(inv)).data, Operator(vorn.to_qiskit(c).inverse()).data,
                               rtol=0, atol=ATOL)
    c.measure([0, 2], [1, 0])
    qc = vorn.to_qiskit(c)
    assert c.size() == qc.size() and c.depth() == qc.depth()
    assert c.count_ops() == dict(qc.count_ops())
    assert list(c.count_ops().values()) == sorted(c.count_ops().values(), reverse=True)


@pytest.mark.qiskit
def test_compose_matches_qiskit():
    pytest.importorskip("qiskit")
    from qiskit.quantum_info import Operator

    a, b = random_circuit(3), random_circuit(4, n=3)
    for front in (False, True):
        mine = vorn.to_qiskit(a.compose(b, qubits=[2, 0, 3], front=front))
        theirs = vorn.to_qiskit(a).compose(vorn.to_qiskit(b), qubits=[2, 0, 3], front=front)
        np.testing.assert_allclose(Operator(mine).data, Operator(theirs).data, rtol=0, atol=ATOL)


def test_draw_shows_every_qubit_and_instruction():
    c = Circuit(3, 1)
    c.h(0)
    c.cx(0, 2)
    c.rz(0.5, 1)
    c.measure(2, 0)
    lines = c.draw().splitlines()
    wires = [line for line in lines if line.startswith("q")]
    assert [w.split(":")[0] for w in wires] == ["q0", "q1", "q2"]
    assert "h" in wires[0] and "■" in wires[0] and "X" in wires[2] and "M→0" in wires[2]
    assert "rz(0.5)" in wires[1]
    # cx spans q1 with a link, so rz moves to a later column than the cx
    assert wires[1].index("rz") > wires[0].index("■")
    assert Circuit(0).draw() == ""
