"""The engine's sweep entry points with run options (fusion, variance,
single precision): row b of a sweep gives the bits of binding its values,
compiling that circuit and running it alone with the same options, side by
side and one after another, on 1 and 2 threads."""

import numpy as np
import pytest

from vorn import _ext
from vorn.execution.lowering import compile_parametric, compile_program as _compile
from vorn.execution.lowering import observable_arrays as _observable_arrays

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


def pauli_sums(hs, n):
    return _ext.PauliSums(*observable_arrays(hs, n))


def native(threads=0, fusion=False, single=False, **fields):
    """The engine's request with fusion at its default width when asked for."""
    return _ext.RunRequest(threads=threads, fusion_qubits=_ext.DEFAULT_FUSION_QUBITS if fusion else 0,
                           single_precision=single, **fields)


def run_alone(program, seed, shots, keep_shots, threads, fusion, single):
    """The run of one compiled program with the options a sweep was given."""
    request = native(threads, fusion, single, seed=seed, shots=shots, keep_shots=keep_shots, require_finite=True)
    return _ext.run_program(program, request)


OPTIONS = pytest.mark.parametrize("fusion, single", [(False, False), (True, False), (False, True), (True, True)],
                                  ids=["exact", "fusion", "single", "fusion-single"])


# Run options ----------------------------------------------------------------------------------------------------


@OPTIONS
@pytest.mark.parametrize("n", [5, 12])
def test_sweep_run_rows_are_each_bound_program_run_alone(placement, fusion, single, n):
    mode, threads = placement
    c = ansatz(n, 2, measure=True)
    vals = values_for(c, 4, seed=0)
    vals[1, 0] = -0.0
    program, _ = compile_parametric(c, True)
    runs = _ext.sweep_run(program, vals, native(threads, fusion, single, seed=9, shots=150, keep_shots=True,
                                                require_finite=True), None, mode)
    assert len(runs) == 4
    for b, (state, outcomes, tally, shots) in enumerate(runs):
        assert state.dtype == (np.complex64 if single else np.complex128) and state.shape == (2**n,)
        alone = run_alone(bound_program(c, vals[b], True), _ext.binding_seed(9, b), 150, True, threads, fusion, single)
        assert state.tobytes() == alone[0].tobytes()
        for got, want in zip((outcomes, tally, shots), alone[1:]):
            assert got.tobytes() == want.tobytes()
    if fusion:
        # On 12 qubits the fused path merges: its rounding differs from the
        # exact one somewhere; on 5 nothing merges and the bits are the exact ones.
        exact = _ext.sweep_run(program, vals, native(threads, False, single, seed=9, shots=150, keep_shots=True,
                                                     require_finite=True), None, mode)
        assert any(f[0].tobytes() != e[0].tobytes() for f, e in zip(runs, exact)) == (n >= 12)


@OPTIONS
@pytest.mark.parametrize("variance", [False, True])
def test_sweep_expval_rows_are_expval_of_each_bound_state(placement, fusion, single, variance):
    mode, threads = placement
    c = ansatz(6, 2)
    hs = [hamiltonian(6), hamiltonian(6, terms=1, seed=2), hamiltonian(6, terms=9, seed=6)]
    sums = pauli_sums(hs, 6)
    vals = values_for(c, 4, seed=1)
    program, _ = compile_parametric(c, False)
    out = _ext.sweep_expval(program, vals, sums, variance, native(threads, fusion, single), None, mode)
    values, variances = out if variance else (out, None)
    assert values.shape == (4 * 3,) and values.dtype == np.complex128
    if variance:
        assert variances.shape == (4 * 3,) and variances.dtype == np.float64
    for b in range(4):
        state = run_alone(bound_program(c, vals[b], False), 0, 0, False, threads, fusion, single)[0]
        ev, var = _ext.expval(state, sums, variance, native(threads))
        assert values[3 * b:3 * b + 3].tobytes() == ev.tobytes()
        if variance:
            assert variances[3 * b:3 * b + 3].tobytes() == var.tobytes()


def test_sweep_expval_returns_values_alone_unless_variances_are_asked_for():
    c = ansatz(4, 1)
    sums = pauli_sums([hamiltonian(4), hamiltonian(4, seed=9)], 4)
    vals = values_for(c, 3, seed=5)
    program, _ = compile_parametric(c, False)
    values = _ext.sweep_expval(program, vals, sums, False, native())
    pair = _ext.sweep_expval(program, vals, sums, True, native())
    assert isinstance(values, np.ndarray) and isinstance(pair, tuple) and len(pair) == 2
    assert values.tobytes() == pair[0].tobytes()
    assert np.all(pair[1] >= 0)


def test_sweep_variances_refuse_complex_coefficients():
    c = ansatz(3, 1)
    program, _ = compile_parametric(c, False)
    x, z, coeffs, offsets = observable_arrays([hamiltonian(3), hamiltonian(3, seed=5)], 3)
    coeffs = coeffs.copy()
    coeffs[-1] += 0.5j
    sums = _ext.PauliSums(x, z, coeffs, offsets)
    assert not sums.hermitian and len(sums) == 2
    with pytest.raises(ValueError, match=r"term 5 of observable 1 has an imaginary component 0\.5"):
        _ext.sweep_expval(program, values_for(c, 3, seed=0), sums, True, native())
    values = _ext.sweep_expval(program, values_for(c, 3, seed=0), sums, False, native())  # values alone: fine
    assert values.shape == (6,) and np.any(values.imag != 0)


@pytest.mark.parametrize("shots, keep_shots", [(0, False), (100, False), (100, True)])
def test_sweep_memory_counts_one_run_and_the_kept_states_in_their_precision(shots, keep_shots):
    # One after another: one run at a time, each binding keeping its state.
    n, bindings = 7, 5
    c = ansatz(n, 1, measure=True)
    samples = shots >= 1
    program, _ = compile_parametric(c, samples)
    one = bound_program(c, values_for(c, 1, seed=0)[0], samples)
    for single, amplitude in ((False, 16), (True, 8)):
        request = native(single=single, shots=shots, keep_shots=keep_shots)
        run = one.required_memory(request)
        kept = program.sweep_memory(bindings, request, True, ONE_AFTER_ANOTHER)
        assert kept == run + bindings * amplitude * 2**n
        assert program.sweep_memory(bindings, request, False, ONE_AFTER_ANOTHER) == run
