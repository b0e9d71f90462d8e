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
