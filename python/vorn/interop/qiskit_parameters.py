"""Parameters between vorn and Qiskit: ``Parameter``, ``ParameterVector``
elements and affine ``ParameterExpression``s map both ways, names and
identities kept (a Qiskit parameter read into vorn and written back is the
same Qiskit parameter); anything non-affine is refused with a TypeError
naming the expression."""

from __future__ import annotations

import weakref
from typing import Any

from ..model.parameters import Parameter, ParameterExpression, ParameterVector, ParameterVectorElement

# vorn vectors read from Qiskit -> the Qiskit vector they came from, so that
# writing them back gives Qiskit's own elements again.
_ORIGINS: weakref.WeakKeyDictionary[ParameterVector, Any] = weakref.WeakKeyDictionary()
# And the other way: the identity of a Qiskit vector written from vorn (its
# first element's UUID) -> the vorn vector, so reading it back gives vorn's.
_WRITTEN: weakref.WeakValueDictionary[Any, ParameterVector] = weakref.WeakValueDictionary()


class FromQiskit:
    """Converts Qiskit angles (numbers or parameter expressions) to vorn's,
    one vorn parameter per Qiskit parameter."""

    def __init__(self, qiskit: Any) -> None:
        self._expression = qiskit.circuit.ParameterExpression
        self._parameter = qiskit.circuit.Parameter
        self._element = qiskit.circuit.ParameterVectorElement
        self._params: dict[Any, Parameter] = {}
        # Keyed by the vector itself: Qiskit 2 hands out a new (equal) vector
        # object for each element's ``.vector``, so its id is no key.
        self._vectors: dict[Any, ParameterVector] = {}

    def __call__(self, value: Any) -> Any:
        if not isinstance(value, self._expression):
            return float(value)
        if not value.parameters:
            return float(value)
        if isinstance(value, self._parameter):
            return self.parameter(value)
        terms = []
        for p in sorted(value.parameters, key=lambda q: q.name):
            slope = value.gradient(p)
            if isinstance(slope, self._expression) and slope.parameters:
                raise TypeError(f"the angle {value} is not affine in its parameters: vorn takes sums of "
                                "coefficient x parameter plus a constant")
            terms.append((self.parameter(p), _real(slope, value)))
        out: Any = _real(value.bind({p: 0 for p in value.parameters}), value)
        for p, c in terms:
            out = out + c * p
        return out

    def parameter(self, p: Any) -> Parameter:
        known = self._params.get(p)
        if known is not None:
            return known
        if isinstance(p, self._element):
            vector = p.vector
            mine = self._vectors.get(vector)
            if mine is None:
                mine = _WRITTEN.get(vector[0].uuid) if len(vector) else None
                if mine is None or len(mine) != len(vector) or mine.name != vector.name:
                    mine = ParameterVector(vector.name, len(vector))
                    _ORIGINS[mine] = vector
                self._vectors[vector] = mine
            made: Parameter = mine[p.index]
        else:
            made = Parameter(p.name, uuid=p.uuid)
        self._params[p] = made
        return made


def _real(value: Any, whole: Any) -> float:
    try:
        return float(value)
    except TypeError:
        raise TypeError(f"the angle {whole} is not a real affine expression") from None


class ToQiskit:
    """Converts vorn angles to Qiskit's (numbers stay numbers)."""

    def __init__(self, qiskit: Any) -> None:
        self._qiskit = qiskit
        self._params: dict[Parameter, Any] = {}
        self._vectors: dict[ParameterVector, Any] = {}

    def __call__(self, value: Any) -> Any:
        if not isinstance(value, ParameterExpression):
            return value
        if isinstance(value, Parameter):
            return self.parameter(value)
        out: Any = value.constant
        for p, c in value.terms:
            out = out + c * self.parameter(p)
        return out

    def parameter(self, p: Parameter) -> Any:
        known = self._params.get(p)
        if known is not None:
            return known
        if isinstance(p, ParameterVectorElement):
            vector = self._vectors.get(p.vector)
            if vector is None:
                vector = _ORIGINS.get(p.vector)
                if vector is None or len(vector) != len(p.vector) or vector.name != p.vector.name:
                    vector = self._qiskit.circuit.ParameterVector(p.vector.name, len(p.vector))
                    _WRITTEN[vector[0].uuid] = p.vector
                self._vectors[p.vector] = vector
            made = vector[p.index]
        else:
            made = self._qiskit.circuit.Parameter(p.name, uuid=p.uuid)
        self._params[p] = made
        return made
