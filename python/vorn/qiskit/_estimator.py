"""EstimatorV2: Qiskit's estimator primitive on vorn's batched sweeps.

Each PUB's circuit is converted and compiled once; its bindings run in one
engine call per group of observables, and the broadcast (binding,
observable) pairs are read from that table. Exact values by default; a
precision above 0 adds Gaussian noise of that standard deviation."""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
from qiskit.primitives import BaseEstimatorV2, DataBin, PrimitiveResult, PubResult
from qiskit.primitives.containers.estimator_pub import EstimatorPub

from .. import _ext
from ..api import expval
from ..execution import sweeps
from ..execution.lowering import native_observables
from ..execution.request import DEFAULT_TRAJECTORIES, MAX_SHOTS, Request
from ..execution.request import non_negative as _non_negative
from ..interop.qiskit_layout import Layout
from ..model.noise_model import NoiseModel
from ..model.pauli import PauliSum
from ._backend import with_device_noise
from ._convert import Converted, VornPrimitiveJob, broadcast_index, job_seed, prepare, pub_seed, settings
from ._convert import converted as converted_circuit

_PAULI_LETTERS = frozenset("IXYZ")
# The engine options of a run on the exact default path.
_EXACT = {"threads": None, "fusion": False, "precision": "double"}
# A full (bindings x observables) table is evaluated when it holds at most
# this many times the pairs the PUB asks for; past that (zipped bindings and
# observables) each observable runs on the bindings that need it.
_TABLE_WASTE = 4


class EstimatorV2(BaseEstimatorV2):
    """Qiskit's ``BaseEstimatorV2`` on vorn: expectation values of PUBs
    ``(circuit, observables[, parameter_values[, precision]])`` with Qiskit's
    broadcasting rules, results shaped as ``StatevectorEstimator``'s.

    Each PUB's circuit is converted once and its bindings run as one batched
    sweep (the circuit compiled once, each binding bound in the engine).
    Observables are anything Qiskit's ``ObservablesArray`` takes
    (``SparsePauliOp``, Pauli strings, ``{label: coeff}`` dicts, ...);
    coefficients are taken real, as Qiskit's estimators do.

    Args:
        seed: keys the noise of ``precision > 0`` and the trajectories of
            a noise model (an integer from 0 to 2**64 - 1): the same seed
            gives the same values; a NumPy ``Generator``: each run draws its
            seed from it; None draws fresh entropy.
        default_precision: the precision of PUBs that set none. 0 gives exact
            values with ``stds`` 0; above 0 each value gets Gaussian noise
            of that standard deviation (``stds`` that precision).
        noise_model: a ``vorn.noise.NoiseModel`` or Qiskit Aer's
            ``NoiseModel``: each value is then the mean over quantum
            trajectories (``vorn.expval(..., noise=, trajectories=)``) and
            ``stds`` its standard error; the trajectories are keyed by the
            seed and the PUB's index.
        trajectories: how many trajectories a noisy value averages (at
            least 2). None: ceil(1 / precision^2) for a PUB with a precision
            above 0 (as Qiskit's BackendEstimatorV2 picks shots), else 1000.
        options: Aer's primitives' options dict: ``default_precision``,
            ``run_options`` (``seed_simulator``; ``shots``: the trajectories
            of a noisy value) and ``backend_options`` (``noise_model``,
            ``seed_simulator``, ``max_parallel_threads``, ``fusion_enable``,
            ``precision``, ``method``: as :class:`Backend` takes them). An
            unknown key is refused, naming those that exist.
    """

    def __init__(self, *, seed: int | None = None, default_precision: float = 0.0, noise_model: Any = None,
                 trajectories: int | None = None, options: dict[str, Any] | None = None) -> None:
        self._settings = settings(options, ("default_precision",), seed, noise_model)
        self._seed = self._settings.seed
        self._default_precision = _precision(self._settings.top.get("default_precision", default_precision))
        self._noise = self._settings.noise
        counts = {_trajectories(v) for v in (trajectories, self._settings.run.get("shots")) if v is not None}
        if len(counts) > 1:
            raise ValueError(f"two different trajectory counts were given ({', '.join(map(str, sorted(counts)))})")
        self._trajectories = counts.pop() if counts else None

    @classmethod
    def from_backend(cls, backend: Any, **options: Any) -> EstimatorV2:
        """An estimator with ``backend``'s noise, as Aer's
        ``EstimatorV2.from_backend``: a vorn :class:`Backend`'s or an
        ``AerSimulator``'s noise model, or the one Qiskit Aer makes of a
        device's properties.

        Args:
            backend: a vorn Backend, an AerSimulator or a device's ``BackendV2``.
            **options: the estimator's keywords (``noise_model`` replaces the device's).
        """
        return with_device_noise(cls, backend, options)

    @property
    def options(self) -> Any:
        """The options as Aer's EstimatorV2 shows them (``default_precision``,
        ``run_options``, ``backend_options``)."""
        return self._settings.public("default_precision", self._default_precision)

    @property
    def seed(self) -> int | None:
        """The seed of the noise (None: fresh entropy per run)."""
        return self._seed

    @property
    def default_precision(self) -> float:
        """The precision of PUBs that set none."""
        return self._default_precision

    @property
    def noise_model(self) -> NoiseModel | None:
        """The noise model (as vorn's; None: exact values)."""
        return self._noise

    def run(self, pubs: Iterable[Any], *, precision: float | None = None) -> VornPrimitiveJob:
        """Estimates the PUBs on a worker thread (a small job in this thread,
        before ``run`` returns; its errors still come from ``result()``).

        Args:
            pubs: estimator PUBs (``EstimatorPub`` or tuples Qiskit coerces).
            precision: the precision of PUBs that set none (None: the
                estimator's default).

        Returns:
            A job whose ``result()`` is a ``PrimitiveResult`` of ``PubResult``s
            with ``data.evs`` and ``data.stds`` of the PUB's shape.
        """
        precision = self._default_precision if precision is None else _precision(precision)
        coerced = [EstimatorPub.coerce(pub, precision) for pub in pubs]
        conversions, small = prepare([(pub.circuit, pub.parameter_values.size) for pub in coerced])
        job = VornPrimitiveJob(self._run, coerced, conversions, job_seed(self._seed), inline=small)
        job._submit()
        return job

    def _run(self, pubs: list[EstimatorPub], conversions: list[Converted | None], seed: int | None) -> PrimitiveResult:
        results = [self._run_pub(pub, made or converted_circuit(pub.circuit), pub_seed(seed, i))
                   for i, (pub, made) in enumerate(zip(pubs, conversions))]
        return PrimitiveResult(results, metadata={"version": 2})

    def _run_pub(self, pub: EstimatorPub, converted: Converted, seed: int) -> PubResult:
        values = converted.values(pub.parameter_values)
        observables = [_pauli_sum(o, converted.layout) for o in _elements(pub.observables)]
        shape = pub.shape
        rows = broadcast_index(pub.parameter_values.shape, shape)
        columns = broadcast_index(pub.observables.shape, shape)
        precision = float(pub.precision)
        metadata = {"target_precision": precision, "circuit_metadata": pub.circuit.metadata}
        if self._noise is not None:
            count = self._trajectories or (math.ceil(1 / precision**2) if precision > 0 else DEFAULT_TRAJECTORIES)
            count = min(max(count, 2), MAX_SHOTS)
            with converted.layout.sized():
                means, errors = _noisy(converted, values, observables, converted.layout.noise(self._noise), count,
                                       seed, self._settings.engine)
            metadata["trajectories"] = count
            evs, stds = means[rows, columns].reshape(shape), errors[rows, columns].reshape(shape)
            return PubResult(DataBin(evs=evs, stds=stds, shape=shape), metadata=metadata)
        with converted.layout.sized():
            evs = _evaluate(converted, values, observables, rows, columns, self._settings.engine).reshape(shape)
        stds = np.zeros(shape)
        if precision > 0:
            evs = evs + precision * _gaussian(seed, evs.size).reshape(shape)
            stds[...] = precision
        return PubResult(DataBin(evs=evs, stds=stds, shape=shape), metadata=metadata)


def _gaussian(seed: int, count: int) -> np.ndarray:
    """``count`` standard normal values from vorn's ChaCha12 stream keyed by
    ``seed`` (one 64-bit word per block index), by Box-Muller on 53-bit
    uniforms. NumPy's generators are not used: their streams may change
    between NumPy releases, and a seeded result must not."""
    out = np.empty(count + (count & 1))
    scale = 2.0 ** -53
    for k in range(0, out.size, 2):
        u1 = ((sweeps.binding_seed(seed, k) >> 11) + 1) * scale  # (0, 1]: log stays finite
        u2 = (sweeps.binding_seed(seed, k + 1) >> 11) * scale
        r = math.sqrt(-2.0 * math.log(u1))
        out[k] = r * math.cos(2.0 * math.pi * u2)
        out[k + 1] = r * math.sin(2.0 * math.pi * u2)
    return out[:count]


def _trajectories(value: Any) -> int:
    count = _non_negative(value, "trajectories", MAX_SHOTS)
    if count < 2:
        raise ValueError(f"trajectories must be at least 2 (a standard error needs two), got {count}")
    return count


def _noisy(converted: Converted, values: np.ndarray, observables: list[PauliSum], noise: NoiseModel, count: int,
           seed: int, engine: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    """(bindings, observables) trajectory means and standard errors; binding
    b's trajectories keyed by ``vorn.binding_seed(seed, b)``."""
    if converted.circuit is not None and converted.circuit.num_parameters:
        return expval(converted.circuit, observables, params=values[:, converted.columns], noise=noise,
                      trajectories=count, seed=seed, **engine)
    pairs = [expval(converted.bound(row), observables, noise=noise, trajectories=count,
                    seed=sweeps.binding_seed(seed, b), **engine) for b, row in enumerate(values)]
    means = np.array([m for m, _ in pairs]).reshape(len(values), len(observables))
    return means, np.array([e for _, e in pairs]).reshape(means.shape)


def _precision(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"precision must be a real number, not {type(value).__name__}")
    p = float(value)
    if not 0 <= p < float("inf"):
        raise ValueError(f"precision must be >= 0 and finite, got {value!r}")
    return p


def _elements(observables: Any) -> list[Any]:
    """The observables array's entries in C order (Qiskit 2 keeps
    ``SparseObservable``s, Qiskit 1 ``{label: coeff}`` dicts)."""
    if hasattr(observables, "sparse_observables_array"):
        return list(observables.sparse_observables_array().ravel())
    return list(np.asarray(observables, dtype=object).ravel())


def _pauli_sum(observable: Any, layout: Layout) -> PauliSum:
    """An observable of the circuit's qubits on the qubits simulated (terms
    reading an idle qubit in |0> through X or Y vanish), coefficients taken
    real."""
    if isinstance(observable, Mapping):
        terms = [(label[::-1], range(len(label)), c) for label, c in observable.items()]
    else:
        terms = observable.to_sparse_list()
        if any(set(label) - _PAULI_LETTERS for label, _, _ in terms):  # projectors (0, 1, +, -, r, l)
            terms = observable.as_paulis().to_sparse_list()
    x, z, coeffs = [], [], []
    for label, qubits, c in layout.sparse_terms(terms):
        x_mask = z_mask = 0
        for ch, q in zip(label, qubits):
            if ch in "XY":
                x_mask |= 1 << q
            if ch in "ZY":
                z_mask |= 1 << q
        x.append(x_mask)
        z.append(z_mask)
        coeffs.append(float(np.real(c)))
    return PauliSum.from_masks(np.array(x, dtype=np.uint64), np.array(z, dtype=np.uint64), coeffs,
                               len(layout.active))


def _evaluate(converted: Converted, values: np.ndarray, observables: list[PauliSum], rows: np.ndarray,
              columns: np.ndarray, engine: dict[str, Any]) -> np.ndarray:
    """The value of observable columns[k] on binding rows[k], for each k."""
    out = np.zeros(len(rows))
    if not len(rows):
        return out
    # Bound per binding: a non-affine angle (converted per binding), or a
    # circuit that measures in the middle, resets or conditions, whose value
    # is the exact expectation over its outcomes (vorn.expval's branch walk).
    if converted.circuit is None or converted.is_dynamic():
        for b in np.unique(rows):
            table = expval(converted.bound(values[b]), observables, **engine)
            picked = rows == b
            out[picked] = table[columns[picked]]
        return out
    angles = np.ascontiguousarray(values[:, converted.columns])
    if engine != _EXACT:  # threads, fusion or single precision: vorn.expval's sweep takes them
        if not converted.circuit.num_parameters:
            return np.asarray(expval(converted.circuit, observables, **engine))[columns]
        return np.asarray(expval(converted.circuit, observables, params=angles, **engine))[rows, columns]
    program = converted.program()
    if len(values) * len(observables) <= _TABLE_WASTE * len(rows):
        return _table(program, angles, observables, converted.circuit.num_qubits)[rows, columns]
    for o, observable in enumerate(observables):
        picked = columns == o
        needed, where = np.unique(rows[picked], return_inverse=True)
        table = _table(program, angles[needed], [observable], converted.circuit.num_qubits)
        out[picked] = table[where.reshape(-1), 0]
    return out


def _table(program: Any, angles: np.ndarray, observables: list[PauliSum], num_qubits: int) -> np.ndarray:
    """(bindings, observables) values from one engine call."""
    flat = sweeps.call(_ext.sweep_expval, program, angles, native_observables(observables, num_qubits), False,
                       request=Request())
    return np.ascontiguousarray(np.asarray(flat).reshape(len(angles), len(observables)).real)
