"""The engine's sweep entry points with run options (fusion, variance): row
b of a sweep gives the bits of binding its values, compiling that circuit and
running it alone with the same options, side by side and one after another,
on 1 and 2 threads."""

import numpy as np
import pytest

from vorn import _ext, sweeps
from vorn.observables import _observable_arrays
from vorn.simulation import _compile

from test_vorn_sweeps import ansatz, hamiltonian

SIDE_BY_SIDE, ONE_AFTER_ANOTHER = 1, 2


@pytest.fixture(params=[(SIDE_BY_SIDE, 1), (SIDE_BY_SIDE, 2), (ONE_AFTER_ANOTHER, 1), (ONE_AFTER_ANOTHER, 2)],
                ids=["side_by_side-1", "side_by_side-2", "one_after_another-1", "one_after_another-2"])
def placement(request):
    """(mode, threads); 2 threads only where the pool has them."""
    mode, threads = request.param
    if threads > _ext.pool_threads():
        pytest.skip("the pool has one thread")
    return mode, threads


def values_for(c, bindings, seed):
    return np.random.default_rng(seed).uniform(-3, 3, (bindings, c.num_parameters))


def bound_program(c, row, samples):
    """The program vorn.run compiles for the circuit bound to `row`."""
    return _compile(c.assign_parameters(row), samples)


def observable_arrays(hs, n):
    return _observable_arrays(hs, n, "the state")


# Fusion ---------------------------------------------------------------------------------------------------------


def test_fused_sweep_run_rows_are_each_bound_program_fused_alone(placement):
    mode, threads = placement
    c = ansatz(5, 2, measure=True)
    vals = values_for(c, 4, seed=0)
    program, _ = sweeps._compile(c, True)
    runs = _ext.sweep_run(program, vals, 9, 150, True, True, None, threads, mode, fusion=True)
    plain = _ext.sweep_run(program, vals, 9, 150, True, True, None, threads, mode)
    assert len(runs) == 4
    for b, (state, outcomes, tally, shots) in enumerate(runs):
        alone = _ext.run_program(bound_program(c, vals[b], True), _ext.binding_seed(9, b), 150, True, True,
                                 threads=threads, fusion=True)
        assert state.tobytes() == alone[0].tobytes()
        for got, want in zip((outcomes, tally, shots), alone[1:]):
            assert got.tobytes() == want.tobytes()
    # The fused path was taken: its rounding differs from the exact one somewhere.
    assert any(f[0].tobytes() != p[0].tobytes() for f, p in zip(runs, plain))


def test_fused_sweep_expval_rows_are_the_expval_of_each_fused_state(placement):
    mode, threads = placement
    c = ansatz(6, 2)
    hs = [hamiltonian(6), hamiltonian(6, terms=3, seed=8)]
    arrays = observable_arrays(hs, 6)
    vals = values_for(c, 5, seed=1)
    program, _ = sweeps._compile(c, False)
    out = _ext.sweep_expval(program, vals, *arrays, None, threads, mode, fusion=True)
    assert out.shape == (5 * 2,) and out.dtype == np.complex128
    for b in range(5):
        state = _ext.run_program(bound_program(c, vals[b], False), 0, 0, threads=threads, fusion=True)[0]
        values, _ = _ext.expval(state, *arrays, False, None, threads)
        assert out[2 * b:2 * b + 2].tobytes() == values.tobytes()


# Variance --------------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("fusion", [False, True])
def test_sweep_variances_are_expval_variances_of_each_bound_state(placement, fusion):
    mode, threads = placement
    c = ansatz(5, 2)
    hs = [hamiltonian(5), hamiltonian(5, terms=1, seed=2), hamiltonian(5, terms=9, seed=6)]
    arrays = observable_arrays(hs, 5)
    vals = values_for(c, 4, seed=2)
    program, _ = sweeps._compile(c, False)
    values, variances = _ext.sweep_expval(program, vals, *arrays, None, threads, mode, fusion=fusion, variance=True)
    assert values.shape == variances.shape == (4 * 3,) and variances.dtype == np.float64
    plain = _ext.sweep_expval(program, vals, *arrays, None, threads, mode, fusion=fusion)
    assert isinstance(plain, np.ndarray) and plain.tobytes() == values.tobytes()  # without it, as before
    for b in range(4):
        state = _ext.run_program(bound_program(c, vals[b], False), 0, 0, threads=threads, fusion=fusion)[0]
        ev, var = _ext.expval(state, *arrays, True, None, threads)
        assert values[3 * b:3 * b + 3].tobytes() == ev.tobytes()
        assert variances[3 * b:3 * b + 3].tobytes() == var.tobytes()


def test_sweep_variances_refuse_complex_coefficients():
    c = ansatz(3, 1)
    program, _ = sweeps._compile(c, False)
    x, z, coeffs, offsets = observable_arrays([hamiltonian(3), hamiltonian(3, seed=5)], 3)
    coeffs = coeffs.copy()
    coeffs[-1] += 0.5j
    with pytest.raises(ValueError, match=r"term 5 of observable 1 has imaginary part 0\.5"):
        _ext.sweep_expval(program, values_for(c, 3, seed=0), x, z, coeffs, offsets, variance=True)
    values = _ext.sweep_expval(program, values_for(c, 3, seed=0), x, z, coeffs, offsets)  # values alone: fine
    assert values.shape == (6,) and np.any(values.imag != 0)
