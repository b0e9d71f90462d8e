"""Backend: vorn as a Qiskit ``BackendV2`` named "vorn".

Its ``Target`` is built from vorn's gate table (every gate on any qubits)
plus measure, reset, delay, if_else, unitary and save_statevector; ``run``
returns a job that simulates on a worker thread and yields a
``qiskit.result.Result`` laid out as Aer's (hex counts and memory, the saved
state as a ``Statevector``)."""

from __future__ import annotations

import os
import secrets
import sys
import threading
import time
import uuid
from typing import Any, NamedTuple

import numpy as np
from qiskit.circuit import ControlFlowOp, Delay, IfElseOp, Instruction, Measure, Parameter, QuantumCircuit, Reset
from qiskit.circuit import library as _library
from qiskit.providers import BackendV2, JobError, JobStatus, JobTimeoutError, JobV1, Options
from qiskit.quantum_info import Statevector
from qiskit.result import Result
from qiskit.result.models import ExperimentResult, ExperimentResultData
from qiskit.transpiler import Target

from .. import _ext
from .. import __version__
from ..api import run, statevector
from ..execution.lowering import is_dynamic
from ..execution.request import MAX_SEED as _MAX_SEED
from ..execution.request import non_negative as _non_negative
from ..execution.sweeps import binding_seed
from ..execution.watch import Watch as _Watch
from ..interop.circuits import _require, from_qiskit
from ..interop.qiskit_layout import compact_qiskit
from ..model.circuit import GATES
from ..model.noise_model import NoiseModel
from ._convert import engine_options, noise_model_of

_SAVE = "save_statevector"
_FINAL_STATES = (JobStatus.DONE, JobStatus.CANCELLED, JobStatus.ERROR)


class SaveStatevector(Instruction):
    """Saves the state at its place for ``Backend`` results'
    ``get_statevector()``, as Aer's ``save_statevector`` (which the backend
    also takes, by name). On all of a circuit's qubits, in order."""

    def __init__(self, num_qubits: int, label: str | None = None) -> None:
        super().__init__(_SAVE, num_qubits, 0, [], label=label)


def save_statevector(circuit: QuantumCircuit) -> QuantumCircuit:
    """Appends a :class:`SaveStatevector` on every qubit of ``circuit`` (in
    place, as Aer's ``QuantumCircuit.save_statevector``) and returns it.

    Args:
        circuit: the Qiskit circuit.
    """
    circuit.append(SaveStatevector(circuit.num_qubits), circuit.qubits)
    return circuit


def _gate(cls: type, row: dict[str, Any]) -> Any:
    """An instance of a table row's Qiskit class, angles as parameters
    (variable-width rows: with two controls, for the name)."""
    angles = [Parameter(p) for p in row["params"]]
    if row["num_qubits"]:
        return cls(*angles)
    try:
        return cls(*angles, 2)
    except TypeError:  # fixed-width members of the family (C3XGate)
        return cls(*angles)


def _widest_state() -> int:
    """The most qubits whose complex128 state fits in the machine's memory
    (Aer's figure for its own num_qubits)."""
    try:
        total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (ValueError, OSError):
        return _ext.MAX_QUBITS
    return max(1, min(_ext.MAX_QUBITS, (total // 16).bit_length() - 1))


def _target() -> Target:
    target = Target(description="vorn: exact state-vector simulation", num_qubits=_widest_state())
    names: set[str] = set()
    for row in GATES.values():
        for class_name in row["qiskit"]:
            cls = getattr(_library, class_name)
            gate = _gate(cls, row)
            if gate.name in names:
                continue
            names.add(gate.name)
            if row["num_qubits"]:
                target.add_instruction(gate)  # no properties: ideal, on any qubits
            else:
                target.add_instruction(cls, name=gate.name)  # any number of controls
    target.add_instruction(Measure())
    target.add_instruction(Reset())
    target.add_instruction(Delay(Parameter("t")))
    target.add_instruction(IfElseOp, name="if_else")
    target.add_instruction(_library.UnitaryGate, name="unitary")
    target.add_instruction(SaveStatevector, name=_SAVE)
    return target


class Backend(BackendV2):
    """vorn as a Qiskit ``BackendV2`` named "vorn": ``transpile(qc, backend)``
    keeps vorn's gates, ``backend.run(circuits, shots=..., seed_simulator=...)``
    returns a :class:`VornJob`, and ``BackendSamplerV2`` /
    ``BackendEstimatorV2`` run on it.

    Options (``set_options``, ``run`` keywords or the constructor's):
    ``shots`` (1024), ``seed_simulator`` (None: fresh entropy; circuit i of
    a job runs with ``vorn.binding_seed(seed_simulator, i)``), ``memory``
    (False: per-shot outcomes for ``get_memory``), ``timeout`` (None:
    seconds for the whole job, after which ``result()`` raises
    TimeoutError), ``noise_model`` (None: a ``vorn.noise.NoiseModel`` or
    Qiskit Aer's ``NoiseModel``; every shot is then one quantum trajectory),
    and Aer's options that mean the same in vorn: ``max_parallel_threads``
    (None or 0: the whole pool; vorn's ``threads``), ``fusion_enable``
    (False: vorn's exact path; True: vorn's ``fusion``), ``precision``
    ("double" or "single") and ``method`` ("statevector", or "automatic",
    which means it). Any other name is refused, naming these.

    Only the qubits some instruction of a circuit acts on are simulated, as
    in Aer: a circuit transpiled for a 127-qubit device runs on the few it
    uses. Each experiment's ``metadata`` says which (``active_input_qubits``,
    ``num_qubits``), with its shots, seed, method, noise and time taken.
    ``num_qubits`` is, as Aer's, the widest full state that fits in the
    machine's memory (wider circuits run when they use fewer qubits).
    """

    def __init__(self, **options: Any) -> None:
        super().__init__(name="vorn", description="vorn: an exact, fast state-vector simulator",
                         backend_version=__version__)
        self._target = _target()
        if options:
            self.set_options(**options)

    @classmethod
    def from_backend(cls, backend: BackendV2, **options: Any) -> Backend:
        """A vorn backend that simulates ``backend`` as Aer's
        ``AerSimulator.from_backend`` does: its target (gates, coupling map,
        qubit count), so ``transpile(qc, vorn_backend)`` lays circuits out as
        for the device, and the noise model Qiskit Aer makes of its
        properties (``NoiseModel.from_backend``; gate errors, thermal
        relaxation, readout errors) unless ``noise_model`` is given.

        Args:
            backend: a Qiskit ``BackendV2`` (a device or a fake one).
            **options: options of the new backend (``noise_model=None`` for a
                noiseless one).

        Raises:
            ImportError: the device's noise needs Qiskit Aer (the ``aer`` extra).
        """
        if not isinstance(backend, BackendV2):
            raise TypeError(f"Backend.from_backend takes a qiskit BackendV2, not {type(backend).__name__}")
        if "noise_model" not in options:
            aer = _require("qiskit_aer.noise", "aer", "qiskit.Backend.from_backend")
            options["noise_model"] = aer.NoiseModel.from_backend(backend)
        out = cls(**options)
        out._target = backend.target
        out.name = f"vorn_from({backend.name})"
        out.description = f"vorn simulating {backend.name}"
        return out

    def set_options(self, **fields: Any) -> None:
        """Sets options by name, each checked now (not at the first run); an
        unknown one is refused naming those that exist."""
        _known(self, fields)
        _plan({**self.options.__dict__, **fields})
        super().set_options(**fields)

    @property
    def target(self) -> Target:
        """vorn's gates (from its gate table) on any qubits, and the
        non-unitary instructions it runs."""
        return self._target

    @property
    def max_circuits(self) -> None:
        """None: a job takes any number of circuits."""
        return None

    @classmethod
    def _default_options(cls) -> Options:
        return Options(shots=1024, seed_simulator=None, memory=False, timeout=None, noise_model=None,
                       method="statevector", precision="double", max_parallel_threads=None, fusion_enable=False)

    def run(self, run_input: Any, **options: Any) -> VornJob:
        """Runs circuits on a worker thread.

        Args:
            run_input: a ``QuantumCircuit`` or a list of them.
            **options: any of the backend's options for this run.

        Returns:
            A started :class:`VornJob`.
        """
        circuits = [run_input] if isinstance(run_input, QuantumCircuit) else list(run_input)
        for i, qc in enumerate(circuits):
            if not isinstance(qc, QuantumCircuit):
                raise TypeError(f"run_input[{i}] is a {type(qc).__name__}, not a qiskit.QuantumCircuit")
        _known(self, options)
        job = VornJob(self, str(uuid.uuid4()), circuits, _plan({**self.options.__dict__, **options}))
        job.submit()
        return job


def _plan(settings: dict[str, Any]) -> _Plan:
    """A job's settings from the backend's options and the run's, checked."""
    seed = settings["seed_simulator"]
    return _Plan(
        shots=_non_negative(settings["shots"], "shots"),
        seed=None if seed is None else _non_negative(seed, "seed_simulator", _MAX_SEED),
        memory=bool(settings["memory"]),
        deadline=_Watch(settings["timeout"], None).deadline,  # checks the timeout too
        noise=noise_model_of(settings["noise_model"]),
        engine=engine_options(settings["max_parallel_threads"], settings["fusion_enable"], settings["precision"],
                              settings["method"]),
    )


def with_device_noise(cls: Any, backend: Any, options: dict[str, Any]) -> Any:
    """A primitive made from ``backend`` (its ``from_backend``), with its
    noise unless ``options`` give one: a vorn Backend's or an AerSimulator's
    ``noise_model`` option, else the model Qiskit Aer makes of a device's
    properties (``NoiseModel.from_backend``)."""
    if "noise_model" in options or "noise_model" in (options.get("options") or {}).get("backend_options", {}):
        return cls(**options)
    aer = sys.modules.get("qiskit_aer")
    if isinstance(backend, Backend) or (aer is not None and isinstance(backend, aer.AerSimulator)):
        return cls(noise_model=backend.options.noise_model, **options)
    if not isinstance(backend, BackendV2):
        raise TypeError(f"from_backend takes a qiskit BackendV2, not {type(backend).__name__}")
    aer_noise = _require("qiskit_aer.noise", "aer", "qiskit primitives' from_backend")
    return cls(noise_model=aer_noise.NoiseModel.from_backend(backend), **options)


def _known(backend: Backend, options: dict[str, Any]) -> None:
    unknown = sorted(set(options) - set(backend.options.__dict__))
    if unknown:
        raise ValueError(f"unknown option(s) for the vorn backend: {', '.join(unknown)}; "
                         f"it takes {', '.join(sorted(backend.options.__dict__))}")


class _Plan(NamedTuple):
    """A job's settings, checked when it is submitted."""

    shots: int
    seed: int | None
    memory: bool
    deadline: float | None
    noise: NoiseModel | None
    engine: dict[str, Any]  # vorn's threads, fusion and precision


class _Cancelled(Exception):
    pass


class VornJob(JobV1):
    """A :class:`Backend` run on a worker thread: ``status()``,
    ``result(timeout=...)`` and ``cancel()``, which ends the simulation in
    progress through the engine's cancel check (within about 0.1 s)."""

    def __init__(self, backend: Backend, job_id: str, circuits: list[QuantumCircuit], plan: _Plan) -> None:
        super().__init__(backend, job_id)
        self._circuits = circuits
        self._plan = plan
        self._cancel_requested = threading.Event()
        self._status = JobStatus.INITIALIZING
        self._result: Result | None = None
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._work, name=f"vorn-job-{job_id[:8]}", daemon=True)

    def submit(self) -> None:
        """Starts the job (``Backend.run`` does); a job starts once."""
        if self._status is not JobStatus.INITIALIZING:
            raise JobError("the job was already submitted")
        self._status = JobStatus.QUEUED
        self._thread.start()

    def status(self) -> JobStatus:
        """QUEUED, RUNNING, DONE, CANCELLED or ERROR."""
        return self._status

    def cancel(self) -> bool:
        """Asks the running simulation to stop; False when the job has ended.
        ``result()`` then raises JobError."""
        if self._status in _FINAL_STATES:
            return False
        self._cancel_requested.set()
        return True

    def result(self, timeout: float | None = None) -> Result:
        """The ``qiskit.result.Result``, waiting for the job.

        Args:
            timeout: seconds to wait at most (None: until done).

        Raises:
            JobTimeoutError: the job did not end within ``timeout``.
            JobError: the job was cancelled.
            Exception: what the run raised (an unsupported instruction, the
                backend's ``timeout`` option as TimeoutError, ...).
        """
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise JobTimeoutError(f"the vorn job {self.job_id()} did not finish within {timeout} s")
        if self._status is JobStatus.CANCELLED:
            raise JobError(f"the vorn job {self.job_id()} was cancelled")
        if self._error is not None:
            raise self._error
        assert self._result is not None
        return self._result

    def _check(self, done: int, total: int) -> None:
        if self._cancel_requested.is_set():
            raise _Cancelled

    def _work(self) -> None:
        self._status = JobStatus.RUNNING
        start = time.monotonic()
        try:
            experiments = []
            for i, qc in enumerate(self._circuits):
                self._check(0, 0)
                experiments.append(self._experiment(qc, i))
            self._result = Result(backend_name=self.backend().name, backend_version=self.backend().backend_version,
                                  job_id=self.job_id(), success=True, results=experiments, status="COMPLETED",
                                  time_taken=time.monotonic() - start)
            self._status = JobStatus.DONE
        except _Cancelled:
            self._status = JobStatus.CANCELLED
        except BaseException as exc:  # handed to result()
            self._error = exc
            self._status = JobStatus.ERROR

    def _timeout(self) -> float | None:
        if self._plan.deadline is None:
            return None
        left = self._plan.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("the vorn job did not finish within its timeout")
        return left

    def _experiment(self, qc: QuantumCircuit, index: int) -> ExperimentResult:
        started = time.monotonic()
        body, save_at = _without_saves(qc)
        # Only the qubits in use are simulated; a saved state names all of them (as in Aer).
        circuit, layout = compact_qiskit(body, range(qc.num_qubits) if save_at is not None else ())
        plan = self._plan
        seed = secrets.randbits(64) if plan.seed is None else binding_seed(plan.seed, index)
        if save_at is not None and plan.noise is not None:
            raise ValueError("save_statevector with a noise model: every trajectory ends in a state of its own, "
                             "and vorn's backend keeps one state per circuit")
        with layout.sized():
            result = run(circuit, plan.shots, seed, memory=plan.memory, timeout=self._timeout(),
                         progress=self._check, noise=layout.noise(plan.noise), **plan.engine)
        data: dict[str, Any] = {}
        if qc.num_clbits:
            data["counts"] = {hex(int(key.replace(" ", ""), 2)): n for key, n in result.counts().items()}
            if plan.memory:
                data["memory"] = [hex(int.from_bytes(row.tobytes(), "big")) for row in result.memory()]
        if save_at is not None:
            data["statevector"] = Statevector(self._saved_state(body, circuit, result, save_at))
        header = {
            "name": qc.name, "n_qubits": qc.num_qubits, "memory_slots": qc.num_clbits,
            "creg_sizes": [[reg.name, reg.size] for reg in qc.cregs],
            "clbit_labels": [[reg.name, j] for reg in qc.cregs for j in range(reg.size)],
            "metadata": qc.metadata,
        }
        taken = time.monotonic() - started
        metadata = {
            "shots": plan.shots, "seed_simulator": seed, "time_taken": taken, "method": "statevector",
            "device": "CPU", "precision": plan.engine["precision"], "fusion": {"enabled": plan.engine["fusion"]},
            "noise": "ideal" if plan.noise is None else "trajectories", "num_qubits": len(layout.active),
            "active_input_qubits": list(layout.active), "num_clbits": qc.num_clbits,
            "input_qubit_map": [[q, i] for i, q in enumerate(layout.active)],
        }
        return ExperimentResult(shots=plan.shots, success=True, data=ExperimentResultData(**data), status="DONE",
                                seed_simulator=seed, header=header, time_taken=taken, metadata=metadata)

    def _saved_state(self, body: QuantumCircuit, circuit: Any, result: Any, save_at: int) -> np.ndarray:
        """The state where the save stood: the run's own when only final
        measurements follow it, else the prefix simulated alone."""
        rest = body.data[save_at:]
        if not is_dynamic(circuit) and all(ins.operation.name in ("measure", "barrier") for ins in rest):
            return np.array(result.statevector())
        prefix = body.copy_empty_like()
        for ins in body.data[:save_at]:
            prefix.append(ins)
        if any(ins.operation.name in ("measure", "reset") or isinstance(ins.operation, ControlFlowOp) for ins in prefix.data):
            raise ValueError("save_statevector after a measurement, reset or condition: vorn saves the state of "
                             "the unitary part before any of them")
        return np.array(statevector(from_qiskit(prefix), timeout=self._timeout(), progress=self._check,
                                    **self._plan.engine))


def _without_saves(qc: QuantumCircuit) -> tuple[QuantumCircuit, int | None]:
    """The circuit without its save_statevector, and where the save stood
    (None for none)."""
    saves = [i for i, ins in enumerate(qc.data) if ins.operation.name == _SAVE]
    if not saves:
        return qc, None
    if len(saves) > 1:
        raise ValueError("the circuit saves its state more than once: vorn's backend keeps one state per circuit")
    position = saves[0]
    if list(qc.data[position].qubits) != list(qc.qubits):
        raise ValueError("save_statevector must act on all of the circuit's qubits, in order")
    body = qc.copy_empty_like()
    for i, ins in enumerate(qc.data):
        if i != position:
            body.append(ins)
    return body, position

