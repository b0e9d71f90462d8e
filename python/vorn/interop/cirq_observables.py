"""Cirq's observables (``cirq.PauliSum``, ``cirq.PauliString``, and Pauli
operations such as ``cirq.Z(q)``) as vorn PauliSums.

A Cirq observable names qubits; vorn's names positions. For a Cirq circuit
the positions are those of its conversion (the i-th of n qubits in the
qubit order is vorn qubit n - 1 - i); for a vorn circuit or a state vector,
``cirq.LineQubit(i)`` is qubit n - 1 - i, as :func:`vorn.to_cirq` names
them (so Cirq's first line qubit is the most significant bit of the index,
as in Cirq's state vectors)."""

from __future__ import annotations

import sys
from collections.abc import Mapping
from typing import Any

import numpy as np

from ..model.pauli import PauliSum
from .circuits import _require

__all__ = ["as_vorn_observables", "pauli_sum_from_cirq"]


def _is_cirq_observable(cirq: Any, value: Any) -> bool:
    return isinstance(value, (cirq.PauliSum, cirq.PauliString))


def pauli_sum_from_cirq(observable: Any, qubit_index: Mapping[Any, int], num_qubits: int) -> PauliSum:
    """The vorn PauliSum of a Cirq observable on ``num_qubits`` qubits.

    Args:
        observable: a ``cirq.PauliSum``, ``cirq.PauliString`` (``cirq.Z(q)``
            and products of them are ones) or anything ``cirq.PauliSum.wrap``
            takes.
        qubit_index: Cirq qubit -> vorn qubit.
        num_qubits: the width of the PauliSum.

    Raises:
        ValueError: the observable acts on a qubit ``qubit_index`` lacks.
        TypeError: a coefficient is symbolic or the value is no observable.
    """
    cirq = _require("cirq", "cirq", "expval")
    try:
        wrapped = cirq.PauliSum.wrap(observable)
    except (TypeError, ValueError):
        raise TypeError(f"a {type(observable).__name__} is not a Cirq observable (a PauliSum or "
                        "PauliString)") from None
    terms = []
    for term in wrapped:
        try:
            coefficient = complex(term.coefficient)
        except TypeError:
            raise TypeError(f"the Cirq observable term {term} has the symbolic coefficient {term.coefficient}: "
                            "resolve it first") from None
        label, where = [], []
        for qubit, pauli in term.items():
            if qubit not in qubit_index:
                known = ", ".join(str(q) for q in list(qubit_index)[:8]) + (", ..." if len(qubit_index) > 8 else "")
                raise ValueError(f"the observable {observable} acts on qubit {qubit}, which the circuit does not "
                                 f"have ({f'its qubits: {known}' if known else 'it has none'})")
            label.append(str(pauli))
            where.append(qubit_index[qubit])
        terms.append(("".join(label), where, coefficient))
    return PauliSum.from_sparse_list(terms, num_qubits)


def _line_index(cirq: Any, observables: list[Any], n: int) -> dict[Any, int]:
    """LineQubit(i) -> n - 1 - i for the line qubits the observables name."""
    index = {}
    for h in observables:
        if not _is_cirq_observable(cirq, h):
            continue
        for q in cirq.PauliSum.wrap(h).qubits:
            if not isinstance(q, cirq.LineQubit) or not 0 <= q.x < n:
                raise ValueError(f"the Cirq observable {h} acts on {q!r}: on a vorn circuit or a state vector of "
                                 f"{n} qubits, Cirq observables name cirq.LineQubit(0) to cirq.LineQubit({n - 1}) "
                                 "(LineQubit(i) is vorn qubit n - 1 - i)")
            index[q] = n - 1 - q.x
    return index


def as_vorn_observables(observables: Any, target: Any) -> Any:
    """``observables`` with each Cirq observable among them converted for
    ``target`` (a Cirq circuit, whose default qubit order places them, a
    vorn circuit or a state vector); anything else as it is. A toolkit not
    imported yet cannot have made them, so Cirq is not imported to check."""
    cirq = sys.modules.get("cirq")
    if cirq is None:
        return observables
    if _is_cirq_observable(cirq, observables):
        items = [observables]
    elif isinstance(observables, (list, tuple)) and any(_is_cirq_observable(cirq, h) for h in observables):
        items = list(observables)
    else:
        return observables
    if isinstance(target, cirq.AbstractCircuit):
        qubits = list(cirq.QubitOrder.DEFAULT.order_for(target.all_qubits()))
        n = len(qubits)
        index = {q: n - 1 - i for i, q in enumerate(qubits)}
    else:
        n = (target.size.bit_length() - 1) if isinstance(target, np.ndarray) else int(target.num_qubits)
        index = _line_index(cirq, items, n)
    return [pauli_sum_from_cirq(h, index, n) if _is_cirq_observable(cirq, h) else h for h in items]
