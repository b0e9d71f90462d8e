"""vorn: an exact, fast state-vector simulator.

Build a :class:`Circuit` with Qiskit's gate names and conventions, then
:func:`run` it (counts, state vector, probabilities) or take its
:func:`statevector` directly.
"""

from .circuit import Circuit, ClassicalRegister, Instruction
from .simulation import Result, required_memory, run, statevector
from .observables import PauliSum, expval

__all__ = ["Circuit", "ClassicalRegister", "Instruction", "PauliSum", "Result", "expval", "required_memory", "run", "statevector"]
