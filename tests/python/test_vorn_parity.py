# vorn against vorn_python: the gates both have give the same bits, and the
# same seed gives the same measurement outcomes.
import numpy as np
import pytest

import vorn
import vorn_python

ONE_QUBIT = ["h", "x", "y", "z", "s", "t", "id"]
ROTATIONS = ["rx", "ry", "rz"]


def twin_circuits(rng, n, n_gates, cz=True):
    """The same random circuit of the 15 shared gates (or the 14 other than
    cz) in both modules (vorn names its angle arguments differently, so all
    are passed by position)."""
    a, b = vorn.Circuit(n), vorn_python.Circuit(n)
    two = ["cx", "cz", "swap"] if cz else ["cx", "swap"]
    kinds = ONE_QUBIT + ROTATIONS + (two if n >= 2 else []) + (["ccx", "cswap"] if n >= 3 else [])
    for _ in range(n_gates):
        name = kinds[rng.integers(len(kinds))]
        k = 3 if name in ("ccx", "cswap") else 2 if name in ("cx", "cz", "swap") else 1
        args = [int(q) for q in rng.permutation(n)[:k]]
        if name in ROTATIONS:
            args.insert(0, float(rng.uniform(-7, 7)))
        getattr(a, name)(*args)
        getattr(b, name)(*args)
    return a, b


SIZES = pytest.mark.parametrize(("n", "n_gates"), [(1, 20), (3, 60), (9, 200), (13, 150), (16, 300)])


@SIZES
def test_shared_gates_give_vorn_pythons_bits(n, n_gates):
    # 13 qubits and up run on the pool, 16 through the cache-blocked path.
    rng = np.random.default_rng(n)
    a, b = twin_circuits(rng, n, n_gates, cz=False)
    got = vorn.statevector(a)
    want = vorn_python.run(b, shots=0, seed=0).statevector()
    assert got.tobytes() == want.tobytes()


@SIZES
def test_with_cz_the_values_are_vorn_pythons_and_only_zeros_may_change_sign(n, n_gates):
    # vorn's cz runs on the diagonal path (one product on the control-1
    # half); vorn_python's forms all 16 products of its 4x4, whose zero
    # products can flip the sign of a zero part. Nothing else differs.
    rng = np.random.default_rng(n)
    a, b = twin_circuits(rng, n, n_gates)
    got = vorn.statevector(a).view(np.float64)
    want = vorn_python.run(b, shots=0, seed=0).statevector().view(np.float64)
    assert np.array_equal(got, want)
    differs = got.view(np.uint64) != want.view(np.uint64)
    assert np.all(got[differs] == 0.0)


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
def test_same_seed_same_outcomes_as_vorn_python(seed):
    rng = np.random.default_rng(seed % 1000)
    a, b = twin_circuits(rng, 5, 40)
    a.measure_all()
    b.measure_all()
    assert vorn.run(a, shots=3000, seed=seed).counts() == vorn_python.run(b, shots=3000, seed=seed).counts()


def test_partial_measurement_is_vorn_pythons_outcome_read_through_the_clbit_map():
    # vorn_python draws whole-register outcomes; vorn draws the same ones and
    # reports the measured qubits on their clbits (unmeasured clbits read 0).
    rng = np.random.default_rng(3)
    a, b = twin_circuits(rng, 4, 30)
    a2 = vorn.Circuit(4, 3)
    for ins in a.data:
        getattr(a2, ins.name)(*ins.params, *ins.qubits)
    a2.measure(3, 0)
    a2.measure(1, 2)
    b.measure_all()
    want = {}
    for key, count in vorn_python.run(b, shots=2000, seed=11).counts().items():
        bit = {q: key[-1 - q] for q in range(4)}
        mapped = bit[1] + "0" + bit[3]  # clbit 2, clbit 1 (unmeasured), clbit 0
        want[mapped] = want.get(mapped, 0) + count
    assert vorn.run(a2, shots=2000, seed=11).counts() == dict(sorted(want.items()))
