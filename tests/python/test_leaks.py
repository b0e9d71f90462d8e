# Python-level leak tests of vorn_python (pytest): 20,000 create/run/read cycles must not
# grow memory, objects or blocks; returned and passed objects keep exact refcounts.
import gc
import os
import sys

import pytest

import vorn_python
from vorn_python import Circuit, SimulationResult, run

CYCLES = 20_000
WARM_UP = 1_000


def sanitizer_loaded():
    # ASan's quarantine keeps freed memory resident, so RSS says nothing there.
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def totals():
    gc.collect()
    return resident_bytes(), len(gc.get_objects()), sys.getallocatedblocks()


def cycle(i, panic_exception):
    """One create/run/read round with the failures a caller can meet."""
    c = Circuit(10)  # 16 KiB of amplitudes: a lost buffer per cycle shows in RSS
    c.h(0)
    c.rx(0.001 * i, 3)
    c.cx(0, 9)
    c.measure_all()
    r = run(c, 16, i)
    counts = r.counts()
    state = r.statevector()
    probs = r.probabilities()
    view = state[::2]
    del r  # the arrays outlive their result
    assert sum(counts.values()) == 16 and view.shape == (512,) and probs.shape == (1024,)
    for call, kind in (
        (lambda: c.h(-1), OverflowError),
        (lambda: c.h("0"), TypeError),
        (lambda: c.cx(0), TypeError),
        (lambda: run(c, shots=None), TypeError),
        (lambda: SimulationResult(), TypeError),
    ):
        with pytest.raises(kind):
            call()
    if i % 20 == 0:  # each fatal error also writes a report to stderr
        with pytest.raises(panic_exception):
            c.h(10)
        with pytest.raises(MemoryError):
            run(Circuit(40), 0, 0)


def test_repeated_cycles_do_not_grow(panic_exception):
    for i in range(WARM_UP):
        cycle(i, panic_exception)
    rss0, objects0, blocks0 = totals()
    for i in range(CYCLES):
        cycle(i, panic_exception)
    rss1, objects1, blocks1 = totals()
    # One object lost per cycle would add CYCLES; caches account for a few.
    assert objects1 - objects0 < 200, (objects0, objects1)
    assert blocks1 - blocks0 < 1000, (blocks0, blocks1)
    if not sanitizer_loaded():
        assert rss1 - rss0 < 20 * 2**20, (rss0, rss1)


def test_returned_objects_hold_only_their_own_references():
    c = Circuit(2)  # keys "00" and "11": one-character strings would be cached
    c.h(0)
    c.cx(0, 1)
    c.measure_all()
    assert sys.getrefcount(c) == 2
    r = run(c, 2000, 3)
    assert sys.getrefcount(c) == 2  # run kept no reference to the circuit
    assert sys.getrefcount(r) == 2

    counts = r.counts()
    assert sys.getrefcount(counts) == 2
    key = next(iter(counts))
    value = counts[key]
    assert value > 256  # not a cached small int
    assert sys.getrefcount(key) == 3  # the dict, `key`, the call's argument
    assert sys.getrefcount(value) == 3

    for array in (r.statevector(), r.probabilities()):
        assert sys.getrefcount(array) == 3  # the loop's tuple, `array`, the argument
        base = array.base
        assert sys.getrefcount(base) == 3  # the array, `base`, the argument
        del base
    state = r.statevector()
    assert sys.getrefcount(state) == 2
    assert sys.getrefcount(r) == 2  # arrays do not keep the result alive


def test_passed_arguments_keep_their_reference_counts(panic_exception):
    class Index:
        def __index__(self):
            return 0

    theta, index, seed, shots = 1.2345, Index(), 2**63 + 5, 1000
    objects = (theta, index, seed, shots)
    before = [sys.getrefcount(o) for o in objects]
    c = Circuit(2)
    for _ in range(100):
        c.rx(theta, index)
        c.cx(control=index, target=1)
        r = run(c, shots, seed)
        run(circuit=c, shots=shots, seed=seed)
        for bad in (lambda: c.rx(theta, "1"), lambda: run(c, shots, "s"), lambda: c.cx(index, control=0)):
            with pytest.raises(TypeError):
                bad()
        with pytest.raises(panic_exception):
            c.rz(theta, 7)
    del r
    assert [sys.getrefcount(o) for o in objects] == before
    assert sys.getrefcount(c) == 2


def test_type_objects_are_released_by_their_instances(panic_exception):
    r = run(Circuit(1), 0, 0)
    container = type(r.statevector().base)
    types = (Circuit, SimulationResult, container, panic_exception, vorn_python.run)
    del r
    gc.collect()
    before = [sys.getrefcount(t) for t in types]
    for _ in range(1000):
        c = Circuit(1)
        a = run(c, 0, 0).statevector()
        try:
            c.h(1)
        except panic_exception:
            pass
        del c, a
    gc.collect()
    assert [sys.getrefcount(t) for t in types] == before
