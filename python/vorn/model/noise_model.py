"""Noise as data: error channels on 1 or 2 qubits (unitary mixtures or
Kraus sets) and a noise model attaching them to gate names and qubits, as
Qiskit Aer's does, plus readout errors. The public module is vorn.noise;
how a model runs is told there."""

from __future__ import annotations

import math
import operator
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

from .. import _ext
from .circuit import GATES, Circuit

__all__ = [
    "NoiseModel", "NoiseWarning", "QuantumError", "ReadoutError", "amplitude_damping", "depolarizing", "kraus",
    "pauli", "phase_damping", "readout", "thermal_relaxation",
]

_CPTP_TOLERANCE = 1e-10
_PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}
MIXTURE, KRAUS = _ext.CHANNEL_KINDS["mixture"], _ext.CHANNEL_KINDS["kraus"]


def _frozen(matrix: np.ndarray) -> np.ndarray:
    out = np.array(matrix, dtype=np.complex128, order="C")
    out.flags.writeable = False
    return out


def _probability(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    p = float(value)
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"{what} must be between 0 and 1, got {p!r}")
    return p


class QuantumError:
    """An error channel on 1 or 2 qubits (made by :func:`depolarizing`,
    :func:`pauli`, :func:`kraus` and the other constructors of this module).

    Attributes:
        num_qubits: the qubits it acts on (bit j of its matrices' index on its qubit j).
        operators: a tuple of read-only complex matrices: the unitaries of a
            mixture, or the Kraus operators.
        probabilities: a mixture's probabilities (one per unitary), None
            for a general Kraus set.
    """

    __slots__ = ("_kind", "_operators", "_probabilities", "_name")

    def __init__(self, kind: int, operators: Sequence[np.ndarray], probabilities: Sequence[float] | None,
                 name: str) -> None:
        self._kind = kind
        self._operators = tuple(_frozen(k) for k in operators)
        self._probabilities = None if probabilities is None else tuple(float(p) for p in probabilities)
        self._name = name

    @property
    def num_qubits(self) -> int:
        return self._operators[0].shape[0].bit_length() - 1

    @property
    def operators(self) -> tuple[np.ndarray, ...]:
        return self._operators

    @property
    def probabilities(self) -> tuple[float, ...] | None:
        return self._probabilities

    @property
    def is_unitary_mixture(self) -> bool:
        """True when the operator is chosen without reading the state."""
        return self._kind == MIXTURE

    def kraus_operators(self) -> list[np.ndarray]:
        """The channel as Kraus operators (a mixture's sqrt(p) U)."""
        if self._kind == KRAUS:
            return [k.copy() for k in self._operators]
        return [math.sqrt(p) * u for p, u in zip(self._probabilities or (), self._operators) if p > 0]

    def copy(self) -> QuantumError:
        """An equal, independent error."""
        return QuantumError(self._kind, self._operators, self._probabilities, self._name)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, QuantumError):
            return NotImplemented
        return (self._kind == other._kind and self._probabilities == other._probabilities
                and len(self._operators) == len(other._operators)
                and all(np.array_equal(a, b) for a, b in zip(self._operators, other._operators)))

    def __hash__(self) -> int:
        return hash((self._kind, self._probabilities, tuple(k.tobytes() for k in self._operators)))

    def __reduce__(self) -> tuple[Any, ...]:
        return (QuantumError, (self._kind, [np.array(k) for k in self._operators], self._probabilities, self._name))

    def __repr__(self) -> str:
        kind = "mixture" if self._kind == MIXTURE else "kraus"
        return (f"<vorn.noise.QuantumError {self._name} num_qubits={self.num_qubits} {kind} "
                f"operators={len(self._operators)}>")


class ReadoutError:
    """A classical error on a measured bit: ``probabilities[i][j]`` is the
    chance to record j when the qubit was measured as i (Qiskit's layout)."""

    __slots__ = ("_matrix",)

    def __init__(self, matrix: Any) -> None:
        m = np.array(matrix, dtype=np.float64)
        if m.shape != (2, 2):
            raise ValueError(f"a readout error is a 2x2 matrix of probabilities, got shape {m.shape}")
        if not np.all((m >= 0) & (m <= 1)):
            raise ValueError(f"readout probabilities must be between 0 and 1, got {m.tolist()}")
        sums = m.sum(axis=1)
        if np.any(np.abs(sums - 1) > _CPTP_TOLERANCE):
            raise ValueError(f"each row of a readout matrix must sum to 1, got row sums {sums.tolist()}")
        m.flags.writeable = False
        self._matrix = m

    @property
    def probabilities(self) -> np.ndarray:
        return self._matrix

    def copy(self) -> ReadoutError:
        """An equal, independent readout error."""
        return ReadoutError(self._matrix)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ReadoutError):
            return NotImplemented
        return bool(np.array_equal(self._matrix, other._matrix))

    def __hash__(self) -> int:
        return hash(self._matrix.tobytes())

    def __reduce__(self) -> tuple[Any, ...]:
        return (ReadoutError, (self._matrix.tolist(),))

    def __repr__(self) -> str:
        return f"vorn.noise.ReadoutError({self._matrix.tolist()})"


# ---- constructors ----------------------------------------------------------------


def _num_qubits(value: Any) -> int:
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"num_qubits must be an integer, not {type(value).__name__}")
    n = operator.index(value)
    if n not in (1, 2):
        raise ValueError(f"errors act on 1 or 2 qubits, got num_qubits={n}")
    return n


def _pauli_matrix(label: str) -> np.ndarray:
    """The matrix of a Pauli label, its rightmost character on qubit 0 (Qiskit's order)."""
    out = np.eye(1, dtype=complex)
    for ch in label:
        out = np.kron(out, _PAULI[ch])
    return out


def pauli(terms: Iterable[tuple[str, float]]) -> QuantumError:
    """A Pauli error: Pauli label ``l`` applied with probability ``p``, as
    Qiskit Aer's ``pauli_error``; labels have 1 or 2 characters of I, X, Y, Z,
    the rightmost on the error's qubit 0.

    Args:
        terms: ``(label, probability)`` pairs; the probabilities sum to 1.

    Raises:
        ValueError: an unknown or mixed-length label, a probability outside
            [0, 1], or probabilities that do not sum to 1.
    """
    pairs = list(terms)
    if not pairs:
        raise ValueError("a Pauli error needs at least one (label, probability) pair")
    labels = [str(label).upper() for label, _ in pairs]
    width = len(labels[0])
    for label in labels:
        if len(label) != width or width not in (1, 2) or set(label) - set(_PAULI):
            raise ValueError(f"Pauli labels must all have 1 or 2 characters of I, X, Y, Z; got {label!r}")
    probs = [_probability(p, f"the probability of {label!r}") for label, (_, p) in zip(labels, pairs)]
    if abs(sum(probs) - 1) > _CPTP_TOLERANCE:
        raise ValueError(f"the probabilities of a Pauli error must sum to 1, got {sum(probs)!r}")
    return QuantumError(MIXTURE, [_pauli_matrix(label) for label in labels], probs, "pauli")


def depolarizing(p: float, num_qubits: int = 1) -> QuantumError:
    """The depolarising channel rho -> (1 - p) rho + p I / 2^n, in Qiskit
    Aer's convention (``depolarizing_error(p, n)``): every n-qubit Pauli,
    the identity included, is applied with probability p / 4^n.

    Cirq's ``cirq.depolarize(q, n)`` counts only the non-identity Paulis
    (each q / (4^n - 1)): it equals ``depolarizing(q * 4^n / (4^n - 1), n)``.

    Args:
        p: between 0 and 4^n / (4^n - 1), the channel's physical maximum
            (where the identity's probability reaches 0).
        num_qubits: 1 or 2.
    """
    n = _num_qubits(num_qubits)
    size = 4**n
    if isinstance(p, bool) or not isinstance(p, (int, float, np.integer, np.floating)):
        raise TypeError(f"p must be a number, not {type(p).__name__}")
    limit = size / (size - 1)
    if not 0.0 <= float(p) <= limit:
        raise ValueError(f"depolarizing p must be between 0 and {limit} (4^n / (4^n - 1)) for {n} qubit(s), got {p!r}")
    labels = ["".join(t) for t in _product("IXYZ", n)]
    probs = [1.0 - float(p) + float(p) / size] + [float(p) / size] * (size - 1)
    return QuantumError(MIXTURE, [_pauli_matrix(label) for label in labels], probs, "depolarizing")


def _product(chars: str, n: int) -> list[tuple[str, ...]]:
    import itertools

    return list(itertools.product(chars, repeat=n))


def amplitude_damping(gamma: float) -> QuantumError:
    """Energy relaxation towards |0>: Kraus operators [[1, 0], [0, sqrt(1 -
    gamma)]] and [[0, sqrt(gamma)], [0, 0]] (Qiskit's and Cirq's).

    Args:
        gamma: the chance that |1> decays, between 0 and 1.
    """
    g = _probability(gamma, "gamma")
    return kraus([np.array([[1, 0], [0, math.sqrt(1 - g)]]), np.array([[0, math.sqrt(g)], [0, 0]])],
                 name="amplitude_damping")


def phase_damping(lam: float) -> QuantumError:
    """Dephasing with Kraus operators [[1, 0], [0, sqrt(1 - lam)]] and [[0,
    0], [0, sqrt(lam)]] (Qiskit's ``phase_damping_error``, Cirq's
    ``phase_damp``). The same channel is the mixture of I and Z with
    P(Z) = (1 - sqrt(1 - lam)) / 2, which is how it runs (no state read).

    Args:
        lam: between 0 and 1.
    """
    lam = _probability(lam, "lam")
    pz = (1 - math.sqrt(1 - lam)) / 2
    return QuantumError(MIXTURE, [_PAULI["I"], _PAULI["Z"]], [1 - pz, pz], "phase_damping")


def thermal_relaxation(t1: float, t2: float, time: float) -> QuantumError:
    """Relaxation (T1) and dephasing (T2) of an idle qubit for ``time``, as
    Qiskit Aer's ``thermal_relaxation_error(t1, t2, time)`` with the excited
    population 0: amplitude damping with gamma = 1 - exp(-time/T1), then
    pure dephasing so that coherences decay by exp(-time/T2).

    Args:
        t1, t2: positive (``math.inf`` allowed), with t2 <= 2 * t1.
        time: the duration, >= 0, in the same unit.
    """
    values = {"t1": t1, "t2": t2, "time": time}
    for name, v in values.items():
        if isinstance(v, bool) or not isinstance(v, (int, float, np.integer, np.floating)) or math.isnan(v):
            raise TypeError(f"{name} must be a number, not {v!r}")
    if not (t1 > 0 and t2 > 0):
        raise ValueError(f"t1 and t2 must be positive, got t1={t1!r}, t2={t2!r}")
    if t2 > 2 * t1:
        raise ValueError(f"t2 must be at most 2 * t1 (a physical channel), got t1={t1!r}, t2={t2!r}")
    if not 0 <= time < math.inf:
        raise ValueError(f"time must be finite and >= 0, got {time!r}")
    gamma = 1 - math.exp(-time / t1)
    # Coherence left by the damping is sqrt(1 - gamma); dephasing supplies the rest.
    rest = math.exp(-time / t2) / math.sqrt(1 - gamma) if gamma < 1 else 1.0
    pz = (1 - min(rest, 1.0)) / 2
    damp = [np.array([[1, 0], [0, math.sqrt(1 - gamma)]]), np.array([[0, math.sqrt(gamma)], [0, 0]])]
    ops = [math.sqrt(1 - pz) * k for k in damp] + [math.sqrt(pz) * (_PAULI["Z"] @ k) for k in damp]
    return kraus([k for k in ops if np.any(k != 0)], name="thermal_relaxation")


def kraus(operators: Sequence[Any], *, name: str = "kraus") -> QuantumError:
    """A channel from Kraus operators K (2x2 or 4x4, bit j of the index on
    the error's qubit j, as Qiskit's ``kraus_error``), with sum K^dagger K = I.
    When every K is a multiple of a unitary the channel runs as a mixture.

    Args:
        operators: the Kraus matrices, at least one.
        name: shown in the repr.

    Raises:
        ValueError: shapes not 2x2 or 4x4 or not all alike, non-finite
            entries, or sum K^dagger K differing from the identity by more
            than 1e-10 (not trace preserving).
    """
    mats = [np.asarray(k, dtype=np.complex128) for k in operators]
    if not mats:
        raise ValueError("a Kraus channel needs at least one operator")
    shape = mats[0].shape
    if shape not in ((2, 2), (4, 4)) or any(k.shape != shape for k in mats):
        raise ValueError(f"Kraus operators must all be 2x2 or all 4x4, got {[k.shape for k in mats]}")
    if not all(np.all(np.isfinite(k)) for k in mats):
        raise ValueError("Kraus operators must have finite entries")
    total = sum(k.conj().T @ k for k in mats)
    deviation = float(np.max(np.abs(total - np.eye(shape[0]))))
    if deviation > _CPTP_TOLERANCE:
        raise ValueError(f"the Kraus operators are not trace preserving: sum K^dagger K differs from the identity "
                         f"by {deviation:.3g} (at most 1e-10 allowed)")
    mats = [k for k in mats if np.any(k != 0)]
    grams = [k.conj().T @ k for k in mats]
    weights = [float(np.real(np.trace(g))) / shape[0] for g in grams]
    if all(np.max(np.abs(g - w * np.eye(shape[0]))) <= _CPTP_TOLERANCE for g, w in zip(grams, weights)):
        return QuantumError(MIXTURE, [k / math.sqrt(w) for k, w in zip(mats, weights)], weights, name)
    return QuantumError(KRAUS, mats, None, name)


def readout(matrix: Any) -> ReadoutError:
    """A readout error: ``matrix[i][j]`` is the chance to record j when the
    qubit is measured as i; each row sums to 1 (Qiskit Aer's ``ReadoutError``).

    Args:
        matrix: 2x2 probabilities.
    """
    return ReadoutError(matrix)


# ---- the noise model ---------------------------------------------------------------


def _names(gate_names: str | Iterable[str]) -> list[str]:
    names = [gate_names] if isinstance(gate_names, str) else list(gate_names)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"gate names must be strings, not {type(name).__name__}")
    if not names:
        raise ValueError("at least one gate name is needed")
    return names


def _gate_qubits(name: str) -> int | None:
    """How many qubits an instruction of this name acts on, when fixed."""
    if name in ("measure", "reset"):
        return 1
    row = GATES.get(name)
    return row["num_qubits"] if row and row["num_qubits"] else None


class NoiseModel:
    """Errors attached to instructions by name, as Qiskit Aer's
    ``NoiseModel``: an error added for a gate name acts on the gate's qubits
    right after it (before it for ``measure``), its qubit j on the gate's
    j-th qubit; errors added for specific qubits replace the all-qubit ones
    there; errors added twice for the same place apply in the order added.
    Readout errors flip recorded measurement bits per qubit.

    Models are values: ``copy()``, ``==``, pickling and ``repr`` work on the content.
    """

    def __init__(self) -> None:
        self._all: dict[str, list[QuantumError]] = {}
        self._local: dict[tuple[str, tuple[int, ...]], list[QuantumError]] = {}
        self._readout_all: ReadoutError | None = None
        self._readout: dict[int, ReadoutError] = {}
        # From vorn.noise.from_cirq: errors before top-level instruction i (i = len: at the end).
        self._inline: dict[int, list[tuple[QuantumError, tuple[int, ...]]]] = {}
        self._warned: set[str] = set()
        # False for models converted from Aer's, whose device models carry
        # errors for every gate of the device: an unused one is normal there.
        self._warns = True

    @staticmethod
    def _check_error(error: Any) -> QuantumError:
        if not isinstance(error, QuantumError):
            raise TypeError(f"expected a vorn.noise.QuantumError, not {type(error).__name__}")
        return error

    def add_all_qubit_error(self, error: QuantumError, gate_names: str | Iterable[str]) -> None:
        """Applies ``error`` after every instruction named in ``gate_names``
        (before a ``measure``), on that instruction's qubits.

        Args:
            error: a QuantumError on as many qubits as the instructions have.
            gate_names: a name or names (Qiskit's, e.g. ``["x", "sx", "cx", "measure"]``).
        """
        error = self._check_error(error)
        for name in _names(gate_names):
            arity = _gate_qubits(name)
            if arity is not None and arity != error.num_qubits:
                raise ValueError(f"a {error.num_qubits}-qubit error cannot be attached to '{name}', which acts on "
                                 f"{arity} qubit(s)")
            self._all.setdefault(name, []).append(error)

    def add_error(self, error: QuantumError, gate_names: str | Iterable[str], qubits: Sequence[int]) -> None:
        """Applies ``error`` after the named instructions on exactly these
        qubits (in this order), instead of any all-qubit error for them.

        Args:
            error: a QuantumError on ``len(qubits)`` qubits.
            gate_names: a name or names.
            qubits: the instruction's qubits, in the instruction's order.
        """
        error = self._check_error(error)
        where = tuple(operator.index(q) for q in qubits)
        if len(where) != error.num_qubits or any(q < 0 for q in where) or len(set(where)) != len(where):
            raise ValueError(f"qubits {where} do not fit a {error.num_qubits}-qubit error")
        for name in _names(gate_names):
            self._local.setdefault((name, where), []).append(error)

    def add_all_qubit_readout_error(self, error: ReadoutError) -> None:
        """A readout error on every measured qubit without one of its own."""
        if not isinstance(error, ReadoutError):
            raise TypeError(f"expected a vorn.noise.ReadoutError, not {type(error).__name__}")
        self._readout_all = error

    def add_readout_error(self, error: ReadoutError, qubit: int) -> None:
        """A readout error on one qubit's measurements.

        Args:
            error: the ReadoutError.
            qubit: the measured qubit.
        """
        if not isinstance(error, ReadoutError):
            raise TypeError(f"expected a vorn.noise.ReadoutError, not {type(error).__name__}")
        q = operator.index(qubit[0] if isinstance(qubit, (tuple, list)) and len(qubit) == 1 else qubit)
        if q < 0:
            raise ValueError(f"qubit must be >= 0, got {q}")
        self._readout[q] = error

    @property
    def noise_instructions(self) -> list[str]:
        """The instruction names that carry errors, sorted."""
        return sorted(set(self._all) | {name for name, _ in self._local})

    def is_ideal(self) -> bool:
        """True when the model holds no error at all."""
        return not (self._all or self._local or self._readout_all or self._readout or self._inline)

    def copy(self) -> NoiseModel:
        """An equal, independent model."""
        out = NoiseModel()
        out._all = {k: list(v) for k, v in self._all.items()}
        out._local = {k: list(v) for k, v in self._local.items()}
        out._readout_all = self._readout_all
        out._readout = dict(self._readout)
        out._inline = {k: list(v) for k, v in self._inline.items()}
        out._warns = self._warns
        return out

    def _on_qubits(self, position: dict[int, int]) -> NoiseModel:
        """The model for a circuit whose qubit q became ``position[q]``:
        per-qubit errors and readout errors move with their qubits, those
        on qubits not in ``position`` are left out (nothing runs there).
        It warns about unused names once together with this model."""
        if self._inline:
            raise ValueError("this noise model places errors at positions of the circuit vorn.noise.from_cirq "
                             "returned with it; it belongs to that circuit")
        out = NoiseModel()
        out._all = dict(self._all)
        out._local = {(name, tuple(position[q] for q in qubits)): errors
                      for (name, qubits), errors in self._local.items() if all(q in position for q in qubits)}
        out._readout_all = self._readout_all
        out._readout = {position[q]: error for q, error in self._readout.items() if q in position}
        out._warned = self._warned
        out._warns = self._warns
        return out

    __copy__ = copy

    def __deepcopy__(self, memo: Any) -> NoiseModel:
        return self.copy()

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, NoiseModel):
            return NotImplemented
        return (self._all == other._all and self._local == other._local and self._readout_all == other._readout_all
                and self._readout == other._readout and self._inline == other._inline)

    __hash__ = None  # type: ignore[assignment]  # mutable

    def __getstate__(self) -> dict[str, Any]:
        return {"all": self._all, "local": self._local, "readout_all": self._readout_all,
                "readout": self._readout, "inline": self._inline, "warns": self._warns}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__()  # type: ignore[misc]
        self._all, self._local = state["all"], state["local"]
        self._readout_all, self._readout, self._inline = state["readout_all"], state["readout"], state["inline"]
        self._warns = state.get("warns", True)

    def __repr__(self) -> str:
        parts = [f"instructions={self.noise_instructions}"]
        if self._readout_all is not None or self._readout:
            parts.append(f"readout={'all' if self._readout_all is not None else sorted(self._readout)}")
        if self._inline:
            parts.append(f"placed={sum(len(v) for v in self._inline.values())}")
        return f"<vorn.noise.NoiseModel {' '.join(parts)}>"

    # -- what a run reads --

    def _errors_on(self, name: str, qubits: tuple[int, ...]) -> list[QuantumError]:
        local = self._local.get((name, qubits))
        if local is not None:
            return local
        errors = self._all.get(name, [])
        for error in errors:
            if error.num_qubits != len(qubits):
                raise ValueError(f"a {error.num_qubits}-qubit error is attached to '{name}', which acts on "
                                 f"{len(qubits)} qubit(s) here")
        return errors

    def _readout_of(self, qubit: int) -> ReadoutError | None:
        return self._readout.get(qubit, self._readout_all)

    def _warn_unused(self, circuit: Circuit) -> None:
        if not self._warns:
            return
        used: set[str] = set()

        def walk(body: Iterable[Any]) -> None:
            for ins in body:
                used.add(ins.name)
                if ins.name == "if_else":
                    walk(ins.true_body)
                    walk(ins.false_body)

        walk(circuit._data)
        unused = [name for name in self.noise_instructions if name not in used and name not in self._warned]
        if unused:
            self._warned.update(unused)
            warnings.warn(f"the noise model has errors on {unused}, which the circuit never uses (warned once "
                          "per model)", NoiseWarning, stacklevel=4)


class NoiseWarning(UserWarning):
    """A noise model that does not fit the circuit it runs with."""


def _model(noise: Any) -> NoiseModel:
    if not isinstance(noise, NoiseModel):
        raise TypeError(f"noise must be a vorn.noise.NoiseModel, not {type(noise).__name__}")
    return noise
