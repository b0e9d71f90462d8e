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
