"""What the primitives share: a Qiskit circuit converted once, with the map
from its parameter columns to vorn's, and the seeds of PUBs.

Used by vorn.qiskit's estimator and sampler."""

from __future__ import annotations

import collections
import secrets
import sys
import threading
import weakref
from concurrent.futures import Future
from collections.abc import Mapping
from types import SimpleNamespace
from typing import Any, NamedTuple

import numpy as np
from numpy.random import Generator as _Generator
from qiskit.circuit import ParameterExpression, QuantumCircuit
from qiskit.primitives.primitive_job import PrimitiveJob
from qiskit.providers import JobError

from .. import _ext
from ..execution.lowering import compile_parametric, is_dynamic
from ..execution.request import MAX_SEED as _MAX_SEED
from ..execution.request import non_negative as _non_negative
from ..execution.sweeps import binding_seed
from ..interop.noise import from_qiskit as _noise_from_qiskit
from ..interop.qiskit_layout import Layout, active_qubits, compact_qiskit
from ..model.circuit import Circuit
from ..model.noise_model import NoiseModel


class Converted:
    """A Qiskit circuit as vorn's, converted once with its angles symbolic.

    ``columns`` picks, for each of vorn's parameters (``circuit.parameters``
    order), the column of Qiskit's (``qc.parameters`` order); both name the
    same parameters. An angle that is not affine in its parameters cannot
    stay symbolic in vorn: then ``circuit`` is None and each binding is bound
    in Qiskit and converted on its own (slower, same values).

    Only the qubits some instruction acts on are simulated (``layout``: a
    circuit transpiled for a device names all the device's qubits)."""

    __slots__ = ("qc", "circuit", "columns", "layout", "_program", "_dynamic")

    def __init__(self, qc: Any, keep: Any = ()) -> None:
        self.qc = qc
        self.columns: list[int] = []
        self._program: Any = None
        self._dynamic: bool | None = None
        self.layout = Layout(qc.num_qubits, active_qubits(qc, keep))
        try:
            self.circuit: Circuit | None = compact_qiskit(qc, layout=self.layout)[0]
        except TypeError:
            if not qc.parameters:
                raise
            self.circuit = None  # a non-affine angle: bound per binding
            return
        column = {p.name: i for i, p in enumerate(qc.parameters)}
        self.columns = [column[p.name] for p in self.circuit.parameters]

    def values(self, bindings: Any) -> np.ndarray:
        """The bindings as a (count, Qiskit's parameters) float64 array, rows in
        C order of the bindings' shape."""
        count = int(np.prod(bindings.shape, dtype=np.int64))
        return np.asarray(bindings.as_array(self.qc.parameters), dtype=np.float64).reshape(
            count, self.qc.num_parameters)

    def bound(self, row: np.ndarray) -> Circuit:
        """The circuit with one binding's values (Qiskit's column order)."""
        if self.circuit is not None:
            return self.circuit.assign_parameters(row[self.columns])
        return compact_qiskit(self.qc.assign_parameters(row), layout=self.layout)[0]

    def is_dynamic(self) -> bool:
        if self._dynamic is None:
            circuit = self.circuit if self.circuit is not None else self.bound(np.zeros(self.qc.num_parameters))
            self._dynamic = is_dynamic(circuit)
        return self._dynamic

    def program(self) -> Any:
        """The circuit's parametric program, compiled once (``circuit`` is
        never changed: it is this object's own)."""
        if self._program is None:
            self._program = compile_parametric(self.circuit, False)[0]
        return self._program


# Conversions of the circuits run lately, by the circuit object: reused
# while the circuit's content is what it was (see _snapshot).
_CACHE_SIZE = 32
_CACHE: collections.OrderedDict[int, tuple[Any, tuple, Converted]] = collections.OrderedDict()
_CACHE_LOCK = threading.Lock()


def converted(qc: Any, keep: Any = ()) -> Converted:
    """``Converted(qc, keep)``, reused from an earlier call on the same
    circuit object when nothing in it has changed since (its instructions,
    their operands and parameters, blocks of control flow, registers, global
    phase): a changed circuit is converted again, never served stale."""
    snapshot = _snapshot(qc, tuple(keep))
    with _CACHE_LOCK:
        entry = _CACHE.get(id(qc))
        if entry is not None and entry[0]() is qc and entry[1] == snapshot:
            _CACHE.move_to_end(id(qc))
            return entry[2]
    made = Converted(qc, keep)
    with _CACHE_LOCK:
        _CACHE[id(qc)] = (weakref.ref(qc), snapshot, made)
        _CACHE.move_to_end(id(qc))
        while len(_CACHE) > _CACHE_SIZE:
            _CACHE.popitem(last=False)
    return made


# Jobs estimated below this much work (bindings x amplitudes x instructions)
# run in the calling thread when submitted: a thread costs more than they do.
_INLINE_WORK = 1 << 22


class VornPrimitiveJob(PrimitiveJob):
    """Qiskit's ``PrimitiveJob``, except that a small job runs to its end in
    the calling thread when submitted (its result or error then waits in a
    finished future, so ``result()`` and ``status()`` behave the same)."""

    def __init__(self, function: Any, *args: Any, inline: bool = False, **kwargs: Any) -> None:
        super().__init__(function, *args, **kwargs)
        self._inline = inline

    def _submit(self) -> None:
        if not self._inline:
            super()._submit()
            return
        if self._future is not None:
            raise JobError("Primitive job has been submitted already.")
        future: Future = Future()
        try:
            future.set_result(self._function(*self._args, **self._kwargs))
        except Exception as exc:  # noqa: BLE001 - handed to result(), as a thread's would be
            future.set_exception(exc)
        self._future = future


def prepare(circuits: list[tuple[Any, int]]) -> tuple[list[Converted | None], bool]:
    """The PUBs' circuits (with their binding counts) converted when the job
    is submitted, None for one that does not convert (the job raises its
    error when it runs), and whether the job is small enough to run without
    a thread."""
    out: list[Converted | None] = []
    work = 0
    for qc, bindings in circuits:
        try:
            made = converted(qc)
        except Exception:  # noqa: BLE001 - raised again by the job, as Qiskit's primitives raise it
            out.append(None)
            continue
        out.append(made)
        work += (max(bindings, 1) << min(len(made.layout.active), 40)) * max(len(qc.data), 1)
    return out, work <= _INLINE_WORK


def _snapshot(qc: Any, keep: tuple = ()) -> tuple:
    """What a conversion of ``qc`` depends on, as a value: equal snapshots,
    equal conversions. Standard gates are their name, operands and angles;
    any other operation is also the object itself (and what it holds that
    is not a parameter: its control state, its blocks taken the same way)."""
    body = []
    for inst in qc.data:
        params = tuple(_param_key(p) for p in inst.params)
        if inst.is_standard_gate():
            body.append((inst.name, inst.qubits, inst.clbits, params))
            continue
        op = inst.operation
        blocks = tuple(_snapshot(b) for b in getattr(op, "blocks", ()))
        extra = (getattr(op, "ctrl_state", None), getattr(op, "condition", None), blocks)
        body.append((inst.name, inst.qubits, inst.clbits, params, id(op), extra))
    return (qc.num_qubits, qc.num_clbits, tuple(qc.cregs), _param_key(qc.global_phase), keep, tuple(body))


def _param_key(p: Any) -> Any:
    if isinstance(p, np.ndarray):  # a matrix: by value (== of arrays is not a bool)
        return (p.dtype.str, p.shape, p.tobytes())
    if isinstance(p, QuantumCircuit):  # a control flow block: its own snapshot
        return _snapshot(p)
    if isinstance(p, ParameterExpression):
        return _Expression(p)
    return p


class _Expression:
    """A parameter expression in a snapshot: equal when structurally equal
    (Qiskit's == compares symbolically, which takes milliseconds for the
    long global phases of transpiled ansatzes)."""

    __slots__ = ("value",)

    def __init__(self, value: ParameterExpression) -> None:
        self.value = value

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Expression) and self.value.structurally_equal(other.value)

    __hash__ = None  # type: ignore[assignment]


def primitive_seed(seed: Any) -> int | _Generator | None:
    """A primitive's seed checked: None, an integer from 0 to 2**64 - 1, or a
    NumPy ``Generator`` (as Qiskit's reference primitives take)."""
    if seed is None or isinstance(seed, _Generator):
        return seed
    return _non_negative(seed, "seed", _MAX_SEED)


def job_seed(seed: int | _Generator | None) -> int | None:
    """The seed of one ``run``: the primitive's integer seed, or one drawn
    from its Generator (so each run differs, and the same Generator state
    gives the same results, as with Qiskit's primitives)."""
    if isinstance(seed, _Generator):
        return int(seed.integers(0, _MAX_SEED, dtype=np.uint64, endpoint=True))
    return seed


def pub_seed(seed: int | None, index: int) -> int:
    """The seed of PUB ``index``: drawn from vorn's ChaCha12 stream keyed by the
    primitive's seed (so the same seed gives the same results), fresh entropy
    without one."""
    return secrets.randbits(64) if seed is None else binding_seed(seed, index)


def broadcast_index(shape: tuple[int, ...], full: tuple[int, ...]) -> np.ndarray:
    """For each entry of an array of ``full`` shape (C order), the flat index
    of the entry of ``shape`` it broadcasts from."""
    return np.broadcast_to(np.arange(int(np.prod(shape, dtype=np.int64))).reshape(shape), full).ravel()


def noise_model_of(value: Any, what: str = "noise_model") -> NoiseModel | None:
    """A noise model as the primitives and the backend take it: a
    ``vorn.noise.NoiseModel``, or Qiskit Aer's ``NoiseModel`` (converted by
    ``vorn.noise.from_qiskit``, each distinct error once). None and a model
    without errors give None: the run is exact."""
    if value is None:
        return None
    if not isinstance(value, NoiseModel):
        aer = sys.modules.get("qiskit_aer.noise")  # an Aer model means Aer is imported
        if aer is None or not isinstance(value, aer.NoiseModel):
            raise TypeError(f"{what} must be a vorn.noise.NoiseModel or a qiskit_aer.noise.NoiseModel, not "
                            f"{type(value).__name__}")
        value = _noise_from_qiskit(value)
    return None if value.is_ideal() else value


# Simulation methods: vorn has one, which Aer's "automatic" also means here.
METHODS = ("statevector", "automatic")


def engine_options(threads: Any = None, fusion: Any = False, precision: Any = "double",
                   method: Any = "statevector") -> dict[str, Any]:
    """vorn's run keywords from Aer's options of the same meaning:
    ``max_parallel_threads`` (None or 0: all; more than the pool has: the
    pool), ``fusion_enable``, ``precision`` and ``method``, checked."""
    if method not in METHODS:
        raise ValueError(f"method {method!r} is not one of vorn's: it simulates state vectors "
                         f"({', '.join(repr(m) for m in METHODS)})")
    if threads is not None:
        threads = _non_negative(threads, "max_parallel_threads")
        threads = min(threads, _ext.pool_threads()) or None
    if not isinstance(fusion, (bool, np.bool_)):
        raise TypeError(f"fusion_enable must be True or False, not {type(fusion).__name__}")
    if precision not in ("double", "single"):
        raise ValueError(f"precision must be 'double' or 'single', not {precision!r}")
    return {"threads": threads, "fusion": bool(fusion), "precision": precision}


# What the primitives' ``options`` dict takes, as Aer's primitives do.
RUN_OPTIONS = ("seed_simulator", "shots")
BACKEND_OPTIONS = ("noise_model", "max_parallel_threads", "fusion_enable", "precision", "method", "seed_simulator")


def primitive_options(options: Any, top: tuple[str, ...]) -> tuple[dict[str, Any], dict[str, Any], dict[str, Any]]:
    """An Aer-style ``options`` dict split into its top-level entries (of
    ``top``), ``run_options`` and ``backend_options``; a key that does not
    exist is refused naming those that do."""
    if options is None:
        return {}, {}, {}
    if not isinstance(options, Mapping):
        raise TypeError(f"options must be a dict, not {type(options).__name__}")
    _only(options, (*top, "run_options", "backend_options"), "options")
    run, backend = dict(options.get("run_options") or {}), dict(options.get("backend_options") or {})
    _only(run, RUN_OPTIONS, "run_options")
    _only(backend, BACKEND_OPTIONS, "backend_options")
    return {k: v for k, v in options.items() if k in top}, run, backend


def _only(given: Mapping[str, Any], known: tuple[str, ...], what: str) -> None:
    unknown = sorted(set(given) - set(known))
    if unknown:
        raise ValueError(f"unknown {what} {', '.join(map(repr, unknown))}; vorn takes {', '.join(known)}")


class Settings(NamedTuple):
    """A primitive's settings from its keywords and an Aer-style ``options``
    dict, checked: ``top`` holds the options' own entries (default shots or
    precision), ``run`` and ``backend`` the two sub-dicts as given."""

    seed: int | _Generator | None
    noise: NoiseModel | None
    engine: dict[str, Any]
    top: dict[str, Any]
    run: dict[str, Any]
    backend: dict[str, Any]

    def public(self, default_name: str, default: Any) -> SimpleNamespace:
        """The ``options`` a primitive shows, as Aer's primitives show theirs."""
        return SimpleNamespace(**{default_name: default}, run_options=dict(self.run),
                               backend_options=dict(self.backend))


def settings(options: Any, top: tuple[str, ...], seed: Any, noise_model: Any) -> Settings:
    """A primitive's :class:`Settings`: the seed given as ``seed=`` or as
    ``seed_simulator`` in the options, the noise model as ``noise_model=`` or
    in ``backend_options`` (two different ones are refused)."""
    mine, run, backend = primitive_options(options, top)
    given = {primitive_seed(s) for s in (seed, run.get("seed_simulator"), backend.get("seed_simulator"))
             if s is not None}
    if len(given) > 1:
        raise ValueError(f"two different seeds were given ({', '.join(sorted(map(str, given)))}): give one")
    if noise_model is not None and backend.get("noise_model") is not None and noise_model is not backend[
            "noise_model"]:
        raise ValueError("a noise model was given both as noise_model= and in backend_options: give one")
    engine = engine_options(backend.get("max_parallel_threads"), backend.get("fusion_enable", False),
                            backend.get("precision", "double"), backend.get("method", "statevector"))
    return Settings(next(iter(given), None),
                    noise_model_of(noise_model if noise_model is not None else backend.get("noise_model")),
                    engine, mine, run, backend)

