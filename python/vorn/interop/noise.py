"""Noise models of other toolkits in vorn: Qiskit Aer's NoiseModel and
Cirq's channels (vorn.noise.from_qiskit / from_cirq)."""

from __future__ import annotations

import collections
import functools
import math
import threading
from typing import Any

import numpy as np

from ..model.circuit import Circuit
from ..model.noise_model import (MIXTURE, NoiseModel, QuantumError, amplitude_damping, depolarizing, kraus, pauli,
                                 phase_damping, readout)
from .circuits import _read_cirq, _require

__all__ = ["from_cirq", "from_qiskit", "is_cirq_channel"]

# Kraus sets this close to trace preserving (sum K^dagger K within this of
# the identity) are renormalised, as Aer accepts them; Qiskit's own
# conversions of thermal relaxation land a few 1e-9 away.
_RENORMALISE = 1e-6
# Eigenvalues of a channel's Choi matrix below this (relative to its
# largest) carry no Kraus operator.
_CHOI_FLOOR = 1e-14
_RESET = (np.array([[1, 0], [0, 0]], dtype=complex), np.array([[0, 1], [0, 0]], dtype=complex))
# Converted Aer errors by content: a device model repeats the same error on
# many gates, and a backend converts the same model on every run.
_CACHE_SIZE = 4096
_SWAP = [0, 2, 1, 3]  # a two-qubit index with its bits exchanged


def _embed(matrix: np.ndarray, qubits: tuple[int, ...], n: int) -> np.ndarray:
    """An operator on ``qubits`` (its bit j on qubit qubits[j]) as one on the
    error's n <= 2 qubits (bit q of the index on qubit q)."""
    if qubits == tuple(range(n)):
        return matrix
    if len(qubits) == 2:  # (1, 0): the same operator with its qubits swapped
        return matrix[np.ix_(_SWAP, _SWAP)]
    out = np.zeros((4, 4), dtype=np.complex128)
    if qubits == (0,):  # I (x) matrix: the same block for either value of qubit 1
        out[:2, :2] = matrix
        out[2:, 2:] = matrix
    else:  # matrix (x) I: the same block for either value of qubit 0
        out[0::2, 0::2] = matrix
        out[1::2, 1::2] = matrix
    return out


class _AerReader:
    """Kraus sets of Aer's error circuits, matrices cached by instruction."""

    def __init__(self) -> None:
        from qiskit.exceptions import QiskitError
        from qiskit.quantum_info import Kraus, Operator

        self.Operator, self.Kraus, self.QiskitError = Operator, Kraus, QiskitError
        self.matrices: dict[Any, np.ndarray] = {}

    def instruction(self, op: Any) -> tuple[list[np.ndarray], bool]:
        """The Kraus operators of one instruction, and whether it is unitary."""
        name = op.name
        if name == "reset":
            return list(_RESET), False
        if name == "kraus":
            return [np.asarray(k, dtype=np.complex128) for k in op.params], False
        key = (name, op.num_qubits, _params_key(op.params))
        matrix = self.matrices.get(key)
        if matrix is None:
            try:
                matrix = np.asarray(self.Operator(op).data, dtype=np.complex128)
            except self.QiskitError:  # not unitary (a superop, ...): Qiskit's Kraus form of it
                return [np.asarray(k, dtype=np.complex128) for k in self.Kraus(op).data], False
            self.matrices[key] = matrix
        return [matrix], True

    def circuit(self, qc: Any, n: int) -> tuple[list[np.ndarray], bool]:
        """The Kraus operators of an error circuit on n qubits (products of its
        instructions' in order), and whether it is one unitary."""
        index = {bit: i for i, bit in enumerate(qc.qubits)}
        ops = [np.eye(1 << n, dtype=np.complex128)]
        unitary = True
        for inst in qc.data:
            if inst.operation.name in ("barrier", "delay"):
                continue
            local, is_unitary = self.instruction(inst.operation)
            unitary = unitary and is_unitary
            where = tuple(index[q] for q in inst.qubits)
            embedded = [_embed(k, where, n) for k in local]
            ops = [e @ o for e in embedded for o in ops]
        return ops, unitary


def _error_key(error: Any) -> tuple:
    """What an Aer error is made of, hashable: equal keys, equal channels."""
    parts = []
    for qc, p in zip(error.circuits, error.probabilities):
        index = {bit: i for i, bit in enumerate(qc.qubits)}
        body = []
        for inst in qc.data:
            op = inst.operation
            body.append((op.name, tuple(index[q] for q in inst.qubits), _params_key(op.params)))
        parts.append((float(p), tuple(body)))
    return (error.num_qubits, tuple(parts))


def _params_key(params: list[Any]) -> tuple:
    """An instruction's parameters, hashable and exact (arrays by their bytes)."""
    return tuple((v.dtype.str, v.shape, v.tobytes()) if isinstance(v, np.ndarray) else (type(v).__name__, repr(v))
                 for v in params)


def _kraus_of_choi(ops: list[np.ndarray]) -> list[np.ndarray]:
    """The fewest Kraus operators of the channel sum_k K rho K^dagger:
    the eigenvectors of sum_k vec(K) vec(K)^dagger."""
    d = ops[0].shape[0]
    if len(ops) <= d * d:
        return ops
    vectors = np.stack([k.reshape(-1) for k in ops], axis=1)
    values, vecs = np.linalg.eigh(vectors @ vectors.conj().T)
    floor = _CHOI_FLOOR * max(float(values[-1]), 0.0)
    return [math.sqrt(v) * vecs[:, j].reshape(d, d) for j, v in enumerate(values) if v > floor]


def _converted_error(error: Any, where: str) -> QuantumError:
    # Aer's errors are not changed once made: the same object converts as
    # before without reading its content again.
    with _LOCK:
        known = _BY_IDENTITY.get(id(error))
        if known is not None and known[0] is error:
            _BY_IDENTITY.move_to_end(id(error))
            return known[1]
    converted = _cached(_Keyed(error, where))
    with _LOCK:
        _BY_IDENTITY[id(error)] = (error, converted)
        _BY_IDENTITY.move_to_end(id(error))
        while len(_BY_IDENTITY) > _CACHE_SIZE:
            _BY_IDENTITY.popitem(last=False)
    return converted


_BY_IDENTITY: collections.OrderedDict[int, tuple[Any, QuantumError]] = collections.OrderedDict()
_LOCK = threading.Lock()


@functools.lru_cache(maxsize=_CACHE_SIZE)
def _cached(keyed: _Keyed) -> QuantumError:
    return _from_aer_error(keyed.error, keyed.where)


class _Keyed:
    """An Aer error with its content key: hashed and compared by the key,
    so that the cache holds one conversion per distinct error."""

    __slots__ = ("error", "key", "where")

    def __init__(self, error: Any, where: str) -> None:
        self.error, self.key, self.where = error, _error_key(error), where

    def __hash__(self) -> int:
        return hash(self.key)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Keyed) and self.key == other.key


def _from_aer_error(error: Any, where: str) -> QuantumError:
    """A Qiskit Aer QuantumError: a mixture when every one of its circuits is
    unitary (Pauli and depolarising errors, coherent errors), else the Kraus
    operators of the whole channel (renormalised when within 1e-6 of trace
    preserving)."""
    n = error.num_qubits
    if n > 2:
        raise NotImplementedError(f"the Aer error on {where} acts on {n} qubits; vorn takes 1 or 2")
    reader = _AerReader()
    parts = [(reader.circuit(qc, n), float(p)) for qc, p in zip(error.circuits, error.probabilities)]
    probabilities = np.array([p for _, p in parts])
    if all(unitary for (_, unitary), _ in parts):
        return QuantumError(MIXTURE, [ops[0] for (ops, _), _ in parts], probabilities / probabilities.sum(), "aer")
    ops = _kraus_of_choi([math.sqrt(p) * k for (kraus_ops, _), p in parts for k in kraus_ops])
    total = sum(k.conj().T @ k for k in ops)
    deviation = float(np.max(np.abs(total - np.eye(1 << n))))
    if deviation > _RENORMALISE:
        raise ValueError(f"the Aer error on {where} is not trace preserving: sum K^dagger K differs from the "
                         f"identity by {deviation:.3g} (vorn renormalises up to {_RENORMALISE:g})")
    if deviation > 0:
        # K -> K S^(-1/2), S = sum K^dagger K: exactly trace preserving, the nearest such set.
        values, vecs = np.linalg.eigh(total)
        ops = [k @ (vecs * values ** -0.5) @ vecs.conj().T for k in ops]
    return kraus(ops, name="aer")


def from_qiskit(model: Any) -> NoiseModel:
    """The vorn model of a Qiskit Aer ``NoiseModel``: its all-qubit and
    per-qubit quantum errors on 1 or 2 qubits (Pauli, depolarising,
    amplitude/phase damping, thermal relaxation, Kraus, unitary mixtures,
    resets, and compositions of them) and its one-qubit readout errors.

    Each distinct error is converted once (a device model repeats errors,
    and converting it again, as a backend does on every run, finds them all
    converted). A Kraus set within 1e-6 of trace preserving is renormalised,
    as Aer accepts it. The model does not warn about errors on gates a
    circuit does not use (a device's model names all the device's gates).

    Args:
        model: a ``qiskit_aer.noise.NoiseModel``.

    Raises:
        ImportError: Qiskit Aer is not installed.
        NotImplementedError: errors on more than 2 qubits, readout errors on
            more than one qubit, or non-local errors.
        ValueError: an error further than 1e-6 from trace preserving.
    """
    aer = _require("qiskit_aer.noise", "aer", "noise.from_qiskit")
    if not isinstance(model, aer.NoiseModel):
        raise TypeError(f"expected a qiskit_aer.noise.NoiseModel, not {type(model).__name__}")
    if getattr(model, "_nonlocal_quantum_errors", None):
        raise NotImplementedError("non-local errors (on qubits other than the instruction's) are not supported")
    out = NoiseModel()
    out._warns = False  # a device's model has errors for all its gates: one the circuit lacks is no mistake
    for name, error in model._default_quantum_errors.items():
        out.add_all_qubit_error(_converted_error(error, f"'{name}'"), name)
    for name, per_qubits in model._local_quantum_errors.items():
        for qubits, error in per_qubits.items():
            out.add_error(_converted_error(error, f"'{name}' on {qubits}"), name, qubits)
    for qubits, error in [(None, model._default_readout_error), *model._local_readout_errors.items()]:
        if error is None:
            continue
        if error.number_of_qubits != 1:
            raise NotImplementedError(f"readout errors on {error.number_of_qubits} qubits are not supported "
                                      "(one qubit each)")
        if qubits is None:
            out.add_all_qubit_readout_error(readout(error.probabilities))
        else:
            out.add_readout_error(readout(error.probabilities), qubits[0])
    return out


def _asymmetric(channel: Any) -> QuantumError:
    # Cirq's labels put the operation's first qubit first; vorn's (Qiskit's) last.
    return pauli([(label[::-1], p) for label, p in channel.error_probabilities.items()])


# Cirq channel class -> the vorn error of an instance.
_CIRQ_CHANNELS = {
    "DepolarizingChannel": lambda ch: depolarizing(ch.p * 4**ch.n_qubits / (4**ch.n_qubits - 1), ch.n_qubits),
    "BitFlipChannel": lambda ch: pauli([("I", 1 - ch.p), ("X", ch.p)]),
    "PhaseFlipChannel": lambda ch: pauli([("I", 1 - ch.p), ("Z", ch.p)]),
    "AmplitudeDampingChannel": lambda ch: amplitude_damping(ch.gamma),
    "PhaseDampingChannel": lambda ch: phase_damping(ch.gamma),
    "AsymmetricDepolarizingChannel": _asymmetric,
}


def _cirq_channel(gate: Any) -> QuantumError | None:
    convert = _CIRQ_CHANNELS.get(type(gate).__name__)
    return None if convert is None else convert(gate)


def is_cirq_channel(op: Any) -> bool:
    """Whether a Cirq operation is one of the channels :func:`from_cirq` takes."""
    return getattr(op, "gate", None) is not None and type(op.gate).__name__ in _CIRQ_CHANNELS


def from_cirq(obj: Any, qubit_order: Any = None) -> QuantumError | tuple[Circuit, NoiseModel]:
    """Cirq's noise in vorn: ``cirq.depolarize`` (its p rescaled, see
    :func:`depolarizing`), ``bit_flip``, ``phase_flip``, ``amplitude_damp``,
    ``phase_damp`` and ``asymmetric_depolarize`` (on 1 or 2 qubits).

    A channel (a Cirq gate) gives its :class:`QuantumError`. A ``cirq.Circuit``
    with such channels among its operations gives ``(circuit, model)``: the
    circuit of everything else (as :func:`vorn.from_cirq` converts it, qubit
    order included) and a model that places each channel where it stood, so
    ``vorn.run(circuit, shots, noise=model)`` runs the noisy Cirq circuit.
    That model belongs to that circuit (it refers to positions in it); gate
    errors can still be added to it.

    Args:
        obj: a Cirq channel or ``cirq.Circuit``.
        qubit_order: for a circuit, as for :func:`vorn.from_cirq`.

    Raises:
        NotImplementedError: another channel, or a channel on a qubit after
            its last measurement (after a mid-circuit measurement, followed
            by more operations on the qubit, it is taken).
    """
    cirq = _require("cirq", "cirq", "noise.from_cirq")

    if not isinstance(obj, cirq.AbstractCircuit):
        error = _cirq_channel(obj)
        if error is None:
            raise NotImplementedError(f"cannot convert {obj!r}: vorn.noise.from_cirq takes the channels "
                                      f"{sorted(_CIRQ_CHANNELS)}")
        return error
    model = NoiseModel()
    measured: set[int] = set()
    seen = [0]  # instructions already looked at for measurements
    after_measurement: list[tuple[int, tuple[int, ...], Any]] = []

    def take(op: Any, reader: Any) -> bool:
        error = _cirq_channel(op.gate) if op.gate is not None else None
        if error is None:
            return False
        qubits = tuple(reader.index[q] for q in op.qubits)
        data = reader.out._data
        measured.update(q for ins in data[seen[0]:] if ins.name == "measure" for q in ins.qubits)
        seen[0] = len(data)
        if measured & set(qubits):
            after_measurement.append((len(data), qubits, op))
        model._inline.setdefault(len(data), []).append((error, qubits))
        return True

    circuit = _read_cirq(obj, qubit_order, "noise.from_cirq", take)
    # A channel after a mid-circuit measurement acts between it and what
    # follows; after a qubit's last measurement it would act before that
    # measurement is drawn (final measurements are drawn from the end state).
    last = {}
    for i, ins in enumerate(circuit._data):
        if ins.name != "barrier":
            last.update((q, i) for q in ins.qubits)
    for index, qubits, op in after_measurement:
        for q in qubits:
            if last.get(q, index) < index and circuit._data[last[q]].name == "measure":
                raise NotImplementedError(f"the channel {op} acts on a qubit after its measurement with nothing "
                                          "after it, which vorn's noisy runs do not take (a final measurement "
                                          "is drawn from the end state)")
    return circuit, model
