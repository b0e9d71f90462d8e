"""Running dynamic circuits: those that measure in the middle, reset, or
condition on classical bits.

A circuit is dynamic when it has a ``reset`` or an ``if_else``, or a
measurement that something acts on afterwards (a gate or reset on its qubit,
a condition reading its clbit, a dynamic measurement writing it). Other
circuits keep the simulate-once run. A dynamic circuit is flattened into the
engine's steps: runs of gates, measurements, resets and forward jumps for
the conditions; its measurements that nothing acts on afterwards are drawn
from each branch's final state, as the simulate-once run draws them.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np

from . import _ext
from ._control import IfElse
from .circuit import Circuit, ClassicalRegister, Instruction, _control
from .simulation import Result, _Clbits, _compile, _readonly, _Watch

GATES_STEP, MEASURE, RESET, JUMP_UNLESS, JUMP, CHANNEL = range(6)
MAX_CLBITS = 64


def terminal_measures(data: list[Any]) -> tuple[bool, list[bool]]:
    """(dynamic, terminal): terminal[i] when data[i] is a measurement
    nothing acts on afterwards (it can be drawn at the end of the shot)."""
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
                continue
            written.add(c)
            dynamic = True
        elif name in ("reset", "if_else"):
            dynamic = True
            read.update(ins.clbits)
            written.update(ins.clbits)
        busy.update(ins.qubits)
    return dynamic, terminal


def is_dynamic(circuit: Circuit) -> bool:
    return terminal_measures(circuit._data)[0]


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


def flatten(circuit: Circuit, channels: ChannelSites | None = None) -> tuple[list[Instruction], list[int], list[int]]:
    """(gates in step order, steps as five integers each, final (qubit, clbit)
    pairs flat); with ``channels``, noise channel steps around the instructions."""
    if circuit.num_clbits > MAX_CLBITS:
        raise ValueError(f"a circuit that measures in the middle, resets or conditions has {circuit.num_clbits} "
                         f"clbits; at most {MAX_CLBITS} are supported")
    _, terminal = terminal_measures(circuit._data)
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
        return self._state

    def probabilities(self) -> np.ndarray:
        """re*re + im*im of each amplitude of :meth:`statevector` (``shots=1`` only)."""
        self.statevector()
        return super().probabilities()

    def __repr__(self) -> str:
        return f"<vorn.Result num_qubits={self._num_qubits} shots={self.shots} dynamic>"


def _clbit_values(circuit: Circuit) -> _Clbits:
    """The result's reading of outcomes: the engine hands over clbit values
    (clbit c = bit c), so clbit c is 'measured from' bit c."""
    out = _Clbits(circuit)
    out._data = [Instruction("measure", (c,), (), (c,)) for c in range(circuit.num_clbits)]
    return out


def _arguments(circuit: Circuit) -> tuple[_ext.Program, list[int], list[int]]:
    gates, steps, finals = flatten(circuit)
    return _compile(circuit, False, gates), steps, finals


def run(circuit: Circuit, shots: int, seed: int | None, memory: bool, watch: _Watch, threads: int,
        max_live_states: int = 0) -> DynamicResult:
    """The branching run (arguments checked by vorn.run)."""
    clbits = _clbit_values(circuit)
    program, steps, finals = _arguments(circuit)
    try:
        state, values, counts, shot_values = _ext.run_dynamic(
            program, steps, finals, circuit.num_clbits, seed, shots, memory, shots == 1, watch.poll(), threads,
            max_live_states)
        watch.finish()
    finally:
        watch.close()
    result = DynamicResult(_readonly(state), clbits, values, counts, shot_values if memory else None, shots)
    result._num_qubits = circuit.num_qubits
    return result


def required_memory(circuit: Circuit, shots: int, memory: bool) -> int:
    program, steps, finals = _arguments(circuit)
    return _ext.dynamic_required_memory(program, steps, finals, circuit.num_clbits, shots, memory)
