"""One way from a circuit to an answer: every entry point x circuit kind x
option either agrees with an exact NumPy reference (a density matrix per
classical value, so mid-circuit measurement, reset, conditions and noise are
exact) or refuses with a ValueError naming both sides of the combination.
Also the faults this design removed: dynamic circuits' expectation values,
noise on repeated measurements, parameters inside blocks."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

import vorn
from vorn import noise as vn
from vorn.model.circuit import _gate_matrix
from vorn.model.instructions import IfElse

# ---- the reference ---------------------------------------------------------------------


def _lift(u: np.ndarray, qubits: tuple[int, ...], n: int) -> np.ndarray:
    """u on ``qubits`` (bit j of its index on qubits[j]) as a 2^n x 2^n matrix."""
    k = len(qubits)
    full = np.zeros((1 << n, 1 << n), dtype=complex)
    others = [q for q in range(n) if q not in qubits]
    for rest in range(1 << (n - k)):
        base = sum(((rest >> i) & 1) << q for i, q in enumerate(others))
        idx = [base | sum(((a >> j) & 1) << q for j, q in enumerate(qubits)) for a in range(1 << k)]
        full[np.ix_(idx, idx)] = u
    return full


_PAULIS = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
           "Z": np.diag([1.0, -1.0])}


def _pauli_string(label: str) -> np.ndarray:
    """The label's matrix, its rightmost character on qubit 0 (the least significant bit)."""
    out = np.eye(1, dtype=complex)
    for ch in label:
        out = np.kron(out, _PAULIS[ch])
    return out


def _projector(q: int, bit: int, n: int) -> np.ndarray:
    return np.diag([1.0 if ((i >> q) & 1) == bit else 0.0 for i in range(1 << n)]).astype(complex)


def reference(c: vorn.Circuit, model: vn.NoiseModel | None = None,
              skipped: set[int] = frozenset()) -> dict[int, np.ndarray]:
    """clbit value -> unnormalised density matrix after every instruction
    (measurements projective, errors of the model as Kraus maps); the
    top-level measurements in ``skipped`` apply their errors only."""
    n = c.num_qubits
    rho0 = np.zeros((1 << n, 1 << n), dtype=complex)
    rho0[0, 0] = 1.0
    branches = {0: rho0}

    def channel(branches: dict[int, np.ndarray], error: vn.QuantumError, qubits: tuple[int, ...]) -> dict:
        ks = [_lift(k, qubits, n) for k in error.kraus_operators()]
        return {v: sum(k @ r @ k.conj().T for k in ks) for v, r in branches.items()}

    def apply(branches: dict[int, np.ndarray], body: list, top: bool = False) -> dict[int, np.ndarray]:
        for i, ins in enumerate(body):
            errors = model._errors_on(ins.name, tuple(ins.qubits)) if model and ins.name not in ("if_else",
                                                                                               "barrier") else []
            if ins.name == "measure":
                for e in errors:
                    branches = channel(branches, e, tuple(ins.qubits))
            if ins.name == "barrier" or (top and i in skipped):
                continue
            if isinstance(ins, IfElse):
                where, value = ins.condition
                bits = ([where] if isinstance(where, int) else
                        list(vorn.model.instructions.condition_clbits(c, ins.condition)))
                held = {v: r for v, r in branches.items()
                        if sum(((v >> b) & 1) << i for i, b in enumerate(bits)) == value}
                other = {v: r for v, r in branches.items() if v not in held}
                held, other = apply(held, list(ins.true_body)), apply(other, list(ins.false_body))
                branches = {}
                for part in (held, other):
                    for v, r in part.items():
                        branches[v] = branches.get(v, 0) + r
            elif ins.name == "measure":
                q, cl = ins.qubits[0], ins.clbits[0]
                out: dict[int, np.ndarray] = {}
                for v, r in branches.items():
                    for bit in (0, 1):
                        p = _projector(q, bit, n)
                        w = (v & ~(1 << cl)) | (bit << cl)
                        out[w] = out.get(w, 0) + p @ r @ p
                branches = out
            elif ins.name == "reset":
                q = ins.qubits[0]
                flip = _lift(np.array([[0, 1], [1, 0]], dtype=complex), (q,), n)
                p0, p1 = _projector(q, 0, n), _projector(q, 1, n)
                branches = {v: p0 @ r @ p0 + flip @ p1 @ r @ p1 @ flip for v, r in branches.items()}
            else:
                u = _lift(_gate_matrix(ins), tuple(ins.qubits), n)
                branches = {v: u @ r @ u.conj().T for v, r in branches.items()}
                for e in errors:
                    branches = channel(branches, e, tuple(ins.qubits))
        return branches

    return apply(branches, list(c.data), top=True)


def final_measures(c: vorn.Circuit) -> set[int]:
    """Top-level indices of the measurements nothing uses afterwards (no later
    instruction on their qubit, no later reader of their clbit): an
    expectation value ignores them (their errors still act)."""
    found: set[int] = set()
    used_q: set[int] = set()
    used_c: set[int] = set()
    for i in range(len(c.data) - 1, -1, -1):
        ins = c.data[i]
        if ins.name == "measure" and ins.qubits[0] not in used_q and ins.clbits[0] not in used_c:
            found.add(i)
            continue
        used_q.update(ins.qubits)
        used_c.update(ins.clbits)
    return found


def ref_expval(c: vorn.Circuit, h: vorn.PauliSum, model: vn.NoiseModel | None = None) -> tuple[float, float]:
    """(<H>, variance) of the final mixture, final measurements ignored."""
    m = sum(coeff * _pauli_string(label) for label, coeff in h.to_list())
    rho = sum(reference(c, model, final_measures(c)).values())
    mean = float(np.real(np.trace(rho @ m)))
    return mean, float(np.real(np.trace(rho @ m @ m))) - mean * mean


def ref_counts(c: vorn.Circuit, model: vn.NoiseModel | None = None) -> dict[str, float]:
    out: dict[str, float] = {}
    for v, r in reference(c, model).items():
        p = float(np.real(np.trace(r)))
        if p > 1e-12:
            key = format(v, f"0{c.num_clbits}b")
            out[key] = out.get(key, 0.0) + p
    return out


def distance(counts: dict[str, int], probabilities: dict[str, float]) -> float:
    total = sum(counts.values())
    keys = set(counts) | set(probabilities)
    return 0.5 * sum(abs(counts.get(k, 0) / total - probabilities.get(k, 0.0)) for k in keys)


# ---- the circuits ----------------------------------------------------------------------

THETA = vorn.Parameter("theta")


def kind_circuit(kind: str) -> vorn.Circuit:
    c = vorn.Circuit(2, 2)
    if kind == "none":
        c.ry(0.7, 0); c.cx(0, 1); c.rz(0.3, 1)
    elif kind == "final":
        c.ry(0.7, 0); c.cx(0, 1); c.measure([0, 1], [0, 1])
    elif kind == "mid":
        c.h(0); c.measure(0, 0)
        with c.if_test((0, 1)):
            c.x(1)
        c.ry(0.4, 0); c.measure(1, 1)
    elif kind == "reset":
        c.x(0); c.ry(0.9, 1); c.reset(0); c.cx(1, 0)
    elif kind == "params_top":
        c.ry(THETA, 0); c.cx(0, 1); c.measure([0, 1], [0, 1])
    elif kind == "params_block":
        c.h(0); c.measure(0, 0)
        with c.if_test((0, 1)):
            c.ry(THETA, 1)
        c.measure(1, 1)
    return c


KINDS = ["none", "final", "mid", "reset", "params_top", "params_block"]
OPTIONS = [{}, {"precision": "single"}, {"fusion": True}, {"threads": 1}, {"threads": 2}]
H = vorn.PauliSum.from_list([("ZI", 1.0), ("IZ", 0.5), ("XX", 0.25)])
BOUND = 1.1


def _model() -> vn.NoiseModel:
    m = vn.NoiseModel()
    m.add_all_qubit_error(vn.depolarizing(0.1, 1), ["ry", "h", "x"])
    m.add_all_qubit_error(vn.pauli([("I", 0.8), ("X", 0.2)]), "measure")
    return m


def _names_both(error: ValueError, option: dict) -> bool:
    text = str(error)
    return any(word in text for word in ("precision='single'", "fusion=True")) and (
        any(word in text for word in ("noise=", "params=", "measures in the middle", "variance"))) if option else False


def _bound(c: vorn.Circuit) -> vorn.Circuit:
    return c.assign_parameters([BOUND]) if c.parameters else c


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "default")
def test_expval_and_variance_agree_with_the_reference_or_refuse_by_name(kind, option):
    c = kind_circuit(kind)
    params = [BOUND] if c.parameters else None
    mean, var = ref_expval(_bound(c), H)
    tol = 1e-5 if option.get("precision") == "single" else 1e-10
    try:
        got = vorn.expval(c, H, params=params, **option)
        got_var = vorn.variance(c, H, params=params, **option)
    except ValueError as e:
        assert _names_both(e, option), f"{kind} {option}: {e}"
        return
    assert got[0] == pytest.approx(mean, abs=tol)
    assert got_var[0] == pytest.approx(var, abs=tol)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "default")
def test_run_counts_agree_with_the_reference_or_refuse_by_name(kind, option):
    c = kind_circuit(kind)
    params = [BOUND] if c.parameters else None
    try:
        counts = vorn.run(c, 20_000, seed=5, params=params, **option).counts()
    except ValueError as e:
        assert _names_both(e, option), f"{kind} {option}: {e}"
        return
    expected = ref_counts(_bound(c)) if c.num_clbits and any(i.name == "measure" for i in c.data) else None
    if expected is None or not any(i.name == "measure" for i in vorn.model.instructions.flat(c.data)):
        assert counts == {"00": 20_000}
    else:
        assert distance(counts, expected) < 0.02


@pytest.mark.filterwarnings("ignore::vorn.noise.NoiseWarning")
@pytest.mark.parametrize("kind", ["final", "mid", "reset", "params_block"])
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "default")
def test_noisy_runs_and_expvals_agree_with_the_density_matrix_or_refuse_by_name(kind, option):
    c = kind_circuit(kind)
    params = [BOUND] if c.parameters else None
    model = _model()
    try:
        counts = vorn.run(c, 20_000, seed=7, noise=model, params=params, **option).counts()
        means, errors = vorn.expval(c, H, noise=model, trajectories=4000, seed=3, params=params, **option)
    except ValueError as e:
        assert _names_both(e, option), f"{kind} {option}: {e}"
        return
    assert distance(counts, ref_counts(_bound(c), model)) < 0.02
    mean, _ = ref_expval(_bound(c), H, model)
    assert abs(means[0] - mean) < 5 * errors[0] + 1e-9
    again = vorn.run(c, 2_000, seed=7, noise=model, params=params, memory=True, **option)
    assert np.array_equal(again.memory(), vorn.run(c, 2_000, seed=7, noise=model, params=params, memory=True,
                                                   **option).memory())


# ---- the faults the one lowering removed -------------------------------------------------


def test_expval_of_a_reset_mid_measurement_or_condition_is_the_exact_mixture():
    z = vorn.PauliSum.from_list([("Z", 1.0)])
    c = vorn.Circuit(1)
    c.x(0); c.reset(0)
    assert vorn.expval(c, z)[0] == 1.0
    d = vorn.Circuit(2, 2)
    d.h(0); d.measure(0, 0)
    with d.if_test((0, 1)):
        d.x(1)
    zi = vorn.PauliSum.from_list([("ZI", 1.0)])  # Z on qubit 1
    zz = vorn.PauliSum.from_list([("ZZ", 1.0)])
    values, variances = vorn.expval(d, [zi, zz], variance=True)
    np.testing.assert_allclose(values, [0.0, 1.0], atol=1e-15)
    np.testing.assert_allclose(variances, [1.0, 0.0], atol=1e-15)


@pytest.mark.qiskit
def test_expval_of_a_qiskit_circuit_with_a_condition_is_the_exact_mixture():
    qiskit = pytest.importorskip("qiskit")
    zi = vorn.PauliSum.from_list([("ZI", 1.0)])  # Z on qubit 1
    qc = qiskit.QuantumCircuit(2, 2)
    qc.h(0); qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    assert vorn.expval(qc, zi)[0] == pytest.approx(0.0, abs=1e-15)


def test_a_dynamic_expval_is_the_same_bits_on_any_thread_count_and_prunes_impossible_outcomes():
    c = vorn.Circuit(3, 3)
    c.ry(0.3, 0); c.h(1); c.measure(0, 0); c.measure(1, 1); c.x(2); c.measure(2, 2)
    with c.if_test((2, 0)):  # never: qubit 2 is always 1
        c.h(2)
    c.cx(0, 2)
    h = vorn.PauliSum.from_list([("ZII", 1.0), ("IXZ", 0.3)])
    one = vorn.expval(c, h, threads=1)
    assert np.array_equal(one, vorn.expval(c, h, threads=2))
    assert one[0] == pytest.approx(ref_expval(c, h)[0], abs=1e-12)


def test_a_dynamic_expval_past_the_branch_cap_points_to_trajectories():
    c = vorn.Circuit(13, 13)
    for q in range(13):
        c.h(q); c.measure(q, q); c.h(q)
    z = vorn.PauliSum.from_list([("I" * 12 + "Z", 1.0)])
    with pytest.raises(ValueError, match="trajectories=N"):
        vorn.expval(c, z)
    means, errors = vorn.expval(c, z, trajectories=200, seed=1)
    assert abs(means[0]) < 5 * errors[0] + 1e-12
    again = vorn.expval(c, z, trajectories=200, seed=1)
    assert np.array_equal(means, again[0]) and np.array_equal(errors, again[1])


def test_noise_on_a_qubit_measured_twice_acts_between_the_measurements():
    model = vn.NoiseModel()
    model.add_all_qubit_error(vn.pauli([("I", 0.7), ("X", 0.3)]), "measure")
    c = vorn.Circuit(1, 2)
    c.measure(0, 0); c.measure(0, 1)
    counts = vorn.run(c, 40_000, seed=11, noise=model).counts()
    expected = ref_counts(c, model)
    assert set(expected) == {"00", "01", "10", "11"}
    assert distance(counts, expected) < 0.015
    # Without noise both measurements are drawn from the final state: always equal.
    assert set(vorn.run(c, 1000, seed=1).counts()) == {"00"}


def test_parameters_inside_if_blocks_are_parameters_of_the_circuit():
    a, b = vorn.Parameter("a"), vorn.Parameter("b")
    c = vorn.Circuit(2, 1)
    c.rx(b, 0); c.h(1); c.measure(1, 0)
    with c.if_test((0, 1)) as else_:
        c.ry(a, 0)
    with else_:
        c.rz(2 * a, 1)
    assert c.parameters == [a, b] and c.num_parameters == 2
    bound = c.assign_parameters({a: 0.5, b: 0.25})
    assert bound.parameters == []
    block = bound.data[-1]
    assert block.true_body[0].params == (0.5,) and block.false_body[0].params == (1.0,)
    assert c.parameters == [a, b]  # the original keeps its parameters
    runs = vorn.run(c, 500, seed=4, params=[[0.5, 0.25], [1.0, 2.0]])
    assert runs[0].counts() == vorn.run(bound, 500, seed=vorn.binding_seed(4, 0)).counts()
    with pytest.raises(ValueError, match="unbound parameters: a, b"):
        vorn.run(c, 10)


@pytest.mark.qiskit
def test_value_and_grad_takes_qiskit_operators_and_circuits():
    qiskit = pytest.importorskip("qiskit")
    from qiskit.quantum_info import SparsePauliOp

    t = qiskit.circuit.Parameter("t")
    qc = qiskit.QuantumCircuit(1)
    qc.ry(t, 0)
    value, grad = vorn.value_and_grad(qc, SparsePauliOp("Z"), [0.5])
    assert value == pytest.approx(math.cos(0.5), abs=1e-15)
    assert grad[0] == pytest.approx(-math.sin(0.5), abs=1e-14)


@pytest.mark.filterwarnings("ignore::vorn.noise.NoiseWarning")
def test_noise_with_params_runs_each_binding_as_its_bound_circuit():
    model = _model()
    c = kind_circuit("params_top")
    runs = vorn.run(c, 300, seed=9, noise=model, params=[[0.2], [0.9]], memory=True)
    for b, row in enumerate([0.2, 0.9]):
        alone = vorn.run(c.assign_parameters([row]), 300, seed=vorn.binding_seed(9, b), noise=model, memory=True)
        assert np.array_equal(runs[b].memory(), alone.memory())


@pytest.mark.filterwarnings("ignore::vorn.noise.NoiseWarning")
@pytest.mark.parametrize("entry", ["run", "expval"])
def test_refusals_name_both_options(entry):
    model = _model()
    c = kind_circuit("final")
    call = (lambda **kw: vorn.run(c, 10, seed=1, **kw)) if entry == "run" else (
        lambda **kw: vorn.expval(c, H, **kw))
    for kw in ({"noise": model, "precision": "single"},):
        try:
            call(**kw)
        except ValueError as e:
            assert "precision='single'" in str(e) and "noise=" in str(e)
    with pytest.raises(ValueError, match="seed="):
        vorn.expval(c, H, seed=3)


def test_the_package_has_floors():
    """No module imports one on a floor above it (the import graph of python/vorn)."""
    import ast
    import pathlib

    root = pathlib.Path(vorn.__file__).parent
    floors = {"model": 0, "execution": 1, "interop": 1, "api": 2}
    for path in itertools.chain(root.glob("model/*.py"), root.glob("execution/*.py"), root.glob("interop/*.py")):
        own = floors[path.parent.name]
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level >= 1 and node.module:
                top = node.module.split(".")[0] if node.level == 2 else path.parent.name
                if top in floors:
                    assert floors[top] < own or top == path.parent.name, f"{path.name} imports {node.module}"
                    assert not (top == "interop" and path.parent.name == "execution"), path.name
                    assert not (top == "execution" and path.parent.name == "interop"), path.name
            if isinstance(node, ast.FunctionDef):
                for inner in ast.walk(node):
                    if isinstance(inner, ast.ImportFrom) and inner.level >= 1:
                        raise AssertionError(f"{path.name}: {node.name} imports {inner.module} inside a function")


# ---- the same cells through Qiskit's primitives and backend, and PennyLane --------------


def _qiskit_kind(kind: str):
    qiskit = pytest.importorskip("qiskit")
    return vorn.to_qiskit(kind_circuit(kind))


@pytest.mark.qiskit
@pytest.mark.parametrize("kind", ["final", "mid", "reset", "params_top", "params_block"])
def test_qiskit_sampler_and_backend_agree_with_the_reference(kind):
    qc = _qiskit_kind(kind)
    from vorn.qiskit import Backend, SamplerV2

    c = kind_circuit(kind)
    expected = ref_counts(_bound(c))
    pub = (qc, [BOUND]) if qc.num_parameters else (qc,)
    sampled = SamplerV2(seed=3).run([pub], shots=20_000).result()[0].data.c.get_counts()
    assert distance(sampled, expected) < 0.02
    bound = qc.assign_parameters([BOUND]) if qc.num_parameters else qc
    counted = Backend().run(bound, shots=20_000, seed_simulator=4).result().get_counts()
    assert distance(counted, expected) < 0.02


@pytest.mark.qiskit
@pytest.mark.parametrize("kind", KINDS)
def test_qiskit_estimator_agrees_with_the_reference(kind):
    qc = _qiskit_kind(kind)
    from qiskit.quantum_info import SparsePauliOp
    from vorn.qiskit import EstimatorV2

    op = SparsePauliOp.from_list(H.to_list())
    pub = (qc, op, [BOUND]) if qc.num_parameters else (qc, op)
    ev = EstimatorV2().run([pub]).result()[0].data.evs
    assert float(ev) == pytest.approx(ref_expval(_bound(kind_circuit(kind)), H)[0], abs=1e-12)


@pytest.mark.pennylane
def test_pennylane_expval_and_gradient_agree_with_the_reference():
    qml = pytest.importorskip("pennylane")
    dev = qml.device("vorn.qubit", wires=2)

    @qml.qnode(dev, diff_method="adjoint")
    def f(t):
        qml.RY(t, wires=0)
        qml.RX(0.3, wires=1)
        return qml.expval(qml.PauliZ(0) @ qml.PauliZ(1) + 0.5 * qml.PauliX(0))

    c = vorn.Circuit(2)
    c.ry(0.8, 0); c.rx(0.3, 1)
    h = vorn.PauliSum.from_list([("ZZ", 1.0), ("IX", 0.5)])
    assert float(f(0.8)) == pytest.approx(ref_expval(c, h)[0], abs=1e-12)
    t = qml.numpy.array(0.8, requires_grad=True)
    expected = -math.sin(0.8) * math.cos(0.3) + 0.5 * math.cos(0.8)
    assert float(qml.grad(f)(t)) == pytest.approx(expected, abs=1e-12)


def test_statevector_and_gradients_take_every_option_or_refuse_by_name():
    c = kind_circuit("none")
    exact = vorn.statevector(c)
    for option in OPTIONS:
        state = vorn.statevector(c, **option)
        assert np.allclose(state, exact, atol=1e-6)
    for kind in ("mid", "reset"):
        with pytest.raises(ValueError, match="no single final state"):
            vorn.statevector(kind_circuit(kind))
    p = vorn.Circuit(2)
    p.ry(THETA, 0); p.cx(0, 1)
    z = vorn.PauliSum.from_list([("IZ", 1.0)])
    value, grad = vorn.value_and_grad(p, z, [BOUND], threads=1)
    assert value == pytest.approx(math.cos(BOUND), abs=1e-14) and grad[0] == pytest.approx(-math.sin(BOUND), abs=1e-14)
    assert np.array_equal(vorn.jacobian(p, [z, z], [BOUND], threads=2), np.array([grad, grad]))
