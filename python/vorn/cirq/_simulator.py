"""Cirq's simulator interfaces on vorn's engines.

Each call converts its Cirq circuit once (after Cirq's noise model, if any,
has made it noisy): sympy symbols become vorn parameters, so the points of a
sweep are rows of one ``vorn.run`` / ``vorn.expval`` call with ``params=``.
A circuit whose symbols vorn cannot keep (a non-affine angle, a symbolic
gate without a vorn angle) is resolved and converted point by point instead:
the same values, more time.

Measurement keys measured more than once get one register per measurement
(conditions read the latest, as in Cirq) and are stacked into Cirq's records
again. An inverted measurement is an X before and after a plain one, which
is exact.
"""

from __future__ import annotations

import itertools
import secrets
from collections.abc import Iterator, Sequence
from typing import Any

import cirq
import numpy as np

from .. import api
from ..execution.lowering import terminal_measures
from ..execution.request import DEFAULT_TRAJECTORIES, MAX_SEED, make_request, non_negative
from ..execution.sweeps import binding_seed
from ..interop.circuits import from_cirq
from ..interop.cirq_observables import pauli_sum_from_cirq
from ..interop.cirq_parameters import resolver_values
from ..interop.noise import from_cirq as noise_from_cirq
from ..interop.noise import is_cirq_channel
from ..model.circuit import Circuit
from ..model.pauli import PauliSum

__all__ = ["Simulator"]

_TERMINAL_MEASUREMENTS = ("Provided circuit has terminal measurements, which may skew expectation values. If this "
                          "is intentional, set permit_terminal_measurements=True.")


class Simulator(cirq.SimulatesSamples, cirq.SimulatesAmplitudes,
                cirq.SimulatesFinalState[cirq.StateVectorTrialResult], cirq.SimulatesExpectationValues):
    """A Cirq simulator on vorn: ``vorn.cirq.Simulator()`` where code has
    ``cirq.Simulator()``.

    Results are Cirq's types: ``run`` gives ``cirq.ResultDict`` (records of
    shape (repetitions, instances, qubits) per key, so ``histogram`` and
    ``multi_measurement_histogram`` work), ``simulate`` a
    ``cirq.StateVectorTrialResult`` (final state in Cirq's order for
    ``qubit_order``, measurements, qubit map), ``compute_amplitudes`` the
    amplitudes of big-endian bitstrings, ``simulate_expectation_values``
    the values of ``cirq.PauliSum`` / ``cirq.PauliString`` observables.

    Circuits may measure in the middle, reset and condition on measurement
    keys (``cirq.ClassicallyControlledOperation``): those run on vorn's
    dynamic engine, ``simulate`` giving one shot's final state as Cirq does.
    Noise (the simulator's ``noise`` model, or channels in the circuit: the
    depolarising, bit/phase flip, amplitude/phase damping and asymmetric
    depolarising channels) runs as vorn's quantum trajectories: ``run``
    draws every repetition as a trajectory, and ``simulate_expectation_values``
    gives the mean over ``trajectories`` trajectories (which tends to
    ``cirq.DensityMatrixSimulator``'s value); ``simulate`` and
    ``compute_amplitudes`` have no single state to give and refuse it.

    Args:
        seed: an integer from 0 to 2**64 - 1: call k of this simulator draws
            from ``vorn.binding_seed(seed, k)`` (point b of a sweep from
            ``binding_seed`` of that and b), so calls differ and the same
            seed repeats the same sequence; None: fresh entropy per call.
        precision: "double" (complex128 states) or "single" (complex64; see
            ``vorn.run``).
        fusion: merge gates before simulating (see ``vorn.run``).
        threads: at most this many threads of vorn's pool (None: all).
        noise: a ``cirq.NoiseModel`` or anything ``cirq.NoiseModel.
            from_noise_model_like`` takes (a channel such as
            ``cirq.depolarize(p)`` acts after every moment on every qubit),
            applied to each circuit as Cirq's simulators apply it.
        trajectories: trajectories per point for expectation values under
            noise (at least 2).
    """

    def __init__(self, seed: int | None = None, precision: str = "double", fusion: bool = False,
                 threads: int | None = None, noise: Any = None, *, trajectories: int = DEFAULT_TRAJECTORIES) -> None:
        if seed is not None and (isinstance(seed, bool) or not isinstance(seed, (int, np.integer))):
            raise TypeError(f"seed must be an integer from 0 to 2**64 - 1 or None, not {type(seed).__name__} "
                            "(vorn's random streams are keyed by an integer)")
        self._seed = None if seed is None else non_negative(seed, "seed", MAX_SEED)
        make_request(threads=threads, fusion=fusion, precision=precision, trajectories=trajectories)
        self._options = {"threads": threads, "fusion": fusion, "precision": precision}
        self._trajectories = int(trajectories)
        self._noise = _noise_model(noise)
        self._calls = itertools.count()

    @property
    def noise(self) -> cirq.NoiseModel | None:
        """The noise model applied to every circuit (None: noiseless)."""
        return self._noise

    def _call_seed(self) -> int:
        if self._seed is None:
            return secrets.randbits(64)
        return binding_seed(self._seed, next(self._calls))

    # ---- SimulatesSamples ------------------------------------------------------------

    def run_sweep(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                  repetitions: int = 1) -> list[cirq.Result]:
        """One ``cirq.ResultDict`` per point of ``params``, each of
        ``repetitions`` shots; the points run as one vorn sweep."""
        _check_circuit(program)
        if not program.has_measurements():
            raise ValueError("Circuit has no measurements to sample.")
        repetitions = non_negative(repetitions, "repetitions")
        resolvers = list(cirq.to_resolvers(params))
        seed = self._call_seed()
        if repetitions == 0:  # as Cirq records an empty run
            keys = [cirq.measurement_key_name(op)
                    for _, op, _ in program.findall_operations_with_gate_type(cirq.MeasurementGate)]
            return [cirq.ResultDict(params=r, records={k: np.empty([0, 1, 1]) for k in keys}) for r in resolvers]
        prepared = _Prepared(program, cirq.QubitOrder.DEFAULT, "run", self._noise, None)
        runs = prepared.each_point(resolvers, lambda circuit, model, values, seed_of: api.run(
            circuit, repetitions, seed_of, memory=True, noise=model, params=values, **self._options), seed)
        return [cirq.ResultDict(params=r, records=prepared.records(circuit, result))
                for r, (circuit, result) in zip(resolvers, runs)]

    def run_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                       repetitions: int = 1) -> Iterator[cirq.Result]:
        """:meth:`run_sweep`'s results one by one (computed together)."""
        return iter(self.run_sweep(program, params, repetitions))

    def _run(self, circuit: cirq.AbstractCircuit, param_resolver: cirq.ParamResolver,
             repetitions: int) -> dict[str, np.ndarray]:
        return dict(self.run_sweep(circuit, param_resolver, repetitions)[0].records)

    # ---- SimulatesFinalState -----------------------------------------------------------

    def simulate_sweep(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                       qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                       initial_state: Any = None) -> list[cirq.StateVectorTrialResult]:
        """One ``cirq.StateVectorTrialResult`` per point: the final state
        (Cirq's order for ``qubit_order``), the measurements of that one shot
        (a key's last measurement, as Cirq gives them) and the qubit map.

        ``initial_state``: None or an integer (a computational basis state,
        big-endian in ``qubit_order``)."""
        _check_circuit(program)
        resolvers = list(cirq.to_resolvers(params))
        prepared = _Prepared(program, qubit_order, "simulate", self._noise, initial_state)
        finals = prepared.final_states(resolvers, self._call_seed(), self._options)
        out = []
        for resolver, (state, measurements) in zip(resolvers, finals):
            sim_state = cirq.StateVectorSimulationState(qubits=prepared.qubits, initial_state=state,
                                                        dtype=state.dtype)
            out.append(cirq.StateVectorTrialResult(params=resolver, measurements=measurements,
                                                   final_simulator_state=sim_state))
        return out

    def simulate_sweep_iter(self, program: cirq.AbstractCircuit, params: cirq.Sweepable,
                            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT,
                            initial_state: Any = None) -> Iterator[cirq.StateVectorTrialResult]:
        """:meth:`simulate_sweep`'s results one by one (computed together)."""
        return iter(self.simulate_sweep(program, params, qubit_order, initial_state))

    # ---- SimulatesAmplitudes -------------------------------------------------------------

    def compute_amplitudes_sweep(self, program: cirq.AbstractCircuit, bitstrings: Sequence[int],
                                 params: cirq.Sweepable,
                                 qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT
                                 ) -> list[list[complex]]:
        """The final state's amplitudes of ``bitstrings`` (integers, the
        first qubit of ``qubit_order`` most significant), per point."""
        _check_circuit(program)
        resolvers = list(cirq.to_resolvers(params))
        prepared = _Prepared(program, qubit_order, "compute_amplitudes", self._noise, None)
        size = 1 << len(prepared.qubits)
        picked = []
        for b in bitstrings:
            if isinstance(b, bool) or not isinstance(b, (int, np.integer)) or not 0 <= b < size:
                raise ValueError(f"bitstring {b!r} is not an integer from 0 to {size - 1} (the circuit has "
                                 f"{len(prepared.qubits)} qubits)")
            picked.append(int(b))
        finals = prepared.final_states(resolvers, self._call_seed(), self._options)
        return [state[picked].tolist() for state, _ in finals]

    def compute_amplitudes_sweep_iter(self, program: cirq.AbstractCircuit, bitstrings: Sequence[int],
                                      params: cirq.Sweepable,
                                      qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT
                                      ) -> Iterator[list[complex]]:
        """:meth:`compute_amplitudes_sweep`'s lists one by one (computed together)."""
        return iter(self.compute_amplitudes_sweep(program, bitstrings, params, qubit_order))

    # ---- SimulatesExpectationValues ------------------------------------------------------

    def simulate_expectation_values_sweep(
            self, program: cirq.AbstractCircuit, observables: Any, params: cirq.Sweepable,
            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT, initial_state: Any = None,
            permit_terminal_measurements: bool = False) -> list[list[float]]:
        """<H> of each observable at the end of the circuit, per point.

        Exact for a circuit of gates and, for one that measures in the middle
        or conditions, over all its outcomes weighted by their probabilities
        (Cirq's state vector simulator gives one outcome's value, whose mean
        this is); under noise the mean over ``trajectories`` trajectories.
        Terminal measurements are refused unless
        ``permit_terminal_measurements``, as in Cirq; permitted, they
        collapse the state, so terms with X or Y on a measured qubit count 0
        (the mean over the outcomes, again)."""
        _check_circuit(program)
        if not permit_terminal_measurements and program.are_any_measurements_terminal():
            raise ValueError(_TERMINAL_MEASUREMENTS)
        resolvers = list(cirq.to_resolvers(params))
        prepared = _Prepared(program, qubit_order, "expval", self._noise, initial_state)
        listed = observables if isinstance(observables, list) else [observables]
        converted = [pauli_sum_from_cirq(h, prepared.index, len(prepared.qubits)) for h in listed]
        seed = self._call_seed()

        def evaluate(circuit: Circuit, model: Any, values: Any, seed_of: int) -> Any:
            hs = _dephased(converted, circuit, model is not None)
            if model is not None:
                return api.expval(circuit, hs, noise=model, trajectories=self._trajectories, seed=seed_of,
                                  params=values, **self._options)[0]
            try:
                return api.expval(circuit, hs, params=values, **self._options)
            except ValueError as exc:
                if "trajectories=" not in str(exc):
                    raise
                # past the exact walk's outcome patterns: sampled trajectories
                return api.expval(circuit, hs, trajectories=self._trajectories, seed=seed_of, params=values,
                                  **self._options)[0]

        rows = prepared.each_point(resolvers, evaluate, seed)
        return [[_number(v) for v in np.asarray(row).reshape(-1)] for _, row in rows]

    def simulate_expectation_values_sweep_iter(
            self, program: cirq.AbstractCircuit, observables: Any, params: cirq.Sweepable,
            qubit_order: cirq.QubitOrderOrList = cirq.QubitOrder.DEFAULT, initial_state: Any = None,
            permit_terminal_measurements: bool = False) -> Iterator[list[float]]:
        """:meth:`simulate_expectation_values_sweep`'s lists one by one (computed together)."""
        return iter(self.simulate_expectation_values_sweep(program, observables, params, qubit_order,
                                                           initial_state, permit_terminal_measurements))

    def __repr__(self) -> str:
        return (f"vorn.cirq.Simulator(seed={self._seed!r}, precision={self._options['precision']!r}, "
                f"fusion={self._options['fusion']!r}, threads={self._options['threads']!r}, noise={self._noise!r})")


# ---- one call's circuit -------------------------------------------------------------------


def _check_circuit(program: Any) -> None:
    if not isinstance(program, cirq.AbstractCircuit):
        raise TypeError(f"vorn.cirq.Simulator takes a cirq.Circuit, not {type(program).__name__}")


def _noise_model(noise: Any) -> cirq.NoiseModel | None:
    if noise is None:
        return None
    try:
        model = cirq.NoiseModel.from_noise_model_like(noise)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"noise must be a cirq.NoiseModel or a channel cirq.NoiseModel.from_noise_model_like "
                        f"takes, not {type(noise).__name__}: {exc}") from None
    return None if model is cirq.NO_NOISE else model


def _number(value: Any) -> Any:
    value = complex(value)
    return value.real if value.imag == 0 else value


class _Prepared:
    """A Cirq circuit as one call needs it: noise applied, measurement
    instances named apart, inverted measurements made plain, channels after
    a qubit's last measurement settled for the call's purpose, converted
    to vorn once (symbols kept) when it can be."""

    def __init__(self, program: cirq.AbstractCircuit, qubit_order: Any, purpose: str,
                 noise: cirq.NoiseModel | None, initial_state: Any) -> None:
        self.qubits = list(cirq.QubitOrder.as_qubit_order(qubit_order).order_for(program.all_qubits()))
        n = len(self.qubits)
        self.index = {q: n - 1 - i for i, q in enumerate(self.qubits)}
        circuit = program
        if any(isinstance(op.untagged, cirq.CircuitOperation) for op in circuit.all_operations()):
            circuit = cirq.unroll_circuit_op(circuit, deep=True, tags_to_check=None)
        if noise is not None:
            circuit = cirq.Circuit(noise.noisy_moments(circuit, sorted(circuit.all_qubits())))
        ops = list(circuit.all_operations())
        start = _basis_state(initial_state, self.qubits)
        ops, self.keys, renamed = _measurement_instances(ops)
        ops, settled = _settle_channels(ops, purpose)
        self.noisy = any(is_cirq_channel(op) for op in ops)
        if self.noisy and purpose not in ("run", "expval"):
            raise ValueError(f"{purpose} of a noisy circuit (a noise model or channels in it): vorn's "
                             "trajectories give samples (run) and mean expectation values "
                             "(simulate_expectation_values), no single final state; cirq.DensityMatrixSimulator "
                             "gives the mixed state")
        if start or renamed or settled:
            circuit = cirq.Circuit(cirq.Moment([op]) for op in start + ops)
        self.cirq_circuit = circuit
        self.circuit: Circuit | None
        self.model: Any
        try:
            self.circuit, self.model = self.convert(circuit)
        except (TypeError, NotImplementedError, ValueError):
            if not cirq.is_parameterized(circuit):
                raise
            self.circuit = self.model = None  # bound and converted point by point

    def convert(self, circuit: cirq.AbstractCircuit) -> tuple[Circuit, Any]:
        if self.noisy:
            return noise_from_cirq(circuit, self.qubits)
        return from_cirq(circuit, self.qubits), None

    def each_point(self, resolvers: list[Any], call: Any, seed: int) -> list[tuple[Circuit, Any]]:
        """[(circuit, call(...)) per point]: one sweep call ``call(circuit,
        model, values, seed)`` with a row per point when the circuit kept
        its symbols, else ``call(bound circuit, model, None,
        binding_seed(seed, b))`` point by point (the seeds a sweep's rows
        get, so both ways give the same draws)."""
        if self.circuit is not None and self.circuit.parameters:
            values = resolver_values([p.name for p in self.circuit.parameters], resolvers)
            out = call(self.circuit, self.model, values, seed)
            return list(zip([self.circuit] * len(resolvers), out))
        results = []
        for b, resolver in enumerate(resolvers):
            circuit, model = self.circuit, self.model
            if circuit is None:
                resolved = cirq.resolve_parameters(self.cirq_circuit, resolver)
                if cirq.is_parameterized(resolved):
                    names = ", ".join(sorted(str(p) for p in cirq.parameter_names(resolved)))
                    raise ValueError(f"the parameter resolver of point {b} leaves the symbols {names} unresolved")
                circuit, model = self.convert(resolved)
            results.append((circuit, call(circuit, model, None, binding_seed(seed, b))))
        return results

    def layout(self, circuit: Circuit) -> dict[str, tuple[int, int]]:
        """register name -> (first clbit, size)."""
        out, first = {}, 0
        for reg in circuit.cregs:
            out[reg.name] = (first, reg.size)
            first += reg.size
        return out

    def records(self, circuit: Circuit, result: Any) -> dict[str, np.ndarray]:
        """Cirq's records of a vorn result: key -> (shots, instances, qubits),
        each instance's bits in the order of its measured qubits."""
        bits = np.unpackbits(result.memory(), axis=1)  # column j holds clbit (width - 1 - j)
        width = bits.shape[1]
        layout = self.layout(circuit)
        out = {}
        for key, names in self.keys.items():
            sizes = {layout[name][1] for name in names}
            if len(sizes) > 1:
                raise ValueError(f"measurement key '{key}' is measured on different numbers of qubits "
                                 f"({sorted(sizes)}): Cirq's records of one key need one width")
            # a register's first measured qubit is its highest clbit, the leftmost column
            out[key] = np.stack([bits[:, width - first - size:width - first]
                                 for first, size in (layout[name] for name in names)], axis=1).astype(np.int8)
        return out

    def final_states(self, resolvers: list[Any], seed: int, options: dict[str, Any]
                     ) -> list[tuple[np.ndarray, dict[str, np.ndarray]]]:
        """(final state, measurements) per point: one shot's, its terminal
        measurements collapsing the state as Cirq's simulate does."""
        def simulate(circuit: Circuit, model: Any, values: Any, seed_of: int) -> Any:
            if not any(ins.name == "measure" for ins in _flat(circuit.data)):
                if values is None:
                    return api.statevector(circuit, **options)
                return [r.statevector() for r in api.run(circuit, 0, params=values, **options)]
            runs = api.run(circuit, 1, seed_of, memory=True, params=values, **options)
            return runs if values is not None else [runs]

        out = []
        for circuit, made in self.each_point(resolvers, simulate, seed):
            if isinstance(made, np.ndarray):
                out.append((made, {}))
                continue
            result = made[0] if isinstance(made, list) else made
            clbits = _shot_clbits(result.memory()[0])
            state = _collapse(result.statevector(), circuit, clbits)
            layout = self.layout(circuit)
            measurements = {}
            for key, names in self.keys.items():
                first, size = layout[names[-1]]
                measurements[key] = np.array([clbits[first + size - 1 - j] for j in range(size)], dtype=np.uint8)
            out.append((state, measurements))
        return out


def _flat(data: Sequence[Any]) -> Iterator[Any]:
    for ins in data:
        yield ins
        for body in (getattr(ins, "true_body", None), getattr(ins, "false_body", None)):
            if body:
                yield from _flat(body)


def _shot_clbits(row: np.ndarray) -> list[int]:
    """One shot's memory row (big-endian bytes, clbit 0 the last byte's lowest
    bit) as clbit values, clbit 0 first."""
    bits = np.unpackbits(row)[::-1]
    return [int(b) for b in bits]


def _collapse(state: np.ndarray, circuit: Circuit, clbits: list[int]) -> np.ndarray:
    """The state after the circuit's terminal measurements read ``clbits``:
    every amplitude they rule out set to 0, the rest renormalised."""
    data = list(circuit.data)
    _, terminal = terminal_measures(data)
    out = np.array(state)
    n = circuit.num_qubits
    view = out.reshape((2,) * n)  # axis a is index bit n - 1 - a, vorn qubit n - 1 - a
    collapsed = False
    for ins, last in zip(data, terminal):
        if last:
            where = [slice(None)] * n
            where[n - 1 - ins.qubits[0]] = 1 - clbits[ins.clbits[0]]
            view[tuple(where)] = 0
            collapsed = True
    if collapsed:
        out /= np.linalg.norm(out)
    return out


def _basis_state(initial_state: Any, qubits: list[Any]) -> list[Any]:
    """X operations that prepare the integer ``initial_state`` (big-endian in
    the qubit order) from |0...0>, exactly."""
    if initial_state is None:
        return []
    n = len(qubits)
    if isinstance(initial_state, bool) or not isinstance(initial_state, (int, np.integer)):
        raise TypeError(f"initial_state must be None or an integer (a computational basis state), not "
                        f"{type(initial_state).__name__}: vorn starts from a basis state")
    if not 0 <= initial_state < 1 << n:
        raise ValueError(f"initial_state {initial_state} is out of range for {n} qubits")
    return [cirq.X(q) for i, q in enumerate(qubits) if (int(initial_state) >> (n - 1 - i)) & 1]


def _measurement_instances(ops: list[Any]) -> tuple[list[Any], dict[str, list[str]], bool]:
    """(operations, key -> one register name per measurement of it, changed):
    a key's second and later measurements get names of their own, conditions
    on a key the name of its latest measurement (or the one its index
    picks), and an inverted measurement becomes X, plain measurement, X."""
    taken = {cirq.measurement_key_name(op) for op in ops if isinstance(op.gate, cirq.MeasurementGate)}
    names: dict[str, list[str]] = {}
    objects: dict[str, list[Any]] = {}
    out: list[Any] = []
    changed = False
    for op in ops:
        gate = op.gate
        if isinstance(gate, cirq.MeasurementGate):
            if getattr(gate, "confusion_map", None):
                raise NotImplementedError(f"measurement '{cirq.measurement_key_name(op)}' has a confusion_map, "
                                          "which vorn.cirq.Simulator does not take")
            key = cirq.measurement_key_obj(op)
            text = str(key)
            instances = names.setdefault(text, [])
            made = key
            if instances:
                made = _fresh(key, len(instances), taken)
            instances.append(str(made))
            objects.setdefault(text, []).append(made)
            flips = [q for q, m in zip(op.qubits, gate.full_invert_mask()) if m]
            if made is not key or flips:
                changed = True
                out.extend(cirq.X(q) for q in flips)
                out.append(cirq.measure(*op.qubits, key=made))
                out.extend(cirq.X(q) for q in flips)
                continue
        elif isinstance(op.untagged, cirq.ClassicallyControlledOperation):
            inner = op.untagged
            conditions = []
            moved = False
            for condition in inner.classical_controls:
                if isinstance(condition, cirq.KeyCondition) and str(condition.key) in objects:
                    made = objects[str(condition.key)]
                    i = len(made) + condition.index if condition.index < 0 else condition.index
                    if not 0 <= i < len(made):
                        raise ValueError(f"the condition {condition} reads measurement {condition.index} of key "
                                         f"'{condition.key}', which is measured {len(made)} times before it")
                    replaced = cirq.KeyCondition(made[i])
                    moved = moved or replaced != condition
                    conditions.append(replaced)
                else:
                    conditions.append(condition)
            if moved:
                changed = True
                out.append(inner.without_classical_controls().with_classical_controls(*conditions))
                continue
        out.append(op)
    return out, names, changed


def _fresh(key: Any, instance: int, taken: set[str]) -> Any:
    """A measurement key no measurement of the circuit uses, for the
    ``instance``-th measurement of ``key``."""
    name = f"{key.name}#{instance}"
    made = cirq.MeasurementKey(name=name, path=key.path)
    while str(made) in taken:
        name += "'"
        made = cirq.MeasurementKey(name=name, path=key.path)
    taken.add(str(made))
    return made


def _settle_channels(ops: list[Any], purpose: str) -> tuple[list[Any], bool]:
    """Channels that follow a qubit's last operation, a measurement: nothing
    reads them in a run (dropped); for expectation values they commute with
    the measurement's collapse (each is covariant with it: Pauli, depolarising,
    damping), so they act just before it. Else as they are."""
    if purpose not in ("run", "expval"):
        return ops, False
    last: dict[Any, int] = {}
    for i, op in enumerate(ops):
        if not is_cirq_channel(op):
            last.update((q, i) for q in op.qubits)
    before: dict[int, list[Any]] = {}
    dropped: set[int] = set()
    for i, op in enumerate(ops):
        if not is_cirq_channel(op):
            continue
        ends = [last.get(q, -1) for q in op.qubits]
        if not all(0 <= e < i and cirq.is_measurement(ops[e]) for e in ends):
            continue
        if purpose == "run":
            dropped.add(i)
        elif len(op.qubits) == 1:
            before.setdefault(ends[0], []).append(op)
            dropped.add(i)
    if not dropped:
        return ops, False
    out = []
    for i, op in enumerate(ops):
        out.extend(before.get(i, ()))
        if i not in dropped:
            out.append(op)
    return out, True


def _dephased(observables: list[PauliSum], circuit: Circuit, noisy: bool) -> list[PauliSum]:
    """Each observable without its terms that have X or Y on a qubit a
    terminal measurement collapses (their value is 0 over the outcomes)."""
    data = list(circuit.data)
    _, terminal = terminal_measures(data, noisy)
    mask = 0
    for ins, last in zip(data, terminal):
        if last:
            mask |= 1 << ins.qubits[0]
    if not mask:
        return observables
    out = []
    for h in observables:
        keep = (h.x_masks & np.uint64(mask)) == 0
        out.append(PauliSum.from_masks(h.x_masks[keep], h.z_masks[keep], h.coeffs[keep], h.num_qubits))
    return out
