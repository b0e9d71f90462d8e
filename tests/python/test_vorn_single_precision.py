# Single precision through the Python entry points: complex64 states within
# float rounding of double on random circuits of every gate kind, the same
# bits on any pool size and thread limit, run/expval/required_memory taking
# the keyword, a state that fits where double is refused, and the refusals.
import os
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import vorn
from test_vorn_fusion import RANDOM_CIRCUIT_SCRIPT
from test_vorn_random import random_circuit


# 13 qubits: the first register whose kernels run on the pool.
@pytest.mark.parametrize("n", [1, 3, 6, 9, 13])
def test_single_states_agree_with_double(n):
    rng = np.random.default_rng(700 + n)
    for _ in range(2):
        c, want = random_circuit(rng, n, 30 * n)
        single = vorn.statevector(c, precision="single")
        assert single.dtype == np.complex64 and single.shape == (2**n,)
        assert not single.flags.writeable
        # Float rounding (about 6e-8 a product) over a few hundred gates.
        assert np.max(np.abs(single - want)) <= 1e-5
        np.testing.assert_array_equal(vorn.statevector(c), vorn.statevector(c, precision="double"))


def test_default_precision_is_double_and_unchanged():
    rng = np.random.default_rng(5)
    c, _ = random_circuit(rng, 7, 100)
    state = vorn.statevector(c)
    assert state.dtype == np.complex128
    assert state.tobytes() == vorn.statevector(c, precision="double").tobytes()
    # Single precision is a different computation: its bits show it.
    assert vorn.statevector(c, precision="single").astype(np.complex128).tobytes() != state.tobytes()


def test_run_samples_and_reads_a_single_precision_state():
    c = vorn.Circuit(12, 12)
    c.h(0)
    for q in range(11):
        c.cx(q, q + 1)
    c.rz(0.3, 5)
    c.measure(list(range(12)), list(range(12)))
    single = vorn.run(c, shots=2000, seed=17, memory=True, precision="single")
    exact = vorn.run(c, shots=2000, seed=17, memory=True)
    assert single.statevector().dtype == np.complex64
    probabilities = single.probabilities()
    assert probabilities.dtype == np.float64
    # The squares of float amplitudes, formed in double.
    amplitudes = single.statevector().astype(np.complex128)
    np.testing.assert_array_equal(probabilities, amplitudes.real**2 + amplitudes.imag**2)
    assert set(single.counts()) == {"0" * 12, "1" * 12}
    # Two outcomes of probability 1/2 in either precision: this seed's draws
    # lie nowhere near the float rounding of the running sums.
    assert single.counts() == exact.counts()
    np.testing.assert_array_equal(single.memory(), exact.memory())


def test_fusion_combines_with_single_precision():
    rng = np.random.default_rng(8)
    c, want = random_circuit(rng, 8, 200)
    fused = vorn.statevector(c, precision="single", fusion=True)
    assert fused.dtype == np.complex64
    assert np.max(np.abs(fused - want)) <= 1e-5


def test_expval_on_a_single_precision_simulation():
    rng = np.random.default_rng(9)
    c, _ = random_circuit(rng, 8, 150)
    h = vorn.PauliSum.from_list([("ZZIIIXYI", 0.5), ("IIIIIIIZ", -1.0), ("XXXXXXXX", 0.25)])
    single, single_var = vorn.expval(c, h, variance=True, precision="single")
    exact, exact_var = vorn.expval(c, h, variance=True)
    np.testing.assert_allclose(single, exact, rtol=0, atol=1e-5)
    np.testing.assert_allclose(single_var, exact_var, rtol=0, atol=1e-5)
    # The evaluation itself is exact on the float amplitudes: the same as
    # evaluating the complex64 state widened to complex128.
    widened = vorn.statevector(c, precision="single").astype(np.complex128)
    assert vorn.expval(c, h, precision="single").tobytes() == vorn.expval(widened, h).tobytes()


def test_required_memory_halves_the_state():
    c = vorn.Circuit(31)
    c.h(0)
    single = vorn.required_memory(c, shots=0, precision="single")
    exact = vorn.required_memory(c, shots=0)
    # The amplitudes halve (16 GiB against 32 GiB); the gather buffers keep their bytes.
    assert exact - single == 8 * 2**31
    assert single - 8 * 2**31 < 2**30
    # One more qubit in the same memory as double.
    thirty = vorn.Circuit(30)
    thirty.h(0)
    assert single == vorn.required_memory(thirty, shots=0)


FITS = textwrap.dedent(
    """
    import resource, sys
    import vorn
    with open("/proc/self/status") as status:
        vm = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
    # Room for a 26-qubit complex64 state (512 MiB), not a complex128 one (1 GiB).
    resource.setrlimit(resource.RLIMIT_AS, (vm + 800 * 2**20, resource.RLIM_INFINITY))
    c = vorn.Circuit(26)  # no gate: nothing of the state is touched
    print(vorn.statevector(c, precision=sys.argv[1]).dtype)
    """
)


@pytest.mark.skipif(resource.getrlimit(resource.RLIMIT_AS)[0] != resource.RLIM_INFINITY,
                    reason="the process already runs under an address-space limit")
def test_a_state_fits_in_single_precision_where_double_is_refused():
    with open("/proc/self/maps") as maps:
        if "libasan" in maps.read():
            pytest.skip("ASan reserves too much address space for a limit")
    def child(precision):
        return subprocess.run([sys.executable, "-c", FITS, precision], capture_output=True, text=True, timeout=300)
    single = child("single")
    assert single.returncode == 0 and single.stdout.strip() == "complex64", single.stderr
    exact = child("double")
    assert exact.returncode != 0 and "MemoryError" in exact.stderr


BIT_IDENTITY = RANDOM_CIRCUIT_SCRIPT + """
for threads in (None, 1):
    print(hashlib.sha256(vorn.statevector(c, precision="single", threads=threads).tobytes()).hexdigest())
h = vorn.PauliSum.from_list([("Z" * 16, 1.0), ("X" + "I" * 15, 0.5)])
print(vorn.expval(c, h, precision="single").tobytes().hex())
"""


def test_single_runs_are_bit_identical_across_pool_sizes_and_thread_limits():
    outputs = set()
    for threads in ("1", "2", "5"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", BIT_IDENTITY], env=env, check=True, capture_output=True,
                             text=True).stdout
        lines = out.splitlines()
        assert lines[0] == lines[1]
        outputs.add(out)
    assert len(outputs) == 1


@pytest.mark.parametrize("value, error", [("float32", ValueError), ("Single", ValueError), (32, TypeError),
                                          (None, TypeError)])
def test_precision_must_be_single_or_double(value, error):
    c = vorn.Circuit(1)
    for call in (lambda: vorn.statevector(c, precision=value), lambda: vorn.run(c, precision=value),
                 lambda: vorn.required_memory(c, precision=value),
                 lambda: vorn.expval(c, vorn.PauliSum.from_list([("Z", 1.0)]), precision=value)):
        with pytest.raises(error, match="precision must be 'single' or 'double'"):
            call()


def test_a_register_past_the_qubit_limit_names_its_single_precision_bytes():
    c = vorn.Circuit(60)
    with pytest.raises(MemoryError, match=r"a state of 60 qubits needs 2\^63 bytes"):
        vorn.statevector(c, precision="single")
    with pytest.raises(MemoryError, match=r"a state of 60 qubits needs 2\^64 bytes"):
        vorn.statevector(c)


def test_single_precision_runs_dynamic_and_noisy_circuits_and_refuses_what_it_does_not_cover():
    c = vorn.Circuit(2, 2)
    c.h(0)
    c.measure(0, 0)
    c.x(0)  # a gate on a measured qubit: a dynamic circuit
    c.cx(0, 1)
    c.measure(1, 1)
    single = vorn.run(c, 2000, seed=3, precision="single", memory=True)
    double = vorn.run(c, 2000, seed=3, memory=True)
    assert single.counts() == double.counts()  # outcomes of probability 1/2 and 1: the same draws
    assert np.array_equal(single.memory(), double.memory())
    assert vorn.run(c, 1, seed=3, precision="single").statevector().dtype == np.complex64
    assert vorn.required_memory(c, precision="single") < vorn.required_memory(c)
    state = np.zeros(2, dtype=np.complex128)
    state[0] = 1
    with pytest.raises(ValueError, match="precision='single' cannot be combined with a given state vector"):
        vorn.expval(state, vorn.PauliSum.from_list([("Z", 1.0)]), precision="single")
    # Expectation values over outcomes are formed on a double state: refused, not quietly run in double.
    with pytest.raises(ValueError, match="precision='single' cannot be combined with the expectation value"):
        vorn.expval(c, vorn.PauliSum.from_list([("ZZ", 1.0)]), precision="single")
    from vorn import noise

    model = noise.NoiseModel()
    model.add_all_qubit_error(noise.depolarizing(0.01, 1), ["h"])
    bell = vorn.Circuit(1, 1)
    bell.h(0)
    bell.measure(0, 0)
    noisy = vorn.run(bell, 4000, seed=1, noise=model, precision="single", memory=True)
    assert np.array_equal(noisy.memory(), vorn.run(bell, 4000, seed=1, noise=model, memory=True).memory())
    with pytest.raises(ValueError, match="precision='single' cannot be combined with the expectation value"):
        vorn.expval(bell, vorn.PauliSum.from_list([("Z", 1.0)]), noise=model, precision="single")


# ---- dynamic and noisy programs through vorn._ext (steps built by hand) -------------

from test_vorn_dynamic_expval import CHANNEL, GATES, JUMP_UNLESS, MEASURE, RESET, native, program  # noqa: E402


def rotations(n):
    gates = [("ry", [q], 0.4 + 0.1 * q) for q in range(n)] + [("cx", [q, q + 1]) for q in range(n - 1)]
    gates += [("rx", [q], 0.8) for q in range(n)]
    steps = [(GATES, 0, 2 * n - 1, 0, 0), (MEASURE, 1, 0, 0, 0), (RESET, n - 1, 0, 0, 0), (JUMP_UNLESS, 5, 0, 1, 0),
             (GATES, 2 * n - 1, 3 * n - 1, 0, 0)]
    return program(n, gates), [w for s in steps for w in s]


def test_single_dynamic_runs_return_complex64_states_near_double():
    prog, steps = rotations(6)
    compared = 0
    for seed in range(1, 7):
        exact = vorn._ext.run_dynamic(prog, steps, [0, 1], 2, native(seed=seed, shots=1, keep_state=True))
        single = vorn._ext.run_dynamic(prog, steps, [0, 1], 2, native(seed=seed, shots=1, keep_state=True, single=True))
        assert exact[0].dtype == np.complex128 and single[0].dtype == np.complex64
        if single[1].tolist() != exact[1].tolist():
            continue  # a draw near the boundary of the float and double weights
        compared += 1
        assert 0 < np.max(np.abs(single[0] - exact[0])) <= 1e-6
    assert compared >= 4
    # Without keep_state the state is empty, in the precision asked for.
    many = vorn._ext.run_dynamic(prog, steps, [0, 1], 2, native(seed=3, shots=500, single=True))
    assert many[0].dtype == np.complex64 and many[0].size == 0 and int(many[2].sum()) == 500
    assert (vorn._ext.dynamic_required_memory(prog, steps, [0, 1], 2, native(shots=500, single=True))
            < vorn._ext.dynamic_required_memory(prog, steps, [0, 1], 2, native(shots=500)))


def test_single_noisy_runs_match_double_where_outcomes_are_certain():
    # x, cx and a measured qubit (weights exactly 0 or 1), a bit flip on qubit 2 in between.
    prog = program(3, [("x", [0]), ("cx", [0, 1]), ("cx", [1, 2]), ("x", [0])])
    steps = [w for s in [(GATES, 0, 3, 0, 0), (MEASURE, 1, 0, 0, 0), (CHANNEL, 0, 0, 0, 0), (GATES, 3, 4, 0, 0)]
             for w in s]
    noise = ([0], [1], [2], [2], np.array([1, 0, 0, 1, 0, 1, 1, 0], dtype=np.complex128), [0.75, 0.25], [], [])
    exact = vorn._ext.run_noisy(prog, steps, [0, 1, 2, 2], 3, noise, native(seed=4, shots=600, keep_shots=True))
    single = vorn._ext.run_noisy(prog, steps, [0, 1, 2, 2], 3, noise,
                                  native(seed=4, shots=600, keep_shots=True, single=True))
    assert exact[0].dtype == np.complex128 and single[0].dtype == np.complex64 and single[0].size == 0
    assert len(exact[1]) == 2
    for got, want in zip(single[1:], exact[1:]):
        assert np.array_equal(got, want)
