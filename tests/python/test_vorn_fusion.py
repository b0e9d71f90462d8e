# Opt-in gate fusion through the Python entry points: within 1e-12 of the
# exact path on random circuits of every gate kind, the same bits on any
# pool size, the exact path untouched by default, and the keyword checked.
import os
import subprocess
import sys

import numpy as np
import pytest

import vorn
from test_vorn_random import random_circuit


@pytest.mark.parametrize("n", [2, 5, 9, 11, 13])
def test_fused_states_agree_with_the_exact_path(n):
    rng = np.random.default_rng(500 + n)
    for _ in range(3):
        c, want = random_circuit(rng, n, 40 * n)
        exact = vorn.statevector(c)
        fused = vorn.statevector(c, fusion=True)
        # Relative to the state's norm (1): rounding only.
        assert np.max(np.abs(fused - exact)) <= 1e-12
        np.testing.assert_allclose(fused, want, rtol=0, atol=1e-10)


def test_default_is_the_exact_path():
    rng = np.random.default_rng(3)
    c, _ = random_circuit(rng, 13, 300)
    exact = vorn.statevector(c)
    assert vorn.statevector(c, fusion=False).tobytes() == exact.tobytes()
    # Fusion merges gates here, so its rounding shows somewhere.
    assert vorn.statevector(c, fusion=True).tobytes() != exact.tobytes()


@pytest.mark.parametrize("n", [1, 6, 11])
def test_below_twelve_qubits_fusion_is_the_exact_path(n):
    # Planning alone would cost more than merging saves there: nothing
    # merges, and the bits are the exact path's.
    rng = np.random.default_rng(n)
    c, _ = random_circuit(rng, n, 300)
    assert vorn.statevector(c, fusion=True).tobytes() == vorn.statevector(c).tobytes()


def test_run_and_expval_take_fusion():
    rng = np.random.default_rng(4)
    c, _ = random_circuit(rng, 7, 200)
    h = vorn.PauliSum.from_list([("ZZIIIXY", 0.5), ("IIIIIIZ", -1.0)])
    np.testing.assert_allclose(vorn.expval(c, h, fusion=True), vorn.expval(c, h), rtol=0, atol=1e-12)
    c.measure_all()
    fused = vorn.run(c, shots=500, seed=9, fusion=True)
    exact = vorn.run(c, shots=500, seed=9)
    assert np.max(np.abs(fused.statevector() - exact.statevector())) <= 1e-12
    assert sum(fused.counts().values()) == 500


@pytest.mark.parametrize("value", [1, "yes", None, np.bool_(True)])
def test_fusion_must_be_a_bool(value):
    c = vorn.Circuit(1)
    with pytest.raises(TypeError, match="fusion must be True or False"):
        vorn.statevector(c, fusion=value)
    with pytest.raises(TypeError, match="fusion must be True or False"):
        vorn.run(c, fusion=value)
    with pytest.raises(TypeError, match="fusion must be True or False"):
        vorn.expval(c, vorn.PauliSum.from_list([("Z", 1.0)]), fusion=value)


# 600 random gates of six kinds (rotations, cx, cp, ccx, u, swap) on 16 qubits,
# as `c` (also used by the single-precision tests).
RANDOM_CIRCUIT_SCRIPT = """
import hashlib
import numpy as np
import vorn
rng = np.random.default_rng(11)
n = 16
c = vorn.Circuit(n)
for q in range(n):
    c.h(q)
for _ in range(600):
    q = [int(x) for x in rng.permutation(n)[:3]]
    kind = int(rng.integers(6))
    if kind == 0:
        c.rx(float(rng.uniform(-3, 3)), q[0])
    elif kind == 1:
        c.cx(q[0], q[1])
    elif kind == 2:
        c.cp(float(rng.uniform(-3, 3)), q[0], q[1])
    elif kind == 3:
        c.ccx(q[0], q[1], q[2])
    elif kind == 4:
        c.u(*[float(a) for a in rng.uniform(-3, 3, 3)], q[0])
    else:
        c.swap(q[0], q[1])
"""
BIT_IDENTITY = RANDOM_CIRCUIT_SCRIPT + """
print(hashlib.sha256(vorn.statevector(c, fusion=True).tobytes()).hexdigest())
"""


def test_fused_runs_are_bit_identical_across_pool_sizes():
    outputs = set()
    for threads in ("1", "2", "5"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        outputs.add(subprocess.run([sys.executable, "-c", BIT_IDENTITY], env=env, check=True,
                                   capture_output=True, text=True).stdout)
    assert len(outputs) == 1


# ---- dynamic and noisy programs through vorn._ext (steps built by hand) -------------

from test_vorn_dynamic_expval import GATES, MEASURE, RESET, JUMP_UNLESS, CHANNEL, native, pauli_arrays, program  # noqa: E402


def undone_rotations(n, rounds):
    """Gates whose every rotation is undone next to it, so outcomes are certain
    but for rounding (each fuses to a near-identity), with permutations and
    phases between: (gates, the gates of one round)."""
    gates = []
    for r in range(rounds):
        for q in range(n):
            gates += [("ry", [q], 0.3 + 0.2 * r + 0.1 * q), ("rx", [q], 1.1), ("rx", [q], -1.1),
                      ("ry", [q], -(0.3 + 0.2 * r + 0.1 * q))]
        gates += [("rzz", [q, (q + 1) % n], 0.9) for q in range(n)]
        gates += [("x", [r % n]), ("cx", [0, 1]), ("cx", [1, 2])]
    return gates, len(gates) // rounds


def _ext_run(prog, flat, finals, fusion):
    return vorn._ext.run_dynamic(prog, flat, finals, 4, native(seed=7, shots=1000, fusion=fusion))


def test_fused_dynamic_runs_agree_with_unfused_ones():
    n = 4
    gates, per = undone_rotations(n, 3)
    prog = program(n, gates)
    steps = [(GATES, 0, per, 0, 0), (MEASURE, 0, 0, 0, 0), (GATES, per, 2 * per, 0, 0), (RESET, 1, 0, 0, 0),
             (MEASURE, 2, 1, 0, 0), (JUMP_UNLESS, 7, 0, 2, 0), (GATES, 2 * per, 3 * per, 0, 0)]
    flat = [w for s in steps for w in s]
    finals = [0, 2, 3, 3]
    exact = _ext_run(prog, flat, finals, fusion=False)
    fused = _ext_run(prog, flat, finals, fusion=True)
    assert len(exact[1]) == 1  # one outcome: certain
    assert fused[1].tolist() == exact[1].tolist() and fused[2].tolist() == exact[2].tolist()
    # One shot's final state, uneven outcomes on the way: to 1e-12.
    steps[2] = (GATES, per, per + 4 * n, 0, 0)  # a round's rotations, not undone
    flat = [w for s in steps for w in s]
    for seed in (1, 2, 3):
        a = vorn._ext.run_dynamic(prog, flat, finals, 4, native(seed=seed, shots=1, keep_state=True))
        b = vorn._ext.run_dynamic(prog, flat, finals, 4, native(seed=seed, shots=1, keep_state=True, fusion=True))
        assert a[1].tolist() == b[1].tolist()
        assert np.max(np.abs(a[0] - b[0])) <= 1e-12
    assert (vorn._ext.dynamic_required_memory(prog, flat, finals, 4, native(shots=100, fusion=True))
            == vorn._ext.dynamic_required_memory(prog, flat, finals, 4, native(shots=100)))



def test_fused_expectations_of_dynamic_and_noisy_programs_agree():
    n = 4
    gates = [("ry", [q], 0.4 + 0.3 * q) for q in range(n)] + [("cx", [q, q + 1]) for q in range(n - 1)]
    gates += [("rx", [q], 0.2 * q - 0.5) for q in range(n)] + [("rzz", [0, 3], 1.3)]
    prog = program(n, gates)
    arrays = pauli_arrays([[("ZZII", 0.6), ("IXIY", -1.2)], [("IIIZ", 1.0)]], n)
    steps = [(GATES, 0, 7, 0, 0), (MEASURE, 1, 0, 0, 0), (GATES, 7, len(gates), 0, 0)]
    flat = [w for s in steps for w in s]
    want = vorn._ext.expval_dynamic(prog, flat, [], 1, *arrays, True, native())
    got = vorn._ext.expval_dynamic(prog, flat, [], 1, *arrays, True, native(fusion=True))
    np.testing.assert_allclose(got[0], want[0], rtol=0, atol=1e-12)
    np.testing.assert_allclose(got[1], want[1], rtol=0, atol=1e-12)
    # A bit flip on qubit 2 between the steps (a mixture: its choices never read the state).
    noise = ([0], [1], [2], [2], np.array([1, 0, 0, 1, 0, 1, 1, 0], dtype=np.complex128), [0.8, 0.2], [], [])
    noisy = [w for s in [(GATES, 0, 7, 0, 0), (CHANNEL, 0, 0, 0, 0), (GATES, 7, len(gates), 0, 0)] for w in s]
    means, errors, paths = vorn._ext.expval_noisy(prog, noisy, 0, noise, *arrays, 200, native(seed=5))
    f_means, f_errors, f_paths = vorn._ext.expval_noisy(prog, noisy, 0, noise, *arrays, 200,
                                                              native(seed=5, fusion=True))
    assert f_paths == paths
    np.testing.assert_allclose(f_means, means, rtol=0, atol=1e-12)
    counts = vorn._ext.run_noisy(prog, noisy, [0, 0], 1, noise, native(seed=5, shots=300))
    f_counts = vorn._ext.run_noisy(prog, noisy, [0, 0], 1, noise, native(seed=5, shots=300, fusion=True))
    assert sum(f_counts[2]) == 300 and f_counts[4] == counts[4]
