# Writing a `unitary` on several qubits as OpenQASM 2: the exact rz/ry/cx
# decomposition (vorn._decompose) and the dumps that use it, against the
# matrix itself and Qiskit's loader (tests marked `qiskit`).
import math

import numpy as np
import pytest

import vorn
import vorn.qasm2 as qasm2
from vorn.interop import qasm2 as qasm2_writer
from vorn.model import decompose as _decompose


def haar(rng, k):
    """A Haar-random 2^k x 2^k unitary (QR of a complex Gaussian, phases fixed)."""
    n = 1 << k
    z = (rng.normal(size=(n, n)) + 1j * rng.normal(size=(n, n))) / math.sqrt(2)
    q, r = np.linalg.qr(z)
    return q * (np.diagonal(r) / np.abs(np.diagonal(r)))


def structured(rng, k):
    """Unitaries whose cosine-sine decompositions are degenerate: every
    angle 0 or pi/2, repeated singular values, blocks that vanish."""
    n = 1 << k
    perm = np.eye(n)[rng.permutation(n)]
    return {
        "identity": np.eye(n),
        "reversal": np.eye(n)[::-1],
        "permutation": perm,
        "diagonal": np.diag(np.exp(1j * rng.uniform(-4, 4, n))),
        "top qubit only": np.kron(haar(rng, 1), np.eye(n // 2)),
        "bottom qubit only": np.kron(np.eye(n // 2), haar(rng, 1)),
        "phase": np.exp(0.7j) * np.eye(n),
        "x-controlled": np.kron(np.diag([1, 0]), np.eye(n // 2)) + np.kron(np.diag([0, 1]), haar(rng, k - 1)),
    }


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5])
def test_decomposition_equals_the_matrix_with_its_phase(k):
    rng = np.random.default_rng(100 + k)
    cases = {f"haar {i}": haar(rng, k) for i in range(3)} | (structured(rng, k) if k > 1 else {})
    for name, u in cases.items():
        gates, phase = _decompose.decompose_unitary(u)
        assert {g for g, _, _ in gates} <= {"rz", "ry", "cx"}
        got = np.exp(1j * phase) * _decompose.gates_matrix(gates, k)
        np.testing.assert_allclose(got, u, rtol=0, atol=1e-12, err_msg=name)


@pytest.mark.parametrize(("k", "total", "cx"), [(2, 30, 14), (3, 140, 68), (4, 600, 296), (5, 2480, 1232)])
def test_gate_counts_are_the_documented_ones(k, total, cx):
    gates, _ = _decompose.decompose_unitary(haar(np.random.default_rng(k), k))
    assert (len(gates), sum(g == "cx" for g, _, _ in gates)) == (total, cx)
    assert f"{total} ({cx} cx) at k = {k}" in " ".join(qasm2.dumps.__doc__.split())
    assert _decompose.decompose_unitary(np.eye(1 << k))[0] == []


def unitary_circuit(rng, k, num_qubits):
    """A circuit with gates around a k-qubit unitary on scattered qubits."""
    c = vorn.Circuit(num_qubits)
    for q in range(num_qubits):
        c.h(q)
        c.rz(0.3 * (q + 1), q)
    qubits = [int(q) for q in rng.permutation(num_qubits)[:k]]
    c.unitary(haar(rng, k), qubits)
    c.cx(0, num_qubits - 1)
    c.global_phase = 0.4
    return c


@pytest.mark.parametrize("k", [2, 3, 4, 5])
def test_dumped_unitary_reads_back_to_the_same_state(k):
    rng = np.random.default_rng(k)
    c = unitary_circuit(rng, k, k + 1)
    text = qasm2.dumps(c)
    assert "unitary_0" in text and qasm2_writer.GLOBAL_PHASE_COMMENT in text
    np.testing.assert_allclose(vorn.statevector(qasm2.loads(text)), vorn.statevector(c), rtol=0, atol=1e-10)


def test_each_unitarys_phase_goes_into_the_one_phase_comment():
    c = vorn.Circuit(2)
    c.unitary(np.exp(0.25j) * np.eye(4), [0, 1])
    c.unitary(np.exp(0.5j) * np.eye(4), [1, 0])
    c.global_phase = 1.0
    text = qasm2.dumps(c)
    lines = [line for line in text.splitlines() if line.startswith(qasm2_writer.GLOBAL_PHASE_COMMENT)]
    assert len(lines) == 1
    assert math.isclose(float(lines[0][len(qasm2_writer.GLOBAL_PHASE_COMMENT):]), 1.75, abs_tol=1e-15)
    np.testing.assert_allclose(vorn.statevector(qasm2.loads(text)), vorn.statevector(c), rtol=0, atol=1e-12)


@pytest.mark.qiskit
@pytest.mark.parametrize("k", [2, 3, 4, 5])
def test_qiskit_reads_dumped_unitaries_to_the_same_state(k):
    pytest.importorskip("qiskit")
    from qiskit import qasm2 as qiskit_qasm2
    from qiskit.quantum_info import Operator, Statevector

    rng = np.random.default_rng(50 + k)
    c = unitary_circuit(rng, k, k + 1)
    text = qasm2.dumps(c)
    comment = next(line for line in text.splitlines() if line.startswith(qasm2_writer.GLOBAL_PHASE_COMMENT))
    phase = float(comment[len(qasm2_writer.GLOBAL_PHASE_COMMENT):])  # Qiskit ignores the comment
    qc = qiskit_qasm2.loads(text)
    want = vorn.statevector(c)
    np.testing.assert_allclose(Statevector(qc).data * np.exp(1j * phase), want, rtol=0, atol=1e-10)
    # The definition alone is the matrix, phase included.
    u = haar(rng, k)
    only = vorn.Circuit(k)
    only.unitary(u, list(range(k)))
    text = qasm2.dumps(only)
    comment = next(line for line in text.splitlines() if line.startswith(qasm2_writer.GLOBAL_PHASE_COMMENT))
    phase = float(comment[len(qasm2_writer.GLOBAL_PHASE_COMMENT):])
    np.testing.assert_allclose(Operator(qiskit_qasm2.loads(text)).data * np.exp(1j * phase), u, rtol=0, atol=1e-10)
