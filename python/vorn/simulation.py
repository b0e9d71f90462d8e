"""Running a circuit: one compiled program, one simulation, then sampling.

When every measurement comes after the gates on its qubit, a run simulates
once, draws whole-register outcomes from the final state with the seed's
random stream (as vorn_python does, so the same seed gives the same
outcomes), and maps each measured qubit to its clbit. Circuits that measure
in the middle, reset or condition run by branching (vorn._branching).

A run takes everything it needs from the circuit when it starts: the gates,
the measurements and the registers. The circuit stays usable meanwhile (a
progress callback or another thread may change it), and such changes reach
the next run, never the running one or its result.
"""

from __future__ import annotations

import operator
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from . import _ext
from . import parameters as _parameters
from .circuit import _NON_GATES, Circuit

__all__ = ["Result", "required_memory", "run", "statevector"]

_MAX_SEED = 2**64 - 1
_MAX_SHOTS = 2**64 - 1  # the engine counts shots in 64 bits
DEFAULT_SHOTS = 1024


def _as_circuit(circuit: Any) -> Any:
    """A Qiskit or Cirq circuit converted to vorn's (anything else as it is);
    neither toolkit is imported for the check."""
    from .interop import as_vorn_circuit

    return as_vorn_circuit(circuit)


def _compile(circuit: Circuit, samples: bool, instructions: Sequence[Any] | None = None,
             single: bool = False) -> _ext.Program:
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if circuit.num_qubits == 0:
        raise ValueError("a circuit with no qubits cannot be run")
    if circuit.num_qubits > _ext.MAX_QUBITS:
        # Checked here too: a count past 64 bits could not even reach the engine.
        bytes_log2 = circuit.num_qubits + (3 if single else 4)  # complex64 or complex128 amplitudes
        raise MemoryError(f"a state of {circuit.num_qubits} qubits needs 2^{bytes_log2} bytes")
    flat = _flatten(circuit, instructions)
    try:
        return _ext.compile_program(*flat, samples)
    except TypeError:
        _parameters.require_bound(circuit)  # a symbolic angle: name the parameters
        raise


def _flatten(circuit: Circuit, instructions: Sequence[Any] | None = None) -> tuple[Any, ...]:
    """compile_program's arguments before ``samples``: flat lists, so that the
    whole circuit crosses into the engine in one call (angles may still be
    parameter expressions, for vorn's sweeps to replace)."""
    names: list[str] = []
    arity: list[int] = []
    qubits: list[int] = []
    params: list[Any] = []  # floats, or parameter expressions for vorn.gradients to replace
    matrices: list[np.ndarray] = []
    for ins in circuit._data if instructions is None else instructions:
        if ins.name in _NON_GATES:
            continue
        names.append(ins.name)
        arity.append(len(ins.qubits))
        qubits.extend(ins.qubits)
        params.extend(ins.params)
        if ins.matrix is not None:
            matrices.append(ins.matrix)
    return circuit.num_qubits, names, arity, qubits, params, matrices, circuit.global_phase


def _measure_map(circuit: Circuit | _Clbits) -> dict[int, int]:
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


def _threads(value: Any) -> int:
    """0 (the whole pool) for None, else a count from 1 to the pool's size."""
    if value is None:
        return 0
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"threads must be an integer or None, not {type(value).__name__}")
    v = operator.index(value)
    pool = _ext.pool_threads()
    if not 1 <= v <= pool:
        raise ValueError(f"threads must be between 1 and the pool's size {pool} (RAYON_NUM_THREADS), got {v}")
    return v


def _readonly(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


class _Clbits:
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

    __slots__ = ("_state", "_probabilities", "_counts", "_circuit", "_outcomes", "_tally", "_shots", "shots")

    def __init__(self, state: np.ndarray, circuit: _Clbits, outcomes: np.ndarray, tally: np.ndarray,
                 shot_outcomes: np.ndarray | None, shots: int) -> None:
        self._state = _readonly(state)
        self._probabilities: np.ndarray | None = None
        self._counts: dict[str, int] | bool | None = None  # None: never asked; False: asked once
        # Outcomes stay a tally of whole-register indices until counts are asked for.
        self._circuit = circuit
        self._outcomes = outcomes
        self._tally = tally
        self._shots = shot_outcomes
        self.shots = shots

    def counts(self) -> dict[str, int]:
        """Outcome -> count, keys as Qiskit's get_counts: clbit 0 rightmost,
        registers separated by a space (the first register rightmost), keys
        ascending. Empty when nothing was sampled."""
        # The first call hands out the dict it built: most callers ask once,
        # and copying a large dict costs a tenth of building it. Small dicts
        # are kept from the first call, large ones from the second; a kept
        # dict is only ever handed out as a copy.
        if self._counts is None:
            built = _counts(self._circuit, self._outcomes, self._tally, self.shots)
            self._counts = False if len(built) > 64 else dict(built)
            return built
        if self._counts is False:
            self._counts = _counts(self._circuit, self._outcomes, self._tally, self.shots)
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
        return _readonly(out)

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
        return self._state

    def probabilities(self) -> np.ndarray:
        """re*re + im*im of each amplitude (float64, read-only)."""
        if self._probabilities is None:
            self._probabilities = _readonly(_ext.probabilities(self._state))
        return self._probabilities

    def __repr__(self) -> str:
        return f"<vorn.Result num_qubits={self._state.size.bit_length() - 1} shots={self.shots}>"


def _counts(circuit: Circuit | _Clbits, outcomes: np.ndarray, tally: np.ndarray, shots: int) -> dict[str, int]:
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


def _key_columns(circuit: Circuit | _Clbits) -> list[int]:
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


Progress = Callable[[int, int], object]


class _Watch:
    """What the calling thread does while a run simulates (polled every 50 ms
    with the gates done and the total): the deadline and the progress report.
    An exception raised here (TimeoutError, or the callback's own) cancels
    the run and propagates."""

    _REPORT_EVERY = 0.1  # seconds: at most ten reports a second

    def __init__(self, timeout: float | None, progress: bool | Progress | None, unit: str = "gate",
                 deadline: float | None = None) -> None:
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
            if not timeout > 0 or timeout != timeout or timeout == float("inf"):
                raise ValueError(f"timeout must be a positive, finite number of seconds, got {timeout!r}")
        self._timeout = timeout
        # An evaluation after a simulation keeps the deadline the call started with.
        if deadline is None and timeout is not None:
            deadline = time.monotonic() + timeout
        self._deadline = deadline
        self._report: Progress | None = None
        self._close: Callable[[], None] | None = None
        self._what = "run" if unit == "gate" else "evaluation"
        if progress is True:
            self._report, self._close = _progress_bar(unit)
        elif callable(progress):
            self._report = progress
        elif progress not in (None, False):
            raise TypeError(f"progress must be True, False, None or a callable, not {type(progress).__name__}")
        self._last = 0.0
        self._seen = 0

    @property
    def deadline(self) -> float | None:
        return self._deadline

    def poll(self) -> Callable[[int, int], None] | None:
        if self._deadline is None and self._report is None:
            return None
        return self._poll

    def _poll(self, done: int, total: int) -> None:
        self._seen = total
        now = time.monotonic()
        if self._deadline is not None and now >= self._deadline:
            raise TimeoutError(f"the {self._what} did not finish within its timeout of {self._timeout} s")
        if self._report is not None and now - self._last >= self._REPORT_EVERY:
            self._last = now
            self._report(done, total)

    def finish(self, total: int | None = None) -> None:
        """The last report: everything done (the total the last poll saw when
        ``total`` is None)."""
        if self._report is not None:
            if total is None:
                total = self._seen
            self._report(total, total)

    def close(self) -> None:
        if self._close is not None:
            self._close()


_PLURAL = {"gate": "gates", "leaf": "leaves", "trajectory": "trajectories"}


def _progress_bar(unit: str) -> tuple[Progress, Callable[[], None]]:
    """A tqdm bar on stderr when tqdm is installed, else a one-line counter."""
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    if tqdm is not None:
        bars: list[Any] = []  # made at the first report, when the total is known

        def update(done: int, total: int) -> None:
            if not bars:
                bars.append(tqdm(total=total, unit=unit, desc="vorn", file=sys.stderr, leave=False))
            bars[0].n = done
            bars[0].refresh()

        def close() -> None:
            if bars:
                bars[0].close()

        return update, close

    def line(done: int, total: int) -> None:
        sys.stderr.write(f"\rvorn: {done}/{total} {_PLURAL.get(unit, unit)}")
        sys.stderr.flush()

    def end() -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()

    return line, end


def _fusion(value: Any) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"fusion must be True or False, not {type(value).__name__}")
    return value


def _precision(value: Any) -> bool:
    """True for "single", False for "double"; anything else is refused."""
    if not isinstance(value, str):
        raise TypeError(f"precision must be 'single' or 'double', not {type(value).__name__}")
    if value not in ("single", "double"):
        raise ValueError(f"precision must be 'single' or 'double', not {value!r}")
    return value == "single"


def _single_only_plain(single: bool, what: str) -> None:
    if single:
        raise ValueError(f"precision='single' is not available for {what}; use precision='double'")


def _execute(program: _ext.Program, seed: int | None, shots: int, watch: _Watch, threads: int, *,
             keep_shots: bool = False, require_finite: bool = False, fusion: bool = False, single: bool = False
             ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    runner = _ext.run_program_single if single else _ext.run_program
    try:
        out = runner(program, seed, shots, keep_shots, require_finite, watch.poll(), threads, fusion)
        watch.finish(len(program))
        return out
    finally:
        watch.close()


def run(circuit: Circuit, shots: int = DEFAULT_SHOTS, seed: int | None = None, *, memory: bool = False,
        timeout: float | None = None, progress: bool | Progress | None = None, threads: int | None = None,
        fusion: bool = False, params: Any = None, noise: Any = None, precision: str = "double"
        ) -> Result | list[Result]:
    """Simulates ``circuit`` once and draws ``shots`` measurement outcomes from
    the final state, as Qiskit's samplers do with the measurements at the end.

    A circuit that measures in the middle, resets or conditions on clbits
    (``if_test``) runs every shot as Qiskit Aer does, by branching: at each
    measurement the shots split between the outcomes (one binomial draw) and
    the state is copied only when both get shots. Its result gives counts,
    memory and marginal counts as any run; its ``statevector()`` only with
    ``shots=1``. The same seed gives the same counts and memory.

    The interpreter lock is released while the run simulates; Ctrl-C ends it
    promptly (KeyboardInterrupt). Everything the result needs (gates,
    measurements, registers) is taken from ``circuit`` when the run starts:
    changes made meanwhile (by ``progress`` or another thread) reach later
    runs only.

    Args:
        circuit: the vorn.Circuit to run (a Qiskit ``QuantumCircuit`` or a Cirq
            circuit is converted first, as :func:`vorn.from_qiskit` /
            :func:`vorn.from_cirq` do).
        shots: how many outcomes to draw (0 to 2**64 - 1; default 1024). With
            no measurement in the circuit nothing is drawn and every clbit
            reads 0.
        seed: an integer from 0 to 2**64 - 1 keys the random stream, so the
            same seed gives the same outcomes (as vorn_python's run); None
            draws the key from the system's entropy.
        memory: keep every shot's outcome in shot order, for
            :meth:`Result.memory` (8 bytes a shot, counted by
            :func:`required_memory` and the run's memory check).
        timeout: seconds after which the run ends with TimeoutError (None:
            no limit).
        progress: True shows a bar on stderr (tqdm when installed); a callable
            receives (gates done, gates total) on this thread at most ten
            times a second, and an exception it raises ends the run.
        threads: at most this many threads of the pool work on the run, from
            1 to the pool's size (RAYON_NUM_THREADS, else the processors);
            None for all. Results are bit-identical whatever it is.
        params: for a circuit with parameters, values of shape (bindings,
            num_parameters), columns in ``circuit.parameters`` order: the
            circuit is compiled once and run once per row, row b seeded with
            ``vorn.binding_seed(seed, b)`` (so it equals running the bound
            circuit alone with that seed); a 1-D array is one binding.
        fusion: merge gates into dense gates on up to three qubits (diagonal
            gates into one diagonal of any width) before simulating: faster
            where gates pile up on few qubits, but amplitudes then differ from
            the exact default path by rounding (still the same bits on any
            thread count). Default False: the exact path.
        noise: a :class:`vorn.noise.NoiseModel`: every shot runs as one
            quantum trajectory (see :mod:`vorn.noise`); the result has counts
            and memory but no state, and ``distinct_paths``, the number of
            final states simulated. Not with ``params`` or ``fusion``;
            ``progress`` then counts trajectories finished.
        precision: "double" (default: complex128 state) or "single": a
            complex64 state in half the memory (one more qubit in the same
            RAM), gates in float arithmetic (matrices rounded to float),
            probabilities and sampling sums formed in double; amplitudes
            carry float rounding (within 1e-5 of double on the tests' and
            benchmark circuits), still the same bits on any thread count and
            instruction set. Not available with
            ``params`` or ``noise``, or for circuits that measure in the middle, reset or
            condition (ValueError).

    Returns:
        A :class:`Result`; with a 2-D ``params``, a list of one per row.

    Raises:
        MemoryError: the run needs more memory than the machine (or the
            process's limits) allow; refused before the first gate.
        ValueError: the final state's probabilities are not all finite (a
            NaN or infinite angle upstream), or an argument is out of range.

    Example:
        >>> c = vorn.Circuit(2, 2); c.h(0); c.cx(0, 1); c.measure([0, 1], [0, 1])
        >>> vorn.run(c, shots=100, seed=1).counts()  # doctest: +SKIP
        {'00': 52, '11': 48}
    """
    circuit = _as_circuit(circuit)
    single = _precision(precision)
    if noise is not None and (params is not None or fusion is not False):
        raise ValueError("noise= cannot be combined with params= or fusion=True")
    if noise is not None:
        _single_only_plain(single, "noise models (noise=)")
    if params is not None:
        _single_only_plain(single, "parameter sweeps (params=)")
        from .sweeps import sweep_run

        return sweep_run(circuit, shots, seed, params, memory=memory, timeout=timeout, progress=progress,
                         threads=threads)
    fusion = _fusion(fusion)
    shots = _non_negative(shots, "shots", _MAX_SHOTS)
    if seed is not None:
        seed = _non_negative(seed, "seed", _MAX_SEED)
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    threads = _threads(threads)
    watch = _Watch(timeout, progress)
    from . import _branching

    if noise is not None:
        from . import noise as _noise

        return _noise._run(circuit, shots, seed, noise, bool(memory), watch, threads)
    if _branching.is_dynamic(circuit):
        _single_only_plain(single, "circuits that measure in the middle, reset or condition")
        return _branching.run(circuit, shots, seed, bool(memory), watch, threads)
    # Taken now: what the circuit says later must not reach this result.
    clbits = _Clbits(circuit)
    samples = shots >= 1 and bool(clbits._data)
    program = _compile(circuit, samples, single=single)
    keep = bool(memory)
    state, outcomes, tally, shot_outcomes = _execute(program, seed, shots, watch, threads, keep_shots=keep,
                                                     require_finite=True, fusion=fusion, single=single)
    return Result(state, clbits, outcomes, tally, shot_outcomes if keep else None, shots)


def statevector(circuit: Circuit, *, timeout: float | None = None, progress: bool | Progress | None = None,
                threads: int | None = None, fusion: bool = False, precision: str = "double") -> np.ndarray:
    """The state after every gate of ``circuit`` (measurements are ignored),
    as Qiskit's ``Statevector(circuit)`` with the global phase. A circuit
    that measures in the middle, resets or conditions has no one state
    (ValueError): ``run(circuit, shots=1).statevector()`` gives one shot's.

    Args:
        circuit: the vorn.Circuit to simulate (or a Qiskit or Cirq circuit,
            converted first as for :func:`run`).
        timeout: seconds after which the simulation ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (gates
            done, gates total), as for :func:`run`.
        threads: at most this many threads of the pool (1 to its size; None
            for all); the state is bit-identical whatever it is.
        fusion: merge gates into dense ones first, as for :func:`run`
            (rounding-level differences from the exact default).
        precision: "double" (default) or "single", as for :func:`run`.

    Returns:
        A read-only complex128 array (complex64 with precision="single") of
        2**num_qubits amplitudes, qubit 0 the least significant bit of the
        index.
    """
    circuit = _as_circuit(circuit)
    from . import _branching

    if isinstance(circuit, Circuit) and _branching.is_dynamic(circuit):
        raise ValueError("a circuit that measures in the middle, resets or conditions has no single final state: "
                         "run(circuit, shots=1).statevector() gives one shot's")
    fusion = _fusion(fusion)
    single = _precision(precision)
    return _statevector(circuit, _Watch(timeout, progress), _threads(threads), fusion, single)


def _statevector(circuit: Circuit, watch: _Watch, threads: int, fusion: bool = False,
                 single: bool = False) -> np.ndarray:
    program = _compile(circuit, False, single=single)
    state, _, _, _ = _execute(program, 0, 0, watch, threads, fusion=fusion, single=single)
    return _readonly(state)


def required_memory(circuit: Circuit, shots: int = DEFAULT_SHOTS, *, memory: bool = False, params: Any = None,
                    observables: int | None = None, gradient: bool = False, precision: str = "double") -> int:
    """Bytes a run of ``circuit`` with ``shots`` allocates at its peak: the
    state, the gather buffers of blocked runs, the sampler and, with
    ``memory=True``, every shot's outcome. For a circuit that measures in
    the middle, resets or conditions, also every branch state the run can
    hold at once (one per measurement on a shot's way, at most shots - 1);
    where less memory is free, the run keeps fewer and recomputes the others
    from the start (the same results, more time), so it checks up front
    only for one state and the buffers. The figure the run's own memory
    check compares with what the machine and the process's limits allow.

    Args:
        circuit: the vorn.Circuit to be run.
        shots: as for :func:`run` (default 1024, run's default).
        memory: as for :func:`run`.
        params: the values of a sweep (as for :func:`run`): the figure of
            ``run(..., params=params)``, or with ``observables`` (a count) of
            ``expval(..., params=params)``.
        observables: how many observables an expval sweep or a gradient takes.
        gradient: the figure of :func:`vorn.value_and_grad` /
            :func:`vorn.jacobian` with ``params`` and ``observables``: two
            states plus one per observable, per binding running at once.
        precision: "double" (default) or "single": the figure of a run with
            that precision (a complex64 state is half the bytes).

    Returns:
        The number of bytes.
    """
    shots = _non_negative(shots, "shots", _MAX_SHOTS)
    single = _precision(precision)
    if params is not None:
        _single_only_plain(single, "parameter sweeps (params=)")
        from .sweeps import required_memory as sweep_memory

        return sweep_memory(circuit, params, shots, memory=memory, observables=observables, gradient=gradient)
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    from . import _branching

    if _branching.is_dynamic(circuit):
        _single_only_plain(single, "circuits that measure in the middle, reset or condition")
        return _branching.required_memory(circuit, shots, bool(memory))
    samples = shots >= 1 and any(ins.name == "measure" for ins in circuit._data)
    return _compile(circuit, samples, single=single).required_memory(shots, bool(memory), single)
