# vorn.qasm2 against Qiskit's OpenQASM 2 loader (with its legacy qelib1
# gates): loaded programs give Qiskit's state vector, global phase included;
# dumps read back to the same entries and are readable by Qiskit. Tests that
# need Qiskit are marked (the sanitizer run leaves them out).
import math
import os
import re

import numpy as np
import pytest

import vorn
import vorn.qasm2 as qasm2

HEAD = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


class Qiskit:
    """Qiskit's loader (legacy qelib1 gates or the default) and its state vectors."""

    def __init__(self):
        pytest.importorskip("qiskit")
        from qiskit import qasm2 as qiskit_qasm2
        from qiskit.circuit.random import random_circuit
        from qiskit.quantum_info import Statevector

        self.qasm2, self.random_circuit, self.Statevector = qiskit_qasm2, random_circuit, Statevector

    def loads(self, text):
        return self.qasm2.loads(text, custom_instructions=self.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)

    def state(self, qc):
        return self.Statevector(qc.remove_final_measurements(inplace=False)).data

    def assert_same_state(self, text, phase=0.0):
        # Qiskit ignores vorn's global-phase comment: `phase` is what it says.
        got = vorn.statevector(qasm2.loads(text))
        np.testing.assert_allclose(got, self.state(self.loads(text)) * np.exp(1j * phase), rtol=0, atol=1e-10)

    def assert_reads_dump(self, c):
        # With its legacy gates, and with the default loader, which knows only
        # the original qelib1 gates and uses the dump's definitions.
        text = qasm2.dumps(c)
        for qc in (self.loads(text), self.qasm2.loads(text)):
            want = self.state(qc) * np.exp(1j * c.global_phase)
            np.testing.assert_allclose(vorn.statevector(c), want, rtol=0, atol=1e-10)


@pytest.fixture(scope="module")
def qk():
    return Qiskit()


ALL_QELIB1 = HEAD + """
qreg q[3];
qreg r[2];
creg c[3];
u3(0.1,0.2,0.3) q[0]; u2(0.4,0.5) q[1]; u1(0.6) q[2]; cx q[0],r[1]; id q[0]; u0(2) q[1];
x q[0]; y q[1]; z q[2]; h r; s q[0]; sdg q[1]; t q[2]; tdg r[1];
rx(0.7) q[0]; ry(0.8) q[1]; rz(0.9) q[2];
cz q[0],q[1]; cy q[1],q[2]; ch q[2],r[0]; ccx q[0],q[1],r[0]; crz(1.1) q[1],q[0]; cu1(1.2) q[2],q[1];
cu3(1.3,1.4,1.5) r[0],r[1]; u(1.6,1.7,1.8) q[0]; p(1.9) q[1]; sx q[2]; sxdg r[0]; swap q[0],r[1];
cswap q[0],q[1],q[2]; crx(2.1) q[0],q[1]; cry(2.2) q[1],q[2]; cp(2.3) q[2],r[0]; csx r[0],r[1];
cu(2.4,2.5,2.6,2.7) q[1],r[1]; rxx(2.8) q[0],q[2]; rzz(2.9) q[1],r[0]; rccx q[0],q[1],q[2];
rc3x q[0],q[1],q[2],r[0]; c3x r[1],q[1],q[0],q[2]; c3sqrtx q[2],q[1],r[1],q[0]; c4x q[0],q[1],q[2],r[0],r[1];
U(0.3,0.2,0.1) q[1]; CX q[1],q[0];
barrier q, r[0];
measure q -> c;
"""

USER_GATES = HEAD + """
// vorn: global_phase = 0.75
qreg a[2];
qreg b[2];
gate inner(t, s) x, y { rz(t/2 - s) x; cx x, y; ry(-t^2/3) y; U(sin(t), cos(s)*2, ln(t+4)) x; }
gate outer(t) x, y, z { inner(t*2, sqrt(t+1)) x, z; h y; inner(exp(-t), 3*t) z, y; CX y, x; }
outer(0.37) a[0], b[1], a[1];
outer(-1.5e-1) b[0], a[1], a[0];
h a;
cx a, b;
cx a[0], b;
rz(-pi^2/7) b;
"""


def qft_adder(n):
    # QFT on n qubits followed by a Draper-style constant addition, as QASMBench writes them.
    lines = [HEAD, f"qreg q[{n}];", f"creg m[{n}];", "x q[0];", f"x q[{n - 1}];"]
    for j in range(n):
        lines.append(f"h q[{j}];")
        lines += [f"cu1(pi/{2 ** (k - j)}) q[{k}],q[{j}];" for k in range(j + 1, n)]
    lines += [f"u1({(k + 1) * 0.3}) q[{k}];" for k in range(n)]
    lines += [f"swap q[{i}],q[{n - 1 - i}];" for i in range(n // 2)]
    lines.append("measure q -> m;")
    return "\n".join(lines)


@pytest.mark.qiskit
@pytest.mark.parametrize(("text", "phase"), [(ALL_QELIB1, 0.0), (USER_GATES, 0.75), (qft_adder(9), 0.0)],
                         ids=["all-qelib1", "user-gates", "qft-adder"])
def test_loaded_state_equals_qiskits(qk, text, phase):
    qk.assert_same_state(text, phase)


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", range(6))
def test_qiskit_exports_of_random_circuits_load_to_qiskits_state(qk, seed):
    qc = qk.random_circuit(6, 12, max_operands=3, seed=seed)
    qc.global_phase = 0.0  # a Qiskit dump does not carry it
    qk.assert_same_state(qk.qasm2.dumps(qc))


def test_registers_become_flat_qubits_and_named_clbits():
    c = qasm2.loads(HEAD + "qreg a[2];\nqreg b[1];\ncreg x[1];\ncreg y[2];\nh b;\nmeasure b[0] -> y[1];\n")
    assert c.num_qubits == 3
    assert c.cregs == [vorn.ClassicalRegister(1, "x"), vorn.ClassicalRegister(2, "y")]
    assert [(i.name, i.qubits, i.clbits) for i in c.data] == [("h", (2,), ()), ("measure", (2,), (2,))]


def qelib1_circuit(rng, n, count):
    """A random circuit of every gate the dump writes under its own name."""
    gates = {"id": 0, "x": 0, "y": 0, "z": 0, "h": 0, "s": 0, "sdg": 0, "t": 0, "tdg": 0, "sx": 0, "sxdg": 0,
             "rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3, "u1": 1, "u2": 2, "u3": 3}
    two = {"cx": 0, "cy": 0, "cz": 0, "ch": 0, "crx": 1, "cry": 1, "crz": 1, "cp": 1, "cu": 4, "cu1": 1,
           "cu3": 3, "csx": 0, "swap": 0, "rxx": 1, "rzz": 1}
    three = {"ccx": 0, "cswap": 0, "rccx": 0}
    c = vorn.Circuit(n, n)
    table = [(g, k, 1) for g, k in gates.items()] + [(g, k, 2) for g, k in two.items()]
    table += [(g, k, 3) for g, k in three.items()] + [("mcx", 0, 4), ("mcx", 0, 5)]
    for _ in range(count):
        name, k, arity = table[rng.integers(len(table))]
        qubits = [int(q) for q in rng.permutation(n)[:arity]]
        angles = [float(a) for a in rng.uniform(-10, 10, k) * rng.choice([1, 1e-7, 1e5], k)]
        if name == "mcx":
            c.mcx(qubits[:-1], qubits[-1])
        else:
            getattr(c, name)(*angles, *qubits)
    c.global_phase = float(rng.uniform(0, 6))
    c.measure_all(add_bits=False)
    return c


@pytest.mark.parametrize("seed", range(3))
def test_qelib1_circuit_round_trips_to_the_same_entries_and_bits(seed):
    c = qelib1_circuit(np.random.default_rng(seed), 6, 300)
    back = qasm2.loads(qasm2.dumps(c))
    assert back.data == c.data  # names, qubits, clbits, and angles bit for bit
    assert back.global_phase == c.global_phase
    assert back.cregs == c.cregs


@pytest.mark.qiskit
def test_qiskit_reads_qelib1_dumps(qk):
    qk.assert_reads_dump(qelib1_circuit(np.random.default_rng(9), 6, 300))


def other_gates_circuit():
    c = vorn.Circuit(7)
    c.r(0.3, -1.2, 0)
    c.cs(0, 1)
    c.csdg(2, 1)
    c.iswap(1, 3)
    c.dcx(3, 0)
    c.ecr(2, 4)
    c.ryy(0.7, 0, 4)
    c.rzx(-0.4, 4, 1)
    c.ccz(1, 2, 3)
    c.xx_plus_yy(0.3, 1.1, 2, 0)
    c.xx_minus_yy(-0.8, 0.2, 3, 4)
    for k in (1, 2, 3, 4, 5, 6):
        c.mcx(list(range(k)), k)
        c.mcp(0.1 * k, list(range(6, 6 - k, -1)), 0)
        c.h(k)
    rng = np.random.default_rng(5)
    q, r = np.linalg.qr(rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2)))
    c.unitary(q * (np.diag(r) / abs(np.diag(r))), 3)  # a random unitary, general phase included
    c.unitary(np.array([[0, 1j], [1, 0]]), 2)
    c.global_phase = 2.5
    return c


def test_other_gates_dump_as_definitions_with_the_same_state():
    c = other_gates_circuit()
    back = qasm2.loads(qasm2.dumps(c))
    np.testing.assert_allclose(vorn.statevector(back), vorn.statevector(c), rtol=0, atol=1e-10)


@pytest.mark.qiskit
def test_qiskit_reads_definitions_of_other_gates(qk):
    qk.assert_reads_dump(other_gates_circuit())


def test_what_openqasm2_cannot_hold_is_refused_on_dump():
    c = vorn.Circuit(2)
    c.rz(math.inf, 0)
    with pytest.raises(ValueError, match="non-finite"):
        qasm2.dumps(c)
    # A unitary on several qubits is written (test_vorn_qasm2_unitary.py).
    c = vorn.Circuit(2)
    c.unitary(np.eye(4), [0, 1])
    assert qasm2.loads(qasm2.dumps(c)).data == []


@pytest.mark.parametrize("phase", [math.nan, math.inf, -math.inf])
def test_a_non_finite_global_phase_is_refused_on_dump_not_on_load(phase):
    c = vorn.Circuit(1)
    c._global_phase = phase  # what a NaN angle upstream leaves
    with pytest.raises(ValueError, match="non-finite global phase"):
        qasm2.dumps(c)


def clashing_registers_circuit():
    c = vorn.Circuit(1)
    # u0, rc3x and c3sqrtx are qelib1 gates too: Qiskit refuses them as registers.
    for name in ("h", "q", "Bad", "mcx_2", "u0", "rc3x", "c3sqrtx", "c4x", "ok"):
        c.add_register(vorn.ClassicalRegister(1, name))
    c.x(0)
    c.measure(0, 4)
    return c


def test_register_names_that_would_clash_are_renamed():
    c = clashing_registers_circuit()
    text = qasm2.dumps(c)
    back = qasm2.loads(text)
    assert [r.size for r in back.cregs] == [1] * 9
    assert back.cregs[8].name == "ok"
    assert len({r.name for r in back.cregs}) == 9
    assert not {"u0", "rc3x", "c3sqrtx", "c4x"} & {r.name for r in back.cregs}
    assert back.data == c.data
    # Each renaming is said where the register is declared.
    assert "// vorn: creg 'u0' is written as " in text
    assert text.count("// vorn: creg ") == 8


@pytest.mark.qiskit
def test_qiskit_reads_renamed_registers(qk):
    qk.assert_reads_dump(clashing_registers_circuit())  # Qiskit refuses a register named like a gate


BAD = [
    ("OPENQASM 2.1;\nqreg q[1];", 1, 10, "unsupported OpenQASM version 2.1"),
    ("OPENQASM 3.0;\nqubit q;", 1, 10, "only OpenQASM 2.0"),
    (HEAD + "qreg q[2];\nfoo q[0];", 4, 1, "gate 'foo' is not defined"),
    (HEAD + "qreg q[2];\ncx q[0];", 4, 1, "takes 2 qubits, 1 given"),
    (HEAD + "qreg q[2];\nh q[5];", 4, 5, "out of range"),
    (HEAD + "qreg q[2];\nqreg r[3];\ncx q, r;", 5, 7, "same size"),
    (HEAD + "qreg q[2];\ngate g a { g a; }", 4, 12, "recursive"),
    (HEAD + "qreg q[2];\nh q[0]", 4, 7, "expected ';'"),
    (HEAD + "qreg q[2];\nopaque o a;\no q[0];", 5, 1, "opaque gate 'o' (declared at line 4)"),
    (HEAD + "qreg q[2];\n/* open", 4, 1, "unterminated comment"),
]


@pytest.mark.parametrize(("text", "line", "column", "message"), BAD)
def test_malformed_programs_raise_qasm2error_with_the_place(text, line, column, message):
    with pytest.raises(qasm2.QASM2Error) as info:
        qasm2.loads(text)
    assert isinstance(info.value, ValueError)
    assert (info.value.line, info.value.column) == (line, column)
    assert str(info.value).startswith(f"line {line}, column {column}: ")
    assert message in str(info.value)


def test_reset_if_and_gates_after_measurement_load_as_dynamic_circuits():
    c = qasm2.loads(HEAD + "qreg q[2];\ncreg c[2];\nx q[0];\nmeasure q[0] -> c[0];\nreset q[0];\n"
                    "if (c==1) x q[1];\nh q[0];\nh q[0];\nmeasure q -> c;")
    names = [ins.name for ins in c]
    assert names == ["x", "measure", "reset", "if_else", "h", "h", "measure", "measure"]
    block = c[3]
    assert block.condition == (vorn.ClassicalRegister(2, "c"), 1) and [i.name for i in block.true_body] == ["x"]
    assert vorn.run(c, shots=20, seed=1).counts() == {"10": 20}


def test_files_round_trip_and_resolve_includes_beside_them(tmp_path):
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "bell.inc").write_text("gate bell a, b { h a; cx a, b; }\n")
    (tmp_path / "main.qasm").write_text(HEAD + 'include "lib/bell.inc";\nqreg q[2];\nbell q[1], q[0];\n')
    c = qasm2.load(tmp_path / "main.qasm")
    assert [(i.name, i.qubits) for i in c.data] == [("h", (1,)), ("cx", (1, 0))]
    qasm2.dump(c, tmp_path / "out.qasm")
    assert qasm2.load(str(tmp_path / "out.qasm")).data == c.data
    (tmp_path / "bad.inc").write_text("gate g a {\n  h a\n}\n")
    with pytest.raises(qasm2.QASM2Error) as info:
        qasm2.loads(HEAD + 'include "bad.inc";\n', include_path=[tmp_path])
    assert (info.value.file, info.value.line) == (str(tmp_path / "bad.inc"), 3)
    with pytest.raises(FileNotFoundError):
        qasm2.load(tmp_path / "absent.qasm")
    with pytest.raises(IsADirectoryError):
        qasm2.load(tmp_path / "lib")


# ---- what other readers accept -----------------------------------------------

@pytest.mark.parametrize(("text", "num_qubits", "names"), [
    ("", 0, []),  # the empty program
    ('include "qelib1.inc";\nqreg q[2];\ncx q[0],q[1];\n', 2, ["cx"]),  # QASMBench's sat_n11.qasm starts so
    ("OPENQASM 2.00;\nqreg q[1];\nU(0,0,0) q[0];\n", 1, ["u"]),
    (HEAD + "qreg q[1];\nrz(+1) q[0];\nrz(-+pi/+2) q[0];\n", 1, ["rz", "rz"]),
])
def test_programs_qiskit_reads_are_read(text, num_qubits, names):
    c = qasm2.loads(text)
    assert c.num_qubits == num_qubits
    assert [i.name for i in c.data] == names


def test_expressions_nested_100000_deep_are_read():
    depth = 100_000
    c = qasm2.loads(HEAD + f"qreg q[1];\nrz({'(' * depth}0.5{')' * depth}) q[0];\nrz({'-' * (depth + 1)}2) q[0];\n")
    assert [i.params for i in c.data] == [(0.5,), (-2.0,)]


@pytest.mark.qiskit
def test_lenient_programs_give_qiskits_state(qk):
    qk.assert_same_state('include "qelib1.inc";\nqreg q[2];\nh q[0];\nrz(+0.3) q[0];\ncx q[0],q[1];\n')
    qk.assert_same_state(f"OPENQASM 2.0;\ninclude \"qelib1.inc\";\nqreg q[1];\nrx({'(' * 5000}0.7{')' * 5000}) q[0];\n")


# ---- hostile input -----------------------------------------------------------

def test_two_phase_comments_that_overflow_are_refused():
    with pytest.raises(qasm2.QASM2Error, match="not finite") as info:
        qasm2.loads(HEAD + "// vorn: global_phase = 1e308\n// vorn: global_phase = 1e308\nqreg q[1];\n")
    assert info.value.line == 4


def test_a_nul_in_an_include_name_is_refused_and_messages_keep_their_nul(tmp_path):
    (tmp_path / "ok.inc").write_text("gate g a { x a; }\n")
    with pytest.raises(qasm2.QASM2Error, match="NUL byte") as info:
        qasm2.loads(HEAD + 'include "ok.inc\x00whatever";\n', include_path=[tmp_path])
    assert (info.value.line, info.value.column) == (3, 9)
    # A message that quotes a NUL keeps every word after it.
    with pytest.raises(qasm2.QASM2Error) as info:
        qasm2.loads(HEAD + 'qreg "a\x00b";\n')
    assert str(info.value) == 'line 3, column 6: expected a register name, found string "a\x00b"'


def test_text_that_is_not_unicode_gets_a_qasm2error_naming_the_place():
    text = HEAD + "qreg q[1];\n// caf\udce9\n"  # bytes b"caf\xe9" decoded with surrogateescape
    with pytest.raises(qasm2.QASM2Error, match="not valid Unicode: lone surrogate U\\+DCE9") as info:
        qasm2.loads(text)
    assert (info.value.line, info.value.column) == (4, 7)


def test_paths_may_be_bytes_or_pathlike(tmp_path):
    (tmp_path / "bell.inc").write_text("gate bell a, b { h a; cx a, b; }\n")
    (tmp_path / "main.qasm").write_text(HEAD + 'include "bell.inc";\nqreg q[2];\nbell q[0], q[1];\n')
    text = HEAD + 'include "bell.inc";\nqreg q[2];\nbell q[0], q[1];\n'
    want = [("h", (0,)), ("cx", (0, 1))]
    for include_path in (bytes(tmp_path), [bytes(tmp_path)], tmp_path, str(tmp_path)):
        assert [(i.name, i.qubits) for i in qasm2.loads(text, include_path=include_path).data] == want
    for path in (bytes(tmp_path / "main.qasm"), tmp_path / "main.qasm", str(tmp_path / "main.qasm")):
        assert [(i.name, i.qubits) for i in qasm2.load(path).data] == want
    # A file name that is not UTF-8 is still a file name.
    odd = tmp_path / os.fsdecode(b"caf\xe9.qasm")
    odd.write_text(HEAD + "qreg q[1];\nx q[0];\n")
    assert [i.name for i in qasm2.load(os.fsencode(odd)).data] == ["x"]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_includes_that_are_not_readable_files_say_what_is_wrong(tmp_path):
    (tmp_path / "folder.inc").mkdir()
    os.mkfifo(tmp_path / "pipe.inc")
    cases = [
        ("folder.inc", "it is a directory, not a file"),
        ("pipe.inc", "it is a FIFO, not a regular file"),  # never opened: that would wait for a writer
        ("/dev/zero", "it is a character device, not a regular file"),
        ("/proc/self/mem", "read error"),  # not read as an empty file
    ]
    for name, reason in cases:
        if name.startswith("/") and not os.path.exists(name):
            continue
        with pytest.raises(qasm2.QASM2Error, match=re.escape(reason)) as info:
            qasm2.loads(HEAD + f'include "{name}";\n', include_path=[tmp_path])
        assert info.value.line == 3
    with pytest.raises(qasm2.QASM2Error, match="FIFO"):
        qasm2.load(tmp_path / "pipe.inc")


def nested_definitions(levels: int, calls: int) -> str:
    """`calls` applications per level, `levels` levels: calls^levels gates."""
    text = HEAD + "qreg q[1];\ngate g0 a { " + "x a; " * calls + "}\n"
    for i in range(1, levels):
        text += f"gate g{i} a {{ " + f"g{i - 1} a; " * calls + "}\n"
    return text + f"g{levels - 1} q[0];\n"


def test_max_instructions_refuses_before_expanding():
    # 10^7 instructions (the default limit) from 500 bytes; 10^19 from a few more.
    text = nested_definitions(7, 10)
    assert len(text) < 600
    with pytest.raises(qasm2.QASM2Error) as info:
        qasm2.loads(text, max_instructions=1000)
    assert "max_instructions = 1000" in str(info.value)
    assert "'g6' here expands to 10000000" in str(info.value)
    with pytest.raises(qasm2.QASM2Error, match="more than 2\\^64 - 1"):
        qasm2.loads(nested_definitions(25, 10))
    assert len(qasm2.loads(nested_definitions(3, 10), max_instructions=1000).data) == 1000
    with pytest.raises(qasm2.QASM2Error, match="max_instructions = 999 "):
        qasm2.loads(nested_definitions(3, 10), max_instructions=999)


def test_max_instructions_applies_to_files(tmp_path):
    (tmp_path / "big.qasm").write_text(nested_definitions(4, 10))
    with pytest.raises(qasm2.QASM2Error, match="max_instructions = 10 "):
        qasm2.load(tmp_path / "big.qasm", max_instructions=10)


@pytest.mark.parametrize(("value", "error"), [(-1, ValueError), (2**64, ValueError), (1.5, TypeError), (True, TypeError)])
def test_max_instructions_must_be_a_count(value, error):
    with pytest.raises(error, match="max_instructions|integer"):
        qasm2.loads(HEAD, max_instructions=value)
