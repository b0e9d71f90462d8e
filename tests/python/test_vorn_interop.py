# Circuits from Qiskit and Cirq against those toolkits' own simulators (state
# vectors, global phase included; counts keys), round trips back, and the
# refusals: unsupported instructions named, missing packages named.
import importlib
import sys
import warnings

import numpy as np
import pytest

import vorn

ATOL = 1e-10


def close(got, want):
    np.testing.assert_allclose(got, want, rtol=0, atol=ATOL)


# ---- Qiskit -------------------------------------------------------------------

@pytest.fixture(scope="module")
def qk():
    qiskit = pytest.importorskip("qiskit")
    from qiskit.circuit import library
    from qiskit.circuit.random import random_circuit
    from qiskit.quantum_info import Operator, Statevector

    return qiskit, library, random_circuit, Operator, Statevector


@pytest.mark.qiskit
@pytest.mark.parametrize("seed", range(48))
def test_random_qiskit_circuits_give_qiskits_state_and_round_trip(qk, seed):
    qiskit, _, random_circuit, Operator, Statevector = qk
    qc = random_circuit(1 + seed % 8, 10, seed=seed, measure=False)
    qc.global_phase = 0.37 * seed
    c = vorn.from_qiskit(qc)
    close(vorn.statevector(c), Statevector(qc).data)
    back = vorn.to_qiskit(c)
    # Gates vorn has keep their class; the others (c3sx, rcccx) come back as their matrix.
    names = [i.operation.name for i in qc.data]
    assert [i.operation.name for i in back.data] == [n if hasattr(c, n) else "unitary" for n in names]
    if qc.num_qubits <= 6:
        close(Operator(back).data, Operator(qc).data)


@pytest.mark.qiskit
def test_qiskit_instructions_beyond_the_standard_names(qk):
    qiskit, lib, random_circuit, Operator, Statevector = qk
    qc = random_circuit(7, 3, seed=5)  # a general state, so every gate acts on all amplitudes
    qc.append(lib.CXGate(ctrl_state=0), [3, 1])
    qc.append(lib.MCXGate(3, ctrl_state=5), [0, 4, 2, 6])
    qc.append(lib.CU1Gate(0.7, ctrl_state=0), [5, 0])
    qc.append(lib.MCPhaseGate(0.4, 4), [6, 1, 2, 3, 0])
    qc.append(lib.MCXGate(5), [0, 1, 2, 3, 4, 5])
    with warnings.catch_warnings():  # deprecated in Qiskit 2.1, still made by older code
        warnings.simplefilter("ignore", DeprecationWarning)
        vchain = lib.MCXVChain(3)
    qc.append(vchain, [6, 5, 4, 0, 1])  # ancilla 1 holds a general state: the definition rules
    qc.append(lib.C3SXGate(), [1, 2, 3, 4])
    qc.append(lib.RC3XGate(), [2, 0, 6, 5])
    qc.append(lib.UnitaryGate(random_unitary(3, 1)), [4, 0, 2])
    qc.append(lib.QFTGate(7), range(7))  # more than five qubits: by its definition
    qc.append(lib.GlobalPhaseGate(0.9), [])
    qc.delay(10, 3)
    sub = qiskit.QuantumCircuit(2, global_phase=0.3)
    sub.h(0)
    sub.crx(0.2, 0, 1)
    qc.append(sub.to_gate(label="mine"), [5, 3])
    impostor = sub.to_gate()
    impostor.name = "h"  # the user's gate, not Qiskit's H: its own definition counts
    qc.append(impostor, [2, 6])
    qc.barrier()
    c = vorn.from_qiskit(qc)
    assert {"x", "mcx", "mcp", "unitary", "cu1", "cp"} <= {ins.name for ins in c.data}
    close(vorn.statevector(c), Statevector(qc).data)
    close(Operator(vorn.to_qiskit(c)).data, Operator(qc).data)


@pytest.mark.qiskit
def test_qiskit_z_under_any_number_of_controls_is_one_diagonal_gate(qk):
    # c3z and wider have no class of their own (their definition is h, mcx,
    # h): as a controlled gate they become mcp(pi) (open controls add x
    # around it); annotated, their matrix, which runs on the diagonal path.
    _, lib, random_circuit, Operator, Statevector = qk
    qc = random_circuit(6, 2, seed=3)
    qc.append(lib.ZGate().control(3, annotated=False), [4, 0, 5, 2])
    qc.append(lib.ZGate().control(4, ctrl_state=0b1010, annotated=False), [1, 2, 3, 0, 5])
    c = vorn.from_qiskit(qc)
    assert [(ins.name, ins.qubits) for ins in c.data][-6:] == [
        ("mcp", (4, 0, 5, 2)), ("x", (1,)), ("x", (3,)), ("mcp", (1, 2, 3, 0, 5)), ("x", (1,)), ("x", (3,))]
    close(vorn.statevector(c), Statevector(qc).data)
    qc.append(lib.ZGate().control(3, ctrl_state=0b011, annotated=True), [2, 5, 1, 3])
    c = vorn.from_qiskit(qc)
    assert c.data[-1].name == "unitary"
    close(vorn.statevector(c), Statevector(qc).data)


@pytest.mark.qiskit
def test_qiskit_registers_and_counts_keys(qk):
    qiskit, *_ = qk
    from qiskit.providers.basic_provider import BasicSimulator

    qa, qb = qiskit.QuantumRegister(2, "a"), qiskit.QuantumRegister(2, "b")
    c1, c2 = qiskit.ClassicalRegister(3, "first"), qiskit.ClassicalRegister(2, "second")
    qc = qiskit.QuantumCircuit(qa, qb, c1, c2)
    qc.x(qa[1])
    qc.x(qb[0])
    qc.measure([qa[0], qa[1], qb[0]], [c1[0], c1[1], c1[2]])
    qc.measure([qb[0], qb[1]], [c2[1], c2[0]])
    qc.measure_all()  # a third register, 'meas'
    c = vorn.from_qiskit(qc)
    assert [(r.name, r.size) for r in c.cregs] == [("first", 3), ("second", 2), ("meas", 4)]
    want = BasicSimulator().run(qc, shots=5, seed_simulator=1).result().get_counts()
    assert vorn.run(c, shots=5, seed=1).counts() == want
    back = vorn.to_qiskit(c)
    assert [(r.name, r.size) for r in back.cregs] == [("first", 3), ("second", 2), ("meas", 4)]
    assert BasicSimulator().run(back, shots=5).result().get_counts() == want


@pytest.mark.qiskit
def test_qiskit_refusals_name_the_instruction(qk):
    qiskit, lib, *_ = qk
    # reset and if_else are dynamic-circuit instructions vorn takes; loops
    # and conditions that are classical expressions are not.
    qc = qiskit.QuantumCircuit(2, 1)
    with qc.while_loop((qc.clbits[0], 1)):
        qc.x(0)
    with pytest.raises(NotImplementedError, match="'while_loop'"):
        vorn.from_qiskit(qc)
    expr = importlib.import_module("qiskit.circuit.classical.expr")
    qc = qiskit.QuantumCircuit(2, 2)
    with qc.if_test(expr.logic_and(qc.clbits[0], qc.clbits[1])):
        qc.x(0)
    with pytest.raises(NotImplementedError, match="'if_else' with the condition"):
        vorn.from_qiskit(qc)
    qc = qiskit.QuantumCircuit(1)
    qc.initialize([0, 1], 0)  # a reset, then the preparation
    np.testing.assert_allclose(vorn.run(vorn.from_qiskit(qc), shots=1).statevector(), [0, 1], atol=1e-12)
    qc = qiskit.QuantumCircuit(2)
    qc.append(qiskit.circuit.Gate("blackbox", 2, []), [0, 1])
    with pytest.raises(ValueError, match="'blackbox'"):
        vorn.from_qiskit(qc)
    # Parameters are carried now (test_vorn_parameters.py); a non-affine angle is what is refused.
    qc = qiskit.QuantumCircuit(1)
    theta = qiskit.circuit.Parameter("theta")
    qc.rx(theta, 0)
    assert [p.name for p in vorn.from_qiskit(qc).parameters] == ["theta"]
    qc.ry(theta * theta, 0)
    with pytest.raises(TypeError, match=r"theta\*theta is not affine"):
        vorn.from_qiskit(qc)
    with pytest.raises(TypeError, match="QuantumCircuit"):
        vorn.from_qiskit(vorn.Circuit(1))


# ---- Cirq ---------------------------------------------------------------------

@pytest.fixture(scope="module")
def cirq():
    return pytest.importorskip("cirq")


def cirq_state(cirq, circuit, order):
    return cirq.final_state_vector(
        circuit, qubit_order=cirq.QubitOrder.DEFAULT if order is None else order,
        ignore_terminal_measurements=True, dtype=np.complex128,
    )


def random_unitary(k, seed):
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(1 << k, 1 << k)) + 1j * rng.normal(size=(1 << k, 1 << k)))
    return q * (np.diag(r) / abs(np.diag(r)))


def cirq_domain(cirq):
    """Gates of every family the converter names, at exponents and global
    shifts where the phase bookkeeping matters, and ones it takes by matrix
    or decomposition."""
    return {
        cirq.rx(0.3): 1, cirq.ry(-1.1): 1, cirq.rz(2.2): 1, cirq.S: 1, cirq.T**-1: 1, cirq.X**0.5: 1,
        cirq.X**-0.5: 1, cirq.H**0.5: 1, cirq.XPowGate(exponent=0.3, global_shift=0.2): 1,
        cirq.YPowGate(exponent=-0.7, global_shift=0.4): 1, cirq.ZPowGate(exponent=0.7, global_shift=0.1): 1,
        cirq.HPowGate(global_shift=0.3): 1, cirq.PhasedXPowGate(phase_exponent=0.2, exponent=0.6): 1,
        cirq.CZ**0.3: 2, cirq.CXPowGate(exponent=0.4, global_shift=0.1): 2, cirq.SwapPowGate(global_shift=0.25): 2,
        cirq.ISwapPowGate(exponent=0.3, global_shift=0.2): 2, cirq.FSimGate(0.3, 0.5): 2, cirq.IdentityGate(2): 2,
        cirq.CCZ**0.7: 3, cirq.CCXPowGate(global_shift=0.3): 3, cirq.CSWAP: 3,
        cirq.MatrixGate(random_unitary(3, 2)): 3, cirq.X.controlled(3): 4,
        cirq.X.controlled(2, control_values=[0, 1]): 3, cirq.QuantumFourierTransformGate(6): 6,
    }


@pytest.mark.cirq
@pytest.mark.parametrize("seed", range(24))
def test_random_cirq_circuits_give_cirqs_state_in_any_qubit_order(cirq, seed):
    n = 1 + seed % 8
    qubits = cirq.LineQubit.range(n)
    circuit = cirq.testing.random_circuit(qubits, 12, 0.8, random_state=seed)
    if n >= 6:
        circuit += cirq.testing.random_circuit(qubits, 10, 0.9, gate_domain=cirq_domain(cirq), random_state=seed)
        circuit.append(cirq.global_phase_operation(np.exp(0.3j)))
    shuffled = [qubits[i] for i in np.random.default_rng(seed).permutation(n)]
    for order in (None, shuffled, qubits[::-1] + [cirq.LineQubit(n + 2)]):
        close(vorn.statevector(vorn.from_cirq(circuit, qubit_order=order)), cirq_state(cirq, circuit, order))


@pytest.mark.cirq
def test_cirq_measurement_keys_become_registers(cirq):
    a, b, c = cirq.LineQubit.range(3)
    circuit = cirq.Circuit(cirq.X(a), cirq.X(c), cirq.measure(a, b, key="ab"), cirq.measure(c, key="c"))
    converted = vorn.from_cirq(circuit)
    assert [(r.name, r.size) for r in converted.cregs] == [("ab", 2), ("c", 1)]
    sample = cirq.Simulator().run(circuit).measurements
    want = " ".join("".join(str(int(bit)) for bit in sample[key][0]) for key in ("c", "ab"))
    assert vorn.run(converted, shots=3, seed=0).counts() == {want: 3}
    back = vorn.to_cirq(converted)
    assert cirq.Simulator().run(back).measurements.keys() == {"ab", "c"}
    assert all((cirq.Simulator().run(back).measurements[k] == sample[k]).all() for k in ("ab", "c"))


@pytest.mark.qiskit
@pytest.mark.cirq
@pytest.mark.parametrize("seed", range(6))
def test_to_cirq_keeps_the_state(qk, cirq, seed):
    _, _, random_circuit, _, _ = qk
    c = vorn.from_qiskit(random_circuit(2 + seed, 8, seed=seed))
    c.global_phase = 1.1
    close(cirq_state(cirq, vorn.to_cirq(c), None), vorn.statevector(c))


@pytest.mark.cirq
def test_cirq_refusals_name_the_operation(cirq):
    sympy = pytest.importorskip("sympy")
    q0, q1 = cirq.LineQubit.range(2)
    assert [i.name for i in vorn.from_cirq(cirq.Circuit(cirq.H(q0), cirq.reset(q0)))] == ["h", "reset"]
    with pytest.raises(NotImplementedError, match="depolarize"):
        vorn.from_cirq(cirq.Circuit(cirq.depolarize(0.1).on(q0)))
    # A gate after a measurement is a dynamic circuit, no longer refused.
    assert [i.name for i in vorn.from_cirq(cirq.Circuit(cirq.measure(q0, key="m"), cirq.H(q0)))] == ["measure", "h"]
    with pytest.raises(NotImplementedError, match="invert_mask"):
        vorn.from_cirq(cirq.Circuit(cirq.measure(q0, key="m", invert_mask=(True,))))
    # Symbols are kept as vorn parameters (tests/python/test_vorn_cirq_simulator.py binds them);
    # a non-affine angle or a symbolic gate vorn has no angle for names what to resolve.
    assert [p.name for p in vorn.from_cirq(cirq.Circuit(cirq.X(q0) ** sympy.Symbol("t"))).parameters] == ["t"]
    with pytest.raises(TypeError, match="t\\*\\*2 is not affine"):
        vorn.from_cirq(cirq.Circuit(cirq.X(q0) ** sympy.Symbol("t") ** 2))
    with pytest.raises(TypeError, match="resolve it first"):
        vorn.from_cirq(cirq.Circuit(cirq.H(q1), cirq.global_phase_operation(sympy.Symbol("g"))))
    with pytest.raises(ValueError, match="dimension 3"):
        vorn.from_cirq(cirq.Circuit(cirq.IdentityGate(qid_shape=(3,)).on(cirq.LineQid(0, 3))))
    with pytest.raises(ValueError, match="'k' is used twice"):
        vorn.from_cirq(cirq.Circuit(cirq.measure(q0, key="k"), cirq.measure(q1, key="k")))


# ---- optional packages --------------------------------------------------------

@pytest.mark.parametrize(("module", "call"), [
    ("qiskit", lambda: vorn.from_qiskit(None)), ("qiskit", lambda: vorn.to_qiskit(vorn.Circuit(1))),
    ("cirq", lambda: vorn.from_cirq(None)), ("cirq", lambda: vorn.to_cirq(vorn.Circuit(1))),
])
def test_a_converter_without_its_package_says_what_to_install(monkeypatch, module, call):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=f'pip install "vorn-python\\[{module}\\]"'):
        call()


def test_vorn_imports_without_qiskit_or_cirq(run_python):
    done = run_python("""
        import sys
        sys.modules["qiskit"] = sys.modules["cirq"] = None
        import vorn
        c = vorn.Circuit(1)
        c.h(0)
        print(abs(vorn.statevector(c)[1]) ** 2)
    """)
    assert done.returncode == 0, done.stderr
    assert float(done.stdout) == pytest.approx(0.5)


# ---- Instructions whose matrix and definition differ -------------------------------------

def fully_decomposed(qc):
    """The circuit with every definition followed down to Qiskit's standard
    gates, as Aer and hardware run it."""
    while any(not inst.is_standard_gate() for inst in qc.data):
        qc = qc.decompose()
    return qc


@pytest.mark.qiskit
@pytest.mark.parametrize("n", [5, 6])
def test_pauli_evolution_means_its_definition_at_every_width(qk, n):
    qiskit, library, _, _, Statevector = qk
    from qiskit.quantum_info import SparsePauliOp

    # Non-commuting terms: the Trotter step differs from the exact exponential.
    op = SparsePauliOp(["XX" + "I" * (n - 2), "Z" + "I" * (n - 2) + "Z", "I" + "YY" + "I" * (n - 3)],
                       [0.7, 0.3, 0.5])
    qc = qiskit.QuantumCircuit(n)
    qc.h(range(n))
    qc.append(library.PauliEvolutionGate(op, time=1.3), range(n))
    got = vorn.statevector(vorn.from_qiskit(qc))
    definition = Statevector(fully_decomposed(qc)).data
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # SciPy's sparse-format notes from the exact exponential
        exact = Statevector(qc).data
    assert np.abs(definition - exact).max() > 0.05  # the two meanings really differ here
    close(got, definition)


@pytest.mark.qiskit
def test_bound_qaoa_ansatz_follows_its_definition(qk):
    qiskit, library, _, _, Statevector = qk
    from qiskit.quantum_info import SparsePauliOp

    cost = SparsePauliOp(["ZZIII", "IZZII", "XIIIX", "IIYYI"], [1.0, 0.5, 0.8, 0.3])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the class form, as users still write it
        ansatz = library.QAOAAnsatz(cost, reps=2)
    qc = ansatz.assign_parameters([0.4, 1.1, 0.7, 0.2])
    got = vorn.statevector(vorn.from_qiskit(qc))
    close(got, Statevector(fully_decomposed(qc)).data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exact = Statevector(qc).data
    assert np.abs(got - exact).max() > 0.05  # not the exact exponential
