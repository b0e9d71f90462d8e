"""Running a circuit over the ranks of an MPI communicator: the names of
``vorn.run(..., comm=...)`` and its siblings, kept for scripts written
against them (and ``exchange_bytes=``, the split state's buffer per rank).

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
from collections.abc import Sequence
from typing import Any

import numpy as np

# The build is looked for first: without it nothing here can work, and
# importing mpi4py would start MPI in the process for nothing.
if importlib.util.find_spec("vorn._mpi_ext") is None:  # pragma: no cover - depends on the build
    raise ImportError("vorn.mpi needs vorn built with MPI: pip install . -Ccmake.define.VORN_BUILD_MPI=ON "
                      "(with Open MPI's development files, Debian's libopenmpi-dev)")
try:
    from mpi4py import MPI  # noqa: F401
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("vorn.mpi needs mpi4py: pip install mpi4py (and an MPI library such as Open MPI)") from exc

from .execution import distributed
from .execution.distributed import MpiResult, choose_split
from .execution.request import make_request
from .execution.watch import Progress
from .model.circuit import Circuit
from .model.pauli import PauliSum, observable_list

__all__ = ["MpiResult", "choose_split", "expval", "required_memory", "run"]


def run(circuit: Circuit, shots: int = 1024, seed: int | None = None, *, comm: Any = None,
        exchange_bytes: int = 0, timeout: float | None = None,
        progress: bool | Progress | None = None) -> MpiResult:
    """Collective: ``vorn.run(circuit, shots, seed, comm=comm)`` with the
    state split over the ranks of ``comm`` (COMM_WORLD when None; a
    power-of-two size); counts on rank 0.

    Args:
        circuit: the vorn.Circuit, the same on every rank.
        shots: measurement draws (counts on rank 0).
        seed: the random stream's seed, or None (rank 0's entropy).
        comm: the communicator, or None for COMM_WORLD.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB, or half
            of a rank's part when less; larger values are cut to that).
        timeout: seconds; past them the run stops at its next exchange and
            every rank is aborted with a TimeoutError message.
        progress: True for a bar on stderr, or a callable given (gates done,
            gates total); usually passed on rank 0 only.
    """
    comm = distributed.checked_comm(comm)
    request = make_request(shots=shots, seed=seed, timeout=timeout, progress=progress)
    return distributed.run_state(circuit, request, comm, exchange_bytes)


def expval(circuit: Circuit, observables: PauliSum | Sequence[PauliSum], *, comm: Any = None,
           exchange_bytes: int = 0) -> np.ndarray:
    """Collective: ``vorn.expval(circuit, observables, comm=comm)``, the
    values bit-identical to one machine's on every rank.

    Args:
        circuit: the vorn.Circuit, the same on every rank.
        observables: one vorn.PauliSum or a sequence of them.
        comm: the communicator, or None for COMM_WORLD.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB or half a part).
    """
    comm = distributed.checked_comm(comm)
    return distributed.expval(circuit, observable_list(observables), make_request(shots=0), comm, False,
                              exchange_bytes=exchange_bytes)


def required_memory(circuit: Circuit, shots: int = 0, *, ranks: int | None = None, comm: Any = None,
                    exchange_bytes: int = 0) -> int:
    """Bytes each rank allocates at the peak of a split-state run of
    ``circuit`` with ``shots`` over ``ranks`` ranks (the size of ``comm``
    when None): its part of the state, the exchange buffer, blocking scratch
    and its share of the sampler. Not collective.

    Args:
        circuit: the vorn.Circuit.
        shots: measurement draws.
        ranks: the rank count (a power of two), or None for comm's size.
        comm: the communicator whose size counts when ``ranks`` is None.
        exchange_bytes: the exchange buffer per rank (0: 16 MiB or half a part).
    """
    comm = distributed.checked_comm(comm)
    return distributed.required_memory(circuit, make_request(shots=shots), comm, exchange_bytes=exchange_bytes,
                                       ranks=ranks)
