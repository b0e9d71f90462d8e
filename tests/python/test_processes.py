# Behaviour that needs a fresh interpreter: running without NumPy, and the
# worker pool's size (fixed at its creation) not changing any amplitude bit.
import hashlib

import pytest

NO_NUMPY = """
import sys
sys.modules["numpy"] = None  # every later "import numpy" fails
import vorn_python
c = vorn_python.Circuit(2)
c.x(1)
c.measure_all()
r = vorn_python.run(c, 8, 1)
print(r.counts())
for attempt in range(2):  # the lookup is retried, and fails again
    for method in (r.statevector, r.probabilities):
        try:
            method()
        except Exception:
            print("caught by Exception")
        except BaseException as exc:
            print(type(exc).__name__, exc)
"""


def test_without_numpy_import_run_and_counts_work(run_python):
    proc = run_python(NO_NUMPY)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "{'10': 8}"
    assert lines[1:] == ["PanicException Failed to access NumPy array API capsule"] * 4
    assert "panicked at" in proc.stderr


def test_numpy_arriving_later_is_picked_up(run_python):
    proc = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import vorn_python
        r = vorn_python.run(vorn_python.Circuit(1), 0, 0)
        try:
            r.statevector()
        except BaseException as exc:
            print(type(exc).__name__)
        del sys.modules["numpy"]
        print(r.statevector().tolist())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["PanicException", "[(1+0j), 0j]"]


POOL_RUN = """
import hashlib
import numpy as np
import vorn_python
rng = np.random.default_rng(1234)
n = 16
c = vorn_python.Circuit(n)
for _ in range(120):
    kind = rng.integers(6)
    a, b, t = (int(q) for q in rng.choice(n, 3, replace=False))
    if kind == 0:
        c.h(a)
    elif kind == 1:
        c.rx(float(rng.uniform(-3, 3)), a)
    elif kind == 2:
        c.rz(float(rng.uniform(-3, 3)), a)
    elif kind == 3:
        c.cx(a, b)
    elif kind == 4:
        c.cz(a, b)
    else:
        c.cswap(a, b, t)
c.measure_all()
r = vorn_python.run(c, 500, 3)
print(hashlib.sha256(r.statevector().tobytes()).hexdigest())
print(sorted(r.counts().items())[:5])
"""


@pytest.mark.parametrize("variable", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_pool_size_does_not_change_any_bit(run_python, variable):
    outputs = []
    for threads in ("1", "2"):
        other = {"RAYON_NUM_THREADS": "RAYON_RS_NUM_CPUS", "RAYON_RS_NUM_CPUS": "RAYON_NUM_THREADS"}[variable]
        proc = run_python(POOL_RUN, {variable: threads, other: None})
        assert proc.returncode == 0, proc.stderr
        outputs.append(proc.stdout)
    assert outputs[0] == outputs[1]
    assert len(outputs[0].splitlines()[0]) == len(hashlib.sha256().hexdigest())


def test_failed_allocation_is_a_memory_error_naming_the_bytes(run_python):
    # An address-space limit makes the allocation itself fail after the
    # available-memory check has passed.
    proc = run_python(
        """
        import resource
        import numpy
        import vorn_python as vp
        warm = vp.Circuit(14)
        warm.h(0)
        vp.run(warm, 0, 0).statevector()  # pool and NumPy are set up before the limit
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + 100 * 2**20, resource.RLIM_INFINITY))
        big = vp.Circuit(24)
        big.h(3)
        try:
            vp.run(big, 0, 0)
        except MemoryError as exc:
            print(exc)
        result = vp.run(vp.Circuit(21), 0, 0)
        arrays = []
        try:
            for _ in range(4):
                arrays.append(result.statevector())
        except MemoryError as exc:
            print(exc)
        small = vp.Circuit(1)
        small.x(0)
        print(vp.run(small, 0, 0).statevector().tolist())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "out of memory: allocation failed; the state vector of 24 qubits needs 268435456 bytes",
        "out of memory: allocation failed; the state vector copy needs 33554432 bytes",
        "[0j, (1+0j)]",
    ]


def test_numpy_and_panic_exception_are_created_on_first_use(run_python):
    proc = run_python(
        """
        import sys
        import vorn_python as vp

        def panic_class_exists():
            return any(c.__name__ == "PanicException" for c in BaseException.__subclasses__())

        c = vp.Circuit(1)
        c.measure_all()
        r = vp.run(c, 4, 0)
        r.counts()
        print("numpy" in sys.modules, panic_class_exists())
        r.probabilities()
        try:
            c.h(1)
        except BaseException:
            pass
        print("numpy" in sys.modules, panic_class_exists())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["False False", "True True"]
