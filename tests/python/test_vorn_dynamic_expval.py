"""Exact expectation values of dynamic programs through vorn._ext.expval_dynamic:
steps built by hand (five integers each: kind, a, b, mask, value) against a
NumPy sum over every outcome pattern; pruned outcomes, variances, thread
counts, the branch cap and refusals."""

import math

import numpy as np
import pytest

from vorn import _ext

GATES, MEASURE, RESET, JUMP_UNLESS, JUMP, CHANNEL = range(6)

S = 1 / math.sqrt(2)


def matrix(name, angle):
    c, s = math.cos(angle / 2), math.sin(angle / 2)
    return {
        "h": np.array([[S, S], [S, -S]]),
        "x": np.array([[0, 1], [1, 0]]),
        "ry": np.array([[c, -s], [s, c]]),
        "rx": np.array([[c, -1j * s], [-1j * s, c]]),
        # operand 0 the least significant bit of the row index
        "cx": np.array([[1, 0, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0]]),
        "rzz": np.diag([np.exp(-0.5j * angle), np.exp(0.5j * angle), np.exp(0.5j * angle), np.exp(-0.5j * angle)]),
    }[name].astype(complex)


ANGLED = {"ry", "rx", "rzz"}


def program(n, gates):
    """gates: (name, qubits[, angle]) in program order."""
    names = [g[0] for g in gates]
    arity = [len(g[1]) for g in gates]
    qubits = [q for g in gates for q in g[1]]
    params = [g[2] for g in gates if g[0] in ANGLED]
    return _ext.compile_program(n, names, arity, qubits, params, [], 0.0, False)


def pauli_arrays(observables, n):
    """observables: lists of (label, coeff), labels as Qiskit's (qubit 0 rightmost)."""
    x, z, c, offsets = [], [], [], [0]
    for terms in observables:
        for label, coeff in terms:
            xm = zm = 0
            for q, p in enumerate(reversed(label)):
                xm |= (p in "XY") << q
                zm |= (p in "ZY") << q
            x.append(xm)
            z.append(zm)
            c.append(coeff)
        offsets.append(len(x))
    return (np.array(x, dtype=np.uint64), np.array(z, dtype=np.uint64), np.array(c, dtype=np.complex128),
            np.array(offsets, dtype=np.uint64))


def apply(state, m, qubits, n):
    k = len(qubits)
    psi = state.reshape([2] * n)
    axes = [n - 1 - q for q in reversed(qubits)]
    psi = np.moveaxis(psi, axes, range(k)).reshape(1 << k, -1)
    psi = np.moveaxis((m @ psi).reshape([2] * n), range(k), axes)
    return psi.reshape(-1)


def pauli_matrix(label):
    single = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
              "Z": np.diag([1, -1])}
    out = np.array([[1.0]])
    for p in label:  # leftmost is the highest qubit: the most significant factor
        out = np.kron(out, single[p])
    return out


def reference(n, gates, steps, observables):
    """(means, variances, paths): every outcome pattern followed on the
    unnormalised projected state, whose squared norm is its probability."""
    hs = [sum(coeff * pauli_matrix(label) for label, coeff in terms) for terms in observables]
    mean = np.zeros(len(hs))
    square = np.zeros(len(hs))
    paths = [0]

    def walk(pc, state, clbits):
        while pc < len(steps):
            kind, a, b, mask, value = steps[pc]
            if kind == GATES:
                for name, qubits, *angle in gates[a:b]:
                    state = apply(state, matrix(name, angle[0] if angle else 0.0), qubits, n)
            elif kind == JUMP:
                pc = a
                continue
            elif kind == JUMP_UNLESS:
                pc = pc + 1 if clbits & mask == value else a
                continue
            else:
                for outcome in (0, 1):
                    keep = ((np.arange(1 << n) >> a) & 1) == outcome
                    part = np.where(keep, state, 0)
                    if not np.any(part):
                        continue
                    if kind == RESET and outcome:
                        part = np.roll(part.reshape(-1, 2, 1 << a), -1, axis=1).reshape(-1)
                    bits = clbits if kind == RESET else (clbits & ~(1 << b)) | (outcome << b)
                    walk(pc + 1, part, bits)
                return
            pc += 1
        for i, h in enumerate(hs):
            hp = h @ state
            mean[i] += np.vdot(state, hp).real
            square[i] += np.vdot(hp, hp).real
        paths[0] += 1

    start = np.zeros(1 << n, dtype=complex)
    start[0] = 1
    walk(0, start, 0)
    return mean, square - mean**2, paths[0]


def native(*, fusion=False, single=False, **fields):
    """The engine's RunRequest, fusion and precision spelled as the package spells them."""
    return _ext.RunRequest(fusion_qubits=_ext.DEFAULT_FUSION_QUBITS if fusion else 0, single_precision=single,
                           **fields)


def expval_dynamic(n, gates, steps, observables, finals=(), clbits=3, variance=False, max_branches=0, poll=None,
                   **fields):
    prog = program(n, gates)
    flat = [w for s in steps for w in s]
    return _ext.expval_dynamic(prog, flat, list(finals), clbits, *pauli_arrays(observables, n), variance,
                               native(**fields), poll, max_branches=max_branches)


def test_reset_after_x_leaves_zero_and_follows_one_outcome():
    values, variances = expval_dynamic(1, [("x", [0])], [(GATES, 0, 1, 0, 0), (RESET, 0, 0, 0, 0)],
                                       [[("Z", 1.0)]], variance=True)
    assert values.dtype == np.complex128 and variances.dtype == np.float64
    assert values.tolist() == [1.0]
    assert variances.tolist() == [0.0]


def test_measured_coin_flips_a_second_qubit():
    # h(0); measure(0, 0); if clbit 0 == 1: x(1)
    gates = [("h", [0]), ("x", [1])]
    steps = [(GATES, 0, 1, 0, 0), (MEASURE, 0, 0, 0, 0), (JUMP_UNLESS, 4, 0, 1, 1), (GATES, 1, 2, 0, 0)]
    obs = [[("IZ", 1.0)], [("ZI", 1.0)], [("ZZ", 1.0)]]
    values, variances = expval_dynamic(2, gates, steps, obs, clbits=1, variance=True)
    assert values == pytest.approx([0, 0, 1], abs=1e-15)
    assert variances == pytest.approx([1, 1, 0], abs=1e-15)
    # Without variance the second array is empty.
    values2, variances2 = expval_dynamic(2, gates, steps, obs, clbits=1)
    assert values2.tobytes() == values.tobytes() and variances2.size == 0


def test_outcomes_of_probability_zero_are_not_followed():
    # Following them would collapse onto a zero vector (1/sqrt(0): NaN everywhere).
    gates = [("x", [0]), ("ry", [1], 0.4)]
    steps = [(GATES, 0, 2, 0, 0), (MEASURE, 0, 0, 0, 0), (RESET, 1, 0, 0, 0), (MEASURE, 0, 1, 0, 0),
             (RESET, 0, 0, 0, 0), (MEASURE, 0, 2, 0, 0)]
    values, variances = expval_dynamic(2, gates, steps, [[("IZ", 1.0)], [("ZI", 1.0)]], variance=True)
    assert values.tolist() == [1.0, 1.0]
    assert variances.tolist() == [0.0, 0.0]


# Three qubits, uneven outcomes everywhere, if/else on two clbits, a reset
# and a qubit measured twice.
MIXED_GATES = [("ry", [0], 0.9), ("rx", [1], 1.3), ("cx", [0, 2]), ("ry", [2], 0.5),  # 0..4
               ("h", [1]),                                                          # 4: if
               ("ry", [2], 2.1), ("rzz", [1, 2], 0.6),                              # 5..7: else
               ("rzz", [0, 1], 1.7), ("rx", [0], 0.3), ("cx", [2, 1])]              # 7..10
MIXED_STEPS = [(GATES, 0, 4, 0, 0), (MEASURE, 0, 0, 0, 0), (MEASURE, 1, 1, 0, 0), (JUMP_UNLESS, 6, 0, 3, 1),
               (GATES, 4, 5, 0, 0), (JUMP, 7, 0, 0, 0), (GATES, 5, 7, 0, 0), (RESET, 2, 0, 0, 0),
               (GATES, 7, 10, 0, 0), (MEASURE, 0, 2, 0, 0), (GATES, 8, 9, 0, 0)]
MIXED_OBS = [[("ZIZ", 0.7), ("IXI", -0.4), ("IZY", 1.1)], [("XXX", 0.3), ("IZI", 2.0)], [("YYI", -1.0)]]


def test_matches_the_branch_sum_with_conditions_and_resets():
    want_mean, want_var, paths = reference(3, MIXED_GATES, MIXED_STEPS, MIXED_OBS)
    assert paths > 6
    values, variances = expval_dynamic(3, MIXED_GATES, MIXED_STEPS, MIXED_OBS, variance=True)
    assert values.real == pytest.approx(want_mean, abs=1e-12)
    assert np.all(values.imag == 0)
    assert variances == pytest.approx(want_var, abs=1e-12)
    # Final measurements change nothing.
    again, _ = expval_dynamic(3, MIXED_GATES, MIXED_STEPS, MIXED_OBS, finals=[0, 1, 2, 2])
    assert again.tobytes() == values.tobytes()


@pytest.mark.skipif(_ext.pool_threads() < 2, reason="needs a pool of two threads")
def test_one_and_two_threads_give_the_same_bits():
    n = 14
    gates = [("ry", [q], 0.3 + 0.1 * q) for q in range(n)] + [("cx", [q, q + 1]) for q in range(n - 1)]
    gates += [("rx", [q], 0.7) for q in range(n)]
    layer = 2 * n - 1
    steps = [(GATES, 0, layer, 0, 0), (MEASURE, 2, 0, 0, 0), (MEASURE, 11, 1, 0, 0), (JUMP_UNLESS, 5, 0, 3, 3),
             (GATES, layer, layer + 3, 0, 0), (RESET, 0, 0, 0, 0), (GATES, layer + 3, len(gates), 0, 0)]
    obs = [[("Z" + "I" * 12 + "Z", 0.5), ("I" * 8 + "X" * 6, -1.5)], [("I" * 13 + "Y", 1.0)]]
    one = expval_dynamic(n, gates, steps, obs, variance=True, threads=1)
    two = expval_dynamic(n, gates, steps, obs, variance=True, threads=2)
    assert one[0].tobytes() == two[0].tobytes()
    assert one[1].tobytes() == two[1].tobytes()


def test_past_the_branch_cap_raises():
    steps = []
    for _ in range(13):
        steps += [(GATES, 0, 1, 0, 0), (MEASURE, 0, 0, 0, 0)]
    with pytest.raises(ValueError, match=r"^the circuit branches into more than 4096 measurement outcomes; "
                                         r"expval\(\.\.\., trajectories=N\) samples N trajectories instead "
                                         r"\(mean and standard error\)$"):
        expval_dynamic(1, [("h", [0])], steps, [[("Z", 1.0)]])
    with pytest.raises(ValueError, match="more than 7 measurement outcomes"):
        expval_dynamic(1, [("h", [0])], steps[:6], [[("Z", 1.0)]], max_branches=7)
    values, _ = expval_dynamic(1, [("h", [0])], steps[:6], [[("Z", 1.0)]], max_branches=8)
    assert values == pytest.approx([0], abs=1e-15)


def test_refusals():
    h = [("h", [0])]
    obs = [[("Z", 1.0)]]
    with pytest.raises(ValueError, match="step 1 is a noise channel"):
        expval_dynamic(1, h, [(GATES, 0, 1, 0, 0), (CHANNEL, 0, 0, 0, 0)], obs)
    with pytest.raises(ValueError, match="unknown dynamic step kind"):
        expval_dynamic(1, h, [(6, 0, 0, 0, 0)], obs)
    with pytest.raises(ValueError, match="invalid dynamic step 0"):
        expval_dynamic(1, h, [(MEASURE, 1, 0, 0, 0)], obs)
    with pytest.raises(ValueError, match="five integers per step"):
        _ext.expval_dynamic(program(1, h), [0, 0, 1], [], 0, *pauli_arrays(obs, 1), False, native())
    with pytest.raises(ValueError, match="cannot sample"):
        expval_dynamic(1, [("ry", [0], math.nan)], [(GATES, 0, 1, 0, 0), (MEASURE, 0, 0, 0, 0)], obs)
    with pytest.raises(ValueError, match="threads must be between"):
        expval_dynamic(1, h, [(GATES, 0, 1, 0, 0)], obs, threads=_ext.pool_threads() + 1)


def test_a_poll_that_raises_stops_the_walk():
    calls = []

    def poll(done, total):
        calls.append((done, total))
        raise KeyboardInterrupt

    steps = []
    for _ in range(12):
        steps += [(GATES, 0, 1, 0, 0), (MEASURE, 0, 0, 0, 0)]
    n = 12
    gates = [("h", [0])] + [("ry", [q], 0.1) for q in range(1, n)] * 40
    steps[0] = (GATES, 0, len(gates), 0, 0)
    with pytest.raises(KeyboardInterrupt):
        expval_dynamic(n, gates, steps, [[("Z" * n, 1.0)]], poll=poll)
    assert calls
