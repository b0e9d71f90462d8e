"""Sweeps: one parameterised circuit, many bindings, one call.

A circuit with parameters is compiled once into a program that knows which
angle slots depend on which parameters (an affine expression each); the engine
binds each row of a ``(bindings, num_parameters)`` array by rebuilding only
those gates, with the interpreter lock released. Row b gives the same bits as
binding its values with :meth:`vorn.Circuit.assign_parameters` and running
that circuit alone, whatever the batch size, the thread count and whether the
bindings ran side by side (small registers: one state per task) or one after
another with parallel kernels (large registers).

Dynamic and noisy circuits run each binding as its bound circuit with its
binding seed (what a sweep's row equals by definition), under one deadline.
"""

from __future__ import annotations

import secrets
from typing import Any

import numpy as np

from .. import _ext
from ..model.circuit import Circuit
from ..model.noise_model import NoiseModel
from ..model.parameters import circuit_parameters
from ..model.pauli import PauliSum
from . import engines
from .lowering import lower, native_observables
from .request import MAX_SEED, Request, non_negative, refuse_unserved
from .results import Clbits, Result
from .watch import Watch

__all__ = ["binding_seed", "sweep_expval", "sweep_run"]

# How bindings are placed: 0 by register size, 1 side by side, 2 one after
# another (tests force each path; results are the same bits either way).
_MODE = 0


def binding_seed(seed: int, index: int) -> int:
    """The seed binding ``index`` of ``vorn.run(c, shots, seed, params=...)``
    runs with: its result equals ``vorn.run(bound circuit, shots,
    seed=binding_seed(seed, index))``. Derived from the ChaCha12 stream keyed
    by ``seed`` (block ``index``, a nonce no run uses), never from a thread.

    Args:
        seed: the sweep's seed, 0 to 2**64 - 1.
        index: the binding's row, 0 to 2**64 - 1.
    """
    return _ext.binding_seed(non_negative(seed, "seed", MAX_SEED), non_negative(index, "index", MAX_SEED))


def values_of(params: Any, count: int) -> tuple[np.ndarray, bool]:
    """(bindings, count) float64 values, and whether one 1-D binding was given."""
    if isinstance(params, (str, bytes, dict)):
        raise TypeError(f"params must be an array of shape (bindings, {count}), not {type(params).__name__}")
    try:
        a = np.asarray(params)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"params must be an array of shape (bindings, {count}): {exc}") from None
    if a.dtype.kind not in "fiu" and not (a.size == 0 and a.dtype.kind in "bO"):
        raise TypeError(f"params must hold real numbers, not {a.dtype}")
    one = a.ndim == 1
    if one:
        a = a.reshape(1, -1)
    if a.ndim != 2 or a.shape[1] != count:
        raise ValueError(f"params has shape {np.shape(params)}; expected (bindings, {count}) (or ({count},) for "
                         f"one binding), columns in circuit.parameters order")
    return np.ascontiguousarray(a, dtype=np.float64), one


def call(function: Any, program: Any, values: np.ndarray, *args: Any, request: Request,
         steps: int | None = None) -> Any:
    """function(program, values, *args, request.native(), poll, mode) under a
    watch; the last report says ``steps`` per binding done (gates, by default)."""
    watch = Watch(request.timeout, request.progress)
    try:
        out = function(program, values, *args, request.native(), watch.poll(), _MODE)
        watch.finish(len(values) * (len(program) if steps is None else steps))
        return out
    finally:
        watch.close()


def _bound_circuits(circuit: Circuit, params: Any) -> tuple[list[Circuit], bool]:
    values, one = values_of(params, len(circuit_parameters(circuit)))
    return [circuit.assign_parameters(row) for row in values], one


def sweep_run(circuit: Circuit, params: Any, request: Request, noise: NoiseModel | None = None) -> Any:
    """vorn.run(circuit, shots, seed, params=...): a list of results, one per row
    (one result for a 1-D ``params``)."""
    seed = secrets.randbits(64) if request.seed is None else request.seed
    lowered = lower(circuit, samples=request.shots >= 1, noise=noise, parametric=True)
    refuse_unserved(request, ("params",))
    if lowered.kind != "plain":
        bound, one = _bound_circuits(circuit, params)
        deadline = Watch(request.timeout, None).deadline
        results = [engines.run(c, request._replace(seed=binding_seed(seed, b)), noise,
                               watch=Watch(request.timeout, request.progress, deadline=deadline))
                   for b, c in enumerate(bound)]
        return results[0] if one else results
    clbits = Clbits(circuit)
    values, one = values_of(params, len(lowered.order))
    runs = call(_ext.sweep_run, lowered.program, values, request=request._replace(seed=seed))
    results = [Result(state, clbits, outcomes, tally, shot_outcomes if request.memory else None, request.shots)
               for state, outcomes, tally, shot_outcomes in runs]
    return results[0] if one else results


def sweep_expval(circuit: Circuit, observables: list[PauliSum], params: Any, request: Request,
                 variance: bool = False, noise: NoiseModel | None = None) -> Any:
    """vorn.expval(circuit, observables, params=...): shape (bindings, observables)."""
    lowered = lower(circuit, samples=False, noise=noise, parametric=True)
    refuse_unserved(request, ("params",), variance=variance)
    if lowered.kind != "plain" or request.trajectories is not None:
        # Each binding exactly as its bound circuit alone, trajectories seeded by binding.
        bound, one = _bound_circuits(circuit, params)
        seed = secrets.randbits(64) if request.seed is None else request.seed
        sampled = request.trajectories is not None or noise is not None
        rows = [engines.expval_circuit(c, observables, request._replace(seed=binding_seed(seed, b))
                                       if sampled else request, variance, noise) for b, c in enumerate(bound)]
        if sampled or variance:
            pair = (np.array([r[0] for r in rows]), np.array([r[1] for r in rows]))
            return (pair[0][0], pair[1][0]) if one else pair
        out = np.array(rows)
        return out[0] if one else out
    values, one = values_of(params, len(lowered.order))
    measured = native_observables(observables, circuit.num_qubits)
    real = measured.hermitian
    if variance and not real:
        raise ValueError("variance=True needs real coefficients (a Hermitian sum)")
    flat = call(_ext.sweep_expval, lowered.program, values, measured, bool(variance), request=request)
    shape = (len(values), len(observables))
    flat, variances = flat if variance else (flat, None)
    out = flat.reshape(shape)
    out = np.ascontiguousarray(out.real) if real else out
    if variance:
        out = (out, np.asarray(variances).reshape(shape))
        return (out[0][0], out[1][0]) if one else out
    return out[0] if one else out


def required_memory(circuit: Circuit, params: Any, request: Request, observables: int | None = None,
                    gradient: bool = False) -> int:
    """vorn.required_memory with params= (see there)."""
    refuse_unserved(request, ("params",))
    lowered = lower(circuit, samples=request.shots >= 1, parametric=True)
    bindings = len(values_of(params, len(lowered.order))[0])
    if gradient:
        if request.single:
            raise ValueError("precision='single' cannot be combined with gradients: the adjoint method runs on a "
                             "complex128 state")
        return lowered.program.gradient_memory(bindings, max(int(observables or 1), 1), _MODE)
    if observables is not None:
        return lowered.program.sweep_memory(bindings, request._replace(shots=0, memory=False).native(), False, _MODE)
    return lowered.program.sweep_memory(bindings, request.native(), True, _MODE)
