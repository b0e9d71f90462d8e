"""Observables: sums of Pauli strings and their expectation values.

A :class:`PauliSum` holds, per term, an X mask, a Z mask (bit q = qubit q;
both bits set is Y) and a complex coefficient. :func:`expval` evaluates
several sums on a circuit's final state, or on a state vector read in place,
with each distinct Pauli string evaluated once and every sum over the state
taken in one fixed order, so results do not depend on the thread count.
"""

from __future__ import annotations

import operator
import sys
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from . import _ext
from .circuit import Circuit
from .simulation import (Progress, _as_circuit, _fusion, _precision, _single_only_plain, _statevector, _threads,
                         _Watch)

__all__ = ["PauliSum", "expval"]

_MAX_QUBITS = 64  # masks are 64-bit
_PAULI_CODES = np.frombuffer(b"IXYZ", dtype=np.uint8)


def _num_qubits(value: Any) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"num_qubits must be an integer, not {type(value).__name__}")
    n = operator.index(value)
    if not 1 <= n <= _MAX_QUBITS:
        raise ValueError(f"num_qubits must be between 1 and {_MAX_QUBITS}, got {n}")
    return n


def _coefficients(values: Any, count: int) -> np.ndarray:
    if not isinstance(values, np.ndarray):
        # NumPy would read None as NaN: a missing coefficient is an error, not a number.
        for t, v in enumerate(values):
            if v is None:
                raise TypeError(f"term {t}: the coefficient is None, not a number")
    try:
        c = np.array(values, dtype=np.complex128)
    except (TypeError, ValueError) as e:
        raise TypeError(f"coefficients must be numbers: {e}") from None
    if c.shape != (count,):
        raise ValueError(f"expected {count} coefficients, got an array of shape {c.shape}")
    return c


def _pack(bits: np.ndarray) -> np.ndarray:
    """uint64 masks from a (terms, n) boolean array whose column q is qubit q."""
    terms, n = bits.shape
    padded = np.zeros((terms, 64), dtype=bool)
    padded[:, 64 - n:] = bits[:, ::-1]  # big-endian bit order: qubit 63 first
    return np.packbits(padded, axis=1).view(">u8").reshape(terms).astype(np.uint64)


def _unpack(masks: np.ndarray, n: int) -> np.ndarray:
    """The (terms, n) boolean array of qubits set in each mask."""
    return ((masks[:, None] >> np.arange(n, dtype=np.uint64)) & np.uint64(1)).astype(bool)


def _frozen(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False
    return array


class PauliSum:
    """sum over terms t of coeffs[t] * P_t on ``num_qubits`` qubits, P_t the
    tensor product with X where only x_masks[t] has bit q, Z where only
    z_masks[t] has it, Y where both have it. Immutable; build it with the
    ``from_*`` class methods."""

    __slots__ = ("_x", "_z", "_coeffs", "_num_qubits")

    def __init__(self, x_masks: np.ndarray, z_masks: np.ndarray, coeffs: np.ndarray, num_qubits: int,
                 *, _checked: bool = False) -> None:
        if not _checked:
            raise TypeError("build a PauliSum with from_list, from_sparse_list, from_masks or from_qiskit")
        self._x = _frozen(x_masks)
        self._z = _frozen(z_masks)
        self._coeffs = _frozen(coeffs)
        self._num_qubits = num_qubits

    # -- construction ---------------------------------------------------------------------------

    @classmethod
    def from_list(cls, obj: Iterable[tuple[str, complex]], num_qubits: int | None = None) -> PauliSum:
        """From ``[(label, coeff), ...]``, labels as Qiskit's: one of I, X, Y, Z
        per qubit, the rightmost character qubit 0. ``num_qubits`` is needed
        only for an empty list."""
        items = list(obj)
        labels: list[str] = []
        for t, item in enumerate(items):
            if not isinstance(item, (tuple, list)) or len(item) != 2:
                raise TypeError(f"term {t}: expected a (label, coefficient) pair, got {item!r}")
            if not isinstance(item[0], str):
                raise TypeError(f"term {t}: the label must be a str, not {type(item[0]).__name__}")
            labels.append(item[0])
        if num_qubits is None:
            if not labels:
                raise ValueError("num_qubits is needed for an empty list")
            num_qubits = len(labels[0])
        n = _num_qubits(num_qubits)
        for t, label in enumerate(labels):
            if len(label) != n:
                raise ValueError(f"term {t}: label {label!r} has {len(label)} characters, expected {n}")
        coeffs = _coefficients([item[1] for item in items], len(items))
        if not labels:
            empty = np.zeros(0, dtype=np.uint64)
            return cls(empty, empty.copy(), coeffs, n, _checked=True)
        try:
            chars = np.frombuffer("".join(labels).encode("ascii"), dtype=np.uint8).reshape(len(labels), n)
            bad = ~np.isin(chars, _PAULI_CODES)
        except UnicodeEncodeError:
            bad = None
        if bad is None or bad.any():
            for t, label in enumerate(labels):
                for ch in label:
                    if ch not in "IXYZ":
                        raise ValueError(f"term {t}: label {label!r} has {ch!r}; only I, X, Y, Z are allowed")
        columns = chars[:, ::-1]  # column q = qubit q
        x = (columns == ord("X")) | (columns == ord("Y"))
        z = (columns == ord("Z")) | (columns == ord("Y"))
        return cls(_pack(x), _pack(z), coeffs, n, _checked=True)

    @classmethod
    def from_sparse_list(cls, obj: Iterable[tuple[str, Sequence[int], complex]], num_qubits: int) -> PauliSum:
        """From ``[(label, qubits, coeff), ...]`` as Qiskit's: label character k
        acts on qubit ``qubits[k]``, every other qubit gets I. ``[]`` is the
        empty sum (value 0)."""
        n = _num_qubits(num_qubits)
        items = list(obj)
        x = np.zeros(len(items), dtype=np.uint64)
        z = np.zeros(len(items), dtype=np.uint64)
        for t, item in enumerate(items):
            if not isinstance(item, (tuple, list)) or len(item) != 3:
                raise TypeError(f"term {t}: expected a (label, qubits, coefficient) triple, got {item!r}")
            label, qubits = item[0], list(item[1])
            if not isinstance(label, str):
                raise TypeError(f"term {t}: the label must be a str, not {type(label).__name__}")
            if len(label) != len(qubits):
                raise ValueError(f"term {t}: label {label!r} has {len(label)} characters for {len(qubits)} qubits")
            seen: set[int] = set()
            for ch, q in zip(label, qubits):
                if isinstance(q, bool) or not hasattr(type(q), "__index__"):
                    raise TypeError(f"term {t}: qubit indices must be integers, not {type(q).__name__}")
                q = operator.index(q)
                if not 0 <= q < n:
                    raise ValueError(f"term {t}: qubit {q} is out of range for {n} qubits")
                if q in seen:
                    raise ValueError(f"term {t}: qubit {q} appears more than once")
                seen.add(q)
                if ch not in "IXYZ":
                    raise ValueError(f"term {t}: label {label!r} has {ch!r}; only I, X, Y, Z are allowed")
                bit = np.uint64(1 << q)
                if ch in "XY":
                    x[t] |= bit
                if ch in "ZY":
                    z[t] |= bit
        coeffs = _coefficients([item[2] for item in items], len(items))
        return cls(x, z, coeffs, n, _checked=True)

    @classmethod
    def from_masks(cls, x_masks: Any, z_masks: Any, coeffs: Any, num_qubits: int) -> PauliSum:
        """From arrays of unsigned X and Z masks (bit q = qubit q) and
        coefficients, one entry per term; no Python loop over the terms."""
        n = _num_qubits(num_qubits)
        masks = []
        for name, values in (("x_masks", x_masks), ("z_masks", z_masks)):
            a = np.asarray(values)
            if a.ndim != 1:
                raise ValueError(f"{name} must be one-dimensional, got shape {a.shape}")
            if a.size and a.dtype.kind not in "ui":
                raise TypeError(f"{name} must hold integers, not {a.dtype}")
            if a.dtype.kind == "i" and a.size and (a < 0).any():
                t = int(np.argmax(a < 0))
                raise ValueError(f"{name}[{t}] = {int(a[t])} is negative")
            a = a.astype(np.uint64)
            if n < 64 and a.size and (a >> np.uint64(n)).any():
                t = int(np.argmax((a >> np.uint64(n)) != 0))
                raise ValueError(f"{name}[{t}] = {int(a[t])} acts on a qubit >= {n}")
            masks.append(a)
        if masks[0].shape != masks[1].shape:
            raise ValueError(f"x_masks has {masks[0].size} entries but z_masks has {masks[1].size}")
        c = _coefficients(coeffs, masks[0].size)
        return cls(masks[0], masks[1], c, n, _checked=True)

    @classmethod
    def from_qiskit(cls, op: Any) -> PauliSum:
        """From a Qiskit ``SparsePauliOp`` (or ``Pauli``); the Paulis' own phases
        are folded into the coefficients."""
        from qiskit.quantum_info import Pauli, SparsePauliOp

        if isinstance(op, Pauli):
            op = SparsePauliOp(op)
        if not isinstance(op, SparsePauliOp):
            raise TypeError(f"expected a qiskit SparsePauliOp, not {type(op).__name__}")
        paulis = op.paulis
        # Qiskit's group phase q: the term is (-i)^q times the label's Pauli.
        phase = (-1j) ** (np.asarray(paulis.phase) % 4)
        coeffs = _coefficients(op.coeffs, len(paulis)) * phase
        n = _num_qubits(op.num_qubits)
        return cls(_pack(np.asarray(paulis.x, dtype=bool)), _pack(np.asarray(paulis.z, dtype=bool)), coeffs, n,
                   _checked=True)

    def to_qiskit(self) -> Any:
        """The same sum as a Qiskit ``SparsePauliOp`` (terms in order)."""
        from qiskit.quantum_info import PauliList, SparsePauliOp

        n = self._num_qubits
        if len(self) == 0:
            return SparsePauliOp(["I" * n], [0.0])  # Qiskit has no operator with no terms
        paulis = PauliList.from_symplectic(_unpack(self._z, n), _unpack(self._x, n))
        return SparsePauliOp(paulis, self._coeffs.copy())

    # -- views -------------------------------------------------------------------------------

    @property
    def num_qubits(self) -> int:
        return self._num_qubits

    @property
    def x_masks(self) -> np.ndarray:
        """uint64 X mask of each term (read-only)."""
        return self._x

    @property
    def z_masks(self) -> np.ndarray:
        """uint64 Z mask of each term (read-only)."""
        return self._z

    @property
    def coeffs(self) -> np.ndarray:
        """complex128 coefficient of each term (read-only)."""
        return self._coeffs

    def __len__(self) -> int:
        return int(self._x.size)

    def to_list(self) -> list[tuple[str, complex]]:
        """``[(label, coeff), ...]`` as from_list takes them."""
        n = self._num_qubits
        x, z = _unpack(self._x, n)[:, ::-1], _unpack(self._z, n)[:, ::-1]
        codes = np.where(x & z, ord("Y"), np.where(x, ord("X"), np.where(z, ord("Z"), ord("I")))).astype(np.uint8)
        return [(codes[t].tobytes().decode("ascii"), complex(self._coeffs[t])) for t in range(len(self))]

    def __repr__(self) -> str:
        return f"<vorn.PauliSum num_qubits={self._num_qubits} terms={len(self)}>"


def _state_of(c: Any, watch: _Watch, threads: int, fusion: bool = False, single: bool = False) -> np.ndarray:
    if isinstance(c, Circuit):
        return _statevector(c, watch, threads, fusion, single)
    _single_only_plain(single, "a given state vector (precision chooses how a circuit is simulated)")
    if not isinstance(c, np.ndarray):
        raise TypeError(f"expected a vorn.Circuit or a complex128 state vector, not {type(c).__name__}")
    if c.dtype != np.complex128:
        raise ValueError(f"the state vector must have dtype complex128, not {c.dtype}")
    if c.ndim != 1:
        raise ValueError(f"the state vector must be one-dimensional, got shape {c.shape}")
    if c.size < 2 or c.size & (c.size - 1):
        raise ValueError(f"the state vector's length {c.size} is not a power of two >= 2")
    if not c.flags.c_contiguous:
        raise ValueError("the state vector must be contiguous (it is read in place, not copied)")
    return c


def _from_qiskit_operator(op: Any) -> PauliSum | None:
    """A Qiskit ``SparsePauliOp`` or ``Pauli`` as a PauliSum (None for
    anything else); Qiskit is not imported for the check."""
    qi = sys.modules.get("qiskit.quantum_info")
    if qi is not None and isinstance(op, (qi.SparsePauliOp, qi.Pauli)):
        return PauliSum.from_qiskit(op)
    return None


def _observable_list(observables: PauliSum | Sequence[PauliSum]) -> list[PauliSum]:
    if isinstance(observables, PauliSum):
        return [observables]
    converted = _from_qiskit_operator(observables)  # a SparsePauliOp iterates over its terms: one observable
    if converted is not None:
        return [converted]
    observables = list(observables)
    for i, h in enumerate(observables):
        converted = _from_qiskit_operator(h)
        if converted is not None:
            observables[i] = converted
        elif not isinstance(h, PauliSum):
            raise TypeError(f"observable {i} is a {type(h).__name__}, not a vorn.PauliSum")
    return observables


def _observable_arrays(observables: list[PauliSum], n: int,
                       what: str) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Every observable's terms concatenated (x masks, z masks, coefficients)
    and where each observable's terms start (offsets, one more than observables)."""
    for i, h in enumerate(observables):
        if h.num_qubits != n:
            raise ValueError(f"observable {i} acts on {h.num_qubits} qubits but {what} has {n}")
    empty_masks = np.zeros(0, dtype=np.uint64)
    x = np.concatenate([h.x_masks for h in observables] or [empty_masks])
    z = np.concatenate([h.z_masks for h in observables] or [empty_masks])
    coeffs = np.concatenate([h.coeffs for h in observables] or [np.zeros(0, dtype=np.complex128)])
    offsets = np.zeros(len(observables) + 1, dtype=np.uint64)
    np.cumsum([len(h) for h in observables], out=offsets[1:])
    return x, z, coeffs, offsets


def expval(c: Any, observables: PauliSum | Sequence[PauliSum], variance: bool = False, *,
           timeout: float | None = None, progress: bool | Progress | None = None, threads: int | None = None,
           fusion: bool = False, params: Any = None, noise: Any = None, trajectories: int | None = None,
           seed: int | None = None, precision: str = "double") -> Any:
    """<psi|H|psi> for each H in ``observables``, psi the final state of a
    vorn.Circuit or a state vector read in place (as Qiskit's
    ``Statevector.expectation_value``).

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
            as one (converted with :meth:`PauliSum.from_qiskit`).
        variance: also return the variance || (H - <H>) psi ||^2 of each
            (real coefficients only).
        timeout: seconds after which the call (simulation and evaluation
            together) ends with TimeoutError (None: no limit).
        progress: True shows a bar on stderr; a callable receives (done,
            total) on this thread at most ten times a second: gates while a
            circuit is simulated, then leaves of the reduction (the total
            grows once when the variances start).
        threads: at most this many threads of the pool (1 to its size; None
            for all); the values are bit-identical whatever it is.
        fusion: simulate a circuit with gate fusion (see :func:`vorn.run`;
            rounding-level differences from the exact default).
        params: for a circuit with parameters, an array of shape (bindings,
            num_parameters), columns in ``c.parameters`` order (a 1-D array is
            one binding): the circuit is compiled once and each row's values
            are bound in the engine; row b's values are bit-identical to
            ``expval(c.assign_parameters(params[b]), observables)``.
        noise: a :class:`vorn.noise.NoiseModel`: the mean of <H> over
            ``trajectories`` quantum trajectories of the circuit (real
            coefficients; mid-circuit measurements collapse, final ones are
            ignored, errors attached to them still act). Not with
            ``params``, ``variance`` or ``fusion``.
        trajectories: with ``noise``, how many (at least 2; default 1000).
        seed: with ``noise``, keys the trajectories' streams (as for
            :func:`vorn.run`; None: from the system's entropy).
        precision: "double" (default) or "single": simulate the circuit on a
            complex64 state (see :func:`vorn.run`); the evaluation reads each
            float amplitude exactly in double and sums in double through the
            same fixed tree. Only for a circuit, not with ``params`` or ``noise``
            (ValueError).

    Returns:
        A NumPy array with one entry per observable: float64 when every
        coefficient of every observable has a zero imaginary part, complex128
        otherwise; with ``variance=True`` the pair ``(values, variances)``.
        With ``params`` of shape (B, P), an array of shape (B, observables).
        With ``noise``, the pair ``(means, standard_errors)`` of float64
        arrays, one entry per observable.

    Example:
        >>> c = vorn.Circuit(2); c.h(0); c.cx(0, 1)
        >>> vorn.expval(c, vorn.PauliSum.from_list([("ZZ", 1.0), ("XI", 0.5)]))
        array([1.])
    """
    c = _as_circuit(c)
    single = _precision(precision)
    if noise is not None:
        _single_only_plain(single, "noise models (noise=)")
        if params is not None or variance or fusion is not False:
            raise ValueError("noise= cannot be combined with params=, variance=True or fusion=True")
        from .noise import _expval

        return _expval(c, observables, noise, trajectories, seed, timeout, progress, threads)
    if trajectories is not None or seed is not None:
        raise ValueError("trajectories= and seed= only apply with noise=")
    if params is not None:
        _single_only_plain(single, "parameter sweeps (params=)")
        from .sweeps import sweep_expval

        if variance:
            raise ValueError("variance=True is not available with params=")
        return sweep_expval(c, observables, params, timeout=timeout, progress=progress, threads=threads)
    observables = _observable_list(observables)
    thread_count = _threads(threads)
    fusion = _fusion(fusion)
    simulation = _Watch(timeout, progress)
    state = _state_of(c, simulation, thread_count, fusion, single)
    x, z, coeffs, offsets = _observable_arrays(observables, state.size.bit_length() - 1, "the state")
    real = not np.any(coeffs.imag != 0)  # NaN + 0j counts as real, any other imaginary part not
    if variance and not real:
        raise ValueError("variance=True needs real coefficients (a Hermitian sum)")
    watch = _Watch(timeout, progress, unit="leaf", deadline=simulation.deadline)
    try:
        values, variances = _ext.expval(state, x, z, coeffs, offsets, bool(variance), watch.poll(), thread_count)
        watch.finish()
    finally:
        watch.close()
    values = np.ascontiguousarray(values.real) if real else values
    return (values, variances) if variance else values
