# Behaviour that needs a fresh interpreter: running without NumPy, the worker
# pool's size (fixed at its creation) not changing any amplitude bit, and the
# pool across fork() and when its threads cannot start.
import hashlib
import os
import subprocess
import sys
import textwrap

import pytest


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()

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


# ---- fork() and the worker pool ----------------------------------------------------
# oneTBB's workers do not survive fork(): a child that used the parent's pool
# could wait for them forever. Each child gets an alarm, so a hang shows as a
# child killed by SIGALRM instead of a stuck suite, and the whole script has
# the subprocess timeout on top.

FORK_PRELUDE = """
import hashlib, os, signal, sys, threading, time, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
import vorn_python as vp

def circuit(n=14):
    c = vp.Circuit(n)
    for q in range(n):
        c.h(q)
        c.rz(0.1 * (q + 1), q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure_all()
    return c

def digest(c=None):
    r = vp.run(c or circuit(), 200, 9)
    return hashlib.sha256(r.statevector().tobytes()).hexdigest() + str(sorted(r.counts().items()))

def child_status(pid):
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        return "signal %d" % os.WTERMSIG(status)
    return os.WEXITSTATUS(status)
"""


def test_forked_children_run_parallel_circuits(run_python):
    # Forked right after a run, while the pool's workers may still be busy.
    proc = run_python(
        FORK_PRELUDE
        + """
expected = digest()
statuses = []
for _ in range(12):
    vp.run(circuit(), 10, 1)
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)
        os._exit(0 if digest() == expected and digest() == expected else 3)
    statuses.append(child_status(pid))
print(statuses)
print(digest() == expected)  # the parent's pool is unharmed
""",
        {"RAYON_NUM_THREADS": "2"},
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [str([0] * 12), "True"]


def test_fork_while_another_thread_is_mid_run(run_python):
    proc = run_python(
        FORK_PRELUDE
        + """
expected = digest()
big = circuit(21)
for _ in range(3):
    for q in range(21):
        big.ry(0.2, q)
started = threading.Event()
def long_run():
    started.set()
    vp.run(big, 5, 1)
worker = threading.Thread(target=long_run)
worker.start()
started.wait()
time.sleep(0.05)
try:
    big.h(0)
    print("not running yet")
except RuntimeError as exc:
    print("held:", exc)
pid = os.fork()
if pid == 0:
    signal.alarm(30)
    ok = digest() == expected
    # The run that held `big` has no thread in the child: its hold is given back.
    try:
        big.h(0)
        released = True
    except RuntimeError:
        released = False
    small = vp.Circuit(13)
    small.x(12)
    small.measure_all()
    ok = ok and vp.run(small, 3, 0).counts() == {"1" + "0" * 12: 3}
    os._exit((0 if ok else 3) + (0 if released else 4))
status = child_status(pid)
worker.join()
print(status)
try:
    big.h(0)  # the parent's hold ended with its run
    print("parent can record")
except RuntimeError as exc:
    print("parent:", exc)
print(digest() == expected)
""",
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["held: Already borrowed", "0", "parent can record", "True"]


MULTIPROCESSING = FORK_PRELUDE + """
import multiprocessing as mp
import queue

def work(results):
    results.put(digest())

if __name__ == "__main__":
    expected = digest()  # the parent's pool exists before any child starts
    ctx = mp.get_context(sys.argv[1])
    results = ctx.Queue()
    children = [ctx.Process(target=work, args=(results,)) for _ in range(2)]
    for child in children:
        child.start()
    try:
        got = [results.get(timeout=120) for _ in children]
    except queue.Empty:
        got = ["no answer"]
    for child in children:
        child.join(30)
        if child.is_alive():
            child.kill()
            child.join()
    print(got == [expected] * len(children), [child.exitcode for child in children])
"""


@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_multiprocessing_children_run_parallel_circuits(tmp_path, method):
    script = tmp_path / "children.py"  # spawn and forkserver import the main module by path
    script.write_text(textwrap.dedent(MULTIPROCESSING))
    proc = subprocess.run([sys.executable, str(script), method], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True [0, 0]", proc.stderr


# ---- A pool the system cannot start ------------------------------------------------

POOL_FAILURE = """
import resource, sys
import vorn_python as vp
if sys.argv[1:] == ["limit"]:
    # Room for the runs below but not for 63 worker stacks.
    with open("/proc/self/status") as status:
        vm = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + 96 * 2**20, resource.RLIM_INFINITY))
large = vp.Circuit(14)
large.h(13)
for attempt in range(2):  # a failed pool stays failed; each run says so
    try:
        vp.run(large, 0, 0)
        print("ran")
    except BaseException as exc:
        print(type(exc).__name__, exc)
small = vp.Circuit(12)  # below the parallel threshold: no pool needed
small.x(11)
small.measure_all()
print(vp.run(small, 4, 0).counts())
"""


@pytest.mark.parametrize(
    "threads, limit",
    [("99999", False), ("64", True)],
    ids=["more-threads-than-process-ids", "no-address-space-for-stacks"],
)
def test_a_pool_whose_threads_cannot_start_is_the_ordinary_failure(run_python, threads, limit):
    if limit and sanitizer_loaded():
        pytest.skip("ASan reserves too much address space for an RLIMIT_AS")
    proc = subprocess.run(
        [sys.executable, "-c", POOL_FAILURE] + (["limit"] if limit else []),
        capture_output=True,
        text=True,
        env=dict(os.environ, RAYON_NUM_THREADS=threads),
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr  # never an abort
    assert proc.stdout.splitlines() == [
        "PanicException The global thread pool has not been initialized.",
        "PanicException The global thread pool has not been initialized.",
        "{'100000000000': 4}",
    ]
    assert "panicked at" in proc.stderr


# ---- The NumPy C API table is checked before its slots are used -------------------
# A stand-in NumPy whose _ARRAY_API table reports a given C ABI and feature
# version (ctypes functions in slots 0 and 211, nothing else filled in).
FAKE_NUMPY = """
import ctypes, sys, types
import vorn_python as vp

VERSION_FN = ctypes.CFUNCTYPE(ctypes.c_uint)
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
kept = []

def install_fake_numpy(version, abi, feature):
    table = (ctypes.c_void_p * 300)()
    for slot, value in ((0, abi), (211, feature)):
        if value is not None:
            fn = VERSION_FN(lambda value=value: value)
            kept.append(fn)
            table[slot] = ctypes.cast(fn, ctypes.c_void_p).value
    kept.append(table)
    core_name = "numpy._core" if version.startswith("2") else "numpy.core"
    numpy, lib = types.ModuleType("numpy"), types.ModuleType("numpy.lib")
    core, multiarray = types.ModuleType(core_name), types.ModuleType(core_name + ".multiarray")
    numpy.__version__ = version
    lib.NumpyVersion = type("NumpyVersion", (), {"__init__": lambda self, v: setattr(self, "major", int(v[0]))})
    multiarray._ARRAY_API = capsule_new(ctypes.addressof(table), None, None)
    numpy.lib, core.multiarray = lib, multiarray
    setattr(numpy, core_name.split(".")[1], core)
    for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
        del sys.modules[name]
    sys.modules.update({"numpy": numpy, "numpy.lib": lib, core_name: core, core_name + ".multiarray": multiarray})

def try_statevector(result):
    try:
        print(result.statevector().tolist())
    except BaseException as exc:
        print(type(exc).__name__, exc)

result = vp.run(vp.Circuit(1), 0, 0)
for version, abi, feature in [
    ("2.1.0", 0x03000000, 0x13),  # a future ABI
    ("2.1.0", 0x03000000, 0x13),  # looked up again, refused again
    ("1.26.0", 0x01000008, 0x11),  # an older 1.x ABI
    ("1.6.0", 0x01000009, 0x06),  # before PyArray_SetBaseObject
    ("2.1.0", None, None),  # no version entry at all
]:
    install_fake_numpy(version, abi, feature)
    try_statevector(result)
for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
    del sys.modules[name]
try_statevector(result)  # the real NumPy is taken once it is there
"""


def test_an_unknown_numpy_abi_is_refused_with_a_clear_error(run_python):
    proc = run_python(FAKE_NUMPY)
    assert proc.returncode == 0, proc.stderr
    prefix = "PanicException Failed to access NumPy array API capsule: "
    unknown = prefix + "NumPy's C ABI is not one this module knows (1.x: 0x01000009, 2.x: 0x02000000), it reports "
    assert proc.stdout.splitlines() == [
        unknown + "0x03000000",
        unknown + "0x03000000",
        unknown + "0x01000008",
        prefix + "NumPy is older than 1.7 (C API feature version 0x00000007), it reports 0x00000006",
        prefix + "the table has no C ABI version entry",
        "[(1+0j), 0j]",
    ]
