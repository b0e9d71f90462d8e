"""Circuit building: a list of instructions over qubits and classical registers.

The circuit is kept as plain Python data (``Circuit.data``) so that every
reader (running, OpenQASM, conversion to and from other toolkits) sees one
list. It is turned into the engine's compiled gate list only when it runs.
Conventions follow Qiskit: qubit 0 is the least significant bit, angles come
before qubits, and each gate has the matrix and global phase of Qiskit's gate.

The gate methods (``h``, ``cx``, ``rz``, ...) are made from the engine's
standard gate table (``vorn._ext.standard_gates()``), which also gives their
docstrings and the converters' name maps: a gate is added by adding its row.
"""

from __future__ import annotations

import math
import operator
import re
from collections import Counter
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, NamedTuple

import numpy as np

from .. import _ext
from . import instructions as _control
from . import parameters as _parameters
from .instructions import ClassicalRegister, IfElse, Instruction, is_integer as _is_integer
from .parameters import ParameterExpression, phase_mod

__all__ = ["Circuit", "ClassicalRegister", "IfElse", "Instruction"]

# Instruction names that are not gates of the engine.
_NON_GATES = frozenset({"measure", "barrier", "reset", "if_else"})

# The standard gate table, name -> row (a dict; see vorn._ext.standard_gates).
GATES: dict[str, dict[str, Any]] = {row["name"]: row for row in _ext.standard_gates()}

# Operand tuples are shared between the instructions of a circuit that use
# the same qubits (most of a large circuit's instructions do): up to this many
# distinct tuples per circuit, so that a circuit of all-different operands
# does not pay for a large table.
_SHARED_OPERANDS = 1 << 16


def _angle(value: Any, name: str) -> float:
    # Non-finite angles are accepted, as vorn_python accepts them. Complex
    # values are refused whatever their type: float() of a NumPy complex
    # would drop the imaginary part with only a warning. Parameters and
    # affine expressions of them are kept as they are (vorn.parameters).
    if isinstance(value, ParameterExpression):
        return value  # type: ignore[return-value]
    if isinstance(value, (str, bytes, bool, complex, np.complexfloating)) or (
        isinstance(value, np.ndarray) and value.dtype.kind == "c"
    ):
        raise TypeError(f"angle '{name}' must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except TypeError:
        raise TypeError(f"angle '{name}' must be a real number, not {type(value).__name__}") from None


class Circuit:
    """A quantum circuit of ``num_qubits`` qubits and ``num_clbits`` clbits.

    The clbits given here form one register named ``c``; ``measure_all``
    adds a register ``meas``. Qubit and clbit indices may be negative, counting
    from the end as in Qiskit. A circuit is a value: ``copy``, ``==``,
    iteration over its instructions and ``pickle`` work as for a list.

    Args:
        num_qubits: number of qubits (>= 0).
        num_clbits: number of clbits of the register ``c`` (none when 0).

    Example:
        >>> c = Circuit(2, 2)
        >>> c.h(0); c.cx(0, 1); c.measure([0, 1], [0, 1])
        >>> c.count_ops()
        {'measure': 2, 'h': 1, 'cx': 1}
    """

    __slots__ = ("_num_qubits", "_cregs", "_num_clbits", "_data", "_global_phase", "_operands", "_scopes",
                 "_symbols")

    def __init__(self, num_qubits: int, num_clbits: int = 0) -> None:
        for what, value in (("num_qubits", num_qubits), ("num_clbits", num_clbits)):
            if not _is_integer(value):
                raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
            if operator.index(value) < 0:
                raise ValueError(f"{what} must be >= 0, got {operator.index(value)}")
        self._num_qubits = operator.index(num_qubits)
        self._cregs: list[ClassicalRegister] = []
        self._num_clbits = 0
        self._data: list[Instruction] = []
        self._global_phase = 0.0
        self._operands: dict[tuple[int, ...], tuple[int, ...]] = {}  # shared operand tuples
        self._symbols: dict[str, Any] = {}  # parameter name -> the circuit's one parameter of that name
        # The instruction lists of the enclosing blocks while an if_test block
        # is open (self._data is then the block's own list).
        self._scopes: list[list[Instruction]] = []
        if operator.index(num_clbits) > 0:
            self.add_register(ClassicalRegister(operator.index(num_clbits), "c"))

    # ---- structure --------------------------------------------------------

    @property
    def num_qubits(self) -> int:
        """The number of qubits."""
        return self._num_qubits

    @property
    def num_clbits(self) -> int:
        """The number of clbits (of every register)."""
        return self._num_clbits

    @property
    def cregs(self) -> list[ClassicalRegister]:
        """The classical registers in the order they were added (clbit order)."""
        return list(self._cregs)

    @property
    def data(self) -> list[Instruction]:
        """The instructions in order (a copy of the list; entries are immutable)."""
        return list(self._data)

    def __len__(self) -> int:
        return len(self._data)

    def __iter__(self) -> Iterator[Instruction]:
        return iter(self._data)

    def __getitem__(self, index: int | slice) -> Instruction | list[Instruction]:
        """The instruction at ``index`` (a list of them for a slice)."""
        return self._data[index]

    def __repr__(self) -> str:
        return (
            f"<vorn.Circuit num_qubits={self._num_qubits} num_clbits={self._num_clbits} "
            f"instructions={len(self._data)}>"
        )

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Circuit):
            return NotImplemented
        return (
            self._num_qubits == other._num_qubits
            and self._cregs == other._cregs
            and self._global_phase == other._global_phase
            and self._data == other._data
        )

    __hash__ = None  # type: ignore[assignment]  # mutable

    def copy(self) -> Circuit:
        """An independent copy: later changes to either circuit leave the other as it is."""
        other = self._empty_like()
        other._data = list(self._data)
        other._global_phase = self._global_phase
        other._symbols = dict(self._symbols)
        return other

    def __copy__(self) -> Circuit:
        return self.copy()

    def __deepcopy__(self, memo: dict[int, Any]) -> Circuit:
        other = self.copy()
        # Instructions are immutable; only the matrices are objects of their own.
        other._data = [ins if ins.matrix is None else ins._replace(matrix=_frozen(ins.matrix)) for ins in other._data]
        return other

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self._num_qubits, tuple(self._cregs), self._data, self._global_phase))

    def _empty_like(self) -> Circuit:
        other = Circuit(self._num_qubits)
        other._cregs = list(self._cregs)
        other._num_clbits = self._num_clbits
        return other

    @property
    def global_phase(self) -> float:
        """Global phase in radians, kept in [0, 2*pi) as Qiskit does."""
        return self._global_phase

    @global_phase.setter
    def global_phase(self, angle: float) -> None:
        value = phase_mod(_angle(angle, "global_phase"))
        _parameters.register(self._symbols, (value,))
        self._global_phase = value

    def add_register(self, register: ClassicalRegister) -> None:
        """Appends a classical register; its clbits follow the existing ones.

        Args:
            register: the register; its name must be new to the circuit.
        """
        if not isinstance(register, ClassicalRegister):
            raise TypeError(f"expected a ClassicalRegister, not {type(register).__name__}")
        if not isinstance(register.name, str) or not register.name:
            raise ValueError("a register needs a non-empty name")
        if any(r.name == register.name for r in self._cregs):
            raise ValueError(f"a register named '{register.name}' already exists")
        if not _is_integer(register.size) or operator.index(register.size) < 0:
            raise ValueError(f"register size must be an integer >= 0, got {register.size!r}")
        self._cregs.append(ClassicalRegister(operator.index(register.size), register.name))
        self._num_clbits += operator.index(register.size)

    # ---- operands ----------------------------------------------------------

    def _index(self, value: Any, size: int, what: str, unit: str) -> int:
        if not _is_integer(value):
            raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
        i = operator.index(value)
        if not -size <= i < size:
            raise IndexError(f"{what} {i} out of range: the circuit has {size} {unit}")
        return i % size

    def _qubits(self, name: str, values: Sequence[Any], labels: Sequence[str]) -> tuple[int, ...]:
        qubits = tuple(self._index(v, self._num_qubits, label, "qubits") for v, label in zip(values, labels))
        _require_distinct(name, qubits)
        return qubits

    def _gate(
        self, name: str, angles: tuple[Any, ...], angle_names: tuple[str, ...], qubits: tuple[Any, ...],
        qubit_names: tuple[str, ...],
    ) -> None:
        # Appending is the hot path of building a large circuit: in-range ints
        # and floats are taken as they are; anything else is converted or
        # refused with the argument's name.
        n = self._num_qubits
        for q in qubits:
            if type(q) is not int or not 0 <= q < n:
                qubits = tuple(self._index(v, n, label, "qubits") for v, label in zip(qubits, qubit_names))
                break
        for a in angles:
            if type(a) is not float:
                angles = tuple(_angle(v, label) for v, label in zip(angles, angle_names))
                symbolic = True
                break
        else:
            symbolic = False
        if len(qubits) > 1:
            _require_distinct(name, qubits)
        if symbolic:
            _parameters.register(self._symbols, angles)
        shared = self._operands
        if len(shared) < _SHARED_OPERANDS:
            qubits = shared.setdefault(qubits, qubits)
        self._data.append(Instruction(name, qubits, angles))

    def _append(self, instruction: Instruction | IfElse) -> None:
        if isinstance(instruction, IfElse):
            instruction = _control.freeze(instruction, _frozen)
        else:
            _parameters.register(self._symbols, instruction.params)
        self._data.append(instruction)

    @staticmethod
    def _operand_list(value: Any, what: str) -> list[Any]:
        """An index or an iterable of indices, as a list (entries checked later)."""
        if _is_integer(value):
            return [value]
        if isinstance(value, Iterable) and not isinstance(value, (str, bytes)):
            return list(value)
        raise TypeError(f"{what} must be an integer or a sequence of integers, not {type(value).__name__}")

    # ---- non-gate instructions --------------------------------------------

    def measure(self, qubit: int | Sequence[int], cbit: int | Sequence[int]) -> None:
        """Measures ``qubit`` into clbit ``cbit`` (or equal-length sequences of both).

        A measurement may come anywhere: the state collapses to the outcome
        (projected and renormalised) and later gates, conditions and
        measurements see it, shot by shot as in Qiskit Aer. A clbit measured
        twice keeps the last measurement; clbits never measured read 0.

        Args:
            qubit: a qubit index or a sequence of them.
            cbit: a clbit index or a sequence of them, one per qubit.
        """
        qubits = self._operand_list(qubit, "qubit")
        cbits = self._operand_list(cbit, "cbit")
        if len(qubits) != len(cbits):
            raise ValueError(f"measure got {len(qubits)} qubits but {len(cbits)} clbits")
        # Every pair checked before any is recorded: a refused call changes nothing.
        pairs = [
            (self._index(q, self._num_qubits, "qubit", "qubits"), self._index(c, self._num_clbits, "clbit", "clbits"))
            for q, c in zip(qubits, cbits)
        ]
        for q, c in pairs:
            self._append(Instruction("measure", (q,), (), (c,)))

    def reset(self, qubit: int | Sequence[int]) -> None:
        """Resets ``qubit`` (or each of a sequence of qubits) to |0>: the qubit
        is measured, the state collapses, and a 1 is flipped back to 0; no
        clbit is written (Qiskit's ``reset``).

        Args:
            qubit: a qubit index or a sequence of them.
        """
        values = self._operand_list(qubit, "qubit")
        qubits = [self._index(q, self._num_qubits, "qubit", "qubits") for q in values]
        for q in qubits:
            self._append(Instruction("reset", (q,)))

    def if_test(self, condition: tuple[Any, int]) -> _control.IfBlock:
        """A block of instructions run only on the shots where ``condition``
        holds, as Qiskit's ``QuantumCircuit.if_test`` used as a context manager::

            with c.if_test((0, 1)) as else_:      # clbit 0 reads 1
                c.x(1)
            with else_:                            # optional, right after
                c.h(1)
            with c.if_test((c.cregs[0], 5)):       # register c reads 5 (binary 101)
                c.z(0)

        Blocks nest; inside one, measurements, resets and further blocks are
        allowed. The block becomes one ``if_else`` instruction
        (:class:`vorn.IfElse`).

        Args:
            condition: ``(clbit, value)`` with a clbit index (negative counts
                from the end) and 0 or 1 (or a bool), or ``(register, value)``
                with one of the circuit's :class:`ClassicalRegister` and an
                integer from 0 to 2**size - 1 (the register's first clbit is
                the least significant bit).

        Returns:
            A context manager; ``as else_`` gives the optional else block.

        Raises:
            IndexError: the clbit is out of range.
            ValueError: the value does not fit, or the register is not this circuit's.
            TypeError: the condition is not such a tuple.
        """
        return _control.IfBlock(self, _control.normalise_condition(self, condition))

    def measure_all(self, inplace: bool = True, add_bits: bool = True) -> Circuit | None:
        """A barrier, then every qubit measured.

        Args:
            inplace: change this circuit (True) or return a changed copy.
            add_bits: measure into a new register ``meas`` (True; ``meas0``,
                ``meas1``, ... when taken) or into the existing clbits 0..n-1.

        Returns:
            None, or the new circuit when ``inplace`` is False.
        """
        circuit = self if inplace else self.copy()
        n = circuit._num_qubits
        if add_bits:
            # "meas", or as Qiskit does when that name is taken, "meas" and a number.
            taken = {r.name for r in circuit._cregs}
            name = "meas"
            suffix = 0
            while name in taken:
                name = f"meas{suffix}"
                suffix += 1
            circuit.add_register(ClassicalRegister(n, name))
            first = circuit._num_clbits - n
        else:
            if circuit._num_clbits < n:
                raise ValueError(
                    f"measure_all(add_bits=False) needs {n} clbits, the circuit has {circuit._num_clbits}"
                )
            first = 0
        circuit.barrier()
        circuit.measure(list(range(n)), list(range(first, first + n)))
        return None if inplace else circuit

    def barrier(self, *qargs: int | Sequence[int]) -> None:
        """A barrier; it changes nothing in the state and is kept for readers.

        Args:
            *qargs: qubits or sequences of qubits (every qubit when none given).
        """
        operands = [q for arg in qargs for q in self._operand_list(arg, "qubit")]
        qubits = self._qubits("barrier", operands, ["qubit"] * len(operands)) if qargs else tuple(range(self._num_qubits))
        self._append(Instruction("barrier", qubits))

    def unitary(self, obj: Any, qubits: int | Sequence[int]) -> None:
        """Any 2^k x 2^k unitary on k qubits (Qiskit's UnitaryGate).

        Args:
            obj: the matrix (anything NumPy makes a complex array of); kept as
                given, and it must be unitary to within 1e-10.
            qubits: a qubit or k qubits; ``qubits[0]`` is the least significant
                bit of the matrix's row index.
        """
        operands = self._operand_list(qubits, "qubits")
        targets = self._qubits("unitary", operands, ["qubit"] * len(operands))
        try:
            m = np.array(obj, dtype=np.complex128, order="C", copy=True)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"unitary matrix is not a complex array: {exc}") from None
        _ext.check_unitary(m, list(targets))
        self._append(Instruction("unitary", targets, (), (), _frozen(m, copy=False)))

    # ---- building with other circuits -------------------------------------

    def append(self, instruction: Instruction | Circuit, qargs: Sequence[int] | None = None,
               cargs: Sequence[int] | None = None) -> None:
        """Appends an instruction, or a whole circuit (as ``compose(..., inplace=True)``).

        Args:
            instruction: an :class:`Instruction` (checked as the method of its
                name checks its arguments) or a :class:`Circuit`.
            qargs: the qubits to use instead of the instruction's own (for a
                circuit: where its qubits go, as in :meth:`compose`).
            cargs: the clbits likewise (for ``measure``, or a circuit's clbits).
        """
        if isinstance(instruction, Circuit):
            self.compose(instruction, qargs, cargs, inplace=True)
            return
        if not isinstance(instruction, (Instruction, IfElse)):
            raise TypeError(f"append expects a vorn.Instruction or a vorn.Circuit, not {type(instruction).__name__}")
        qubits = list(instruction.qubits if qargs is None else self._operand_list(qargs, "qargs"))
        clbits = list(instruction.clbits if cargs is None else self._operand_list(cargs, "cargs"))
        name = instruction.name
        if isinstance(instruction, IfElse):
            self.compose(_block_circuit(self, instruction, qubits, clbits), inplace=True)
        elif name == "measure":
            self.measure(qubits, clbits)
        elif name == "reset":
            self.reset(qubits)
        elif name == "barrier":
            self.barrier(qubits)
        elif name == "unitary":
            self.unitary(instruction.matrix, qubits)
        elif name in GATES:
            row = GATES[name]
            if len(instruction.params) != row["num_params"]:
                raise ValueError(f"'{name}' takes {row['num_params']} angle(s), the instruction has "
                                 f"{len(instruction.params)}")
            if row["num_qubits"] and len(qubits) != row["num_qubits"] or not qubits:
                raise ValueError(f"'{name}' takes {row['num_qubits'] or 'at least 1'} qubit(s), got {len(qubits)}")
            if row["num_qubits"]:
                getattr(self, name)(*instruction.params, *qubits)
            else:
                getattr(self, name)(*instruction.params, qubits[:-1], qubits[-1])
        else:
            raise ValueError(f"unknown instruction '{name}'")

    def compose(self, other: Circuit, qubits: Sequence[int] | None = None, clbits: Sequence[int] | None = None,
                front: bool = False, inplace: bool = False) -> Circuit | None:
        """``other``'s instructions after this circuit's (before them with
        ``front=True``), as Qiskit's ``QuantumCircuit.compose``; global phases add.

        Args:
            other: the circuit to add; it may not have more qubits or clbits.
            qubits: where other's qubits 0, 1, ... go (default: the same indices).
            clbits: where other's clbits go (default: the same indices).
            front: put other's instructions first.
            inplace: change this circuit and return None, rather than a new circuit.

        Returns:
            The composed circuit, or None when ``inplace``.
        """
        if not isinstance(other, Circuit):
            raise TypeError(f"compose expects a vorn.Circuit, not {type(other).__name__}")
        qmap = self._wires(other._num_qubits, qubits, self._num_qubits, "qubits")
        cmap = self._wires(other._num_clbits, clbits, self._num_clbits, "clbits")
        moved = [
            _control.remap(ins, qmap, cmap, other, self) if isinstance(ins, IfElse) else
            ins._replace(qubits=tuple(qmap[q] for q in ins.qubits), clbits=tuple(cmap[c] for c in ins.clbits))
            for ins in other._data
        ]
        instructions = moved + self._data if front else self._data + moved
        out = self._empty_like()
        for ins in instructions:  # built apart: a refused composition changes nothing
            out._append(ins)
        out.global_phase = self._global_phase + other._global_phase
        if not inplace:
            return out
        self._data, self._global_phase = out._data, out._global_phase
        self._symbols = out._symbols
        return None

    def _wires(self, count: int, given: Sequence[int] | None, size: int, unit: str) -> list[int]:
        if given is None:
            if count > size:
                raise ValueError(f"cannot compose a circuit of {count} {unit} onto one of {size}")
            return list(range(count))
        values = self._operand_list(given, unit)
        if len(values) != count:
            raise ValueError(f"{unit} lists {len(values)} {unit}, the other circuit has {count}")
        wires = [self._index(v, size, unit[:-1], unit) for v in values]
        if len(set(wires)) != len(wires):
            raise ValueError(f"{unit} names a {unit[:-1]} twice")
        return wires

    def inverse(self) -> Circuit:
        """The inverse circuit: the instructions in reverse order, each inverted
        (a gate by the table's inverse gate, or a ``unitary`` of its adjoint
        matrix), and the global phase negated; barriers stay. Raises
        ValueError for a circuit that measures, resets or conditions (none
        of those has an inverse)."""
        out = self._empty_like()
        for ins in reversed(self._data):
            if ins.name == "measure":
                raise ValueError("a circuit with measurements has no inverse")
            if ins.name in ("reset", "if_else"):
                raise ValueError(f"a circuit with '{ins.name}' has no inverse")
            out._append(ins if ins.name == "barrier" else _inverse(ins))
        out.global_phase = -self._global_phase
        return out

    # ---- parameters -------------------------------------------------------------

    @property
    def parameters(self) -> list[Any]:
        """The circuit's parameters in Qiskit's order: by name, the elements of
        a :class:`vorn.ParameterVector` by index (so ``θ[2]`` before ``θ[10]``)."""
        return _parameters.circuit_parameters(self)

    @property
    def num_parameters(self) -> int:
        """The number of distinct parameters."""
        return len(_parameters.circuit_parameters(self))

    def assign_parameters(self, parameters: Any, inplace: bool = False, *, strict: bool = True) -> Circuit | None:
        """The circuit with parameters replaced by values, as Qiskit's
        ``assign_parameters``: every angle whose parameters all have a value
        becomes a float (computed as the engine computes it in a sweep, so
        running the result gives the same bits as ``params=`` does).

        Args:
            parameters: a mapping from :class:`vorn.Parameter` (or its name,
                or a :class:`vorn.ParameterVector` to a sequence) to a real
                number or another parameter expression; or a sequence of
                ``num_parameters`` values in :attr:`parameters` order.
            inplace: change this circuit and return None, rather than a new one.
            strict: refuse parameters the circuit does not have (ValueError).

        Returns:
            The new circuit, or None when ``inplace``.
        """
        values = _parameters.binding(self, parameters, strict)
        target = self if inplace else self.copy()
        _parameters.bind_circuit(target, values)
        return None if inplace else target

    # ---- summaries ------------------------------------------------------------

    def size(self) -> int:
        """The number of instructions other than barriers (Qiskit's ``size``)."""
        return sum(1 for ins in self._data if ins.name != "barrier")

    def depth(self) -> int:
        """The length of the longest path of instructions through the qubits
        and clbits, barriers not counted (Qiskit's ``depth``)."""
        levels = [0] * (self._num_qubits + self._num_clbits)
        n = self._num_qubits
        deepest = 0
        for ins in self._data:
            if ins.name == "barrier":
                continue
            wires = [*ins.qubits, *(n + c for c in ins.clbits)]
            level = max(levels[w] for w in wires) + 1
            for w in wires:
                levels[w] = level
            deepest = max(deepest, level)
        return deepest

    def count_ops(self) -> dict[str, int]:
        """Instruction name -> count, most frequent first (Qiskit's ``count_ops``)."""
        return dict(Counter(ins.name for ins in self._data).most_common())

    def draw(self) -> str:
        """A text drawing: one line per qubit (qubit 0 on top), one column per
        layer; controls are drawn as ``■``, measurements as ``M`` and the clbit.

        Example:
            >>> c = Circuit(2); c.h(0); c.cx(0, 1)
            >>> print(c.draw())
            q0: ─h──■─
            <BLANKLINE>
            q1: ────X─
        """
        return _draw(self)


def _frozen(matrix: np.ndarray, copy: bool = True) -> np.ndarray:
    m = np.array(matrix, dtype=np.complex128, order="C", copy=True) if copy else matrix
    m.flags.writeable = False
    return m


def _rebuild(num_qubits: int, cregs: tuple[ClassicalRegister, ...], data: list[Instruction],
             global_phase: float) -> Circuit:
    """A pickled circuit's reconstruction (matrices read-only again)."""
    circuit = Circuit(num_qubits)
    for reg in cregs:
        circuit.add_register(ClassicalRegister(*reg))
    for ins in data:
        circuit._append(ins if ins.matrix is None else ins._replace(matrix=_frozen(ins.matrix)))
    circuit.global_phase = global_phase
    return circuit


def _block_circuit(circuit: Circuit, block: IfElse, qubits: list[Any], clbits: list[Any]) -> Circuit:
    """A circuit of ``circuit``'s width holding ``block`` alone, with its
    qubits and clbits moved to ``qubits``/``clbits`` (given in the order of
    the block's own), for append."""
    qmap = dict(zip(block.qubits, circuit._wires(len(block.qubits), qubits, circuit._num_qubits, "qubits")))
    cmap = dict(zip(block.clbits, circuit._wires(len(block.clbits), clbits, circuit._num_clbits, "clbits")))
    holder = circuit._empty_like()
    moved = _control.remap(block, [qmap.get(q, q) for q in range(circuit._num_qubits)],
                           [cmap.get(c, c) for c in range(circuit._num_clbits)], circuit, circuit)
    holder._data.append(moved)
    return holder


def _require_distinct(name: str, qubits: tuple[int, ...]) -> None:
    if len(set(qubits)) != len(qubits):
        repeated = next(q for q in qubits if qubits.count(q) > 1)
        raise ValueError(f"qubit {repeated} is used twice in one '{name}' gate")


# ---- the gate methods, made from the table -----------------------------------

_INVERSE = re.compile(r"(\w+)(?:\(([^)]*)\))?((?: \w+)*)\Z")
_TERM = re.compile(r"([+-]?)(\w+)")


def _parse_inverse(row: dict[str, Any]) -> tuple[str, list[list[tuple[float, int | None]]] | None, list[int] | None]:
    """A row's inverse as (gate, angles as signed terms (None: the same angles),
    operand order (None: the same)); a term's index None is pi."""
    m = _INVERSE.match(row["inverse"])
    if m is None:
        raise ImportError(f"gate table: cannot read the inverse {row['inverse']!r} of '{row['name']}'")
    name, angles, operands = m.groups()
    terms = None
    if angles is not None:
        terms = [
            [(-1.0 if sign == "-" else 1.0, None if term == "pi" else row["params"].index(term))
             for sign, term in _TERM.findall(expr)]
            for expr in angles.split(",")
        ]
    order = [row["qubits"].index(q) for q in operands.split()] if operands else None
    return name, terms, order


def _inverse(ins: Instruction) -> Instruction:
    if ins.name in _INVERSES:
        name, terms, order = _INVERSES[ins.name]
        params = ins.params
        if terms is not None:
            params = tuple(_evaluate(expr, ins.params) for expr in terms)
        qubits = ins.qubits if order is None else tuple(ins.qubits[i] for i in order)
        return Instruction(name, qubits, params)
    matrix = ins.matrix if ins.matrix is not None else _gate_matrix(ins)
    return Instruction("unitary", ins.qubits, (), (), _frozen(matrix.conj().T))


def _evaluate(expr: list[tuple[float, int | None]], params: tuple[float, ...]) -> float:
    # Left to right, the first term taken as it is (so -0.0 stays -0.0).
    value = 0.0
    for i, (sign, index) in enumerate(expr):
        x = sign * (math.pi if index is None else params[index])
        value = x if i == 0 else value + x
    return value


def _gate_matrix(ins: Instruction) -> np.ndarray:
    """The matrix of one gate instruction (qubit 0 of the gate the least
    significant bit), formed by the engine's kernels from the gate's row, so
    it is the gate vorn applies.

    Args:
        ins: a gate instruction (its qubits only give the operand count).
    """
    k = len(ins.qubits)
    matrices = [] if ins.matrix is None else [ins.matrix]
    program = _ext.compile_program(k, [ins.name], [k], list(range(k)), [float(p) for p in ins.params], matrices,
                                   0.0, False)
    return program.matrix()


def _docstring(row: dict[str, Any]) -> str:
    name, params, qubits = row["name"], row["params"], row["qubits"]
    variadic = row["num_qubits"] == 0
    lines = [
        f"Appends ``{name}``: {row['title'][0].lower()}{row['title'][1:]} (Qiskit's ``{row['qiskit'][0]}``).",
        "",
        "Matrix, in Qiskit's qubit order (the first operand is the least significant bit of the row index):",
        "",
        f"    {row['matrix']}",
        "",
        "Args:",
    ]
    lines += [f"    {p}: angle in radians." for p in params]
    if variadic:
        lines += [f"    {qubits[0]}: a control qubit or a sequence of them (any number, none included).",
                  f"    {qubits[1]}: the target qubit."]
    else:
        lines += [f"    {q}: qubit index (negative counts from the end)." for q in qubits]
    cirq = f"``cirq.{row['cirq']}``" if row["cirq"] else "a ``cirq.MatrixGate``"
    qasm = f"``{row['qelib1']}`` of qelib1.inc" if row["qelib1"] else (
        "a gate definition in qelib1 gates" if row["qasm2_definition"] else "a construction in qelib1 gates")
    lines += ["", f"Qiskit: ``{'``, ``'.join(row['qiskit'])}``. Cirq: {cirq}. OpenQASM 2: {qasm}.",
              f"Inverse: ``{row['inverse']}``." if row["inverse"] else "Inverse: the adjoint matrix."]
    return "\n".join(lines)


def _method(row: dict[str, Any]) -> Any:
    """The Circuit method of a table row, with the row's argument names."""
    name, params, qubits = row["name"], row["params"], row["qubits"]
    for word in (name, *params, *qubits):
        if not word.isidentifier():
            raise ImportError(f"gate table: {word!r} of '{name}' is not an identifier")
    angles = "".join(f"{p}, " for p in params)
    namespace: dict[str, Any] = {"_P": params, "_Q": qubits}
    if row["num_qubits"] == 0:
        controls, target = qubits
        source = (
            f"def {name}(self, {angles}{controls}, {target}):\n"
            f"    controls = self._operand_list({controls}, {controls!r})\n"
            f"    self._gate({name!r}, ({angles}), _P, (*controls, {target}),"
            f" ('control qubit',) * len(controls) + ({target!r},))\n"
        )
    else:
        operands = ", ".join(qubits)
        source = f"def {name}(self, {angles}{operands}):\n    self._gate({name!r}, ({angles}), _P, ({operands},), _Q)\n"
    exec(source, namespace)  # noqa: S102 - names checked above; a def per row keeps calls fast
    method = namespace[name]
    method.__doc__ = _docstring(row)
    method.__qualname__ = f"Circuit.{name}"
    method.__module__ = __name__
    method.__annotations__ = {
        **{p: "float" for p in params},
        **({qubits[0]: "int | Sequence[int]", qubits[1]: "int"} if row["num_qubits"] == 0 else
           {q: "int" for q in qubits}),
        "return": "None",
    }
    return method


for _row in GATES.values():
    if hasattr(Circuit, _row["name"]):
        raise ImportError(f"gate table: '{_row['name']}' would replace Circuit.{_row['name']}")
    setattr(Circuit, _row["name"], _method(_row))
_INVERSES = {row["name"]: _parse_inverse(row) for row in GATES.values() if row["inverse"]}
del _row


# ---- text drawing --------------------------------------------------------------

def _label(ins: Instruction) -> str:
    if ins.params:
        return f"{ins.name}({', '.join(f'{p:.4g}' for p in ins.params)})"
    return ins.name


def _draw(circuit: Circuit) -> str:
    n = circuit.num_qubits
    columns: list[tuple[dict[int, str], set[int]]] = []  # (qubit -> text, qubits linked to the next one)
    free = [0] * n  # first column each qubit is free in
    for ins in circuit:
        if not ins.qubits:
            continue
        low, high = min(ins.qubits), max(ins.qubits)
        col = max(free[low:high + 1])
        if col == len(columns):
            columns.append(({}, set()))
        cells, links = columns[col]
        row = GATES.get(ins.name)
        controls = 0
        if row is not None:
            controls = len(ins.qubits) - 1 if row["num_qubits"] == 0 else sum(
                1 for role in row["qubits"] if role.startswith("control"))
        for q in range(low, high + 1):
            cells[q] = "│"
            free[q] = col + 1
        links.update(range(low, high))
        for i, q in enumerate(ins.qubits):
            if ins.name == "measure":
                cells[q] = f"M→{ins.clbits[0]}"
            elif ins.name == "if_else":
                cells[q] = "if"
            elif ins.name == "reset":
                cells[q] = "|0>"
            elif ins.name == "barrier":
                cells[q] = "░"
            elif i < controls:
                cells[q] = "■"
            elif controls and ins.name in ("cx", "ccx", "mcx"):
                cells[q] = "X"
            else:
                cells[q] = _label(ins)
    width = len(f"q{n - 1}:") if n else 0
    lines = []
    for q in range(n):
        wire = f"q{q}:".ljust(width) + " ─"
        gap = " " * (width + 2)
        for cells, links in columns:
            w = max(len(t) for t in cells.values())
            wire += cells.get(q, "").center(w, "─") + "──"
            gap += ("│" if q in links else " ").center(w) + "  "
        lines.append(wire)
        if q + 1 < n:
            lines.append(gap.rstrip())
    return "\n".join(lines)
