"""PennyLane tapes as vorn circuits, PennyLane observables as vorn PauliSums.

Used by vorn.pennylane's device. Wire ``wire_order[i]`` of n wires becomes vorn
qubit ``n - 1 - i``: PennyLane's first wire is the most significant bit of
its state index and vorn's qubit 0 the least, so the converted circuit's
state vector is PennyLane's, index for index.

Operations translate through one dictionary keyed by PennyLane's operation
name (the vocabulary of PennyLane's gate sets) whose values name rows of
vorn's gate table; the device's supported set is derived from it, so a
PennyLane operation outside it is decomposed by PennyLane first.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np
import pennylane as qml
from pennylane.measurements import MidMeasureMP
from pennylane.ops import Conditional, Prod, SProd, Sum

from .. import _ext
from ..model.circuit import GATES, Circuit
from ..model.parameters import ParameterVector
from ..model.pauli import PauliSum


class _Gate(NamedTuple):
    """A vorn table row standing for a PennyLane operation: its angles from
    PennyLane's parameters (an affine map, so that adjoint gradients and
    bound sweeps see the same slots), operands in PennyLane's wire order."""

    row: str
    angles: Callable[[Sequence[Any]], tuple[Any, ...]] = tuple


def _same(row: str) -> _Gate:
    return _Gate(row)


# PennyLane operation name -> the vorn gate with the same matrix and phase
# (checked for every entry against qml.matrix by the tests).
_TRANSLATIONS: dict[str, _Gate] = {
    "Hadamard": _same("h"), "PauliX": _same("x"), "PauliY": _same("y"), "PauliZ": _same("z"),
    "S": _same("s"), "Adjoint(S)": _same("sdg"), "T": _same("t"), "Adjoint(T)": _same("tdg"),
    "SX": _same("sx"), "Adjoint(SX)": _same("sxdg"),
    "RX": _same("rx"), "RY": _same("ry"), "RZ": _same("rz"), "PhaseShift": _same("p"), "U1": _same("u1"),
    "U2": _same("u2"), "U3": _same("u3"),
    "CNOT": _same("cx"), "CY": _same("cy"), "CZ": _same("cz"), "CH": _same("ch"),
    "ControlledPhaseShift": _same("cp"), "CRX": _same("crx"), "CRY": _same("cry"), "CRZ": _same("crz"),
    "SWAP": _same("swap"), "ISWAP": _same("iswap"), "ECR": _same("ecr"),
    "IsingXX": _same("rxx"), "IsingYY": _same("ryy"), "IsingZZ": _same("rzz"),
    # IsingXY(phi) rotates the other way round from Qiskit's XX+YY gate.
    "IsingXY": _Gate("xx_plus_yy", lambda a: (-a[0], 0.0)),
    "Toffoli": _same("ccx"), "CCZ": _same("ccz"), "CSWAP": _same("cswap"),
    "MultiControlledX": _same("mcx"),
}
for _name, _gate in _TRANSLATIONS.items():
    if _gate.row not in GATES:
        raise ImportError(f"vorn.pennylane: {_name} names '{_gate.row}', which is not in vorn's gate table")
del _name, _gate

# Operations taken by their matrix (a vorn ``unitary``), as long as vorn's
# kernels take that many targets; so is any operation with a matrix and no
# decomposition.
_BY_MATRIX = frozenset({"QubitUnitary", "DiagonalQubitUnitary"})
# Operations that change nothing in the state vector.
_NO_EFFECT = frozenset({"Identity", "Barrier", "Snapshot"})

# Every operation name the device runs without decomposing it.
SUPPORTED = frozenset(_TRANSLATIONS) | _BY_MATRIX | _NO_EFFECT | {"GlobalPhase"}


def supports(op: Any) -> bool:
    """Whether ``op`` runs on vorn as it is (else PennyLane decomposes it).

    Args:
        op: a PennyLane operator.
    """
    name = op.name
    if name == "MultiControlledX":
        return all(op.hyperparameters["control_values"])  # mcx controls on 1 only
    if name in SUPPORTED and name not in _BY_MATRIX:
        return True
    # Matrices vorn's kernels take, and what PennyLane cannot decompose
    # (excitation gates with a phase, block encodings) by its matrix too.
    by_matrix = name in _BY_MATRIX or (not op.has_decomposition and op.has_matrix)
    return by_matrix and len(op.wires) <= _ext.MAX_GATE_TARGETS


def differentiable(op: Any) -> bool:
    """Whether vorn's adjoint pass differentiates ``op``'s parameters (its
    angles are gate-table angles); matrices are constants to it.

    Args:
        op: a PennyLane operator supported by :func:`supports`.
    """
    return op.name in _TRANSLATIONS or op.name == "GlobalPhase" or op.num_params == 0


def _real(value: Any) -> float:
    return float(np.real(value))


class _Slot(NamedTuple):
    index: int


class Converted(NamedTuple):
    """A tape's gates as a vorn circuit, and for each of ``circuit.parameters``
    (in that order: the columns of vorn's ``params=`` arrays) the tape
    parameter it stands for (an index over every operation's parameters);
    ``mcms``: the mid-circuit measurements, clbit i holding the i-th."""

    circuit: Circuit
    positions: list[int]
    mcms: tuple[Any, ...] = ()


def supports_dynamic(op: Any) -> bool:
    """Whether ``op`` runs on vorn's dynamic engine as it is: a supported
    operation, a mid-circuit measurement, or a supported operation under
    ``qml.cond``.

    Args:
        op: a PennyLane operator.
    """
    if isinstance(op, MidMeasureMP):
        return True
    if isinstance(op, Conditional):
        return supports(op.base) and op.base.name != "GlobalPhase"
    return supports(op)


def to_circuit(operations: Sequence[Any], wire_order: Sequence[Any],
               symbolic: Callable[[int, Any], bool] | None = None, extra_clbits: int = 0) -> Converted:
    """The vorn circuit of PennyLane ``operations`` on ``wire_order``.

    Args:
        operations: supported PennyLane operations (see :func:`supports`).
        wire_order: the device's wires; wire i becomes qubit n - 1 - i.
        symbolic: ``symbolic(position, op)`` says whether the operation
            parameter at ``position`` (its index over every operation's
            parameters, in order) of ``op`` becomes a vorn parameter rather
            than a number; None for none. Only angles of translated gates
            and of GlobalPhase can.
        extra_clbits: clbits after those of the mid-circuit measurements.
    """
    n = len(wire_order)
    qubit = {w: n - 1 - i for i, w in enumerate(wire_order)}
    mcms = tuple(op for op in operations if isinstance(op, MidMeasureMP))
    clbit = {m: i for i, m in enumerate(mcms)}
    circuit = Circuit(n, len(mcms) + extra_clbits) if mcms or extra_clbits else Circuit(n)
    chosen: list[int] = []
    angles_of: list[Any] = []
    position = 0
    for op in operations:
        values: list[Any] = []
        angles = differentiable(op.base if isinstance(op, Conditional) else op)
        for value in op.data:
            if angles and symbolic is not None and symbolic(position, op):
                chosen.append(position)
                values.append(_Slot(len(chosen) - 1))  # theta[k], once their number is known
            else:
                values.append(_real(value) if angles else value)
            position += 1
        angles_of.append(values)
    theta = ParameterVector("theta", len(chosen)) if chosen else []
    phase: Any = 0.0
    for op, values in zip(operations, angles_of):
        for i, value in enumerate(values):
            if isinstance(value, _Slot):
                values[i] = theta[value.index]
        if isinstance(op, MidMeasureMP):
            q, bit = qubit[op.wires[0]], clbit[op]
            circuit.measure(q, bit)
            if op.reset:  # the outcome stays in its clbit; a 1 is flipped back
                with circuit.if_test((bit, 1)):
                    circuit.x(q)
        elif isinstance(op, Conditional):
            condition = op.meas_val
            bits = [clbit[m] for m in condition.measurements]
            # One nest of if blocks per outcome combination the condition is true for.
            for outcome, value in condition.branches.items():
                if value:
                    _nested(circuit, list(zip(bits, outcome)), lambda op=op, values=values: _apply(
                        circuit, op.base, values, [qubit[w] for w in op.wires]))
        elif op.name == "GlobalPhase":
            phase = phase - values[0]  # GlobalPhase(phi) is exp(-i phi) times the identity
        else:
            _apply(circuit, op, values, [qubit[w] for w in op.wires])
    if not isinstance(phase, float) or phase != 0.0:
        circuit.global_phase = phase
    return Converted(circuit, [chosen[p.index] for p in circuit.parameters], mcms)


def _nested(circuit: Circuit, conditions: list[tuple[int, int]], body: Callable[[], None]) -> None:
    if not conditions:
        body()
        return
    with circuit.if_test(conditions[0]):
        _nested(circuit, conditions[1:], body)


def _apply(circuit: Circuit, op: Any, values: list[Any], operands: list[int]) -> None:
    """One supported operation (not GlobalPhase) on vorn qubits ``operands``."""
    name = op.name
    gate = _TRANSLATIONS.get(name)
    if gate is not None:
        if name == "MultiControlledX":
            circuit.mcx(operands[:-1], operands[-1])
        else:
            getattr(circuit, gate.row)(*gate.angles(values), *operands)
    elif name in _NO_EFFECT:
        return
    elif name == "DiagonalQubitUnitary":
        circuit.unitary(np.diag(np.asarray(op.data[0], dtype=np.complex128)), operands[::-1])
    else:  # by its matrix, PennyLane's first wire the most significant bit
        circuit.unitary(np.asarray(op.matrix(), dtype=np.complex128), operands[::-1])


# Matrix observables the adjoint pass takes: a matrix on k wires expands into
# up to 4**k Pauli words, each carried through the backward pass.
MAX_MATRIX_WIRES = 6


def describe(obs: Any) -> str:
    """A one-line name for an observable (a repr would print whole matrices)."""
    return f"{obs.name} on wires {obs.wires.tolist()}"


def _sentence(obs: Any) -> Any:
    """The observable's Pauli sentence, matrix observables (Hermitian,
    Projector, ...) expanded into Pauli words; ValueError naming the part
    that cannot be expanded and why."""
    rep = obs.pauli_rep
    if rep is not None:
        return rep
    if isinstance(obs, Sum):
        total = qml.pauli.PauliSentence()
        for term in obs.operands:
            total += _sentence(term)
        return total
    if isinstance(obs, SProd):
        return _sentence(obs.base) * obs.scalar
    if isinstance(obs, Prod):
        product = qml.pauli.PauliSentence({qml.pauli.PauliWord({}): 1.0})
        for factor in obs.operands:
            product = product @ _sentence(factor)
        return product
    if not obs.has_matrix:
        raise ValueError(f"{describe(obs)} has no matrix, so vorn's adjoint pass cannot expand it into Pauli words")
    k = len(obs.wires)
    if k > MAX_MATRIX_WIRES:
        raise ValueError(f"{describe(obs)} acts on {k} wires: vorn's adjoint pass expands a matrix observable into up to "
                         f"4**{k} Pauli words and takes matrices on at most {MAX_MATRIX_WIRES} wires")
    matrix = np.asarray(obs.matrix(wire_order=obs.wires), dtype=np.complex128)
    if not np.allclose(matrix, matrix.conj().T, rtol=0.0, atol=1e-10):
        raise ValueError(f"{describe(obs)} is not Hermitian, so its expectation value is not real")
    expanded = qml.pauli_decompose(matrix, wire_order=obs.wires, pauli=True, check_hermitian=False)
    # The matrix is Hermitian: every coefficient is real up to rounding.
    return qml.pauli.PauliSentence({w: float(np.real(c)) for w, c in expanded.items()})


def adjoint_sum(obs: Any, wire_order: Sequence[Any]) -> PauliSum:
    """The observable as a vorn PauliSum for the adjoint pass, matrix
    observables expanded (see :data:`MAX_MATRIX_WIRES`); ValueError naming
    what is refused and why.

    Args:
        obs: a PennyLane observable with constant coefficients.
        wire_order: the device's wires.
    """
    h = _from_sentence(_sentence(obs), wire_order)
    if h is None:
        raise ValueError(f"{describe(obs)} has complex coefficients (it is not Hermitian as written), so vorn's adjoint "
                         "pass cannot differentiate its expectation value")
    return h


def pauli_sum(obs: Any, wire_order: Sequence[Any]) -> PauliSum | None:
    """The observable as a vorn PauliSum (qubits as :func:`to_circuit`
    numbers them), or None when it has no Pauli form or has complex
    coefficients (not Hermitian as written).

    Args:
        obs: a PennyLane observable (Pauli word, Hamiltonian, sum, product, ...).
        wire_order: the device's wires.
    """
    rep = obs.pauli_rep
    return None if rep is None else _from_sentence(rep, wire_order)


def _from_sentence(rep: Any, wire_order: Sequence[Any]) -> PauliSum | None:
    n = len(wire_order)
    qubit = {w: n - 1 - i for i, w in enumerate(wire_order)}
    terms = []
    for word, coeff in rep.items():
        coeff = complex(coeff)
        if coeff.imag != 0.0:
            return None
        wires = list(word.keys())
        terms.append(("".join(word[w] for w in wires), [qubit[w] for w in wires], coeff.real))
    return PauliSum.from_sparse_list(terms, max(n, 1))
