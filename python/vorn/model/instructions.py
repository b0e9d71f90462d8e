"""What a circuit holds: instructions, classical registers, and the
``if_else`` blocks that ``if_test`` (Qiskit 2.x style) leaves in ``Circuit.data``.

A block records the instructions appended while it is open: the circuit's
instruction list is swapped for the block's own, so every way of appending
(gate methods, ``measure``, ``reset``, ``unitary``, nested ``if_test``)
lands in the block without knowing about it.
"""

from __future__ import annotations

import operator
from typing import Any, NamedTuple

import numpy as np

# A vorn.Circuit: this module sits below circuit.py, which builds on it, so
# circuits are taken by what they have (_data, _cregs, _index), not by class.
CircuitLike = Any

__all__ = ["ClassicalRegister", "IfElse", "Instruction"]


class ClassicalRegister(NamedTuple):
    """A named group of consecutive clbits of a circuit; ``ClassicalRegister(size,
    name)`` as in Qiskit.

    Args:
        size: number of clbits (>= 0).
        name: the register's name, as it appears in OpenQASM and conversions.
    """

    size: int
    name: str


class Instruction(NamedTuple):
    """One entry of a circuit.

    ``qubits`` are in the gate's argument order (for ``mcx``/``mcp`` the
    controls, then the target); ``clbits`` are circuit-wide clbit indices (for
    ``measure``); ``matrix`` is set for ``unitary`` only (read-only array).
    Two instructions are equal when every field is, matrices compared by value.
    """

    name: str
    qubits: tuple[int, ...]
    params: tuple[float, ...] = ()
    clbits: tuple[int, ...] = ()
    matrix: np.ndarray | None = None

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, tuple):
            return NotImplemented
        if len(other) != 5 or tuple.__ne__(self[:4], other[:4]):
            return False
        a, b = self.matrix, other[4]
        if a is None or b is None:
            return a is b
        return isinstance(b, np.ndarray) and a.shape == b.shape and bool(np.array_equal(a, b))

    def __ne__(self, other: object) -> bool:
        equal = self.__eq__(other)
        return equal if equal is NotImplemented else not equal

    def __hash__(self) -> int:
        matrix = None if self.matrix is None else (self.matrix.shape, self.matrix.tobytes())
        return hash((self[:4], matrix))


def is_integer(value: Any) -> bool:
    # bool is an int subclass, but True as a qubit is almost surely a mistake.
    return not isinstance(value, bool) and hasattr(type(value), "__index__")


class IfElse(NamedTuple):
    """A conditioned block: ``true_body`` runs on shots where the condition
    holds, ``false_body`` (possibly empty) on the others.

    The first five fields are those of :class:`vorn.Instruction`, so code
    that reads ``name``/``qubits``/``clbits`` works on both: ``qubits`` are
    every qubit of both bodies (ascending), ``clbits`` the condition's and the
    bodies' clbits (ascending). ``condition`` is ``(clbit, value)`` with a
    circuit-wide clbit index, or ``(ClassicalRegister, value)`` for a whole
    register read as an integer (its first clbit the least significant bit).
    """

    name: str
    qubits: tuple[int, ...]
    params: tuple[float, ...]
    clbits: tuple[int, ...]
    matrix: None
    condition: tuple[Any, int]
    true_body: tuple[Any, ...]
    false_body: tuple[Any, ...]


def make_if_else(condition: tuple[Any, int], true_body: tuple[Any, ...], false_body: tuple[Any, ...],
                 condition_clbits: tuple[int, ...]) -> IfElse:
    """An IfElse with its qubits and clbits gathered from the bodies."""
    qubits: set[int] = set()
    clbits: set[int] = set(condition_clbits)
    for ins in (*true_body, *false_body):
        qubits.update(ins.qubits)
        clbits.update(ins.clbits)
    return IfElse("if_else", tuple(sorted(qubits)), (), tuple(sorted(clbits)), None, condition,
                  tuple(true_body), tuple(false_body))


def register_clbits(circuit: CircuitLike, register: ClassicalRegister) -> tuple[int, ...]:
    """The circuit-wide clbits of one of the circuit's registers."""
    start = 0
    for reg in circuit._cregs:
        if reg == register:
            return tuple(range(start, start + reg.size))
        start += reg.size
    raise ValueError(f"the register '{register.name}' (size {register.size}) is not in this circuit")


def condition_clbits(circuit: CircuitLike, condition: tuple[Any, int]) -> tuple[int, ...]:
    target = condition[0]
    if isinstance(target, int):
        return (target,)
    return register_clbits(circuit, target)


def normalise_condition(circuit: CircuitLike, condition: Any) -> tuple[Any, int]:
    """``(clbit or register, value)`` checked against the circuit: the clbit
    in range (negative counts from the end), the register one of the
    circuit's, the value an integer that fits."""
    if not isinstance(condition, tuple) or len(condition) != 2:
        raise TypeError("a condition is a tuple (clbit or ClassicalRegister, value)")
    target, value = condition
    if isinstance(value, (bool, np.bool_)):
        value = int(value)
    if not is_integer(value):
        raise TypeError(f"a condition's value must be an integer, not {type(value).__name__}")
    value = operator.index(value)
    if isinstance(target, ClassicalRegister):
        register_clbits(circuit, target)
        if not 0 <= value < 1 << target.size:
            raise ValueError(f"value {value} does not fit the {target.size}-bit register '{target.name}' "
                             f"(0 to {(1 << target.size) - 1})")
        return (ClassicalRegister(target.size, target.name), value)
    clbit = circuit._index(target, circuit._num_clbits, "clbit", "clbits")
    if value not in (0, 1):
        raise ValueError(f"a clbit's condition value must be 0 or 1, got {value}")
    return (clbit, value)


class ElseBlock:
    """The ``else_`` of ``with circuit.if_test(...) as else_:``; ``with else_:``
    right after that block records its false branch."""

    __slots__ = ("_circuit", "_if", "_used")

    def __init__(self, circuit: CircuitLike) -> None:
        self._circuit = circuit
        self._if: IfElse | None = None  # set when the if block closes
        self._used = False

    def __enter__(self) -> None:
        c = self._circuit
        if self._if is None:
            raise RuntimeError("else_ used inside its own if_test block: it belongs after that block")
        if self._used:
            raise RuntimeError("this else_ block was already used")
        if not c._data or c._data[-1] is not self._if:
            raise RuntimeError("else_ must directly follow its if_test block, in the same circuit and block")
        self._used = True
        c._data.pop()
        c._scopes.append(c._data)
        c._data = []

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        c = self._circuit
        body = tuple(c._data)
        c._data = c._scopes.pop()
        ins = self._if
        assert ins is not None
        if kind is not None:
            c._data.append(ins)  # a failed else block leaves the if block as it was
            return
        c._data.append(make_if_else(ins.condition, ins.true_body, body, condition_clbits(c, ins.condition)))


class IfBlock:
    """What ``Circuit.if_test`` returns: a context manager whose block records
    the instructions run when the condition holds; it gives the else_ block."""

    __slots__ = ("_circuit", "_condition", "_else", "_entered")

    def __init__(self, circuit: CircuitLike, condition: tuple[Any, int]) -> None:
        self._circuit = circuit
        self._condition = condition
        self._else = ElseBlock(circuit)
        self._entered = False

    def __enter__(self) -> ElseBlock:
        if self._entered:
            raise RuntimeError("an if_test block can be entered only once")
        self._entered = True
        c = self._circuit
        c._scopes.append(c._data)
        c._data = []
        return self._else

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        c = self._circuit
        body = tuple(c._data)
        c._data = c._scopes.pop()
        if kind is not None:
            return  # the block's exception propagates; nothing is added
        ins = make_if_else(self._condition, body, (), condition_clbits(c, self._condition))
        c._data.append(ins)
        self._else._if = ins


def remap(ins: IfElse, qmap: list[int], cmap: list[int], source: CircuitLike, target: CircuitLike) -> IfElse:
    """The block of ``source`` moved onto ``target``'s wires (qmap/cmap: old
    index -> new); a register condition must land on a whole register of
    ``target`` (ValueError otherwise)."""
    def move(body: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(remap(i, qmap, cmap, source, target) if isinstance(i, IfElse) else
                     i._replace(qubits=tuple(qmap[q] for q in i.qubits), clbits=tuple(cmap[c] for c in i.clbits))
                     for i in body)

    where, value = ins.condition
    if isinstance(where, ClassicalRegister):
        wanted = tuple(cmap[c] for c in register_clbits(source, where))
        found = None
        start = 0
        for reg in target._cregs:
            if tuple(range(start, start + reg.size)) == wanted:
                found = reg
                break
            start += reg.size
        if found is None:
            raise ValueError(f"the condition on register '{where.name}' does not land on a whole register of "
                             "the target circuit")
        condition: tuple[Any, int] = (found, value)
        cond_clbits = wanted
    else:
        condition = (cmap[where], value)
        cond_clbits = (cmap[where],)
    return make_if_else(condition, move(ins.true_body), move(ins.false_body), cond_clbits)


def freeze(ins: IfElse, frozen: Any) -> IfElse:
    """The block with every matrix inside made read-only again (after unpickling)."""
    def fix(body: tuple[Any, ...]) -> tuple[Any, ...]:
        return tuple(freeze(i, frozen) if isinstance(i, IfElse) else
                     i if i.matrix is None else i._replace(matrix=frozen(i.matrix)) for i in body)
    return ins._replace(true_body=fix(ins.true_body), false_body=fix(ins.false_body))


def flat(instructions: Any) -> Any:
    """Every instruction, the bodies' included (depth first, in order)."""
    for ins in instructions:
        yield ins
        if isinstance(ins, IfElse):
            yield from flat(ins.true_body)
            yield from flat(ins.false_body)
