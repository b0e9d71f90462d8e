"""Sweeps: expval(params=...) and run(params=...) against binding first and
running each circuit alone, bit for bit, on both batching paths and at 1, 2
and 8 threads; per-binding seeds; shapes, empty sweeps, bad input, control."""

import hashlib
import math

import numpy as np
import pytest

import vorn
from vorn.execution import sweeps


def ansatz(n, layers, measure=False):
    """ry/rz layers and a cx ladder, with an affine angle and a parameterised global phase."""
    th = vorn.ParameterVector("th", 2 * n * layers)
    a = vorn.Parameter("a")
    c = vorn.Circuit(n, n if measure else 0)
    k = 0
    for _ in range(layers):
        for q in range(n):
            c.ry(th[k], q)
            c.rz(0.5 * th[k + 1] - a + 0.25, q)
            k += 2
        for q in range(n - 1):
            c.cx(q, q + 1)
    c.crx(a, 0, n - 1)
    c.global_phase = 2 * a
    if measure:
        c.measure(list(range(n)), list(range(n)))
    return c


def hamiltonian(n, terms=6, seed=3):
    rng = np.random.default_rng(seed)
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    return vorn.PauliSum.from_list(list(zip(labels, rng.normal(size=terms))))


@pytest.fixture(params=[1, 2], ids=["side_by_side", "one_after_another"])
def mode(request, monkeypatch):
    monkeypatch.setattr(sweeps, "_MODE", request.param)
    return request.param


def test_expval_sweep_is_each_bound_circuit_alone(mode):
    c = ansatz(5, 2)
    hs = [hamiltonian(5), hamiltonian(5, seed=4)]
    vals = np.random.default_rng(0).uniform(-3, 3, (7, c.num_parameters))
    vals[3, 2] = -0.0
    out = vorn.expval(c, hs, params=vals)
    assert out.shape == (7, 2) and out.dtype == np.float64
    for b in range(7):
        alone = vorn.expval(c.assign_parameters(vals[b]), hs)
        assert out[b].tobytes() == alone.tobytes()
    assert vorn.expval(c, hs, params=vals[4]).tobytes() == out[4].tobytes()  # 1-D: one binding


def test_run_sweep_is_each_bound_circuit_alone_with_its_binding_seed(mode):
    c = ansatz(4, 1, measure=True)
    vals = np.random.default_rng(1).uniform(-3, 3, (5, c.num_parameters))
    results = vorn.run(c, shots=300, seed=11, params=vals, memory=True)
    assert len(results) == 5
    for b, r in enumerate(results):
        alone = vorn.run(c.assign_parameters(vals[b]), shots=300, seed=vorn.binding_seed(11, b), memory=True)
        assert r.statevector().tobytes() == alone.statevector().tobytes()
        assert r.counts() == alone.counts() and r.memory().tobytes() == alone.memory().tobytes()
    assert len({vorn.binding_seed(11, b) for b in range(5)} | {11}) == 6


def test_dynamic_circuit_sweeps_keep_their_conditions():
    # The engine's sweep simulates once and samples at the end: a circuit
    # that conditions on a mid-circuit measurement must branch per binding
    # instead (the condition was dropped, giving '01' where '11' is certain).
    theta = vorn.Parameter("theta")
    c = vorn.Circuit(2, 2)
    c.ry(theta, 0)
    c.measure(0, 0)
    with c.if_test((0, 1)):
        c.x(1)
    c.measure(1, 1)
    vals = np.array([[0.4], [np.pi], [2.0]])
    results = vorn.run(c, shots=200, seed=5, params=vals, memory=True)
    assert results[1].counts() == {"11": 200}
    for b, r in enumerate(results):
        alone = vorn.run(c.assign_parameters(vals[b]), shots=200, seed=vorn.binding_seed(5, b), memory=True)
        assert r.counts() == alone.counts() and r.memory().tobytes() == alone.memory().tobytes()
    assert vorn.run(c, shots=10, seed=5, params=vals[1]).counts() == {"11": 10}  # 1-D: one result
    # Each binding's expectation value is the exact mixture over its outcomes: qubit 1 copies qubit 0.
    zz = vorn.expval(c, vorn.PauliSum.from_list([("ZZ", 1.0)]), params=vals)
    np.testing.assert_allclose(zz, np.ones((3, 1)), atol=1e-15)


def test_binding_seeds_come_from_seed_and_index_only():
    c = ansatz(3, 1, measure=True)
    vals = np.tile(np.linspace(0, 1, c.num_parameters), (4, 1))  # the same binding four times
    first = [r.counts() for r in vorn.run(c, shots=500, seed=2, params=vals)]
    again = [r.counts() for r in vorn.run(c, shots=500, seed=2, params=vals[::-1])]
    assert first == again  # row b's draws depend on b, not on its values' order of arrival
    assert len({tuple(sorted(x.items())) for x in first}) > 1  # different rows draw differently
    assert vorn.binding_seed(2, 0) == vorn.binding_seed(2, 0) != vorn.binding_seed(3, 0)


def _here_first():
    """PYTHONPATH with this directory first (the rest kept: the sanitizer run puts its build there)."""
    import os

    return os.pathsep.join(p for p in (os.path.dirname(__file__), os.environ.get("PYTHONPATH")) if p)


SWEEP_DIGEST = """
import hashlib, numpy as np, vorn
from vorn.execution import sweeps
import test_vorn_sweeps as t
for n, layers in ((4, 2), (16, 1)):
    c = t.ansatz(n, layers)
    h = t.hamiltonian(n)
    vals = np.random.default_rng(5).uniform(-2, 2, (6, c.num_parameters))
    single = np.concatenate([vorn.expval(c.assign_parameters(v), [h]) for v in vals])
    line = []
    for mode in (1, 2):
        sweeps._MODE = mode
        for threads in (1, 2, 8):
            e = vorn.expval(c, [h], params=vals, threads=threads)
            value, g = vorn.value_and_grad(c, h, params=vals, threads=threads)
            same = e[:, 0].tobytes() == single.tobytes() == value.tobytes()
            line.append(hashlib.sha256(g.tobytes()).hexdigest() + ("=" if same else "!"))
    print(" ".join(line))
"""


def test_sweeps_and_gradients_are_bit_identical_at_1_2_and_8_threads_on_both_paths(run_python):
    done = run_python(SWEEP_DIGEST, {"RAYON_NUM_THREADS": "8", "PYTHONPATH": _here_first()}, timeout=600)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split("\n")[:2]
    for line in lines:  # 4 and 16 qubits (the 16-qubit one runs blocked)
        digests = line.split()
        assert len(digests) == 6 and all(d.endswith("=") for d in digests)  # values equal one-by-one expval
        assert len(set(digests)) == 1  # gradients: both paths, every thread count


def test_sweep_values_match_one_by_one_in_a_fresh_process_per_thread_count(run_python):
    code = """
import numpy as np, vorn, sys
import test_vorn_sweeps as t
c = t.ansatz(6, 2); h = t.hamiltonian(6)
vals = np.random.default_rng(9).uniform(-2, 2, (5, c.num_parameters))
e = vorn.expval(c, [h], params=vals)
single = np.array([vorn.expval(c.assign_parameters(v), [h]) for v in vals])
sys.stdout.write(e.tobytes().hex() + " " + single.tobytes().hex())
"""
    outs = []
    for threads in ("1", "2", "8"):
        done = run_python(code, {"RAYON_NUM_THREADS": threads, "PYTHONPATH": _here_first()})
        assert done.returncode == 0, done.stderr
        swept, single = done.stdout.split()
        assert swept == single
        outs.append(swept)
    assert len(set(outs)) == 1


def test_zero_bindings_give_empty_results_of_the_right_shape():
    c = ansatz(3, 1, measure=True)
    h = hamiltonian(3)
    empty = np.zeros((0, c.num_parameters))
    assert vorn.expval(c, [h, h], params=empty).shape == (0, 2)
    assert vorn.run(c, shots=10, seed=1, params=empty) == []
    e, g = vorn.value_and_grad(c, h, params=empty)
    assert e.shape == (0,) and g.shape == (0, c.num_parameters)


def test_circuits_without_parameters_sweep_with_zero_columns():
    c = vorn.Circuit(2)
    c.h(0)
    c.cx(0, 1)
    h = vorn.PauliSum.from_list([("ZZ", 1.0)])
    out = vorn.expval(c, h, params=np.zeros((3, 0)))
    assert out.shape == (3, 1) and {v.tobytes() for v in out} == {vorn.expval(c, h).tobytes()}


def test_bad_values_name_the_expected_shape():
    c = ansatz(3, 1)
    h = hamiltonian(3)
    p = c.num_parameters
    with pytest.raises(ValueError, match=rf"shape \(4, {p + 1}\); expected \(bindings, {p}\)"):
        vorn.expval(c, [h], params=np.zeros((4, p + 1)))
    with pytest.raises(ValueError, match=rf"expected \(bindings, {p}\)"):
        vorn.run(c, shots=1, params=np.zeros((2, 2, p)))
    with pytest.raises(TypeError, match="real numbers"):
        vorn.value_and_grad(c, h, params=np.zeros((1, p), dtype=complex))
    with pytest.raises(TypeError, match=r"shape \(bindings"):
        vorn.expval(c, [h], params={"a": 1.0})



def test_variance_fusion_and_single_precision_with_params_equal_each_bound_circuit_alone():
    c = ansatz(3, 1)
    h = hamiltonian(3)
    rng = np.random.default_rng(5)
    values = rng.uniform(-2, 2, (3, c.num_parameters))
    for option in ({}, {"fusion": True}, {"precision": "single"}, {"fusion": True, "precision": "single"}):
        means, variances = vorn.expval(c, [h], params=values, variance=True, **option)
        runs = vorn.run(c, 200, seed=8, params=values, memory=True, **option)
        for b, row in enumerate(values):
            alone, alone_var = vorn.expval(c.assign_parameters(row), [h], variance=True, **option)
            assert np.array_equal(means[b], alone) and np.array_equal(variances[b], alone_var)
            single = vorn.run(c.assign_parameters(row), 200, seed=vorn.binding_seed(8, b), memory=True, **option)
            assert np.array_equal(runs[b].memory(), single.memory())
            assert np.array_equal(runs[b].statevector(), single.statevector())
        assert np.array_equal(vorn.variance(c, [h], params=values, **option), variances)


def test_nan_values_propagate_through_sweeps():
    c = ansatz(3, 1)
    vals = np.zeros((2, c.num_parameters))
    vals[1, 0] = math.nan
    out = vorn.expval(c, [hamiltonian(3)], params=vals)
    assert np.isfinite(out[0, 0]) and np.isnan(out[1, 0])


def test_progress_counts_every_binding_and_an_exception_cancels(mode):
    c = ansatz(4, 1)
    vals = np.zeros((50, c.num_parameters))
    seen = []
    vorn.expval(c, [hamiltonian(4)], params=vals, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (50 * len(c), 50 * len(c))

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop

    big = ansatz(14, 4)
    with pytest.raises(Stop):
        vorn.expval(big, [hamiltonian(14)], params=np.zeros((400, big.num_parameters)), progress=stop)


def test_required_memory_covers_sweeps_and_gradients(monkeypatch):
    c = ansatz(10, 1, measure=True)
    vals = np.zeros((8, c.num_parameters))
    state = 16 << 10
    monkeypatch.setattr(sweeps, "_MODE", 2)
    assert vorn.required_memory(c, 0, params=vals, observables=1) == state
    assert vorn.required_memory(c, 0, params=vals) == state + 8 * state
    assert vorn.required_memory(c, params=vals, observables=3, gradient=True) == 5 * state
    big = ansatz(33, 1)
    with pytest.raises(MemoryError):
        vorn.expval(big, [hamiltonian(33)], params=np.zeros((1, big.num_parameters)))
