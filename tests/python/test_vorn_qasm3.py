# vorn.qasm3: dumps read back to the same circuit (every row of the gate
# table); Qiskit's exports read to from_qiskit's circuit; Qiskit's importer
# reads vorn's dumps to the same operator; the language read by running it
# (loops, subroutines, modifiers) against hand-built circuits; malformed and
# unsupported programs refused at the right place; a bounded fuzz run.
# Tests that need Qiskit are marked (the sanitizer run leaves them out).
import math
import random

import numpy as np
import pytest

import vorn
import vorn.qasm3 as qasm3
from vorn.model.circuit import GATES

HEAD = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'


def one_gate(name, controls=None):
    """A circuit applying row `name` once (variadic rows with `controls` controls)."""
    row = GATES[name]
    params = [0.3 + 0.2 * i for i in range(len(row["params"]))]
    if row["num_qubits"] == 0:
        c = vorn.Circuit(controls + 1)
        getattr(c, name)(*params, list(range(controls)), controls)
    else:
        c = vorn.Circuit(row["num_qubits"])
        getattr(c, name)(*params, *range(row["num_qubits"]))
    return c


ROWS = [(name, None) for name, row in GATES.items() if row["num_qubits"]] + [
    (name, k) for name in ("mcx", "mcp") for k in (0, 1, 2, 3)]


@pytest.mark.parametrize(("name", "controls"), ROWS)
def test_every_row_reads_back_as_itself(name, controls):
    c = one_gate(name, controls)
    assert qasm3.loads(qasm3.dumps(c)) == c


class Qiskit:
    def __init__(self):
        pytest.importorskip("qiskit")
        pytest.importorskip("qiskit_qasm3_import")
        import qiskit.qasm3
        from qiskit import ClassicalRegister, QuantumCircuit
        from qiskit.circuit import Parameter
        from qiskit.quantum_info import Operator

        self.qasm3, self.QuantumCircuit, self.ClassicalRegister = qiskit.qasm3, QuantumCircuit, ClassicalRegister
        self.Parameter, self.Operator = Parameter, Operator


@pytest.fixture(scope="module")
def qk():
    return Qiskit()


@pytest.mark.qiskit
@pytest.mark.parametrize(("name", "controls"), ROWS)
def test_qiskit_reads_every_row_to_the_same_operator(qk, name, controls):
    c = one_gate(name, controls)
    back = qk.qasm3.loads(qasm3.dumps(c))
    np.testing.assert_allclose(qk.Operator(back).data, qk.Operator(vorn.to_qiskit(c)).data, rtol=0, atol=1e-10)


def test_unitaries_and_global_phase_keep_the_state():
    rng = np.random.default_rng(5)
    c = vorn.Circuit(3)
    for k in (1, 2):
        z = rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k))
        q, r = np.linalg.qr(z)
        c.h(0)
        c.unitary(q * (np.diag(r) / abs(np.diag(r))), list(range(k)) if k == 1 else [2, 0])
    c.global_phase = 0.7
    back = qasm3.loads(qasm3.dumps(c))
    assert "unitary" not in back.count_ops()
    np.testing.assert_allclose(vorn.statevector(back), vorn.statevector(c), rtol=0, atol=1e-12)


def test_parameters_become_inputs_and_come_back_by_name():
    a, b = vorn.Parameter("alpha"), vorn.Parameter("θ")
    v = vorn.ParameterVector("v", 2)
    c = vorn.Circuit(2)
    c.rx(2 * a - 0.25, 0)
    c.cu(a, b, -b / 4, 0.5, 0, 1)
    c.rz(v[1] + 3 * v[0], 1)
    c.global_phase = a + 1.0
    text = qasm3.dumps(c)
    assert "input float[64] alpha;" in text and "input float[64] θ;" in text
    back = qasm3.loads(text)
    by_name = {p.name: p for p in back.parameters}
    assert set(by_name) == {"alpha", "θ", "v_0", "v_1"}
    values = {"alpha": 0.37, "θ": -1.1, "v_0": 0.2, "v_1": 2.5}
    mine = {a: 0.37, b: -1.1, v[0]: 0.2, v[1]: 2.5}
    assert back.assign_parameters({by_name[k]: x for k, x in values.items()}) == c.assign_parameters(mine)


def dynamic_circuit():
    c = vorn.Circuit(3, 2)
    c.add_register(vorn.ClassicalRegister(2, "flags"))
    c.h(0)
    c.measure(0, 0)
    with c.if_test((0, 1)) as else_:
        c.x(1)
        c.measure(1, 2)
        with c.if_test((c.cregs[1], 1)):
            c.rz(0.5, 2)
    with else_:
        c.reset(1)
    with c.if_test((1, 0)):
        c.cswap(0, 1, 2)
    c.measure([1, 2], [1, 3])
    return c


def test_if_else_blocks_read_back_as_blocks():
    c = dynamic_circuit()
    assert qasm3.loads(qasm3.dumps(c)) == c


# ---- Qiskit's exporter read by vorn ------------------------------------------

def random_qiskit(qk, seed, dynamic=False, parameters=()):
    """A random circuit of stdgates.inc gates (Qiskit's exporter writes them
    by name; others it defines without their global phase)."""
    rng = random.Random(seed)
    n = 4
    qc = qk.QuantumCircuit(n, 2) if dynamic else qk.QuantumCircuit(n)
    one = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "sx"]
    rot = ["rx", "ry", "rz", "p"]
    two = ["cx", "cy", "cz", "ch", "swap"]
    two_rot = ["crx", "cry", "crz", "cp"]

    def angle():
        if parameters and rng.random() < 0.5:
            return rng.choice([1, 2, -0.5]) * rng.choice(parameters) + rng.choice([0, 0.25])
        return rng.uniform(-3, 3)

    def layer(k):
        for _ in range(k):
            kind = rng.randrange(6)
            q = rng.sample(range(n), 3)
            if kind == 0:
                getattr(qc, rng.choice(one))(q[0])
            elif kind == 1:
                getattr(qc, rng.choice(rot))(angle(), q[0])
            elif kind == 2:
                getattr(qc, rng.choice(two))(q[0], q[1])
            elif kind == 3:
                getattr(qc, rng.choice(two_rot))(angle(), q[0], q[1])
            elif kind == 4:
                qc.u(angle(), angle(), angle(), q[0]) if rng.random() < 0.5 else qc.ccx(*q)
            else:
                qc.cu(angle(), angle(), angle(), angle(), q[0], q[1]) if rng.random() < 0.5 else qc.cswap(*q)

    layer(12)
    if dynamic:
        qc.measure(0, 0)
        qc.measure(1, 1)
        with qc.if_test((qc.clbits[0], 1)) as else_:
            layer(3)
        with else_:
            layer(2)
        with qc.if_test((qc.cregs[0], 2)):
            layer(2)
            qc.reset(2)
        with qc.if_test((qc.clbits[1], 0)):
            layer(1)
    return qc


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("dynamic", [False, True])
def test_qiskit_exports_read_to_from_qiskits_circuit(qk, seed, dynamic):
    qc = random_qiskit(qk, seed, dynamic)
    assert qasm3.loads(qk.qasm3.dumps(qc)) == vorn.from_qiskit(qc)


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", range(4))
def test_qiskit_exports_with_parameters_read_to_the_same_bound_state(qk, seed):
    params = [qk.Parameter("θ"), qk.Parameter("phi_1")]
    qc = random_qiskit(qk, seed, parameters=params)
    back = qasm3.loads(qk.qasm3.dumps(qc))
    assert {p.name for p in back.parameters} == {p.name for p in qc.parameters}
    values = dict(zip(sorted(p.name for p in qc.parameters), (0.31, -1.7)))
    bound = back.assign_parameters({p: values[p.name] for p in back.parameters})
    ref = vorn.from_qiskit(qc.assign_parameters({p: values[p.name] for p in qc.parameters}))
    np.testing.assert_allclose(vorn.statevector(bound), vorn.statevector(ref), rtol=0, atol=1e-12)


@pytest.mark.qiskit
def test_qiskit_definitions_of_other_gates_read_as_written(qk):
    # Qiskit writes sxdg and ecr by definitions without their global phase:
    # read as written (the same state up to that phase), not as the rows.
    qc = qk.QuantumCircuit(2)
    qc.h(0)
    qc.sxdg(1)
    qc.ecr(0, 1)
    qc.rzz(0.4, 0, 1)  # its definition is exact: read as the row
    back = qasm3.loads(qk.qasm3.dumps(qc))
    names = back.count_ops()
    assert "rzz" in names and "sxdg" not in names and "ecr" not in names
    a, b = vorn.statevector(back), vorn.statevector(vorn.from_qiskit(qc))
    assert abs(abs(np.vdot(a, b)) - 1) < 1e-12


@pytest.mark.qiskit
def test_qiskit_reads_dynamic_dumps(qk):
    c = dynamic_circuit()
    back = qk.qasm3.loads(qasm3.dumps(c))
    assert vorn.from_qiskit(back) == c


# ---- the language, run as it is read -----------------------------------------

def loads(body, **kw):
    return qasm3.loads(HEAD + body, **kw)


def test_constants_loops_subroutines_and_switch_unroll_to_gates():
    got = loads("""
        const int n = 2 + 1;
        const float[64] half = pi / 2;
        qubit[4] q;
        def layer(int k, qubit a, qubit b) -> int { cx a, b; return k * 2; }
        for int i in [0:n - 1] { rx(i * half) q[i]; }
        for uint j in {3, 1} { h q[j]; }
        int m = layer(5, q[0], q[1]);
        int k = 0;
        while (true) { k += 1; if (k == 2) continue; if (k > 3) break; z q[k]; }
        switch (m) { case 9, 11 { x q[0]; } case 10 { y q[0]; } default { z q[0]; } }
        for int i in [3:-1:2] { s q[i]; }
        rz(m % 3 + (1 << 2) + (7 & 5) + 0x10 + 2 ** 3) q[3];
    """)
    want = vorn.Circuit(4)
    for i in range(3):
        want.rx(i * (math.pi / 2), i)
    want.h(3), want.h(1), want.cx(0, 1)
    want.z(1), want.z(3), want.y(0), want.s(3), want.s(2)
    want.rz(1 + 4 + 5 + 16 + 8, 3)
    assert got == want


def test_modifiers_and_user_gates():
    got = loads("""
        qubit[3] q;
        gate g(a) x, y { rz(a) x; cx x, y; gphase(a); }
        inv @ g(0.5) q[0], q[1];
        pow(2) @ t q[2];
        pow(-1) @ s q[2];
        ctrl @ g(0.25) q[2], q[0], q[1];
        negctrl(2) @ x q[0], q[1], q[2];
        ctrl(3) @ gphase(0.1) q[0], q[1], q[2];
        ctrl @ U(0.1, 0.2, 0.3) q[0], q[1];
    """)
    want = vorn.Circuit(3)
    want.cx(0, 1), want.rz(-0.5, 0)
    want.t(2), want.t(2), want.sdg(2)
    want.crz(0.25, 2, 0), want.ccx(2, 0, 1), want.p(0.25, 2)
    want.x(0), want.x(1), want.ccx(0, 1, 2), want.x(0), want.x(1)
    want.mcp(0.1, [0, 1], 2)
    want.cu(0.1, 0.2, 0.3, 0.0, 0, 1)
    want.global_phase = -0.5
    assert got == want


def test_a_definition_named_like_a_row_with_another_body_is_inlined():
    got = loads("qubit[2] q;\ngate rzz(t) a, b { cx a, b; rz(t) a; }\nrzz(0.3) q[0], q[1];\n")
    want = vorn.Circuit(2)
    want.cx(0, 1), want.rz(0.3, 0)
    assert got == want


def test_controlled_gates_without_a_row_become_controlled_matrices():
    got = loads("qubit[3] q;\nctrl(2) @ h q[0], q[1], q[2];\n")
    (ins,) = got.data
    assert ins.name == "unitary" and ins.qubits == (0, 1, 2)
    want = np.eye(8, dtype=complex)
    want[np.ix_([3, 7], [3, 7])] = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
    np.testing.assert_allclose(ins.matrix, want, rtol=0, atol=1e-15)


@pytest.mark.parametrize(("body", "message", "place"), [
    ("input float[64] th;\nqubit[3] q;\nctrl(2) @ rx(th) q[0], q[1], q[2];\n", "with an input parameter", (5, 11)),
    ("qubit[11] q;\nctrl(10) @ h " + ", ".join(f"q[{i}]" for i in range(11)) + ";\n", "on 11 qubits", (4, 12)),
])
def test_controlled_gates_without_a_row_need_known_angles_and_few_qubits(body, message, place):
    with pytest.raises(qasm3.QASM3Error, match=message) as info:
        loads(body)
    assert (info.value.line, info.value.column) == place


def test_measurement_forms_and_broadcasts():
    got = loads("""
        qubit[2] q; qreg r[1]; bit[2] c; creg d[1]; bit e = measure r[0];
        c = measure q; measure q[1] -> d[0]; c[0] = measure r;
        reset q; barrier; h q;
        if (c == 2) { x q[0]; } else if (e) { y q[0]; }
    """)
    want = vorn.Circuit(3)
    for size, name in ((2, "c"), (1, "d"), (1, "e")):
        want.add_register(vorn.ClassicalRegister(size, name))
    want.measure(2, 3), want.measure([0, 1], [0, 1]), want.measure(1, 2), want.measure(2, 0)
    want.reset([0, 1]), want.barrier(0, 1, 2), want.h(0), want.h(1)
    with want.if_test((want.cregs[0], 2)) as else_:
        want.x(0)
    with else_:
        with want.if_test((3, 1)):
            want.y(0)
    assert got == want


def test_timing_and_calibration_are_ignored_with_warnings():
    text = """
        defcalgrammar "openpulse";
        defcal x $0 { play(drive($0), gaussian(100, 10dt)); }
        qubit[1] q;
        duration d = 100ns;
        delay[d] q[0];
        box [200ns] { h q[0]; }
        #pragma vorn nothing
        x q[0];
    """
    with pytest.warns(qasm3.QASM3Warning) as record:
        got = loads(text)
    assert len(record) == 6
    assert str(record[0].message).startswith("line 4, column 9: 'defcalgrammar' is ignored")
    want = vorn.Circuit(1)
    want.h(0), want.x(0)
    assert got == want


def test_files_and_includes(tmp_path):
    (tmp_path / "lib.inc").write_text("gate flip a { x a; }\n")
    main = tmp_path / "main.qasm"
    main.write_text(HEAD + 'include "lib.inc";\nqubit q;\nflip q;\n')
    got = qasm3.load(main)
    assert got.count_ops() == {"x": 1}
    (tmp_path / "self.inc").write_text('include "self.inc";\n')
    with pytest.raises(qasm3.QASM3Error, match="nested more than 16 deep") as info:
        qasm3.loads('include "self.inc";', include_path=[tmp_path])
    assert info.value.file.endswith("self.inc")
    with pytest.raises(FileNotFoundError):
        qasm3.load(tmp_path / "missing.qasm")


# ---- refusals at the right place -----------------------------------------------

BAD = [
    ("qubit q;\nh q;\n", 2, 1, "comes with stdgates.inc"),
    (HEAD + "qubit[2] q;\ncx q[0], q[0];\n", 4, 10, "used twice"),
    (HEAD + "qubit[2] q;\nh q[2];\n", 4, 5, "index 2 is out of range for 'q' of size 2"),
    (HEAD + "qubit q;\nrx(1, 2) q;\n", 4, 1, "gate 'rx' takes 1 parameter, 2 given"),
    (HEAD + "qubit q;\nh q\n", 5, 1, "expected ';', found end of input"),
    (HEAD + "qubit q;\npow(0.5) @ x q;\n", 4, 5, "pow(0.5) @ is not supported"),
    (HEAD + "qubit q;\nbit c;\nc = measure q;\nwhile (c) { x q; }\n", 6, 1, "'while' loop on measured bits"),
    (HEAD + "qubit q;\nbit c;\nint i = 0;\nif (c) { i = 1; }\n", 6, 10, "assigning a classical variable inside"),
    (HEAD + "input float[64] a;\nqubit q;\nrx(sin(a)) q;\n", 5, 8, "'sin' of an input parameter"),
    (HEAD + "input int n;\n", 3, 7, "this input type is not supported"),
    (HEAD + "qubit q;\nfor int i in [0:10000000000] { x q; }\n", 4, 14, "max_instructions"),
    (HEAD + "int x = 1 / 0;\n", 3, 11, "division by zero"),
    (HEAD + "qubit q;\nlet a = q;\n", 4, 1, "'let' aliases is not supported"),
    (HEAD + "qubit q;\ngate g a { measure a; }\n", 4, 12, "'measure' is not allowed inside a gate body"),
    (HEAD + "/* open\n", 3, 1, "unterminated comment"),
    (HEAD + "y1 = 1;\n", 3, 1, "'y1' is not defined"),
    ("OPENQASM 2.0;\n", 1, 10, "read it with vorn.qasm2"),
    (HEAD + "qubit q;\nbreak;\n", 4, 1, "'break' outside a loop"),
    (HEAD + "qubit q;\nrx(" + "(" * 2000 + "1" + ")" * 2000 + ") q;\n", 4, 260, "nested more than 256 deep"),
]


@pytest.mark.parametrize(("text", "line", "column", "message"), BAD)
def test_malformed_or_unsupported_programs_raise_with_the_place(text, line, column, message):
    with pytest.raises(qasm3.QASM3Error) as info:
        qasm3.loads(text)
    assert (info.value.line, info.value.column) == (line, column)
    assert message in str(info.value)
    assert str(info.value).startswith(f"line {line}, column {column}: ")


def test_expansion_is_bounded():
    with pytest.raises(qasm3.QASM3Error, match="max_instructions = 1000"):
        loads("qubit q;\ngate a x { h x; h x; }\ngate b x { a x; a x; a x; a x; }\n"
              "for int i in [0:200] { b q; }\n", max_instructions=1000)
    with pytest.raises(qasm3.QASM3Error, match="max_instructions = 1000"):
        loads("while (true) { }\n", max_instructions=1000)


def test_fuzzed_programs_parse_or_raise_qasm3error():
    # Random byte changes to valid programs: every outcome is a circuit or a
    # QASM3Error, never another exception, a crash or a hang (bounded steps).
    sources = [qasm3.dumps(dynamic_circuit()), qasm3.dumps(one_gate("xx_plus_yy")), HEAD + """
        const int n = 3; qubit[3] q; bit[3] c; input float[64] t;
        gate g(a) x, y { ctrl @ rz(a) x, y; }
        def f(int k, qubit r) -> int { h r; return k + 1; }
        for int i in [0:n - 1] { g(t * 2 + i) q[i], q[(i + 1) % 3]; }
        c[0] = measure q[0]; if (c[0]) { x q[1]; } else { y q[2]; }
        int m = f(2, q[1]); switch (m) { case 3 { z q; } default { } }
    """]
    rng = random.Random(32)
    alphabet = b"{}[]()<>;:,=@!~&|^+-*/%$#\"'0123456789.abcxyzq \n\tpiuU_"
    outcomes = {"ok": 0, "error": 0}
    for i in range(400):
        data = bytearray(sources[i % len(sources)].encode())
        for _ in range(rng.randint(1, 4)):
            pos = rng.randrange(len(data))
            op = rng.randrange(3)
            if op == 0:
                data[pos] = rng.choice(alphabet)
            elif op == 1:
                del data[pos]
            else:
                data[pos:pos] = data[rng.randrange(len(data)):][:rng.randint(1, 40)]
        text = data.decode("utf-8", "replace")
        try:
            import warnings

            with warnings.catch_warnings():
                warnings.simplefilter("ignore", qasm3.QASM3Warning)
                qasm3.loads(text, max_instructions=20_000)
            outcomes["ok"] += 1
        except qasm3.QASM3Error:
            outcomes["error"] += 1
    assert outcomes["ok"] > 0 and outcomes["error"] > 0


def test_dumps_refuses_what_it_cannot_write():
    c = vorn.Circuit(1)
    c.rx(math.nan, 0)
    with pytest.raises(ValueError, match="non-finite"):
        qasm3.dumps(c)
    with pytest.raises(TypeError):
        qasm3.dumps("not a circuit")
