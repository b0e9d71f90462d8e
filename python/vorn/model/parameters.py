"""Symbolic angles: :class:`Parameter`, :class:`ParameterVector` and affine
:class:`ParameterExpression` (a sum of coefficient x parameter plus a constant).

Any angle of any gate, and a circuit's ``global_phase``, may be one of these.
Only affine expressions exist: the engine compiles a circuit once and, per
binding, recomputes an angle as its constant plus coefficient x value per
parameter, which is what makes a sweep of a thousand bindings one call.
Products of parameters or functions of them are refused (TypeError naming
the expression). Parameters are compared by identity (a UUID, kept through
copies, pickling and Qiskit conversion), not by name, as in Qiskit.
"""

from __future__ import annotations

import math
import numbers
import uuid as _uuid
from collections.abc import Iterable, Iterator, Mapping
from typing import Any

from .instructions import IfElse, flat

__all__ = ["Parameter", "ParameterExpression", "ParameterVector", "ParameterVectorElement"]


def _number(value: Any) -> float | None:
    """value as a float when it is a real number (not bool, not complex), else None."""
    if isinstance(value, bool) or isinstance(value, ParameterExpression):
        return None
    if isinstance(value, numbers.Real):
        return float(value)
    # NumPy 0-d arrays and scalars of a real dtype.
    kind = getattr(getattr(value, "dtype", None), "kind", None)
    if kind in ("f", "i", "u") and getattr(value, "shape", None) == ():
        return float(value)
    return None


def _format(value: float) -> str:
    return repr(float(value))


class ParameterExpression:
    """constant + sum of coefficient x parameter, the parameters in the order
    they first entered the expression. Built by arithmetic with parameters and
    real numbers (``2 * a + 0.3``, ``a - b``, ``-a / 4``); immutable.

    The value for given parameter values is the sum of coefficient x value
    over the terms, left to right, then plus the constant when it is not 0:
    the engine evaluates angles in exactly this order, so a binding gives the
    same bits in a sweep as in :meth:`vorn.Circuit.assign_parameters`.
    """

    __slots__ = ("_terms", "_constant")

    def __init__(self, terms: tuple[tuple[Parameter, float], ...] = (), constant: float = 0.0) -> None:
        self._terms = terms
        self._constant = constant

    # ---- views ---------------------------------------------------------------

    @property
    def parameters(self) -> set[Parameter]:
        """The parameters this expression depends on (a set, as Qiskit's)."""
        return {p for p, _ in self._terms}

    @property
    def terms(self) -> tuple[tuple[Parameter, float], ...]:
        """((parameter, coefficient), ...) in order; no zero coefficient."""
        return self._terms

    @property
    def constant(self) -> float:
        """The constant part."""
        return self._constant

    def is_real(self) -> bool:
        """Always True: only real affine expressions exist (Qiskit's method of the name)."""
        return True

    def value(self, values: Mapping[Parameter, float]) -> float:
        """The expression's value for ``values`` (parameter -> float), in the
        engine's order (see the class docstring).

        Args:
            values: a value for every parameter of the expression.
        """
        total = 0.0
        for i, (p, c) in enumerate(self._terms):
            x = c * values[p]
            total = x if i == 0 else total + x
        if self._constant != 0.0 or not self._terms:
            total = self._constant if not self._terms else total + self._constant
        return total

    def bind(self, values: Mapping[Parameter, Any]) -> ParameterExpression | float:
        """The expression with the given parameters replaced by their values:
        a float once every parameter has one, else a smaller expression.

        Args:
            values: parameter -> real number (or another expression).
        """
        if all(p in values and _number(values[p]) is not None for p, _ in self._terms):
            return self.value({p: _number(values[p]) for p, _ in self._terms})
        out: ParameterExpression | float = self._constant
        for p, c in self._terms:
            out = out + c * (values[p] if p in values else p)
        return out

    # ---- arithmetic ------------------------------------------------------------

    def _combine(self, other: Any, sign: float, op: str) -> ParameterExpression | float:
        if isinstance(other, ParameterExpression):
            terms = dict(self._terms)
            for p, c in other._terms:
                terms[p] = terms.get(p, 0.0) + sign * c
            return _make(tuple(terms.items()), self._constant + sign * other._constant)
        x = _number(other)
        if x is None:
            return NotImplemented
        return _make(self._terms, self._constant + sign * x)

    def __add__(self, other: Any) -> ParameterExpression | float:
        return self._combine(other, 1.0, "+")

    __radd__ = __add__

    def __sub__(self, other: Any) -> ParameterExpression | float:
        return self._combine(other, -1.0, "-")

    def __rsub__(self, other: Any) -> ParameterExpression | float:
        neg = self.__neg__()
        return neg + other if isinstance(neg, ParameterExpression) else other - neg

    def __neg__(self) -> ParameterExpression:
        return self._scaled(-1.0)

    def __pos__(self) -> ParameterExpression:
        return self

    def _scaled(self, factor: float) -> ParameterExpression:
        return _make(tuple((p, c * factor) for p, c in self._terms), self._constant * factor)

    def __mul__(self, other: Any) -> ParameterExpression | float:
        x = _number(other)
        if x is None:
            return self._not_affine(f"({self}) * ({other})") if isinstance(other, ParameterExpression) \
                else NotImplemented
        return self._scaled(x)

    __rmul__ = __mul__

    def __truediv__(self, other: Any) -> ParameterExpression | float:
        x = _number(other)
        if x is None:
            return self._not_affine(f"({self}) / ({other})") if isinstance(other, ParameterExpression) \
                else NotImplemented
        if x == 0.0:
            raise ZeroDivisionError(f"({self}) / 0")
        return _make(tuple((p, c / x) for p, c in self._terms), self._constant / x)

    def __rtruediv__(self, other: Any) -> Any:
        return self._not_affine(f"{other!r} / ({self})")

    def __pow__(self, other: Any) -> Any:
        return self._not_affine(f"({self}) ** {other!r}")

    def __rpow__(self, other: Any) -> Any:
        return self._not_affine(f"{other!r} ** ({self})")

    def __mod__(self, other: Any) -> Any:
        return self._not_affine(f"({self}) % {other!r}")

    def __abs__(self) -> Any:
        return self._not_affine(f"abs({self})")

    def _not_affine(self, text: str) -> Any:
        raise TypeError(f"{text} is not affine in the parameters: angles are sums of coefficient x parameter "
                        "plus a constant")

    # Functions of an expression (math.sin, numpy.sin, ...) end up here.
    def __float__(self) -> float:
        names = ", ".join(sorted(p.name for p in self.parameters))
        raise TypeError(f"ParameterExpression with unbound parameters ({names}) cannot be cast to a float")

    def __array_ufunc__(self, ufunc: Any, method: str, *inputs: Any, **kwargs: Any) -> Any:
        # NumPy scalars (np.float64(2) * a) arrive here: the affine operations
        # go to the operators, everything else (np.sin(a), ...) is refused.
        import operator

        affine = {"add": operator.add, "subtract": operator.sub, "multiply": operator.mul,
                  "true_divide": operator.truediv, "negative": operator.neg, "positive": operator.pos}
        if method == "__call__" and not kwargs and ufunc.__name__ in affine:
            values = [x if isinstance(x, ParameterExpression) else float(x) for x in inputs]
            return affine[ufunc.__name__](*values)
        shown = ", ".join(str(x) for x in inputs)
        return self._not_affine(f"{ufunc.__name__}({shown})")

    def sin(self) -> Any:  # numpy.sin on an object array calls these
        return self._not_affine(f"sin({self})")

    cos = tan = exp = log = arcsin = arccos = arctan = sqrt = sin

    # ---- value semantics ---------------------------------------------------------

    def __eq__(self, other: object) -> bool:
        if isinstance(other, ParameterExpression):
            return self._constant == other._constant and dict(self._terms) == dict(other._terms)
        x = _number(other)
        return x is not None and not self._terms and self._constant == x

    def __hash__(self) -> int:
        return hash((frozenset(self._terms), self._constant))

    def __reduce__(self) -> tuple[Any, ...]:
        return (ParameterExpression, (self._terms, self._constant))

    def __copy__(self) -> ParameterExpression:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> ParameterExpression:
        return self

    def __str__(self) -> str:
        parts: list[str] = []
        for p, c in self._terms:
            if c == 1.0:
                text = p.name
            elif c == -1.0:
                text = f"-{p.name}"
            else:
                text = f"{_format(c)}*{p.name}"
            if parts:
                parts.append(f"- {text[1:]}" if text.startswith("-") else f"+ {text}")
            else:
                parts.append(text)
        if self._constant != 0.0 or not parts:
            c = self._constant
            parts.append(_format(c) if not parts else (f"- {_format(-c)}" if c < 0 else f"+ {_format(c)}"))
        return " ".join(parts)

    def __repr__(self) -> str:
        return f"ParameterExpression({self})"

    def __format__(self, spec: str) -> str:
        return format(str(self), "") if spec and spec[-1] in "eEfFgG%" else format(str(self), spec)


def _make(terms: Iterable[tuple[Parameter, float]], constant: float) -> ParameterExpression | float:
    """An expression without zero coefficients; a bare float when no term is left."""
    kept = tuple((p, c) for p, c in terms if c != 0.0)
    if not kept:
        return constant
    if len(kept) == 1 and kept[0][1] == 1.0 and constant == 0.0:
        return kept[0][0]
    return ParameterExpression(kept, constant)


class Parameter(ParameterExpression):
    """A named symbolic angle (Qiskit's ``Parameter``).

    Two parameters are the same parameter only when they are the same object
    (or a copy, pickle or conversion of it): ``Parameter("a") != Parameter("a")``.
    A circuit may not hold two different parameters of one name.

    Args:
        name: the parameter's name (a non-empty str).
        uuid: the identity to use (for conversions that keep one); a new one
            when None.

    Example:
        >>> a = vorn.Parameter("a")
        >>> c = vorn.Circuit(1); c.rx(2 * a + 0.5, 0)
        >>> c.assign_parameters({a: 0.25}).data[0].params
        (1.0,)
    """

    __slots__ = ("_name", "_uuid")

    def __init__(self, name: str, uuid: _uuid.UUID | None = None) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"a parameter needs a non-empty str name, got {name!r}")
        self._name = name
        self._uuid = uuid if uuid is not None else _uuid.uuid4()
        super().__init__(((self, 1.0),), 0.0)

    @property
    def name(self) -> str:
        """The parameter's name."""
        return self._name

    @property
    def uuid(self) -> _uuid.UUID:
        """The parameter's identity."""
        return self._uuid

    def _sort_key(self) -> tuple[str, int]:
        return (self._name, -1)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Parameter):
            return self._uuid == other._uuid and self._name == other._name
        return ParameterExpression.__eq__(self, other)

    def __hash__(self) -> int:
        return hash((self._name, self._uuid))

    def __reduce__(self) -> tuple[Any, ...]:
        return (Parameter, (self._name, self._uuid))

    def __str__(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return f"Parameter({self._name})"


class ParameterVectorElement(Parameter):
    """Element ``index`` of a :class:`ParameterVector`, named ``name[index]``."""

    __slots__ = ("_vector", "_index")

    def __init__(self, vector: ParameterVector, index: int, uuid: _uuid.UUID | None = None) -> None:
        super().__init__(f"{vector.name}[{index}]", uuid)
        self._vector = vector
        self._index = index

    @property
    def vector(self) -> ParameterVector:
        """The vector this element belongs to."""
        return self._vector

    @property
    def index(self) -> int:
        """The element's index in its vector."""
        return self._index

    def _sort_key(self) -> tuple[str, int]:
        return (self._vector.name, self._index)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_vector_element, (self._vector, self._index))

    def __repr__(self) -> str:
        return f"ParameterVectorElement({self.name})"


def _vector_element(vector: ParameterVector, index: int) -> ParameterVectorElement:
    return vector[index]


class ParameterVector:
    """``length`` parameters named ``name[0]``, ``name[1]``, ... (Qiskit's
    ``ParameterVector``); a circuit orders them by index.

    Args:
        name: the vector's name.
        length: the number of elements (>= 0).
    """

    __slots__ = ("_name", "_params", "__weakref__")

    def __init__(self, name: str, length: int = 0, *, _uuids: Iterable[_uuid.UUID] | None = None) -> None:
        if not isinstance(name, str) or not name:
            raise ValueError(f"a parameter vector needs a non-empty str name, got {name!r}")
        if isinstance(length, bool) or not hasattr(type(length), "__index__") or int(length) < 0:
            raise ValueError(f"length must be an integer >= 0, got {length!r}")
        self._name = name
        ids = list(_uuids) if _uuids is not None else [None] * int(length)
        self._params = [ParameterVectorElement(self, i, ids[i]) for i in range(int(length))]

    @property
    def name(self) -> str:
        """The vector's name."""
        return self._name

    @property
    def params(self) -> list[ParameterVectorElement]:
        """The elements in order."""
        return list(self._params)

    def __len__(self) -> int:
        return len(self._params)

    def __getitem__(self, key: int | slice) -> Any:
        return self._params[key]

    def __iter__(self) -> Iterator[ParameterVectorElement]:
        return iter(self._params)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_vector, (self._name, tuple(p.uuid for p in self._params)))

    def __copy__(self) -> ParameterVector:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> ParameterVector:
        return self

    def __repr__(self) -> str:
        return f"ParameterVector(name={self._name!r}, length={len(self)})"


# Unpickled vectors: one object per (name, identity), so elements unpickled
# in different places (a circuit's many gates) meet again as one vector.
_VECTORS: dict[tuple[str, _uuid.UUID | None], Any] = {}


def _rebuild_vector(name: str, uuids: tuple[_uuid.UUID, ...]) -> ParameterVector:
    import weakref

    key = (name, uuids[0] if uuids else None)
    ref = _VECTORS.get(key)
    vector = ref() if ref is not None else None
    if vector is None or len(vector) != len(uuids):
        vector = ParameterVector(name, len(uuids), _uuids=uuids)
        _VECTORS[key] = weakref.ref(vector)
    return vector


def sort_parameters(params: Iterable[Parameter]) -> list[Parameter]:
    """Qiskit's order: by name, elements of a vector by index."""
    return sorted(params, key=lambda p: p._sort_key())


def is_symbolic(value: Any) -> bool:
    """True for a Parameter or ParameterExpression."""
    return isinstance(value, ParameterExpression)


def phase_mod(value: Any) -> Any:
    """A global phase in [0, 2*pi) as Qiskit keeps it; expressions stay as they are."""
    return value if isinstance(value, ParameterExpression) else value % (2 * math.pi)


# ---- what circuits do with parameters (vorn.Circuit's methods call these) -----------


def register(symbols: dict[str, Parameter], values: Iterable[Any]) -> None:
    """Records the parameters of ``values`` in a circuit's name table, refusing
    (ValueError, nothing recorded) a name already taken by another parameter."""
    found = [p for v in values if isinstance(v, ParameterExpression) for p, _ in v.terms]
    for p in found:
        other = symbols.get(p.name)
        if other is not None and other != p:
            raise ValueError(f"the circuit already has a different parameter named '{p.name}'")
    for p in found:
        symbols.setdefault(p.name, p)


def circuit_parameters(circuit: Any) -> list[Parameter]:
    """The parameters of a circuit's angles (inside if/else blocks too) and
    global phase, in Qiskit's order."""
    seen: dict[Parameter, None] = {}
    for ins in flat(circuit._data):
        for v in ins.params:
            if type(v) is not float and isinstance(v, ParameterExpression):
                for p, _ in v.terms:
                    seen[p] = None
    if isinstance(circuit._global_phase, ParameterExpression):
        for p, _ in circuit._global_phase.terms:
            seen[p] = None
    return sort_parameters(seen)


def _value(value: Any, what: str) -> Any:
    if isinstance(value, ParameterExpression):
        return value
    x = _number(value)
    if x is None:
        raise TypeError(f"the value of {what} must be a real number or a parameter expression, "
                        f"not {type(value).__name__}")
    return x


def binding(circuit: Any, parameters: Any, strict: bool = True) -> dict[Parameter, Any]:
    """parameter -> value from a mapping or a sequence in circuit order, checked."""
    ordered = circuit_parameters(circuit)
    if isinstance(parameters, Mapping):
        by_name = {p.name: p for p in ordered}
        present = set(ordered)
        out: dict[Parameter, Any] = {}
        unknown: list[str] = []
        for key, value in parameters.items():
            if isinstance(key, ParameterVector):
                values = list(value) if not isinstance(value, (str, bytes)) and hasattr(value, "__len__") else None
                if values is None or len(values) != len(key):
                    got = f"{len(values)} values" if values is not None else type(value).__name__
                    raise ValueError(f"ParameterVector '{key.name}' has {len(key)} elements, got {got}")
                pairs = list(zip(key, values))
            elif isinstance(key, str):
                pairs = [(by_name.get(key, key), value)]
            elif isinstance(key, Parameter):
                pairs = [(key, value)]
            else:
                raise TypeError(f"parameter keys must be Parameter, ParameterVector or str, not {type(key).__name__}")
            for p, v in pairs:
                if isinstance(p, str) or p not in present:
                    unknown.append(p if isinstance(p, str) else p.name)
                    continue
                out[p] = _value(v, f"'{p.name}'")
        if unknown and strict:
            raise ValueError(f"cannot bind parameters not in the circuit: {', '.join(unknown)}")
        return out
    if isinstance(parameters, (str, bytes)) or not hasattr(parameters, "__len__"):
        raise TypeError(f"parameters must be a mapping or a sequence of values, not {type(parameters).__name__}")
    values = list(parameters)
    if getattr(parameters, "ndim", 1) != 1:
        raise ValueError(f"expected a sequence of {len(ordered)} values (shape ({len(ordered)},)), "
                         f"got an array of shape {parameters.shape}")
    if len(values) != len(ordered):
        raise ValueError(f"the circuit has {len(ordered)} parameters, got {len(values)} values "
                         f"(expected shape ({len(ordered)},))")
    return {p: _value(v, f"'{p.name}'") for p, v in zip(ordered, values)}


def bind_circuit(circuit: Any, values: Mapping[Parameter, Any]) -> None:
    """Replaces, in place, every angle's parameters that have a value."""
    def bound(v: Any) -> Any:
        return v.bind(values) if isinstance(v, ParameterExpression) and not values.keys().isdisjoint(v.parameters) \
            else v

    def bind_body(body: Any) -> list[Any]:
        data = []
        for ins in body:
            if isinstance(ins, IfElse):
                ins = ins._replace(true_body=tuple(bind_body(ins.true_body)),
                                   false_body=tuple(bind_body(ins.false_body)))
            elif any(isinstance(v, ParameterExpression) for v in ins.params):
                ins = ins._replace(params=tuple(bound(v) for v in ins.params))
            data.append(ins)
        return data

    data = bind_body(circuit._data)
    symbols: dict[str, Parameter] = {}
    for ins in flat(data):
        register(symbols, ins.params)
    circuit._data = data
    circuit._symbols = symbols
    circuit.global_phase = bound(circuit._global_phase)


def require_bound(circuit: Any) -> None:
    """ValueError naming the circuit's parameters, when it has any."""
    names = [p.name for p in circuit_parameters(circuit)]
    if names:
        raise ValueError(f"the circuit has unbound parameters: {', '.join(names)}; bind them with "
                         "assign_parameters or pass values with params=")
