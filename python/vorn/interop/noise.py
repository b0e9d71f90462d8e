"""Noise models of other toolkits in vorn: Qiskit Aer's NoiseModel and
Cirq's channels (vorn.noise.from_qiskit / from_cirq)."""

from __future__ import annotations

from typing import Any

from ..model.circuit import Circuit
from ..model.noise_model import (MIXTURE, NoiseModel, QuantumError, amplitude_damping, depolarizing, kraus, pauli,
                                 phase_damping, readout)
from .circuits import _read_cirq, _require

__all__ = ["from_cirq", "from_qiskit", "is_cirq_channel"]

def _from_aer_error(error: Any, where: str) -> QuantumError:
    """A Qiskit Aer QuantumError: a mixture when every one of its circuits is
    unitary (Pauli and depolarising errors), else its Kraus operators."""
    from qiskit.exceptions import QiskitError
    from qiskit.quantum_info import Kraus, Operator

    if error.num_qubits > 2:
        raise NotImplementedError(f"the Aer error on {where} acts on {error.num_qubits} qubits; vorn takes 1 or 2")
    try:
        unitaries = [Operator(c).data for c in error.circuits]
    except QiskitError:
        unitaries = None
    if unitaries is not None:
        return QuantumError(MIXTURE, unitaries, [float(p) for p in error.probabilities], "aer")
    return kraus(list(Kraus(error.to_quantumchannel()).data), name="aer")


def from_qiskit(model: Any) -> NoiseModel:
    """The vorn model of a Qiskit Aer ``NoiseModel``: its all-qubit and
    per-qubit quantum errors on 1 or 2 qubits (Pauli, depolarising,
    amplitude/phase damping, thermal relaxation, Kraus, unitary mixtures,
    and compositions of them) and its one-qubit readout errors.

    Args:
        model: a ``qiskit_aer.noise.NoiseModel``.

    Raises:
        ImportError: Qiskit Aer is not installed.
        NotImplementedError: errors on more than 2 qubits, readout errors on
            more than one qubit, or non-local errors.
    """
    aer = _require("qiskit_aer.noise", "aer", "noise.from_qiskit")
    if not isinstance(model, aer.NoiseModel):
        raise TypeError(f"expected a qiskit_aer.noise.NoiseModel, not {type(model).__name__}")
    if getattr(model, "_nonlocal_quantum_errors", None):
        raise NotImplementedError("non-local errors (on qubits other than the instruction's) are not supported")
    out = NoiseModel()
    for name, error in model._default_quantum_errors.items():
        out.add_all_qubit_error(_from_aer_error(error, f"'{name}'"), name)
    for name, per_qubits in model._local_quantum_errors.items():
        for qubits, error in per_qubits.items():
            out.add_error(_from_aer_error(error, f"'{name}' on {qubits}"), name, qubits)
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
