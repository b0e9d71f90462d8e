"""OpenQASM 2 reading and writing (the public module is vorn.qasm2)."""

from __future__ import annotations

import errno
import math
import operator
import os
import re
import stat
from collections.abc import Iterable

import numpy as np

from .. import _ext
from ..model import decompose as _decompose
from ..model.circuit import GATES, Circuit
from ..model.instructions import ClassicalRegister, IfElse, Instruction, make_if_else
from ..model.parameters import require_bound

__all__ = ["QASM2Error", "dump", "dumps", "load", "loads"]

GLOBAL_PHASE_COMMENT = "// vorn: global_phase = "

# The reader refuses a program that would expand past this many instructions.
MAX_INSTRUCTIONS = 10_000_000

# The binding fills Instruction tuples field by field, in this order.
if Instruction._fields != ("name", "qubits", "params", "clbits", "matrix"):
    raise ImportError(
        f"vorn.qasm2 fills Instruction as (name, qubits, params, clbits, matrix), "
        f"not {Instruction._fields}"
    )


class QASM2Error(ValueError):
    """A malformed OpenQASM 2 program. ``str(error)`` names the line and
    column and what was expected; ``line``/``column`` (1-based) and ``file``
    (set when the error is inside an included file) hold the place."""

    def __init__(self, message: str, line: int | None = None, column: int | None = None, file: str | None = None):
        super().__init__(message)
        self.line = line
        self.column = column
        self.file = file


# ---- reading ----------------------------------------------------------------

def _circuit(description: tuple) -> Circuit:
    num_qubits, global_phase, _qregs, cregs, instructions, conditions = description
    circuit = Circuit(num_qubits)
    for name, size in cregs:
        circuit.add_register(ClassicalRegister(size, name))
    circuit.global_phase = global_phase
    # The reader has checked every operand, count and parameter, so the
    # entries go in at once; each conditioned statement becomes one if_else.
    if not conditions:
        circuit._data.extend(instructions)
        return circuit
    registers = circuit.cregs
    starts = [sum(r.size for r in registers[:i]) for i in range(len(registers))]
    done = 0
    for first, count, creg, value in conditions:
        circuit._data.extend(instructions[done:first])
        reg = registers[creg]
        if value >= 1 << reg.size:
            raise QASM2Error(f"if ({reg.name}=={value}): the value does not fit the {reg.size}-bit register")
        clbits = tuple(range(starts[creg], starts[creg] + reg.size))
        circuit._data.append(make_if_else((reg, value), tuple(instructions[first:first + count]), (), clbits))
        done = first + count
    circuit._data.extend(instructions[done:])
    return circuit


def include_paths(include_path: Iterable[str | bytes | os.PathLike]) -> list[bytes]:
    """Directories as the bytes the file system takes (os.fsencode), so str,
    bytes and os.PathLike name them as they do for open()."""
    if isinstance(include_path, (str, bytes, os.PathLike)):
        include_path = [include_path]
    return [os.fsencode(p) for p in include_path]


def instruction_limit(max_instructions: int) -> int:
    if isinstance(max_instructions, bool):
        raise TypeError("max_instructions must be an int, not bool")
    n = operator.index(max_instructions)
    if not 0 <= n < 2**64:
        raise ValueError(f"max_instructions must be in [0, 2^64), got {n}")
    return n


def _parse(call, *args):
    try:
        return call(*args)
    except _ext.Qasm2ParseError as exc:
        text, _message, line, column, file = exc.args
        raise QASM2Error(text, line or None, column or None, file or None) from None


def _not_unicode(text: str, exc: UnicodeEncodeError) -> QASM2Error:
    """The error for a str that has no UTF-8 form (a lone surrogate, as from
    bytes decoded with 'surrogateescape' or a broken UTF-16 pair)."""
    at = exc.start
    line = text.count("\n", 0, at) + 1
    column = at - (text.rfind("\n", 0, at) + 1) + 1
    code = ord(text[at])
    return QASM2Error(
        f"line {line}, column {column}: the text is not valid Unicode: lone surrogate U+{code:04X} (not "
        f"encodable as UTF-8; was it decoded from bytes that are not UTF-8 or UTF-16?)",
        line,
        column,
    )


def loads(
    text: str,
    *,
    include_path: Iterable[str | bytes | os.PathLike] = (".",),
    max_instructions: int = MAX_INSTRUCTIONS,
) -> Circuit:
    """The circuit of an OpenQASM 2.0 program.

    Args:
        text: the program. The ``OPENQASM 2.0;`` line may be left out, as
            Qiskit's loader allows.
        include_path: directories (str, bytes or os.PathLike) searched for
            includes other than ``qelib1.inc``, which needs no file; the
            current directory by default, as Qiskit does.
        max_instructions: the most instructions the program may expand to
            (gate definitions inlined, registers broadcast). A program over
            it is refused before anything is expanded, with a QASM2Error
            naming the limit and the gate.

    Raises :class:`QASM2Error` for malformed input (and text that is not
    valid Unicode). ``reset`` becomes a reset and ``if (creg==n) op;`` an
    ``if_else`` block (one per statement, its condition read once).
    """
    if not isinstance(text, str):
        raise TypeError(f"loads expects str, not {type(text).__name__}")
    args = (include_paths(include_path), instruction_limit(max_instructions), Instruction)
    try:
        description = _parse(_ext.qasm2_parse, text, *args)
    except UnicodeEncodeError as exc:
        raise _not_unicode(text, exc) from None
    return _circuit(description)


def load(
    path: str | bytes | os.PathLike,
    *,
    include_path: Iterable[str | bytes | os.PathLike] = (),
    max_instructions: int = MAX_INSTRUCTIONS,
) -> Circuit:
    """The circuit of an OpenQASM 2.0 file.

    Args:
        path: the file (str, bytes or os.PathLike, as for open()).
        include_path: directories searched for includes, before the file's
            own directory.
        max_instructions: as for :func:`loads`.

    Raises FileNotFoundError or IsADirectoryError as open() would, and
    :class:`QASM2Error` for malformed input or a file that cannot be read
    (a FIFO or a device is refused rather than waited on).
    """
    raw = os.fsencode(path)
    try:
        mode = os.stat(raw).st_mode
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(path)) from None
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), os.fspath(path))
    args = (include_paths(include_path), instruction_limit(max_instructions), Instruction)
    return _circuit(_parse(_ext.qasm2_parse_file, raw, *args))


# ---- writing ----------------------------------------------------------------

# From the gate table: the gates qelib1.inc provides under the circuit's own
# name (reading gives them back), and the other gates' qelib1 definitions
# with the same matrix, phase included.
_QELIB1 = {name: row["qelib1"] for name, row in GATES.items() if row["qelib1"]}
_DEFINITIONS = {name: row["qasm2_definition"] for name, row in GATES.items() if row["qasm2_definition"]}

# The later additions to qelib1.inc, defined in every dump that uses them so
# that readers knowing only the original file read it too (readers that know
# them, vorn's and Qiskit's, keep their own gate for a matching declaration).
# Same matrix and phase as the gate; listed so that each follows what it uses.
_LATER = {
    "u": "gate u(theta,phi,lam) a { U(theta,phi,lam) a; }",
    "p": "gate p(lam) a { u1(lam) a; }",
    "sx": "gate sx a { sdg a; h a; sdg a; u1(pi/4) a; x a; u1(pi/4) a; x a; }",
    "sxdg": "gate sxdg a { s a; h a; s a; u1(-pi/4) a; x a; u1(-pi/4) a; x a; }",
    "swap": "gate swap a,b { cx a,b; cx b,a; cx a,b; }",
    "cswap": "gate cswap a,b,c { cx c,b; ccx a,b,c; cx c,b; }",
    "crx": "gate crx(theta) a,b { u1(pi/2) b; cx a,b; u3(-theta/2,0,0) b; cx a,b; u3(theta/2,-pi/2,0) b; }",
    "cry": "gate cry(theta) a,b { ry(theta/2) b; cx a,b; ry(-theta/2) b; cx a,b; }",
    "cp": "gate cp(lam) a,b { u1(lam/2) a; cx a,b; u1(-lam/2) b; cx a,b; u1(lam/2) b; }",
    "csx": "gate csx a,b { h b; cu1(pi/2) a,b; h b; }",
    "cu": (
        "gate cu(theta,phi,lam,gamma) a,b { u1(gamma) a; u1((lam+phi)/2) a; u1((lam-phi)/2) b; cx a,b; "
        "u3(-theta/2,0,-(phi+lam)/2) b; cx a,b; u3(theta/2,phi,0) b; }"
    ),
    "rxx": "gate rxx(theta) a,b { h a; h b; cx a,b; rz(theta) b; cx a,b; h a; h b; }",
    "rzz": "gate rzz(theta) a,b { cx a,b; rz(theta) b; cx a,b; }",
    "rccx": (
        "gate rccx a,b,c { u2(0,pi) c; u1(pi/4) c; cx b,c; u1(-pi/4) c; cx a,c; u1(pi/4) c; cx b,c; "
        "u1(-pi/4) c; u2(0,pi) c; }"
    ),
    "c3x": (
        "gate c3x a,b,c,d { h d; p(pi/8) a; p(pi/8) b; p(pi/8) c; p(pi/8) d; cx a,b; p(-pi/8) b; cx a,b; "
        "cx b,c; p(-pi/8) c; cx a,c; p(pi/8) c; cx b,c; p(-pi/8) c; cx a,c; cx c,d; p(-pi/8) d; cx b,d; "
        "p(pi/8) d; cx c,d; p(-pi/8) d; cx a,d; p(pi/8) d; cx c,d; p(-pi/8) d; cx b,d; p(pi/8) d; cx c,d; "
        "p(-pi/8) d; cx a,d; h d; }"
    ),
    "c3sqrtx": (
        "gate c3sqrtx a,b,c,d { h d; cu1(pi/8) a,d; h d; cx a,b; h d; cu1(-pi/8) b,d; h d; cx a,b; h d; "
        "cu1(pi/8) b,d; h d; cx b,c; h d; cu1(-pi/8) c,d; h d; cx a,c; h d; cu1(pi/8) c,d; h d; cx b,c; "
        "h d; cu1(-pi/8) c,d; h d; cx a,c; h d; cu1(pi/8) c,d; h d; }"
    ),
    "c4x": (
        "gate c4x a,b,c,d,e { h e; cu1(pi/2) d,e; h e; c3x a,b,c,d; h e; cu1(-pi/2) d,e; h e; c3x a,b,c,d; "
        "c3sqrtx a,b,c,e; }"
    ),
}
_CALLS = re.compile(r"\b([a-z][a-z0-9_]*)\b(?=[ (])")

_RESERVED = frozenset(
    "OPENQASM include qreg creg gate opaque measure reset barrier if pi U CX sin cos tan exp ln sqrt "
    "asin acos atan".split()
)
_IDENTIFIER = re.compile(r"[a-z][A-Za-z0-9_]*\Z")


def _angle_text(value: float) -> str:
    if not math.isfinite(value):
        raise ValueError(f"cannot write the non-finite angle {value!r} as OpenQASM 2")
    return repr(float(value))


def _qubit_args(k: int) -> str:
    return ",".join(f"q{i}" for i in range(k))


def _mcp_definitions(k: int, out: dict[str, str]) -> str:
    """Defines mcp_k (k controls, then the target) and the gates it uses;
    returns its name. C^k-P(l) = CP(l/2) c_k,t; C^(k-1)X c..,c_k; CP(-l/2) c_k,t;
    C^(k-1)X c..,c_k; C^(k-1)-P(l/2) c..,t: every factor diagonal or exact."""
    name = f"mcp_{k}"
    if name in out:
        return name
    args = _qubit_args(k + 1)
    if k == 1:
        out[name] = f"gate {name}(lam) {args} {{ cp(lam) q0,q1; }}"
        return name
    controls = _qubit_args(k - 1)
    last, target = f"q{k - 1}", f"q{k}"
    mcx = _mcx_definitions(k - 1, out)
    mcp = _mcp_definitions(k - 1, out)
    out[name] = (
        f"gate {name}(lam) {args} {{ cp(lam/2) {last},{target}; {mcx} {controls},{last}; "
        f"cp(-lam/2) {last},{target}; {mcx} {controls},{last}; {mcp}(lam/2) {controls},{target}; }}"
    )
    return name


def _mcx_definitions(k: int, out: dict[str, str]) -> str:
    """Defines (or names) a k-control X: c3x and c4x are qelib1's, and read back as mcx."""
    if k == 3:
        return "c3x"
    if k == 4:
        return "c4x"
    name = f"mcx_{k}"
    if name in out:
        return name
    args = _qubit_args(k + 1)
    if k == 1:
        body = "cx q0,q1;"
    elif k == 2:
        body = "ccx q0,q1,q2;"
    else:  # X = H P(pi) H, exactly
        body = f"h q{k}; {_mcp_definitions(k, out)}(pi) {args}; h q{k};"
    out[name] = f"gate {name} {args} {{ {body} }}"
    return name


def u_angles(matrix: np.ndarray) -> tuple[float, float, float, float]:
    """(theta, phi, lam, alpha) with matrix == e^{i alpha} U(theta, phi, lam)
    for a one-qubit unitary (Qiskit's U, no phase of its own)."""
    m = np.asarray(matrix, dtype=np.complex128)
    c, s = abs(m[0, 0]), abs(m[1, 0])
    theta = 2 * math.atan2(s, c)
    tiny = 1e-300
    if c >= s:  # arg m00 = alpha, arg m10 = alpha + phi, arg(-m01) = alpha + lam
        alpha = float(np.angle(m[0, 0]))
        if s > tiny:
            phi = float(np.angle(m[1, 0])) - alpha
            lam = float(np.angle(-m[0, 1])) - alpha
        else:
            phi, lam = 0.0, float(np.angle(m[1, 1])) - alpha
    else:  # and arg m11 = alpha + phi + lam
        alpha_phi, alpha_lam = float(np.angle(m[1, 0])), float(np.angle(-m[0, 1]))
        alpha = alpha_phi + alpha_lam - float(np.angle(m[1, 1])) if c > tiny else alpha_phi
        phi, lam = alpha_phi - alpha, alpha_lam - alpha
    return theta, phi, lam, alpha


def _unitary_definition(matrix: np.ndarray, name: str) -> str:
    """A one-qubit unitary e^{i alpha} U(theta, phi, lam) as a definition; the
    phase is made of qelib1 gates too: p(a) X p(a) X = e^{ia} I."""
    theta, phi, lam, alpha = u_angles(matrix)
    body = f"u({_angle_text(theta)},{_angle_text(phi)},{_angle_text(lam)}) q0;"
    if alpha != 0.0:
        a = _angle_text(alpha)
        body += f" p({a}) q0; x q0; p({a}) q0; x q0;"
    return f"gate {name} q0 {{ {body} }}"


def _register_names(circuit: Circuit) -> list[str]:
    """A name per classical register that is a valid identifier and names no
    keyword, no gate a dump may use, and not the qreg 'q'."""
    generated = re.compile(r"(mcx|mcp|unitary)_\d+\Z")
    # Every gate the readers know without a definition (u0, rc3x, c3sqrtx
    # too): Qiskit's loader refuses a register named like one.
    taken = set(_QELIB1) | set(_QELIB1.values()) | set(_DEFINITIONS) | _RESERVED | _ext.QASM2_GATE_NAMES | {"q"}
    names = []
    for reg in circuit.cregs:
        name = reg.name
        if not _IDENTIFIER.match(name) or name in taken or generated.match(name):
            n = len(names)
            while f"c{n}" in taken or any(r.name == f"c{n}" for r in circuit.cregs):
                n += 1
            name = f"c{n}"
        taken.add(name)
        names.append(name)
    return names


def _multi_qubit_unitary(matrix: np.ndarray, name: str) -> tuple[str, float]:
    """A k-qubit unitary as a definition in rz, ry and cx, and the global
    phase it leaves (``matrix == exp(i*phase) * definition``)."""
    k = matrix.shape[0].bit_length() - 1
    gates, phase = _decompose.decompose_unitary(matrix)
    body = " ".join(
        f"cx q{qubits[0]},q{qubits[1]};" if gate == "cx" else f"{gate}({_angle_text(angle)}) q{qubits[0]};"
        for gate, qubits, angle in gates
    )
    return f"gate {name} {_qubit_args(k)} {{ {body} }}", phase


def _condition_text(circuit: Circuit, creg_names: list[str], ins: IfElse) -> str:
    """``if (creg==value)`` for a block OpenQASM 2 can hold: a condition on a
    whole register (or on the clbit of a one-bit register), no else block,
    no nested block, and nothing in it writing the register (each statement
    reads the condition again)."""
    where, value = ins.condition
    start = 0
    index = None
    for i, reg in enumerate(circuit.cregs):
        if (isinstance(where, ClassicalRegister) and reg == where) or (
                isinstance(where, int) and reg.size == 1 and start == where):
            index = i
            break
        start += reg.size
    if index is None:
        raise ValueError(f"cannot write a condition on clbit {where} as OpenQASM 2: only a whole register "
                         "(or a one-bit register's clbit) can be tested")
    if ins.false_body:
        raise ValueError("cannot write an if_test with an else block as OpenQASM 2")
    size = circuit.cregs[index].size
    for inner in ins.true_body:
        if isinstance(inner, IfElse):
            raise ValueError("cannot write nested if_test blocks as OpenQASM 2")
        if any(start <= c < start + size for c in inner.clbits) and inner is not ins.true_body[-1]:
            raise ValueError("cannot write an if_test block that writes its own condition's register and does "
                             "more as OpenQASM 2 (each statement would read the condition again)")
    return f"if({creg_names[index]}=={value})"


def dumps(circuit: Circuit) -> str:
    """The circuit as an OpenQASM 2.0 program (one qreg ``q``, the circuit's
    classical registers).

    Args:
        circuit: the vorn.Circuit to write.

    A ``unitary`` on one qubit becomes a ``u`` gate with its phase; on k >= 2
    qubits, an exact decomposition into rz, ry and cx (cosine-sine
    decompositions down to uniformly controlled rotations), equal to the
    matrix to rounding, with its global phase added to the phase comment. A
    k-qubit unitary becomes at most this many gates: 30 (14 cx) at k = 2,
    140 (68 cx) at k = 3, 600 (296 cx) at k = 4, 2480 (1232 cx) at k = 5,
    10080 at k = 6: about 2.5 * 4^k. Fewer when rotations vanish (an
    identity writes none).

    A classical register whose name OpenQASM 2 cannot declare there (a
    qelib1 gate's name such as u0 or rc3x, a keyword, not an identifier) is
    written under a new name ``c<n>``, said in a comment.

    ``reset`` is written as it is; an ``if_test`` block on a whole register
    (or a one-bit register's clbit) as ``if (creg==value)`` before each of
    its statements.

    Raises ValueError for what OpenQASM 2 cannot hold: non-finite angles or
    global phase, else blocks, nested blocks, conditions on one clbit of a
    larger register, and blocks that change their own condition's register
    before their last statement.
    """
    if not isinstance(circuit, Circuit):
        raise TypeError(f"dumps expects a vorn.Circuit, not {type(circuit).__name__}")
    require_bound(circuit)  # OpenQASM 2 has no input parameters
    if not math.isfinite(circuit.global_phase):
        raise ValueError(f"cannot write the non-finite global phase {circuit.global_phase!r} as OpenQASM 2")
    definitions: dict[str, str] = {}
    used: set[str] = set()  # gates the body names directly
    creg_names = _register_names(circuit)
    clbits = [f"{name}[{i}]" for name, reg in zip(creg_names, circuit.cregs) for i in range(reg.size)]
    body: list[str] = []
    unitaries = 0
    phase = float(circuit.global_phase)

    def statement(ins: Instruction) -> str | None:
        """The instruction's statement (None: nothing to write)."""
        nonlocal unitaries, phase
        name = ins.name
        qubits = ",".join(f"q[{i}]" for i in ins.qubits)
        if name == "measure":
            return f"measure {qubits} -> {clbits[ins.clbits[0]]};"
        if name == "reset":
            return f"reset {qubits};"
        if name == "barrier":
            return f"barrier {qubits};" if ins.qubits else None
        if name == "unitary":
            gate = f"unitary_{unitaries}"
            unitaries += 1
            if len(ins.qubits) == 1:
                definitions[gate] = _unitary_definition(ins.matrix, gate)
            else:
                definitions[gate], extra = _multi_qubit_unitary(ins.matrix, gate)
                phase += extra
            return f"{gate} {qubits};"
        if name in _QELIB1:
            gate = _QELIB1[name]
        elif name == "mcx":
            gate = _mcx_definitions(len(ins.qubits) - 1, definitions)
        elif name == "mcp":
            gate = _mcp_definitions(len(ins.qubits) - 1, definitions)
        elif name in _DEFINITIONS:
            gate = name
            definitions.setdefault(name, _DEFINITIONS[name])
        else:
            raise ValueError(f"cannot write gate '{name}' as OpenQASM 2")
        used.add(gate)
        params = f"({','.join(_angle_text(p) for p in ins.params)})" if ins.params else ""
        return f"{gate}{params} {qubits};"

    for ins in circuit.data:
        if isinstance(ins, IfElse):
            test = _condition_text(circuit, creg_names, ins)
            for inner in ins.true_body:
                text = statement(inner)
                if text is not None:
                    body.append(f"{test} {text}")
        else:
            text = statement(ins)
            if text is not None:
                body.append(text)

    # The later qelib1 gates named anywhere, and the ones their definitions use.
    texts = list(definitions.values()) + [_LATER[name] for name in used if name in _LATER]
    while texts:
        for name in _CALLS.findall(texts.pop()):
            if name in _LATER and name not in used:
                used.add(name)
                texts.append(_LATER[name])

    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";']
    if phase != 0.0:
        lines.append(GLOBAL_PHASE_COMMENT + repr(phase))
    lines.extend(text for name, text in _LATER.items() if name in used)
    lines.extend(definitions.values())
    lines.append(f"qreg q[{circuit.num_qubits}];")
    for name, reg in zip(creg_names, circuit.cregs):
        if name != reg.name:
            lines.append(f"// vorn: creg {ascii(reg.name)} is written as '{name}' (not a name a register can have here)")
        lines.append(f"creg {name}[{reg.size}];")
    lines.extend(body)
    return "\n".join(lines) + "\n"


def dump(circuit: Circuit, path: str | os.PathLike) -> None:
    """Writes :func:`dumps` of the circuit to ``path``."""
    text = dumps(circuit)
    with open(path, "w", encoding="ascii") as f:
        f.write(text)
