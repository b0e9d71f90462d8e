"""Exact decomposition of a k-qubit unitary into rz, ry and cx gates.

The matrix is split by cosine-sine decompositions, one qubit at a time, into
multiplexed (uniformly controlled) rotations, as in Möttönen et al., "Quantum
circuits for general multiqubit gates" (2004):

    U = diag(L0, L1) . [[C, -S], [S, C]] . diag(R0, R1)^H

is two multiplexed unitaries on one qubit fewer and one multiplexed ``ry``.
A multiplexed one-qubit unitary is three multiplexed rotations (rz ry rz) and
a diagonal on its controls; a multiplexed rotation with c controls is 2^c
rotations and 2^c cx gates. Only SVD, QR and matrix products are used, and no
division by a small number, so the gates equal the matrix to rounding (about
1e-14 at five qubits), whatever its degeneracies.

Qubit i of the matrix is bit i of its row index (the least significant bit is
qubit 0, as in Qiskit's UnitaryGate).
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["Gate", "decompose_unitary", "gates_matrix"]

# (name, qubits, angle): ("rz", (q,), a), ("ry", (q,), a) or ("cx", (control, target), None).
Gate = tuple[str, tuple[int, ...], float | None]


def decompose_unitary(matrix: np.ndarray) -> tuple[list[Gate], float]:
    """Gates on qubits 0..k-1 and a global phase whose product is ``matrix``
    (2^k x 2^k, unitary): ``matrix == exp(i*phase) * product(gates)``."""
    m = np.asarray(matrix, dtype=np.complex128)
    k = m.shape[0].bit_length() - 1
    if m.shape != (1 << k, 1 << k) or k < 1:
        raise ValueError(f"expected a 2^k x 2^k matrix, got shape {m.shape}")
    out = _Gates()
    _multiplexed(out, [], list(range(k)), m[np.newaxis])
    return out.gates, out.phase


def gates_matrix(gates: list[Gate], num_qubits: int) -> np.ndarray:
    """The unitary of a gate list from :func:`decompose_unitary` (no phase)."""
    dim = 1 << num_qubits
    u = np.eye(dim, dtype=np.complex128)
    index = np.arange(dim)
    for name, qubits, angle in gates:
        if name == "cx":
            c, t = qubits
            rows = np.where((index >> c) & 1, index ^ (1 << t), index)
            u = u[rows]
            continue
        (q,) = qubits
        g = _rotation(name, angle)
        bit = (index >> q) & 1
        partner = u[index ^ (1 << q)]
        u = g[bit, bit][:, None] * u + g[bit, 1 - bit][:, None] * partner
    return u


def _rotation(name: str, angle: float) -> np.ndarray:
    c, s = math.cos(angle / 2), math.sin(angle / 2)
    if name == "ry":
        return np.array([[c, -s], [s, c]], dtype=np.complex128)
    return np.array([[complex(c, -s), 0], [0, complex(c, s)]], dtype=np.complex128)


class _Gates:
    def __init__(self) -> None:
        self.gates: list[Gate] = []
        self.phase = 0.0

    def rotation(self, name: str, qubit: int, angle: float) -> None:
        if angle != 0.0:  # an exact identity
            self.gates.append((name, (qubit,), float(angle)))

    def cx(self, control: int, target: int) -> None:
        # cx gates on one target commute; one equal to the new gate among the
        # last ones on this target cancels it (what makes a multiplexed
        # rotation 2^c cx gates rather than 2^(c+1) - 2).
        for i in range(len(self.gates) - 1, -1, -1):
            name, qubits, _ = self.gates[i]
            if name != "cx" or qubits[1] != target:
                break
            if qubits[0] == control:
                del self.gates[i]
                return
        self.gates.append(("cx", (control, target), None))


def _multiplexed_rotation(out: _Gates, name: str, controls: list[int], target: int, angles: np.ndarray) -> None:
    """For each value j of ``controls`` (controls[i] is bit i of j), the
    rotation ``name(angles[j])`` on ``target``."""
    if not controls:
        out.rotation(name, target, angles[0])
        return
    half = len(angles) // 2
    low, high = angles[:half], angles[half:]
    top = controls[-1]
    # With the top control 0 the target turns by a + b, with it 1 by a - b
    # (x r(b) x = r(-b) for rz and ry).
    _multiplexed_rotation(out, name, controls[:-1], target, (low + high) / 2)
    out.cx(top, target)
    # The same gates reversed are the same operator (an even number of x on
    # every path), and reversed they start with the cx the first half ended with.
    second = _Gates()
    _multiplexed_rotation(second, name, controls[:-1], target, (low - high) / 2)
    for gate, qubits, angle in reversed(second.gates):
        if gate == "cx":
            out.cx(*qubits)
        else:
            out.rotation(gate, qubits[0], angle)
    out.cx(top, target)


def _diagonal(out: _Gates, qubits: list[int], phases: np.ndarray) -> None:
    """diag(exp(i*phases)) on ``qubits`` (qubits[i] is bit i of the index)."""
    if not qubits:
        out.phase += float(phases[0])
        return
    half = len(phases) // 2
    low, high = phases[:half], phases[half:]
    # diag(e^{ia}, e^{ib}) = e^{i(a+b)/2} rz(b - a)
    _multiplexed_rotation(out, "rz", qubits[:-1], qubits[-1], high - low)
    _diagonal(out, qubits[:-1], (low + high) / 2)


def _zyz(u: np.ndarray) -> tuple[float, float, float, float]:
    """(alpha, beta, gamma, delta) with u = e^{i alpha} rz(beta) ry(gamma) rz(delta)."""
    alpha = float(np.angle(u[0, 0] * u[1, 1] - u[0, 1] * u[1, 0])) / 2
    v = u * complex(math.cos(alpha), -math.sin(alpha))  # in SU(2): [[a, -b*], [b, a*]]
    a, b = (v[0, 0] + np.conj(v[1, 1])) / 2, (v[1, 0] - np.conj(v[0, 1])) / 2
    gamma = 2 * math.atan2(abs(b), abs(a))
    arg_a = float(np.angle(a)) if abs(a) > 0 else 0.0
    arg_b = float(np.angle(b)) if abs(b) > 0 else 0.0
    return alpha, arg_b - arg_a, gamma, -arg_a - arg_b


def _multiplexed(out: _Gates, controls: list[int], targets: list[int], mats: np.ndarray) -> None:
    """For each value j of ``controls``, the unitary mats[j] on ``targets``
    (targets[i] is bit i of its row index)."""
    if len(targets) == 1:
        angles = np.array([_zyz(u) for u in mats])
        t = targets[0]
        _multiplexed_rotation(out, "rz", controls, t, angles[:, 3])
        _multiplexed_rotation(out, "ry", controls, t, angles[:, 2])
        _multiplexed_rotation(out, "rz", controls, t, angles[:, 1])
        _diagonal(out, controls, angles[:, 0])
        return
    top, rest = targets[-1], targets[:-1]
    parts = [_cosine_sine(u) for u in mats]
    # The top target joins the controls as their most significant bit.
    right = np.concatenate([np.array([p[2] for p in parts]), np.array([p[3] for p in parts])])
    left = np.concatenate([np.array([p[0] for p in parts]), np.array([p[1] for p in parts])])
    # ry(2 theta) = [[c, -s], [s, c]]; its index: controls low, the rest high.
    theta = np.array([p[4] for p in parts])  # [control value, rest value]
    _multiplexed(out, controls + [top], rest, right)
    _multiplexed_rotation(out, "ry", controls + rest, top, 2 * theta.T.reshape(-1))
    _multiplexed(out, controls + [top], rest, left)


def _cosine_sine(u: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """(L0, L1, R0^H, R1^H, theta) with
    u = diag(L0, L1) [[cos theta, -sin theta], [sin theta, cos theta]] diag(R0^H, R1^H)."""
    m = u.shape[0] // 2
    u00, u01, u10, u11 = u[:m, :m], u[:m, m:], u[m:, :m], u[m:, m:]
    l0, c, r0h = np.linalg.svd(u00)
    c = np.minimum(c, 1.0)
    # u10 R0 = L1 S has orthogonal columns of norms s = sqrt(1 - c^2). QR
    # from the largest s down keeps the well-determined directions exact;
    # columns with s ~ 0 only complete L1 to a unitary (any completion works).
    t = u10 @ r0h.conj().T
    order = np.argsort(-(1.0 - c * c), kind="stable")
    q, r = np.linalg.qr(t[:, order])
    d = np.diagonal(r)
    s_sorted = np.abs(d)
    phase = np.where(s_sorted > 0, d / np.where(s_sorted > 0, s_sorted, 1.0), 1.0)
    l1 = np.empty_like(q)
    s = np.empty(m)
    l1[:, order] = q * phase
    s[order] = s_sorted
    theta = np.arctan2(s, c)
    # -L0^H u01 = S R1^H and L1^H u11 = C R1^H: rows of R1^H are their
    # combination s x + c y, which divides by nothing.
    x = -(l0.conj().T @ u01)
    y = l1.conj().T @ u11
    cos, sin = np.cos(theta), np.sin(theta)
    r1h = sin[:, None] * x + cos[:, None] * y
    return l0, l1, r0h, r1h, theta
