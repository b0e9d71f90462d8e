"""Running a circuit with its state vector split over MPI ranks.

Start the same script on every rank, e.g. ``mpirun -n 4 python -m mpi4py
script.py``; every rank builds the same circuit and makes the same calls with
the same arguments (each function here is collective). With 2^k ranks the
top k qubits select the rank and each rank holds 2^(n-k) amplitudes plus an
exchange buffer of at most half of that. The results are bit-identical to
:func:`vorn.run`, :func:`vorn.statevector` and :func:`vorn.expval` on one
machine, for the same seed, on any power-of-two rank count.

An exception on one rank during a collective call aborts every rank (the
message is printed first), so no rank waits forever for another.

Needs mpi4py (``pip install mpi4py``, with an MPI library such as Open MPI)
and vorn built with MPI (``pip install . -Ccmake.define.VORN_BUILD_MPI=ON``);
``import vorn`` itself never needs either.
"""

from __future__ import annotations

import importlib.util
import sys
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy as np

# The build is looked for first: without it nothing here can work, and
# importing mpi4py would start MPI in the process for nothing.
if importlib.util.find_spec("vorn._mpi_ext") is None:  # pragma: no cover - depends on the build
    raise ImportError("vorn.mpi needs vorn built with MPI: pip install . -Ccmake.define.VORN_BUILD_MPI=ON "
                      "(with Open MPI's development files, Debian's libopenmpi-dev)")
try:
    from mpi4py import MPI
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vorn.mpi needs mpi4py: pip install mpi4py (and an MPI library such as Open MPI)") from exc
from . import _mpi_ext  # noqa: E402

from .execution.lowering import gate_lists as _flatten
from .execution.lowering import observable_arrays as _observable_arrays
from .execution.request import MAX_SEED as _MAX_SEED
from .execution.request import MAX_SHOTS as _MAX_SHOTS
from .execution.request import non_negative as _non_negative
from .execution.results import Clbits as _Clbits
from .execution.results import counts_dict as _counts
from .execution.watch import Progress
from .execution.watch import Watch as _Watch
from .model.circuit import Circuit
from .model.pauli import PauliSum
from .model.pauli import observable_list as _observable_list

__all__ = ["MpiResult", "expval", "required_memory", "run"]

_T = TypeVar("_T")


def _comm(comm: Any) -> Any:
    if comm is None:
        return MPI.COMM_WORLD
    if not isinstance(comm, MPI.Comm):
        raise TypeError(f"comm must be an mpi4py communicator or None, not {type(comm).__name__}")
    return comm


def _exchange_bytes(value: Any) -> int:
    return _non_negative(value, "exchange_bytes", _MAX_SHOTS)


def _program(circuit: Circuit, samples: bool) -> Any:
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if circuit.num_qubits == 0:
        raise ValueError("a circuit with no qubits cannot be run")
    return _mpi_ext.compile_program(*_flatten(circuit), samples)


def _collective(comm: Any, call: Callable[[], _T]) -> _T:
    """call(), but an exception on this rank ends every rank of ``comm``
    (after printing it) instead of leaving the others waiting."""
    try:
        return call()
    except BaseException as exc:
        if comm.Get_size() == 1:
            raise
        sys.stderr.write(f"vorn.mpi: rank {comm.Get_rank()} of {comm.Get_size()} failed: "
                         f"{type(exc).__name__}: {exc}; aborting every rank\n")
        sys.stderr.flush()
        comm.Abort(1)
        raise  # pragma: no cover - Abort does not return


class MpiResult:
    """One rank's view of a distributed run. Counts are on rank 0 (None on
    the others); :meth:`statevector` is collective."""

    __slots__ = ("_run", "_comm", "_circuit", "shots")

    def __init__(self, dist_run: Any, comm: Any, circuit: Circuit, shots: int) -> None:
        self._run = dist_run
        self._comm = comm
        self._circuit = _Clbits(circuit)
        self.shots = shots

    @property
    def rank(self) -> int:
        """This rank's number in the communicator."""
        return int(self._run.rank)

    @property
    def exchanges(self) -> int:
        """Qubit swaps between rank pairs the run made (each moves half of every part)."""
        return int(self._run.exchanges)

    @property
    def bytes_sent(self) -> int:
        """Amplitude bytes this rank sent to its partners during the run."""
        return int(self._run.bytes_sent)

    def counts(self) -> dict[str, int] | None:
        """Outcome -> count on rank 0, keyed as :meth:`vorn.Result.counts`;
        None on every other rank."""
        if self.rank != 0:
            return None
        outcomes, tally = self._run.tally()
        return _counts(self._circuit, outcomes, tally, self.shots)

    def statevector(self) -> np.ndarray | None:
        """Collective (every rank calls it): the state before the measurements
        on rank 0 (complex128, qubit 0 the least significant index bit);
        None on the other ranks, and on rank 0 too when it has no room for
        the whole state (a MemoryError is not raised: the state lives on)."""
        state = _collective(self._comm, self._run.statevector)
        if state is not None:
            state.flags.writeable = False
        return state


def run(circuit: Circuit, shots: int = 1024, seed: int | None = None, *, comm: Any = None,
        exchange_bytes: int = 0, timeout: float | None = None,
        progress: bool | Progress | None = None) -> MpiResult:
    """Collective: simulates ``circuit`` over the ranks of ``comm`` (mpi4py's
    COMM_WORLD when None; a power-of-two size) and draws ``shots`` outcomes
    from the seed's stream (rank 0's entropy when ``seed`` is None), the
    same counts as :func:`vorn.run` with that seed.

    Args:
        circuit: the vorn.Circuit, the same on every rank.
        shots: measurement draws (counts on rank 0).
        seed: the random stream's seed, or None.
        comm: the communicator, or None for COMM_WORLD.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB, or half
            of a rank's part when less; larger values are cut to that).
        timeout: seconds; past them the run stops at its next exchange and
            every rank is aborted with a TimeoutError message.
        progress: True for a bar on stderr, or a callable given (gates done,
            gates total); usually passed on rank 0 only.
    """
    comm = _comm(comm)
    shots = _non_negative(shots, "shots", _MAX_SHOTS)
    if seed is not None:
        seed = _non_negative(seed, "seed", _MAX_SEED)
    exchange_bytes = _exchange_bytes(exchange_bytes)
    watch = _Watch(timeout, progress)
    samples = shots >= 1 and any(ins.name == "measure" for ins in circuit._data) if isinstance(circuit, Circuit) else False
    program = _program(circuit, samples)

    def call() -> Any:
        try:
            out = _mpi_ext.run(program, comm.py2f(), seed, shots, exchange_bytes, True, watch.poll())
            watch.finish(len(program))
            return out
        finally:
            watch.close()

    return MpiResult(_collective(comm, call), comm, circuit, shots)


def expval(circuit: Circuit, observables: PauliSum | Sequence[PauliSum], *, comm: Any = None,
           exchange_bytes: int = 0) -> np.ndarray:
    """Collective: <psi|H|psi> for each H in ``observables``, psi the final
    state of ``circuit`` simulated over the ranks of ``comm``; bit-identical
    to :func:`vorn.expval` and returned on every rank (float64 when every
    coefficient is real, else complex128).

    Args:
        circuit: the vorn.Circuit, the same on every rank.
        observables: one vorn.PauliSum or a sequence of them.
        comm: the communicator, or None for COMM_WORLD.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB or half a part).
    """
    comm = _comm(comm)
    exchange_bytes = _exchange_bytes(exchange_bytes)
    observables = _observable_list(observables)
    program = _program(circuit, False)
    x, z, coeffs, offsets = _observable_arrays(observables, circuit.num_qubits, "the circuit")

    def call() -> np.ndarray:
        dist_run = _mpi_ext.run(program, comm.py2f(), 0, 0, exchange_bytes, False, None)
        return dist_run.expval(x, z, coeffs, offsets)

    values = _collective(comm, call)
    real = not np.any(coeffs.imag != 0)
    return np.ascontiguousarray(values.real) if real else values


def required_memory(circuit: Circuit, shots: int = 0, *, ranks: int | None = None, comm: Any = None,
                    exchange_bytes: int = 0) -> int:
    """Bytes each rank allocates at the peak of a run of ``circuit`` with
    ``shots`` over ``ranks`` ranks (the size of ``comm`` when None): its part
    of the state, the exchange buffer, blocking scratch and its share of the
    sampler. The figure every rank checks before allocating. Not collective.

    Args:
        circuit: the vorn.Circuit.
        shots: measurement draws.
        ranks: the rank count (a power of two), or None for comm's size.
        comm: the communicator whose size counts when ``ranks`` is None.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB or half a part).
    """
    shots = _non_negative(shots, "shots", _MAX_SHOTS)
    exchange_bytes = _exchange_bytes(exchange_bytes)
    if ranks is None:
        ranks = _comm(comm).Get_size()
    ranks = _non_negative(ranks, "ranks")
    if ranks == 0 or ranks & (ranks - 1):
        raise ValueError(f"ranks must be a power of two, got {ranks}")
    samples = shots >= 1 and any(ins.name == "measure" for ins in circuit._data) if isinstance(circuit, Circuit) else False
    program = _program(circuit, samples)
    if circuit.num_qubits <= ranks.bit_length() - 1:
        raise ValueError(f"a {circuit.num_qubits}-qubit circuit cannot be split over {ranks} ranks")
    return int(_mpi_ext.required_memory(program, shots, ranks, exchange_bytes))
