# Long runs that Ctrl-C ends: a SIGINT sent while vorn_python.run simulates
# or samples raises KeyboardInterrupt long before the run would have ended,
# leaves the circuit usable, and an uninterrupted run is unchanged.
import os
import signal
import threading
import time

import pytest

import vorn_python


def long_circuit(n=22, layers=60):
    """Several seconds of gates at 22 qubits (far longer than any bound below)."""
    c = vorn_python.Circuit(n)
    for layer in range(layers):
        for q in range(n):
            c.rx(0.1 * (layer + 1), q)
        for q in range(n - 1):
            c.cx(q, q + 1)
    return c


def interrupt_after(seconds):
    """SIGINT to this process from a timer thread; returns the time it was sent."""
    sent = {}

    def fire():
        sent["at"] = time.monotonic()
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(seconds, fire)
    timer.start()
    return timer, sent


@pytest.mark.parametrize("what", ["gates", "shots"])
def test_sigint_ends_a_run_promptly_and_the_circuit_stays_usable(what):
    if what == "gates":
        c, shots = long_circuit(), 0
    else:
        # 2**62 shots of one qubit: without cancellation this never ends.
        c, shots = vorn_python.Circuit(1), 2**62
        c.h(0)
        c.measure_all()
    timer, sent = interrupt_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        vorn_python.run(c, shots=shots, seed=1)
    arrived = time.monotonic()
    timer.join()
    # A generous bound: the point is that the run did not go on to its end.
    assert arrived - sent["at"] < 2.0
    # The access counter was given back: recording and running work again.
    c.h(0)
    assert len(vorn_python.run(c, shots=0, seed=1).statevector()) == 2 ** c.num_qubits()


def test_sigint_from_another_process(run_python):
    code = """
        import os, subprocess, sys, time
        import vorn_python
        c = vorn_python.Circuit(22)
        for layer in range(60):
            for q in range(22):
                c.rx(0.1, q)
        killer = subprocess.Popen([sys.executable, "-c",
            f"import os, signal, time; time.sleep(0.3); os.kill({os.getpid()}, signal.SIGINT)"])
        start = time.monotonic()
        try:
            vorn_python.run(c, shots=0, seed=1)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", round(time.monotonic() - start, 2))
        killer.wait()
        r = vorn_python.run(vorn_python.Circuit(3), shots=0, seed=1)
        print("after", len(r.statevector()))
    """
    out = run_python(code, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split("\n")
    assert lines[0].startswith("interrupted"), out.stdout
    assert float(lines[0].split()[1]) < 2.5
    assert lines[1] == "after 8"


def test_a_handler_that_does_not_raise_lets_the_run_finish():
    calls = []
    previous = signal.signal(signal.SIGINT, lambda *_: calls.append(1))
    try:
        c = long_circuit(n=16, layers=20)
        c.measure_all()
        timer, _ = interrupt_after(0.05)
        r = vorn_python.run(c, shots=100, seed=3)
        timer.join()
        expected = vorn_python.run(c, shots=100, seed=3)
        assert r.counts() == expected.counts()
    finally:
        signal.signal(signal.SIGINT, previous)
