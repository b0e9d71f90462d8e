"""The engines behind one circuit's run, state or expectation values. Each
takes a lowered circuit (lowering.py) and one checked Request
(request.py); the API module picks which runs.

- plain: simulate once, sample the final state.
- dynamic: branch at each mid-circuit measurement (shots split binomially);
  the exact expectation value over all outcomes; or sampled trajectories.
- noisy: one quantum trajectory per shot, trajectories sharing prefixes.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _ext
from ..model.circuit import Circuit
from ..model.noise_model import NoiseModel
from ..model.pauli import PauliSum
from .lowering import NO_NOISE, Lowered, is_real, lower, native_observables, observable_arrays
from .request import DEFAULT_TRAJECTORIES, Request, refuse_unserved
from .results import Clbits, DynamicResult, NoisyResult, Result, clbit_values, readonly
from .watch import Watch

__all__ = ["expval_circuit", "expval_state", "required_memory", "run", "statevector"]


def _watched(call: Any, watch: Watch, total: int | None = None) -> Any:
    """call(poll) under the watch: the last report, then the bar closed."""
    try:
        out = call(watch.poll())
        watch.finish(total)
        return out
    finally:
        watch.close()


def _kinds(lowered: Lowered) -> tuple[str, ...]:
    return {"plain": (), "dynamic": ("dynamic",), "noisy": ("noise", "dynamic")}[lowered.kind]


def _check_model(circuit: Circuit, noise: NoiseModel | None) -> None:
    if noise is None:
        return
    if not isinstance(noise, NoiseModel):
        raise TypeError(f"noise must be a vorn.noise.NoiseModel, not {type(noise).__name__}")
    if circuit.num_clbits > 64:
        raise ValueError(f"a noisy run records at most 64 clbits, the circuit has {circuit.num_clbits}")
    noise._warn_unused(circuit)


def run(circuit: Circuit, request: Request, noise: NoiseModel | None = None, *, watch: Watch | None = None,
        batch: int = 0) -> Result:
    """One run of ``circuit``: counts (and memory) from the engine its kind
    needs. Everything the result needs is taken from the circuit now."""
    _check_model(circuit, noise)
    lowered = lower(circuit, samples=request.shots >= 1, noise=noise, single=request.single)
    refuse_unserved(request, _kinds(lowered))
    watch = watch or Watch(request.timeout, request.progress)
    if lowered.kind == "plain":
        clbits = Clbits(circuit)
        native = request.native()
        state, outcomes, tally, shot_outcomes = _watched(
            lambda poll: _ext.run_program(lowered.program, native, poll), watch, len(lowered.program))
        return Result(state, clbits, outcomes, tally, shot_outcomes if request.memory else None, request.shots)
    clbits = clbit_values(circuit)
    if lowered.kind == "dynamic":
        state, values, counts, shot_values = _watched(
            lambda poll: _ext.run_dynamic(lowered.program, lowered.steps, lowered.finals, circuit.num_clbits,
                                          request.native(keep_state=request.shots == 1), poll), watch)
        result: DynamicResult = DynamicResult(readonly(state), clbits, values, counts,
                                              shot_values if request.memory else None, request.shots)
    else:
        state, values, counts, shot_values, paths = _watched(
            lambda poll: _ext.run_noisy(lowered.program, lowered.steps, lowered.finals, circuit.num_clbits,
                                        lowered.noise, request.native(batch=batch), poll), watch)
        result = NoisyResult(state, clbits, values, counts, shot_values if request.memory else None, request.shots)
        result.distinct_paths = paths
    result._num_qubits = circuit.num_qubits
    return result


def statevector(circuit: Circuit, request: Request, watch: Watch | None = None) -> np.ndarray:
    """The state after every gate of a circuit without dynamic steps."""
    lowered = lower(circuit, samples=False, single=request.single)
    if lowered.kind != "plain":
        raise ValueError("a circuit that measures in the middle, resets or conditions has no single final state: "
                         "run(circuit, shots=1).statevector() gives one shot's")
    watch = watch or Watch(request.timeout, request.progress)
    # Seed 0: nothing is drawn, and a seeded stream asks the OS for no entropy.
    native = request._replace(seed=0, shots=0, memory=False).native(require_finite=False)
    state, _, _, _ = _watched(lambda poll: _ext.run_program(lowered.program, native, poll), watch,
                              len(lowered.program))
    return readonly(state)


def expval_state(state: np.ndarray, observables: list[PauliSum], request: Request, variance: bool,
                 watch: Watch) -> Any:
    """<psi|H|psi> (and the variance) of each observable on a state read in place."""
    measured = native_observables(observables, state.size.bit_length() - 1, "the state")
    real = measured.hermitian
    if variance and not real:
        raise ValueError("variance=True needs real coefficients (a Hermitian sum)")
    native = request.native()
    values, variances = _watched(lambda poll: _ext.expval(state, measured, bool(variance), native, poll), watch)
    values = np.ascontiguousarray(values.real) if real else values
    return (values, variances) if variance else values


def expval_circuit(circuit: Circuit, observables: list[PauliSum], request: Request, variance: bool = False,
                   noise: NoiseModel | None = None, batch: int = 0) -> Any:
    """Expectation values of a circuit's final state: exact for a plain or
    dynamic circuit (over every measurement outcome, weighted by its
    probability), or the mean over ``request.trajectories`` trajectories
    with its standard error (always so under noise)."""
    _check_model(circuit, noise)
    lowered = lower(circuit, samples=False, noise=noise, single=request.single)
    sampled = request.trajectories is not None or lowered.kind == "noisy"
    refuse_unserved(request, _kinds(lowered) + (("outcomes",) if sampled or lowered.kind != "plain" else ()),
                    variance=variance)
    if sampled:
        if variance:
            raise ValueError("variance=True cannot be combined with trajectories=: trajectories estimate means only")
        return _expval_trajectories(circuit, lowered, observables, request, batch)
    if request.seed is not None:
        raise ValueError("seed= applies only with noise= or trajectories= (an exact expectation value draws nothing)")
    if lowered.kind == "plain":
        simulation = Watch(request.timeout, request.progress)
        state = statevector(circuit, request, simulation)
        watch = Watch(request.timeout, request.progress, unit="leaf", deadline=simulation.deadline)
        return expval_state(state, observables, request, variance, watch)
    return _expval_dynamic(circuit, lowered, observables, request, variance)


def _expval_dynamic(circuit: Circuit, lowered: Lowered, observables: list[PauliSum], request: Request,
                    variance: bool) -> Any:
    x, z, coeffs, offsets = observable_arrays(observables, circuit.num_qubits, "the circuit")
    real = is_real(coeffs)
    if variance and not real:
        raise ValueError("variance=True needs real coefficients (a Hermitian sum)")
    watch = Watch(request.timeout, request.progress)
    values, variances = _watched(
        lambda poll: _ext.expval_dynamic(lowered.program, lowered.steps, lowered.finals, circuit.num_clbits, x, z,
                                         coeffs, offsets, bool(variance), request.native(), poll), watch)
    values = np.ascontiguousarray(values.real) if real else values
    return (values, variances) if variance else values


def _expval_trajectories(circuit: Circuit, lowered: Lowered, observables: list[PauliSum], request: Request,
                         batch: int) -> tuple[np.ndarray, np.ndarray]:
    x, z, coeffs, offsets = observable_arrays(observables, circuit.num_qubits, "the circuit")
    if not is_real(coeffs):
        raise ValueError("a trajectory expval needs real coefficients (a Hermitian sum)")
    count = DEFAULT_TRAJECTORIES if request.trajectories is None else request.trajectories
    watch = Watch(request.timeout, request.progress, unit="trajectory")
    means, errors, _ = _watched(
        lambda poll: _ext.expval_noisy(lowered.program, lowered.steps, circuit.num_clbits, lowered.noise, x, z,
                                       coeffs, offsets, count, request.native(batch=batch), poll), watch)
    return np.array(means), np.array(errors)


def required_memory(circuit: Circuit, request: Request) -> int:
    """Bytes a run of the circuit with the request's shots and memory allocates at its peak."""
    lowered = lower(circuit, samples=request.shots >= 1, single=request.single)
    refuse_unserved(request, _kinds(lowered))
    if lowered.kind == "dynamic":
        return _ext.dynamic_required_memory(lowered.program, lowered.steps, lowered.finals, circuit.num_clbits,
                                            request.native())
    return lowered.program.required_memory(request.native())

