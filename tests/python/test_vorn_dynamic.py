"""Dynamic circuits: mid-circuit measurement with collapse, reset, if_test
blocks; the branching run against known protocols and an exact reference
that enumerates every branch in NumPy."""

import copy
import math
import pathlib
import pickle
import sys

import numpy as np
import pytest

import vorn
from vorn import Circuit, ClassicalRegister, IfElse
from vorn.execution import engines, lowering
from vorn.execution.request import Request
from vorn.model.circuit import _gate_matrix

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from vorn_dynamic import repetition_code, teleportation  # noqa: E402


def stats():
    """scipy.stats, imported by the tests that use it (they carry the scipy
    marker: importing SciPy leaks at exit, which the sanitizer run reports)."""
    from scipy import stats as scipy_stats

    return scipy_stats


# ---- the exact reference: every branch enumerated -----------------------------


def apply_matrix(state, matrix, qubits, n):
    """matrix (operand 0 the least significant bit) on the given qubits of an n-qubit state."""
    k = len(qubits)
    psi = state.reshape([2] * n)  # axis a is qubit n-1-a
    axes = [n - 1 - q for q in reversed(qubits)]  # matrix row bits: highest operand first
    psi = np.moveaxis(psi, axes, range(k)).reshape(1 << k, -1)
    psi = matrix @ psi
    psi = np.moveaxis(psi.reshape([2] * n), range(k), axes)
    return psi.reshape(-1)


def exact_distribution(circuit):
    """clbit value -> probability, each branch followed with its probability."""
    n = circuit.num_qubits
    state = np.zeros(1 << n, dtype=complex)
    state[0] = np.exp(1j * circuit.global_phase)
    out = {}
    starts = np.cumsum([0] + [r.size for r in circuit.cregs])

    def holds(cond, bits):
        where, value = cond
        if isinstance(where, ClassicalRegister):
            i = [r for r in circuit.cregs].index(where)
            size = where.size
            return (bits >> int(starts[i])) & ((1 << size) - 1) == value
        return (bits >> where) & 1 == value

    def walk(ops, state, bits, prob, rest):
        for i, ins in enumerate(ops):
            if ins.name == "barrier":
                continue
            if isinstance(ins, IfElse):
                body = ins.true_body if holds(ins.condition, bits) else ins.false_body
                return walk(list(body) + list(ops[i + 1:]), state, bits, prob, rest)
            if ins.name in ("measure", "reset"):
                q = ins.qubits[0]
                mask = ((np.arange(1 << n) >> q) & 1).astype(bool)
                for b in (0, 1):
                    keep = mask if b else ~mask
                    p = float(np.sum(np.abs(state[keep]) ** 2))
                    if p == 0:
                        continue
                    s = np.where(keep, state, 0) / math.sqrt(p)
                    nbits = bits
                    if ins.name == "measure":
                        c = ins.clbits[0]
                        nbits = (bits & ~(1 << c)) | (b << c)
                    elif b:
                        s = apply_matrix(s, np.array([[0, 1], [1, 0]]), [q], n)
                    walk(ops[i + 1:], s, nbits, prob * p, rest)
                return None
            state = apply_matrix(state, _gate_matrix(ins), list(ins.qubits), n)
        out[bits] = out.get(bits, 0.0) + prob
        return None

    walk(list(circuit.data), state, 0, 1.0, None)
    return out


def counts_by_value(result, circuit):
    """Counts keyed by clbit value (an int), from memory()."""
    mem = result.memory()
    values = np.zeros(len(mem), dtype=np.int64)
    for byte in range(mem.shape[1]):
        values = (values << 8) | mem[:, byte]
    keys, counts = np.unique(values, return_counts=True)
    return dict(zip(keys.tolist(), counts.tolist()))


def chi_square_p(observed, expected, shots):
    """p-value of observed counts against expected probabilities (cells under
    5 expected merged into one)."""
    keys = set(observed) | set(expected)
    assert all(k in expected and expected[k] > 0 for k in observed), "an outcome of probability 0 was drawn"
    obs, exp = [], []
    small_o, small_e = 0.0, 0.0
    for k in keys:
        e = expected.get(k, 0.0) * shots
        if e < 5:
            small_o += observed.get(k, 0)
            small_e += e
        else:
            obs.append(observed.get(k, 0))
            exp.append(e)
    if small_e > 0:
        obs.append(small_o)
        exp.append(small_e)
    if len(obs) < 2:
        return 1.0
    return float(stats().chisquare(obs, np.array(exp) * sum(obs) / sum(exp)).pvalue)


GATES_1 = ["h", "x", "s", "t", "sx", "y"]
GATES_ANGLE = ["rx", "ry", "rz", "p"]


def random_dynamic(rng, n, m, depth, nest=True):
    c = Circuit(n, m)
    c.add_register(ClassicalRegister(2, "r"))
    reg = c.cregs[1]
    total = m + 2

    def layer(depth, level):
        for _ in range(depth):
            kind = rng.integers(0, 12)
            kind = kind if kind < 9 else kind - 8  # gates at twice the rate of the rest
            q = int(rng.integers(0, n))
            if kind == 0:
                getattr(c, GATES_1[rng.integers(0, len(GATES_1))])(q)
            elif kind == 1:
                getattr(c, GATES_ANGLE[rng.integers(0, 4)])(float(rng.uniform(-4, 4)), q)
            elif kind == 2 and n >= 2:
                a, b = rng.choice(n, 2, replace=False)
                [c.cx, c.cz, c.swap, c.ch][rng.integers(0, 4)](int(a), int(b))
            elif kind == 3 and n >= 3:
                a, b, t = rng.choice(n, 3, replace=False)
                c.ccx(int(a), int(b), int(t))
            elif kind == 4:
                c.unitary(_random_unitary(rng, 1), [q])
            elif kind in (5, 6):
                c.measure(q, int(rng.integers(0, total)))
            elif kind == 7:
                c.reset(q)
            elif kind == 8 and level < 2 and nest:
                if rng.integers(0, 2):
                    cond = (int(rng.integers(0, total)), int(rng.integers(0, 2)))
                else:
                    cond = (reg, int(rng.integers(0, 4)))
                with c.if_test(cond) as else_:
                    layer(int(rng.integers(1, 4)), level + 1)
                if rng.integers(0, 2):
                    with else_:
                        layer(int(rng.integers(1, 3)), level + 1)

    c.h(0)
    layer(depth, 0)
    last = min(n, total)
    c.measure(list(range(n - last, n)), list(range(last)))
    return c


def _random_unitary(rng, k):
    z = rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.scipy
def test_random_dynamic_circuits_match_the_exact_branch_enumeration(seed):
    rng = np.random.default_rng(seed)
    n = 2 + seed % 4
    c = random_dynamic(rng, n, 2, 14)
    assert lowering.is_dynamic(c)
    shots = 100_000
    result = vorn.run(c, shots=shots, seed=seed, memory=True)
    exact = exact_distribution(c)
    assert sum(exact.values()) == pytest.approx(1.0, abs=1e-12)
    observed = counts_by_value(result, c)
    assert sum(observed.values()) == shots
    assert chi_square_p(observed, exact, shots) > 1e-3


def test_teleportation_with_corrections_delivers_the_state():
    # The example's circuit: prepare ry/rz on qubit 0, teleport to qubit 2,
    # undo the preparation there: every shot reads 0 on clbit 2, whatever
    # the two measured bits.
    c = teleportation(1.1, 0.4)
    assert [i.name for i in c].count("if_else") == 2
    result = vorn.run(c, shots=4000, seed=7)
    assert result.marginal_counts([2]) == {"0": 4000}
    # The two measured bits are uniform.
    assert set(result.marginal_counts([0, 1])) == {"00", "01", "10", "11"}
    one = vorn.run(c, shots=1, seed=3)
    state = one.statevector()  # that shot's state before its final measurement
    assert np.isclose(np.linalg.norm(state), 1.0)
    assert np.isclose(np.sum(np.abs(state[4:]) ** 2), 0.0, atol=1e-24)


@pytest.mark.scipy
def test_repeat_until_success_reaches_its_known_rates():
    # Up to three attempts of a coin flip on qubit 0 (reset, h, measure into
    # clbit 0) while clbit 0 still reads 0; on success qubit 1 is flipped.
    c = Circuit(2, 2)
    for _ in range(3):
        with c.if_test((0, 0)):
            c.reset(0)
            c.h(0)
            c.measure(0, 0)
    with c.if_test((0, 1)):
        c.x(1)
    c.measure(1, 1)
    shots = 80_000
    counts = vorn.run(c, shots=shots, seed=11).counts()
    assert set(counts) == {"00", "11"}  # success and the flag always agree
    assert stats().binomtest(counts["11"], shots, 7 / 8).pvalue > 1e-3
    assert exact_distribution(c) == {3: pytest.approx(7 / 8), 0: pytest.approx(1 / 8)}


def test_repetition_code_syndromes_follow_the_errors():
    # Without errors every syndrome and data bit reads 0; an rx(pi) on every
    # data qubit each round flips them all together, so every parity (the
    # syndrome) stays 0 and the data reads 1 after an odd number of rounds.
    assert vorn.run(repetition_code(3, 4, 0.0), shots=100, seed=1).counts() == {"000 00": 100}
    assert vorn.run(repetition_code(3, 4, math.pi), shots=100, seed=1).counts() == {"000 00": 100}
    assert vorn.run(repetition_code(3, 3, math.pi), shots=100, seed=1).counts() == {"111 00": 100}


def test_same_seed_same_counts_and_memory_on_every_thread_count_and_memory_cap():
    rng = np.random.default_rng(5)
    c = random_dynamic(rng, 13, 3, 40)
    for _ in range(3):  # make sure wide states run in parallel chunks
        c.h(12)
        c.measure(12, 0)
        with c.if_test((0, 1)):
            c.cx(12, 11)
    reference = vorn.run(c, shots=3000, seed=99, memory=True, threads=1)
    other = vorn.run(c, shots=3000, seed=99, memory=True, threads=2)
    assert reference.counts() == other.counts()
    np.testing.assert_array_equal(reference.memory(), other.memory())
    # One live state at most: branches recomputed from their outcomes give the same bits.
    capped = engines.run(c, Request(shots=3000, seed=99, memory=True, max_live_states=1))
    assert capped.counts() == reference.counts()
    np.testing.assert_array_equal(capped.memory(), reference.memory())
    assert vorn.run(c, shots=3000, seed=100).counts() != reference.counts()


def test_memory_order_is_a_seeded_permutation_not_branch_order():
    c = Circuit(1, 1)
    c.h(0)
    c.measure(0, 0)
    c.reset(0)
    c.measure(0, 0)  # dynamic: qubit 0 is reset after its measurement
    c2 = Circuit(1, 2)
    c2.h(0)
    c2.measure(0, 0)
    with c2.if_test((0, 1)):
        c2.x(0)
    c2.measure(0, 1)
    result = vorn.run(c2, shots=2000, seed=1, memory=True)
    bits = result.memory()[:, 0]
    assert set(bits.tolist()) == {0b00, 0b01}
    runs = 1 + int(np.count_nonzero(bits[1:] != bits[:-1]))
    assert runs > 600  # grouped by branch there would be 2
    values, counts = np.unique(bits, return_counts=True)
    assert result.counts() == {format(int(v), "02b"): int(k) for v, k in zip(values, counts)}
    assert vorn.run(c, shots=50, seed=1).counts() == {"0": 50}


def test_certain_outcomes_make_no_empty_branch_and_no_nan():
    c = Circuit(2, 2)
    c.x(0)
    c.measure(0, 0)  # p(1) exactly 1
    c.measure(1, 1)  # p(1) exactly 0
    c.cx(0, 1)  # qubit 1 follows: dynamic
    c.measure(1, 1)
    result = vorn.run(c, shots=7, seed=2, memory=True)
    assert result.counts() == {"11": 7}
    one = vorn.run(c, shots=1, seed=2)
    np.testing.assert_array_equal(one.statevector(), [0, 0, 0, 1])
    # A tiny amplitude that can only rarely be drawn still splits correctly.
    t = Circuit(1, 1)
    t.ry(1e-6, 0)
    t.measure(0, 0)
    t.reset(0)
    assert vorn.run(t, shots=1000, seed=1).counts() == {"0": 1000}


@pytest.mark.scipy
def test_an_even_split_of_the_shots_keeps_both_outcomes():
    # Two independent coin flips measured mid-circuit: every outcome pair
    # appears (an even split of a branch's shots once sent both halves to 1).
    c = Circuit(2, 2)
    c.h(0)
    c.h(1)
    c.measure(0, 0)
    c.measure(1, 1)
    c.reset(0)
    c.reset(1)
    for seed in range(1, 9):
        counts = vorn.run(c, shots=4000, seed=seed).counts()
        assert set(counts) == {"00", "01", "10", "11"}
        assert stats().chisquare(list(counts.values())).pvalue > 1e-4
    mixed = sum(len(vorn.run(c, shots=2, seed=s).counts()) > 1 for s in range(40))
    assert mixed > 15  # about 30 expected


def test_measuring_into_a_clbit_twice_keeps_the_last():
    c = Circuit(2, 1)
    c.x(0)
    c.measure(0, 0)
    c.reset(0)
    c.measure(1, 0)
    assert vorn.run(c, shots=10, seed=1).counts() == {"0": 10}
    c.x(1)
    c.measure(1, 0)
    assert vorn.run(c, shots=10, seed=1).counts() == {"1": 10}


def test_register_conditions_read_the_register_as_an_integer():
    c = Circuit(3, 0)
    low = ClassicalRegister(1, "low")
    reg = ClassicalRegister(2, "r")
    c.add_register(low)
    c.add_register(reg)
    c.x(1)
    c.measure(1, 1)  # r = 0b01 (clbit 1 is r[0])
    c.reset(1)
    with c.if_test((reg, 1)) as else_:
        c.x(2)
    with else_:
        c.x(0)
    with c.if_test((reg, 2)):
        c.x(0)  # not taken
    c.measure(2, 2)
    c.measure(0, 0)
    assert vorn.run(c, shots=5, seed=0).counts() == {"11 0": 5}


@pytest.mark.scipy
def test_nested_blocks_and_else():
    c = Circuit(2, 2)
    c.h(0)
    c.measure(0, 0)
    with c.if_test((0, 1)) as else_:
        c.h(1)
        c.measure(1, 1)
        with c.if_test((1, 1)):
            c.x(0)  # qubit 0 back to 0 only on 11
    with else_:
        c.x(1)
        c.measure(1, 1)
    c.measure(0, 0)
    exact = exact_distribution(c)
    assert exact == pytest.approx({0b10: 0.5 + 0.25, 0b01: 0.25})
    counts = vorn.run(c, shots=40_000, seed=3).counts()
    assert set(counts) == {"10", "01"}
    assert stats().binomtest(counts["10"], 40_000, 0.75).pvalue > 1e-3


# ---- circuits as values --------------------------------------------------------


def dynamic_sample():
    c = Circuit(3, 2)
    c.add_register(ClassicalRegister(2, "r"))
    c.h(0)
    c.measure(0, 0)
    c.reset(0)
    with c.if_test((0, 1)) as else_:
        c.unitary(np.eye(2), [1])
        with c.if_test((c.cregs[1], 3)):
            c.measure(2, 3)
    with else_:
        c.x(2)
    return c


def test_blocks_keep_value_semantics():
    c = dynamic_sample()
    assert [i.name for i in c] == ["h", "measure", "reset", "if_else"]
    block = c[3]
    assert isinstance(block, IfElse) and block.qubits == (1, 2) and block.clbits == (0, 2, 3)
    assert block.condition == (0, 1) and [i.name for i in block.false_body] == ["x"]
    assert block.true_body[1].condition == (ClassicalRegister(2, "r"), 3)
    for other in (c.copy(), copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert other == c
        other.x(0)
        assert other != c and len(c) == 4
    back = pickle.loads(pickle.dumps(c))
    assert not back[3].true_body[0].matrix.flags.writeable
    assert c.count_ops() == {"h": 1, "measure": 1, "reset": 1, "if_else": 1}
    assert "if" in c.draw() and "|0>" in c.draw()
    with pytest.raises(ValueError, match="'if_else' has no inverse"):
        c.inverse()
    d = Circuit(3, 2)
    d.add_register(ClassicalRegister(2, "r"))
    d.append(c[3])
    assert d[0] == c[3]
    assert hash(c[3]) == hash(d[0])


def test_compose_moves_blocks_and_their_register_conditions():
    c = dynamic_sample()
    big = Circuit(4, 1)
    big.add_register(ClassicalRegister(1, "x"))
    big.add_register(ClassicalRegister(2, "rr"))
    out = big.compose(c, qubits=[3, 2, 1], clbits=[1, 0, 2, 3])
    block = out[3]
    assert block.condition == (1, 1) and block.qubits == (1, 2)
    assert block.true_body[1].condition == (ClassicalRegister(2, "rr"), 3)
    assert block.true_body[1].true_body[0].clbits == (3,) and block.true_body[1].true_body[0].qubits == (1,)
    with pytest.raises(ValueError, match="does not land on a whole register"):
        big.compose(c, qubits=[3, 2, 1], clbits=[1, 0, 3, 2])


# ---- bad input -------------------------------------------------------------------


def test_bad_conditions_and_else_blocks():
    c = Circuit(2, 2)
    other = ClassicalRegister(3, "other")
    cases = [
        (lambda: c.if_test((2, 1)), IndexError, "clbit 2 out of range"),
        (lambda: c.if_test((-3, 1)), IndexError, "clbit -3 out of range"),
        (lambda: c.if_test((0, 2)), ValueError, "0 or 1"),
        (lambda: c.if_test((c.cregs[0], 4)), ValueError, "does not fit the 2-bit register 'c'"),
        (lambda: c.if_test((c.cregs[0], -1)), ValueError, "does not fit"),
        (lambda: c.if_test((other, 1)), ValueError, "'other' .* is not in this circuit"),
        (lambda: c.if_test((0, 1.0)), TypeError, "must be an integer"),
        (lambda: c.if_test(0), TypeError, "a condition is a tuple"),
        (lambda: c.if_test((True, 1)), TypeError, "clbit must be an integer"),
    ]
    for call, kind, text in cases:
        with pytest.raises(kind, match=text):
            call()
    assert c.if_test((True and 1, np.True_)) is not None

    with c.if_test((0, 1)) as else_:
        c.x(0)
        with pytest.raises(RuntimeError, match="inside its own if_test block"):
            with else_:
                pass
    c.h(1)
    with pytest.raises(RuntimeError, match="directly follow"):
        with else_:
            pass
    with c.if_test((0, 1)) as else_:
        c.x(0)
    with else_:
        c.x(1)
    with pytest.raises(RuntimeError, match="already used"):
        with else_:
            pass
    assert [i.name for i in c] == ["if_else", "h", "if_else"]
    # An exception inside a block adds nothing and leaves the circuit usable.
    with pytest.raises(ZeroDivisionError), c.if_test((0, 1)):
        c.x(0)
        1 / 0
    assert len(c) == 3 and c.num_qubits == 2
    c.x(0)
    assert c[-1].name == "x"


def test_bad_runs_of_dynamic_circuits():
    c = Circuit(1, 1)
    c.measure(0, 0)
    c.reset(0)
    zero = vorn.run(c, shots=0, seed=1, memory=True)
    assert zero.counts() == {} and zero.memory().shape == (0, 1)
    with pytest.raises(ValueError, match="needs shots=1"):
        zero.statevector()
    with pytest.raises(ValueError, match="needs shots=1 .* shots=5"):
        vorn.run(c, shots=5).statevector()
    with pytest.raises(ValueError, match="needs shots=1"):
        vorn.run(c, shots=5).probabilities()
    with pytest.raises(ValueError, match="no single final state"):
        vorn.statevector(c)
    wide = Circuit(1, 65)
    wide.measure(0, 64)
    wide.reset(0)
    with pytest.raises(ValueError, match="65 clbits; at most 64"):
        vorn.run(wide, shots=1)
    nan = Circuit(1, 1)
    nan.rx(float("nan"), 0)
    nan.measure(0, 0)
    nan.reset(0)
    with pytest.raises(ValueError, match="not all finite"):
        vorn.run(nan, shots=3, seed=1)
    with pytest.raises(IndexError, match="qubit 1 out of range"):
        c.reset(1)


def test_required_memory_counts_the_branch_states():
    c = Circuit(10, 3)
    state = 16 << 10
    for q in range(3):
        c.h(q)
        c.measure(q, q)
        c.reset(q)
    flat = vorn.required_memory(c, shots=1)
    # Six collapse steps: up to six more states with enough shots, none with one shot.
    assert vorn.required_memory(c, shots=1000) - flat >= 6 * state
    assert vorn.required_memory(c, shots=3) - flat >= 2 * state
    assert vorn.required_memory(c, shots=1000, memory=True) - vorn.required_memory(c, shots=1000) == 8000


def test_progress_and_timeout_reach_dynamic_runs():
    c = Circuit(12, 1)
    for _ in range(40):
        c.h(0)
        c.measure(0, 0)
        with c.if_test((0, 1)):
            for q in range(12):
                c.rx(0.1, q)
    seen = []
    vorn.run(c, shots=200, seed=1, progress=lambda done, total: seen.append((done, total)))
    assert seen and seen[-1][0] == seen[-1][1]

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vorn.run(c, shots=100_000, seed=1, progress=stop)
