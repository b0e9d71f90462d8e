"""Sweeps: one parameterised circuit, many bindings, one call.

A circuit with parameters is compiled once into a program that knows which
angle slots depend on which parameters (an affine expression each); the engine
binds each row of a ``(bindings, num_parameters)`` array by rebuilding only
those gates, with the interpreter lock released. Row b gives the same bits as
binding its values with :meth:`vorn.Circuit.assign_parameters` and running
that circuit alone, whatever the batch size, the thread count and whether the
bindings ran side by side (small registers: one state per task) or one after
another with parallel kernels (large registers).
"""

from __future__ import annotations

import secrets
from typing import Any

import numpy as np

from . import _branching, _ext
from .circuit import GATES, Circuit
from .observables import PauliSum, _observable_arrays as _term_arrays, _observable_list
from .parameters import ParameterExpression, circuit_parameters
from .simulation import (_MAX_SEED, _MAX_SHOTS, DEFAULT_SHOTS, Progress, Result, _Clbits, _flatten, _non_negative,
                         _threads, _Watch)

__all__ = ["binding_seed"]

_GLOBAL_PHASE = 2**64 - 1  # the engine's slot gate index of the global phase

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
    return _ext.binding_seed(_non_negative(seed, "seed", _MAX_SEED), _non_negative(index, "index", _MAX_SEED))


def _compile(circuit: Circuit, samples: bool) -> tuple[_ext.ParametricProgram, list[Any]]:
    """The circuit's program with every symbolic angle as a slot, and the
    parameters in column order."""
    _, names, arity, qubits, params, matrices, _ = _flatten(circuit)
    order = circuit_parameters(circuit)
    column = {p: i for i, p in enumerate(order)}
    slot_gate: list[int] = []
    slot_index: list[int] = []
    offsets = [0]
    term_param: list[int] = []
    term_coeff: list[float] = []
    constants: list[float] = []
    has_constant: list[bool] = []

    def slot(gate: int, index: int, expr: ParameterExpression) -> None:
        slot_gate.append(gate)
        slot_index.append(index)
        for p, c in expr.terms:
            term_param.append(column[p])
            term_coeff.append(c)
        offsets.append(len(term_param))
        constants.append(expr.constant)
        has_constant.append(expr.constant != 0.0)

    position = 0
    for g, name in enumerate(names):
        count = GATES[name]["num_params"] if name in GATES else 0
        for j in range(count):
            value = params[position + j]
            if type(value) is not float and isinstance(value, ParameterExpression):
                slot(g, j, value)
                params[position + j] = 0.0  # a placeholder: every binding rebuilds the gate
        position += count
    phase = circuit.global_phase
    if isinstance(phase, ParameterExpression):
        slot(_GLOBAL_PHASE, 0, phase)
        phase = 0.0
    program = _ext.compile_parametric(circuit.num_qubits, names, arity, qubits, params, matrices, phase, samples,
                                      len(order), slot_gate, slot_index, offsets, term_param, term_coeff, constants,
                                      has_constant)
    return program, order


def _values(params: Any, count: int) -> tuple[np.ndarray, bool]:
    """(bindings, count) float64 values, and whether one 1-D binding was given."""
    if isinstance(params, (str, bytes, dict)):
        raise TypeError(f"params must be an array of shape (bindings, {count}), not {type(params).__name__}")
    try:
        a = np.asarray(params)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"params must be an array of shape (bindings, {count}): {exc}") from None
    if a.dtype.kind not in "fiu" and not (a.size == 0 and a.dtype.kind in "bO"):
        raise TypeError(f"params must hold real numbers, not {a.dtype}")
    single = a.ndim == 1
    if single:
        a = a.reshape(1, -1)
    if a.ndim != 2 or a.shape[1] != count:
        raise ValueError(f"params has shape {np.shape(params)}; expected (bindings, {count}) (or ({count},) for "
                         f"one binding), columns in circuit.parameters order")
    return np.ascontiguousarray(a, dtype=np.float64), single


def _call(function: Any, program: Any, values: np.ndarray, *args: Any, timeout: float | None,
          progress: bool | Progress | None, threads: int | None, steps: int | None = None) -> Any:
    """function(program, values, *args, poll, threads, mode) under a watch; the
    last report says ``steps`` per binding done (gates, by default)."""
    thread_count = _threads(threads)
    watch = _Watch(timeout, progress)
    try:
        out = function(program, values, *args, watch.poll(), thread_count, _MODE)
        watch.finish(len(values) * (len(program) if steps is None else steps))
        return out
    finally:
        watch.close()


def _observable_arrays(observables: PauliSum | list[PauliSum], n: int) -> tuple[list[PauliSum], tuple, bool]:
    observables = _observable_list(observables)
    x, z, coeffs, offsets = _term_arrays(observables, n, "the state")
    real = not np.any(coeffs.imag != 0)  # NaN + 0j counts as real, any other imaginary part not
    return observables, (x, z, coeffs, offsets), real


def sweep_expval(circuit: Circuit, observables: Any, params: Any, *, timeout: float | None = None,
                 progress: bool | Progress | None = None, threads: int | None = None) -> np.ndarray:
    """vorn.expval(circuit, observables, params=...) (see there)."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"params= needs a vorn.Circuit, not {type(circuit).__name__}")
    if _branching.is_dynamic(circuit):
        raise ValueError("a circuit that measures in the middle, resets or conditions has no single final state, "
                         "so no expectation value")
    program, order = _compile(circuit, False)
    values, single = _values(params, len(order))
    observables, arrays, real = _observable_arrays(observables, circuit.num_qubits)
    flat = _call(_ext.sweep_expval, program, values, *arrays, timeout=timeout, progress=progress, threads=threads)
    out = flat.reshape(len(values), len(observables))
    out = np.ascontiguousarray(out.real) if real else out
    return out[0] if single else out


def sweep_run(circuit: Circuit, shots: int, seed: int | None, params: Any, *, memory: bool = False,
              timeout: float | None = None, progress: bool | Progress | None = None,
              threads: int | None = None) -> list[Result] | Result:
    """vorn.run(circuit, shots, seed, params=...) (see there)."""
    shots = _non_negative(shots, "shots", _MAX_SHOTS)
    seed = secrets.randbits(64) if seed is None else _non_negative(seed, "seed", _MAX_SEED)
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if _branching.is_dynamic(circuit):
        results = _dynamic_runs(circuit, shots, seed, params, bool(memory), timeout, progress, threads)
        return results[0] if len(results) == 1 and np.ndim(params) == 1 else results
    clbits = _Clbits(circuit)
    samples = shots >= 1 and bool(clbits._data)
    program, order = _compile(circuit, samples)
    values, single = _values(params, len(order))
    keep = bool(memory)
    runs = _call(_ext.sweep_run, program, values, seed, shots, keep, True, timeout=timeout, progress=progress,
                 threads=threads)
    results = [Result(state, clbits, outcomes, tally, shot_outcomes if keep else None, shots)
               for state, outcomes, tally, shot_outcomes in runs]
    return results[0] if single else results


def _dynamic_runs(circuit: Circuit, shots: int, seed: int, params: Any, memory: bool, timeout: float | None,
                  progress: bool | Progress | None, threads: int | None) -> list[Result]:
    """A circuit that measures in the middle, resets or conditions branches per
    shot, which the engine's sweep does not: each binding runs as its bound
    circuit with its binding seed (what a sweep's row equals by definition),
    under one deadline."""
    values, _ = _values(params, len(circuit_parameters(circuit)))
    thread_count = _threads(threads)
    deadline = _Watch(timeout, None).deadline
    results = []
    for b, row in enumerate(values):
        bound = circuit.assign_parameters(row)
        watch = _Watch(timeout, progress, deadline=deadline)
        results.append(_branching.run(bound, shots, binding_seed(seed, b), memory, watch, thread_count))
    return results


def required_memory(circuit: Circuit, params: Any, shots: int = DEFAULT_SHOTS, *, memory: bool = False,
                    observables: int | None = None, gradient: bool = False) -> int:
    """vorn.required_memory with params= (see there)."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    samples = shots >= 1 and any(ins.name == "measure" for ins in circuit._data)
    program, order = _compile(circuit, samples)
    bindings = len(_values(params, len(order))[0])
    if gradient:
        return program.gradient_memory(bindings, max(int(observables or 1), 1), _MODE)
    if observables is not None:
        return program.sweep_memory(bindings, 0, False, False, _MODE)
    return program.sweep_memory(bindings, shots, bool(memory), True, _MODE)
