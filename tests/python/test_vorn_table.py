# The standard gate table as every reader sees it: each row walked through
# Circuit, Qiskit, Cirq and OpenQASM 2 and back to the same state (global
# phase included), its inverse, its method's signature and docstring, and the
# README's gate list.
import inspect
import pathlib
import re

import numpy as np
import pytest

import vorn
from vorn import _ext, qasm2
from vorn.interop import qasm2 as qasm2_writer
from vorn.model.circuit import GATES

ROWS = _ext.standard_gates()
ANGLES = (0.7, -1.3, 2.2, 0.4)
ATOL = 1e-12


def operands(row):
    """Operands spread over one more qubit than the gate needs, reversed."""
    k = row["num_qubits"] or 4  # mcx / mcp: three controls (Qiskit's C3XGate) and the target
    return k + 1, list(range(k, 0, -1))


def prepared(n):
    """A circuit whose state is generic (every amplitude non-zero, entangled)."""
    c = vorn.Circuit(n)
    for q in range(n):
        c.u(0.3 + 0.4 * q, 0.2 * q - 0.5, 1.1 - 0.3 * q, q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    for q in range(n):
        c.ry(0.9 - 0.2 * q, q)
    return c


def with_gate(row):
    n, qubits = operands(row)
    c = prepared(n)
    params = ANGLES[: row["num_params"]]
    if row["num_qubits"]:
        getattr(c, row["name"])(*params, *qubits)
    else:
        getattr(c, row["name"])(*params, qubits[:-1], qubits[-1])
    return c


@pytest.fixture(params=ROWS, ids=[r["name"] for r in ROWS])
def row(request):
    return request.param


def test_inverse_undoes_the_gate(row):
    c = with_gate(row)
    gate = vorn.Circuit(c.num_qubits)
    gate.append(c[-1])
    both = c.compose(gate.inverse())
    np.testing.assert_allclose(vorn.statevector(both), vorn.statevector(prepared(c.num_qubits)), rtol=0, atol=ATOL)
    if row["inverse"]:  # a gate of the table, not a matrix
        assert gate.inverse()[0].name == row["inverse"].split("(")[0].split()[0]


def test_openqasm_round_trip(row):
    c = with_gate(row)
    text = qasm2.dumps(c)
    back = qasm2.loads(text)
    np.testing.assert_allclose(vorn.statevector(back), vorn.statevector(c), rtol=0, atol=ATOL)
    if row["qelib1"]:
        assert back[-1].name == row["name"] and f"\n{row['qelib1']}" in text


@pytest.mark.qiskit
def test_qiskit_round_trip_and_qiskits_own_reading(row):
    qiskit = pytest.importorskip("qiskit")
    from qiskit.quantum_info import Statevector

    c = with_gate(row)
    want = vorn.statevector(c)
    qc = vorn.to_qiskit(c)
    assert isinstance(qc.data[-1].operation, getattr(qiskit.circuit.library, row["qiskit"][0]))
    np.testing.assert_allclose(Statevector(qc).data, want, rtol=0, atol=ATOL)
    back = vorn.from_qiskit(qc)
    assert back[-1].name == row["name"]
    np.testing.assert_allclose(vorn.statevector(back), want, rtol=0, atol=ATOL)
    # Qiskit's loader of the dump (it ignores the phase comment; c has none).
    loaded = qiskit.qasm2.loads(qasm2.dumps(c), custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    np.testing.assert_allclose(Statevector(loaded).data, want, rtol=0, atol=ATOL)


@pytest.mark.cirq
def test_cirq_round_trip(row):
    cirq = pytest.importorskip("cirq")

    c = with_gate(row)
    want = vorn.statevector(c)
    circuit = vorn.to_cirq(c)
    last = list(circuit.all_operations())[-1]
    assert isinstance(last.gate, cirq.MatrixGate) == (not row["cirq"])
    got = cirq.final_state_vector(circuit, qubit_order=sorted(circuit.all_qubits()), dtype=np.complex128)
    np.testing.assert_allclose(got, want, rtol=0, atol=ATOL)
    back = vorn.from_cirq(circuit)
    if row["cirq"]:
        assert back[-1].name != "unitary"
    np.testing.assert_allclose(vorn.statevector(back), want, rtol=0, atol=ATOL)


def test_methods_have_the_rows_signature_and_docstring(row):
    method = getattr(vorn.Circuit, row["name"])
    names = list(inspect.signature(method).parameters)
    assert names == ["self", *row["params"], *row["qubits"]]
    doc = inspect.getdoc(method)
    for text in (row["matrix"], row["qiskit"][0], *row["params"], *row["qubits"]):
        assert text in doc
    assert len(row["params"]) == row["num_params"]
    assert len(row["qubits"]) == (row["num_qubits"] or 2)


def test_every_qelib1_name_reads_back_as_its_row():
    rows = [r for r in ROWS if r["qelib1"]]
    lines = ['OPENQASM 2.0;', 'include "qelib1.inc";', "qreg q[3];"]
    for r in rows:
        params = f"({','.join(str(a) for a in ANGLES[: r['num_params']])})" if r["num_params"] else ""
        lines.append(f"{r['qelib1']}{params} {','.join(f'q[{i}]' for i in range(r['num_qubits']))};")
    c = qasm2.loads("\n".join(lines))
    assert [ins.name for ins in c] == [r["name"] for r in rows]


def test_table_and_package_agree():
    assert list(GATES) == [r["name"] for r in ROWS]
    assert set(qasm2_writer._QELIB1) | set(qasm2_writer._DEFINITIONS) | {"mcx", "mcp"} == set(GATES)


def test_readme_gate_list_is_the_table():
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    listed = re.search(r"^Gates: `([^`]*)`", readme, re.M)
    assert listed is not None
    assert listed.group(1).split() == [r["name"] for r in ROWS]
