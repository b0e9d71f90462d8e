"""The ``vorn.qubit`` PennyLane device: PennyLane tapes run on vorn's engine.

PennyLane (qml.execute, QNodes) calls the device with preprocessed tapes:
operations outside vorn's gate table are decomposed by PennyLane first,
mid-circuit measurements deferred, parameter broadcasts expanded. Each tape
then simulates once; Pauli observables (words, sums, products, Hamiltonians)
are evaluated by vorn as PauliSums on the final state, other measurements by
PennyLane's own reductions of that state or of vorn's samples. Tapes of one
structure go through vorn's batched ``params=`` path, and derivatives
(``diff_method="adjoint"`` or ``"device"``) through vorn's adjoint gradient.
"""

from __future__ import annotations

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
from pennylane.measurements import (ExpectationMP, SampleMeasurement, StateMeasurement, VarianceMP)
from pennylane.transforms import broadcast_expand, defer_measurements, split_non_commuting
from pennylane.transforms.core import CompilePipeline, transform

from ..api import expval as _expval
from ..api import run as _run
from ..api import statevector as _statevector
from ..execution.gradients import gradients as _gradients
from ..execution.request import make_request
from ..execution.sweeps import binding_seed
from ._convert import SUPPORTED, differentiable, pauli_sum, supports, to_circuit

_ADJOINT_METHODS = ("adjoint", "device")


def _requires_grad(op: Any) -> bool:
    return any(qml.math.requires_grad(d) for d in op.data)


def _adjoint_operation(op: Any) -> bool:
    """Kept by the adjoint pass as it is: a supported operation whose
    trainable parameters (if any) are gate angles."""
    return supports(op) and (differentiable(op) or not _requires_grad(op))


def _pauli_observable(obs: Any) -> bool:
    rep = obs.pauli_rep
    return rep is not None and all(complex(c).imag == 0.0 for c in rep.values())


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
    if tape.shots or not tape.measurements or not all(
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
    """

    _device_options = ("threads",)

    @property
    def name(self) -> str:
        """The device's name, as ``qml.device`` takes it."""
        return "vorn.qubit"

    def __init__(self, wires: Any = None, shots: Any = None, seed: Any = None, threads: int | None = None) -> None:
        super().__init__(wires=wires, shots=shots)
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
        self._threads = threads

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
        observables only.

        Args:
            execution_config: the configuration (None: any method).
            circuit: the tape to be differentiated (None: any).
        """
        if execution_config is not None and execution_config.gradient_method not in (*_ADJOINT_METHODS, "best"):
            return False
        if circuit is None:
            return True
        return not circuit.shots and all(isinstance(m, ExpectationMP) and m.obs is not None
                                         and _pauli_observable(m.obs) for m in circuit.measurements)

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
        are deferred (the only method vorn.qubit offers).

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
        options = dict(config.device_options)
        options.setdefault("threads", self._threads)
        updated["device_options"] = options
        mcm = config.mcm_config.mcm_method
        if mcm not in (None, "deferred"):
            raise DeviceError(f"mcm_method {mcm!r} is not supported on vorn.qubit; it defers mid-circuit "
                              "measurements (mcm_method='deferred')")
        updated["mcm_config"] = replace(config.mcm_config, mcm_method="deferred")
        return replace(config, **updated)

    def preprocess_transforms(self, execution_config: ExecutionConfig | None = None) -> CompilePipeline:
        """Deferred mid-circuit measurements, decomposition to vorn's gates,
        validation, splitting of sampled non-commuting measurements, expanded
        broadcasts; with the adjoint method also its own checks.

        Args:
            execution_config: the configuration (see :meth:`setup_execution_config`).
        """
        config = execution_config or ExecutionConfig()
        program = CompilePipeline()
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
            program.add_transform(decompose, stopping_condition=_adjoint_operation, skip_initial_state_prep=False,
                                  device_wires=self.wires, name=name)
            program.add_transform(validate_observables, stopping_condition=_pauli_observable, name=name)
            program.add_transform(_expectation_values_only, name=name)
            program.add_transform(validate_adjoint_trainable_params)
        return program

    # ---- execution -----------------------------------------------------------------------

    def _wire_order(self, tape: Any) -> Any:
        return self.wires if self.wires is not None else tape.wires

    def _threads_of(self, config: ExecutionConfig | None) -> int | None:
        return self._threads if config is None else config.device_options.get("threads", self._threads)

    def execute(self, circuits: Any, execution_config: ExecutionConfig | None = None) -> Any:
        """Runs each tape; tapes that differ only in angles and measure
        expectation values of Pauli observables run as one vorn sweep.

        Args:
            circuits: a batch of tapes (or one tape).
            execution_config: the configuration.

        Returns:
            One result per tape, in PennyLane's result structure.
        """
        threads = self._threads_of(execution_config)
        results: list[Any] = [None] * len(circuits)
        groups: dict[Any, list[int]] = {}
        for i, tape in enumerate(circuits):
            key = _sweep_key(tape, self._wire_order(tape))
            if key is None:
                results[i] = self._simulate(tape, threads)
            else:
                groups.setdefault(key, []).append(i)
        for members in groups.values():
            tapes = [circuits[i] for i in members]
            for i, result in zip(members, self._sweep(tapes, threads)):
                results[i] = result
        return tuple(results)

    def _sweep(self, tapes: list[Any], threads: int | None) -> list[Any]:
        """Expectation values of tapes of one structure: one vorn program,
        one binding per tape."""
        first = tapes[0]
        wire_order = self._wire_order(first)
        if len(tapes) == 1 or not wire_order:
            return [self._simulate(tape, threads) for tape in tapes]
        converted = to_circuit(first.operations, wire_order, lambda position, op: True)
        sums = [pauli_sum(m.obs, wire_order) for m in first.measurements]
        if not converted.positions:
            values = np.broadcast_to(_expval(converted.circuit, sums, threads=threads), (len(tapes), len(sums)))
        else:
            angles = np.array([_angles(tape, converted.positions) for tape in tapes])
            values = _expval(converted.circuit, sums, params=angles, threads=threads)
        return [_unwrap_one(tuple(np.float64(v) for v in row)) for row in values]

    def _simulate(self, tape: Any, threads: int | None) -> Any:
        wire_order = self._wire_order(tape)
        if tape.shots:
            return self._sample(tape, wire_order, threads)
        if len(wire_order) == 0:
            state = np.ones(1, dtype=np.complex128)
        else:
            state = _statevector(to_circuit(tape.operations, wire_order).circuit, threads=threads)
        return _unwrap_one(self._measure_state(tape.measurements, state, wire_order, threads))

    @staticmethod
    def _measure_state(measurements: Any, state: np.ndarray, wire_order: Any, threads: int | None
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
            evaluated = _expval(state, [h for _, h in paulis], variance=variance, threads=threads)
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

    def _sample(self, tape: Any, wire_order: Any, threads: int | None) -> Any:
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
            memory = _run(circuit, shots=total, seed=seed, memory=True, threads=threads).memory()
            # Clbit i holds qubit i, wire n - 1 - i: the last n bits of a row are the wires in order.
            samples = np.unpackbits(memory, axis=1)[:, -n:].astype(np.int64)
        per_copy = tuple(_unwrap_one(tuple(m.process_samples(samples[lo:hi], wire_order) for m in tape.measurements))
                         for lo, hi in tape.shots.bins())
        return per_copy if tape.shots.has_partitioned_shots else per_copy[0]

    # ---- derivatives ----------------------------------------------------------------------

    def _adjoint(self, tape: Any, threads: int | None) -> tuple[np.ndarray, np.ndarray]:
        """(values per measurement, Jacobian (measurements, trainable
        parameters)) from one forward and one backward pass of vorn's adjoint
        method. Trainable observable parameters get zero columns, as
        PennyLane's adjoint methods give them (with its warning)."""
        wire_order = self._wire_order(tape)
        trainable = list(tape.trainable_params)
        column = {p: k for k, p in enumerate(trainable)}
        sums = [pauli_sum(m.obs, wire_order) for m in tape.measurements]
        converted = to_circuit(tape.operations, wire_order, lambda position, op: position in column)
        jac = np.zeros((len(sums), len(trainable)))
        if not converted.positions:
            return _expval(converted.circuit, sums, threads=threads), jac
        values, partial, _ = _gradients(converted.circuit, sums, _angles(tape, converted.positions),
                                        make_request(shots=0, threads=threads))
        jac[:, [column[p] for p in converted.positions]] = partial[0]
        return values[0], jac

    def _jacobian_result(self, tape: Any, threads: int | None) -> tuple[Any, Any]:
        values, jac = self._adjoint(tape, threads)
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
        threads = self._threads_of(execution_config)
        return tuple(self._jacobian_result(tape, threads)[1] for tape in circuits)

    def execute_and_compute_derivatives(self, circuits: Any, execution_config: ExecutionConfig | None = None
                                        ) -> Any:
        """Results and Jacobians of each tape from one adjoint pass each.

        Args:
            circuits: a batch of tapes of exact expectation values.
            execution_config: the configuration.
        """
        threads = self._threads_of(execution_config)
        pairs = [self._jacobian_result(tape, threads) for tape in circuits]
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
        threads = self._threads_of(execution_config)
        results, vjps = [], []
        for tape, dy in zip(circuits, cotangents):
            values, jac = self._adjoint(tape, threads)
            results.append(_unwrap_one(tuple(np.float64(v) for v in values)))
            vjps.append(np.atleast_1d(np.asarray(dy, dtype=np.float64)).reshape(-1) @ jac)
        return tuple(results), tuple(vjps)
