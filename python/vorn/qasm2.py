"""OpenQASM 2 programs to and from vorn circuits.

Reading is done by vorn's C++ reader: ``gate`` definitions are inlined, and
the gates of ``qelib1.inc`` (built in, with the later additions such as sx,
p, cu, rzz, c3x) become the standard gates Qiskit's loader makes of them
(``qiskit.qasm2`` with ``LEGACY_CUSTOM_INSTRUCTIONS``), so a loaded file has
Qiskit's state vector, global phase included.

Writing uses qelib1 gates where the circuit's gate is one (angles written
with ``repr``, so they read back to the same bits); other gates get a
``gate`` definition in qelib1 gates that has the same matrix and phase; a
``unitary`` on several qubits becomes an exact rz/ry/cx decomposition.
OpenQASM 2 has no global phase: a non-zero one is written as the comment
``// vorn: global_phase = <repr>``, which :func:`loads` reads back and other
readers ignore.
"""

from .interop.qasm2 import QASM2Error, dump, dumps, load, loads

__all__ = ["QASM2Error", "dump", "dumps", "load", "loads"]
