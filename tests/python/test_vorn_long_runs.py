# Long vorn runs: timeout, progress reports, Ctrl-C, one cancelled run beside
# another, and required_memory against the memory a run really takes.
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import numpy as np
import pytest

import vorn


def long_circuit(n=22, layers=60, measured=False):
    """Several seconds of gates at 22 qubits (far past every bound below)."""
    c = vorn.Circuit(n, n if measured else 0)
    for layer in range(layers):
        for q in range(n):
            c.rx(0.1 * (layer + 1), q)
        for q in range(n - 1):
            c.cx(q, q + 1)
    if measured:
        c.measure(list(range(n)), list(range(n)))
    return c


def test_timeout_ends_a_long_run_with_timeout_error():
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="timeout of 0.3 s"):
        vorn.run(long_circuit(), shots=0, timeout=0.3)
    assert time.monotonic() - start < 2.0  # not the run's full length
    with pytest.raises(TimeoutError):
        vorn.statevector(long_circuit(), timeout=0.2)


def test_a_run_within_its_timeout_is_unchanged():
    c = long_circuit(n=12, layers=4, measured=True)
    plain = vorn.run(c, shots=200, seed=4)
    timed = vorn.run(c, shots=200, seed=4, timeout=60, progress=lambda done, total: None)
    assert timed.counts() == plain.counts()
    assert np.array_equal(timed.statevector().view(np.uint64), plain.statevector().view(np.uint64))


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf"), "1", True])
def test_bad_timeouts_are_refused(timeout):
    with pytest.raises((TypeError, ValueError)):
        vorn.run(vorn.Circuit(1), timeout=timeout)


def test_progress_reports_on_the_calling_thread_at_most_ten_a_second():
    calls = []
    caller = threading.get_ident()

    def report(done, total):
        calls.append((time.monotonic(), done, total, threading.get_ident()))

    c = long_circuit(n=21, layers=12)
    vorn.statevector(c, progress=report)
    total = len(c.data)
    assert calls[-1][1:3] == (total, total)
    assert all(t == caller for *_, t in calls)
    assert all(0 <= done <= tot == total for _, done, tot, _ in calls)
    assert [d for _, d, _, _ in calls] == sorted(d for _, d, _, _ in calls)
    gaps = [b[0] - a[0] for a, b in zip(calls, calls[1:-1])]
    assert all(g >= 0.099 for g in gaps)


def test_an_exception_from_the_progress_callback_cancels_the_run():
    class Stop(Exception):
        pass

    def report(done, total):
        raise Stop

    start = time.monotonic()
    with pytest.raises(Stop):
        vorn.run(long_circuit(), shots=0, progress=report)
    assert time.monotonic() - start < 2.0
    with pytest.raises(TypeError, match="progress"):
        vorn.run(vorn.Circuit(1), progress="yes")


class FakeTqdm:
    """Stands in for tqdm.tqdm: records what the bar was told."""

    made = []

    def __init__(self, total, unit, desc, file, leave):
        self.total, self.n, self.closed, self.file = total, 0, False, file
        FakeTqdm.made.append(self)

    def refresh(self):
        self.file.write(f"[{self.n}/{self.total}]")

    def close(self):
        self.closed = True


@pytest.mark.parametrize("with_tqdm", [True, False])
def test_progress_true_draws_a_bar_or_a_counter_on_stderr(with_tqdm, capsys, monkeypatch):
    fake = types.ModuleType("tqdm")
    fake.tqdm = FakeTqdm
    # tqdm itself would leave a monitor thread in this process; its use is
    # the same through a stand-in. None: as if tqdm were not installed.
    monkeypatch.setitem(sys.modules, "tqdm", fake if with_tqdm else None)
    FakeTqdm.made.clear()
    c = vorn.Circuit(18)
    for layer in range(30):
        for q in range(18):
            c.h(q)
    vorn.statevector(c, progress=True)
    err = capsys.readouterr().err
    if with_tqdm:
        (bar,) = FakeTqdm.made
        assert err.endswith("[540/540]") and bar.closed
    else:
        assert err.endswith("540/540 gates\n")


def test_sigint_ends_a_vorn_run_and_shots_are_cancellable():
    for circuit, shots in [(long_circuit(), 0), (vorn.Circuit(1, 1), 2**62)]:
        if shots:
            circuit.h(0)
            circuit.measure(0, 0)
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            vorn.run(circuit, shots=shots, seed=1)
        timer.join()
        assert time.monotonic() - start < 2.3


def test_cancelling_one_run_leaves_the_other_untouched():
    other = long_circuit(n=18, layers=8, measured=True)
    expected = vorn.run(other, shots=500, seed=9)
    results = {}

    def victim():
        try:
            vorn.run(long_circuit(), shots=0, timeout=0.3)
        except TimeoutError:
            results["victim"] = "timed out"

    def bystander():
        results["other"] = vorn.run(other, shots=500, seed=9)

    threads = [threading.Thread(target=victim), threading.Thread(target=bystander)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results["victim"] == "timed out"
    assert results["other"].counts() == expected.counts()
    assert np.array_equal(results["other"].statevector(), expected.statevector())


PEAK = textwrap.dedent("""
    import sys
    import vorn

    def high_water():
        # This process's own peak (ru_maxrss would also carry the parent's
        # peak across the exec).
        with open("/proc/self/status") as status:
            return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM"))

    n, shots, memory = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
    c = vorn.Circuit(n, n)
    for q in range(n):
        c.h(q)
        c.ry(0.3, q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure(list(range(n)), list(range(n)))
    need = vorn.required_memory(c, shots, memory=memory)
    vorn.run(vorn.Circuit(2), shots=0)  # pool and modules in place first
    before = high_water()
    r = vorn.run(c, shots=shots, seed=1, memory=memory)
    print(need, high_water() - before)
""")


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.parametrize("n,shots,memory", [(23, 0, False), (23, 1000, False), (22, 2**20, True)])
def test_required_memory_is_the_peak_a_run_takes(n, shots, memory):
    if sanitizer_loaded():
        pytest.skip("the sanitizer's allocator adds its own memory to every allocation")
    out = subprocess.run([sys.executable, "-c", PEAK, str(n), str(shots), "1" if memory else "0"],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    need, grown = map(int, out.stdout.split())
    assert need >= 16 * 2**n
    # What the run touched, within 5% of the figure (the arrays handed back
    # and the counts' dict are Python's share, small beside these sizes).
    assert abs(grown - need) <= 0.05 * need, (need, grown)


# ---- A circuit changed while it runs ---------------------------------------------

def test_a_change_made_by_the_progress_callback_does_not_reach_the_result():
    c = vorn.Circuit(2, 1)
    c.x(1)
    c.measure(0, 0)

    def remeasure(done, total):
        if done == total and len(c) == 2:
            c.measure(1, 0)  # allowed: the circuit stays usable, for the next run

    r = vorn.run(c, shots=100, seed=1, progress=remeasure)
    assert len(c) == 3
    assert r.counts() == {"0": 100}
    assert r.marginal_counts([0]) == {"0": 100}
    assert vorn.run(c, shots=100, seed=1).counts() == {"1": 100}  # the change reaches the next run


def test_a_change_from_another_thread_during_a_run_does_not_reach_the_result():
    c = long_circuit(n=20, layers=10)
    c.x(0)
    c.add_register(vorn.ClassicalRegister(1, "m"))
    c.measure(1, 0)
    expected = vorn.run(c, shots=50, seed=3, memory=True)
    started = threading.Event()

    def change():
        started.wait()
        c.add_register(vorn.ClassicalRegister(2, "late"))
        c.measure(0, 0)

    def report(done, total):
        started.set()

    t = threading.Thread(target=change)
    t.start()
    r = vorn.run(c, shots=50, seed=3, memory=True, progress=report)
    started.set()  # (a run over before its first report leaves the change for after it)
    t.join()
    assert c.num_clbits == 3
    assert r.counts() == expected.counts()
    assert np.array_equal(r.memory(), expected.memory())


# ---- threads= -----------------------------------------------------------------------

def test_threads_keyword_keeps_every_bit():
    c = long_circuit(n=18, layers=6, measured=True)
    ref = vorn.run(c, shots=2000, seed=11, memory=True)
    for threads in range(1, vorn._ext.pool_threads() + 1):
        r = vorn.run(c, shots=2000, seed=11, memory=True, threads=threads)
        assert r.statevector().tobytes() == ref.statevector().tobytes()
        assert r.counts() == ref.counts() and np.array_equal(r.memory(), ref.memory())
        assert vorn.statevector(c, threads=threads).tobytes() == ref.statevector().tobytes()


@pytest.mark.parametrize("threads,error", [(0, ValueError), (-1, ValueError), (10**6, ValueError),
                                           (2**64, ValueError), (1.0, TypeError), (True, TypeError)])
def test_bad_thread_counts_are_refused(threads, error):
    with pytest.raises(error, match="threads"):
        vorn.run(vorn.Circuit(1), threads=threads)
    with pytest.raises(error, match="threads"):
        vorn.statevector(vorn.Circuit(1), threads=threads)


def test_threads_above_the_pool_name_its_size():
    pool = vorn._ext.pool_threads()
    with pytest.raises(ValueError, match=f"pool's size {pool} .*got {pool + 1}"):
        vorn.run(vorn.Circuit(1), threads=pool + 1)


# ---- The room a run is checked against -----------------------------------------------

RLIMIT = textwrap.dedent("""
    import resource, sys
    import vorn
    n = 20
    c = vorn.Circuit(n, n)
    for layer in range(4):
        for q in range(n):
            c.rx(0.1 * (layer + 1), q)
        for q in range(n - 1):
            c.cx(q, q + 1)
    c.measure(list(range(n)), list(range(n)))
    need = vorn.required_memory(c, 1000)  # the pool exists from here on
    for frac in (1.3, 1.0, 2.0, 1.1):
        with open("/proc/self/status") as status:
            size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + int(frac * need), resource.RLIM_INFINITY))
        done = []
        try:
            vorn.run(c, shots=1000, seed=1, progress=lambda d, t: done.append(d))
            print(frac, "ran")
        except MemoryError as exc:
            print(frac, "refused" if max(done, default=0) == 0 else "late", str(exc).replace(" ", "_"))
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
""")


def test_a_run_under_an_address_space_limit_fits_or_is_refused_before_the_first_gate():
    if sanitizer_loaded():
        pytest.skip("the sanitizer reserves more address space than such a limit allows")
    # Eight pool threads: their stacks and malloc arenas are what the room
    # used to miss (each worker started in the middle of the run).
    env = dict(os.environ, RAYON_NUM_THREADS="8")
    out = subprocess.run([sys.executable, "-c", RLIMIT], capture_output=True, text=True, timeout=300, env=env)
    assert out.returncode == 0, out.stderr
    outcome = {float(f): what for f, what, *_ in (line.split() for line in out.stdout.splitlines())}
    assert outcome[1.3] == "ran" and outcome[2.0] == "ran"
    assert set(outcome.values()) <= {"ran", "refused"}, out.stdout


# ---- Arguments out of range and what help() says -----------------------------------------

@pytest.mark.parametrize("call", [
    lambda: vorn.run(vorn.Circuit(1), shots=2**64),
    lambda: vorn.run(vorn.Circuit(1), seed=2**64),
    lambda: vorn.required_memory(vorn.Circuit(1), 2**64),
])
def test_integers_past_64_bits_name_the_argument(call):
    with pytest.raises(ValueError, match=r"(shots|seed) must be >= 0 and <= 18446744073709551615"):
        call()


def test_memory_without_measurements_is_counted_and_checked():
    c = vorn.Circuit(3, 1)
    assert vorn.required_memory(c, 2**40, memory=True) - vorn.required_memory(c, 2**40) == 8 * 2**40
    with pytest.raises(MemoryError, match="out of memory"):
        vorn.run(c, shots=2**40, memory=True)
    r = vorn.run(c, shots=5, memory=True)
    assert r.memory().tolist() == [[0]] * 5 and r.counts() == {"0": 5}


def test_required_memory_defaults_to_runs_shots():
    c = vorn.Circuit(20, 20)
    c.measure(list(range(20)), list(range(20)))
    assert vorn.required_memory(c) == vorn.required_memory(c, 1024) > vorn.required_memory(c, 0)


@pytest.mark.parametrize("function,words", [
    (vorn.run, ["shots", "seed", "timeout", "progress", "memory", "threads", "Ctrl-C", "Args:"]),
    (vorn.statevector, ["timeout", "progress", "threads", "Args:"]),
    (vorn.expval, ["variance", "timeout", "progress", "threads", "Ctrl-C", "Args:"]),
    (vorn.required_memory, ["shots", "memory", "1024", "Args:"]),
])
def test_help_answers_the_arguments(function, words):
    for word in words:
        assert word in function.__doc__, word
