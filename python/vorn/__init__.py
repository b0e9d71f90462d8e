"""vorn: an exact, fast state-vector simulator.

Build a :class:`Circuit` with Qiskit's gate names and conventions, then
:func:`run` it (counts, state vector, probabilities), take its
:func:`statevector`, or its :func:`expval` of :class:`PauliSum` observables.

More in the subpackages: :mod:`vorn.noise` (noise models, trajectories),
:mod:`vorn.qasm2` and :mod:`vorn.qasm3` (OpenQASM), :mod:`vorn.qiskit`
(Qiskit's primitives and a backend), :mod:`vorn.cirq` (a Cirq simulator),
:mod:`vorn.pennylane` (the ``vorn.qubit`` device) and :mod:`vorn.mpi`
(a state split over MPI ranks).
"""

from importlib import metadata as _metadata

from . import noise, qasm2, qasm3
from .api import expval, jacobian, required_memory, run, statevector, value_and_grad, variance
from .execution.results import Result
from .execution.sweeps import binding_seed
from .interop.circuits import from_cirq, from_qiskit, to_cirq, to_qiskit
from .model.circuit import Circuit
from .model.instructions import ClassicalRegister, IfElse, Instruction
from .model.parameters import Parameter, ParameterExpression, ParameterVector, ParameterVectorElement
from .model.pauli import PauliSum

try:  # the version has one home, pyproject.toml, read from the installed metadata
    __version__ = _metadata.version("vorn-python")
except _metadata.PackageNotFoundError:  # pragma: no cover - imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "Circuit", "ClassicalRegister", "IfElse", "Instruction", "Parameter", "ParameterExpression", "ParameterVector",
    "ParameterVectorElement", "PauliSum", "Result", "binding_seed", "expval", "from_cirq", "from_qiskit", "jacobian",
    "required_memory", "run", "statevector", "to_cirq", "to_qiskit", "value_and_grad", "variance",
]
