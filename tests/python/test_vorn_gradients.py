"""Adjoint gradients: every parameterised gate of the table against central
finite differences and the two- and four-term parameter-shift rules; the
chain rule over affine angles; jacobian shapes; refusals and memory."""

import math

import numpy as np
import pytest

import vorn
from vorn.model.circuit import GATES

PARAMETERISED = [row for row in GATES.values() if row["num_params"]]

# Angle slots whose expectation has the frequencies {1/2, 1} (controlled and
# partial rotations: the generator has eigenvalues 0 and +-1/2): only the
# four-term rule holds. Slots with {1, 2} (the axis angle of r, the beta of
# the XX+-YY gates): the four-term rule at half the shifts. All others have one
# frequency and the two-term rule holds too.
FOUR_ONLY = {("crx", 0), ("cry", 0), ("crz", 0), ("cu", 0), ("cu3", 0), ("xx_plus_yy", 0), ("xx_minus_yy", 0)}
HALVED = {("r", 1), ("xx_plus_yy", 1), ("xx_minus_yy", 1)}
D_PLUS, D_MINUS = (math.sqrt(2) + 1) / (4 * math.sqrt(2)), (math.sqrt(2) - 1) / (4 * math.sqrt(2))


def observable(n=4):
    rng = np.random.default_rng(7)
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(8)]
    return vorn.PauliSum.from_list(list(zip(labels, rng.normal(size=8))))


def gate_circuit(row):
    """A generic 4-qubit state, the row's gate with one parameter per angle, then entanglers."""
    params = vorn.ParameterVector("p", row["num_params"])
    c = vorn.Circuit(4)
    rng = np.random.default_rng(len(row["name"]))
    for q in range(4):
        c.u(*rng.uniform(0, 3, 3), q)
    if row["num_qubits"] == 0:
        getattr(c, row["name"])(*params, [2, 0], 1)
    else:
        getattr(c, row["name"])(*params, *[2, 0, 1][:row["num_qubits"]] if row["num_qubits"] < 4 else range(4))
    c.cx(1, 3)
    c.ry(0.4, 2)
    return c


def energy(c, h, x):
    return float(vorn.expval(c, h, params=np.asarray(x, dtype=float))[0])


def shifted(c, h, x, k, s):
    y = np.array(x, dtype=float)
    y[k] += s
    return energy(c, h, y)


@pytest.mark.parametrize("row", PARAMETERISED, ids=lambda r: r["name"])
def test_every_parameterised_gate_differentiates(row):
    c = gate_circuit(row)
    h = observable()
    x = np.array([0.7, -1.1, 0.4, 2.2][:row["num_params"]])
    value, grad = vorn.value_and_grad(c, h, params=x)
    assert value == energy(c, h, x)
    for k in range(row["num_params"]):
        fd = (shifted(c, h, x, k, 1e-5) - shifted(c, h, x, k, -1e-5)) / 2e-5
        assert grad[k] == pytest.approx(fd, abs=1e-8)
        slot = (row["name"], k)
        scale = 0.5 if slot in HALVED else 1.0
        four = (D_PLUS * (shifted(c, h, x, k, scale * math.pi / 2) - shifted(c, h, x, k, -scale * math.pi / 2))
                - D_MINUS * (shifted(c, h, x, k, scale * 3 * math.pi / 2)
                             - shifted(c, h, x, k, -scale * 3 * math.pi / 2))) / scale
        assert grad[k] == pytest.approx(four, abs=1e-12)
        two = (shifted(c, h, x, k, math.pi / 2) - shifted(c, h, x, k, -math.pi / 2)) / 2
        if slot in FOUR_ONLY or slot in HALVED:
            assert abs(grad[k] - two) > 1e-6  # the two-term rule does not hold here: the test can tell
        else:
            assert grad[k] == pytest.approx(two, abs=1e-12)


def one_angle_circuit(name, a):
    """A circuit whose energy is cos(a) for its observable, with the one gate `name` carrying a."""
    c = vorn.Circuit(2)
    if name in ("rx", "ry"):
        getattr(c, name)(a, 0)
        return c, vorn.PauliSum.from_list([("IZ", 1.0)])
    if name == "rz":
        c.h(0)
        c.rz(a, 0)
        return c, vorn.PauliSum.from_list([("IX", 1.0)])
    if name == "cp":
        c.x(0)
        c.h(1)
        c.cp(a, 0, 1)
        return c, vorn.PauliSum.from_list([("XI", 1.0)])
    c.h(0)
    c.rzz(a, 0, 1)  # qubit 1 at |0>: qubit 0's relative phase is a
    return c, vorn.PauliSum.from_list([("IX", 1.0)])


@pytest.mark.parametrize("name", ["rx", "ry", "rz", "cp", "rzz"])
@pytest.mark.parametrize("theta", [1e12, -1e16, 1e16, 1e300])
def test_huge_angles_differentiate_exactly(name, theta):
    """d cos(a)/da = -sin(a) at angles whose ulp dwarfs the shifts (the
    derivative is formed at the angle reduced to the row's period); the value
    stays that of the bound circuit, bit for bit."""
    a = vorn.Parameter("a")
    c, h = one_angle_circuit(name, a)
    value, grad = vorn.value_and_grad(c, h, params=[theta])
    assert value == energy(c, h, [theta])
    assert value == pytest.approx(math.cos(theta), abs=1e-12)
    assert grad[0] == pytest.approx(-math.sin(theta), abs=1e-12)


def test_chain_rule_over_affine_angles_and_shared_parameters():
    a, b = vorn.Parameter("a"), vorn.Parameter("b")
    c = vorn.Circuit(2)
    c.h(0)
    c.rx(3 * a - 0.5 * b + 0.2, 0)
    c.cry(b, 0, 1)
    c.rzz(-2 * a, 0, 1)
    c.ry(a, 1)
    only_phase = vorn.Parameter("g")
    c.global_phase = only_phase + a
    h = vorn.PauliSum.from_list([("XZ", 0.8), ("YI", -0.4), ("ZX", 0.3)])
    x = np.array([0.3, -0.6, 1.7])  # a, b, g
    _, grad = vorn.value_and_grad(c, h, params=x)
    for k in range(3):
        e = np.eye(3)[k] * 1e-5
        fd = (energy(c, h, x + e) - energy(c, h, x - e)) / 2e-5
        assert grad[k] == pytest.approx(fd, abs=1e-8)
    assert grad[2] == 0.0  # a global phase changes no expectation


def test_jacobian_shapes_and_agreement_with_value_and_grad():
    th = vorn.ParameterVector("th", 6)
    c = vorn.Circuit(3, 3)
    for q in range(3):
        c.ry(th[q], q)
    c.cx(0, 1)
    c.cx(1, 2)
    for q in range(3):
        c.rz(th[3 + q], q)
    c.measure([0, 1, 2], [0, 1, 2])  # measurements at the end are allowed
    hs = [vorn.PauliSum.from_list([("ZZI", 1.0)]), vorn.PauliSum.from_list([("XIX", 0.5), ("IYI", 2.0)])]
    vals = np.random.default_rng(2).uniform(-2, 2, (4, 6))
    jac = vorn.jacobian(c, hs, params=vals)
    assert jac.shape == (4, 2, 6)
    for o, h in enumerate(hs):
        e, g = vorn.value_and_grad(c, h, params=vals)
        assert g.tobytes() == np.ascontiguousarray(jac[:, o, :]).tobytes()
        assert e.tobytes() == vorn.expval(c, h, params=vals)[:, 0].tobytes()
    assert vorn.jacobian(c, hs, params=vals[0]).shape == (2, 6)
    assert vorn.jacobian(c, [], params=vals).shape == (4, 0, 6)


def test_unitary_gates_and_fixed_gates_pass_through():
    c = vorn.Circuit(2)
    a = vorn.Parameter("a")
    c.ry(a, 0)
    c.unitary(np.array([[0, 1], [1, 0]]), 1)
    c.unitary(np.kron(np.eye(2), [[1, 0], [0, 1j]]), [0, 1])
    c.cx(0, 1)
    c.ry(2 * a, 1)
    h = vorn.PauliSum.from_list([("ZZ", 1.0), ("XI", 0.5)])
    _, g = vorn.value_and_grad(c, h, params=[0.3])
    fd = (energy(c, h, [0.3 + 1e-5]) - energy(c, h, [0.3 - 1e-5])) / 2e-5
    assert g[0] == pytest.approx(fd, abs=1e-8)


def test_refusals():
    a = vorn.Parameter("a")
    c = vorn.Circuit(1, 1)
    c.rx(a, 0)
    with pytest.raises(ValueError, match="real coefficients"):
        vorn.value_and_grad(c, vorn.PauliSum.from_list([("Z", 1j)]), params=[0.1])
    with pytest.raises(TypeError, match="takes one vorn.PauliSum"):
        vorn.value_and_grad(c, [vorn.PauliSum.from_list([("Z", 1.0)])], params=[0.1])
    c.measure(0, 0)
    # A gate after a measurement (as a dynamic circuit would have it) is refused.
    mid = c.copy()
    mid._data.append(vorn.Instruction("rx", (0,), (a,)))
    with pytest.raises(ValueError, match="measurements at the end: gate 'rx' .instruction 2."):
        vorn.value_and_grad(mid, vorn.PauliSum.from_list([("Z", 1.0)]), params=[0.1])
    other = c.copy()
    other._data.insert(0, vorn.Instruction("reset", (0,)))
    with pytest.raises(ValueError, match="instruction 0 is 'reset'"):
        vorn.jacobian(other, vorn.PauliSum.from_list([("Z", 1.0)]), params=[0.1])


def test_a_gradient_that_cannot_fit_names_the_figure():
    c = vorn.Circuit(33)
    c.rx(vorn.Parameter("a"), 0)
    h = vorn.PauliSum.from_list([("Z" + "I" * 32, 1.0)])
    need = vorn.required_memory(c, params=[0.1], observables=1, gradient=True)
    assert need == 3 * 16 * 2**33
    with pytest.raises(MemoryError, match=str(need)):
        vorn.value_and_grad(c, h, params=[0.1])
