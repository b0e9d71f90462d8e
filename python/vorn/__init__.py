"""vorn: an exact, fast state-vector simulator.

Build a :class:`Circuit` with Qiskit's gate names and conventions, then
:func:`run` it (counts, state vector, probabilities) or take its
:func:`statevector` directly.
"""

from importlib import metadata as _metadata

from .circuit import Circuit, ClassicalRegister, IfElse, Instruction
from .simulation import Result, required_memory, run, statevector
from .observables import PauliSum, expval
from .interop import from_cirq, from_qiskit, to_cirq, to_qiskit
from .parameters import Parameter, ParameterExpression, ParameterVector, ParameterVectorElement
from .sweeps import binding_seed
from .gradients import jacobian, value_and_grad
from . import noise, qasm2

try:  # the version has one home, pyproject.toml, read from the installed metadata
    __version__ = _metadata.version("vorn-python")
except _metadata.PackageNotFoundError:  # pragma: no cover - imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Circuit", "ClassicalRegister", "IfElse", "Instruction", "Parameter", "ParameterExpression", "ParameterVector",
    "ParameterVectorElement", "PauliSum", "Result", "binding_seed", "expval", "from_cirq", "from_qiskit", "jacobian",
    "required_memory", "run", "statevector", "to_cirq", "to_qiskit", "value_and_grad",
]
