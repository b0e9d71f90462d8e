# Type stubs of the compiled module vorn._ext (internal; use the vorn package).
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

MAX_GATE_TARGETS: int
MAX_QUBITS: int
STEP_KINDS: dict[str, int]
CHANNEL_KINDS: dict[str, int]
DEFAULT_FUSION_QUBITS: int

class RunRequest:
    """One run's options: what run_program, sweep_run, sweep_expval, expval and
    adjoint_gradients read (each the fields it serves)."""

    seed: int | None
    shots: int
    keep_shots: bool
    require_finite: bool
    fusion_qubits: int
    single_precision: bool
    threads: int
    max_live_states: int
    batch: int
    keep_state: bool
    def __init__(
        self,
        *,
        seed: int | None = None,
        shots: int = 0,
        keep_shots: bool = False,
        require_finite: bool = False,
        fusion_qubits: int = 0,
        single_precision: bool = False,
        threads: int = 0,
        max_live_states: int = 0,
        batch: int = 0,
        keep_state: bool = False,
    ) -> None: ...

class Program:
    """A circuit compiled for the engine (made by compile_program)."""

    @property
    def num_qubits(self) -> int: ...
    @property
    def global_phase(self) -> float: ...
    @property
    def samples(self) -> bool: ...
    def __len__(self) -> int: ...
    def required_memory(self, request: RunRequest) -> int: ...
    def matrix(self) -> np.ndarray: ...

def compile_program(
    num_qubits: int,
    names: Sequence[str],
    arity: Sequence[int],
    qubits: Sequence[int],
    params: Sequence[float],
    matrices: Sequence[NDArray[np.complex128]],
    global_phase: float,
    samples: bool,
) -> Program: ...
def check_unitary(matrix: NDArray[np.complex128], qubits: Sequence[int]) -> None: ...
def standard_gates() -> list[dict[str, Any]]: ...
def run_program(
    program: Program, request: RunRequest, poll: Callable[[int, int], object] | None = None
) -> tuple[NDArray[np.complex128] | NDArray[np.complex64], NDArray[np.uint64], NDArray[np.uint64],
           NDArray[np.uint64]]: ...
def run_dynamic(
    program: Program, steps: Sequence[int], finals: Sequence[int], num_clbits: int, request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
) -> tuple[NDArray[np.complex128] | NDArray[np.complex64], NDArray[np.uint64], NDArray[np.uint64],
           NDArray[np.uint64]]: ...
def expval_dynamic(
    program: Program,
    steps: Sequence[int],
    finals: Sequence[int],
    num_clbits: int,
    x_masks: NDArray[np.uint64],
    z_masks: NDArray[np.uint64],
    coeffs: NDArray[np.complex128],
    offsets: NDArray[np.uint64],
    variance: bool,
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
    max_branches: int = 0,
) -> tuple[NDArray[np.complex128], NDArray[np.float64]]: ...
def dynamic_required_memory(
    program: Program, steps: Sequence[int], finals: Sequence[int], num_clbits: int, request: RunRequest,
) -> int: ...
# (kinds, qubit counts, qubits, operator counts, matrices flat, probabilities, readout qubits, readout probabilities)
_NoiseArrays = tuple[Sequence[int], Sequence[int], Sequence[int], Sequence[int], NDArray[np.complex128],
                    Sequence[float], Sequence[int], Sequence[float]]
def run_noisy(
    program: Program, steps: Sequence[int], finals: Sequence[int], num_clbits: int, noise: _NoiseArrays,
    request: RunRequest, poll: Callable[[int, int], object] | None = None,
) -> tuple[NDArray[np.complex128] | NDArray[np.complex64], NDArray[np.uint64], NDArray[np.uint64],
           NDArray[np.uint64], int]: ...
def expval_noisy(
    program: Program,
    steps: Sequence[int],
    num_clbits: int,
    noise: _NoiseArrays,
    x_masks: NDArray[np.uint64],
    z_masks: NDArray[np.uint64],
    coeffs: NDArray[np.complex128],
    offsets: NDArray[np.uint64],
    trajectories: int,
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
) -> tuple[list[float], list[float], int]: ...
def pool_threads() -> int: ...
def probabilities(state: NDArray[np.complex128] | NDArray[np.complex64]) -> NDArray[np.float64]: ...

class Qasm2ParseError(ValueError):
    """Malformed OpenQASM 2; args: (message with place, message, line, column, file)."""

def qasm2_parse(text: str, include_path: Sequence[bytes], max_instructions: int, instruction_type: type) -> tuple: ...
def qasm2_parse_file(path: bytes, include_path: Sequence[bytes], max_instructions: int, instruction_type: type) -> tuple: ...
def qasm3_parse(
    text: str, include_path: Sequence[bytes], max_instructions: int, untrusted: Sequence[str], instruction_type: type
) -> tuple: ...
def qasm3_parse_file(
    path: bytes, include_path: Sequence[bytes], max_instructions: int, untrusted: Sequence[str], instruction_type: type
) -> tuple: ...

QASM2_GATE_NAMES: frozenset[str]
class Observables:
    """What expval, sweep_expval and adjoint_gradients measure (made by a kind: PauliSums)."""

    def __len__(self) -> int: ...
    @property
    def hermitian(self) -> bool: ...

class PauliSums(Observables):
    """Sums of Pauli strings: observable o has terms offsets[o] .. offsets[o + 1]."""

    def __init__(
        self,
        x_masks: NDArray[np.uint64],
        z_masks: NDArray[np.uint64],
        coeffs: NDArray[np.complex128],
        offsets: NDArray[np.uint64],
    ) -> None: ...

def expval(
    state: NDArray[np.complex128] | NDArray[np.complex64],
    observables: Observables,
    variance: bool,
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
) -> tuple[NDArray[np.complex128], NDArray[np.float64]]: ...

class ParametricProgram:
    """A parameterised circuit compiled once (made by compile_parametric)."""

    @property
    def num_qubits(self) -> int: ...
    @property
    def num_parameters(self) -> int: ...
    def __len__(self) -> int: ...
    def sweep_memory(self, bindings: int, request: RunRequest, keep_states: bool, mode: int = 0) -> int: ...
    def gradient_memory(self, bindings: int, observables: int, mode: int = 0) -> int: ...

def compile_parametric(
    num_qubits: int,
    names: Sequence[str],
    arity: Sequence[int],
    qubits: Sequence[int],
    params: Sequence[float],
    matrices: Sequence[NDArray[np.complex128]],
    global_phase: float,
    samples: bool,
    num_parameters: int,
    slot_gate: Sequence[int],
    slot_index: Sequence[int],
    term_offsets: Sequence[int],
    term_param: Sequence[int],
    term_coeff: Sequence[float],
    slot_constant: Sequence[float],
    has_constant: Sequence[bool],
) -> ParametricProgram: ...
def sweep_expval(
    program: ParametricProgram,
    values: NDArray[np.float64],
    observables: Observables,
    variance: bool,
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
    mode: int = 0,
) -> NDArray[np.complex128] | tuple[NDArray[np.complex128], NDArray[np.float64]]: ...
def sweep_run(
    program: ParametricProgram,
    values: NDArray[np.float64],
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
    mode: int = 0,
) -> list[tuple[NDArray[np.complex128] | NDArray[np.complex64], NDArray[np.uint64], NDArray[np.uint64],
                NDArray[np.uint64]]]: ...
def adjoint_gradients(
    program: ParametricProgram,
    values: NDArray[np.float64],
    observables: Observables,
    request: RunRequest,
    poll: Callable[[int, int], object] | None = None,
    mode: int = 0,
) -> tuple[NDArray[np.complex128], NDArray[np.float64]]: ...
def binding_seed(seed: int, index: int) -> int: ...
def python_mod(x: float, y: float) -> float: ...
def counts_dict(
    outcomes: NDArray[np.uint64],
    tally: NDArray[np.uint64],
    columns: Sequence[int],
    measured: Sequence[tuple[int, int]],
) -> dict[str, int]: ...
