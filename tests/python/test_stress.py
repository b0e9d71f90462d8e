# Stress tests (pytest, marker `stress`): threads running and recording on shared circuits,
# and concurrent runs under each pool size, must all give the one-thread results.
import os
import random
import subprocess
import sys
import threading

import pytest

from vorn_python import Circuit, run

RUNNER_THREADS = 8
RUNS_PER_THREAD = 50
RECORDER_THREADS = 3
SHOTS = 64


def random_circuit(seed):
    """A circuit of 14-18 qubits mixing every gate kind, measured at the end."""
    rng = random.Random(seed)
    n = rng.randint(14, 18)
    c = Circuit(n)
    for _ in range(rng.randint(8, 20)):
        q = rng.sample(range(n), 3)
        kind = rng.randrange(8)
        if kind == 0:
            c.h(q[0])
        elif kind == 1:
            c.rx(rng.uniform(-3, 3), q[0])
        elif kind == 2:
            c.ry(rng.uniform(-3, 3), q[0])
        elif kind == 3:
            c.cx(q[0], q[1])
        elif kind == 4:
            c.cz(q[0], q[1])
        elif kind == 5:
            c.swap(q[0], q[1])
        elif kind == 6:
            c.ccx(q[0], q[1], q[2])
        else:
            c.cswap(q[0], q[1], q[2])
    c.measure_all()
    return c


def fingerprint(result):
    return result.statevector().tobytes(), result.counts()


@pytest.mark.stress
def test_threads_running_and_recording_on_shared_circuits():
    circuits = [random_circuit(seed) for seed in range(6)]
    seeds = range(4)
    # The one-thread results, before any other thread exists.
    expected = {(i, s): fingerprint(run(c, SHOTS, s)) for i, c in enumerate(circuits) for s in seeds}

    stop = threading.Event()
    mismatches, errors, refusals, accepted = [], [], [], [0]

    def runner(index):
        rng = random.Random(1000 + index)
        try:
            for _ in range(RUNS_PER_THREAD):
                i, s = rng.randrange(len(circuits)), rng.choice(seeds)
                got = fingerprint(run(circuits[i], SHOTS, s))
                if got != expected[(i, s)]:
                    mismatches.append((index, i, s))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def recorder(index):
        # Only measurement entries: the circuits already measure, so an
        # accepted call changes neither the state nor the sampled counts.
        rng = random.Random(2000 + index)
        while not stop.is_set():
            c = rng.choice(circuits)
            try:
                if rng.random() < 0.5:
                    c.measure_all()
                else:
                    c.measure(rng.randrange(c.num_qubits()), rng.randrange(64))
                accepted[0] += 1
            except RuntimeError as exc:
                refusals.append(str(exc))
            except BaseException as exc:  # noqa: BLE001 - reported below
                errors.append(exc)
                return

    runners = [threading.Thread(target=runner, args=(k,)) for k in range(RUNNER_THREADS)]
    recorders = [threading.Thread(target=recorder, args=(k,)) for k in range(RECORDER_THREADS)]
    for t in recorders + runners:
        t.start()
    for t in runners:
        t.join()
    stop.set()
    for t in recorders:
        t.join()

    assert errors == []
    assert mismatches == []
    assert refusals, "no recording call ever met a running circuit"
    assert set(refusals) == {"Already borrowed"}
    assert accepted[0] > 0  # between runs the circuits are free again
    # Still usable afterwards, and the accepted measurements changed nothing.
    assert fingerprint(run(circuits[0], SHOTS, 0)) == expected[(0, 0)]


CONCURRENT_RUNS = """
import sys, threading
import numpy as np
import vorn_python as vp
c = vp.Circuit(16)
rng = np.random.default_rng(7)
for _ in range(80):  # enough gates for the engine's blocked passes
    q = int(rng.integers(16))
    c.rx(float(rng.uniform(0, 3)), q)
    c.cx(q, (q + 1 + int(rng.integers(15))) % 16)
c.measure_all()
alone = vp.run(c, 500, 9)
outcomes = []
def simulate():
    try:
        r = vp.run(c, 500, 9)
        outcomes.append(r.statevector().tobytes() == alone.statevector().tobytes()
                        and r.counts() == alone.counts())
    except BaseException as exc:
        outcomes.append(repr(exc))
threads = [threading.Thread(target=simulate) for _ in range(6)]
for t in threads: t.start()
for t in threads: t.join()
print(outcomes)
"""


@pytest.mark.stress
@pytest.mark.parametrize(
    "pool_size",
    ["1", "2", "3"],
)
def test_concurrent_runs_agree_for_every_pool_size(pool_size):
    env = dict(os.environ, RAYON_NUM_THREADS=pool_size)
    proc = subprocess.run([sys.executable, "-c", CONCURRENT_RUNS], capture_output=True, text=True,
                          env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([True] * 6), proc.stdout
