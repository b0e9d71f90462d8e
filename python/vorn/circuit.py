"""Circuit building: a list of instructions over qubits and classical registers.

The circuit is kept as plain Python data (``Circuit.data``) so that every
reader (running, OpenQASM, conversion to and from other toolkits) sees one
list. It is turned into the engine's compiled gate list only when it runs.
Conventions follow Qiskit: qubit 0 is the least significant bit, angles come
before qubits, and each gate has the matrix and global phase of Qiskit's gate.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

import numpy as np

from . import _ext

__all__ = ["Circuit", "ClassicalRegister", "Instruction"]

# Instruction names that are not gates of the engine.
_NON_GATES = frozenset({"measure", "barrier"})

# Argument names of the gate methods, for error messages.
_QUBIT = ("qubit",)
_THETA_PHI = ("theta", "phi")
_THETA = ("theta",)
_PHI = ("phi",)
_THETA_PHI_LAM = ("theta", "phi", "lam")
_PHI_LAM = ("phi", "lam")
_CT = ("control_qubit", "target_qubit")
_THETA_PHI_LAM_GAMMA = ("theta", "phi", "lam", "gamma")
_QQ = ("qubit1", "qubit2")
_THETA_BETA = ("theta", "beta")
_CCT = ("control_qubit1", "control_qubit2", "target_qubit")
_CTT = ("control_qubit", "target_qubit1", "target_qubit2")
_LAM = ("lam",)


class ClassicalRegister(NamedTuple):
    """A named group of consecutive clbits of a circuit; ``ClassicalRegister(size,
    name)`` as in Qiskit."""

    size: int
    name: str


class Instruction(NamedTuple):
    """One entry of a circuit.

    ``qubits`` are in the gate's argument order (for ``mcx``/``mcp`` the
    controls, then the target); ``clbits`` are circuit-wide clbit indices (for
    ``measure``); ``matrix`` is set for ``unitary`` only (read-only array).
    """

    name: str
    qubits: tuple[int, ...]
    params: tuple[float, ...] = ()
    clbits: tuple[int, ...] = ()
    matrix: np.ndarray | None = None


def _is_integer(value: Any) -> bool:
    # bool is an int subclass, but True as a qubit is almost surely a mistake.
    return not isinstance(value, bool) and hasattr(type(value), "__index__")


def _angle(value: Any, name: str) -> float:
    # Non-finite angles are accepted, as vorn_python accepts them.
    if isinstance(value, (str, bytes, bool)):
        raise TypeError(f"angle '{name}' must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except TypeError:
        raise TypeError(f"angle '{name}' must be a real number, not {type(value).__name__}") from None


class Circuit:
    """A quantum circuit of ``num_qubits`` qubits and ``num_clbits`` clbits.

    The clbits given here form one register named ``c``; ``measure_all``
    adds a register ``meas``. Qubit and clbit indices may be negative, counting
    from the end as in Qiskit.
    """

    __slots__ = ("_num_qubits", "_cregs", "_num_clbits", "_data", "_measured", "_global_phase")

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
        self._measured: set[int] = set()  # qubits measured so far
        self._global_phase = 0.0
        if operator.index(num_clbits) > 0:
            self.add_register(ClassicalRegister(operator.index(num_clbits), "c"))

    # ---- structure --------------------------------------------------------

    @property
    def num_qubits(self) -> int:
        return self._num_qubits

    @property
    def num_clbits(self) -> int:
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

    def __repr__(self) -> str:
        return (
            f"<vorn.Circuit num_qubits={self._num_qubits} num_clbits={self._num_clbits} "
            f"instructions={len(self._data)}>"
        )

    @property
    def global_phase(self) -> float:
        """Global phase in radians, kept in [0, 2*pi) as Qiskit does."""
        return self._global_phase

    @global_phase.setter
    def global_phase(self, angle: float) -> None:
        self._global_phase = _angle(angle, "global_phase") % (2 * math.pi)

    def add_register(self, register: ClassicalRegister) -> None:
        """Appends a classical register; its clbits follow the existing ones."""
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

    def copy(self) -> Circuit:
        other = Circuit(self._num_qubits)
        other._cregs = list(self._cregs)
        other._num_clbits = self._num_clbits
        other._data = list(self._data)
        other._measured = set(self._measured)
        other._global_phase = self._global_phase
        return other

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
        if len(set(qubits)) != len(qubits):
            repeated = next(q for q in qubits if qubits.count(q) > 1)
            raise ValueError(f"qubit {repeated} is used twice in one '{name}' gate")
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
                break
        if len(qubits) > 1 and len(set(qubits)) != len(qubits):
            repeated = next(q for q in qubits if qubits.count(q) > 1)
            raise ValueError(f"qubit {repeated} is used twice in one '{name}' gate")
        if self._measured and not self._measured.isdisjoint(qubits):
            self._refuse_after_measure(name, qubits)
        self._data.append(Instruction(name, qubits, angles))

    def _refuse_after_measure(self, name: str, qubits: Sequence[int]) -> None:
        # Measurements happen at the end of the run for now: a gate on a
        # measured qubit would need the state to collapse in the middle.
        q = next(q for q in qubits if q in self._measured)
        raise NotImplementedError(
            f"'{name}' on qubit {q} after its measurement: mid-circuit measurement is not supported yet"
        )

    def _append(self, instruction: Instruction) -> None:
        if instruction.name not in _NON_GATES:
            if not self._measured.isdisjoint(instruction.qubits):
                self._refuse_after_measure(instruction.name, instruction.qubits)
        elif instruction.name == "measure":
            self._measured.update(instruction.qubits)
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

        Measurements are applied after every gate; a clbit measured twice keeps
        the last measurement, and clbits never measured read 0.
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

    def measure_all(self, inplace: bool = True, add_bits: bool = True) -> Circuit | None:
        """A barrier, then every qubit measured: into a new register ``meas``
        (``add_bits=True``) or into clbits 0..n-1 that already exist."""
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
        """A barrier on the given qubits or sequences of qubits (all when none
        given). It changes nothing in the state; it is kept for readers."""
        operands = [q for arg in qargs for q in self._operand_list(arg, "qubit")]
        qubits = self._qubits("barrier", operands, ["qubit"] * len(operands)) if qargs else tuple(range(self._num_qubits))
        self._append(Instruction("barrier", qubits))

    def unitary(self, obj: Any, qubits: int | Sequence[int]) -> None:
        """Any 2^k x 2^k unitary on k qubits; ``qubits[0]`` is the least
        significant bit of the matrix's row index (Qiskit's UnitaryGate)."""
        operands = self._operand_list(qubits, "qubits")
        targets = self._qubits("unitary", operands, ["qubit"] * len(operands))
        try:
            m = np.array(obj, dtype=np.complex128, order="C", copy=True)
        except (TypeError, ValueError) as exc:
            raise ValueError(f"unitary matrix is not a complex array: {exc}") from None
        k = len(targets)
        if k == 0 or k > _ext.MAX_GATE_TARGETS:
            raise ValueError(f"unitary acts on 1 to {_ext.MAX_GATE_TARGETS} qubits, got {k}")
        dim = 1 << k
        if m.shape != (dim, dim):
            raise ValueError(f"unitary on {k} qubits needs a {dim}x{dim} matrix, got shape {m.shape}")
        if not _ext.is_unitary(m, 1e-10):
            raise ValueError("matrix is not unitary to within 1e-10")
        m.flags.writeable = False
        self._append(Instruction("unitary", targets, (), (), m))

    # ---- standard gates (Qiskit's names, argument order and matrices) ------

    def id(self, qubit: int) -> None:
        self._gate("id", (), (), (qubit,), _QUBIT)

    def x(self, qubit: int) -> None:
        self._gate("x", (), (), (qubit,), _QUBIT)

    def y(self, qubit: int) -> None:
        self._gate("y", (), (), (qubit,), _QUBIT)

    def z(self, qubit: int) -> None:
        self._gate("z", (), (), (qubit,), _QUBIT)

    def h(self, qubit: int) -> None:
        self._gate("h", (), (), (qubit,), _QUBIT)

    def s(self, qubit: int) -> None:
        self._gate("s", (), (), (qubit,), _QUBIT)

    def sdg(self, qubit: int) -> None:
        self._gate("sdg", (), (), (qubit,), _QUBIT)

    def t(self, qubit: int) -> None:
        self._gate("t", (), (), (qubit,), _QUBIT)

    def tdg(self, qubit: int) -> None:
        self._gate("tdg", (), (), (qubit,), _QUBIT)

    def sx(self, qubit: int) -> None:
        self._gate("sx", (), (), (qubit,), _QUBIT)

    def sxdg(self, qubit: int) -> None:
        self._gate("sxdg", (), (), (qubit,), _QUBIT)

    def r(self, theta: float, phi: float, qubit: int) -> None:
        self._gate("r", (theta, phi), _THETA_PHI, (qubit,), _QUBIT)

    def rx(self, theta: float, qubit: int) -> None:
        self._gate("rx", (theta,), _THETA, (qubit,), _QUBIT)

    def ry(self, theta: float, qubit: int) -> None:
        self._gate("ry", (theta,), _THETA, (qubit,), _QUBIT)

    def rz(self, phi: float, qubit: int) -> None:
        self._gate("rz", (phi,), _PHI, (qubit,), _QUBIT)

    def p(self, theta: float, qubit: int) -> None:
        self._gate("p", (theta,), _THETA, (qubit,), _QUBIT)

    def u(self, theta: float, phi: float, lam: float, qubit: int) -> None:
        self._gate("u", (theta, phi, lam), _THETA_PHI_LAM, (qubit,), _QUBIT)

    def u1(self, theta: float, qubit: int) -> None:
        self._gate("u1", (theta,), _THETA, (qubit,), _QUBIT)

    def u2(self, phi: float, lam: float, qubit: int) -> None:
        self._gate("u2", (phi, lam), _PHI_LAM, (qubit,), _QUBIT)

    def u3(self, theta: float, phi: float, lam: float, qubit: int) -> None:
        self._gate("u3", (theta, phi, lam), _THETA_PHI_LAM, (qubit,), _QUBIT)

    def cx(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("cx", (), (), (control_qubit, target_qubit), _CT)

    def cy(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("cy", (), (), (control_qubit, target_qubit), _CT)

    def cz(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("cz", (), (), (control_qubit, target_qubit), _CT)

    def ch(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("ch", (), (), (control_qubit, target_qubit), _CT)

    def cs(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("cs", (), (), (control_qubit, target_qubit), _CT)

    def csdg(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("csdg", (), (), (control_qubit, target_qubit), _CT)

    def csx(self, control_qubit: int, target_qubit: int) -> None:
        self._gate("csx", (), (), (control_qubit, target_qubit), _CT)

    def cp(self, theta: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("cp", (theta,), _THETA, (control_qubit, target_qubit), _CT)

    def crx(self, theta: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("crx", (theta,), _THETA, (control_qubit, target_qubit), _CT)

    def cry(self, theta: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("cry", (theta,), _THETA, (control_qubit, target_qubit), _CT)

    def crz(self, theta: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("crz", (theta,), _THETA, (control_qubit, target_qubit), _CT)

    def cu(self, theta: float, phi: float, lam: float, gamma: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("cu", (theta, phi, lam, gamma), _THETA_PHI_LAM_GAMMA, (control_qubit, target_qubit), _CT)

    def cu1(self, theta: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("cu1", (theta,), _THETA, (control_qubit, target_qubit), _CT)

    def cu3(self, theta: float, phi: float, lam: float, control_qubit: int, target_qubit: int) -> None:
        self._gate("cu3", (theta, phi, lam), _THETA_PHI_LAM, (control_qubit, target_qubit), _CT)

    def swap(self, qubit1: int, qubit2: int) -> None:
        self._gate("swap", (), (), (qubit1, qubit2), _QQ)

    def iswap(self, qubit1: int, qubit2: int) -> None:
        self._gate("iswap", (), (), (qubit1, qubit2), _QQ)

    def dcx(self, qubit1: int, qubit2: int) -> None:
        self._gate("dcx", (), (), (qubit1, qubit2), _QQ)

    def ecr(self, qubit1: int, qubit2: int) -> None:
        self._gate("ecr", (), (), (qubit1, qubit2), _QQ)

    def rxx(self, theta: float, qubit1: int, qubit2: int) -> None:
        self._gate("rxx", (theta,), _THETA, (qubit1, qubit2), _QQ)

    def ryy(self, theta: float, qubit1: int, qubit2: int) -> None:
        self._gate("ryy", (theta,), _THETA, (qubit1, qubit2), _QQ)

    def rzz(self, theta: float, qubit1: int, qubit2: int) -> None:
        self._gate("rzz", (theta,), _THETA, (qubit1, qubit2), _QQ)

    def rzx(self, theta: float, qubit1: int, qubit2: int) -> None:
        self._gate("rzx", (theta,), _THETA, (qubit1, qubit2), _QQ)

    def xx_plus_yy(self, theta: float, beta: float, qubit1: int, qubit2: int) -> None:
        self._gate("xx_plus_yy", (theta, beta), _THETA_BETA, (qubit1, qubit2), _QQ)

    def xx_minus_yy(self, theta: float, beta: float, qubit1: int, qubit2: int) -> None:
        self._gate("xx_minus_yy", (theta, beta), _THETA_BETA, (qubit1, qubit2), _QQ)

    def ccx(self, control_qubit1: int, control_qubit2: int, target_qubit: int) -> None:
        self._gate("ccx", (), (), (control_qubit1, control_qubit2, target_qubit), _CCT)

    def ccz(self, control_qubit1: int, control_qubit2: int, target_qubit: int) -> None:
        self._gate("ccz", (), (), (control_qubit1, control_qubit2, target_qubit), _CCT)

    def cswap(self, control_qubit: int, target_qubit1: int, target_qubit2: int) -> None:
        self._gate("cswap", (), (), (control_qubit, target_qubit1, target_qubit2), _CTT)

    def rccx(self, control_qubit1: int, control_qubit2: int, target_qubit: int) -> None:
        self._gate("rccx", (), (), (control_qubit1, control_qubit2, target_qubit), _CCT)

    def mcx(self, control_qubits: Sequence[int], target_qubit: int) -> None:
        controls = self._operand_list(control_qubits, "control_qubits")
        self._gate("mcx", (), (), (*controls, target_qubit), ("control qubit",) * len(controls) + ("target_qubit",))

    def mcp(self, lam: float, control_qubits: Sequence[int], target_qubit: int) -> None:
        controls = self._operand_list(control_qubits, "control_qubits")
        self._gate("mcp", (lam,), _LAM, (*controls, target_qubit), ("control qubit",) * len(controls) + ("target_qubit",))
