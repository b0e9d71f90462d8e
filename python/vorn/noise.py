"""Noise: error channels, a noise model, and noisy runs by quantum trajectories.

An error is a channel on 1 or 2 qubits: a mixture of unitaries chosen with
fixed probabilities (Pauli and depolarising errors, phase damping, any Kraus
set whose operators are multiples of unitaries), or a general Kraus set
(amplitude damping, thermal relaxation). A :class:`NoiseModel` attaches
errors to gate names, as Qiskit Aer's does, plus readout errors per qubit.

``vorn.run(c, shots, seed, noise=model)`` runs every shot as one trajectory:
each error picks one of its operators (a mixture without reading the
state; a Kraus set by the probabilities Tr(K rho K^dagger) of the current
state, then K / sqrt(p)). Shots that made the same choices share one
simulation: the run walks the tree of choices depth first, so the noiseless
prefix is simulated once and each distinct error pattern once. Every
trajectory draws from a stream keyed by the seed and its own index, so the
same seed gives the same counts on any thread count.
"""

from .interop.noise import from_cirq, from_qiskit
from .model.noise_model import (NoiseModel, NoiseWarning, QuantumError, ReadoutError, amplitude_damping, depolarizing,
                                kraus, pauli, phase_damping, readout, thermal_relaxation)

__all__ = [
    "NoiseModel", "NoiseWarning", "QuantumError", "ReadoutError", "amplitude_damping", "depolarizing", "from_cirq",
    "from_qiskit", "kraus", "pauli", "phase_damping", "readout", "thermal_relaxation",
]
