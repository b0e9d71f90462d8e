"""Dynamic circuits through Qiskit (Aer as the oracle), Cirq and OpenQASM 2:
reset, mid-circuit measurement and conditions converted both ways."""

import numpy as np
import pytest

import vorn
import vorn.qasm2 as qasm2
from vorn import Circuit, ClassicalRegister

from test_vorn_dynamic import chi_square_p, exact_distribution, random_dynamic


def stats():
    """scipy.stats, imported by the tests that use it (they carry the scipy
    marker: importing SciPy leaks at exit, which the sanitizer run reports)."""
    from scipy import stats as scipy_stats

    return scipy_stats



@pytest.fixture(scope="module")
def aer():
    pytest.importorskip("qiskit")
    return pytest.importorskip("qiskit_aer")


def aer_counts(aer, qc, shots, seed):
    import qiskit

    # Shot branching: Aer's own way of running many shots of a dynamic circuit.
    sim = aer.AerSimulator(method="statevector", seed_simulator=seed, shot_branching_enable=True)
    # Gates inside control flow must be Aer's own: translated first, without optimisation.
    qc = qiskit.transpile(qc, sim, optimization_level=0)
    return sim.run(qc, shots=shots).result().get_counts()


def key_chi_square(ours, theirs):
    """Two-sample chi-square p-value over the union of keys."""
    keys = sorted(set(ours) | set(theirs))
    table = np.array([[ours.get(k, 0) for k in keys], [theirs.get(k, 0) for k in keys]])
    table = table[:, table.sum(axis=0) >= 10] if table.shape[1] > 1 else table
    if table.shape[1] < 2:
        return 1.0
    return float(stats().chi2_contingency(table)[1])


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", range(8))
def test_random_dynamic_circuits_agree_with_aer(aer, seed):
    rng = np.random.default_rng(100 + seed)
    n = 2 + (seed * 5) % 11  # 2 to 12 qubits
    c = random_dynamic(rng, n, 3, 12 + 2 * n)
    qc = vorn.to_qiskit(c)
    shots = 100_000
    ours = vorn.run(c, shots=shots, seed=seed).counts()
    theirs = aer_counts(aer, qc, shots, seed)
    assert sum(ours.values()) == shots
    assert key_chi_square(ours, theirs) > 1e-3


@pytest.mark.qiskit
def test_qiskit_round_trip_of_reset_measure_and_if_else(aer):
    import qiskit

    qr = qiskit.QuantumRegister(3)
    cr = qiskit.ClassicalRegister(2, "c")
    flag = qiskit.ClassicalRegister(1, "d")
    qc = qiskit.QuantumCircuit(qr, cr, flag)
    qc.h(0)
    qc.measure(0, 0)
    qc.reset(0)
    with qc.if_test((cr, 1)) as else_:
        qc.x(1)
        with qc.if_test((qc.clbits[0], 1)):
            qc.h(2)
    with else_:
        qc.z(1)
    qc.measure(1, 2)
    qc.measure(2, 1)
    c = vorn.from_qiskit(qc)
    assert [i.name for i in c] == ["h", "measure", "reset", "if_else", "measure", "measure"]
    block = c[3]
    assert block.condition == (ClassicalRegister(2, "c"), 1)
    assert block.true_body[1].condition == (0, 1) and [i.name for i in block.false_body] == ["z"]
    back = vorn.to_qiskit(c)
    assert vorn.from_qiskit(back) == c
    ours = vorn.run(c, shots=50_000, seed=1).counts()
    assert key_chi_square(ours, aer_counts(aer, qc, 50_000, 1)) > 1e-3
    assert key_chi_square(ours, aer_counts(aer, back, 50_000, 2)) > 1e-3


@pytest.mark.qiskit
def test_qiskit_condition_on_part_of_a_register_reads_those_clbits():
    # Registers sharing clbits become one register of all the clbits; the
    # condition on the part reads its clbit (it was refused before).
    import qiskit

    whole = qiskit.ClassicalRegister(2, "c")
    part = qiskit.ClassicalRegister(bits=[whole[1]], name="part")
    qc = qiskit.QuantumCircuit(qiskit.QuantumRegister(2), whole)
    qc.add_register(part)
    qc.h(0)
    qc.measure(0, whole[1])
    with qc.if_test((part, 1)) as else_:
        qc.x(1)
    with else_:
        qc.h(1)
    qc.measure(1, whole[0])
    counts = vorn.run(qc, 4000, seed=1).counts()
    assert [r.name for r in vorn.from_qiskit(qc).cregs] == ["c"]
    assert set(counts) == {"11", "00", "01"}
    assert abs(counts["11"] / 4000 - 0.5) < 0.04 and abs(counts["00"] / 4000 - 0.25) < 0.04


@pytest.mark.cirq
def test_cirq_reset_mid_circuit_measurement_and_classical_control():
    cirq = pytest.importorskip("cirq")
    q0, q1, q2 = cirq.LineQubit.range(3)
    circuit = cirq.Circuit(
        cirq.H(q0),
        cirq.measure(q0, key="m"),
        cirq.X(q1).with_classical_controls("m"),
        cirq.ResetChannel().on(q0),
        cirq.H(q2),
        cirq.measure(q2, q0, key="w"),  # a two-qubit key: holds when not 00
        cirq.X(q0).with_classical_controls("w", "m"),
        cirq.measure(q1, q0, key="z"),
    )
    c = vorn.from_cirq(circuit)
    assert "reset" in c.count_ops() and c.count_ops()["if_else"] == 2
    shots = 4000
    ours = vorn.run(c, shots=shots, seed=4).counts()
    exact = exact_distribution(c)
    # As Cirq: z's first qubit q1 is its leftmost character; z reads 11 only
    # when m = 1 and w's first qubit q2 read 1 (probability 1/4), 10 when m = 1 otherwise.
    theirs = cirq.Simulator(seed=5).run(circuit, repetitions=shots).histogram(key="z")
    z = vorn.run(c, shots=shots, seed=4).marginal_counts([3, 4])
    assert {int(k, 2): v for k, v in z.items()}.keys() == {0b00, 0b10, 0b11}
    assert stats().chi2_contingency(np.array([[z.get("00", 0), z.get("10", 0), z.get("11", 0)],
                                            [theirs[0], theirs[2], theirs[3]]]))[1] > 1e-3
    assert chi_square_p({int(k.replace(" ", ""), 2): v for k, v in ours.items()}, exact, shots) > 1e-3


@pytest.mark.cirq
def test_cirq_conditions_that_are_not_keys_are_refused():
    cirq = pytest.importorskip("cirq")
    sympy = pytest.importorskip("sympy")
    q0 = cirq.LineQubit(0)
    circuit = cirq.Circuit(cirq.measure(q0, key="m"),
                           cirq.X(q0).with_classical_controls(sympy.Eq(sympy.Symbol("m"), 1)))
    with pytest.raises(NotImplementedError, match="not a measurement key"):
        vorn.from_cirq(circuit)
    with pytest.raises(ValueError, match="no earlier measurement writes"):
        vorn.from_cirq(cirq.Circuit(cirq.X(q0).with_classical_controls("later"), cirq.measure(q0, key="later")))


HEAD = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def test_qasm2_round_trip_of_reset_and_if():
    text = (HEAD + "qreg q[3];\ncreg c[3];\ncreg f[1];\nh q[0];\nmeasure q[0] -> c[0];\nreset q[0];\n"
            "if (c==1) x q;\nif (f==1) h q[1];\nmeasure q[1] -> f[0];\nif(f==0) measure q -> c;\n")
    c = qasm2.loads(text)
    names = [i.name for i in c]
    assert names == ["h", "measure", "reset", "if_else", "if_else", "measure", "if_else"]
    assert [i.name for i in c[3].true_body] == ["x", "x", "x"]  # one statement, one condition
    assert len(c[6].true_body) == 3 and c[6].condition == (ClassicalRegister(1, "f"), 0)
    # Written back, a block of several statements is one `if` per statement
    # (none of them writes the register it tests, so the meaning is kept).
    again = qasm2.loads(qasm2.dumps(c))
    assert qasm2.dumps(again) == qasm2.dumps(c)
    assert [i.name for i in again].count("if_else") == 3 + 1 + 3
    assert vorn.run(again, shots=300, seed=2).counts() == vorn.run(c, shots=300, seed=2).counts()


def test_qasm2_if_of_a_one_bit_register_clbit_and_what_cannot_be_written():
    c = Circuit(2, 0)
    c.add_register(ClassicalRegister(1, "a"))
    c.add_register(ClassicalRegister(2, "b"))
    c.measure(0, 0)
    with c.if_test((0, 1)):  # clbit 0 is the whole register a
        c.x(1)
    assert "if(a==1) x q[1];" in qasm2.dumps(c)
    cases = []
    d = Circuit(2, 2)
    with d.if_test((1, 1)):
        d.x(0)
    cases.append((d, "condition on clbit 1"))
    e = Circuit(2, 1)
    with e.if_test((0, 1)) as else_:
        e.x(0)
    with else_:
        e.x(1)
    cases.append((e, "else block"))
    f = Circuit(2, 1)
    with f.if_test((0, 1)):
        with f.if_test((0, 1)):
            f.x(0)
    cases.append((f, "nested"))
    g = Circuit(2, 1)
    with g.if_test((0, 1)):
        g.measure(0, 0)
        g.x(1)
    cases.append((g, "writes its own condition's register"))
    for circuit, text in cases:
        with pytest.raises(ValueError, match=text):
            qasm2.dumps(circuit)
    with pytest.raises(qasm2.QASM2Error, match="does not fit the 1-bit register"):
        qasm2.loads(HEAD + "qreg q[1];\ncreg c[1];\nif (c==2) x q[0];")


@pytest.mark.qiskit
def test_qasm2_dynamic_programs_match_qiskit_loader_and_aer(aer):
    import qiskit.qasm2

    text = (HEAD + "qreg q[3];\ncreg c[2];\ncreg f[1];\nh q[0];\ncx q[0],q[1];\nmeasure q[0] -> c[0];\n"
            "reset q[0];\nif (c==1) x q[2];\nh q[1];\nmeasure q[1] -> f[0];\nif(f==1) h q[0];\n"
            "measure q[0] -> c[1];\nmeasure q[2] -> c[0];\n")
    ours = vorn.run(qasm2.loads(text), shots=50_000, seed=3).counts()
    theirs = aer_counts(aer, qiskit.qasm2.loads(text), 50_000, 3)
    assert key_chi_square(ours, theirs) > 1e-3
    back = qiskit.qasm2.loads(qasm2.dumps(qasm2.loads(text)))
    assert key_chi_square(ours, aer_counts(aer, back, 50_000, 4)) > 1e-3
