"""What runs give back: a :class:`Result` reads the engine's tally and
per-shot outcomes as Qiskit does (counts keys, memory, marginal counts);
dynamic and noisy runs give its subclasses.

A result holds what it needs from the circuit as it was when the run
started (registers and measurements): later changes to the circuit never
reach it.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from .. import _ext
from ..model.circuit import Circuit
from ..model.instructions import Instruction

__all__ = ["DynamicResult", "NoisyResult", "Result"]


def _measure_map(circuit: Circuit | Clbits) -> dict[int, int]:
    """clbit -> the qubit measured into it last."""
    return {ins.clbits[0]: ins.qubits[0] for ins in circuit._data if ins.name == "measure"}


def readonly(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


class Clbits:
    """What turns outcomes into clbit values: the registers and the
    measurements, as they were when the run started."""

    __slots__ = ("_cregs", "_data", "num_clbits")

    def __init__(self, circuit: Circuit) -> None:
        self._cregs = list(circuit._cregs)
        self._data = [ins for ins in circuit._data if ins.name == "measure"]
        self.num_clbits = circuit.num_clbits


class Result:
    """What a run produced: the state before the measurements, the counts
    and, when asked for, every shot's outcome."""

    __slots__ = ("_state", "_probabilities", "_counts", "_circuit", "_outcomes", "_tally", "_shots", "shots",
                 "_widen")

    def __init__(self, state: np.ndarray, circuit: Clbits, outcomes: np.ndarray, tally: np.ndarray,
                 shot_outcomes: np.ndarray | None, shots: int) -> None:
        self._state = readonly(state)
        self._probabilities: np.ndarray | None = None
        self._counts: dict[str, int] | bool | None = None  # None: never asked; False: asked once
        # Outcomes stay a tally of whole-register indices until counts are asked for.
        self._circuit = circuit
        self._outcomes = outcomes
        self._tally = tally
        self._shots = shot_outcomes
        self.shots = shots
        # Set for a circuit simulated on fewer qubits than it names (a Qiskit
        # circuit transpiled for a device): the state is widened when asked for.
        self._widen: Any = None

    def counts(self) -> dict[str, int]:
        """Outcome -> count, keys as Qiskit's get_counts: clbit 0 rightmost,
        registers separated by a space (the first register rightmost), keys
        ascending. Empty when nothing was sampled."""
        # The first call hands out the dict it built: most callers ask once,
        # and copying a large dict costs a tenth of building it. Small dicts
        # are kept from the first call, large ones from the second; a kept
        # dict is only ever handed out as a copy.
        if self._counts is None:
            built = counts_dict(self._circuit, self._outcomes, self._tally, self.shots)
            self._counts = False if len(built) > 64 else dict(built)
            return built
        if self._counts is False:
            self._counts = counts_dict(self._circuit, self._outcomes, self._tally, self.shots)
        return dict(self._counts)

    def memory(self) -> np.ndarray:
        """Every shot's clbits in shot order, as Qiskit's BitArray holds them:
        uint8, shape (shots, ceil(num_clbits / 8)), bytes big-endian (the last
        byte holds clbits 0-7, clbit 0 its least significant bit). Needs
        ``run(..., memory=True)``."""
        if self._shots is None:
            raise ValueError("this run kept no per-shot outcomes: pass memory=True to vorn.run")
        num_clbits = self._circuit.num_clbits
        width = (num_clbits + 7) // 8
        out = np.zeros((len(self._shots), width), dtype=np.uint8)
        if len(self._shots) and self.shots:
            for clbit, qubit in _measure_map(self._circuit).items():
                bit = ((self._shots >> np.uint64(qubit)) & np.uint64(1)).astype(np.uint8)
                out[:, width - 1 - clbit // 8] |= bit << np.uint8(clbit % 8)
        return readonly(out)

    def get_memory(self) -> list[str]:
        """Every shot's outcome in shot order as a string keyed like
        :meth:`counts` (clbit 0 rightmost, registers separated by a space), as
        Qiskit's ``Result.get_memory()`` gives them. Needs
        ``run(..., memory=True)``."""
        if self._shots is None:
            raise ValueError("this run kept no per-shot outcomes: pass memory=True to vorn.run")
        columns = _key_columns(self._circuit)
        if not len(self._shots) or not self.shots:
            return []
        chars = _key_chars(columns, _measure_map(self._circuit), self._shots)
        width = len(columns)
        raw = chars.tobytes().decode("ascii")
        return [raw[i * width:(i + 1) * width] for i in range(len(chars))]

    def marginal_counts(self, clbits: Sequence[int]) -> dict[str, int]:
        """Counts over the given clbits only, as Qiskit's
        ``qiskit.result.marginal_counts(counts, clbits)``: the highest selected
        clbit leftmost, no register separators. A clbit named twice appears
        twice (``[0, 0]`` gives keys ``'00'`` and ``'11'``), except that
        naming every clbit gives the whole counts without separators, as
        Qiskit does.

        Args:
            clbits: clbit indices, at least one, each below num_clbits.

        Raises:
            ValueError: no clbit was named.
            IndexError: a clbit is out of range.
        """
        num_clbits = self._circuit.num_clbits
        named = [_clbit_index(c, num_clbits) for c in clbits]
        if not named:
            raise ValueError("marginal_counts needs at least one clbit")
        if set(named) == set(range(num_clbits)):
            named = list(range(num_clbits))
        if self.shots == 0 or len(self._outcomes) == 0:
            return {}
        chosen = sorted(set(named))
        keys = self._marginal(chosen)
        if len(named) == len(chosen):
            return keys
        # Repeated clbits: each key character as often as its clbit was named.
        position = {clbit: len(chosen) - 1 - i for i, clbit in enumerate(chosen)}
        order = [position[c] for c in sorted(named, reverse=True)]
        return {"".join(key[p] for p in order): count for key, count in keys.items()}

    def _marginal(self, chosen: list[int]) -> dict[str, int]:
        """Counts over the distinct ascending clbits ``chosen``."""
        measured = _measure_map(self._circuit)
        values = np.zeros(len(self._outcomes), dtype=np.uint64)
        for pos, clbit in enumerate(chosen):
            if clbit in measured:
                bit = (self._outcomes >> np.uint64(measured[clbit])) & np.uint64(1)
                values |= bit << np.uint64(pos)
        keys, inverse = np.unique(values, return_inverse=True)
        totals = np.zeros(len(keys), dtype=np.uint64)
        np.add.at(totals, inverse.reshape(-1), self._tally)
        width = len(chosen)
        return {format(int(k), f"0{width}b"): int(t) for k, t in zip(keys.tolist(), totals.tolist())}

    def statevector(self) -> np.ndarray:
        """The state before the measurements (complex128, read-only, qubit 0
        the least significant bit of the index)."""
        return self._full_state()

    def _full_state(self) -> np.ndarray:
        if self._widen is not None:
            self._state, self._widen = self._widen(self._state), None
        return self._state

    def probabilities(self) -> np.ndarray:
        """re*re + im*im of each amplitude (float64, read-only)."""
        if self._probabilities is None:
            self._probabilities = readonly(_ext.probabilities(self._full_state()))
        return self._probabilities

    def __repr__(self) -> str:
        return f"<vorn.Result num_qubits={self._state.size.bit_length() - 1} shots={self.shots}>"


def counts_dict(circuit: Circuit | Clbits, outcomes: np.ndarray, tally: np.ndarray, shots: int) -> dict[str, int]:
    if shots == 0 or circuit.num_clbits == 0:
        return {}
    columns = _key_columns(circuit)
    measured = _measure_map(circuit)
    if not measured:
        # Nothing measured: every clbit reads 0 on every shot.
        return {"".join(" " if c < 0 else "0" for c in columns): shots}
    width = len(columns)
    if circuit.num_clbits <= 64:
        # The dict is built in C++ from the tally (one string per distinct
        # key): each outcome's clbit value as one integer, keys ordering like
        # these values, outcomes that differ only in unmeasured qubits merged.
        return _ext.counts_dict(outcomes, tally, columns, sorted(measured.items()))
    else:
        # Too many clbits for one integer: the same with rows of characters.
        chars = _key_chars(columns, measured, outcomes)
        chars, inverse = np.unique(chars, axis=0, return_inverse=True)
        totals = np.zeros(len(chars), dtype=np.uint64)
        np.add.at(totals, inverse.reshape(-1), tally)
    raw = chars.tobytes().decode("ascii")
    return {raw[i * width:(i + 1) * width]: count for i, count in enumerate(totals.tolist())}


def _key_columns(circuit: Circuit | Clbits) -> list[int]:
    """The clbit at each position of a counts key, -1 for a separator:
    registers right to left in the order they were added, in each the
    highest clbit first; one space between registers."""
    columns: list[int] = []
    start = 0
    for reg in circuit._cregs:
        if reg.size:
            columns = list(range(start + reg.size - 1, start - 1, -1)) + ([-1] if columns else []) + columns
        start += reg.size
    return columns


def _key_chars(columns: list[int], measured: dict[int, int], outcomes: np.ndarray) -> np.ndarray:
    """One row of key characters (ASCII) per outcome."""
    chars = np.full((len(outcomes), len(columns)), ord("0"), dtype=np.uint8)
    for pos, clbit in enumerate(columns):
        if clbit < 0:
            chars[:, pos] = ord(" ")
        elif clbit in measured:
            chars[:, pos] += ((outcomes >> np.uint64(measured[clbit])) & np.uint64(1)).astype(np.uint8)
    return chars


def _clbit_index(value: Any, num_clbits: int) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"clbit must be an integer, not {type(value).__name__}")
    v = operator.index(value)
    if not 0 <= v < num_clbits:
        raise IndexError(f"clbit {v} out of range (num_clbits={num_clbits})")
    return v


class DynamicResult(Result):
    """A dynamic circuit's run: counts and memory as for any run; the state
    only of a one-shot run (each shot ends in a state of its own)."""

    __slots__ = ("_num_qubits",)

    def statevector(self) -> np.ndarray:
        """With ``shots=1``, that shot's final state: after its mid-circuit
        measurements, resets and conditioned gates, before its final
        measurements (read-only complex128). Refused (ValueError) for any
        other shot count: each shot ends in a state of its own."""
        if self.shots != 1:
            raise ValueError(f"statevector() of a run of a dynamic circuit needs shots=1 (each shot ends in a state "
                             f"of its own), this run had shots={self.shots}")
        return self._full_state()

    def probabilities(self) -> np.ndarray:
        """re*re + im*im of each amplitude of :meth:`statevector` (``shots=1`` only)."""
        self.statevector()
        return super().probabilities()

    def __repr__(self) -> str:
        return f"<vorn.Result num_qubits={self._num_qubits} shots={self.shots} dynamic>"


def clbit_values(circuit: Circuit) -> Clbits:
    """The result's reading of outcomes: the engine hands over clbit values
    (clbit c = bit c), so clbit c is 'measured from' bit c."""
    out = Clbits(circuit)
    out._data = [Instruction("measure", (c,), (), (c,)) for c in range(circuit.num_clbits)]
    return out


class NoisyResult(DynamicResult):
    """A noisy run: counts and memory as for any run; no state (every
    trajectory ends in a state of its own). ``distinct_paths`` is how many
    final states were simulated (distinct error and outcome patterns)."""

    __slots__ = ("distinct_paths",)

    def statevector(self) -> np.ndarray:
        """Refused: a noisy run's trajectories each end in a state of their own."""
        raise ValueError("a noisy run has no single state: each trajectory ends in a state of its own")

    def __repr__(self) -> str:
        return (f"<vorn.Result num_qubits={self._num_qubits} shots={self.shots} noisy "
                f"distinct_paths={self.distinct_paths}>")
