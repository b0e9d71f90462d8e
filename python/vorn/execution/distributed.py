"""Calls with ``comm=``: one circuit's state split over the ranks of an MPI
communicator, or a sweep's bindings split between them.

Split state: with 2^k ranks the top k qubits select the rank (vorn._mpi_ext);
gates on them swap data between rank pairs, so states, counts and values are
the single machine's bits. Split work: each rank runs a contiguous block of
a sweep's rows with the ordinary engines (row b keeps binding_seed(seed, b))
and every rank receives all rows in row order (an error in one rank's rows
is raised on every rank). The rule (:func:`choose_split`)
splits work when one binding's whole run fits the smallest rank's free
memory, and the state otherwise.

Nothing here imports mpi4py or the MPI build before a call with ``comm=``:
``import vorn`` never loads MPI.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import resource
import secrets
import sys
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

from ..model.circuit import Circuit
from ..model.pauli import PauliSum
from . import engines, sweeps
from .gradients import gradients
from .lowering import gate_lists, lower, observable_arrays
from .request import MAX_SHOTS, Request, non_negative
from .results import Clbits, counts_dict
from .watch import Watch

__all__ = ["MpiResult", "choose_split", "expval", "gradient_rows", "required_memory", "run", "statevector"]

_T = TypeVar("_T")

# Tests force a split ("work" or "state"); None lets the memory rule decide.
_FORCE: str | None = None


def native() -> Any:
    """vorn._mpi_ext, imported on first use: it is an optional build, and
    loading it starts MPI."""
    if importlib.util.find_spec("vorn._mpi_ext") is None:
        raise ImportError("comm= needs vorn built with MPI: pip install . -Ccmake.define.VORN_BUILD_MPI=ON "
                          "(with Open MPI's development files, Debian's libopenmpi-dev)")
    if importlib.util.find_spec("mpi4py") is None:
        raise ImportError("comm= needs mpi4py: pip install mpi4py (and an MPI library such as Open MPI)")
    return importlib.import_module("vorn._mpi_ext")


def checked_comm(comm: Any) -> Any:
    """``comm`` once the MPI build and mpi4py are known to be there (ImportError
    naming what is missing), and it is an mpi4py communicator (TypeError)."""
    native()
    mpi = importlib.import_module("mpi4py.MPI")
    if comm is None:
        return mpi.COMM_WORLD
    if not isinstance(comm, mpi.Comm):
        raise TypeError(f"comm must be an mpi4py communicator, not {type(comm).__name__}")
    return comm


def refuse(what: str, why: str) -> None:
    raise ValueError(f"comm= cannot be combined with {what} yet: {why}")


def collective(comm: Any, call: Callable[[], _T]) -> _T:
    """call(), but an exception on this rank ends every rank of ``comm``
    (after printing it) instead of leaving the others waiting in a collective."""
    try:
        return call()
    except BaseException as exc:
        abort(comm, exc)
        raise


def abort(comm: Any, exc: BaseException) -> None:
    """Ends every rank of ``comm`` after printing ``exc`` (nothing with one rank:
    the caller raises it)."""
    if comm.Get_size() == 1:
        return
    sys.stderr.write(f"vorn.mpi: rank {comm.Get_rank()} of {comm.Get_size()} failed: "
                     f"{type(exc).__name__}: {exc}; aborting every rank\n")
    sys.stderr.flush()
    comm.Abort(1)


# ---- the rule --------------------------------------------------------------------------


def available_bytes() -> int:
    """What this process may still allocate: the machine's available memory,
    cut to the address-space limit when one is set."""
    free = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    free = int(line.split()[1]) * 1024
    except OSError:
        pass
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    return free if soft == resource.RLIM_INFINITY else min(free, soft)


def choose_split(binding_bytes: int, smallest_free: int) -> str:
    """"work" when one binding's whole run fits the smallest rank's free
    memory (each rank then runs whole bindings, no exchanges), else "state"."""
    if _FORCE is not None:
        return _FORCE
    return "work" if binding_bytes <= smallest_free else "state"


def _agreed_split(comm: Any, binding_bytes: int) -> str:
    # Every rank must take the same branch: decided on the smallest free memory.
    return choose_split(binding_bytes, comm.allreduce(available_bytes(), op=importlib.import_module("mpi4py.MPI").MIN))


def _rows(comm: Any, count: int) -> range:
    """This rank's contiguous block of ``count`` rows (blocks in rank order)."""
    size, rank = comm.Get_size(), comm.Get_rank()
    return range(rank * count // size, (rank + 1) * count // size)


def _seed(comm: Any, seed: int | None) -> int:
    # One seed for every rank: rank 0's entropy when none is given.
    return comm.bcast(secrets.randbits(64) if comm.Get_rank() == 0 else None, root=0) if seed is None else seed


# ---- split state -------------------------------------------------------------------------


class MpiResult:
    """One rank's view of a run whose state was split over the ranks. Counts
    are on rank 0 (None on the others); :meth:`statevector` is collective.
    ``split`` is "state"."""

    __slots__ = ("_run", "_comm", "_circuit", "shots")
    split = "state"

    def __init__(self, dist_run: Any, comm: Any, circuit: Circuit, shots: int) -> None:
        self._run = dist_run
        self._comm = comm
        self._circuit = Clbits(circuit)
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
        return counts_dict(self._circuit, outcomes, tally, self.shots)

    def statevector(self) -> np.ndarray | None:
        """Collective (every rank calls it): the state before the measurements
        on rank 0 (complex128, qubit 0 the least significant index bit);
        None on the other ranks, and on rank 0 too when it has no room for
        the whole state."""
        state = collective(self._comm, self._run.statevector)
        if state is not None:
            state.flags.writeable = False
        return state


def _plain_program(circuit: Circuit, request: Request, what: str) -> Any:
    """The split-state engine's program; what it cannot serve yet is refused by name."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    if circuit.num_qubits == 0:
        raise ValueError("a circuit with no qubits cannot be run")
    for name, on, why in (
            ("memory=True", request.memory, "the split state's sampler keeps counts only"),
            ("precision='single'", request.single, "the split state is complex128"),
            ("fusion=True", request.fusion, "the split state runs the exact gate-by-gate path"),
            ("threads=", request.threads != 0, "each rank uses its whole pool (RAYON_NUM_THREADS sets it)"),
            ("trajectories=", request.trajectories is not None, "trajectories run on one machine")):
        if on:
            refuse(name, why + f" ({what})")
    if lower(circuit, samples=False).kind != "plain":
        refuse("a circuit that measures in the middle, resets or conditions",
               "the split state follows one final state")
    samples = request.shots >= 1 and any(ins.name == "measure" for ins in circuit._data)
    return native().compile_program(*gate_lists(circuit), samples)


def _exchange_bytes(value: Any) -> int:
    return non_negative(value, "exchange_bytes", MAX_SHOTS)


def run_state(circuit: Circuit, request: Request, comm: Any, exchange_bytes: int = 0) -> MpiResult:
    """One run with the state split over ``comm``'s ranks (a power of two)."""
    exchange_bytes = _exchange_bytes(exchange_bytes)
    program = _plain_program(circuit, request, "a split-state run")
    watch = Watch(request.timeout, request.progress)

    def call() -> Any:
        try:
            out = native().run(program, comm.py2f(), request.seed, request.shots, exchange_bytes, True,
                               watch.poll())
            watch.finish(len(program))
            return out
        finally:
            watch.close()

    return MpiResult(collective(comm, call), comm, circuit, request.shots)


def statevector(circuit: Circuit, request: Request, comm: Any) -> np.ndarray | None:
    """Collective: the whole state on rank 0, None on the others."""
    return run_state(circuit, request._replace(shots=0, seed=0), comm).statevector()


def _expval_state(circuit: Circuit, observables: list[PauliSum], request: Request, comm: Any,
                  exchange_bytes: int = 0) -> np.ndarray:
    exchange_bytes = _exchange_bytes(exchange_bytes)
    program = _plain_program(circuit, request._replace(shots=0), "a split-state expectation value")
    x, z, coeffs, offsets = observable_arrays(observables, circuit.num_qubits, "the circuit")

    def call() -> np.ndarray:
        return native().run(program, comm.py2f(), 0, 0, exchange_bytes, False, None).expval(x, z, coeffs, offsets)

    values = collective(comm, call)
    return np.ascontiguousarray(values.real) if not np.any(coeffs.imag != 0) else values


# ---- split work ----------------------------------------------------------------------------


class SplitRows(list):
    """A sweep's results, one per row in row order, on every rank; ``split``
    says whether the ranks shared the rows ("work") or each row's state ("state")."""

    split = "work"

    def __init__(self, rows: Any, split: str) -> None:
        super().__init__(rows)
        self.split = split


class SplitArray(np.ndarray):
    """An array of values whose ``split`` attribute says how the ranks shared the call."""

    split = "work"

    def __array_finalize__(self, obj: Any) -> None:
        self.split = getattr(obj, "split", "work")


def tagged(array: np.ndarray, split: str) -> np.ndarray:
    out = np.asarray(array).view(SplitArray)
    out.split = split
    out.flags.writeable = array.flags.writeable if isinstance(array, np.ndarray) else True
    return out


def _gather_rows(comm: Any, work: Callable[[], list[Any]]) -> list[Any]:
    """Every rank's block of rows (``work()`` on each), concatenated in rank
    (= row) order, on every rank. A rank whose block fails sends its error
    instead, and every rank raises it (the same type, naming the rank): the
    gather is the only collective, so no rank is left waiting."""
    try:
        local: Any = (True, work())
    except Exception as exc:
        local = (False, (type(exc), f"rank {comm.Get_rank()} of {comm.Get_size()} failed: "
                                    f"{type(exc).__name__}: {exc}"))
        failure: BaseException | None = exc
    except BaseException as exc:
        # Ctrl-C or an exit: this rank will not reach the gather, so all end here.
        abort(comm, exc)
        raise
    else:
        failure = None
    blocks = comm.allgather(local)
    for ok, payload in blocks:
        if not ok:
            if failure is not None:
                raise failure
            kind, message = payload
            try:
                error = kind(message)
            except Exception:
                error = RuntimeError(message)
            raise error from None
    return [row for _, block in blocks for row in block]


def _binding_bytes(circuit: Circuit, values: np.ndarray, request: Request, observables: int | None,
                   gradient: bool = False) -> int:
    return sweeps.required_memory(circuit, values[:1], request, observables, gradient)


def run(circuit: Circuit, request: Request, comm: Any, params: Any = None, noise: Any = None,
        exchange_bytes: int = 0) -> Any:
    """vorn.run(..., comm=): one circuit's state split over the ranks, or a
    sweep's rows split between them (the rule decides; ``split`` says which)."""
    if params is None:
        if noise is not None:
            refuse("noise= without params=", "a noisy run of one circuit runs on one machine")
        return run_state(circuit, request, comm, exchange_bytes)
    values, one = sweeps.values_of(params, len(lower(circuit, samples=False, parametric=True).order))
    request = request._replace(seed=_seed(comm, request.seed))
    bound = [circuit.assign_parameters(row) for row in values]
    seeds = [sweeps.binding_seed(request.seed, b) for b in range(len(values))]
    split = _agreed_split(comm, _binding_bytes(circuit, values, request, None))
    if split == "state":
        if noise is not None:
            refuse("noise= on bindings too large for one rank", "noisy runs need each binding's whole state")
        results = [run_state(c, request._replace(seed=s), comm, exchange_bytes) for c, s in zip(bound, seeds)]
        return results[0] if one else SplitRows(results, "state")
    deadline = Watch(request.timeout, None).deadline

    def mine() -> list[Any]:
        return [engines.run(bound[b], request._replace(seed=seeds[b]), noise,
                            watch=Watch(request.timeout, request.progress, deadline=deadline))
                for b in _rows(comm, len(values))]

    results = _gather_rows(comm, mine)
    return results[0] if one else SplitRows(results, "work")


def expval(circuit: Circuit, observables: list[PauliSum], request: Request, comm: Any, variance: bool,
           params: Any = None, noise: Any = None, exchange_bytes: int = 0) -> Any:
    """vorn.expval / vorn.variance with comm= (values on every rank)."""
    if params is None:
        if variance:
            refuse("variance=True without params=", "the split state evaluates <H> only")
        if noise is not None or request.seed is not None:
            refuse("noise= or seed= without params=", "trajectories of one circuit run on one machine")
        return tagged(_expval_state(circuit, observables, request, comm, exchange_bytes), "state")
    values, one = sweeps.values_of(params, len(lower(circuit, samples=False, parametric=True).order))
    sampled = noise is not None or request.trajectories is not None
    if sampled:
        request = request._replace(seed=_seed(comm, request.seed))
    split = _agreed_split(comm, _binding_bytes(circuit, values, request, len(observables)))
    if split == "state":
        if variance or sampled:
            refuse("variance=True, noise= or trajectories= on bindings too large for one rank",
                   "the split state evaluates <H> of one final state")
        rows = [_expval_state(circuit.assign_parameters(row), observables, request, comm, exchange_bytes)
                for row in values]
        return tagged(rows[0] if one else np.array(rows), "state")

    def mine() -> list[Any]:
        rows = _rows(comm, len(values))
        if not len(rows):
            return []
        if sampled:
            # Trajectories keyed by the binding's own row, as on one machine.
            return [engines.expval_circuit(circuit.assign_parameters(values[b]), observables,
                                           request._replace(seed=sweeps.binding_seed(request.seed, b)),
                                           False, noise) for b in rows]
        out = sweeps.sweep_expval(circuit, observables, values[rows.start:rows.stop], request, variance, noise)
        return list(zip(*out)) if variance else list(out)

    gathered = _gather_rows(comm, mine)
    shape = (len(values), len(observables))  # also when there are no rows
    if sampled or variance:
        pair = (np.array([r[0] for r in gathered]).reshape(shape), np.array([r[1] for r in gathered]).reshape(shape))
        return (tagged(pair[0][0], "work"), tagged(pair[1][0], "work")) if one else \
            (tagged(pair[0], "work"), tagged(pair[1], "work"))
    out = np.array(gathered).reshape(shape)
    return tagged(out[0] if one else out, "work")


def gradient_rows(circuit: Circuit, observables: list[PauliSum], params: Any, request: Request, comm: Any
                  ) -> tuple[np.ndarray, np.ndarray, bool]:
    """value_and_grad / jacobian with comm=: each rank its block of rows
    (the adjoint method needs each binding's whole states on one rank)."""
    if not isinstance(circuit, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(circuit).__name__}")
    values, one = sweeps.values_of(params, len(lower(circuit, samples=False, parametric=True).order))
    split = _agreed_split(comm, _binding_bytes(circuit, values, request, len(observables), True))
    if split == "state":
        refuse("gradients of bindings too large for one rank", "the adjoint method needs each binding's "
               "states on one rank")

    def mine() -> list[Any]:
        rows = _rows(comm, len(values))
        if not len(rows):
            return []
        vals, jac, _ = gradients(circuit, observables, values[rows.start:rows.stop], request)
        return list(zip(vals, jac))

    gathered = _gather_rows(comm, mine)
    shape = (len(values), len(observables))  # also when there are no rows
    return (tagged(np.array([g[0] for g in gathered]).reshape(shape), "work"),
            tagged(np.array([g[1] for g in gathered]).reshape(shape + (values.shape[1],)), "work"), one)


def required_memory(circuit: Circuit, request: Request, comm: Any, params: Any = None,
                    observables: int | None = None, gradient: bool = False, exchange_bytes: int = 0,
                    ranks: int | None = None) -> int:
    """Bytes each rank allocates at the peak of the call with comm=: its part
    of the state (split state), or its block of bindings (split work)."""
    size = comm.Get_size() if ranks is None else non_negative(ranks, "ranks")
    if params is not None:
        values, _ = sweeps.values_of(params, len(lower(circuit, samples=False, parametric=True).order))
        one = _binding_bytes(circuit, values, request, observables, gradient)
        if choose_split(one, available_bytes()) == "work":  # this rank's view: not a collective call
            share = -(-len(values) // size)
            return sweeps.required_memory(circuit, values[:share], request, observables, gradient)
        if gradient:
            refuse("gradients of bindings too large for one rank", "the adjoint method needs each binding's "
                   "states on one rank")
        circuit = circuit.assign_parameters(values[0])
    exchange_bytes = _exchange_bytes(exchange_bytes)
    if size == 0 or size & (size - 1):
        raise ValueError(f"ranks must be a power of two, got {size}")
    program = _plain_program(circuit, request, "a split-state run")
    if circuit.num_qubits <= size.bit_length() - 1:
        raise ValueError(f"a {circuit.num_qubits}-qubit circuit cannot be split over {size} ranks")
    return int(native().required_memory(program, request.shots, size, exchange_bytes))
