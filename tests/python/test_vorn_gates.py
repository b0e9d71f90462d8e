# Every gate method of vorn.Circuit against its matrix as Qiskit documents it
# (written out below, independently of the engine) and against Qiskit's own
# Operator of the same gate, placed on scattered, reordered qubits.
import cmath
import inspect
import math

import numpy as np
import pytest

import vorn
from vorn import _ext

S2 = 1 / math.sqrt(2)


def e(x):
    return cmath.exp(1j * x)


def cs(theta):
    return math.cos(theta / 2), math.sin(theta / 2)


def controlled(u, n_controls=1):
    """Controls on the low qubits, u on the ones above (Qiskit's qubit order
    for cx(control, target), ccx, cswap, mcx(controls, target))."""
    u = np.asarray(u, dtype=complex)
    m = np.eye(u.shape[0] << n_controls, dtype=complex)
    on = (1 << n_controls) - 1
    idx = [on + (r << n_controls) for r in range(u.shape[0])]
    m[np.ix_(idx, idx)] = u
    return m


def u_matrix(theta, phi, lam):
    c, s = cs(theta)
    return [[c, -e(lam) * s], [e(phi) * s, e(phi + lam) * c]]


def rx(t):
    c, s = cs(t)
    return [[c, -1j * s], [-1j * s, c]]


def ry(t):
    c, s = cs(t)
    return [[c, -s], [s, c]]


def rz(p):
    return [[e(-p / 2), 0], [0, e(p / 2)]]


def rxx(t):
    c, s = cs(t)
    return [[c, 0, 0, -1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [-1j * s, 0, 0, c]]


def ryy(t):
    c, s = cs(t)
    return [[c, 0, 0, 1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [1j * s, 0, 0, c]]


def rzx(t):
    c, s = cs(t)
    return [[c, 0, -1j * s, 0], [0, c, 0, 1j * s], [-1j * s, 0, c, 0], [0, 1j * s, 0, c]]


def xx_plus_yy(t, b):
    c, s = cs(t)
    return [[1, 0, 0, 0], [0, c, -1j * s * e(-b), 0], [0, -1j * s * e(b), c, 0], [0, 0, 0, 1]]


def xx_minus_yy(t, b):
    c, s = cs(t)
    return [[c, 0, 0, -1j * s * e(-b)], [0, 1, 0, 0], [0, 0, 1, 0], [-1j * s * e(b), 0, 0, c]]


X = [[0, 1], [1, 0]]
Y = [[0, -1j], [1j, 0]]
Z = [[1, 0], [0, -1]]
H = [[S2, S2], [S2, -S2]]
SX = [[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]]
SXDG = [[0.5 - 0.5j, 0.5 + 0.5j], [0.5 + 0.5j, 0.5 - 0.5j]]
SWAP = [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]
RCCX = np.zeros((8, 8), dtype=complex)
for _r, _c, _v in [(0, 0, 1), (1, 1, 1), (2, 2, 1), (3, 7, -1j), (4, 4, 1), (5, 5, -1), (6, 6, 1), (7, 3, 1j)]:
    RCCX[_r, _c] = _v

# name -> (qubit count, angle count, matrix of the angles). Qubit count 0:
# controls then target (mcx, mcp), tested with several control counts.
REFERENCE = {
    "id": (1, 0, lambda: np.eye(2)),
    "x": (1, 0, lambda: X),
    "y": (1, 0, lambda: Y),
    "z": (1, 0, lambda: Z),
    "h": (1, 0, lambda: H),
    "s": (1, 0, lambda: [[1, 0], [0, 1j]]),
    "sdg": (1, 0, lambda: [[1, 0], [0, -1j]]),
    "t": (1, 0, lambda: [[1, 0], [0, e(math.pi / 4)]]),
    "tdg": (1, 0, lambda: [[1, 0], [0, e(-math.pi / 4)]]),
    "sx": (1, 0, lambda: SX),
    "sxdg": (1, 0, lambda: SXDG),
    "r": (1, 2, lambda t, p: [[cs(t)[0], -1j * e(-p) * cs(t)[1]], [-1j * e(p) * cs(t)[1], cs(t)[0]]]),
    "rx": (1, 1, rx),
    "ry": (1, 1, ry),
    "rz": (1, 1, rz),
    "p": (1, 1, lambda t: [[1, 0], [0, e(t)]]),
    "u": (1, 3, u_matrix),
    "u1": (1, 1, lambda t: [[1, 0], [0, e(t)]]),
    "u2": (1, 2, lambda p, l: np.array([[1, -e(l)], [e(p), e(p + l)]]) * S2),
    "u3": (1, 3, u_matrix),
    "cx": (2, 0, lambda: controlled(X)),
    "cy": (2, 0, lambda: controlled(Y)),
    "cz": (2, 0, lambda: controlled(Z)),
    "ch": (2, 0, lambda: controlled(H)),
    "cs": (2, 0, lambda: controlled([[1, 0], [0, 1j]])),
    "csdg": (2, 0, lambda: controlled([[1, 0], [0, -1j]])),
    "csx": (2, 0, lambda: controlled(SX)),
    "cp": (2, 1, lambda t: controlled([[1, 0], [0, e(t)]])),
    "crx": (2, 1, lambda t: controlled(rx(t))),
    "cry": (2, 1, lambda t: controlled(ry(t))),
    "crz": (2, 1, lambda t: controlled(rz(t))),
    "cu": (2, 4, lambda t, p, l, g: controlled(e(g) * np.array(u_matrix(t, p, l)))),
    "cu1": (2, 1, lambda t: controlled([[1, 0], [0, e(t)]])),
    "cu3": (2, 3, lambda t, p, l: controlled(u_matrix(t, p, l))),
    "swap": (2, 0, lambda: SWAP),
    "iswap": (2, 0, lambda: [[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]]),
    "dcx": (2, 0, lambda: [[1, 0, 0, 0], [0, 0, 0, 1], [0, 1, 0, 0], [0, 0, 1, 0]]),
    "ecr": (2, 0, lambda: S2 * np.array([[0, 1, 0, 1j], [1, 0, -1j, 0], [0, 1j, 0, 1], [-1j, 0, 1, 0]])),
    "rxx": (2, 1, rxx),
    "ryy": (2, 1, ryy),
    "rzz": (2, 1, lambda t: np.diag([e(-t / 2), e(t / 2), e(t / 2), e(-t / 2)])),
    "rzx": (2, 1, rzx),
    "xx_plus_yy": (2, 2, xx_plus_yy),
    "xx_minus_yy": (2, 2, xx_minus_yy),
    "ccx": (3, 0, lambda: controlled(X, 2)),
    "ccz": (3, 0, lambda: controlled(Z, 2)),
    "cswap": (3, 0, lambda: controlled(SWAP, 1)),
    "rccx": (3, 0, lambda: RCCX),
    "mcx": (0, 0, lambda: X),
    "mcp": (0, 1, lambda t: [[1, 0], [0, e(t)]]),
}

ANGLES = [(0.0, 0.0, 0.0, 0.0), (0.7, -1.3, 0.4, 2.1), (-2.9, 0.25, -0.6, -1.7), (math.pi, math.pi / 2, -math.pi, 0.3)]
CONTROL_COUNTS = (1, 2, 3)  # for mcx / mcp; 3 controls reach the 4-qubit layout


def reference_matrix(name, params, n_controls):
    _, _, make = REFERENCE[name]
    m = np.asarray(make(*params), dtype=complex)
    return controlled(m, n_controls) if REFERENCE[name][0] == 0 else m


def apply_matrix(state, u, qubits, n):
    """u (qubits[0] = least significant bit of its index) on those qubits of an
    n-qubit state (qubit q = bit q of the index), by tensor contraction."""
    k = len(qubits)
    t = np.asarray(state, dtype=complex).reshape((2,) * n)
    axes = [n - 1 - q for q in reversed(qubits)]
    t = np.tensordot(np.asarray(u, dtype=complex).reshape((2,) * (2 * k)), t, axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(t, list(range(k)), axes).reshape(-1)


def embed(u, qubits, n):
    return np.column_stack([apply_matrix(np.eye(1 << n)[:, j], u, qubits, n) for j in range(1 << n)])


def vorn_operator(n, add_gate):
    """The whole circuit's matrix, a column per basis state (prepared with x)."""
    cols = []
    for j in range(1 << n):
        c = vorn.Circuit(n)
        for q in range(n):
            if j >> q & 1:
                c.x(q)
        add_gate(c)
        cols.append(vorn.statevector(c))
    return np.column_stack(cols)


def placements(name):
    """(register size, operands): operands reversed and spread over a register
    one qubit larger, so order and position both matter."""
    k = REFERENCE[name][0]
    if k:
        return [(k + 1, tuple(range(k, 0, -1))), (k + 1, tuple(range(0, k)))]
    return [(nc + 2, tuple(range(nc + 1, 1, -1)) + (0,)) for nc in CONTROL_COUNTS]


def call(c, name, params, qubits):
    method = getattr(c, name)
    if REFERENCE[name][0] == 0:
        method(*params, list(qubits[:-1]), qubits[-1])
    else:
        method(*params, *qubits)


CASES = [
    (name, angles[: REFERENCE[name][1]], n, qubits)
    for name in REFERENCE
    for angles in (ANGLES if REFERENCE[name][1] else ANGLES[:1])
    for n, qubits in placements(name)
]


@pytest.mark.parametrize(("name", "params", "n", "qubits"), CASES)
def test_gate_matrix_matches_the_documented_formula(name, params, n, qubits):
    got = vorn_operator(n, lambda c: call(c, name, params, qubits))
    want = embed(reference_matrix(name, params, len(qubits) - 1), qubits, n)
    np.testing.assert_allclose(got, want, rtol=0, atol=4e-16)


def qiskit_gate(name, params, n_controls):
    lib = pytest.importorskip("qiskit.circuit.library")
    special = {
        "id": lib.IGate, "u1": lib.U1Gate, "u2": lib.U2Gate, "u3": lib.U3Gate, "cu1": lib.CU1Gate,
        "cu3": lib.CU3Gate, "xx_plus_yy": lib.XXPlusYYGate, "xx_minus_yy": lib.XXMinusYYGate,
        "rccx": lib.RCCXGate,
    }
    if name in special:
        return special[name](*params)
    if name == "mcx":
        return lib.MCXGate(n_controls)
    if name == "mcp":
        return lib.MCPhaseGate(*params, n_controls)
    return None


@pytest.mark.qiskit
@pytest.mark.parametrize(("name", "params", "n", "qubits"), CASES)
def test_gate_matrix_matches_qiskit_operator(name, params, n, qubits):
    qiskit = pytest.importorskip("qiskit")
    from qiskit.quantum_info import Operator

    qc = qiskit.QuantumCircuit(n)
    gate = qiskit_gate(name, params, len(qubits) - 1)
    if gate is not None:
        qc.append(gate, list(qubits))
    else:
        getattr(qc, name)(*params, *qubits)
    got = vorn_operator(n, lambda c: call(c, name, params, qubits))
    # Qiskit builds mcp's matrix from its decomposition: a few more roundings.
    atol = 1e-14 if name == "mcp" else 4e-16
    np.testing.assert_allclose(got, Operator(qc).data, rtol=0, atol=atol)


def test_every_reference_gate_is_a_method_and_an_engine_row():
    rows = {row["name"]: (row["num_qubits"], row["num_params"]) for row in _ext.standard_gates()}
    assert set(rows) == set(REFERENCE)
    for name, (nq, npar, _) in REFERENCE.items():
        assert rows[name] == (nq, npar), name
        sig = inspect.signature(getattr(vorn.Circuit, name))
        # self, the angles, then one qubit argument per operand (or controls + target)
        assert len(sig.parameters) == 1 + npar + (nq or 2), name


@pytest.mark.parametrize("k", [1, 2, 3, 5])
def test_unitary_matches_its_matrix_on_the_given_qubit_order(k):
    rng = np.random.default_rng(k)
    q, _ = np.linalg.qr(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    n = k + 1
    qubits = list(rng.permutation(n)[:k])
    got = vorn_operator(n, lambda c: c.unitary(q, qubits))
    np.testing.assert_allclose(got, embed(q, qubits, n), rtol=0, atol=1e-14)


def test_global_phase_multiplies_the_state_and_wraps_like_qiskit():
    c = vorn.Circuit(2)
    c.h(0)
    c.global_phase = -0.5
    assert c.global_phase == pytest.approx(2 * math.pi - 0.5, abs=1e-15)
    want = apply_matrix(np.eye(4)[:, 0], H, [0], 2) * e(c.global_phase)
    np.testing.assert_allclose(vorn.statevector(c), want, rtol=0, atol=4e-16)
