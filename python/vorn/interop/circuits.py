"""Circuits to and from Qiskit and Cirq.

Qiskit and Cirq are optional (``pip install "vorn-python[qiskit]"`` or
``[cirq]``); they are imported only when a converter is called.

Qiskit: standard gates become vorn's gate of the same name (same matrix and
phase), and any other instruction is replaced by its definition (one level at
a time) until it is made of those, as Aer and hardware run it; only an
instruction without a definition is taken by its matrix (a ``unitary``, up to
five qubits first, then up to vorn's widest). So an instruction whose matrix
and definition differ (``PauliEvolutionGate``, whose definition is a Trotter
step, and everything built of it, such as ``QAOAAnsatz``) has one meaning at
every width: its definition. What has neither a matrix nor a definition
(``reset``, control flow, ...) is refused with its name. Qubits are numbered
as in the Qiskit circuit (quantum registers are not kept); classical
registers are kept, so counts keys come out as Qiskit's ``get_counts()``
(a circuit with clbits outside any register, or registers sharing clbits,
gets one register ``c`` of all its clbits instead).

Cirq: the first qubit of the qubit order is the most significant bit of
Cirq's state vector index, and vorn's qubit 0 is the least significant one,
so the i-th of n qubits in the order becomes vorn qubit ``n - 1 - i``: the
converted circuit's state vector equals ``cirq.final_state_vector`` for the
same order. Each measurement key becomes a classical register (in the order
the keys first appear), whose leftmost character in a counts key is the
first qubit of the measurement, as Cirq lists the bits of a key.
"""

from __future__ import annotations

import importlib
import math
import re
import sys
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

from .. import _ext
from ..model import parameters as _parameters
from ..model.circuit import GATES, Circuit, ClassicalRegister, IfElse, _gate_matrix
from .cirq_parameters import FromCirq, cirq_bindings, is_cirq_sweepable
from .qiskit_parameters import FromQiskit, ToQiskit

__all__ = ["from_cirq", "from_qiskit", "to_cirq", "to_qiskit"]

# Instructions of other toolkits on at most this many qubits are taken as a
# matrix when vorn has no gate for them; larger ones are decomposed first.
MATRIX_QUBITS = 5
# How deep definitions are followed before giving up (a guard, not a limit
# any real circuit meets).
_MAX_DEPTH = 32


def _require(module: str, extra: str, caller: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(
            f"vorn.{caller} needs the '{extra}' package: pip install \"vorn-python[{extra}]\""
        ) from exc


def as_vorn_circuit(obj: Any) -> Any:
    """``obj`` converted when it is a Qiskit ``QuantumCircuit`` or a Cirq
    circuit, else ``obj`` itself. A toolkit not imported yet cannot have made
    ``obj``, so neither is imported for the check."""
    qiskit = sys.modules.get("qiskit")
    if qiskit is not None and isinstance(obj, qiskit.QuantumCircuit):
        return from_qiskit(obj)
    cirq = sys.modules.get("cirq")
    if cirq is not None and isinstance(obj, cirq.AbstractCircuit):
        return from_cirq(obj)
    return obj


def as_vorn_call(obj: Any, params: Any) -> tuple[Any, Any]:
    """(``obj`` converted as :func:`as_vorn_circuit` does, ``params``):
    Cirq's parameter resolvers and sweeps (a resolver or dict for a circuit
    from Cirq, one binding; a sweep or a list of them, one row per point)
    become the converted circuit's values by symbol name; vorn's arrays
    stay as they are."""
    converted = as_vorn_circuit(obj)
    return converted, toolkit_params(obj, converted, params)


def toolkit_params(obj: Any, converted: Any, params: Any) -> Any:
    """A sweep's values for ``converted``, the vorn circuit made of ``obj``:
    Cirq's resolvers and sweeps (for a circuit from Cirq) become rows by
    symbol name; vorn's arrays stay as they are.

    Args:
        obj: the circuit as the caller gave it.
        converted: the vorn circuit made of it.
        params: the caller's values (or None).
    """
    cirq = sys.modules.get("cirq")
    from_cirq_circuit = cirq is not None and isinstance(obj, cirq.AbstractCircuit)
    if is_cirq_sweepable(params, from_cirq_circuit) and isinstance(converted, Circuit):
        return cirq_bindings(converted, params)
    return params


# ---- Qiskit -------------------------------------------------------------------

# Qiskit's standard gates of vorn's fixed-arity rows have vorn's name, angle
# order, qubit order, matrix and phase (the table is written so): read by name.
_SAME_NAME = frozenset(name for name, row in GATES.items() if row["num_qubits"])
# Control flow vorn does not have (reset and if_else it has).
_DYNAMIC = frozenset({"while_loop", "for_loop", "switch_case", "break_loop", "continue_loop", "store", "box"})


class _QiskitReader:
    def __init__(self, qiskit: Any, out: Circuit) -> None:
        self.out = out
        self.phase = 0.0
        self.angle = FromQiskit(qiskit)  # numbers and affine parameter expressions
        self.Operator = importlib.import_module("qiskit.quantum_info").Operator
        self.ControlledGate = qiskit.circuit.ControlledGate
        lib = importlib.import_module("qiskit.circuit.library")
        self.ZGate = lib.ZGate
        # A name alone could be a user's own gate called "h": the class decides.
        self.rows = {getattr(lib, cls): name for name, row in GATES.items() for cls in row["qiskit"]}
        self.special = {"measure": qiskit.circuit.Measure, "barrier": qiskit.circuit.Barrier,
                        "delay": qiskit.circuit.Delay, "global_phase": lib.GlobalPhaseGate,
                        "unitary": lib.UnitaryGate, "reset": qiskit.circuit.Reset,
                        "if_else": qiskit.circuit.IfElseOp}
        self.Clbit = qiskit.circuit.Clbit
        self.Register = qiskit.circuit.ClassicalRegister

    def circuit(self, qc: Any, qubits: list[int], clbits: list[int], depth: int, outer: list[str]) -> None:
        self.phase += self.angle(qc.global_phase)
        qindex = {bit: i for i, bit in enumerate(qc.qubits)}
        cindex = {bit: i for i, bit in enumerate(qc.clbits)}
        out = self.out
        for inst in qc.data:
            # Qiskit's built-in gates are read without making their Python
            # objects (most of the time of a large circuit otherwise).
            if inst.name in _SAME_NAME and _is_standard(inst):
                getattr(out, inst.name)(*(self.angle(p) for p in inst.params), *(qubits[qindex[q]] for q in inst.qubits))
                continue
            if inst.name == "if_else" and isinstance(inst.operation, self.special["if_else"]):
                self.if_else(inst, [qubits[qindex[q]] for q in inst.qubits], [clbits[cindex[c]] for c in inst.clbits],
                             lambda bit: clbits[cindex[bit]], depth, outer)
                continue
            self.instruction(
                inst.operation,
                [qubits[qindex[q]] for q in inst.qubits],
                [clbits[cindex[c]] for c in inst.clbits],
                depth,
                outer,
            )

    def if_else(self, inst: Any, qubits: list[int], clbits: list[int], clbit_of: Any, depth: int,
                outer: list[str]) -> None:
        """An IfElseOp as an if_test block (with its else block); its bodies'
        qubits and clbits are the instruction's, in order."""
        op = inst.operation
        target, value = op.condition if isinstance(op.condition, tuple) else (None, None)
        if isinstance(target, self.Clbit):
            condition: tuple[Any, int] = (clbit_of(target), int(value))
        elif isinstance(target, self.Register):
            wanted = [clbit_of(bit) for bit in target]
            start = 0
            register = None
            for reg in self.out.cregs:
                if list(range(start, start + reg.size)) == wanted:
                    register = reg
                start += reg.size
            if register is None:  # shared or loose clbits: the register's value bit by bit
                self.bitwise(op, wanted, int(value), qubits, clbits, depth, outer)
                return
            condition = (register, int(value))
        else:
            raise NotImplementedError(f"'if_else'{_inside(outer)} with the condition {op.condition!r}: vorn takes "
                                      "(clbit, value) and (register, value) conditions only")
        true_body, false_body = op.blocks[0], op.blocks[1] if len(op.blocks) > 1 else None
        with self.out.if_test(condition) as else_:
            self.circuit(true_body, qubits, clbits, depth + 1, outer + ["if_else"])
        if false_body is not None and len(false_body.data):
            with else_:
                self.circuit(false_body, qubits, clbits, depth + 1, outer + ["if_else"])

    def bitwise(self, op: Any, wanted: list[int], value: int, qubits: list[int], clbits: list[int], depth: int,
                outer: list[str]) -> None:
        """A condition on clbits that form no register of the converted
        circuit: nested tests of each bit, the else block in every branch
        where a bit differs (only one of them runs)."""
        true_body, false_body = op.blocks[0], op.blocks[1] if len(op.blocks) > 1 else None
        inner = outer + ["if_else"]

        def test(i: int) -> None:
            if i == len(wanted):
                self.circuit(true_body, qubits, clbits, depth + 1, inner)
                return
            with self.out.if_test((wanted[i], (value >> i) & 1)) as else_:
                test(i + 1)
            if false_body is not None and len(false_body.data):
                with else_:
                    self.circuit(false_body, qubits, clbits, depth + 1, inner)

        if value >> len(wanted):  # more bits than the register has: never equal
            if false_body is not None:
                self.circuit(false_body, qubits, clbits, depth + 1, inner)
            return
        test(0)

    def instruction(self, op: Any, qubits: list[int], clbits: list[int], depth: int, outer: list[str]) -> None:
        name = op.name
        out = self.out
        # Someone's own instruction under a built-in name goes by its matrix or definition.
        kind = "" if name in self.special and not isinstance(op, self.special[name]) else name
        if kind == "measure":
            out.measure(qubits, clbits)
            return
        if kind == "reset":
            out.reset(qubits)
            return
        if kind == "barrier":
            kept = [q for q in qubits if q is not None]  # None: an idle qubit left out of the simulation
            if kept:
                out.barrier(kept)
            return
        if kind == "delay":  # the identity for a simulator
            return
        if kind == "global_phase":
            self.phase += self.angle(op.params[0])
            return
        if name in _DYNAMIC:
            raise NotImplementedError(
                f"'{name}'{_inside(outer)} is not supported: vorn's dynamic circuits have measure, reset and "
                "if_else (if_test blocks) only"
            )
        k = getattr(op, "num_ctrl_qubits", 0)
        if isinstance(op, self.ControlledGate) and k and op.ctrl_state != (1 << k) - 1:
            # An open control is an X before and after a closed one: exact.
            closed = op.to_mutable()
            closed.ctrl_state = (1 << k) - 1
            flips = [qubits[i] for i in range(k) if not (op.ctrl_state >> i) & 1]
            for q in flips:
                out.x(q)
            self.instruction(closed, qubits, clbits, depth, outer)
            for q in flips:
                out.x(q)
            return
        gate = next((self.rows[cls] for cls in type(op).__mro__ if cls in self.rows), None)
        if gate is not None and len(op.params) == GATES[gate]["num_params"]:
            params = [self.angle(p) for p in op.params]
            if GATES[gate]["num_qubits"] == len(qubits):
                getattr(out, gate)(*params, *qubits)
                return
            if GATES[gate]["num_qubits"] == 0 and len(qubits) == k + 1:
                # controls, then the target; the forms with ancillas go by their definition
                getattr(out, gate)(*params, qubits[:-1], qubits[-1])
                return
        if isinstance(op, self.ControlledGate) and k and len(qubits) == k + 1 and isinstance(op.base_gate, self.ZGate):
            # Z under any number of controls (Qiskit's c3z, c4z, ...): mcp(pi),
            # one diagonal pass (its definition is h, mcx, h), as Cirq's
            # Z.controlled converts.
            out.mcp(math.pi, qubits[:-1], qubits[-1])
            return
        if kind == "unitary" and len(qubits) <= _ext.MAX_GATE_TARGETS:
            out.unitary(op.to_matrix(), qubits)
            return
        definition = getattr(op, "definition", None)
        if clbits:  # a composite that measures: only its parts can say where to
            if definition is None or depth >= _MAX_DEPTH:
                raise ValueError(f"'{name}'{_inside(outer)} writes clbits, which only 'measure' may do in vorn")
            self.circuit(definition, qubits, clbits, depth + 1, outer + [name])
            return
        if not qubits:
            # A zero-qubit instruction with a matrix is a phase.
            matrix = self.matrix(op)
            if matrix is not None and matrix.shape == (1, 1):
                self.phase += float(np.angle(matrix[0, 0]))
                return
        # A definition, where there is one, is the meaning at every width: a
        # matrix taken at some widths only would give an instruction whose
        # definition differs from its matrix two meanings. Standard gates
        # keep their matrix (their definitions equal it).
        by_definition = definition is not None and depth < _MAX_DEPTH
        if len(qubits) <= MATRIX_QUBITS and not (by_definition and not _is_standard_op(op)):
            matrix = self.matrix(op)
            if matrix is not None:
                out.unitary(matrix, qubits)
                return
        if by_definition:
            self.circuit(definition, qubits, clbits, depth + 1, outer + [name])
            return
        if len(qubits) <= _ext.MAX_GATE_TARGETS:
            matrix = self.matrix(op)
            if matrix is not None:
                out.unitary(matrix, qubits)
                return
        raise ValueError(
            f"cannot convert the Qiskit instruction '{name}'{_inside(outer)} on {len(qubits)} qubits: "
            "it has no matrix vorn can take and no definition"
        )

    def matrix(self, op: Any) -> np.ndarray | None:
        # Anything Qiskit cannot make a matrix of (non-unitary parts, opaque
        # gates) is simply not a matrix here; the caller decomposes or refuses.
        try:
            if hasattr(op, "__array__"):
                return np.asarray(op.to_matrix(), dtype=np.complex128)
            return np.asarray(self.Operator(op).data, dtype=np.complex128)
        except Exception:  # noqa: BLE001 - Qiskit raises several unrelated types here
            return None


def _is_standard(inst: Any) -> bool:
    check = getattr(inst, "is_standard_gate", None)  # Qiskit 1.3 on
    return bool(check()) if check is not None else False


def _is_standard_op(op: Any) -> bool:
    """Whether a Qiskit operation is one of Qiskit's standard gates."""
    return getattr(op, "_standard_gate", None) is not None


def _inside(outer: list[str]) -> str:
    return f" (inside '{outer[-1]}')" if outer else ""


def from_qiskit(qc: Any) -> Circuit:
    """The vorn circuit of a Qiskit ``QuantumCircuit``: same state vector
    (global phase included) and, for measured circuits, counts keyed as
    Qiskit's. Parameters, ParameterVector elements and affine parameter
    expressions become vorn's (names kept; written back by :func:`to_qiskit`
    they are the same Qiskit parameters); a non-affine expression is a
    TypeError. ``reset``, mid-circuit measurements and ``IfElseOp`` (on a
    clbit or a register) become vorn's. Clbits outside any register and
    registers sharing clbits (``add_bits``, ``ClassicalRegister(bits=...)``,
    ``compose`` of dynamic circuits) make one register ``c`` of all the
    clbits, clbit 0 rightmost in counts keys. Raises ValueError for
    instructions vorn cannot take (the message names them),
    NotImplementedError for other control flow (loops, switch, store) and
    conditions that are classical expressions.

    Instructions that are not standard gates are read through their
    definitions, as Aer and hardware run them; an instruction whose matrix and
    definition differ, such as ``PauliEvolutionGate`` (a Trotter step), thus
    means its definition at every width, which can differ from
    ``Statevector(qc)``, which takes its exact exponential.

    Args:
        qc: the ``qiskit.QuantumCircuit`` to convert."""
    return convert_qiskit(qc, list(range(_qiskit_circuit(qc, "from_qiskit").num_qubits)))


def _qiskit_circuit(qc: Any, caller: str) -> Any:
    qiskit = _require("qiskit", "qiskit", caller)
    if not isinstance(qc, qiskit.QuantumCircuit):
        raise TypeError(f"{caller} expects a qiskit.QuantumCircuit, not {type(qc).__name__}")
    return qc


def convert_qiskit(qc: Any, qubits: list[int | None]) -> Circuit:
    """:func:`from_qiskit` with Qiskit qubit i becoming vorn qubit
    ``qubits[i]``: the vorn circuit has ``max(qubits) + 1`` qubits, and a
    qubit mapped to None may carry nothing but barriers and delays."""
    qiskit = _require("qiskit", "qiskit", "from_qiskit")
    out = Circuit(1 + max((q for q in qubits if q is not None), default=-1))
    in_registers = [bit for reg in qc.cregs for bit in reg]
    if in_registers == list(qc.clbits):
        for reg in qc.cregs:
            out.add_register(ClassicalRegister(reg.size, reg.name))
    elif qc.num_clbits:
        # Clbits outside any register or registers sharing clbits: vorn's
        # registers are consecutive and disjoint, so the clbits form one
        # register "c" (counts keys are all clbits, clbit 0 rightmost), and
        # a condition on a Qiskit register reads its clbits one by one.
        out.add_register(ClassicalRegister(qc.num_clbits, "c"))
    reader = _QiskitReader(qiskit, out)
    reader.circuit(qc, qubits, list(range(qc.num_clbits)), 0, [])
    out.global_phase = reader.phase
    return out


def to_qiskit(circuit: Circuit) -> Any:
    """A Qiskit ``QuantumCircuit`` with the same gates (Qiskit's gate
    classes), global phase, classical registers, measurements, resets and
    if_test blocks (``IfElseOp``); the qubits form one register ``q``.
    Parameters become Qiskit parameters of the same names (vector elements of
    a ``ParameterVector`` of the same name and length), affine expressions
    Qiskit expressions.

    Args:
        circuit: the vorn circuit.
    """
    qiskit = _require("qiskit", "qiskit", "to_qiskit")
    if not isinstance(circuit, Circuit):
        raise TypeError(f"to_qiskit expects a vorn.Circuit, not {type(circuit).__name__}")
    lib = importlib.import_module("qiskit.circuit.library")
    # vorn gate -> the Qiskit class it converts to (the row's first).
    gates = {name: getattr(lib, row["qiskit"][0]) for name, row in GATES.items()}
    qr = qiskit.QuantumRegister(circuit.num_qubits, "q")
    cregs = [qiskit.ClassicalRegister(reg.size, reg.name) for reg in circuit.cregs]
    angle = ToQiskit(qiskit)
    qc = qiskit.QuantumCircuit(qr, *cregs, global_phase=angle(circuit.global_phase))

    def condition(block: IfElse) -> tuple[Any, int]:
        where, value = block.condition
        if isinstance(where, ClassicalRegister):
            return cregs[circuit.cregs.index(where)], value
        return qc.clbits[where], value

    def emit(ins: Any) -> None:
        name, qubits = ins.name, list(ins.qubits)
        if isinstance(ins, IfElse):
            with qc.if_test(condition(ins)) as else_:
                for inner in ins.true_body:
                    emit(inner)
            if ins.false_body:
                with else_:
                    for inner in ins.false_body:
                        emit(inner)
        elif name == "measure":
            qc.measure(qubits[0], ins.clbits[0])
        elif name == "reset":
            qc.reset(qubits[0])
        elif name == "barrier":
            qc.barrier(qubits)
        elif name == "unitary":
            qc.append(lib.UnitaryGate(ins.matrix), qubits)
        elif GATES[name]["num_qubits"]:
            qc.append(gates[name](*map(angle, ins.params)), qubits)
        else:  # controls, then the target
            qc.append(gates[name](*map(angle, ins.params), len(qubits) - 1), qubits)

    for ins in circuit.data:
        emit(ins)
    return qc


# ---- Cirq ---------------------------------------------------------------------

class _CirqReader:
    def __init__(self, cirq: Any, out: Circuit, index: dict[Any, int]) -> None:
        self.cirq = cirq
        self.out = out
        self.index = index
        self.phase: Any = 0.0
        self.angle = FromCirq()  # numbers and affine sympy expressions
        self.keys: set[str] = set()
        # From the table: Cirq's fixed gates (cirq.H, cirq.S**-1, cirq.CY, ...)
        # -> vorn gate; Cirq classes made by an angle (cirq.rx -> Rx) or by an
        # exponent angle/pi (ZPowGate) -> (vorn gate, made by the angle).
        self.fixed: dict[Any, str] = {}
        self.by_angle: dict[type, str] = {}
        self.by_exponent: dict[type, str] = {}
        self.controlled_by_angle: dict[type, str] = {}  # cirq.rx(a).controlled(1) -> crx
        for name, row in GATES.items():
            spec = _CIRQ_SPECS.get(name)
            if spec is None or row["num_qubits"] == 0:
                continue
            if spec.angle is None:
                self.fixed.setdefault(_cirq_gate(cirq, spec, row, (), row["num_qubits"] - 1), name)
            elif not spec.controlled:
                made = type(_cirq_gate(cirq, spec, row, (0.5,), 0))
                (self.by_exponent if spec.over_pi else self.by_angle).setdefault(made, name)
            elif not spec.over_pi and row["num_qubits"] == 2:
                self.controlled_by_angle.setdefault(type(_cirq_gate(cirq, spec, row, (0.5,), 0)), name)

    def operation(self, op: Any, depth: int, outer: list[str]) -> None:
        cirq = self.cirq
        out = self.out
        qubits = [self.index[q] for q in op.qubits]
        if isinstance(op, cirq.ClassicallyControlledOperation):
            self.classically_controlled(op, depth, outer)
            return
        gate = op.gate
        if isinstance(gate, cirq.ResetChannel):
            out.reset(qubits)
            return
        if isinstance(gate, cirq.MeasurementGate):
            self.measurement(op, gate, qubits)
            return
        if self.known(gate, qubits):
            return
        what = _cirq_name(op)
        if cirq.has_unitary(op):
            if not qubits:
                self.phase += float(np.angle(cirq.unitary(op)[0, 0]))
                return
            if len(qubits) <= MATRIX_QUBITS:
                # Cirq's matrix has the first qubit most significant; vorn's
                # unitary takes its first qubit as the least significant.
                out.unitary(cirq.unitary(op), qubits[::-1])
                return
        parts = cirq.decompose_once(op, default=None) if depth < _MAX_DEPTH else None
        if parts is not None:
            for part in parts:
                self.operation(part, depth + 1, outer + [what])
            return
        if cirq.has_unitary(op) and len(qubits) <= _ext.MAX_GATE_TARGETS:
            out.unitary(cirq.unitary(op), qubits[::-1])
            return
        if cirq.is_parameterized(op):
            names = ", ".join(sorted(str(p) for p in cirq.parameter_names(op)))
            raise TypeError(f"the Cirq operation {what}{_inside(outer)} keeps its symbols ({names}) only where "
                            "vorn has a gate of that angle (rx, ry, rz and the X, Y, Z, CZ, CCZ, XX, YY, ZZ and "
                            "ISWAP powers, directly or through Cirq's decomposition): resolve it first with "
                            "cirq.resolve_parameters")
        if cirq.is_measurement(op) or not cirq.has_unitary(op):
            raise NotImplementedError(
                f"cannot convert the Cirq operation {what}{_inside(outer)}: it has no unitary "
                "(of the non-unitary operations vorn takes measurements, resets and classically "
                "controlled operations; noise channels through vorn.noise.from_cirq)"
            )
        raise ValueError(f"cannot convert the Cirq operation {what}{_inside(outer)}: its unitary is on "
                         f"{len(qubits)} qubits and it has no decomposition")

    def classically_controlled(self, op: Any, depth: int, outer: list[str]) -> None:
        """An operation under measurement-key conditions, as nested if_test
        blocks: a key holds when its register is not 0 (as Cirq reads it),
        so a one-qubit key tests for 1 and a wider one takes the else block of
        a test for 0."""
        cirq = self.cirq
        conditions = []
        for condition in op.classical_controls:
            if not isinstance(condition, cirq.KeyCondition):
                raise NotImplementedError(f"cannot convert the Cirq operation {_cirq_name(op)}{_inside(outer)}: "
                                          f"its condition {condition} is not a measurement key")
            key = str(condition.key)
            register = next((r for r in self.out.cregs if r.name == key), None)
            if register is None:
                raise ValueError(f"the Cirq operation {_cirq_name(op)}{_inside(outer)} is conditioned on "
                                 f"measurement key '{key}', which no earlier measurement writes")
            conditions.append(register)
        inner = op.without_classical_controls()

        def under(i: int) -> None:
            if i == len(conditions):
                self.operation(inner, depth + 1, outer)
                return
            register = conditions[i]
            if register.size == 1:
                with self.out.if_test((register, 1)):
                    under(i + 1)
                return
            with self.out.if_test((register, 0)) as else_:
                pass
            with else_:
                under(i + 1)

        under(0)

    def measurement(self, op: Any, gate: Any, qubits: list[int]) -> None:
        key = self.cirq.measurement_key_name(op)
        if any(gate.invert_mask) or getattr(gate, "confusion_map", None):
            raise NotImplementedError(f"measurement '{key}' flips or mixes its results (invert_mask or "
                                      "confusion_map), which vorn does not support")
        if key in self.keys:
            raise ValueError(f"measurement key '{key}' is used twice: vorn keeps one register per key")
        self.keys.add(key)
        first = self.out.num_clbits
        self.out.add_register(ClassicalRegister(len(qubits), key))
        # The first measured qubit is the key's leftmost (highest) clbit.
        k = len(qubits)
        self.out.measure(qubits, [first + k - 1 - j for j in range(k)])

    def known(self, gate: Any, qubits: list[int]) -> bool:
        """Common gates as vorn gates of the same matrix and phase: a family's
        gate at exponent t with global shift s is e^(i pi t s) times the shift-0
        gate, whose phase relative to vorn's gate is added to the circuit's."""
        cirq = self.cirq
        out = self.out
        if gate is None:
            return False
        if isinstance(gate, cirq.IdentityGate):
            for q in qubits:
                out.id(q)
            return True
        if isinstance(gate, cirq.MatrixGate) and len(qubits) <= _ext.MAX_GATE_TARGETS:
            out.unitary(cirq.unitary(gate), qubits[::-1])
            return True
        name = self.fixed_name(gate)
        if name is not None:
            getattr(out, name)(*qubits)
            return True
        if isinstance(gate, cirq.ControlledGate):
            return self.controlled(gate, qubits)
        if type(gate) in self.by_angle:  # cirq.rx/ry/rz: exactly vorn's rotation
            getattr(out, self.by_angle[type(gate)])(self.rads(gate), *qubits)
            return True
        if not isinstance(gate, cirq.EigenGate):
            return False
        t = self.angle(gate.exponent)
        try:
            s = float(gate.global_shift)
        except TypeError:
            return False
        base = gate
        if s != 0.0:
            try:
                base = type(gate)(exponent=gate.exponent)
            except TypeError:
                return False
        name = None if cirq.is_parameterized(base) else self.fixed_name(base)
        if name is not None:
            getattr(out, name)(*qubits)
        elif type(gate) in self.by_exponent:  # ZPowGate, CZPowGate: p(pi t), cp(pi t)
            getattr(out, self.by_exponent[type(gate)])(math.pi * t, *qubits)
        elif type(gate).__name__ in _CIRQ_POWERS:
            self.phase += _CIRQ_POWERS[type(gate).__name__](out, self.rads(gate), t, qubits)
        else:
            return False
        if s != 0.0:
            self.phase += math.pi * t * s
        return True

    def rads(self, gate: Any) -> Any:
        """The rotation angle of an X, Y or Z power: cirq.rx/ry/rz keep the
        angle they were made with (pi * exponent may differ from it in the
        last bit), the others pi * exponent."""
        rads = getattr(gate, "_rads", None)
        return self.angle(rads) if rads is not None else math.pi * self.angle(gate.exponent)

    def fixed_name(self, gate: Any) -> str | None:
        try:
            return self.fixed.get(gate)
        except TypeError:  # an unhashable gate of someone's own
            return None

    def controlled(self, gate: Any, qubits: list[int]) -> bool:
        # All-|1> controls on X or on a shift-0 Z power: vorn's mcx and mcp,
        # for any number of controls.
        cirq = self.cirq
        sub = gate.sub_gate
        try:
            closed = all(tuple(v) == (1,) for v in gate.control_values)
        except TypeError:
            return False
        k = gate.num_controls()
        if not closed or len(qubits) != k + 1 or cirq.is_parameterized(getattr(sub, "global_shift", 0.0)):
            return False
        if k == 1 and type(sub) in self.controlled_by_angle:
            getattr(self.out, self.controlled_by_angle[type(sub)])(self.rads(sub), *qubits)
            return True
        if (isinstance(sub, cirq.XPowGate) and not cirq.is_parameterized(sub) and float(sub.exponent) == 1.0
                and float(sub.global_shift) == 0.0):
            self.out.mcx(qubits[:-1], qubits[-1])
            return True
        if isinstance(sub, cirq.ZPowGate) and float(sub.global_shift) == 0.0:
            self.out.mcp(math.pi * self.angle(sub.exponent), qubits[:-1], qubits[-1])
            return True
        return False


# Cirq families at any exponent t (global shift 0) that vorn has as another
# gate: each appends it and returns the phase that gate lacks. ``rads`` is
# pi t (or the angle a cirq.rx/ry was made with); t and rads are floats or
# vorn expressions of the circuit's symbols.
def _x_power(out: Circuit, rads: Any, t: Any, q: list[int]) -> Any:
    out.rx(rads, *q)  # X^t = e^(i pi t/2) Rx(pi t)
    return math.pi * t / 2


def _y_power(out: Circuit, rads: Any, t: Any, q: list[int]) -> Any:
    out.ry(rads, *q)
    return math.pi * t / 2


def _ccz_power(out: Circuit, rads: Any, t: Any, q: list[int]) -> float:
    out.mcp(math.pi * t, q[:2], q[2])
    return 0.0


def _iswap_power(out: Circuit, rads: Any, t: Any, q: list[int]) -> float:
    out.xx_plus_yy(-math.pi * t, 0.0, *q)  # ISWAP^t is XX+YY(-pi t, 0), symmetric in its qubits
    return 0.0


def _two_pauli_power(gate: str) -> Any:
    def power(out: Circuit, rads: Any, t: Any, q: list[int]) -> Any:
        getattr(out, gate)(math.pi * t, *q)  # (PP)^t = e^(i pi t/2) Rpp(pi t), symmetric in its qubits
        return math.pi * t / 2
    return power


_CIRQ_POWERS = {"XPowGate": _x_power, "YPowGate": _y_power, "CCZPowGate": _ccz_power, "ISwapPowGate": _iswap_power,
                "XXPowGate": _two_pauli_power("rxx"), "YYPowGate": _two_pauli_power("ryy"),
                "ZZPowGate": _two_pauli_power("rzz")}


def _cirq_name(op: Any) -> str:
    return f"'{op.gate if op.gate is not None else op}'"


def from_cirq(circuit: Any, qubit_order: Any = None) -> Circuit:
    """The vorn circuit of a Cirq circuit, with the state vector of
    ``cirq.final_state_vector(circuit, qubit_order=qubit_order)``.

    ``qubit_order`` is anything ``cirq.QubitOrder.as_qubit_order`` takes
    (``cirq.QubitOrder.DEFAULT``, sorted qubits, when None). Operations with a
    unitary on up to five qubits convert directly (common gates to the vorn
    gate of equal matrix and phase), larger ones through their decomposition.
    Each measurement key becomes a classical register named after it, in the
    order the keys first appear; a measurement's first qubit is the leftmost
    character of its register in the counts keys. Measurements may come
    anywhere; ``cirq.ResetChannel`` becomes ``reset`` and a
    ``ClassicallyControlledOperation`` on measurement keys if_test blocks
    (a key holds when its register reads non-zero, as in Cirq).

    Sympy symbols become vorn :class:`Parameter` s of the same name (one per
    name) and affine sympy expressions of them vorn's expressions, where
    vorn has a gate of that angle: ``cirq.rx/ry/rz``, the X, Y, Z, CZ, CCZ,
    XX, YY, ZZ and ISWAP powers (global shifts included), their controlled
    forms, and what Cirq decomposes into them (``PhasedXPowGate``, ``FSimGate``,
    ...). Bind them with ``params=`` (a ``cirq.ParamResolver``, a dict or a
    sweep, by symbol name) or :meth:`vorn.Circuit.assign_parameters`. Other
    symbolic operations and non-affine angles (``sympy.sin(t)``, ``t**2``)
    raise TypeError: resolve those first with ``cirq.resolve_parameters``.

    Args:
        circuit: a ``cirq.Circuit``.
        qubit_order: the qubit order (see above); None for Cirq's default.
    """
    return _read_cirq(circuit, qubit_order, "from_cirq")


def _read_cirq(circuit: Any, qubit_order: Any, caller: str, take: Any = None) -> Circuit:
    """from_cirq's conversion; ``take(op, reader)``, when given, sees each
    top-level operation first and returns True for those it has taken
    (vorn.noise.from_cirq takes the noise channels)."""
    cirq = _require("cirq", "cirq", caller)
    if not isinstance(circuit, cirq.AbstractCircuit):
        raise TypeError(f"{caller} expects a cirq.Circuit, not {type(circuit).__name__}")
    order = cirq.QubitOrder.as_qubit_order(cirq.QubitOrder.DEFAULT if qubit_order is None else qubit_order)
    qubits = list(order.order_for(circuit.all_qubits()))
    for q in qubits:
        if q.dimension != 2:
            raise ValueError(f"qubit {q} has dimension {q.dimension}: vorn simulates qubits only")
    n = len(qubits)
    reader = _CirqReader(cirq, Circuit(n), {q: n - 1 - i for i, q in enumerate(qubits)})
    for i, moment in enumerate(circuit):
        for op in moment:
            if take is not None and take(op, reader):
                continue
            try:
                reader.operation(op, 0, [])
            except NotImplementedError as exc:
                # vorn's own refusals (a gate after a measurement) count
                # qubits vorn's way: say where in the Cirq circuit it was.
                if "Cirq" in str(exc):
                    raise
                raise NotImplementedError(f"{exc} (Cirq operation {op} in moment {i})") from None
    reader.out.global_phase = reader.phase
    return reader.out


def to_cirq(circuit: Circuit) -> Any:
    """A Cirq circuit with the same state vector under Cirq's default qubit
    order: vorn qubit j is ``cirq.LineQubit(n - 1 - j)``. Gates Cirq has with
    the same matrix and phase become Cirq's (H, CNOT, rx, ...; ``mcx`` and
    ``mcp`` a controlled X or Z power), the others a ``cirq.MatrixGate``; each measured classical register one measurement keyed by its
    name (its highest clbit the first qubit), and a non-zero global phase a
    ``cirq.GlobalPhaseGate``.

    Args:
        circuit: the vorn circuit.
    """
    cirq = _require("cirq", "cirq", "to_cirq")
    if not isinstance(circuit, Circuit):
        raise TypeError(f"to_cirq expects a vorn.Circuit, not {type(circuit).__name__}")
    _parameters.require_bound(circuit)
    n = circuit.num_qubits
    line = [cirq.LineQubit(n - 1 - j) for j in range(n)]
    ops = []
    cache: dict[tuple, np.ndarray] = {}
    measured: dict[int, int] = {}
    for ins in circuit.data:
        if ins.name == "measure":
            measured[ins.clbits[0]] = ins.qubits[0]
            continue
        if ins.name == "barrier":
            continue
        spec = _CIRQ_SPECS.get(ins.name)
        if spec is not None:  # operands in the same order, control(s) first
            native = _cirq_gate(cirq, spec, GATES[ins.name], ins.params, len(ins.qubits) - 1)
            ops.append(native.on(*(line[q] for q in ins.qubits)))
            continue
        matrix = ins.matrix if ins.matrix is not None else _cached_matrix(ins, cache)
        # vorn's first operand is the matrix's least significant bit, Cirq's its most.
        ops.append(cirq.MatrixGate(matrix).on(*(line[q] for q in reversed(ins.qubits))))
    start = 0
    for reg in circuit.cregs:
        bits = range(start + reg.size - 1, start - 1, -1)
        start += reg.size
        if not any(b in measured for b in bits):
            continue
        missing = [b for b in bits if b not in measured]
        if missing:
            raise ValueError(f"register '{reg.name}' is measured in part (clbit {missing[0]} never is): "
                             "a Cirq measurement key covers all its bits")
        ops.append(cirq.measure(*(line[measured[b]] for b in bits), key=reg.name))
    if circuit.global_phase:
        ops.append(cirq.global_phase_operation(complex(np.exp(1j * circuit.global_phase))))
    return cirq.Circuit(ops)


class _CirqSpec(NamedTuple):
    attribute: str
    power: float | None
    angle: int | None  # index of the angle the gate is made with
    over_pi: bool  # made with exponent=angle/pi
    controlled: bool


_CIRQ_GRAMMAR = re.compile(r"(\w+)(?:\*\*(-?[0-9.]+)|\((\w+)(/pi)?\))?(\.controlled)?\Z")


def _cirq_spec(row: dict[str, Any]) -> _CirqSpec:
    m = _CIRQ_GRAMMAR.match(row["cirq"])
    if m is None or (m.group(3) is not None and m.group(3) not in row["params"]):
        raise ImportError(f"gate table: cannot read the Cirq counterpart {row['cirq']!r} of '{row['name']}'")
    attribute, power, angle, over_pi, controlled = m.groups()
    return _CirqSpec(attribute, None if power is None else float(power),
                     None if angle is None else row["params"].index(angle), over_pi is not None, controlled is not None)


# vorn gate -> its Cirq counterpart, for the rows that have one.
_CIRQ_SPECS = {name: _cirq_spec(row) for name, row in GATES.items() if row["cirq"]}


def _cirq_gate(cirq: Any, spec: _CirqSpec, row: dict[str, Any], params: Sequence[float], controls: int) -> Any:
    """Cirq's gate of a table row with these angles and control count."""
    gate = getattr(cirq, spec.attribute)
    if spec.power is not None:
        gate = gate**spec.power
    elif spec.angle is not None:
        value = params[spec.angle]
        gate = gate(exponent=value / math.pi) if spec.over_pi else gate(value)
    if spec.controlled and controls:
        gate = gate.controlled(controls)
    return gate


def _cached_matrix(ins: Any, cache: dict[tuple, np.ndarray]) -> np.ndarray:
    key = (ins.name, len(ins.qubits), ins.params)
    if key not in cache:
        cache[key] = _gate_matrix(ins)
    return cache[key]
