"""The engine's one options value, vorn._ext.RunRequest: built from the
package's checked Request (Request.native()), taken by run_program,
sweep_run, sweep_expval, expval and adjoint_gradients, and refused where
an option cannot be served as asked."""

import numpy as np
import pytest

import vorn
from vorn import _ext
from vorn.execution.lowering import compile_parametric, compile_program, native_observables
from vorn.execution.request import make_request

from test_vorn_sweeps import ansatz, hamiltonian


def bell(measure=True):
    c = vorn.Circuit(2)
    c.h(0)
    c.cx(0, 1)
    if measure:
        c.measure_all()
    return c


def test_defaults_are_the_engine_defaults_and_fields_are_keyword_only():
    r = _ext.RunRequest()
    assert (r.seed, r.shots, r.keep_shots, r.require_finite, r.fusion_qubits, r.single_precision, r.threads,
            r.max_live_states, r.batch, r.keep_state) == (None, 0, False, False, 0, False, 0, 0, 0, False)
    with pytest.raises(TypeError):
        _ext.RunRequest(1, 2)
    r.seed, r.shots, r.batch = 2**64 - 1, 5, 3
    assert "seed=18446744073709551615, shots=5" in repr(r) and "batch=3" in repr(r)
    r.seed = None
    assert r.seed is None
    with pytest.raises(TypeError):
        _ext.RunRequest(shots=-1)


def test_native_carries_every_checked_option():
    request = make_request(shots=77, seed=9, memory=True, threads=1, fusion=True, precision="single")
    native = request._replace(max_live_states=4).native(keep_state=True, batch=6)
    assert (native.seed, native.shots, native.keep_shots, native.require_finite, native.fusion_qubits,
            native.single_precision, native.threads, native.max_live_states, native.batch, native.keep_state) == (
        9, 77, True, True, _ext.DEFAULT_FUSION_QUBITS, True, 1, 4, 6, True)
    plain = make_request().native(require_finite=False)
    assert (plain.seed, plain.shots, plain.keep_shots, plain.require_finite, plain.fusion_qubits,
            plain.single_precision, plain.threads) == (None, 1024, False, False, 0, False, 0)


@pytest.mark.parametrize("single", [False, True])
def test_run_program_picks_the_precision_from_the_request_and_matches_vorn_run(single):
    c = bell()
    native = make_request(shots=300, seed=4, memory=True, precision="single" if single else "double").native()
    state, outcomes, tally, shots = _ext.run_program(compile_program(c, True), native)
    assert state.dtype == (np.complex64 if single else np.complex128)
    result = vorn.run(c, 300, seed=4, memory=True, precision="single" if single else "double")
    assert state.tobytes() == result.statevector().tobytes()
    assert dict(zip(outcomes.tolist(), tally.tolist())) == {0: result.counts()["00"], 3: result.counts()["11"]}
    assert len(shots) == 300


def test_an_unseeded_run_differs_between_calls_while_a_seeded_one_repeats():
    program = compile_program(bell(), True)
    draws = {tuple(_ext.run_program(program, _ext.RunRequest(shots=64, keep_shots=True))[3].tolist())
             for _ in range(4)}
    assert len(draws) > 1
    seeded = _ext.RunRequest(seed=1, shots=64, keep_shots=True)
    assert _ext.run_program(program, seeded)[3].tobytes() == _ext.run_program(program, seeded)[3].tobytes()


def test_requests_no_engine_can_serve_are_refused_by_name():
    program = compile_program(bell(), True)
    with pytest.raises(ValueError, match=r"fusion_qubits must be between 0 \(off\) and 10 \(MAX_GATE_TARGETS\), "
                                         r"got 11"):
        _ext.run_program(program, _ext.RunRequest(fusion_qubits=_ext.MAX_GATE_TARGETS + 1))
    pool = _ext.pool_threads()
    with pytest.raises(ValueError, match=rf"threads must be between 1 and the pool's size {pool}"):
        _ext.run_program(program, _ext.RunRequest(threads=pool + 1))
    state = np.zeros(4, np.complex128)
    state[0] = 1
    with pytest.raises(ValueError, match="threads must be between"):
        _ext.expval(state, native_observables([hamiltonian(2)], 2), False, _ext.RunRequest(threads=pool + 1))
    c = ansatz(3, 1)
    pp, _ = compile_parametric(c, False)
    values = np.zeros((2, c.num_parameters))
    sums = native_observables([hamiltonian(3)], 3)
    with pytest.raises(ValueError, match="fusion_qubits must be between"):
        _ext.sweep_expval(pp, values, sums, False, _ext.RunRequest(fusion_qubits=99))
    for refused in (_ext.RunRequest(single_precision=True), _ext.RunRequest(fusion_qubits=3)):
        with pytest.raises(ValueError, match="adjoint_gradients runs the gates as compiled on a complex128 state"):
            _ext.adjoint_gradients(pp, values, sums, refused)
    values_only, jacobian = _ext.adjoint_gradients(pp, values, sums, _ext.RunRequest())
    assert values_only.shape == (2,) and jacobian.shape == (2 * c.num_parameters,)


def test_a_sweep_without_a_seed_still_gives_each_binding_its_own_stream():
    c = ansatz(3, 1, measure=True)
    pp, _ = compile_parametric(c, True)
    values = np.full((2, c.num_parameters), 0.7)  # two equal rows
    runs = _ext.sweep_run(pp, values, _ext.RunRequest(shots=200, keep_shots=True))
    assert len(runs) == 2
    assert runs[0][0].tobytes() == runs[1][0].tobytes()  # the same bound state
    assert runs[0][3].tobytes() != runs[1][3].tobytes()  # drawn from different streams
