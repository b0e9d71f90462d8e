"""vorn.cirq.Simulator against cirq.Simulator and cirq.DensityMatrixSimulator
on the same calls, and vorn.run / vorn.expval taking Cirq's resolvers and
observables."""

from __future__ import annotations

import numpy as np
import pytest

import vorn

cirq = pytest.importorskip("cirq")
sympy = pytest.importorskip("sympy")

from vorn.cirq import Simulator  # noqa: E402 - after the skip

pytestmark = pytest.mark.cirq

Q = cirq.LineQubit.range(5)
T, U = sympy.symbols("t u")


def reference(**kwargs):
    return cirq.Simulator(dtype=np.complex128, **kwargs)


def mixed_circuit():
    """Common gates, a few Cirq-only ones and a global shift: every kind of conversion."""
    q = Q
    return cirq.Circuit(
        cirq.H(q[0]), cirq.rx(0.3).on(q[1]), cirq.Y(q[2]) ** 0.41, cirq.CNOT(q[0], q[3]),
        cirq.ZZ(q[1], q[4]) ** 0.27, cirq.FSimGate(theta=0.5, phi=0.2).on(q[2], q[3]),
        cirq.PhasedXPowGate(phase_exponent=0.3, exponent=0.6).on(q[4]), cirq.CCZ(q[0], q[1], q[2]) ** 0.7,
        cirq.ISWAP(q[3], q[4]) ** 0.35, cirq.ZPowGate(exponent=0.2, global_shift=-0.5).on(q[0]),
        cirq.T(q[1]), cirq.SWAP(q[2], q[0]),
    )


def symbolic_circuit():
    q = Q[:4]
    return cirq.Circuit(
        cirq.H(q[0]), cirq.rx(2 * T + 0.3).on(q[1]), cirq.X(q[2]) ** U, cirq.CZ(q[0], q[1]) ** T,
        cirq.ZZ(q[1], q[2]) ** (U / 2), cirq.FSimGate(theta=T, phi=0.2).on(q[0], q[2]),
        cirq.PhasedXPowGate(phase_exponent=U, exponent=0.3).on(q[3]), cirq.ry(T - U).on(q[3]),
        cirq.CNOT(q[3], q[1]), cirq.ZPowGate(exponent=T, global_shift=0.25).on(q[2]),
    )


def tv_bound(probabilities, shots):
    """A total-variation distance an honest sample of this size stays under
    (about four standard deviations summed over the outcomes)."""
    p = np.asarray(probabilities)
    return 2.0 * np.sum(np.sqrt(p * (1 - p) / shots)) + 1e-12


def total_variation(histogram, probabilities, shots):
    observed = np.zeros(len(probabilities))
    for k, v in histogram.items():
        observed[k] = v
    return 0.5 * np.abs(observed / shots - probabilities).sum()


# ---- states, amplitudes and expectation values ------------------------------------------


@pytest.mark.parametrize("order", [None, [Q[3], Q[0], Q[4], Q[2], Q[1]], [Q[2], cirq.LineQubit(9), Q[0], Q[1],
                                                                             Q[3], Q[4]]])
def test_final_states_and_amplitudes_are_cirqs(order):
    c = mixed_circuit()
    order = cirq.QubitOrder.DEFAULT if order is None else order
    ours = Simulator().simulate(c, qubit_order=order)
    theirs = reference().simulate(c, qubit_order=order)
    assert isinstance(ours, cirq.StateVectorTrialResult)
    assert ours.qubit_map == theirs.qubit_map
    np.testing.assert_allclose(ours.final_state_vector, theirs.final_state_vector, rtol=0, atol=1e-12)
    n = len(ours.qubit_map)
    bits = [0, 1, 5, (1 << n) - 1, 0b10110]
    np.testing.assert_allclose(Simulator().compute_amplitudes(c, bits, qubit_order=order),
                               theirs.final_state_vector[bits], rtol=0, atol=1e-12)


def test_precision_and_fusion_options_reach_the_engine():
    c = mixed_circuit()
    theirs = reference().simulate(c).final_state_vector
    single = Simulator(precision="single").simulate(c).final_state_vector
    assert single.dtype == np.complex64
    np.testing.assert_allclose(single, theirs, rtol=0, atol=1e-5)
    np.testing.assert_allclose(Simulator(fusion=True, threads=1).simulate(c).final_state_vector, theirs, atol=1e-12)


def test_initial_state_is_a_basis_state_in_the_qubit_order():
    c = mixed_circuit()
    order = [Q[4], Q[2], Q[0], Q[1], Q[3]]
    for start in (0b10011, 7):
        np.testing.assert_allclose(
            Simulator().simulate(c, qubit_order=order, initial_state=start).final_state_vector,
            reference().simulate(c, qubit_order=order, initial_state=start).final_state_vector, atol=1e-12)


def test_expectation_values_are_cirqs():
    c = mixed_circuit()
    observables = [cirq.Z(Q[0]) * cirq.X(Q[3]) + 0.5 * cirq.Y(Q[2]) - 0.25, cirq.X(Q[1]) * cirq.Y(Q[4]),
                   2.0 * cirq.Z(Q[2]), cirq.PauliSum()]
    ours = Simulator().simulate_expectation_values(c, observables)
    theirs = reference().simulate_expectation_values(c, observables)
    np.testing.assert_allclose(ours, np.real(theirs), atol=1e-12)
    one = Simulator().simulate_expectation_values(c, cirq.Z(Q[2]))  # a single observable, not in a list
    np.testing.assert_allclose(one, np.real(theirs[2]) / 2, atol=1e-12)


def test_terminal_measurements_are_refused_as_cirq_does_and_permitted_collapse():
    q = Q[:3]
    c = cirq.Circuit(cirq.H(q[0]), cirq.CNOT(q[0], q[1]), cirq.ry(0.7).on(q[2]), cirq.measure(q[0], key="m"))
    h = [cirq.X(q[0]) * cirq.X(q[1]), cirq.Z(q[0]) * cirq.Z(q[1]), cirq.X(q[2]), cirq.X(q[1])]
    with pytest.raises(ValueError) as theirs:
        reference().simulate_expectation_values(c, h)
    with pytest.raises(ValueError) as ours:
        Simulator().simulate_expectation_values(c, h)
    assert str(ours.value) == str(theirs.value)
    # Permitted, the measurement collapses the state: the value is the mean
    # over its outcomes, which is the unmeasured circuit after full dephasing.
    dephased = c[:-1] + cirq.Circuit(cirq.phase_flip(0.5).on(q[0]))
    expected = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate_expectation_values(dephased, h)
    got = Simulator().simulate_expectation_values(c, h, permit_terminal_measurements=True)
    np.testing.assert_allclose(got, np.real(expected), atol=1e-12)


# ---- parameters and sweeps ----------------------------------------------------------------


SWEEPS = [
    cirq.ParamResolver({"t": 0.37, "u": -1.2}),
    {"t": 0.1, U: 2.0},
    cirq.Points("t", [0.1, -0.4]) * cirq.Linspace("u", 0, 1, 3),
    cirq.Zip(cirq.Points("t", [0.5, 0.6]), cirq.Points("u", [1.5, -0.5])),
    [{"t": 0.2, "u": 0.3}, cirq.ParamResolver({"t": 1.0, "u": 1.1})],
]


@pytest.mark.parametrize("sweep", SWEEPS)
def test_sweeps_equal_resolving_each_point(sweep):
    c = symbolic_circuit()
    h = [cirq.Z(Q[0]) * cirq.X(Q[1]) + 0.5 * cirq.Y(Q[2]), cirq.Z(Q[3])]
    resolvers = list(cirq.to_resolvers(sweep))
    states = Simulator().simulate_sweep(c, sweep)
    values = Simulator().simulate_expectation_values_sweep(c, h, sweep)
    amplitudes = Simulator().compute_amplitudes_sweep(c, [0, 6, 15], sweep)
    assert len(states) == len(values) == len(amplitudes) == len(resolvers)
    for r, state, value, amplitude in zip(resolvers, states, values, amplitudes):
        resolved = cirq.resolve_parameters(c, r)
        theirs = reference().simulate(resolved).final_state_vector
        assert state.params == r
        np.testing.assert_allclose(state.final_state_vector, theirs, atol=1e-12)
        np.testing.assert_allclose(amplitude, theirs[[0, 6, 15]], atol=1e-12)
        np.testing.assert_allclose(value, np.real(reference().simulate_expectation_values(resolved, h)), atol=1e-12)


def test_a_sweep_is_one_engine_call_and_each_row_is_the_bound_circuit(monkeypatch):
    c = symbolic_circuit() + cirq.measure(*Q[:4], key="m")
    sweep = cirq.Points("t", [0.1, 0.2, 0.3]) * cirq.Points("u", [0.0, 1.0])
    calls = []
    real_run = vorn.api.run
    monkeypatch.setattr(vorn.api, "run", lambda *a, **k: calls.append(k.get("params")) or real_run(*a, **k))
    results = Simulator(seed=11).run_sweep(c, sweep, repetitions=50)
    assert len(calls) == 1 and calls[0].shape == (6, 2)
    # Row b is seeded with binding_seed(call seed, b): the same draws as the
    # resolved circuit run alone with that seed.
    call_seed = vorn.binding_seed(11, 0)
    for b, (r, result) in enumerate(zip(cirq.to_resolvers(sweep), results)):
        alone = real_run(vorn.from_cirq(cirq.resolve_parameters(c, r)), 50, vorn.binding_seed(call_seed, b),
                         memory=True)
        assert result.params == r
        bits = np.unpackbits(alone.memory(), axis=1)[:, -4:]
        np.testing.assert_array_equal(result.records["m"][:, 0, :], bits)


def test_symbols_vorn_cannot_keep_are_resolved_point_by_point():
    c = cirq.Circuit(cirq.H(Q[0]), cirq.rx(sympy.sin(T)).on(Q[1]), cirq.X(Q[0]) ** (T * T),
                     cirq.global_phase_operation(sympy.exp(sympy.I * T)), cirq.CNOT(Q[0], Q[1]))
    sweep = cirq.Linspace("t", -1, 1, 3)
    for ours, r in zip(Simulator().simulate_sweep(c, sweep), cirq.to_resolvers(sweep)):
        np.testing.assert_allclose(ours.final_state_vector,
                                   reference().simulate(cirq.resolve_parameters(c, r)).final_state_vector, atol=1e-12)


# ---- sampling -------------------------------------------------------------------------------


def test_records_are_laid_out_as_cirqs():
    """Deterministic outcomes: every record must equal Cirq's bit for bit."""
    q = Q
    c = cirq.Circuit(
        cirq.X(q[0]), cirq.X(q[3]),
        cirq.measure(q[3], q[1], q[0], key="a"),               # bits in the measurement's qubit order
        cirq.measure(q[2], key="b", invert_mask=(True,)),     # inverted: reads 1
        cirq.X(q[1]),
        cirq.measure(q[1], key="k"), cirq.X(q[1]), cirq.measure(q[1], key="k"),  # one key measured twice
        cirq.X(q[4]).with_classical_controls("k"),            # reads the latest 'k' (0): no flip
        cirq.measure(q[4], q[0], key="c"),
    )
    ours = Simulator(seed=1).run(c, repetitions=3)
    theirs = reference(seed=1).run(c, repetitions=3)
    assert isinstance(ours, cirq.ResultDict)
    assert set(ours.records) == set(theirs.records)
    for key in theirs.records:
        np.testing.assert_array_equal(ours.records[key], theirs.records[key], err_msg=key)
    # (Cirq's histograms refuse results with a repeated key: checked without it)
    once = cirq.Circuit(op for op in c.all_operations()
                        if cirq.measurement_key_names(op) != {"k"} and not cirq.control_keys(op))
    ours, theirs = Simulator(seed=1).run(once, repetitions=3), reference(seed=1).run(once, repetitions=3)
    assert ours.histogram(key="a") == theirs.histogram(key="a") == {0b101: 3}
    assert ours.multi_measurement_histogram(keys=["a", "c"]) == theirs.multi_measurement_histogram(keys=["a", "c"])
    empty = Simulator().run(c, repetitions=0)
    assert {k: v.shape for k, v in empty.records.items()} == {k: v.shape for k, v in
                                                              reference().run(c, repetitions=0).records.items()}


def test_repeated_keys_inside_repeated_subcircuits_are_stacked():
    sub = cirq.FrozenCircuit(cirq.X(Q[0]), cirq.measure(Q[0], key="r"))
    c = cirq.Circuit(cirq.CircuitOperation(sub, repetitions=3, use_repetition_ids=False))
    ours = Simulator().run(c, repetitions=2).records["r"]
    np.testing.assert_array_equal(ours, reference().run(c, repetitions=2).records["r"])
    assert ours.shape == (2, 3, 1)


def test_samples_follow_the_state_and_the_seed_fixes_them():
    c = mixed_circuit()
    probabilities = np.abs(reference().simulate(c).final_state_vector) ** 2
    measured = c + cirq.measure(*Q, key="all")
    shots = 4000
    first = Simulator(seed=21).run(measured, repetitions=shots)
    assert total_variation(first.histogram(key="all"), probabilities, shots) < tv_bound(probabilities, shots)
    again = Simulator(seed=21)
    same = again.run(measured, repetitions=shots)
    np.testing.assert_array_equal(first.records["all"], same.records["all"])
    later = again.run(measured, repetitions=shots)  # the next call draws from the next stream
    assert not np.array_equal(later.records["all"], same.records["all"])
    other = Simulator(seed=22).run(measured, repetitions=shots)
    assert not np.array_equal(other.records["all"], first.records["all"])


def test_sampler_methods_inherited_from_cirq_work():
    c = cirq.Circuit(cirq.X(Q[0]), cirq.measure(Q[0], Q[1], key="m"))
    frame = Simulator(seed=3).sample(c, repetitions=4)
    assert list(frame["m"]) == [2, 2, 2, 2]
    batch = Simulator(seed=3).run_batch([c, c], repetitions=2)
    assert [[r.histogram(key="m") for r in rs] for rs in batch] == [[{2: 2}], [{2: 2}]]


# ---- classical control, resets, noise ----------------------------------------------------------


def teleport(theta):
    msg, a, b = Q[:3]
    return cirq.Circuit(
        cirq.ry(theta).on(msg), cirq.H(a), cirq.CNOT(a, b), cirq.CNOT(msg, a), cirq.H(msg),
        cirq.measure(msg, key="x"), cirq.measure(a, key="z"),
        cirq.X(b).with_classical_controls("z"), cirq.Z(b).with_classical_controls("x"),
        cirq.reset(msg),
    )


def test_classical_control_and_reset_run_on_the_dynamic_engine():
    theta = 1.1
    c = teleport(theta) + cirq.measure(Q[2], key="out")
    shots = 4000
    got = Simulator(seed=5).run(c, repetitions=shots)
    p1 = np.sin(theta / 2) ** 2
    assert total_variation(got.histogram(key="out"), [1 - p1, p1], shots) < tv_bound([1 - p1, p1], shots)
    # the corrections depend on the outcomes, which are uniform
    pairs = {2 * x + z: n for (x, z), n in got.multi_measurement_histogram(keys=["x", "z"]).items()}
    assert total_variation(pairs, [0.25] * 4, shots) < tv_bound([0.25] * 4, shots)
    # one shot's state: the message on b, the others reset or collapsed as measured
    for seed in range(3):
        result = Simulator(seed=seed).simulate(teleport(theta))
        x, z = int(result.measurements["x"][0]), int(result.measurements["z"][0])
        expected = np.zeros(8, complex)
        expected[(z << 1) | 0] = np.cos(theta / 2)
        expected[(z << 1) | 1] = np.sin(theta / 2)
        overlap = abs(np.vdot(expected, result.final_state_vector))
        assert overlap == pytest.approx(1, abs=1e-12), (x, z)


def test_a_measured_circuit_simulates_to_the_state_cirq_gives_for_the_same_outcomes():
    c = cirq.Circuit(cirq.H(Q[0]), cirq.CNOT(Q[0], Q[1]), cirq.ry(0.4).on(Q[2]), cirq.measure(Q[0], key="m"),
                     cirq.H(Q[1]), cirq.measure(Q[1], Q[2], key="f"))
    for seed in range(4):
        ours = Simulator(seed=seed).simulate(c)
        for s in range(200):  # Cirq with the same outcomes
            theirs = reference(seed=s).simulate(c)
            if all(np.array_equal(theirs.measurements[k], ours.measurements[k]) for k in ("m", "f")):
                break
        else:
            pytest.fail("Cirq never drew these outcomes")
        np.testing.assert_allclose(ours.final_state_vector, theirs.final_state_vector, atol=1e-12)


def test_expectation_of_a_dynamic_circuit_is_the_exact_mixture():
    c = teleport(0.8)[:-1]  # without the reset
    h = [cirq.Z(Q[2]), cirq.X(Q[2]), cirq.Z(Q[0]) * cirq.Z(Q[2]), cirq.X(Q[0]), cirq.Z(Q[1])]
    # Conditions made quantum controls, the measured qubits fully dephased: the exact mixture.
    deferred = cirq.defer_measurements(c)
    unmeasured = cirq.Circuit(op for op in deferred.all_operations() if not cirq.is_measurement(op))
    unmeasured += cirq.Circuit(cirq.phase_flip(0.5).on_each(Q[0], Q[1]))
    expected = cirq.DensityMatrixSimulator(dtype=np.complex128).simulate_expectation_values(unmeasured, h)
    got = Simulator().simulate_expectation_values(c, h, permit_terminal_measurements=True)
    np.testing.assert_allclose(got, np.real(expected), atol=1e-12)


def test_a_noise_model_matches_the_density_matrix():
    c = cirq.Circuit(cirq.H(Q[0]), cirq.CNOT(Q[0], Q[1]), cirq.ry(0.7).on(Q[2]), cirq.CNOT(Q[1], Q[2]))
    model = cirq.ConstantQubitNoiseModel(cirq.depolarize(0.05))
    dm = cirq.DensityMatrixSimulator(noise=model, dtype=np.complex128)
    probabilities = np.real(np.diag(dm.simulate(c).final_density_matrix))
    shots = 4000
    sim = Simulator(seed=8, noise=model)
    got = sim.run(c + cirq.measure(*Q[:3], key="m"), repetitions=shots)  # the noise after it reads nothing
    assert total_variation(got.histogram(key="m"), probabilities, shots) < tv_bound(probabilities, shots)
    h = [cirq.Z(Q[0]) * cirq.Z(Q[1]), cirq.X(Q[2]), cirq.Z(Q[1])]
    exact = np.real(dm.simulate_expectation_values(c, h))
    means = Simulator(seed=8, noise=cirq.depolarize(0.05), trajectories=4000).simulate_expectation_values(c, h)
    assert np.all(np.abs(np.array(means) - exact) < 4 / np.sqrt(4000))


def test_channels_and_mid_circuit_measurements_sample_as_the_density_matrix_does():
    q = Q[:2]
    c = cirq.Circuit(cirq.H(q[0]), cirq.amplitude_damp(0.3).on(q[0]), cirq.measure(q[0], key="a"),
                     cirq.bit_flip(0.2).on(q[0]),  # after a mid-circuit measurement, before what follows
                     cirq.X(q[1]).with_classical_controls("a"), cirq.H(q[0]),
                     cirq.measure(q[0], q[1], key="f"), cirq.phase_damp(0.3).on(q[1]))
    # The exact outcome distribution: a's outcome, then f from the state it leaves.
    p_a1 = 0.5 * 0.7
    f_given_a = {0: np.array([0.5, 0, 0.5, 0]), 1: np.array([0, 0.5, 0, 0.5])}  # bit_flip then H: f0 uniform
    expected = np.concatenate([(1 - p_a1) * f_given_a[0], p_a1 * f_given_a[1]])
    shots = 4000
    got = Simulator(seed=4).run(c, repetitions=shots).multi_measurement_histogram(keys=["a", "f"])
    hist = {a * 4 + f: n for (a, f), n in got.items()}
    assert total_variation(hist, expected, shots) < tv_bound(expected, shots)


# ---- refusals -------------------------------------------------------------------------------------


def test_refusals_say_what_is_wrong():
    c = cirq.Circuit(cirq.H(Q[0]), cirq.measure(Q[0], key="m"))
    noisy = Simulator(noise=cirq.depolarize(0.1))
    with pytest.raises(ValueError, match="simulate of a noisy circuit"):
        noisy.simulate(c)
    with pytest.raises(ValueError, match="compute_amplitudes of a noisy circuit"):
        Simulator().compute_amplitudes(c + cirq.Circuit(cirq.bit_flip(0.1).on(Q[1])), [0])
    with pytest.raises(ValueError, match="Circuit has no measurements to sample"):
        Simulator().run(cirq.Circuit(cirq.H(Q[0])))
    with pytest.raises(ValueError, match="leaves the symbols t unresolved"):
        Simulator().simulate(cirq.Circuit(cirq.rx(sympy.sin(T)).on(Q[0])), {"u": 1.0})
    with pytest.raises(ValueError, match="gives no value for the symbol 't'"):
        Simulator().simulate(cirq.Circuit(cirq.rx(T).on(Q[0])), {"u": 1.0})
    with pytest.raises(ValueError, match="bitstring 4 is not an integer from 0 to 3"):
        Simulator().compute_amplitudes(cirq.Circuit(cirq.H(Q[0]), cirq.H(Q[1])), [1, 4])
    with pytest.raises(TypeError, match="initial_state must be None or an integer"):
        Simulator().simulate(c, initial_state=np.array([1, 0]))
    with pytest.raises(TypeError, match="seed must be an integer"):
        Simulator(seed=np.random.RandomState(1))
    with pytest.raises(TypeError, match="noise must be a cirq.NoiseModel"):
        Simulator(noise="depolarize")
    with pytest.raises(ValueError, match="precision"):
        Simulator(precision="half")
    with pytest.raises(TypeError, match="takes a cirq.Circuit"):
        Simulator().run(vorn.Circuit(1))
    with pytest.raises(NotImplementedError, match="confusion_map"):
        Simulator().run(cirq.Circuit(cirq.measure(Q[0], key="m", confusion_map={(0,): np.eye(2)})))
    with pytest.raises(ValueError, match="'k' is measured on different numbers of qubits"):
        Simulator().run(cirq.Circuit(cirq.measure(Q[0], key="k"), cirq.measure(Q[0], Q[1], key="k")))
    with pytest.raises(ValueError, match="acts on qubit q\\(3\\), which the circuit does not have"):
        Simulator().simulate_expectation_values(cirq.Circuit(cirq.H(Q[0])), cirq.Z(Q[3]))
    # The dynamic engine runs in single precision too: the same outcome for the seed, the state to float rounding.
    dynamic = cirq.Circuit(cirq.H(Q[0]), cirq.measure(Q[0], key="m"), cirq.X(Q[1]).with_classical_controls("m"))
    single = Simulator(seed=4, precision="single").simulate(dynamic)
    double = Simulator(seed=4).simulate(dynamic)
    assert single.measurements["m"].tolist() == double.measurements["m"].tolist()
    np.testing.assert_allclose(single.final_state_vector, double.final_state_vector, atol=1e-6)


def test_import_names_the_extra_without_cirq(import_without):
    proc = import_without("cirq", "vorn.cirq", 'assert "cirq" not in sys.modules')
    assert 'pip install "vorn-python[cirq]"' in proc.stdout, proc.stderr


# ---- vorn.run and vorn.expval with Cirq's resolvers and observables -----------------------------


def test_vorn_expval_and_run_take_cirq_observables_and_resolvers():
    c = symbolic_circuit()
    h = cirq.Z(Q[0]) * cirq.X(Q[1]) + 0.5 * cirq.Y(Q[2])
    r = cirq.ParamResolver({"t": 0.37, "u": -1.2})
    resolved = cirq.resolve_parameters(c, r)
    theirs = np.real(reference().simulate_expectation_values(resolved, [h, cirq.Z(Q[3])]))
    np.testing.assert_allclose(vorn.expval(c, [h, cirq.Z(Q[3])], params=r), theirs, atol=1e-12)
    np.testing.assert_allclose(vorn.expval(c, h, params={"t": 0.37, "u": -1.2}), theirs[:1], atol=1e-12)
    sweep = cirq.Points("t", [0.37, 0.0]) * cirq.Points("u", [-1.2])
    assert vorn.expval(c, h, params=sweep).shape == (2, 1)
    measured = c + cirq.measure(*Q[:4], key="m")
    runs = vorn.run(measured, shots=10, seed=1, params=sweep)
    assert isinstance(runs, list) and len(runs) == 2
    assert vorn.run(measured, shots=10, seed=1, params=r).counts() == runs[0].counts()


def test_cirq_observables_on_vorn_circuits_and_states_name_line_qubits():
    c = vorn.Circuit(3)
    c.x(0)  # vorn qubit 0 is cirq.LineQubit(2), as vorn.to_cirq names it
    values = vorn.expval(c, [cirq.Z(Q[2]), cirq.Z(Q[0]), cirq.Z(Q[0]) * cirq.Z(Q[2])])
    np.testing.assert_allclose(values, [-1, 1, -1])
    np.testing.assert_allclose(vorn.expval(vorn.statevector(c), cirq.Z(Q[2])), [-1])
    np.testing.assert_allclose(reference().simulate_expectation_values(vorn.to_cirq(c), cirq.Z(Q[2])), [-1])
    with pytest.raises(ValueError, match="LineQubit\\(0\\) to cirq.LineQubit\\(2\\)"):
        vorn.expval(c, cirq.Z(cirq.GridQubit(0, 0)))


def test_past_the_exact_walks_outcomes_expectation_values_are_sampled():
    q = Q[0]  # 13 measurements of one qubit: 2**13 outcome patterns, over the exact walk's 4096
    rounds = [[cirq.H(q), cirq.measure(q, key=f"m{i}"), cirq.X(q).with_classical_controls(f"m{i}")] for i in range(13)]
    c = cirq.Circuit(rounds, cirq.ry(0.3).on(q))
    values = Simulator(seed=2, trajectories=400).simulate_expectation_values(c, [cirq.Z(q), cirq.X(q)])
    np.testing.assert_allclose(values, [np.cos(0.3), np.sin(0.3)], atol=1e-12)  # the same whatever the outcomes
