"""Qiskit circuits transpiled for a device: only the qubits in use are simulated.

A circuit transpiled for a 127-qubit device names all 127 qubits while its
instructions touch a handful. As Aer does, vorn simulates only the qubits
some instruction acts on (barriers and delays do not count; they change no
amplitude) and keeps the others in |0>, where they stay. A :class:`Layout`
says which qubits those are and carries results back to the circuit's own
numbering: clbits are not renumbered (counts and memory need nothing), a
state vector is widened to the full width when asked for, observables are
restricted (a Pauli X or Y on an idle qubit has expectation 0 there, Z and I
expectation 1), and a noise model's per-qubit errors move with their qubits.
"""

from __future__ import annotations

import contextlib
import os
import resource
import sys
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from ..model.noise_model import NoiseModel
from ..model.pauli import PauliSum, observable_list
from .circuits import _qiskit_circuit, convert_qiskit, from_cirq

__all__ = ["Layout", "active_qubits", "as_simulated", "compact_qiskit"]

# Instructions that act on no amplitude: they do not make a qubit active.
_PASSIVE = frozenset({"barrier", "delay"})
# NumPy's largest array (bytes addressable by a signed 64-bit index).
_MAX_ARRAY = (1 << 63) - 1


class Layout:
    """Which qubits of a Qiskit circuit of ``num_qubits`` qubits vorn
    simulates: ``active`` in ascending order, vorn's qubit i being the
    circuit's qubit ``active[i]``; every other qubit stays in |0>."""

    __slots__ = ("num_qubits", "active", "_position")

    def __init__(self, num_qubits: int, active: Sequence[int]) -> None:
        self.num_qubits = num_qubits
        self.active = tuple(active)
        self._position = {q: i for i, q in enumerate(self.active)}

    @property
    def is_compact(self) -> bool:
        """True when some qubit is left out of the simulation."""
        return len(self.active) < self.num_qubits

    def qubit_map(self) -> list[int | None]:
        """For each of the circuit's qubits its vorn qubit, None when idle."""
        return [self._position.get(q) for q in range(self.num_qubits)]

    def describe(self) -> str:
        if not self.is_compact:
            return f"the circuit acts on all of its {self.num_qubits} qubits"
        return (f"the circuit acts on {len(self.active)} of its {self.num_qubits} qubits (the others stay in |0> "
                f"and are not simulated)")

    @contextlib.contextmanager
    def sized(self) -> Iterator[None]:
        """Turns a MemoryError of the simulation into one naming the width
        actually simulated, so every entry point says the same."""
        try:
            yield
        except MemoryError as exc:
            raise MemoryError(f"{self.describe()}; simulating {len(self.active)} qubits does not fit: {exc}") from None

    # -- results back in the circuit's numbering --

    def widen(self, state: np.ndarray) -> np.ndarray:
        """The state of the simulated qubits as the state of all the
        circuit's qubits (the idle ones |0>), read-only.

        Raises:
            MemoryError: the full state does not fit in the memory available
                (the message names the width and both figures).
        """
        if not self.is_compact:
            return state
        n = self.num_qubits
        need = state.dtype.itemsize << n
        room = available_memory()
        if need > _MAX_ARRAY or (room is not None and need > room):
            free = f", more than the {_bytes(room)} available" if room is not None else ""
            raise MemoryError(
                f"the full state of the circuit's {n} qubits needs {_bytes(need)}{free}; the circuit acts on "
                f"{len(self.active)} of them (qubits {list(self.active)}), whose state vorn simulated: counts, "
                "memory and expectation values need only those")
        out = np.zeros(1 << n, dtype=state.dtype)
        out[self._indices()] = state
        out.flags.writeable = False
        return out

    def _indices(self) -> np.ndarray:
        """For each index of the simulated state, the index of the full state."""
        k = np.arange(1 << len(self.active), dtype=np.uint64)
        out = np.zeros_like(k)
        for i, q in enumerate(self.active):
            out |= ((k >> np.uint64(i)) & np.uint64(1)) << np.uint64(q)
        return out

    def observables(self, observables: Any) -> list[PauliSum]:
        """Observables on the circuit's qubits (a PauliSum, a Qiskit
        SparsePauliOp or Pauli, or a sequence of them) as PauliSums on the
        simulated qubits: a term with X or Y on an idle qubit is dropped (its
        expectation there is 0), Z and I on idle qubits are left out (1)."""
        if not self.is_compact:
            return observable_list(observables)
        one = isinstance(observables, PauliSum) or _qiskit_operator(observables) is not None
        items = [observables] if one else list(observables)
        out = []
        for i, h in enumerate(items):
            op = _qiskit_operator(h)
            if op is not None:
                x, z = np.asarray(op.paulis.x, dtype=bool), np.asarray(op.paulis.z, dtype=bool)
                coeffs = np.asarray(op.coeffs, dtype=np.complex128) * (-1j) ** (np.asarray(op.paulis.phase) % 4)
                width = op.num_qubits
            elif isinstance(h, PauliSum):
                width = h.num_qubits
                bits = np.arange(width, dtype=np.uint64)
                x = ((h.x_masks[:, None] >> bits) & np.uint64(1)).astype(bool)
                z = ((h.z_masks[:, None] >> bits) & np.uint64(1)).astype(bool)
                coeffs = np.asarray(h.coeffs)
            else:
                raise TypeError(f"observable {i} is a {type(h).__name__}, not a vorn.PauliSum")
            if width != self.num_qubits:
                raise ValueError(f"observable {i} acts on {width} qubits, the circuit has {self.num_qubits}")
            out.append(self._restricted(x, z, coeffs))
        return out

    def _restricted(self, x: np.ndarray, z: np.ndarray, coeffs: np.ndarray) -> PauliSum:
        active = list(self.active)
        idle = np.ones(self.num_qubits, dtype=bool)
        idle[active] = False
        kept = ~x[:, idle].any(axis=1)
        shifts = np.arange(len(active), dtype=np.uint64)
        x_masks = (x[kept][:, active].astype(np.uint64) << shifts).sum(axis=1, dtype=np.uint64)
        z_masks = (z[kept][:, active].astype(np.uint64) << shifts).sum(axis=1, dtype=np.uint64)
        return PauliSum.from_masks(x_masks, z_masks, coeffs[kept], len(active))

    def sparse_terms(self, terms: Sequence[tuple[str, Sequence[int], complex]]) -> list[tuple[str, list[int], complex]]:
        """Qiskit's sparse terms ``(label, qubits, coeff)`` on the circuit's
        qubits, restricted to the simulated ones as :meth:`observables` does."""
        if not self.is_compact:
            return list(terms)
        out = []
        for label, qubits, coeff in terms:
            kept_label, kept_qubits = [], []
            for ch, q in zip(label, qubits):
                q = int(q)
                if q in self._position:
                    kept_label.append(ch)
                    kept_qubits.append(self._position[q])
                elif ch in "XYxy":
                    break
            else:
                out.append(("".join(kept_label), kept_qubits, coeff))
        return out

    def noise(self, model: NoiseModel | None) -> NoiseModel | None:
        """The model with its per-qubit errors on the simulated qubits'
        numbers (errors on idle qubits never act: nothing runs there)."""
        if model is None or not self.is_compact or not isinstance(model, NoiseModel):
            return model
        return model._on_qubits(self._position)


def _qiskit_operator(op: Any) -> Any:
    qi = sys.modules.get("qiskit.quantum_info")
    if qi is None:
        return None
    if isinstance(op, qi.Pauli):
        return qi.SparsePauliOp(op)
    return op if isinstance(op, qi.SparsePauliOp) else None


def active_qubits(qc: Any, keep: Sequence[int] = ()) -> list[int]:
    """The qubits some instruction of ``qc`` acts on (control flow counts
    with all its blocks' qubits), with ``keep``, ascending; qubit 0 alone
    when there is none (a state needs a qubit)."""
    index = {bit: i for i, bit in enumerate(qc.qubits)}
    used = set(keep)
    for inst in qc.data:
        if inst.name not in _PASSIVE:
            used.update(index[q] for q in inst.qubits)
    if not used and qc.num_qubits:
        used.add(0)
    return sorted(used)


def compact_qiskit(qc: Any, keep: Sequence[int] = (), layout: Layout | None = None) -> tuple[Any, Layout]:
    """A Qiskit circuit as a vorn circuit on the qubits it acts on (and
    ``keep``), with its :class:`Layout`; ``layout`` reuses one found before
    (for the same circuit with other parameter values)."""
    _qiskit_circuit(qc, "from_qiskit")
    if layout is None:
        layout = Layout(qc.num_qubits, active_qubits(qc, keep))
    return convert_qiskit(qc, layout.qubit_map()), layout


def as_simulated(obj: Any) -> tuple[Any, Layout | None]:
    """What the entry points simulate for ``obj``: a Qiskit circuit on the
    qubits it acts on with its layout, a Cirq circuit converted (no layout),
    anything else as it is. Neither toolkit is imported for the check."""
    qiskit = sys.modules.get("qiskit")
    if qiskit is not None and isinstance(obj, qiskit.QuantumCircuit):
        return compact_qiskit(obj)
    cirq = sys.modules.get("cirq")
    if cirq is not None and isinstance(obj, cirq.AbstractCircuit):
        return from_cirq(obj), None
    return obj, None


def available_memory() -> int | None:
    """Bytes this process can still allocate, as far as the system says: the
    smallest of MemAvailable, the cgroup's room and the room under
    RLIMIT_AS (None when none is known)."""
    figures = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    figures.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError):
        pass
    try:
        with open("/sys/fs/cgroup/memory.max") as f:
            limit = f.read().strip()
        with open("/sys/fs/cgroup/memory.current") as f:
            current = int(f.read().strip())
        if limit != "max":
            figures.append(max(0, int(limit) - current))
    except (OSError, ValueError):
        pass
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        try:
            with open(f"/proc/{os.getpid()}/statm") as f:
                used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
            figures.append(max(0, soft - used))
        except (OSError, ValueError):
            pass
    return min(figures) if figures else None


def _bytes(n: int) -> str:
    if n >= 1 << 70:
        return f"2^{n.bit_length() - 1} bytes"
    for shift, unit in ((60, "EiB"), (50, "PiB"), (40, "TiB"), (30, "GiB"), (20, "MiB"), (10, "KiB")):
        if n >= 1 << shift:
            return f"{n / (1 << shift):.1f} {unit}"
    return f"{n} bytes"
