"""Interop: Qiskit, Cirq and OpenQASM 2 circuits, parameters and noise
models, converted to and from the circuit model. Above the model only."""
