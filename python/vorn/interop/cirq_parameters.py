"""Parameters between Cirq and vorn: sympy symbols become vorn Parameters of
the same name, affine sympy expressions vorn's affine expressions; values
come from Cirq's resolvers and sweeps (``cirq.ParamResolver``, ``{name:
value}`` dicts, ``cirq.Points``, ``Linspace``, ``Zip``, ``Product``, lists
of these), one row per point in the converted circuit's parameter order."""

from __future__ import annotations

import importlib
import numbers
import sys
from collections.abc import Mapping
from typing import Any

import numpy as np

from ..model.parameters import Parameter, circuit_parameters

__all__ = ["FromCirq", "cirq_bindings", "is_cirq_sweepable"]


class FromCirq:
    """Converts Cirq angles (numbers or sympy expressions) to vorn's, one vorn
    parameter per sympy symbol (symbols compare by name in sympy, so one
    name is one parameter)."""

    def __init__(self) -> None:
        self._sympy: Any = None
        self._params: dict[str, Parameter] = {}

    def __call__(self, value: Any) -> Any:
        """``value`` as a float or, when it holds symbols, a vorn affine expression.

        Raises:
            TypeError: the expression is not affine in its symbols, or not real.
        """
        sympy = self._sympy or sys.modules.get("sympy")
        if sympy is None or not isinstance(value, sympy.Basic):
            return _real(value, value)
        self._sympy = sympy
        free = sorted(value.free_symbols, key=lambda s: s.name)
        if not free:
            return _real(value, value)
        # Most angles are already c0 + sum c_i s_i term by term: read them so.
        terms = value.as_coefficients_dict()
        if all(k == 1 or isinstance(k, sympy.Symbol) for k in terms):
            out: Any = _real(terms.get(sympy.S.One, 0), value)
            for s in free:
                out = out + _real(terms[s], value) * self.parameter(s.name)
            return out
        out = _real(value.subs({s: 0 for s in free}), value)
        for s in free:
            slope = sympy.diff(value, s)
            if slope.free_symbols:
                raise TypeError(f"the Cirq angle {value} is not affine in its symbols: vorn keeps sums of "
                                "coefficient x symbol plus a constant (resolve the circuit first otherwise)")
            out = out + _real(slope, value) * self.parameter(s.name)
        return out

    def parameter(self, name: str) -> Parameter:
        known = self._params.get(name)
        if known is None:
            known = self._params[name] = Parameter(name)
        return known


def _real(value: Any, whole: Any) -> float:
    try:
        if isinstance(value, complex) or (hasattr(value, "is_real") and value.is_real is False):
            raise TypeError
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"the Cirq angle {whole} is not a real number") from None


def is_cirq_sweepable(params: Any, from_cirq: bool) -> bool:
    """Whether ``params`` are Cirq's (a resolver, a sweep, or, for a circuit
    that came from Cirq, a dict or a list of resolvers, dicts or sweeps)
    rather than vorn's array of values."""
    cirq = sys.modules.get("cirq")
    if cirq is None or params is None or isinstance(params, np.ndarray):
        return False
    if isinstance(params, (cirq.ParamResolver, cirq.Sweep)):
        return True
    if not from_cirq:
        return False
    if isinstance(params, Mapping):
        return True
    return (isinstance(params, (list, tuple)) and len(params) > 0
            and all(isinstance(p, (Mapping, cirq.ParamResolver, cirq.Sweep)) for p in params))


def cirq_bindings(circuit: Any, params: Any) -> np.ndarray:
    """Cirq's resolvers or sweep as vorn's values for ``circuit``: a 1-D row
    for one resolver (or dict), a (points, parameters) array for a sweep or
    a list, columns in ``circuit.parameters`` order, each value what the
    point's resolver gives the symbol of that name.

    Raises:
        ValueError: a point leaves a symbol unresolved.
        TypeError: a value is not a real number.
    """
    cirq = importlib.import_module("cirq")
    one = isinstance(params, (Mapping, cirq.ParamResolver))
    resolvers = [cirq.ParamResolver(params)] if one else list(cirq.to_resolvers(params))
    values = resolver_values([p.name for p in circuit_parameters(circuit)], resolvers)
    return values[0] if one else values


def resolver_values(names: list[str], resolvers: list[Any]) -> np.ndarray:
    """(points, names) float64: each point's value of each symbol name."""
    out = np.empty((len(resolvers), len(names)))
    for i, resolver in enumerate(resolvers):
        for j, name in enumerate(names):
            value = resolver.value_of(name)
            if not isinstance(value, numbers.Number) and getattr(value, "free_symbols", None):
                raise ValueError(f"the parameter resolver of point {i} gives no value for the symbol '{name}'")
            try:
                out[i, j] = _real(value, value)
            except TypeError:
                raise TypeError(f"the value {value!r} of the symbol '{name}' at point {i} is not a real "
                                "number") from None
    return out
