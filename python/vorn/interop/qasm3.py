"""OpenQASM 3 reading and writing (the public module is vorn.qasm3)."""

from __future__ import annotations

import errno
import math
import os
import re
import stat
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np

from .. import _ext
from ..model import decompose as _decompose
from ..model.circuit import GATES, Circuit, _gate_matrix, _inverse
from ..model.instructions import ClassicalRegister, IfElse, Instruction, condition_clbits, make_if_else
from ..model.parameters import Parameter, ParameterExpression, _make, circuit_parameters
from .qasm2 import _LATER, include_paths, instruction_limit, u_angles

__all__ = ["QASM3Error", "QASM3Warning", "dump", "dumps", "load", "loads"]

# The reader refuses a program that expands past this many instructions
# (or takes more steps than this to read: loops, calls, statements).
MAX_INSTRUCTIONS = 10_000_000

# The widest controlled gate formed as a matrix when no row of the table is it.
_MAX_MATRIX_QUBITS = 10

if Instruction._fields != ("name", "qubits", "params", "clbits", "matrix"):
    raise ImportError(f"vorn.qasm3 fills Instruction as (name, qubits, params, clbits, matrix), not {Instruction._fields}")


class QASM3Error(ValueError):
    """A malformed OpenQASM 3 program, or one using what vorn circuits cannot
    hold. ``str(error)`` names the line and column and the construct;
    ``line``/``column`` (1-based) and ``file`` (inside an include) hold the place."""

    def __init__(self, message: str, line: int | None = None, column: int | None = None, file: str | None = None):
        super().__init__(message)
        self.line = line
        self.column = column
        self.file = file


class QASM3Warning(UserWarning):
    """Something read and ignored: timing (delay, durations, box), calibrations
    (defcal, cal), pragmas and annotations."""


# ---- modifiers --------------------------------------------------------------

# A row as (gate it controls, its own controls); ctrl @ adds to the count.
_FAMILY = {
    "cx": ("x", 1), "ccx": ("x", 2), "cp": ("p", 1), "cz": ("z", 1), "ccz": ("z", 2), "cy": ("y", 1),
    "ch": ("h", 1), "crx": ("rx", 1), "cry": ("ry", 1), "crz": ("rz", 1), "cswap": ("swap", 1),
    "csx": ("sx", 1), "cs": ("s", 1), "csdg": ("sdg", 1), "cu1": ("u1", 1), "cu3": ("u3", 1),
}
# (gate, controls) -> row; the variadic rows take any count.
_CONTROLLED = {
    ("x", 1): "cx", ("x", 2): "ccx", ("p", 1): "cp", ("u1", 1): "cu1", ("z", 1): "cz", ("z", 2): "ccz",
    ("y", 1): "cy", ("h", 1): "ch", ("rx", 1): "crx", ("ry", 1): "cry", ("rz", 1): "crz", ("swap", 1): "cswap",
    ("sx", 1): "csx", ("s", 1): "cs", ("sdg", 1): "csdg", ("u3", 1): "cu3",
}


def _controlled(ins: Instruction, controls: tuple[int, ...], line: int, column: int) -> Instruction:
    """``ctrl(k) @ ins`` with the controls in front: a row of the table when
    one is that gate, else a unitary of the controlled matrix."""
    name, qubits, params = ins.name, ins.qubits, ins.params
    if name in _FAMILY:
        base, own = _FAMILY[name]
        controls, qubits, name = controls + qubits[:own], qubits[own:], base
    elif name in ("mcx", "mcp"):
        controls, qubits, name = controls + qubits[:-1], qubits[-1:], "x" if name == "mcx" else "p"
    k = len(controls)
    if k == 0:
        return Instruction(name, qubits, params)
    if name == "id":
        return Instruction("id", qubits)
    if (name, k) in _CONTROLLED:
        return Instruction(_CONTROLLED[name, k], controls + qubits, params)
    if name == "x":
        return Instruction("mcx", controls + qubits)
    if name in ("p", "u1"):
        return Instruction("mcp", controls + qubits, params)
    if name == "u" and k == 1:
        return Instruction("cu", controls + qubits, (*params, 0.0))
    where = f"line {line}, column {column}"
    if any(isinstance(p, ParameterExpression) for p in params):
        raise QASM3Error(f"{where}: a controlled '{name}' with an input parameter is not supported: it has no row "
                         "in the gate table and its matrix needs known angles", line, column)
    width = k + len(qubits)
    if width > _MAX_MATRIX_QUBITS:
        raise QASM3Error(f"{where}: a controlled '{name}' on {width} qubits is not supported: it has no row in the "
                         f"gate table and its matrix is formed for at most {_MAX_MATRIX_QUBITS} qubits", line, column)
    base = ins.matrix if ins.matrix is not None else _gate_matrix(Instruction(name, tuple(range(len(qubits))), params))
    n = base.shape[0]
    full = np.eye(n << k, dtype=np.complex128)
    ones = (1 << k) - 1  # the controls are the low bits of the row index
    rows = (np.arange(n) << k) | ones
    full[np.ix_(rows, rows)] = base
    full.flags.writeable = False
    return Instruction("unitary", controls + qubits, (), (), full)


def _angle(value: float, terms: list, inputs: list[Parameter], slot: int) -> Any:
    mine = [(inputs[i], c) for s, i, c in terms if s == slot]
    if not mine:
        return value
    merged: dict[Parameter, float] = {}
    for p, c in mine:
        merged[p] = merged.get(p, 0.0) + c
    return _make(tuple(merged.items()), value)


def _finish(entry: Any, circuit: Circuit, inputs: list[Parameter]) -> Any:
    """An entry of the reader's list as the circuit's instruction."""
    if isinstance(entry, Instruction):
        return entry
    if entry[0] == "if":
        _, on_register, index, value, true_body, false_body = entry
        condition = (circuit.cregs[index], value) if on_register else (index, value)
        return make_if_else(condition, tuple(_finish(e, circuit, inputs) for e in true_body),
                            tuple(_finish(e, circuit, inputs) for e in false_body),
                            condition_clbits(circuit, condition))
    _, name, qubits, params, terms, inverse, controls, line, column = entry
    values = tuple(_angle(v, terms, inputs, slot) for slot, v in enumerate(params))
    ins = Instruction(name, qubits[controls:], values)
    if inverse:
        ins = _inverse(ins)
    if controls:
        ins = _controlled(ins, qubits[:controls], line, column)
    return ins


# ---- reading ------------------------------------------------------------------

def _body_matrix(num_qubits: int, entries: list[Instruction], phase: float) -> np.ndarray:
    names = [e.name for e in entries]
    arity = [len(e.qubits) for e in entries]
    qubits = [q for e in entries for q in e.qubits]
    params = [float(p) for e in entries for p in e.params]
    matrices = [e.matrix for e in entries if e.matrix is not None]
    return _ext.compile_program(num_qubits, names, arity, qubits, params, matrices, phase, False).matrix()


def _wrong_probes(probes: list, inputs: list[Parameter]) -> list[str]:
    """Definitions read as a row whose body is not that row's matrix (phase included)."""
    wrong = []
    holder = Circuit(0)
    for definition, row, num_qubits, params, phase, entries, _line, _column in probes:
        if num_qubits > _MAX_MATRIX_QUBITS:
            wrong.append(definition)  # too wide to compare: inlined as written
            continue
        body = [_finish(e, holder, inputs) for e in entries]
        expected = _gate_matrix(Instruction(row, tuple(range(num_qubits)), tuple(params)))
        got = _body_matrix(num_qubits, body, phase)
        if not np.allclose(got, expected, rtol=0.0, atol=1e-9):
            wrong.append(definition)
    return wrong


def _parse(call: Any, source: Any, include_path: list[bytes], limit: int) -> tuple:
    untrusted: list[str] = []
    while True:
        try:
            description = call(source, include_path, limit, untrusted, Instruction)
        except _ext.Qasm2ParseError as exc:
            text, _message, line, column, file = exc.args
            raise QASM3Error(text, line or None, column or None, file or None) from None
        inputs = [Parameter(name) for name in description[5]]
        wrong = [name for name in _wrong_probes(description[8], inputs) if name not in untrusted]
        if not wrong:
            return description, inputs
        untrusted.extend(wrong)


def _circuit(description: tuple, inputs: list[Parameter]) -> Circuit:
    num_qubits, phase, phase_terms, _qregs, cregs, _names, instructions, specials, _probes, notes = description
    for file, line, column, message in notes:
        place = f"{file}: " if file else ""
        warnings.warn(f"{place}line {line}, column {column}: {message}", QASM3Warning, stacklevel=4)
    circuit = Circuit(num_qubits)
    for name, size in cregs:
        circuit.add_register(ClassicalRegister(size, name))
    circuit.global_phase = _angle(phase, [(0, i, c) for i, c in phase_terms], inputs, 0)
    for index in specials:
        instructions[index] = _finish(instructions[index], circuit, inputs)
    if not specials:
        circuit._data.extend(instructions)  # checked by the reader: in at once
        return circuit
    for ins in instructions:
        circuit._append(ins)
    return circuit


def loads(
    text: str,
    *,
    include_path: Iterable[str | bytes | os.PathLike] = (".",),
    max_instructions: int = MAX_INSTRUCTIONS,
) -> Circuit:
    """The circuit of an OpenQASM 3 program.

    Args:
        text: the program (``OPENQASM 3.0;`` may be left out).
        include_path: directories searched for includes other than
            ``stdgates.inc``, which needs no file; the current directory by default.
        max_instructions: the most instructions the program may expand to,
            and the most steps reading it may take (statements, gate
            applications, loop iterations).

    The program runs as it is read: constants fold, loops over known ranges
    unroll, subroutines and gates are inlined. ``input float[64] x;`` (or
    angle) becomes a :class:`vorn.Parameter` named ``x``; conditions on
    measured bits become ``if_else`` blocks. A ``gate`` definition named like
    a row of the gate table (``rzz``, ``mcx_3``) with its signature, whose
    body has that row's matrix (global phase included), reads as the row;
    otherwise it is inlined as written.

    Raises :class:`QASM3Error` (a ValueError) with the line and column for
    malformed input and for what vorn circuits cannot hold (loops or
    classical variables that depend on measurements, non-integer powers of
    gates, non-affine functions of inputs), naming the construct. Timing,
    calibrations and pragmas are ignored with a :class:`QASM3Warning`.
    """
    if not isinstance(text, str):
        raise TypeError(f"loads expects str, not {type(text).__name__}")
    try:
        description, inputs = _parse(_ext.qasm3_parse, text, include_paths(include_path),
                                     instruction_limit(max_instructions))
    except UnicodeEncodeError as exc:
        raise QASM3Error(f"the text is not valid Unicode: {exc.reason} at index {exc.start}") from None
    return _circuit(description, inputs)


def load(
    path: str | bytes | os.PathLike,
    *,
    include_path: Iterable[str | bytes | os.PathLike] = (),
    max_instructions: int = MAX_INSTRUCTIONS,
) -> Circuit:
    """The circuit of an OpenQASM 3 file; its directory is searched for
    includes after ``include_path``. As :func:`loads` otherwise; raises
    FileNotFoundError or IsADirectoryError as open() would."""
    raw = os.fsencode(path)
    try:
        mode = os.stat(raw).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from None
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    description, inputs = _parse(_ext.qasm3_parse_file, raw, include_paths(include_path),
                                 instruction_limit(max_instructions))
    return _circuit(description, inputs)


# ---- writing ----------------------------------------------------------------

# Rows that stdgates.inc (or the language: U) has under a name of its own.
_STDGATES = {name: name for name in (
    "p x y z h s sdg t tdg sx rx ry rz cx cy cz cp crx cry crz ch swap ccx cswap cu id u1 u2 u3".split())}
_STDGATES["u"] = "U"

# Definitions of the other rows, each with the row's matrix and phase (the
# reader checks them against the row, so they read back as the row): by
# modifiers where one gives the gate exactly, else the row's OpenQASM 2
# definition or that of the later qelib1 gate (u written U).
_OWN = {
    "sxdg": "gate sxdg a { inv @ sx a; }",
    "cs": "gate cs a, b { ctrl @ s a, b; }",
    "csdg": "gate csdg a, b { ctrl @ sdg a, b; }",
    "csx": "gate csx a, b { ctrl @ sx a, b; }",
    "cu1": "gate cu1(lam) a, b { ctrl @ u1(lam) a, b; }",
    "cu3": "gate cu3(theta, phi, lam) a, b { ctrl @ u3(theta, phi, lam) a, b; }",
}
_HEADER = re.compile(r"gate (\w+)\(([^)]*)\)")


def _numbered(text: str) -> str:
    """The definition with its parameters named p0, p1, ...: Qiskit's importer
    binds a definition's parameters in the order of their names."""
    m = _HEADER.match(text)
    if m is None:
        return text
    names = [n.strip() for n in m.group(2).split(",")]
    head, body = text[:m.end()], text[m.end():]
    for i, name in enumerate(names):
        body = re.sub(rf"\b{name}\b", f"_p{i}_", body)
    body = re.sub(r"\b_p(\d+)_\b", r"p\1", body)
    return f"gate {m.group(1)}({', '.join(f'p{i}' for i in range(len(names)))}){body}"


_DEFINITIONS = {
    name: _numbered(_OWN.get(name) or re.sub(r"\bu\(", "U(", row["qasm2_definition"] or _LATER[name]))
    for name, row in GATES.items()
    if name not in _STDGATES and name not in ("mcx", "mcp")
}
_CALLS = re.compile(r"(?:[;{]|@)\s*([A-Za-z_][A-Za-z0-9_]*)")

_KEYWORDS = frozenset(
    "OPENQASM include qubit qreg bit creg int uint float angle bool complex const input output duration stretch "
    "gate def defcal defcalgrammar cal extern measure reset barrier delay box if else for in while switch case "
    "default break continue return end let gphase ctrl negctrl inv pow array true false pi tau euler U opaque "
    "void readonly mutable durationof sizeof im dt ns us ms s sin cos tan arcsin arccos arctan exp log sqrt ceil "
    "floor mod popcount rotl rotr real imag".split()
)
_IDENTIFIER = re.compile(r"[^\W\d]\w*\Z")


def _number(value: float) -> str:
    if not math.isfinite(value):
        raise ValueError(f"cannot write the non-finite angle {value!r} as OpenQASM 3")
    return repr(float(value))


class _Writer:
    def __init__(self, circuit: Circuit) -> None:
        self.circuit = circuit
        self.definitions: dict[str, str] = {}
        taken = set(_KEYWORDS) | set(_STDGATES.values()) | set(GATES) | {"q"}
        self.creg_names = []
        for reg in circuit.cregs:
            name = reg.name
            if not _IDENTIFIER.match(name) or name in taken or re.match(r"(mcx|mcp|unitary)_\d+\Z", name):
                n = 0
                while f"c{n}" in taken or any(r.name == f"c{n}" for r in circuit.cregs):
                    n += 1
                name = f"c{n}"
            taken.add(name)
            self.creg_names.append(name)
        self.clbits = [f"{name}[{i}]" for name, reg in zip(self.creg_names, circuit.cregs) for i in range(reg.size)]
        self.starts = {}
        start = 0
        for name, reg in zip(self.creg_names, circuit.cregs):
            self.starts[reg] = (name, start)
            start += reg.size
        self.inputs: dict[Parameter, str] = {}
        for p in circuit_parameters(circuit):
            name = p.name
            if not _IDENTIFIER.match(name) or name in taken:
                name = re.sub(r"\W+", "_", name).strip("_")
                if not _IDENTIFIER.match(name) or name in taken:
                    name = f"_p{len(self.inputs)}"
            while name in taken:
                name += "_"
            taken.add(name)
            self.inputs[p] = name
        self.unitaries = 0

    def angle(self, value: Any) -> str:
        if not isinstance(value, ParameterExpression):
            return _number(value)
        parts = [f"{_number(c)}*{self.inputs[p]}" for p, c in value.terms]
        if value.constant != 0.0:
            parts.append(_number(value.constant))
        return " + ".join(parts)

    def define(self, name: str) -> None:
        """A definition of this row and of every row its body uses, each before its user."""
        if name in self.definitions:
            return
        text = _DEFINITIONS[name]
        self.definitions[name] = ""  # placed first: a body may not use itself
        for used in _CALLS.findall(text):
            if used in _DEFINITIONS and used != name:
                self.define(used)
        del self.definitions[name]
        self.definitions[name] = text

    def variadic(self, row: str, k: int) -> str:
        """mcx_k / mcp_k: k controls by the ctrl modifier (read back as the row)."""
        name = f"{row}_{k}"
        if name not in self.definitions:
            args = ", ".join(f"q{i}" for i in range(k + 1))
            gate, params = ("x", "") if row == "mcx" else ("p(lam)", "(lam)")
            modifier = f"ctrl({k}) @ " if k else ""
            self.definitions[name] = f"gate {name}{params} {args} {{ {modifier}{gate} {args}; }}"
        return name

    def unitary(self, ins: Instruction) -> str:
        name = f"unitary_{self.unitaries}"
        self.unitaries += 1
        k = len(ins.qubits)
        args = ", ".join(f"q{i}" for i in range(k))
        if k == 1:
            theta, phi, lam, alpha = u_angles(ins.matrix)
            body = f"U({_number(theta)}, {_number(phi)}, {_number(lam)}) q0;"
        else:
            gates, alpha = _decompose.decompose_unitary(ins.matrix)
            body = " ".join(
                f"cx q{qs[0]}, q{qs[1]};" if gate == "cx" else f"{gate}({_number(a)}) q{qs[0]};"
                for gate, qs, a in gates
            )
        if alpha != 0.0:
            body += f" gphase({_number(alpha)});"
        self.definitions[name] = f"gate {name} {args} {{ {body} }}"
        return name

    def statement(self, ins: Any, indent: str, out: list[str]) -> None:
        name = ins.name
        if isinstance(ins, IfElse):
            where, value = ins.condition
            if isinstance(where, ClassicalRegister):
                test = f"{self.starts[where][0]} == {value}"
            else:
                test = self.clbits[where] if value else f"!{self.clbits[where]}"  # as Qiskit writes it
            out.append(f"{indent}if ({test}) {{")
            for inner in ins.true_body:
                self.statement(inner, indent + "  ", out)
            if ins.false_body:
                out.append(f"{indent}}} else {{")
                for inner in ins.false_body:
                    self.statement(inner, indent + "  ", out)
            out.append(f"{indent}}}")
            return
        qubits = ", ".join(f"q[{i}]" for i in ins.qubits)
        if name == "measure":
            out.append(f"{indent}{self.clbits[ins.clbits[0]]} = measure {qubits};")
            return
        if name == "reset":
            out.append(f"{indent}reset {qubits};")
            return
        if name == "barrier":
            if ins.qubits:
                out.append(f"{indent}barrier {qubits};")
            return
        if name == "unitary":
            out.append(f"{indent}{self.unitary(ins)} {qubits};")
            return
        if name in _STDGATES:
            gate = _STDGATES[name]
        elif name in ("mcx", "mcp"):
            gate = self.variadic(name, len(ins.qubits) - 1)
        elif name in _DEFINITIONS:
            self.define(name)
            gate = name
        else:
            raise ValueError(f"cannot write gate '{name}' as OpenQASM 3")
        params = f"({', '.join(self.angle(p) for p in ins.params)})" if ins.params else ""
        out.append(f"{indent}{gate}{params} {qubits};")


def dumps(circuit: Circuit) -> str:
    """The circuit as an OpenQASM 3.0 program: ``qubit[n] q;``, a ``bit[k]``
    per classical register, ``input float[64]`` per parameter, the global
    phase as ``gphase``.

    Gates of stdgates.inc keep their name (u is written U); the table's other
    rows get a ``gate`` definition with the row's matrix and phase (mcx and
    mcp as ``mcx_k``/``mcp_k`` by the ``ctrl(k) @`` modifier), which
    :func:`loads` reads back as the row; a ``unitary`` becomes ``U`` and a
    phase on one qubit, or the exact rz/ry/cx decomposition on more, with its
    phase as ``gphase`` in the definition. ``if_test`` blocks become
    ``if``/``else`` on a bit or a whole register.

    A parameter or register whose name cannot be declared (not an
    identifier, a keyword or a gate's name) is written under a new name.
    Raises ValueError for non-finite angles or global phase.
    """
    if not isinstance(circuit, Circuit):
        raise TypeError(f"dumps expects a vorn.Circuit, not {type(circuit).__name__}")
    writer = _Writer(circuit)
    body: list[str] = []
    phase = circuit.global_phase
    if isinstance(phase, ParameterExpression) or phase != 0.0:
        body.append(f"gphase({writer.angle(phase)});")
    for ins in circuit.data:
        writer.statement(ins, "", body)
    lines = ["OPENQASM 3.0;", 'include "stdgates.inc";']
    lines.extend(f"input float[64] {name};" for name in writer.inputs.values())
    lines.extend(writer.definitions.values())
    for name, reg in zip(writer.creg_names, circuit.cregs):
        lines.append(f"bit[{reg.size}] {name};")
    lines.append(f"qubit[{circuit.num_qubits}] q;")
    lines.extend(body)
    return "\n".join(lines) + "\n"


def dump(circuit: Circuit, path: str | os.PathLike) -> None:
    """Writes :func:`dumps` of the circuit to ``path`` (UTF-8)."""
    text = dumps(circuit)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
