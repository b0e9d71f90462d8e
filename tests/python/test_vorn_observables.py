# vorn.PauliSum and vorn.expval: values against Qiskit's
# Statevector.expectation_value and a NumPy matrix reference, variances,
# result types, bit identity across pool sizes, and the bad-input table.
import os
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import vorn

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


def random_labels(rng, n, count):
    return ["".join(rng.choice(list("IXYZ"), size=n)) for _ in range(count)]


def random_state(rng, n):
    psi = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return psi / np.linalg.norm(psi)


def matrix(labels, coeffs):
    """The dense operator; the label's rightmost character is qubit 0."""
    total = 0
    for label, c in zip(labels, coeffs):
        m = np.array([[1.0]])
        for ch in label:
            m = np.kron(m, PAULI[ch])
        total = total + c * m
    return total


def random_circuit(rng, n):
    c = vorn.Circuit(n)
    for _ in range(6 * n):
        q = int(rng.integers(n))
        c.h(q)
        c.ry(float(rng.uniform(-3, 3)), q)
        if n > 1:
            c.cx(q, int((q + 1 + rng.integers(n - 1)) % n))
    return c


@pytest.mark.qiskit
@pytest.mark.parametrize("n", [1, 2, 5, 9, 14])
def test_against_qiskit_on_random_circuits(n):
    qi = pytest.importorskip("qiskit.quantum_info")
    rng = np.random.default_rng(n)
    c = random_circuit(rng, n)
    state = vorn.statevector(c)
    ops = [qi.SparsePauliOp(random_labels(rng, n, 30), rng.normal(size=30)),
           qi.SparsePauliOp(random_labels(rng, n, 12), rng.normal(size=12) + 1j * rng.normal(size=12))]
    expected = [qi.Statevector(state).expectation_value(op) for op in ops]
    got = vorn.expval(c, [vorn.PauliSum.from_qiskit(op) for op in ops])
    assert got.dtype == np.complex128 and got.shape == (2,)
    np.testing.assert_allclose(got, expected, atol=1e-10, rtol=0)
    # Built from labels, the real sum alone gives float64.
    real = vorn.PauliSum.from_list(list(zip(ops[0].paulis.to_labels(), ops[0].coeffs.real)))
    got_real = vorn.expval(state, [real])
    assert got_real.dtype == np.float64
    np.testing.assert_allclose(got_real[0], expected[0].real, atol=1e-10, rtol=0)


@pytest.mark.qiskit
def test_qiskit_phases_and_round_trip():
    qi = pytest.importorskip("qiskit.quantum_info")
    rng = np.random.default_rng(3)
    psi = random_state(rng, 3)
    # Labels with their own phases (-i, -1, i): folded into the coefficients.
    op = qi.SparsePauliOp(qi.PauliList(["-iXYZ", "-IZY", "iYYI", "XXX"]), [0.5, 1.0 + 2j, -0.25, 3.0])
    h = vorn.PauliSum.from_qiskit(op)
    np.testing.assert_allclose(vorn.expval(psi, h)[0], qi.Statevector(psi).expectation_value(op), atol=1e-12)
    back = h.to_qiskit()
    assert back.equiv(op)
    assert vorn.PauliSum.from_qiskit(qi.Pauli("YZ")).to_list() == [("YZ", 1 + 0j)]
    assert vorn.PauliSum.from_sparse_list([], num_qubits=2).to_qiskit().equiv(qi.SparsePauliOp(["II"], [0.0]))


def test_numpy_reference_variance_and_sparse_list():
    rng = np.random.default_rng(4)
    n = 5
    psi = random_state(rng, n)
    labels = random_labels(rng, n, 20) + ["I" * n, "Y" * n]
    coeffs = rng.normal(size=len(labels))
    h = vorn.PauliSum.from_list(list(zip(labels, coeffs)))
    m = matrix(labels, coeffs)
    ev, var = vorn.expval(psi, [h], variance=True)
    e = np.vdot(psi, m @ psi).real
    assert ev.dtype == np.float64 and var.dtype == np.float64
    np.testing.assert_allclose(ev[0], e, atol=1e-12)
    np.testing.assert_allclose(var[0], np.linalg.norm(m @ psi - e * psi) ** 2, atol=1e-10)
    np.testing.assert_allclose(var[0], np.vdot(psi, m @ m @ psi).real - e * e, atol=1e-10)
    # The same terms by qubit index: "ZX" on [3, 0] is X on qubit 0 and Z on qubit 3.
    sparse = vorn.PauliSum.from_sparse_list([("ZX", [3, 0], 2.0), ("Y", [4], -1.0)], num_qubits=n)
    np.testing.assert_allclose(vorn.expval(psi, sparse)[0],
                               np.vdot(psi, matrix(["IZIIX", "YIIII"], [2.0, -1.0]) @ psi).real, atol=1e-12)
    # Masks: X on qubit 1 and Y on qubit 2 (both bits), from NumPy arrays.
    masked = vorn.PauliSum.from_masks(np.array([0b110]), np.array([0b100]), np.array([1.5]), n)
    assert masked.to_list() == [("IIYXI", 1.5 + 0j)]


def test_empty_sum_nan_and_many_terms():
    rng = np.random.default_rng(5)
    psi = random_state(rng, 6)
    empty = vorn.PauliSum.from_sparse_list([], num_qubits=6)
    nan = vorn.PauliSum.from_list([("ZZIIII", float("nan")), ("XIIIII", 1.0)])
    ev, var = vorn.expval(psi, [empty, nan, empty], variance=True)
    assert ev[0] == 0.0 and ev[2] == 0.0 and var[0] == 0.0
    assert np.isnan(ev[1]) and np.isnan(var[1])
    assert vorn.expval(psi, []).shape == (0,)
    # 10^5 terms from arrays: the same value as the dense sum of the distinct strings.
    x = rng.integers(0, 64, size=100_000, dtype=np.uint64)
    z = rng.integers(0, 64, size=100_000, dtype=np.uint64)
    c = rng.normal(size=100_000)
    big = vorn.PauliSum.from_masks(x, z, c, 6)
    strings, inverse = np.unique(np.stack([x, z], axis=1), axis=0, return_inverse=True)
    weights = np.bincount(inverse.reshape(-1), weights=c)
    labels = [label for label, _ in vorn.PauliSum.from_masks(strings[:, 0], strings[:, 1], weights, 6).to_list()]
    np.testing.assert_allclose(vorn.expval(psi, big)[0], np.vdot(psi, matrix(labels, weights) @ psi).real, atol=1e-9)


def test_state_is_read_in_place():
    rng = np.random.default_rng(6)
    psi = random_state(rng, 18)
    psi.flags.writeable = False
    h = vorn.PauliSum.from_list([(label, 1.0) for label in random_labels(rng, 18, 10)])
    tracemalloc.start()
    vorn.expval(psi, [h], variance=True)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < psi.nbytes // 8  # no copy of the 4 MiB state on the Python side


BIT_IDENTITY = """
import numpy as np, vorn
rng = np.random.default_rng(7)
n = 15
psi = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
psi /= np.linalg.norm(psi)
labels = ["".join(rng.choice(list("IXYZ"), size=n)) for _ in range(60)]
h = vorn.PauliSum.from_list(list(zip(labels, rng.normal(size=60))))
ev, var = vorn.expval(psi, [h], variance=True)
print(ev.tobytes().hex(), var.tobytes().hex())
"""


def test_bit_identical_across_pool_sizes():
    outputs = set()
    for threads in ("1", "2", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        outputs.add(subprocess.run([sys.executable, "-c", BIT_IDENTITY], env=env, check=True, capture_output=True,
                                   text=True).stdout)
    assert len(outputs) == 1


GOOD = vorn.PauliSum.from_list([("ZZ", 1.0)])


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda: vorn.PauliSum.from_list([("ZA", 1.0)]), ValueError, "'A'"),
    (lambda: vorn.PauliSum.from_list([("zz", 1.0)]), ValueError, "'z'"),
    (lambda: vorn.PauliSum.from_list([("Zé", 1.0)]), ValueError, "'é'"),
    (lambda: vorn.PauliSum.from_list([("ZZ", 1.0), ("ZZZ", 1.0)]), ValueError, "3 characters, expected 2"),
    (lambda: vorn.PauliSum.from_list([]), ValueError, "num_qubits"),
    (lambda: vorn.PauliSum.from_list([("ZZ", "one")]), TypeError, "coefficients"),
    (lambda: vorn.PauliSum.from_list([("ZZ", 1.0), ("XX", None)]), TypeError, "term 1: the coefficient is None"),
    (lambda: vorn.PauliSum.from_sparse_list([("Z", [0], None)], num_qubits=2), TypeError, "None"),
    (lambda: vorn.expval(np.zeros(4, complex), GOOD, threads=0), ValueError, "threads must be between 1"),
    (lambda: vorn.expval(np.zeros(4, complex), GOOD, timeout=0), ValueError, "timeout"),
    (lambda: vorn.PauliSum.from_sparse_list([("ZX", [0, 3], 1.0)], num_qubits=3), ValueError, "qubit 3"),
    (lambda: vorn.PauliSum.from_sparse_list([("ZX", [1, 1], 1.0)], num_qubits=3), ValueError, "more than once"),
    (lambda: vorn.PauliSum.from_sparse_list([("ZX", [-1, 0], 1.0)], num_qubits=3), ValueError, "qubit -1"),
    (lambda: vorn.PauliSum.from_sparse_list([("ZX", [0], 1.0)], num_qubits=3), ValueError, "2 characters for 1"),
    (lambda: vorn.PauliSum.from_sparse_list([("Q", [0], 1.0)], num_qubits=3), ValueError, "'Q'"),
    (lambda: vorn.PauliSum.from_sparse_list([], num_qubits=0), ValueError, "num_qubits"),
    (lambda: vorn.PauliSum.from_masks([8], [0], [1.0], 3), ValueError, "x_masks\\[0\\] = 8"),
    (lambda: vorn.PauliSum.from_masks([1], [-1], [1.0], 3), ValueError, "negative"),
    (lambda: vorn.PauliSum.from_masks([1, 2], [0], [1.0, 1.0], 3), ValueError, "z_masks has 1"),
    (lambda: vorn.PauliSum.from_masks([1.5], [0], [1.0], 3), TypeError, "integers"),
    (lambda: vorn.PauliSum.from_masks([1], [0], [1.0, 2.0], 3), ValueError, "expected 1 coefficients"),
    (lambda: vorn.PauliSum(np.zeros(0), np.zeros(0), np.zeros(0), 1), TypeError, "from_list"),
    (lambda: vorn.expval(np.zeros(3, complex), [GOOD]), ValueError, "length 3"),
    (lambda: vorn.expval(np.zeros(8, complex), [GOOD]), ValueError, "acts on 2 qubits but the state has 3"),
    (lambda: vorn.expval(np.zeros(4, np.complex64), [GOOD]), ValueError, "complex64"),
    (lambda: vorn.expval(np.zeros(4), [GOOD]), ValueError, "float64"),
    (lambda: vorn.expval(np.zeros((2, 2), complex), [GOOD]), ValueError, "one-dimensional"),
    (lambda: vorn.expval(np.zeros(8, complex)[::2], [GOOD]), ValueError, "contiguous"),
    (lambda: vorn.expval([1, 0, 0, 0], [GOOD]), TypeError, "list"),
    (lambda: vorn.expval(np.zeros(4, complex), ["ZZ"]), TypeError, "observable 0 is a str"),
    (lambda: vorn.expval(np.zeros(4, complex), [vorn.PauliSum.from_list([("ZZ", 1j)])], variance=True),
     ValueError, "real coefficients"),
])
def test_bad_input(call, error, match):
    with pytest.raises(error, match=match):
        call()


# ---- Long evaluations: timeout, progress, Ctrl-C, threads ---------------------------

def many_terms(n=18, terms=3000, seed=3):
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 1 << n, size=terms, dtype=np.uint64)
    z = rng.integers(0, 1 << n, size=terms, dtype=np.uint64)
    return vorn.PauliSum.from_masks(x, z, rng.normal(size=terms), n)


def normalised_state(n=18, seed=4):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=1 << n) + 1j * rng.normal(size=1 << n)
    return psi / np.linalg.norm(psi)


def test_expval_timeout_and_progress_cancel_between_leaves():
    psi, h = normalised_state(), many_terms()
    with pytest.raises(TimeoutError, match="evaluation did not finish within its timeout of 0.2 s"):
        vorn.expval(psi, h, variance=True, timeout=0.2)
    reports = []

    def stop(done, total):
        reports.append((done, total))
        if done:
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        vorn.expval(psi, h, progress=stop)
    assert reports and all(0 <= d <= t for d, t in reports) and reports[-1][0] < reports[-1][1]


def test_expval_sigint_ends_the_evaluation():
    import signal
    import threading
    import time

    psi, h = normalised_state(), many_terms(terms=20000)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        vorn.expval(psi, h, variance=True)
    timer.join()
    assert time.monotonic() - start < 5.0  # far below the evaluation's own length


def test_expval_is_bit_identical_with_polls_and_any_thread_count():
    psi, h = normalised_state(n=16), many_terms(n=16, terms=400)
    ev, var = vorn.expval(psi, h, variance=True)
    calls = []
    for threads in range(1, vorn._ext.pool_threads() + 1):
        ev2, var2 = vorn.expval(psi, h, variance=True, threads=threads, timeout=600,
                                progress=lambda d, t: calls.append((d, t)))
        assert ev2.tobytes() == ev.tobytes() and var2.tobytes() == var.tobytes()
    assert calls and calls[-1][0] == calls[-1][1]  # the last report is the whole total


def test_expval_of_a_circuit_counts_its_timeout_over_the_whole_call():
    c = vorn.Circuit(20)
    for layer in range(40):
        for q in range(20):
            c.rx(0.1 * layer, q)
        for q in range(19):
            c.cx(q, q + 1)
    with pytest.raises(TimeoutError):
        vorn.expval(c, many_terms(n=20, terms=5000), timeout=0.3)
