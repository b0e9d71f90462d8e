"""Gradients of expectation values by the adjoint method.

One forward pass gives psi; then the engine walks back through the inverse
gates carrying lambda = H|psi> for each observable (Jones and Gacon,
arXiv:2009.02823), and each parameterised angle adds 2 Re <lambda| dU psi>,
times its coefficient, to the parameters of its affine expression. Memory is
two states plus one per observable (observables go in batches when that does
not fit, and MemoryError names the figure when not even one does).

dU/dtheta is taken from the gate table's own rows: each entry of a table
gate's matrix is a trigonometric polynomial in an angle with frequencies in
{0, +-1/2, +-1}, so the derivative is an exact fixed combination of the row's
matrix at four shifted angles. Every parameterised gate of the table
differentiates this way, controlled ones included.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _ext
from .circuit import GATES, Circuit
from .observables import PauliSum
from .simulation import Progress
from .sweeps import _call, _compile, _observable_arrays, _values

__all__ = ["jacobian", "value_and_grad"]


def _require_unitary_part(circuit: Circuit) -> None:
    """Gradients need the gates to be the whole story: measurements (if any) last."""
    measured = False
    for i, ins in enumerate(circuit._data):
        if ins.name == "measure":
            measured = True
        elif ins.name == "barrier":
            continue
        elif ins.name not in GATES and ins.name != "unitary":
            raise ValueError(f"gradients need a circuit of gates: instruction {i} is '{ins.name}'")
        elif measured:
            raise ValueError(f"gradients need the measurements at the end: gate '{ins.name}' (instruction {i}) "
                             "follows a measurement")


def _gradients(circuit: Circuit, observables: Any, params: Any, timeout: Any, progress: Any, threads: Any
               ) -> tuple[np.ndarray, np.ndarray, bool]:
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    _require_unitary_part(circuit)
    program, order = _compile(circuit, False)
    values, single = _values(params, len(order))
    observables, arrays, real = _observable_arrays(observables, circuit.num_qubits)
    if not real:
        raise ValueError("gradients need real coefficients (Hermitian observables)")
    # Steps per binding: the values, then each gate forward and back (one batch of observables).
    flat_values, flat_jac = _call(_ext.adjoint_gradients, program, values, *arrays, timeout=timeout,
                                  progress=progress, threads=threads, steps=1 + 2 * len(program))
    b, h, p = len(values), len(observables), len(order)
    return (np.ascontiguousarray(flat_values.real.reshape(b, h)), flat_jac.reshape(b, h, p), single)


def value_and_grad(circuit: Circuit, observable: PauliSum, params: Any, *, timeout: float | None = None,
                   progress: bool | Progress | None = None, threads: int | None = None,
                   noise: Any = None) -> tuple[Any, np.ndarray]:
    """<H> and its gradient with respect to the circuit's parameters, by the
    adjoint method, for every row of ``params``.

    The values are bit-identical to ``vorn.expval(circuit, H, params=params)``;
    the gradient is exact up to rounding (no sampling, no finite step). The
    interpreter lock is released; Ctrl-C, ``timeout`` and ``progress`` work as
    for :func:`vorn.run`, and results are bit-identical for any ``threads``.

    Args:
        circuit: a vorn.Circuit of gates (measurements, if any, at the end;
            they are ignored).
        observable: a :class:`vorn.PauliSum` with real coefficients.
        params: shape (bindings, num_parameters), columns in
            ``circuit.parameters`` order; a 1-D array is one binding.
        timeout: seconds after which the call ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (steps
            done, steps total).
        threads: at most this many threads of the pool (None: all).
        noise: refused (ValueError) when given: the adjoint method needs one
            pure state, and a trajectory estimate's gradient would differentiate
            the sampled operator choices; use finite differences of
            ``vorn.expval(..., noise=...)`` with a fixed seed instead.

    Returns:
        ``(E, G)``: E of shape (bindings,) and G of shape (bindings,
        num_parameters); for a 1-D ``params`` a float and a vector.

    Example:
        >>> th = vorn.Parameter("th"); c = vorn.Circuit(1); c.ry(th, 0)
        >>> vorn.value_and_grad(c, vorn.PauliSum.from_list([("Z", 1.0)]), [0.5])  # doctest: +SKIP
        (0.8775825618903728, array([-0.47942554]))
    """
    if noise is not None:
        raise ValueError("value_and_grad does not take noise: the adjoint method differentiates one pure state, "
                         "and a noisy value is a trajectory average whose operator choices are sampled; use "
                         "finite differences of vorn.expval(..., noise=..., seed=...) instead")
    if not isinstance(observable, PauliSum):
        raise TypeError(f"value_and_grad takes one vorn.PauliSum, not {type(observable).__name__} "
                        "(vorn.jacobian takes several)")
    values, jac, single = _gradients(circuit, [observable], params, timeout, progress, threads)
    if single:
        return float(values[0, 0]), jac[0, 0]
    return values[:, 0], jac[:, 0, :]


def jacobian(circuit: Circuit, observables: PauliSum | list[PauliSum], params: Any, *,
             timeout: float | None = None, progress: bool | Progress | None = None,
             threads: int | None = None) -> np.ndarray:
    """d<H_o>/d parameter for every observable and every row of ``params``,
    by the adjoint method (one forward pass and one backward pass per binding,
    carrying one state per observable).

    Args:
        circuit: a vorn.Circuit of gates (measurements, if any, at the end).
        observables: a :class:`vorn.PauliSum` or a sequence of them, real coefficients.
        params: shape (bindings, num_parameters); a 1-D array is one binding.
        timeout: seconds after which the call ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (steps
            done, steps total).
        threads: at most this many threads of the pool (None: all).

    Returns:
        Shape (bindings, observables, num_parameters); (observables,
        num_parameters) for a 1-D ``params``.
    """
    _, jac, single = _gradients(circuit, observables, params, timeout, progress, threads)
    return jac[0] if single else jac
