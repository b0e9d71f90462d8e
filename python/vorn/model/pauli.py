"""Observables: sums of Pauli strings.

A :class:`PauliSum` holds, per term, an X mask, a Z mask (bit q = qubit q;
both bits set is Y) and a complex coefficient; vorn.expval evaluates them.
"""

from __future__ import annotations

import operator
import sys
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

__all__ = ["PauliSum"]

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
        per qubit, the rightmost character qubit 0.

        Args:
            obj: the (label, coefficient) pairs, one per term.
            num_qubits: the register's size; needed only for an empty list.
        """
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
        empty sum (value 0).

        Args:
            obj: the (label, qubits, coefficient) triples, one per term.
            num_qubits: the register's size.
        """
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
        coefficients, one entry per term; no Python loop over the terms.

        Args:
            x_masks: each term's X mask (Y is X and Z).
            z_masks: each term's Z mask.
            coeffs: each term's coefficient.
            num_qubits: the register's size (masks must not reach past it).
        """
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
        are folded into the coefficients.

        Args:
            op: the Qiskit operator.
        """
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


def _from_qiskit_operator(op: Any) -> PauliSum | None:
    """A Qiskit ``SparsePauliOp`` or ``Pauli`` as a PauliSum (None for
    anything else); Qiskit is not imported for the check."""
    qi = sys.modules.get("qiskit.quantum_info")
    if qi is not None and isinstance(op, (qi.SparsePauliOp, qi.Pauli)):
        return PauliSum.from_qiskit(op)
    return None


def observable_list(observables: PauliSum | Sequence[PauliSum]) -> list[PauliSum]:
    """The observables as a list of PauliSums: one PauliSum, a Qiskit
    ``SparsePauliOp`` or ``Pauli`` (each one observable), or a sequence of them.

    Args:
        observables: what an entry point was given.
    """
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
