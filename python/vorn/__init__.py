"""vorn: an exact, fast state-vector simulator.

Build a :class:`Circuit` with Qiskit's gate names and conventions, then
:func:`run` it (counts, state vector, probabilities) or take its
:func:`statevector` directly.
"""

from .circuit import Circuit, ClassicalRegister, Instruction
from .simulation import Result, required_memory, run, statevector
from .observables import PauliSum, expval
from .interop import from_cirq, from_qiskit, to_cirq, to_qiskit
from . import qasm2

__all__ = [
    "Circuit", "ClassicalRegister", "Instruction", "PauliSum", "Result", "expval", "from_cirq", "from_qiskit",
    "required_memory", "run", "statevector", "to_cirq", "to_qiskit",
]
