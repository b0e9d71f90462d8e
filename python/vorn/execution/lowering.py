"""The one lowering of a circuit into what the engines take: the compiled
gate program, the dynamic steps, the noise channels, parameter slots and
observable arrays. Every engine gets its arrays from here, so a circuit
means the same thing on every path.

A circuit is dynamic when it has a ``reset`` or an ``if_else``, or a
measurement that something acts on afterwards (a gate or reset on its qubit,
a condition reading its clbit, a dynamic measurement writing it; under
noise also a later measurement of its qubit, whose errors act in between).
Other circuits keep the simulate-once run. A dynamic circuit is flattened
into the engine's steps: runs of gates, measurements, resets and forward
jumps for the conditions; its measurements that nothing acts on afterwards
are drawn from each branch's final state, as the simulate-once run draws
them.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np

from .. import _ext
from ..model import instructions as _control
from ..model import parameters as _parameters
from ..model.circuit import _NON_GATES, GATES, Circuit
from ..model.instructions import ClassicalRegister, IfElse, Instruction
from ..model.noise_model import NoiseModel, QuantumError
from ..model.parameters import ParameterExpression
from ..model.pauli import PauliSum

__all__ = ["Lowered", "compile_parametric", "compile_program", "is_dynamic", "lower", "native_observables",
           "observable_arrays"]

_STEP = _ext.STEP_KINDS
GATES_STEP, MEASURE, RESET = _STEP["gates"], _STEP["measure"], _STEP["reset"]
JUMP_UNLESS, JUMP, CHANNEL = _STEP["jump_unless"], _STEP["jump"], _STEP["channel"]
MAX_CLBITS = 64
_GLOBAL_PHASE_SLOT = 2**64 - 1  # the engine's slot gate index of the global phase


# ---- the gates ------------------------------------------------------------------------


def check_register(circuit: Any, single: bool = False) -> None:
    """A circuit the engines can take: a vorn.Circuit of 1 to MAX_QUBITS qubits."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if circuit.num_qubits == 0:
        raise ValueError("a circuit with no qubits cannot be run")
    if circuit.num_qubits > _ext.MAX_QUBITS:
        # Checked here too: a count past 64 bits could not even reach the engine.
        bytes_log2 = circuit.num_qubits + (3 if single else 4)  # complex64 or complex128 amplitudes
        raise MemoryError(f"a state of {circuit.num_qubits} qubits needs 2^{bytes_log2} bytes")


def gate_lists(circuit: Circuit, instructions: Sequence[Any] | None = None) -> tuple[Any, ...]:
    """compile_program's arguments before ``samples``: flat lists, so that the
    whole circuit crosses into the engine in one call (angles may still be
    parameter expressions, for the sweeps to replace)."""
    names: list[str] = []
    arity: list[int] = []
    qubits: list[int] = []
    params: list[Any] = []
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


def compile_program(circuit: Circuit, samples: bool, instructions: Sequence[Any] | None = None,
                    single: bool = False) -> _ext.Program:
    """The engine's program of the circuit's gates (or of ``instructions``)."""
    check_register(circuit, single)
    try:
        return _ext.compile_program(*gate_lists(circuit, instructions), samples)
    except TypeError:
        _parameters.require_bound(circuit)  # a symbolic angle: name the parameters
        raise


def compile_parametric(circuit: Circuit, samples: bool,
                       instructions: Sequence[Any] | None = None) -> tuple[_ext.ParametricProgram, list[Any]]:
    """The circuit's program with every symbolic angle as a slot (an affine
    expression of the parameters), and the parameters in column order."""
    check_register(circuit)
    _, names, arity, qubits, params, matrices, _ = gate_lists(circuit, instructions)
    order = _parameters.circuit_parameters(circuit)
    column = {p: i for i, p in enumerate(order)}
    slot_gate: list[int] = []
    slot_index: list[int] = []
    offsets = [0]
    term_param: list[int] = []
    term_coeff: list[float] = []
    constants: list[float] = []
    has_constant: list[bool] = []

    def slot(gate: int, index: int, expr: ParameterExpression) -> None:
        slot_gate.append(gate)
        slot_index.append(index)
        for p, c in expr.terms:
            term_param.append(column[p])
            term_coeff.append(c)
        offsets.append(len(term_param))
        constants.append(expr.constant)
        has_constant.append(expr.constant != 0.0)

    position = 0
    for g, name in enumerate(names):
        count = GATES[name]["num_params"] if name in GATES else 0
        for j in range(count):
            value = params[position + j]
            if type(value) is not float and isinstance(value, ParameterExpression):
                slot(g, j, value)
                params[position + j] = 0.0  # a placeholder: every binding rebuilds the gate
        position += count
    phase = circuit.global_phase
    if isinstance(phase, ParameterExpression):
        slot(_GLOBAL_PHASE_SLOT, 0, phase)
        phase = 0.0
    program = _ext.compile_parametric(circuit.num_qubits, names, arity, qubits, params, matrices, phase, samples,
                                      len(order), slot_gate, slot_index, offsets, term_param, term_coeff, constants,
                                      has_constant)
    return program, order


# ---- dynamic steps --------------------------------------------------------------------


def terminal_measures(data: list[Any], noisy: bool = False) -> tuple[bool, list[bool]]:
    """(dynamic, terminal): terminal[i] when data[i] is a measurement
    nothing acts on afterwards (it can be drawn at the end of the shot).
    With ``noisy``, a later measurement of the same qubit acts on it too:
    the errors placed on that measurement act between the two."""
    terminal = [False] * len(data)
    names = [ins.name for ins in data]
    if "reset" not in names and "if_else" not in names:
        if "measure" not in names:
            return False, terminal
        first = names.index("measure")
    else:
        first = 0
    busy: set[int] = set()     # qubits something acts on later
    read: set[int] = set()     # clbits a later condition reads
    written: set[int] = set()  # clbits a later non-terminal measurement writes
    dynamic = False
    for i in range(len(data) - 1, first - 1, -1):
        ins = data[i]
        name = names[i]
        if name == "barrier":
            continue
        if name == "measure":
            q, c = ins.qubits[0], ins.clbits[0]
            if q not in busy and c not in read and c not in written:
                terminal[i] = True
                if noisy:
                    busy.add(q)
                continue
            written.add(c)
            dynamic = True
        elif name in ("reset", "if_else"):
            dynamic = True
            read.update(ins.clbits)
            written.update(ins.clbits)
        busy.update(ins.qubits)
    return dynamic, terminal


def is_dynamic(circuit: Circuit, noisy: bool = False) -> bool:
    """True when the circuit needs the dynamic engine (see the module's text)."""
    return terminal_measures(circuit._data, noisy)[0]


def _condition_bits(circuit: Circuit, condition: tuple[Any, int]) -> tuple[int, int]:
    """(mask, value) over the shot's clbit value."""
    where, value = condition
    clbits = _control.condition_clbits(circuit, condition)
    if isinstance(where, ClassicalRegister):
        mask = sum(1 << c for c in clbits)
        return mask, (value << clbits[0]) if clbits else 0
    return 1 << where, value << where


# (instruction, its index at the top level or -1 inside a block) -> noise
# channels (their indices) before it and after it.
ChannelSites = Callable[[Any, int], tuple[list[int], list[int]]]


def dynamic_steps(circuit: Circuit, channels: ChannelSites | None = None
                  ) -> tuple[list[Instruction], list[int], list[int]]:
    """(gates in step order, steps as five integers each, final (qubit, clbit)
    pairs flat); with ``channels``, noise channel steps around the instructions."""
    if circuit.num_clbits > MAX_CLBITS:
        raise ValueError(f"a circuit that measures in the middle, resets or conditions has {circuit.num_clbits} "
                         f"clbits; at most {MAX_CLBITS} are supported")
    _, terminal = terminal_measures(circuit._data, channels is not None)
    gates: list[Instruction] = []
    steps: list[list[int]] = []
    finals: list[int] = []
    open_run = [-1]  # the step a next gate may join (-1: none)

    def step(*words: int) -> int:
        steps.append([*words, 0, 0, 0, 0][:5])
        open_run[0] = -1
        return len(steps) - 1

    def emit(body: Any, top: bool) -> None:
        for i, ins in enumerate(body):
            name = ins.name
            if name == "barrier":
                continue
            before, after = channels(ins, i if top else -1) if channels is not None else ((), ())
            for channel in before:
                step(CHANNEL, channel)
            if name == "measure":
                if top and terminal[i]:
                    finals.extend((ins.qubits[0], ins.clbits[0]))
                else:
                    step(MEASURE, ins.qubits[0], ins.clbits[0])
            elif name == "reset":
                step(RESET, ins.qubits[0])
            elif isinstance(ins, IfElse):
                mask, value = _condition_bits(circuit, ins.condition)
                test = step(JUMP_UNLESS, 0, 0, mask, value)
                emit(ins.true_body, False)
                if ins.false_body:
                    skip = step(JUMP)
                    steps[test][1] = len(steps)
                    emit(ins.false_body, False)
                    steps[skip][1] = len(steps)
                else:
                    steps[test][1] = len(steps)
                open_run[0] = -1  # the jumps land after the block: a new run starts there
            else:
                gates.append(ins)
                if open_run[0] >= 0:
                    steps[open_run[0]][2] = len(gates)
                else:
                    step(GATES_STEP, len(gates) - 1, len(gates))
                    open_run[0] = len(steps) - 1
            for channel in after:
                step(CHANNEL, channel)

    emit(circuit._data, True)
    return gates, [w for s in steps for w in s], finals


# ---- noise ----------------------------------------------------------------------------


class _Channels:
    """The channels of one run, each (error, qubits) once, as the engine's arrays."""

    def __init__(self) -> None:
        self.index: dict[tuple[int, tuple[int, ...]], int] = {}
        self.errors: list[tuple[QuantumError, tuple[int, ...]]] = []

    def add(self, error: QuantumError, qubits: tuple[int, ...]) -> int:
        key = (id(error), qubits)
        if key not in self.index:
            self.index[key] = len(self.errors)
            self.errors.append((error, qubits))
        return self.index[key]

    def arrays(self, model: NoiseModel, num_qubits: int) -> tuple[Any, ...]:
        kinds, qubit_counts, qubits, op_counts, probabilities = [], [], [], [], []
        matrices = []
        for error, where in self.errors:
            kinds.append(error._kind)
            qubit_counts.append(len(where))
            qubits.extend(where)
            op_counts.append(len(error.operators))
            matrices.extend(k.reshape(-1) for k in error.operators)
            probabilities.extend(error.probabilities or [0.0] * len(error.operators))
        flat = np.ascontiguousarray(np.concatenate(matrices) if matrices else np.zeros(0, dtype=np.complex128))
        readout_qubits, readout_probabilities = [], []
        for q in range(num_qubits):
            r = model._readout_of(q)
            if r is not None:
                readout_qubits.append(q)
                readout_probabilities.extend(r.probabilities.reshape(-1).tolist())
        return (kinds, qubit_counts, qubits, op_counts, flat, probabilities, readout_qubits, readout_probabilities)


NO_NOISE: tuple[Any, ...] = ([], [], [], [], np.zeros(0, dtype=np.complex128), [], [], [])


def _noisy_steps(circuit: Circuit, model: NoiseModel) -> tuple[list[Instruction], list[int], list[int], tuple]:
    """(gates, steps, finals, noise arrays) of a circuit under a model."""
    channels = _Channels()

    def sites(ins: Any, index: int) -> tuple[list[int], list[int]]:
        placed = [channels.add(e, q) for e, q in model._inline.get(index, ())] if index >= 0 else []
        if ins.name in ("if_else", "barrier"):
            return placed, []
        own = [channels.add(e, tuple(ins.qubits)) for e in model._errors_on(ins.name, tuple(ins.qubits))]
        return (placed + own, []) if ins.name == "measure" else (placed, own)

    gates, steps, finals = dynamic_steps(circuit, sites)
    for error, where in model._inline.get(len(circuit._data), ()):
        steps.extend((CHANNEL, channels.add(error, where), 0, 0, 0))
    for error, where in channels.errors:
        if max(where) >= circuit.num_qubits:
            raise ValueError(f"the noise model places an error on qubits {where} but the circuit has "
                             f"{circuit.num_qubits}")
    return gates, steps, finals, channels.arrays(model, circuit.num_qubits)


# ---- the whole lowering -------------------------------------------------------------


class Lowered(NamedTuple):
    """A circuit as the engines take it.

    ``kind`` is "plain" (simulate once, sample the final state), "dynamic"
    (steps) or "noisy" (steps with channels). ``program`` is a Program, or a
    ParametricProgram with ``order`` its parameter columns when the circuit
    has parameters and was lowered for a sweep. ``measures`` are the
    measurements a plain run maps outcomes through.
    """

    kind: str
    program: Any
    steps: list[int]
    finals: list[int]
    noise: tuple[Any, ...]
    order: list[Any]
    gates: list[Instruction]


def lower(circuit: Circuit, *, samples: bool = True, noise: NoiseModel | None = None, parametric: bool = False,
          single: bool = False) -> Lowered:
    """The circuit as the engines take it (see :class:`Lowered`).

    Args:
        circuit: the vorn.Circuit.
        samples: a plain program keeps its measurements for sampling.
        noise: a noise model: channel steps around the instructions.
        parametric: compile symbolic angles as slots (a sweep).
        single: the register's size is checked for complex64 amplitudes.
    """
    check_register(circuit, single)
    if noise is not None:
        gates, steps, finals, arrays = _noisy_steps(circuit, noise)
        kind = "noisy"
    elif is_dynamic(circuit):
        gates, steps, finals = dynamic_steps(circuit)
        arrays, kind = NO_NOISE, "dynamic"
    else:
        gates, steps, finals, arrays, kind = [], [], [], NO_NOISE, "plain"
    instructions = None if kind == "plain" else gates
    plain_samples = kind == "plain" and samples and any(ins.name == "measure" for ins in circuit._data)
    if parametric:
        program, order = compile_parametric(circuit, plain_samples, instructions)
    else:
        program, order = compile_program(circuit, plain_samples, instructions, single), []
    return Lowered(kind, program, steps, finals, arrays, order, gates)


def observable_arrays(observables: list[PauliSum], n: int,
                      what: str = "the state") -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Every observable's terms concatenated (x masks, z masks, coefficients)
    and where each observable's terms start (offsets, one more than observables)."""
    for i, h in enumerate(observables):
        if h.num_qubits != n:
            raise ValueError(f"observable {i} acts on {h.num_qubits} qubits but {what} has {n}")
    empty_masks = np.zeros(0, dtype=np.uint64)
    x = np.concatenate([h.x_masks for h in observables] or [empty_masks])
    z = np.concatenate([h.z_masks for h in observables] or [empty_masks])
    coeffs = np.concatenate([h.coeffs for h in observables] or [np.zeros(0, dtype=np.complex128)])
    offsets = np.zeros(len(observables) + 1, dtype=np.uint64)
    np.cumsum([len(h) for h in observables], out=offsets[1:])
    return x, z, coeffs, offsets


def native_observables(observables: list[PauliSum], n: int, what: str = "the state") -> Any:
    """The observables as the engine measures them (``_ext.PauliSums``), checked as
    :func:`observable_arrays` checks them; ``.hermitian`` says whether every
    coefficient is real."""
    return _ext.PauliSums(*observable_arrays(observables, n, what))


def is_real(coeffs: np.ndarray) -> bool:
    """No coefficient has a non-zero imaginary part (NaN + 0j counts as real)."""
    return not np.any(coeffs.imag != 0)
