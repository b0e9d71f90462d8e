"""vorn.Parameter, ParameterVector and affine expressions in circuits:
arithmetic, ordering, assign_parameters, value semantics, the bad-input
table, and Qiskit round trips."""

import copy
import math
import pickle

import numpy as np
import pytest

import vorn
from vorn.model.circuit import GATES

PARAMETERISED = [row for row in GATES.values() if row["num_params"]]


def _build(row, angles):
    c = vorn.Circuit(4)
    for q in range(4):
        c.h(q)
    qubits = [0, 1, 2] if row["num_qubits"] == 0 else list(range(row["num_qubits"]))
    if row["num_qubits"] == 0:
        getattr(c, row["name"])(*angles, qubits[:-1], qubits[-1])
    else:
        getattr(c, row["name"])(*angles, *qubits)
    c.cx(0, 3)
    return c


# ---- expressions ------------------------------------------------------------------


def test_affine_arithmetic_and_values():
    a, b = vorn.Parameter("a"), vorn.Parameter("b")
    e = 2 * a + 0.3 - b / 4
    assert e.terms == ((a, 2.0), (b, -0.25)) and e.constant == 0.3
    assert e.value({a: 0.5, b: 2.0}) == 2 * 0.5 + -0.25 * 2.0 + 0.3
    assert (a - a) == 0.0 and isinstance(a - a, float)
    assert (a + 0.0) is a and 1.0 * a is a
    assert -(-a) is a
    assert np.float64(2.0) * a == 2 * a  # NumPy scalars take the affine road too
    assert np.float64(1.5) + a == a + 1.5
    assert str(e) == "2.0*a - 0.25*b + 0.3"
    assert e.parameters == {a, b}


@pytest.mark.parametrize("make, shown", [
    (lambda a, b: a * b, "(a) * (b)"),
    (lambda a, b: a / b, "(a) / (b)"),
    (lambda a, b: a ** 2, "(a) ** 2"),
    (lambda a, b: 1 / a, "1 / (a)"),
    (lambda a, b: np.sin(a), "sin(a)"),
    (lambda a, b: abs(a - b), "abs(a - b)"),
])
def test_non_affine_expressions_are_refused_naming_them(make, shown):
    a, b = vorn.Parameter("a"), vorn.Parameter("b")
    with pytest.raises(TypeError, match="not affine") as info:
        make(a, b)
    assert shown in str(info.value)


def test_math_functions_and_float_name_the_unbound_parameters():
    a = vorn.Parameter("a")
    with pytest.raises(TypeError, match=r"unbound parameters \(a\)"):
        math.sin(2 * a)


def test_parameters_are_compared_by_identity_not_name():
    a1, a2 = vorn.Parameter("a"), vorn.Parameter("a")
    assert a1 != a2 and a1 == copy.deepcopy(a1) == pickle.loads(pickle.dumps(a1))
    v = vorn.ParameterVector("v", 3)
    w = pickle.loads(pickle.dumps(v))
    assert [p.name for p in w] == ["v[0]", "v[1]", "v[2]"] and w[1] == v[1]


# ---- circuits ---------------------------------------------------------------------


def test_parameters_ordered_by_name_then_vector_index():
    th = vorn.ParameterVector("θ", 12)
    c = vorn.Circuit(1)
    for p in (th[10], vorn.Parameter("b"), th[2], vorn.Parameter("a"), th[1]):
        c.rx(p, 0)
    assert [p.name for p in c.parameters] == ["a", "b", "θ[1]", "θ[2]", "θ[10]"]
    assert c.num_parameters == 5


@pytest.mark.qiskit
def test_parameter_order_is_qiskits():
    from qiskit.circuit import Parameter, ParameterVector, QuantumCircuit

    w = ParameterVector("w", 12)
    qc = QuantumCircuit(1)
    for p in (w[10], Parameter("w"), w[2], Parameter("v"), Parameter("w[3]x"), w[1]):
        qc.rx(p, 0)
    c = vorn.from_qiskit(qc)
    assert [p.name for p in c.parameters] == [p.name for p in qc.parameters]
    # A Qiskit vector's elements stay elements of one vorn vector (Qiskit 2
    # gives each element's .vector as a new object: it made one vector each).
    vectors = {id(p.vector) for p in c.parameters if isinstance(p, vorn.ParameterVectorElement)}
    assert len(vectors) == 1
    assert [p.vector for p in vorn.to_qiskit(c).parameters if hasattr(p, "vector")] == [w, w, w]


@pytest.mark.parametrize("row", PARAMETERISED, ids=lambda r: r["name"])
def test_every_angle_slot_takes_parameters_and_binds_to_the_float_circuit(row):
    params = [vorn.Parameter(f"p{i}") for i in range(row["num_params"])]
    values = [0.3 + 0.4 * i for i in range(row["num_params"])]
    symbolic = _build(row, [2 * p - 0.1 for p in params])
    symbolic.global_phase = params[0] + 0.25
    bound = symbolic.assign_parameters(dict(zip(params, values)))
    direct = _build(row, [2 * v - 0.1 for v in values])
    direct.global_phase = values[0] + 0.25
    assert bound == direct
    assert vorn.statevector(bound).tobytes() == vorn.statevector(direct).tobytes()


def test_assign_parameters_forms():
    th = vorn.ParameterVector("th", 2)
    a = vorn.Parameter("a")
    c = vorn.Circuit(2)
    c.ry(th[0], 0)
    c.rz(a + th[1], 1)
    by_param = c.assign_parameters({a: 0.5, th: [0.1, 0.2]})
    assert by_param.data[0].params == (0.1,) and by_param.data[1].params == (0.2 + 0.5,)
    assert c.assign_parameters({"a": 0.5, "th[0]": 0.1, "th[1]": 0.2}) == by_param
    assert c.assign_parameters([0.5, 0.1, 0.2]) == by_param  # c.parameters order: a, th[0], th[1]
    assert c.assign_parameters(np.array([0.5, 0.1, 0.2])) == by_param
    partial = c.assign_parameters({a: 0.5})
    assert partial.parameters == [th[0], th[1]] and c.num_parameters == 3  # c is unchanged
    b = vorn.Parameter("b")
    rebound = c.assign_parameters({a: 2 * b})
    assert rebound.data[1].params == (2 * b + th[1],)
    assert c.assign_parameters({a: 1.0}, inplace=True) is None and c.num_parameters == 2


def test_value_semantics_with_parameters():
    a = vorn.Parameter("a")
    th = vorn.ParameterVector("th", 2)
    c = vorn.Circuit(2)
    c.rx(a, 0)
    c.cp(th[1] - 3 * th[0], 0, 1)
    c.global_phase = a / 2
    for other in (c.copy(), copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        assert other == c and other.parameters == c.parameters
    inverse = c.inverse()
    assert inverse.data[0].params == (-(th[1] - 3 * th[0]),) and inverse.global_phase == -a / 2
    assert "rx(a)" in c.draw()


def test_composed_circuits_keep_expression_phases():
    a = vorn.Parameter("a")
    c1, c2 = vorn.Circuit(1), vorn.Circuit(1)
    c1.global_phase = a
    c2.global_phase = 1.0
    assert c1.compose(c2).global_phase == a + 1.0


# ---- the bad-input table ----------------------------------------------------------------


def test_unbound_parameters_at_run_are_named():
    th = vorn.ParameterVector("th", 2)
    c = vorn.Circuit(1, 1)
    c.rx(th[1], 0)
    c.measure(0, 0)
    for call in (lambda: vorn.run(c), lambda: vorn.statevector(c), lambda: vorn.required_memory(c),
                 lambda: vorn.expval(c, vorn.PauliSum.from_list([("Z", 1.0)])), lambda: vorn.qasm2.dumps(c)):
        with pytest.raises(ValueError, match=r"unbound parameters: th\[1\]"):
            call()
    c2 = vorn.Circuit(1)
    c2.global_phase = vorn.Parameter("g")
    with pytest.raises(ValueError, match="unbound parameters: g"):
        vorn.statevector(c2)


def test_unknown_parameters_wrong_lengths_and_bad_values():
    a, stranger = vorn.Parameter("a"), vorn.Parameter("z")
    th = vorn.ParameterVector("th", 3)
    c = vorn.Circuit(1)
    c.rx(a, 0)
    c.ry(th[0] + th[1] + th[2], 0)
    with pytest.raises(ValueError, match="not in the circuit: z"):
        c.assign_parameters({a: 1.0, stranger: 2.0})
    assert c.assign_parameters({a: 1.0, stranger: 2.0}, strict=False).num_parameters == 3
    with pytest.raises(ValueError, match=r"4 parameters, got 3 values \(expected shape \(4,\)\)"):
        c.assign_parameters([1, 2, 3])
    with pytest.raises(ValueError, match=r"'th' has 3 elements, got 2 values"):
        c.assign_parameters({th: [1, 2]})
    with pytest.raises(ValueError, match=r"expected a sequence of 4 values \(shape \(4,\)\)"):
        c.assign_parameters(np.zeros((2, 2)))
    with pytest.raises(TypeError, match="'a' must be a real number"):
        c.assign_parameters({a: 1j})
    with pytest.raises(TypeError, match="keys must be"):
        c.assign_parameters({1: 1.0})


def test_a_name_used_twice_for_different_parameters_is_refused_and_changes_nothing():
    c = vorn.Circuit(2)
    c.rx(vorn.Parameter("a"), 0)
    with pytest.raises(ValueError, match="different parameter named 'a'"):
        c.ry(vorn.Parameter("b") + vorn.Parameter("a"), 1)
    assert len(c) == 1 and [p.name for p in c.parameters] == ["a"]
    with pytest.raises(ValueError, match="different parameter named 'a'"):
        c.global_phase = vorn.Parameter("a")
    c.rz(vorn.Parameter("b"), 1)  # "b" was not recorded by the refused call
    other = vorn.Circuit(2)
    other.rx(vorn.Parameter("a"), 0)
    with pytest.raises(ValueError, match="different parameter named 'a'"):
        c.compose(other)


def test_nan_values_propagate():
    a = vorn.Parameter("a")
    c = vorn.Circuit(1)
    c.rx(a, 0)
    assert np.isnan(c.assign_parameters([math.nan]).data[0].params[0])
    assert np.isnan(vorn.statevector(c.assign_parameters([math.nan]))).all()


# ---- Qiskit ------------------------------------------------------------------------------


@pytest.mark.qiskit
def test_qiskit_round_trip_keeps_parameters_names_order_and_states():
    from qiskit.circuit import Parameter, ParameterVector, QuantumCircuit
    from qiskit.quantum_info import Statevector

    a = Parameter("a")
    v = ParameterVector("t", 3)
    qc = QuantumCircuit(3, global_phase=a / 2 - 0.1)
    qc.rx(2 * a + 0.3, 0)
    qc.cry(v[2] - v[0], 0, 1)
    qc.u(v[1], a, 0.2, 2)
    qc.append(qc.copy_empty_like().compose(QuantumCircuit(3)).to_gate(), [0, 1, 2])
    qc.rzz(v[0], 1, 2)
    c = vorn.from_qiskit(qc)
    assert [p.name for p in c.parameters] == [p.name for p in qc.parameters]
    back = vorn.to_qiskit(c)
    assert list(back.parameters) == list(qc.parameters)  # the same Qiskit parameters again
    values = [0.4, 0.1, -0.7, 1.3]
    expected = Statevector(qc.assign_parameters(values)).data
    np.testing.assert_allclose(vorn.statevector(c.assign_parameters(values)), expected, atol=1e-12)
    np.testing.assert_allclose(Statevector(back.assign_parameters(values)).data, expected, atol=1e-12)


@pytest.mark.qiskit
def test_vorn_parameters_to_qiskit_and_back():
    th = vorn.ParameterVector("θ", 2)
    a = vorn.Parameter("a")
    c = vorn.Circuit(2)
    c.rx(3 * th[1] - a, 0)
    c.xx_plus_yy(th[0], a, 0, 1)
    qc = vorn.to_qiskit(c)
    assert [p.name for p in qc.parameters] == ["a", "θ[0]", "θ[1]"]
    again = vorn.from_qiskit(qc)
    assert again == c  # the same vorn parameters (identity kept through Qiskit)


@pytest.mark.qiskit
def test_non_affine_qiskit_expressions_are_refused():
    from qiskit.circuit import Parameter, QuantumCircuit

    a, b = Parameter("a"), Parameter("b")
    for angle in (a * b, a.sin(), a ** 2):
        qc = QuantumCircuit(1)
        qc.rx(angle, 0)
        with pytest.raises(TypeError, match="not affine"):
            vorn.from_qiskit(qc)


@pytest.mark.cirq
def test_to_cirq_needs_bound_parameters():
    c = vorn.Circuit(1)
    c.rx(vorn.Parameter("a"), 0)
    with pytest.raises(ValueError, match="unbound parameters: a"):
        vorn.to_cirq(c)
