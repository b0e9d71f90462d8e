"""vorn's entry points: the one place that turns a call into a checked
request, converts a Qiskit or Cirq circuit, and picks the engine.

Which combinations of a circuit's kind and the options work, and which are
refused (ValueError naming both), is decided in execution/request.py's
table; nothing is dropped silently.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .execution import distributed, engines, sweeps
from .execution.gradients import gradients
from .execution.request import DEFAULT_SHOTS, Request, make_request, refuse_unserved
from .execution.results import Result
from .execution.watch import Progress, Watch
from .interop.circuits import toolkit_params
from .interop.cirq_observables import as_vorn_observables
from .interop.qiskit_layout import Layout, as_simulated
from .model.circuit import Circuit
from .model.pauli import PauliSum, observable_list

__all__ = ["expval", "jacobian", "required_memory", "run", "statevector", "value_and_grad", "variance"]


def _circuit(circuit: Any, params: Any = None) -> tuple[Circuit, Layout, Any]:
    """The circuit to simulate, its layout (a Qiskit circuit only on the
    qubits it acts on; results come back in its own numbering) and the
    sweep's values (a Cirq resolver or sweep as rows by symbol name)."""
    converted, layout = as_simulated(circuit)
    if not isinstance(converted, Circuit):
        raise TypeError(f"expected a vorn.Circuit, not {type(converted).__name__}")
    params = toolkit_params(circuit, converted, params)
    return converted, layout or Layout(converted.num_qubits, range(converted.num_qubits)), params


def run(circuit: Circuit, shots: int = DEFAULT_SHOTS, seed: int | None = None, *, memory: bool = False,
        timeout: float | None = None, progress: bool | Progress | None = None, threads: int | None = None,
        fusion: bool = False, params: Any = None, noise: Any = None, precision: str = "double",
        comm: Any = None) -> Result | list[Result]:
    """Simulates ``circuit`` once and draws ``shots`` measurement outcomes from
    the final state, as Qiskit's samplers do with the measurements at the end.

    A circuit that measures in the middle, resets or conditions on clbits
    (``if_test``) runs every shot as Qiskit Aer does, by branching: at each
    measurement the shots split between the outcomes (one binomial draw) and
    the state is copied only when both get shots. Its result gives counts,
    memory and marginal counts as any run; its ``statevector()`` only with
    ``shots=1``. The same seed gives the same counts and memory.

    The interpreter lock is released while the run simulates; Ctrl-C ends it
    promptly (KeyboardInterrupt). Everything the result needs (gates,
    measurements, registers) is taken from ``circuit`` when the run starts:
    changes made meanwhile (by ``progress`` or another thread) reach later
    runs only.

    Args:
        circuit: the vorn.Circuit to run (a Qiskit ``QuantumCircuit`` or a Cirq
            circuit is converted first, as :func:`vorn.from_qiskit` /
            :func:`vorn.from_cirq` do).
        shots: how many outcomes to draw (0 to 2**64 - 1; default 1024). With
            no measurement in the circuit nothing is drawn and every clbit
            reads 0.
        seed: an integer from 0 to 2**64 - 1 keys the random stream, so the
            same seed gives the same outcomes (as vorn_python's run); None
            draws the key from the system's entropy.
        memory: keep every shot's outcome in shot order, for
            :meth:`Result.memory` (8 bytes a shot, counted by
            :func:`required_memory` and the run's memory check).
        timeout: seconds after which the run ends with TimeoutError (None:
            no limit).
        progress: True shows a bar on stderr (tqdm when installed); a callable
            receives (gates done, gates total) on this thread at most ten
            times a second, and an exception it raises ends the run.
        threads: at most this many threads of the pool work on the run, from
            1 to the pool's size (RAYON_NUM_THREADS, else the processors);
            None for all. Results are bit-identical whatever it is.
        fusion: merge gates into dense gates on up to three qubits (diagonal
            gates into one diagonal of up to ten) before simulating, wherever
            the merged gate, forming its matrix included, is predicted to cost
            less than the gates apart (nothing merges below 12 qubits): faster
            where gates pile up on few qubits, about the exact path's time
            elsewhere. It trades the exact bits: amplitudes of a merged run
            differ from the exact default path by rounding (still the same
            bits on any thread count). Default False: the exact path.
        params: for a circuit with parameters (at the top level or inside
            ``if_test`` blocks), values of shape (bindings, num_parameters),
            columns in ``circuit.parameters`` order: row b is run seeded
            with ``vorn.binding_seed(seed, b)`` (so it equals running the
            bound circuit alone with that seed); a 1-D array is one binding.
            For a Cirq circuit with sympy symbols also Cirq's values: a
            ``cirq.ParamResolver`` or ``{name: value}`` dict (one binding)
            or a sweep (``cirq.Points``, ``Linspace``, ``Zip``,
            ``Product``, a list of resolvers: one row per point).
        noise: a :class:`vorn.noise.NoiseModel`: every shot runs as one
            quantum trajectory (see :mod:`vorn.noise`); the result has counts
            and memory but no state, and ``distinct_paths``, the number of
            final states simulated. With ``params``, each binding runs its
            own trajectories, seeded by binding; ``progress`` then counts
            trajectories finished.
        precision: "double" (default: complex128 state) or "single": a
            complex64 state in half the memory (one more qubit in the same
            RAM), gates in float arithmetic (matrices rounded to float),
            probabilities and sampling sums formed in double; amplitudes
            carry float rounding (within 1e-5 of double on the tests' and
            benchmark circuits), still the same bits on any thread count and
            instruction set.
        comm: an mpi4py communicator (every rank makes the same call): one
            circuit's state is split over its ranks; with ``params`` the
            rows are split between them when one binding fits a rank, else
            each row's state (see the README's MPI section). Options the
            ranks cannot serve yet are refused (ValueError naming ``comm=``
            and the option).

    Returns:
        A :class:`Result`; with a 2-D ``params``, a list of one per row.
        With ``comm``: a ``vorn.mpi.MpiResult`` (counts on rank 0) when the
        state was split, or with ``params`` a list on every rank whose
        ``split`` attribute says "work" (each rank ran a block of rows) or
        "state" (each row's state split over the ranks).

    Raises:
        MemoryError: the run needs more memory than the machine (or the
            process's limits) allow; refused before the first gate.
        ValueError: the final state's probabilities are not all finite (a
            NaN or infinite angle upstream), an argument is out of range, or
            two options no engine combines (both named).

    Example:
        >>> c = vorn.Circuit(2, 2); c.h(0); c.cx(0, 1); c.measure([0, 1], [0, 1])
        >>> vorn.run(c, shots=100, seed=1).counts()  # doctest: +SKIP
        {'00': 52, '11': 48}
    """
    if comm is not None:
        comm = distributed.checked_comm(comm)
    circuit, layout, params = _circuit(circuit, params)
    request = make_request(shots=shots, seed=seed, memory=memory, threads=threads, fusion=fusion,
                           precision=precision, timeout=timeout, progress=progress)
    if noise is not None:
        refuse_unserved(request, ("noise",))
    if comm is not None:
        _one_numbering(layout)
        return distributed.run(circuit, request, comm, params, layout.noise(noise))
    with layout.sized():
        if params is not None:
            results = sweeps.sweep_run(circuit, params, request, layout.noise(noise))
        else:
            results = engines.run(circuit, request, layout.noise(noise))
    if layout.is_compact:
        for result in results if isinstance(results, list) else [results]:
            result._widen = layout.widen
    return results


def statevector(circuit: Circuit, *, timeout: float | None = None, progress: bool | Progress | None = None,
                threads: int | None = None, fusion: bool = False, precision: str = "double",
                comm: Any = None) -> np.ndarray:
    """The state after every gate of ``circuit`` (measurements are ignored),
    as Qiskit's ``Statevector(circuit)`` with the global phase. A circuit
    that measures in the middle, resets or conditions has no one state
    (ValueError): ``run(circuit, shots=1).statevector()`` gives one shot's.

    Args:
        circuit: the vorn.Circuit to simulate (or a Qiskit or Cirq circuit,
            converted first as for :func:`run`).
        timeout: seconds after which the simulation ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (gates
            done, gates total), as for :func:`run`.
        threads: at most this many threads of the pool (1 to its size; None
            for all); the state is bit-identical whatever it is.
        fusion: merge gates into dense ones first, as for :func:`run`
            (rounding-level differences from the exact default).
        precision: "double" (default) or "single", as for :func:`run`.
        comm: an mpi4py communicator: the state is split over its ranks
            (a collective call; the whole state comes back on rank 0, None on
            the others).

    Returns:
        A read-only complex128 array (complex64 with precision="single") of
        2**num_qubits amplitudes, qubit 0 the least significant bit of the
        index.
    """
    if comm is not None:
        comm = distributed.checked_comm(comm)
    circuit, layout, _ = _circuit(circuit)
    request = make_request(shots=0, threads=threads, fusion=fusion, precision=precision, timeout=timeout,
                           progress=progress)
    if comm is not None:
        _one_numbering(layout)
        return distributed.statevector(circuit, request, comm)
    with layout.sized():
        state = engines.statevector(circuit, request)
    return layout.widen(state)


def _given_state(state: np.ndarray, request: Request) -> np.ndarray:
    refuse_unserved(request, ("state",))
    if state.dtype != np.complex128:
        raise ValueError(f"the state vector must have dtype complex128, not {state.dtype}")
    if state.ndim != 1:
        raise ValueError(f"the state vector must be one-dimensional, got shape {state.shape}")
    if state.size < 2 or state.size & (state.size - 1):
        raise ValueError(f"the state vector's length {state.size} is not a power of two >= 2")
    if not state.flags.c_contiguous:
        raise ValueError("the state vector must be contiguous (it is read in place, not copied)")
    return state


def _one_numbering(layout: Layout) -> None:
    if layout.is_compact:
        raise ValueError("comm= cannot be combined with a Qiskit circuit laid out on a device's qubits yet: the "
                         "ranks simulate the qubits it names")


def _expectation(c: Any, observables: Any, variance: bool, timeout: Any, progress: Any, threads: Any,
                 fusion: Any, params: Any, noise: Any, trajectories: Any, seed: Any, precision: Any,
                 comm: Any = None) -> Any:
    if comm is not None:
        comm = distributed.checked_comm(comm)
        if isinstance(c, np.ndarray):
            raise ValueError("comm= cannot be combined with a given state vector: the ranks split a circuit's "
                             "simulation")
    observables = as_vorn_observables(observables, c)
    layout = None
    if not isinstance(c, np.ndarray):
        original = c
        c, layout = as_simulated(c)
        params = toolkit_params(original, c, params)
    if not isinstance(c, (Circuit, np.ndarray)):
        raise TypeError(f"expected a vorn.Circuit or a complex128 state vector, not {type(c).__name__}")
    request = make_request(shots=0, seed=seed, threads=threads, fusion=fusion, precision=precision,
                           timeout=timeout, progress=progress, trajectories=trajectories)
    if layout is not None:  # a Qiskit circuit: its observables on the qubits simulated
        with layout.sized():
            return _expectation(c, layout.observables(observables), variance, timeout, progress, threads, fusion,
                                params, layout.noise(noise), trajectories, seed, precision, comm)
    observables = observable_list(observables)
    if isinstance(c, np.ndarray):
        if params is not None or noise is not None or trajectories is not None or seed is not None:
            raise ValueError("a given state vector takes no params=, noise=, trajectories= or seed=: they say how "
                             "a circuit is simulated")
        state = _given_state(c, request)
        return engines.expval_state(state, observables, request, variance,
                                    Watch(request.timeout, request.progress, unit="leaf"))
    if noise is not None:
        refuse_unserved(request, ("noise",), variance=variance)
    if comm is not None:
        return distributed.expval(c, observables, request, comm, variance, params, noise)
    if params is not None:
        return sweeps.sweep_expval(c, observables, params, request, variance, noise)
    return engines.expval_circuit(c, observables, request, variance, noise)


def expval(c: Any, observables: PauliSum | list[PauliSum], variance: bool = False, *,
           timeout: float | None = None, progress: bool | Progress | None = None, threads: int | None = None,
           fusion: bool = False, params: Any = None, noise: Any = None, trajectories: int | None = None,
           seed: int | None = None, precision: str = "double", comm: Any = None) -> Any:
    """<psi|H|psi> for each H in ``observables``, psi the final state of a
    vorn.Circuit or a state vector read in place (as Qiskit's
    ``Statevector.expectation_value``).

    A circuit that measures in the middle, resets or conditions gives the
    exact expectation over its measurement outcomes: every outcome with
    non-zero probability is followed, weighted by its probability (final
    measurements are ignored, as for any circuit). Past a cap on the
    branches (4096 outcome patterns) that is refused with a ValueError that
    points to ``trajectories=N``, which gives the mean over N sampled
    trajectories and its standard error instead.

    The interpreter lock is released during the evaluation; Ctrl-C ends it
    promptly (KeyboardInterrupt), checked between leaves of the fixed
    summation tree, so a finished evaluation is bit-identical to one that
    could not be interrupted.

    Args:
        c: a vorn.Circuit (simulated first, as :func:`vorn.statevector`; a
            Qiskit or Cirq circuit is converted first) or a one-dimensional,
            contiguous complex128 array of 2**n amplitudes.
        observables: a :class:`PauliSum` or a sequence of them, each on the
            state's n qubits; a Qiskit ``SparsePauliOp`` or ``Pauli`` counts
            as one (converted with :meth:`PauliSum.from_qiskit`), and so does
            a ``cirq.PauliSum`` or ``cirq.PauliString``: on a Cirq circuit
            it names the circuit's qubits, on a vorn circuit or a state
            vector ``cirq.LineQubit(i)`` is qubit n - 1 - i (as
            :func:`vorn.to_cirq` names them).
        variance: also return the variance <H^2> - <H>^2 of each (real
            coefficients only; over the outcomes' mixture for a dynamic
            circuit).
        timeout: seconds after which the call (simulation and evaluation
            together) ends with TimeoutError (None: no limit).
        progress: True shows a bar on stderr; a callable receives (done,
            total) on this thread at most ten times a second: gates while a
            circuit is simulated, then leaves of the reduction.
        threads: at most this many threads of the pool (1 to its size; None
            for all); the values are bit-identical whatever it is.
        fusion: simulate a circuit with gate fusion (see :func:`vorn.run`;
            rounding-level differences from the exact default).
        params: for a circuit with parameters, an array of shape (bindings,
            num_parameters), columns in ``c.parameters`` order (a 1-D array is
            one binding): row b's values are bit-identical to
            ``expval(c.assign_parameters(params[b]), observables)``. A
            Cirq circuit takes Cirq's resolvers and sweeps, as for
            :func:`run`.
        noise: a :class:`vorn.noise.NoiseModel`: the mean of <H> over
            ``trajectories`` quantum trajectories of the circuit (real
            coefficients; mid-circuit measurements collapse, final ones are
            ignored, errors attached to them still act), with its standard
            error. With ``params``, each binding its own trajectories seeded
            with ``vorn.binding_seed(seed, b)``.
        trajectories: the number of sampled trajectories (at least 2): with
            ``noise`` (default 1000), or for a dynamic circuit instead of the
            exact branch sum.
        seed: with ``noise`` or ``trajectories``, keys the trajectories'
            streams (as for :func:`vorn.run`; None: from the system's entropy).
        precision: "double" (default) or "single": simulate the circuit on a
            complex64 state (see :func:`vorn.run`); the evaluation reads each
            float amplitude exactly in double and sums in double through the
            same fixed tree.
        comm: an mpi4py communicator (a collective call; values on every
            rank): without ``params`` the state is split over its ranks;
            with ``params`` the rule splits the rows between the ranks when
            one binding fits a rank (``result.split == "work"``), else each
            row's state. Options the ranks cannot serve yet are refused
            (ValueError naming ``comm=`` and the option).

    Returns:
        A NumPy array with one entry per observable: float64 when every
        coefficient of every observable has a zero imaginary part, complex128
        otherwise; with ``variance=True`` the pair ``(values, variances)``.
        With ``params`` of shape (B, P), arrays of shape (B, observables).
        With ``noise`` or ``trajectories``, the pair ``(means,
        standard_errors)`` of float64 arrays.

    Example:
        >>> c = vorn.Circuit(2); c.h(0); c.cx(0, 1)
        >>> vorn.expval(c, vorn.PauliSum.from_list([("ZZ", 1.0), ("XI", 0.5)]))
        array([1.])
    """
    return _expectation(c, observables, bool(variance), timeout, progress, threads, fusion, params, noise,
                        trajectories, seed, precision, comm)


def variance(c: Any, observables: PauliSum | list[PauliSum], *, timeout: float | None = None,
             progress: bool | Progress | None = None, threads: int | None = None, fusion: bool = False,
             params: Any = None, precision: str = "double", comm: Any = None) -> np.ndarray:
    """The variance <H^2> - <H>^2 of each observable: ``expval(...,
    variance=True)[1]``.

    Args:
        c: a vorn.Circuit (or a Qiskit or Cirq circuit) or a state vector, as
            for :func:`expval`.
        observables: a :class:`PauliSum` (real coefficients) or a sequence of them.
        timeout: seconds after which the call ends with TimeoutError.
        progress: True for a bar on stderr, or a callable (done, total).
        threads: at most this many threads of the pool (None: all).
        fusion: simulate with gate fusion (see :func:`vorn.run`).
        params: a sweep's values, as for :func:`expval`: shape (bindings, observables) out.
        precision: "double" (default) or "single".
        comm: an mpi4py communicator: with ``params``, rows split between
            its ranks as for :func:`expval` (without, refused: the split
            state evaluates <H> only).

    Returns:
        A float64 array, one entry per observable (per binding and observable with ``params``).
    """
    return _expectation(c, observables, True, timeout, progress, threads, fusion, params, None, None, None,
                        precision, comm)[1]


def required_memory(circuit: Circuit, shots: int = DEFAULT_SHOTS, *, memory: bool = False, params: Any = None,
                    observables: int | None = None, gradient: bool = False, precision: str = "double",
                    comm: Any = None, ranks: int | None = None) -> int:
    """Bytes a run of ``circuit`` with ``shots`` allocates at its peak: the
    state, the gather buffers of blocked runs, the sampler and, with
    ``memory=True``, every shot's outcome. For a circuit that measures in
    the middle, resets or conditions, also every branch state the run can
    hold at once (one per measurement on a shot's way, at most shots - 1);
    where less memory is free, the run keeps fewer and recomputes the others
    from the start (the same results, more time), so it checks up front
    only for one state and the buffers. The figure the run's own memory
    check compares with what the machine and the process's limits allow.

    Args:
        circuit: the vorn.Circuit to be run (or a Qiskit or Cirq circuit,
            converted first as for :func:`run`).
        shots: as for :func:`run` (default 1024, run's default).
        memory: as for :func:`run`.
        params: the values of a sweep (as for :func:`run`): the figure of
            ``run(..., params=params)``, or with ``observables`` (a count) of
            ``expval(..., params=params)``.
        observables: how many observables an expval sweep or a gradient takes.
        gradient: the figure of :func:`vorn.value_and_grad` /
            :func:`vorn.jacobian` with ``params`` and ``observables``: two
            states plus one per observable, per binding running at once.
        precision: "double" (default) or "single": the figure of a run with
            that precision (a complex64 state is half the bytes).
        comm: an mpi4py communicator: the figure per rank of the same call
            with ``comm=`` (its part of a split state, or its block of rows).
            Not a collective call.
        ranks: with ``comm``, the rank count to figure for (a power of two
            for a split state) instead of the communicator's size.

    Returns:
        The number of bytes.
    """
    if comm is not None:
        comm = distributed.checked_comm(comm)
    elif ranks is not None:
        raise ValueError("ranks= needs comm=: it says over how many ranks the call would be split")
    circuit, _, params = _circuit(circuit, params)
    request = make_request(shots=shots, memory=memory, precision=precision)
    if comm is not None:
        return distributed.required_memory(circuit, request, comm, params, observables, gradient, ranks=ranks)
    if params is not None:
        return sweeps.required_memory(circuit, params, request, observables, gradient)
    return engines.required_memory(circuit, request)


def _gradient_call(circuit: Any, observables: Any, params: Any, timeout: Any, progress: Any, threads: Any,
                   noise: Any, comm: Any = None) -> tuple[np.ndarray, np.ndarray, bool]:
    if comm is not None:
        comm = distributed.checked_comm(comm)
    circuit, layout, params = _circuit(circuit, params)
    request = make_request(shots=0, threads=threads, timeout=timeout, progress=progress)
    if noise is not None:
        raise ValueError("value_and_grad does not take noise: the adjoint method differentiates one pure state, "
                         "and a noisy value is a trajectory average whose operator choices are sampled; use "
                         "finite differences of vorn.expval(..., noise=..., seed=...) instead")
    with layout.sized():
        if comm is not None:
            return distributed.gradient_rows(circuit, observable_list(layout.observables(observables)), params,
                                             request, comm)
        return gradients(circuit, layout.observables(observables), params, request)


def value_and_grad(circuit: Circuit, observable: PauliSum, params: Any, *, timeout: float | None = None,
                   progress: bool | Progress | None = None, threads: int | None = None,
                   noise: Any = None, comm: Any = None) -> tuple[Any, np.ndarray]:
    """<H> and its gradient with respect to the circuit's parameters, by the
    adjoint method, for every row of ``params``.

    The values are bit-identical to ``vorn.expval(circuit, H, params=params)``;
    the gradient is exact up to rounding (no sampling, no finite step). The
    interpreter lock is released; Ctrl-C, ``timeout`` and ``progress`` work as
    for :func:`vorn.run`, and results are bit-identical for any ``threads``.

    Args:
        circuit: a vorn.Circuit of gates, or a Qiskit or Cirq circuit
            (measurements, if any, at the end; they are ignored).
        observable: one observable with real coefficients: a
            :class:`vorn.PauliSum`, or a Qiskit ``SparsePauliOp`` / ``Pauli``.
        params: shape (bindings, num_parameters), columns in
            ``circuit.parameters`` order; a 1-D array is one binding.
        timeout: seconds after which the call ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (steps
            done, steps total).
        threads: at most this many threads of the pool (None: all).
        noise: refused (ValueError) when given: the adjoint method needs one
            pure state, and a trajectory estimate's gradient would differentiate
            the sampled operator choices; use finite differences of
            ``vorn.expval(..., noise=...)`` with a fixed seed instead.
        comm: an mpi4py communicator (a collective call): the rows of
            ``params`` split between its ranks, results on every rank.

    Returns:
        ``(E, G)``: E of shape (bindings,) and G of shape (bindings,
        num_parameters); for a 1-D ``params`` a float and a vector.

    Example:
        >>> th = vorn.Parameter("th"); c = vorn.Circuit(1); c.ry(th, 0)
        >>> vorn.value_and_grad(c, vorn.PauliSum.from_list([("Z", 1.0)]), [0.5])  # doctest: +SKIP
        (0.8775825618903728, array([-0.47942554]))
    """
    listed = observable_list(observable) if not isinstance(observable, (list, tuple)) else None
    if listed is None or len(listed) != 1:
        raise TypeError(f"value_and_grad takes one vorn.PauliSum (or a Qiskit SparsePauliOp or Pauli), not "
                        f"{type(observable).__name__} (vorn.jacobian takes several)")
    values, jac, one = _gradient_call(circuit, listed, params, timeout, progress, threads, noise, comm)
    if one:
        return float(values[0, 0]), jac[0, 0]
    return values[:, 0], jac[:, 0, :]


def jacobian(circuit: Circuit, observables: PauliSum | list[PauliSum], params: Any, *,
             timeout: float | None = None, progress: bool | Progress | None = None,
             threads: int | None = None, comm: Any = None) -> np.ndarray:
    """d<H_o>/d parameter for every observable and every row of ``params``,
    by the adjoint method (one forward pass and one backward pass per binding,
    carrying one state per observable).

    Args:
        circuit: a vorn.Circuit of gates (measurements, if any, at the end),
            or a Qiskit or Cirq circuit.
        observables: a :class:`vorn.PauliSum` or a sequence of them (or
            Qiskit operators), real coefficients.
        params: shape (bindings, num_parameters); a 1-D array is one binding.
        timeout: seconds after which the call ends with TimeoutError.
        progress: True for a bar on stderr, or a callable receiving (steps
            done, steps total).
        threads: at most this many threads of the pool (None: all).
        comm: an mpi4py communicator, as for :func:`value_and_grad`.

    Returns:
        Shape (bindings, observables, num_parameters); (observables,
        num_parameters) for a 1-D ``params``.
    """
    _, jac, one = _gradient_call(circuit, observables, params, timeout, progress, threads, None, comm)
    return jac[0] if one else jac
