"""SamplerV2: Qiskit's sampler primitive on vorn's runs.

Each PUB's circuit is converted once; its bindings run as one batched sweep
(circuits that measure in the middle, reset or condition branch per binding
on vorn's dynamic path), and every classical register's bits become one
``BitArray`` of the PUB's shape."""

from __future__ import annotations

import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np
from qiskit.primitives import BaseSamplerV2, DataBin, PrimitiveResult, SamplerPubResult
from qiskit.primitives.containers import BitArray
from qiskit.primitives.containers.sampler_pub import SamplerPub

from ..api import run
from ..execution.request import MAX_SHOTS as _MAX_SHOTS
from ..execution.request import non_negative as _non_negative
from ..execution.sweeps import binding_seed
from ..model.noise_model import NoiseModel
from ._backend import with_device_noise
from ._convert import Converted, VornPrimitiveJob, job_seed, prepare, pub_seed, settings
from ._convert import converted as converted_circuit


class SamplerV2(BaseSamplerV2):
    """Qiskit's ``BaseSamplerV2`` on vorn: PUBs ``(circuit[, parameter_values[,
    shots]])`` give one ``BitArray`` per classical register of the circuit in
    a ``DataBin`` of the bindings' shape, as ``StatevectorSampler`` does.
    Measurements may come anywhere (with resets and ``if_test`` blocks too):
    such circuits run every shot by branching, as Aer does.

    Args:
        seed: an integer from 0 to 2**64 - 1: the same seed gives the same
            samples (PUB i runs with ``vorn.binding_seed(seed, i)`` as its
            sweep seed); a NumPy ``Generator``: each run draws its seed from
            it; None draws fresh entropy.
        default_shots: the shots of PUBs that set none.
        noise_model: a ``vorn.noise.NoiseModel`` or Qiskit Aer's
            ``NoiseModel``: every shot is then one quantum trajectory (see
            ``vorn.run(..., noise=)``).
        options: Aer's primitives' options dict: ``default_shots``,
            ``run_options`` (``seed_simulator``, ``shots``: the default
            shots) and ``backend_options`` (``noise_model``,
            ``seed_simulator``, ``max_parallel_threads``, ``fusion_enable``,
            ``precision``, ``method``: as :class:`Backend` takes them). An
            unknown key is refused, naming those that exist.
    """

    def __init__(self, *, seed: int | None = None, default_shots: int = 1024, noise_model: Any = None,
                 options: dict[str, Any] | None = None) -> None:
        self._settings = settings(options, ("default_shots",), seed, noise_model)
        shots = {_shots(v) for v in (self._settings.top.get("default_shots"), self._settings.run.get("shots"))
                 if v is not None}
        if len(shots) > 1:
            raise ValueError(f"options give two different default shots ({', '.join(map(str, sorted(shots)))})")
        self._seed = self._settings.seed
        self._default_shots = shots.pop() if shots else _shots(default_shots)
        self._noise = self._settings.noise

    @classmethod
    def from_backend(cls, backend: Any, **options: Any) -> SamplerV2:
        """A sampler with ``backend``'s noise, as Aer's ``SamplerV2.from_backend``:
        a vorn :class:`Backend`'s or an ``AerSimulator``'s noise model, or
        the one Qiskit Aer makes of a device's properties.

        Args:
            backend: a vorn Backend, an AerSimulator or a device's ``BackendV2``.
            **options: the sampler's keywords (``noise_model`` replaces the device's).
        """
        return with_device_noise(cls, backend, options)

    @property
    def options(self) -> Any:
        """The options as Aer's SamplerV2 shows them (``default_shots``,
        ``run_options``, ``backend_options``)."""
        return self._settings.public("default_shots", self._default_shots)

    @property
    def seed(self) -> int | None:
        """The sampler's seed (None: fresh entropy per run)."""
        return self._seed

    @property
    def default_shots(self) -> int:
        """The shots of PUBs that set none."""
        return self._default_shots

    @property
    def noise_model(self) -> NoiseModel | None:
        """The noise model (as vorn's; None: noiseless)."""
        return self._noise

    def run(self, pubs: Iterable[Any], *, shots: int | None = None) -> VornPrimitiveJob:
        """Samples the PUBs on a worker thread (a small job in this thread,
        before ``run`` returns; its errors still come from ``result()``).

        Args:
            pubs: sampler PUBs (``SamplerPub`` or tuples Qiskit coerces).
            shots: the shots of PUBs that set none (None: ``default_shots``).

        Returns:
            A job whose ``result()`` is a ``PrimitiveResult`` of
            ``SamplerPubResult``s.
        """
        shots = self._default_shots if shots is None else _shots(shots)
        coerced = [SamplerPub.coerce(pub, shots) for pub in pubs]
        if any(not pub.circuit.cregs for pub in coerced):
            warnings.warn("One of your circuits has no output classical registers and so the result will be empty. "
                          "Did you mean to add measurement instructions?", UserWarning, stacklevel=2)
        conversions, small = prepare([(pub.circuit, pub.parameter_values.size) for pub in coerced])
        job = VornPrimitiveJob(self._run, coerced, conversions, job_seed(self._seed), inline=small)
        job._submit()
        return job

    def _run(self, pubs: list[SamplerPub], conversions: list[Converted | None], seed: int | None) -> PrimitiveResult:
        results = [self._run_pub(pub, made or converted_circuit(pub.circuit), pub_seed(seed, i))
                   for i, (pub, made) in enumerate(zip(pubs, conversions))]
        return PrimitiveResult(results, metadata={"version": 2})

    def _run_pub(self, pub: SamplerPub, converted: Converted, seed: int) -> SamplerPubResult:
        qc = pub.circuit
        shots = int(pub.shots)
        values = converted.values(pub.parameter_values)
        noise = converted.layout.noise(self._noise)
        with converted.layout.sized():
            if not len(values):
                results = []
            elif converted.circuit is not None:
                results = run(converted.circuit, shots, seed, params=values[:, converted.columns], memory=True,
                              noise=noise, **self._settings.engine)
            else:  # a non-affine angle: each binding converted on its own, seeded as a sweep's row
                results = [run(converted.bound(row), shots, binding_seed(seed, b), memory=True, noise=noise,
                               **self._settings.engine) for b, row in enumerate(values)]
        bits = np.zeros((len(values), shots, qc.num_clbits), dtype=bool)
        for b, result in enumerate(results):
            packed = result.memory()  # big-endian bytes: the last column of the unpacked bits is clbit 0
            bits[b] = np.unpackbits(packed, axis=1)[:, ::-1][:, :qc.num_clbits]
        registers = {}
        for creg in qc.cregs:
            clbits = [qc.find_bit(bit).index for bit in creg]
            chosen = bits[:, :, clbits].reshape(pub.parameter_values.shape + (shots, len(clbits)))
            registers[creg.name] = BitArray.from_bool_array(chosen, order="little")
        return SamplerPubResult(DataBin(**registers, shape=pub.shape),
                                metadata={"shots": shots, "circuit_metadata": qc.metadata})


def _shots(value: Any) -> int:
    shots = _non_negative(value, "shots", _MAX_SHOTS)
    if shots == 0:
        raise ValueError("shots must be >= 1")
    return shots
