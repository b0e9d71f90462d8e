"""Running a circuit: one compiled program, one simulation, then sampling.

Measurements come after every gate (the circuit refuses gates on measured
qubits), so a run simulates once, draws whole-register outcomes from the
final state with the seed's random stream (as vorn_python does, so the same
seed gives the same outcomes), and maps each measured qubit to its clbit.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from . import _ext
from .circuit import _NON_GATES, Circuit

__all__ = ["Result", "run", "statevector"]

_MAX_SEED = 2**64 - 1


def _compile(circuit: Circuit, samples: bool) -> _ext.Program:
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if circuit.num_qubits == 0:
        raise ValueError("a circuit with no qubits cannot be run")
    if circuit.num_qubits > _ext.MAX_QUBITS:
        # Checked here too: a count past 64 bits could not even reach the engine.
        raise MemoryError(f"a state of {circuit.num_qubits} qubits needs 2^{circuit.num_qubits + 4} bytes")
    # Flat lists so that the whole circuit crosses into the engine in one call.
    names: list[str] = []
    arity: list[int] = []
    qubits: list[int] = []
    params: list[float] = []
    matrices: list[np.ndarray] = []
    for ins in circuit._data:
        if ins.name in _NON_GATES:
            continue
        names.append(ins.name)
        arity.append(len(ins.qubits))
        qubits.extend(ins.qubits)
        params.extend(ins.params)
        if ins.matrix is not None:
            matrices.append(ins.matrix)
    return _ext.compile_program(circuit.num_qubits, names, arity, qubits, params, matrices,
                                circuit.global_phase, samples)


def _measure_map(circuit: Circuit) -> dict[int, int]:
    """clbit -> the qubit measured into it last."""
    return {ins.clbits[0]: ins.qubits[0] for ins in circuit._data if ins.name == "measure"}


def _non_negative(value: Any, name: str, limit: int | None = None) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    v = operator.index(value)
    if v < 0 or (limit is not None and v > limit):
        bound = f" and <= {limit}" if limit is not None else ""
        raise ValueError(f"{name} must be >= 0{bound}, got {v}")
    return v


def _readonly(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


class Result:
    """What a run produced: the state before the measurements and the counts."""

    __slots__ = ("_state", "_probabilities", "_counts", "shots")

    def __init__(self, state: np.ndarray, counts: dict[str, int], shots: int) -> None:
        self._state = _readonly(state)
        self._probabilities: np.ndarray | None = None
        self._counts = counts
        self.shots = shots

    def counts(self) -> dict[str, int]:
        """Outcome -> count, keys as Qiskit's get_counts: clbit 0 rightmost,
        registers separated by a space (the first register rightmost), keys
        ascending. Empty when nothing was sampled."""
        return dict(self._counts)

    def statevector(self) -> np.ndarray:
        """The state before the measurements (complex128, read-only, qubit 0
        the least significant bit of the index)."""
        return self._state

    def probabilities(self) -> np.ndarray:
        """re*re + im*im of each amplitude (float64, read-only)."""
        if self._probabilities is None:
            self._probabilities = _readonly(_ext.probabilities(self._state))
        return self._probabilities

    def __repr__(self) -> str:
        return f"<vorn.Result num_qubits={self._state.size.bit_length() - 1} shots={self.shots}>"


def _counts(circuit: Circuit, outcomes: np.ndarray, tally: np.ndarray, shots: int) -> dict[str, int]:
    if shots == 0 or circuit.num_clbits == 0:
        return {}
    # Key layout: registers right to left in the order they were added, in
    # each the highest clbit first; one space between registers.
    columns: list[int] = []  # clbit at each key position, -1 for a separator
    start = 0
    for reg in circuit._cregs:
        if reg.size:
            columns = list(range(start + reg.size - 1, start - 1, -1)) + ([-1] if columns else []) + columns
        start += reg.size
    measured = _measure_map(circuit)
    if not measured:
        # Nothing measured: every clbit reads 0 on every shot.
        return {"".join(" " if c < 0 else "0" for c in columns): shots}
    width = len(columns)
    if circuit.num_clbits <= 64:
        # Each outcome's clbit value as one integer: keys order like these
        # values, and outcomes that differ only in unmeasured qubits merge.
        values = np.zeros(len(outcomes), dtype=np.uint64)
        for clbit, qubit in measured.items():
            values |= ((outcomes >> np.uint64(qubit)) & np.uint64(1)) << np.uint64(clbit)
        if np.all(values[1:] > values[:-1]):
            totals = tally  # already distinct and ascending (every qubit kept its place)
        else:
            values, inverse = np.unique(values, return_inverse=True)
            totals = np.zeros(len(values), dtype=np.uint64)
            np.add.at(totals, inverse.reshape(-1), tally)
        chars = np.full((len(values), width), ord("0"), dtype=np.uint8)
        for pos, clbit in enumerate(columns):
            if clbit < 0:
                chars[:, pos] = ord(" ")
            elif clbit in measured:
                chars[:, pos] += ((values >> np.uint64(clbit)) & np.uint64(1)).astype(np.uint8)
    else:
        # Too many clbits for one integer: the same with rows of characters.
        chars = np.full((len(outcomes), width), ord("0"), dtype=np.uint8)
        for pos, clbit in enumerate(columns):
            if clbit < 0:
                chars[:, pos] = ord(" ")
            elif clbit in measured:
                chars[:, pos] += ((outcomes >> np.uint64(measured[clbit])) & np.uint64(1)).astype(np.uint8)
        chars, inverse = np.unique(chars, axis=0, return_inverse=True)
        totals = np.zeros(len(chars), dtype=np.uint64)
        np.add.at(totals, inverse.reshape(-1), tally)
    raw = chars.tobytes().decode("ascii")
    return {raw[i * width:(i + 1) * width]: count for i, count in enumerate(totals.tolist())}


def run(circuit: Circuit, shots: int = 1024, seed: int | None = None) -> Result:
    """Simulates ``circuit`` once (the interpreter lock released meanwhile) and
    draws ``shots`` measurement outcomes from the seed's random stream (the
    system's entropy when ``seed`` is None)."""
    shots = _non_negative(shots, "shots")
    if seed is not None:
        seed = _non_negative(seed, "seed", _MAX_SEED)
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    samples = shots >= 1 and any(ins.name == "measure" for ins in circuit._data)
    program = _compile(circuit, samples)
    state, outcomes, tally = _ext.run_program(program, seed, shots)
    return Result(state, _counts(circuit, outcomes, tally, shots), shots)


def statevector(circuit: Circuit) -> np.ndarray:
    """The state after every gate of ``circuit``; measurements are ignored."""
    program = _compile(circuit, False)
    state, _, _ = _ext.run_program(program, 0, 0)
    return _readonly(state)
