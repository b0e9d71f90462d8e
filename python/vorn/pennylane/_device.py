"""The ``vorn.qubit`` PennyLane device: PennyLane tapes run on vorn's engine.

PennyLane (qml.execute, QNodes) calls the device with preprocessed tapes:
operations outside vorn's gate table are decomposed by PennyLane first,
mid-circuit measurements kept for vorn's dynamic engine or deferred,
parameter broadcasts expanded. Each tape
then simulates once; Pauli observables (words, sums, products, Hamiltonians)
are evaluated by vorn as PauliSums on the final state, other measurements by
PennyLane's own reductions of that state or of vorn's samples. Tapes of one
structure go through vorn's batched ``params=`` path, and derivatives
(``diff_method="adjoint"`` or ``"device"``) through vorn's adjoint gradient.
"""

from __future__ import annotations

import itertools
from dataclasses import replace
from typing import Any

import numpy as np
import pennylane as qml
from pennylane.devices import Device, ExecutionConfig
from pennylane.devices.modifiers import simulator_tracking, single_tape_support
from pennylane.devices.qubit import measure as _measure_state
from pennylane.devices.preprocess import (decompose, no_sampling, validate_adjoint_trainable_params,
                                          validate_device_wires, validate_measurements, validate_observables)
from pennylane.exceptions import DeviceError
from pennylane.measurements import (ExpectationMP, MidMeasureMP, ProbabilityMP, SampleMeasurement, StateMeasurement,
                                    VarianceMP)
from pennylane.transforms import broadcast_expand, defer_measurements, split_non_commuting, split_to_single_terms
from pennylane.transforms.core import CompilePipeline, transform
from pennylane.transforms.dynamic_one_shot import gather_mcm

from ..api import expval as _expval
from ..api import run as _run
from ..api import statevector as _statevector
from ..execution.gradients import gradients as _gradients
from ..execution.request import make_request
from ..execution.sweeps import binding_seed
from ._convert import SUPPORTED, adjoint_sum, describe, differentiable, pauli_sum, supports, supports_dynamic, to_circuit

_ADJOINT_METHODS = ("adjoint", "device")
# Both run vorn's dynamic engine, which branches at each measurement and
# splits the shots binomially: the tree traversal, with every shot's outcomes.
_DYNAMIC_METHODS = ("tree-traversal", "one-shot")
_MCM_METHODS = ("deferred", *_DYNAMIC_METHODS)


def _has_mcms(tape: Any) -> bool:
    return any(isinstance(op, MidMeasureMP) for op in tape.operations)


def _requires_grad(op: Any) -> bool:
    return any(qml.math.requires_grad(d) for d in op.data)


def _adjoint_operation(op: Any) -> bool:
    """Kept by the adjoint pass as it is: a supported operation whose
    trainable parameters (if any) are gate angles."""
    return supports(op) and (differentiable(op) or not _requires_grad(op))


def _pauli_observable(obs: Any) -> bool:
    rep = obs.pauli_rep
    # Coefficients may be an ML framework's traced values (trainable ones): their numbers are what counts.
    return rep is not None and all(np.imag(c) == 0.0 for c in qml.math.unwrap(list(rep.values())))


def _adjoint_refusal(obs: Any) -> str | None:
    """Why vorn's adjoint pass cannot differentiate ``obs`` (None: it can).
    Trainable coefficients are checked term by term, as the chain rule
    leaves them to the ML framework."""
    try:
        for term in obs.terms()[1] if _requires_grad(obs) else [obs]:
            adjoint_sum(term, term.wires)
    except ValueError as e:
        return str(e)
    except qml.exceptions.TermsUndefinedError:
        return f"{describe(obs)} has trainable parameters that are not coefficients of Pauli or matrix terms"
    return None


@transform
def _adjoint_observables(tape: Any, name: str) -> tuple[Any, Any]:
    """Observables the adjoint pass takes: Pauli words, sums and products,
    and matrix observables it expands into Pauli words; any other is refused
    saying which and why."""
    for m in tape.measurements:
        if m.obs is not None:
            reason = _adjoint_refusal(m.obs)
            if reason is not None:
                raise DeviceError(f"{name} cannot differentiate the expectation value of {describe(m.obs)}: {reason}")
    return (tape,), lambda results: results[0]


def _trainable_coefficients(mp: Any) -> bool:
    return isinstance(mp, ExpectationMP) and mp.obs is not None and _requires_grad(mp.obs)


@transform
def _coefficients_to_chain_rule(tape: Any) -> tuple[Any, Any]:
    """An expectation value whose observable has trainable coefficients is
    measured term by term, and the terms are summed with the coefficients
    in the post-processing, which the ML framework differentiates: the
    coefficient derivative is the term's value, and vorn's adjoint pass
    differentiates each term's value in the angles."""
    if not any(_trainable_coefficients(m) for m in tape.measurements):
        return (tape,), lambda results: results[0]
    return split_to_single_terms(tape)


def _accepts_analytic(mp: Any) -> bool:
    return isinstance(mp, StateMeasurement)


def _accepts_sampled(mp: Any) -> bool:
    return isinstance(mp, SampleMeasurement) and (mp.obs is None or mp.obs.has_diagonalizing_gates
                                                  or mp.obs.pauli_rep is not None)


def _accepts_observable(obs: Any) -> bool:
    return obs.pauli_rep is not None or obs.has_matrix or obs.has_diagonalizing_gates


@transform
def _split_when_sampled(tape: Any) -> tuple[Any, Any]:
    """Measurements that do not commute qubit-wise go to separate tapes when
    the tape samples (one basis change per run); exact tapes keep them
    together, since vorn evaluates any Pauli sum on the one final state."""
    if tape.shots:
        return split_non_commuting(tape)
    return (tape,), lambda results: results[0]


@transform
def _expectation_values_only(tape: Any, name: str) -> tuple[Any, Any]:
    """The adjoint pass differentiates expectation values; snapshots, which
    change nothing, are let through whatever they record."""
    for m in tape.measurements:
        if not isinstance(m, ExpectationMP):
            raise DeviceError(f"Measurement {m} not accepted for analytic simulation on {name}.")
    return (tape,), lambda results: results[0]


def _angles(tape: Any, positions: list[int]) -> np.ndarray:
    """The tape's operation parameters at ``positions`` (angles), as float64."""
    params = tape.get_parameters(trainable_only=False, operations_only=True)
    return np.array([np.real(params[p]) for p in positions], dtype=np.float64)


def _unwrap_one(values: tuple[Any, ...]) -> Any:
    return values[0] if len(values) == 1 else values


def _sweep_key(tape: Any, wire_order: Any) -> tuple[Any, ...] | None:
    """What tapes must share to run as one vorn sweep: their operations
    (names, wires, and the data of those that are not gate angles, such as
    matrices) and their Pauli observables; only angles differ. None for a
    tape that samples or measures anything else."""
    if tape.shots or _has_mcms(tape) or not tape.measurements or not all(
            type(m) is ExpectationMP and m.obs is not None and _pauli_observable(m.obs) for m in tape.measurements):
        return None
    ops = tuple((op.name, tuple(op.wires), None if differentiable(op) else
                 tuple(np.asarray(d).tobytes() for d in op.data)) for op in tape.operations)
    observables = tuple(tuple(m.obs.pauli_rep.items()) for m in tape.measurements)
    return (tuple(wire_order), ops, observables)


@simulator_tracking
@single_tape_support
class VornQubit(Device):
    """PennyLane's ``qml.device("vorn.qubit", wires=..., seed=...)``: an exact
    state-vector simulator (vorn) behind PennyLane's device interface.

    Args:
        wires: the number of wires or their labels (None: the wires of each
            circuit, in the circuit's order).
        shots: default shots (None: exact expectation values and
            probabilities); PennyLane prefers ``qml.set_shots`` on the QNode.
        seed: an integer (0 to 2**63 - 1) or a NumPy Generator seeding the
            samples; None draws from the system's entropy. The same seed
            gives the same samples; an integer keys vorn's ChaCha12 stream
            (sampling run k of the device uses ``vorn.binding_seed(seed, k)``),
            so its samples do not depend on the NumPy release.
        threads: at most this many threads of vorn's pool per simulation
            (None: all); results are bit-identical whatever it is.
        precision: "double" (complex128 states, the default) or "single"
            (complex64 states: half the memory, about 1e-7 relative error).
        fusion: merge gates into dense gates before simulating (see
            ``vorn.run``); False by default.
    """

    _device_options = ("threads", "precision", "fusion")

    @property
    def name(self) -> str:
        """The device's name, as ``qml.device`` takes it."""
        return "vorn.qubit"

    def __init__(self, wires: Any = None, shots: Any = None, seed: Any = None, threads: int | None = None,
                 precision: str = "double", fusion: bool = False) -> None:
        super().__init__(wires=wires, shots=shots)
        # Checked now, as vorn's entry points check them, rather than at the first run.
        make_request(shots=0, threads=threads, precision=precision, fusion=fusion)
        if isinstance(seed, bool) or not (seed is None or isinstance(seed, (int, np.integer, np.random.Generator))):
            raise TypeError(f"seed must be an integer, a numpy.random.Generator or None, not {type(seed).__name__}")
        if isinstance(seed, (int, np.integer)) and not 0 <= seed < 2**63:
            raise ValueError(f"seed must be between 0 and 2**63 - 1, got {seed}")
        # An integer seed keys vorn's ChaCha12 stream: run k of the device
        # samples with binding_seed(seed, k), the same on any NumPy release.
        # A Generator (PennyLane's other form) or no seed draws from NumPy.
        self._key = int(seed) if isinstance(seed, (int, np.integer)) else None
        self._runs = 0
        self._rng = seed if isinstance(seed, np.random.Generator) else None
        self._options = {"threads": threads, "precision": precision, "fusion": fusion}

    def _next_seed(self) -> int:
        if self._key is None:
            if self._rng is None:
                self._rng = np.random.default_rng()
            return int(self._rng.integers(0, 2**63))
        self._runs += 1
        return binding_seed(self._key, self._runs - 1)

    # ---- configuration ----------------------------------------------------------------

    def supports_derivatives(self, execution_config: ExecutionConfig | None = None, circuit: Any = None) -> bool:
        """Whether vorn's adjoint pass computes the derivatives: methods
        "adjoint", "device" (and "best"), exact expectation values of Pauli
        and matrix observables (see :func:`vorn.pennylane._convert.adjoint_sum`).

        Args:
            execution_config: the configuration (None: any method).
            circuit: the tape to be differentiated (None: any).
        """
        if execution_config is not None and execution_config.gradient_method not in (*_ADJOINT_METHODS, "best"):
            return False
        if circuit is None:
            return True
        mcm = None if execution_config is None else execution_config.mcm_config.mcm_method
        if (mcm or self._default_mcm_method(circuit)) in _DYNAMIC_METHODS:
            return False  # left in the tape for the dynamic engine, which has no adjoint pass
        # Asked for by name, an observable it cannot take is refused in preprocessing,
        # saying which and why; "best" falls back to PennyLane's methods instead.
        named = execution_config is not None and execution_config.gradient_method in _ADJOINT_METHODS
        return not circuit.shots and all(isinstance(m, ExpectationMP) and m.obs is not None
                                         and (named or _adjoint_refusal(m.obs) is None)
                                         for m in circuit.measurements)

    def supports_vjp(self, execution_config: ExecutionConfig | None = None, circuit: Any = None) -> bool:
        """Vector-Jacobian products where derivatives are supported (one adjoint
        pass with the cotangent-weighted observable).

        Args:
            execution_config: the configuration.
            circuit: the tape (None: any).
        """
        return self.supports_derivatives(execution_config, circuit)

    def setup_execution_config(self, config: ExecutionConfig | None = None, circuit: Any = None) -> ExecutionConfig:
        """PennyLane's configuration completed for vorn: "best" means the
        adjoint method, which computes on execution; mid-circuit measurements
        run on vorn's dynamic engine with shots or when deferring them needs
        more wires than the device has, else are deferred.

        Args:
            config: the configuration PennyLane made from the QNode's arguments.
            circuit: the tape it is for.
        """
        config = config or ExecutionConfig()
        updated: dict[str, Any] = {}
        method = config.gradient_method
        if method == "best":
            method = updated["gradient_method"] = "adjoint"
        if method in _ADJOINT_METHODS:
            if config.use_device_gradient is None:
                updated["use_device_gradient"] = True
            if config.use_device_jacobian_product is None:
                updated["use_device_jacobian_product"] = True
            if config.grad_on_execution is None:
                updated["grad_on_execution"] = True
        for option in config.device_options:
            if option not in self._device_options:
                raise DeviceError(f"device option {option} not present on {self}")
        options = {**self._options, **config.device_options}
        make_request(shots=0, **options)
        updated["device_options"] = options
        mcm = config.mcm_config.mcm_method
        if mcm not in (None, *_MCM_METHODS):
            raise DeviceError(f"mcm_method {mcm!r} is not supported on vorn.qubit; it offers "
                              f"{', '.join(map(repr, _MCM_METHODS))}")
        if mcm in _DYNAMIC_METHODS and config.mcm_config.postselect_mode not in (None, "hw-like"):
            raise DeviceError(f"postselect_mode {config.mcm_config.postselect_mode!r} is not supported with "
                              f"mcm_method {mcm!r} on vorn.qubit: shots whose outcome differs from the "
                              "postselected one are discarded (postselect_mode='hw-like')")
        updated["mcm_config"] = replace(config.mcm_config, mcm_method=mcm or self._default_mcm_method(circuit))
        return replace(config, **updated)

    def _default_mcm_method(self, circuit: Any) -> str:
        """With shots, the dynamic engine (one branching run rather than a
        wider state); without, deferral (its unitary circuit has adjoint
        derivatives) unless the device lacks the wires deferral adds."""
        if circuit is None or not _has_mcms(circuit):
            return "deferred"
        if circuit.shots:
            return "tree-traversal"
        mcms = sum(isinstance(op, MidMeasureMP) for op in circuit.operations)
        short = self.wires is not None and len(circuit.wires) + mcms > len(self.wires)
        return "tree-traversal" if short else "deferred"

    def preprocess_transforms(self, execution_config: ExecutionConfig | None = None) -> CompilePipeline:
        """Deferred mid-circuit measurements, decomposition to vorn's gates,
        validation, splitting of sampled non-commuting measurements, expanded
        broadcasts; with the adjoint method also its own checks.

        Args:
            execution_config: the configuration (see :meth:`setup_execution_config`).
        """
        config = execution_config or ExecutionConfig()
        program = CompilePipeline()
        if config.mcm_config.mcm_method in _DYNAMIC_METHODS:
            # Mid-circuit measurements, resets and conditions stay in the tape for vorn's dynamic engine.
            program.add_transform(decompose, stopping_condition=supports_dynamic, skip_initial_state_prep=False,
                                  device_wires=self.wires, target_gates=SUPPORTED, name=self.name)
        else:
            program.add_transform(defer_measurements, allow_postselect=False)
            program.add_transform(decompose, stopping_condition=supports, skip_initial_state_prep=False,
                                  device_wires=self.wires, target_gates=SUPPORTED, name=self.name)
        program.add_transform(validate_device_wires, self.wires, name=self.name)
        program.add_transform(validate_measurements, analytic_measurements=_accepts_analytic,
                              sample_measurements=_accepts_sampled, name=self.name)
        program.add_transform(validate_observables, stopping_condition=_accepts_observable, name=self.name)
        program.add_transform(_split_when_sampled)
        program.add_transform(broadcast_expand)
        if config.gradient_method in _ADJOINT_METHODS:
            name = f"adjoint + {self.name}"
            program.add_transform(no_sampling, name=name)
            program.add_transform(_coefficients_to_chain_rule)
            program.add_transform(decompose, stopping_condition=_adjoint_operation, skip_initial_state_prep=False,
                                  device_wires=self.wires, name=name)
            program.add_transform(_adjoint_observables, name=name)
            program.add_transform(_expectation_values_only, name=name)
            program.add_transform(validate_adjoint_trainable_params)
        return program

    # ---- execution -----------------------------------------------------------------------

    def _wire_order(self, tape: Any) -> Any:
        return self.wires if self.wires is not None else tape.wires

    def _options_of(self, config: ExecutionConfig | None) -> dict[str, Any]:
        """threads=, precision= and fusion= for vorn's entry points: the
        device's, overridden by the configuration's device options."""
        if config is None:
            return dict(self._options)
        return {**self._options, **{k: v for k, v in config.device_options.items() if k in self._options}}

    def execute(self, circuits: Any, execution_config: ExecutionConfig | None = None) -> Any:
        """Runs each tape; tapes that differ only in angles and measure
        expectation values of Pauli observables run as one vorn sweep.

        Args:
            circuits: a batch of tapes (or one tape).
            execution_config: the configuration.

        Returns:
            One result per tape, in PennyLane's result structure.
        """
        options = self._options_of(execution_config)
        results: list[Any] = [None] * len(circuits)
        groups: dict[Any, list[int]] = {}
        for i, tape in enumerate(circuits):
            key = _sweep_key(tape, self._wire_order(tape))
            if key is None:
                results[i] = self._simulate(tape, options)
            else:
                groups.setdefault(key, []).append(i)
        for members in groups.values():
            tapes = [circuits[i] for i in members]
            for i, result in zip(members, self._sweep(tapes, options)):
                results[i] = result
        return tuple(results)

    def _sweep(self, tapes: list[Any], options: dict[str, Any]) -> list[Any]:
        """Expectation values of tapes of one structure: one vorn program,
        one binding per tape."""
        first = tapes[0]
        wire_order = self._wire_order(first)
        if len(tapes) == 1 or not wire_order:
            return [self._simulate(tape, options) for tape in tapes]
        converted = to_circuit(first.operations, wire_order, lambda position, op: True)
        sums = [pauli_sum(m.obs, wire_order) for m in first.measurements]
        if not converted.positions:
            values = np.broadcast_to(_expval(converted.circuit, sums, **options), (len(tapes), len(sums)))
        else:
            angles = np.array([_angles(tape, converted.positions) for tape in tapes])
            values = _expval(converted.circuit, sums, params=angles, **options)
        return [_unwrap_one(tuple(np.float64(v) for v in row)) for row in values]

    def _simulate(self, tape: Any, options: dict[str, Any]) -> Any:
        wire_order = self._wire_order(tape)
        if _has_mcms(tape):
            return self._dynamic(tape, wire_order, options)
        if tape.shots:
            return self._sample(tape, wire_order, options)
        if len(wire_order) == 0:
            state = np.ones(1, dtype=np.complex128)
        else:
            # A single-precision state is measured in double (its values are what it holds).
            state = np.asarray(_statevector(to_circuit(tape.operations, wire_order).circuit, **options),
                               dtype=np.complex128)
        return _unwrap_one(self._measure_state(tape.measurements, state, wire_order, options))

    @staticmethod
    def _measure_state(measurements: Any, state: np.ndarray, wire_order: Any, options: dict[str, Any]
                       ) -> tuple[Any, ...]:
        """Every measurement of a tape on its final state: Pauli expectation
        values and variances by vorn (one call), the rest by PennyLane's own
        reduction of the state."""
        out: list[Any] = [None] * len(measurements)
        paulis: list[tuple[int, Any]] = []
        if state.size >= 2:
            for i, m in enumerate(measurements):
                if type(m) in (ExpectationMP, VarianceMP) and m.obs is not None:
                    h = pauli_sum(m.obs, wire_order)
                    if h is not None:
                        paulis.append((i, h))
        if paulis:
            variance = any(type(measurements[i]) is VarianceMP for i, _ in paulis)
            evaluated = _expval(state, [h for _, h in paulis], variance=variance, threads=options["threads"])
            values, variances = evaluated if variance else (evaluated, None)
            for k, (i, _) in enumerate(paulis):
                out[i] = np.float64(variances[k] if type(measurements[i]) is VarianceMP else values[k])
        # PennyLane's own measure (diagonalizing gates or the matrix applied
        # to the state) on the device's wires numbered 0..n-1, as it expects.
        standard = {w: i for i, w in enumerate(wire_order)}
        tensor = state.reshape((2,) * len(wire_order))
        for i, m in enumerate(measurements):
            if out[i] is None:
                out[i] = _measure_state(m.map_wires(standard), tensor)
        return tuple(out)

    def _sample(self, tape: Any, wire_order: Any, options: dict[str, Any]) -> Any:
        """Samples in the measured observables' eigenbasis (one vorn run of
        every shot), reduced by PennyLane per shot-vector entry."""
        n = len(wire_order)
        total = tape.shots.total_shots
        if n == 0:
            samples = np.zeros((total, 0), dtype=np.int64)
        else:
            rotations = [op if supports(op) else qml.QubitUnitary(op.matrix(), op.wires)
                         for op in tape.diagonalizing_gates]
            circuit = to_circuit([*tape.operations, *rotations], wire_order).circuit
            circuit.measure_all()
            seed = self._next_seed()
            memory = _run(circuit, shots=total, seed=seed, memory=True, **options).memory()
            # Clbit i holds qubit i, wire n - 1 - i: the last n bits of a row are the wires in order.
            samples = np.unpackbits(memory, axis=1)[:, -n:].astype(np.int64)
        per_copy = tuple(_unwrap_one(tuple(m.process_samples(samples[lo:hi], wire_order) for m in tape.measurements))
                         for lo, hi in tape.shots.bins())
        return per_copy if tape.shots.has_partitioned_shots else per_copy[0]

    def _dynamic(self, tape: Any, wire_order: Any, options: dict[str, Any]) -> Any:
        """A tape with mid-circuit measurements on vorn's dynamic engine: with
        shots one branching run draws every shot's mid-circuit outcomes and
        final bits; exact expectation values of Pauli observables from
        vorn.expval, exact over the outcomes."""
        n = len(wire_order)
        if not tape.shots:
            return self._dynamic_exact(tape, wire_order, options)
        rotations = [op if supports(op) else qml.QubitUnitary(op.matrix(), op.wires) for op in tape.diagonalizing_gates]
        converted = to_circuit([*tape.operations, *rotations], wire_order, extra_clbits=n)
        k = len(converted.mcms)
        if k + n > 64:
            raise DeviceError(f"vorn.qubit runs at most 64 measured bits per shot; this tape has {k} mid-circuit "
                              f"measurements and {n} wires")
        circuit = converted.circuit
        for q in range(n):
            circuit.measure(q, k + q)
        memory = _run(circuit, shots=tape.shots.total_shots, seed=self._next_seed(), memory=True,
                      **options).memory()
        bits = np.unpackbits(memory, axis=1)[:, ::-1].astype(np.int64)  # column j: clbit j
        # Wire i is qubit n - 1 - i, measured into clbit k + n - 1 - i.
        samples = bits[:, k:k + n][:, ::-1]
        valid = np.ones(len(bits), dtype=bool)
        for j, m in enumerate(converted.mcms):
            if m.postselect is not None:
                valid &= bits[:, j] == m.postselect
        outcomes = {m: bits[:, j:j + 1] for j, m in enumerate(converted.mcms)}  # columns, as PennyLane gathers
        mode = "hw-like"
        per_copy = []
        for lo, hi in tape.shots.bins():
            out = []
            for mp in tape.measurements:
                if mp.mv is not None:
                    measured = mp.mv if isinstance(mp.mv, list) else [mp.mv]
                    values = {m: outcomes[m][lo:hi] for v in measured for m in v.measurements}
                    out.append(gather_mcm(mp, values, valid[lo:hi], postselect_mode=mode))
                else:
                    out.append(mp.process_samples(samples[lo:hi][valid[lo:hi]], wire_order))
            per_copy.append(_unwrap_one(tuple(out)))
        return tuple(per_copy) if tape.shots.has_partitioned_shots else per_copy[0]

    def _dynamic_exact(self, tape: Any, wire_order: Any, options: dict[str, Any]) -> Any:
        for op in tape.operations:
            if isinstance(op, MidMeasureMP) and op.postselect is not None:
                raise DeviceError("vorn.qubit computes exact values of circuits with mid-circuit measurements by "
                                  "vorn.expval, which averages over every outcome: postselection needs shots "
                                  "(or mcm_method='deferred')")
        # Each measurement as expectation values: an observable (matrix ones
        # expanded into Pauli words), probabilities as those of basis projectors.
        sums, spans = [], []
        for mp in tape.measurements:
            try:
                if type(mp) is ExpectationMP and mp.obs is not None:
                    terms = [adjoint_sum(mp.obs, wire_order)]
                elif type(mp) is ProbabilityMP and mp.mv is None and mp.obs is None:
                    wires = list(mp.wires) or list(wire_order)
                    terms = [adjoint_sum(qml.Projector(list(bits), wires=wires), wire_order)
                             for bits in itertools.product((0, 1), repeat=len(wires))]
                else:
                    terms = None
            except ValueError as e:
                raise DeviceError(f"vorn.qubit cannot compute {type(mp).__name__} exactly with mid-circuit "
                                  f"measurements: {e}; use shots (or mcm_method='deferred')") from e
            if terms is None:
                raise DeviceError(f"vorn.qubit computes exact values of circuits with mid-circuit measurements as "
                                  f"expectation values of observables and probabilities of wires only, not {mp}: "
                                  "use shots (or mcm_method='deferred')")
            spans.append((len(sums), len(sums) + len(terms), type(mp) is ProbabilityMP))
            sums.extend(terms)
        values = _expval(to_circuit(tape.operations, wire_order).circuit, sums, **options)
        return _unwrap_one(tuple(np.asarray(values[lo:hi], dtype=np.float64) if probs else np.float64(values[lo])
                                 for lo, hi, probs in spans))

    # ---- derivatives ----------------------------------------------------------------------

    def _adjoint(self, tape: Any, options: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        """(values per measurement, Jacobian (measurements, trainable
        parameters)) from one forward and one backward pass of vorn's adjoint
        method. vorn's adjoint pass runs the gates as compiled on a complex128
        state, so it takes threads= but neither single precision nor fusion:
        derivatives (and the values they come with) are double precision.
        Trainable observable parameters other than coefficients (which
        PennyLane's chain rule takes) get zero columns, as in PennyLane's
        adjoint methods (with its warning)."""
        wire_order = self._wire_order(tape)
        trainable = list(tape.trainable_params)
        column = {p: k for k, p in enumerate(trainable)}
        sums = [adjoint_sum(m.obs, wire_order) for m in tape.measurements]
        converted = to_circuit(tape.operations, wire_order, lambda position, op: position in column)
        jac = np.zeros((len(sums), len(trainable)))
        if not converted.positions:
            return _expval(converted.circuit, sums, threads=options["threads"]), jac
        values, partial, _ = _gradients(converted.circuit, sums, _angles(tape, converted.positions),
                                        make_request(shots=0, threads=options["threads"]))
        jac[:, [column[p] for p in converted.positions]] = partial[0]
        return values[0], jac

    def _jacobian_result(self, tape: Any, options: dict[str, Any]) -> tuple[Any, Any]:
        values, jac = self._adjoint(tape, options)
        # PennyLane's shapes: one measurement or one parameter drops that level.
        jac = np.squeeze(jac)
        if jac.ndim == 0:
            derivative = np.array(jac)
        elif jac.ndim == 1:
            derivative = tuple(np.array(j) for j in jac)
        else:
            derivative = tuple(tuple(np.array(j) for j in row) for row in jac)
        return _unwrap_one(tuple(np.float64(v) for v in values)), derivative

    def compute_derivatives(self, circuits: Any, execution_config: ExecutionConfig | None = None) -> Any:
        """The Jacobian of each tape by vorn's adjoint pass.

        Args:
            circuits: a batch of tapes of exact expectation values.
            execution_config: the configuration.
        """
        options = self._options_of(execution_config)
        return tuple(self._jacobian_result(tape, options)[1] for tape in circuits)

    def execute_and_compute_derivatives(self, circuits: Any, execution_config: ExecutionConfig | None = None
                                        ) -> Any:
        """Results and Jacobians of each tape from one adjoint pass each.

        Args:
            circuits: a batch of tapes of exact expectation values.
            execution_config: the configuration.
        """
        options = self._options_of(execution_config)
        pairs = [self._jacobian_result(tape, options) for tape in circuits]
        return tuple(p[0] for p in pairs), tuple(p[1] for p in pairs)

    def compute_vjp(self, circuits: Any, cotangents: Any, execution_config: ExecutionConfig | None = None) -> Any:
        """cotangent . Jacobian of each tape, by vorn's adjoint pass.

        Args:
            circuits: a batch of tapes of exact expectation values.
            cotangents: one cotangent per tape (a number, or one per measurement).
            execution_config: the configuration.
        """
        return self.execute_and_compute_vjp(circuits, cotangents, execution_config)[1]

    def execute_and_compute_vjp(self, circuits: Any, cotangents: Any,
                                execution_config: ExecutionConfig | None = None) -> Any:
        """Results and vector-Jacobian products of each tape, from one adjoint
        pass each.

        Args:
            circuits: a batch of tapes of exact expectation values.
            cotangents: one cotangent per tape (a number, or one per measurement).
            execution_config: the configuration.
        """
        options = self._options_of(execution_config)
        results, vjps = [], []
        for tape, dy in zip(circuits, cotangents):
            values, jac = self._adjoint(tape, options)
            results.append(_unwrap_one(tuple(np.float64(v) for v in values)))
            vjps.append(np.atleast_1d(np.asarray(dy, dtype=np.float64)).reshape(-1) @ jac)
        return tuple(results), tuple(vjps)
