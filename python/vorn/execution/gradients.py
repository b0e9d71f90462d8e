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

from .. import _ext
from ..model.circuit import GATES, Circuit
from ..model.pauli import PauliSum
from .lowering import compile_parametric, native_observables
from .request import Request
from .sweeps import call, values_of

__all__ = ["gradients"]


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


def gradients(circuit: Circuit, observables: list[PauliSum], params: Any, request: Request
              ) -> tuple[np.ndarray, np.ndarray, bool]:
    """(values (B, H), jacobian (B, H, P), whether one 1-D binding was given)."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    _require_unitary_part(circuit)
    program, order = compile_parametric(circuit, False)
    values, one = values_of(params, len(order))
    measured = native_observables(observables, circuit.num_qubits)
    if not measured.hermitian:
        raise ValueError("gradients need real coefficients (Hermitian observables)")
    # Steps per binding: the values, then each gate forward and back (one batch of observables).
    flat_values, flat_jac = call(_ext.adjoint_gradients, program, values, measured, request=request,
                                 steps=1 + 2 * len(program))
    b, h, p = len(values), len(observables), len(order)
    return (np.ascontiguousarray(flat_values.real.reshape(b, h)), flat_jac.reshape(b, h, p), one)
