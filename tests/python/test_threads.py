# run() releases the interpreter lock for the simulation: other threads keep
# running, recording calls on the running circuit are refused, and parallel
# runs of one circuit agree.
import threading
import time

import numpy as np
import pytest

from vorn_python import Circuit, run

N_LARGE = 22  # 64 MiB of amplitudes: each gate takes milliseconds


def large_circuit():
    # Long enough (about 0.4 s here) that a run is still going when the other
    # thread looks, with room for faster machines and kernels.
    c = Circuit(N_LARGE)
    for layer in range(16):
        for q in range(N_LARGE):
            c.ry(0.1 * (q + layer), q)
    for q in range(N_LARGE - 1):
        c.cx(q, q + 1)
    c.measure_all()
    return c


def test_another_thread_keeps_running_during_a_large_run():
    samples = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                samples.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    try:
        time.sleep(0.05)
        start = time.perf_counter()
        run(large_circuit(), 10, 1)
        end = time.perf_counter()
    finally:
        stop.set()
        counter.join()
    duration = end - start
    assert duration > 0.1, "the run is too short to tell"
    # Holding the lock would leave at most a switch interval at either edge.
    middle = [t for t in samples if start + duration / 4 < t < end - duration / 4]
    assert len(middle) >= 10, (len(middle), duration)


def test_recording_during_a_run_is_refused_but_queries_work():
    c = large_circuit()
    started = threading.Event()
    results = []

    def simulate():
        started.set()
        results.append(run(c, 5, 3))

    worker = threading.Thread(target=simulate)
    worker.start()
    started.wait()
    time.sleep(0.1)  # the worker is now inside run() with the lock released
    try:
        assert worker.is_alive(), "run finished too early to test"
        for record in (lambda: c.h(0), lambda: c.measure_all(), lambda: c.rx(0.5, 1)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                record()
        assert c.num_qubits() == N_LARGE
        second = run(c, 0, 0)  # shared access is not exclusive
    finally:
        worker.join()
    first = results[0]
    assert np.array_equal(first.statevector(), second.statevector())
    counts_before = first.counts()
    c.x(0)  # released again after the run
    assert first.counts() == counts_before


@pytest.mark.stress
def test_parallel_runs_with_one_seed_agree():
    c = Circuit(16)
    rng = np.random.default_rng(7)
    for _ in range(80):
        q = int(rng.integers(16))
        c.rx(float(rng.uniform(0, 3)), q)
        c.cx(q, (q + 1 + int(rng.integers(15))) % 16)
    c.measure_all()
    results = [None] * 6

    def simulate(i):
        r = run(c, 3000, 99)
        results[i] = (r.counts(), r.statevector())

    threads = [threading.Thread(target=simulate, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counts0, sv0 = results[0]
    assert sum(counts0.values()) == 3000
    for counts, sv in results[1:]:
        assert counts == counts0
        assert sv.tobytes() == sv0.tobytes()
