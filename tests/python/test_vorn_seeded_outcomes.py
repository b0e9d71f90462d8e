# Seeded outcomes stay what they were before counts moved into C++ and the
# draws were grouped before searching: digests recorded from the earlier
# algorithm (numpy keys for vorn, a std::map of keys for vorn_python), and
# counts checked against the shots kept in memory() on register layouts
# where clbits and qubits do not line up.
import hashlib
from collections import Counter

import numpy as np
import pytest

import vorn
import vorn_python
from vorn import ClassicalRegister


def digest(counts):
    return hashlib.sha256(repr(sorted(counts.items())).encode()).hexdigest()[:16]


def spread_python(n=12):
    c = vorn_python.Circuit(n)
    for q in range(n):
        c.h(q)
        c.ry(0.1 + 0.05 * q, q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure_all()
    return c


def spread_vorn(n=12):
    c = vorn.Circuit(n, n)
    for q in range(n):
        c.h(q)
        c.ry(0.1 + 0.05 * q, q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    c.measure(list(range(n)), list(range(n)))
    return c


# (seed, shots) -> digest of the sorted counts, from the earlier algorithm;
# 1.5e6 shots span several rounds of draws.
RECORDED = {(7, 100_000): "19f2cd36ea2d3853", (123, 3001): "2a5260de1588688b", (5, 1_500_000): "26624b4727a3b41a"}
RECORDED_MEMORY = {(7, 100_000): "876b3602a5bf6141", (5, 1_500_000): "16a3facf340daf2d"}


@pytest.mark.parametrize("seed,shots", sorted(RECORDED))
def test_vorn_python_counts_are_the_recorded_ones(seed, shots):
    counts = vorn_python.run(spread_python(), shots=shots, seed=seed).counts()
    assert sum(counts.values()) == shots
    assert list(counts) == sorted(counts)
    assert digest(counts) == RECORDED[(seed, shots)]


def test_vorn_python_small_counts_exactly():
    c = vorn_python.Circuit(3)
    c.h(0)
    c.ry(0.7, 1)
    c.cx(0, 2)
    c.measure_all()
    assert vorn_python.run(c, shots=1000, seed=11).counts() == {"000": 450, "010": 59, "101": 441, "111": 50}


@pytest.mark.parametrize("seed,shots", sorted(RECORDED_MEMORY))
def test_vorn_counts_and_memory_are_the_recorded_ones(seed, shots):
    r = vorn.run(spread_vorn(), shots=shots, seed=seed, memory=True)
    assert digest(r.counts()) == RECORDED[(seed, shots)]
    assert hashlib.sha256(r.memory().tobytes()).hexdigest()[:16] == RECORDED_MEMORY[(seed, shots)]


def counts_from_memory(result, circuit):
    """The counts as Qiskit keys them, rebuilt from the shots one by one."""
    rows = result.memory()
    sizes = [reg.size for reg in circuit.cregs]
    keys = Counter()
    for row in rows:
        bits = int.from_bytes(row.tobytes(), "big")
        parts, start = [], 0
        for size in sizes:
            parts.append(format((bits >> start) & ((1 << size) - 1), f"0{size}b") if size else "")
            start += size
        keys[" ".join(p for p in reversed(parts) if p)] += 1
    return dict(keys)


def layouts():
    # (name, build): registers of several sizes, clbits measured from other
    # qubits, a clbit measured twice, unmeasured clbits, an empty register.
    def shuffled(c):
        for q in range(c.num_qubits):
            c.h(q)
        c.cx(0, 5)
        perm = [3, 0, 5, 1, 4, 2]
        for q, b in enumerate(perm):
            c.measure(q, b)

    def partial(c):
        for q in range(c.num_qubits):
            c.ry(0.4 + 0.3 * q, q)
        c.measure(4, 0)
        c.measure(1, 3)
        c.measure(2, 3)  # the last measurement into a clbit wins

    def merged(c):
        # Outcomes differing only in unmeasured qubits land on one key.
        for q in range(c.num_qubits):
            c.h(q)
        c.measure(0, 2)

    return [("shuffled", shuffled), ("partial", partial), ("merged", merged)]


@pytest.mark.parametrize("registers", [[6], [2, 0, 3, 1], [1, 5]])
@pytest.mark.parametrize("name,build", layouts())
def test_vorn_counts_match_the_kept_shots(registers, name, build):
    c = vorn.Circuit(6)
    for i, size in enumerate(registers):
        c.add_register(ClassicalRegister(size, f"r{i}"))
    build(c)
    r = vorn.run(c, shots=3000, seed=17, memory=True)
    counts = r.counts()
    assert counts == counts_from_memory(r, c)
    assert list(counts) == sorted(counts)
    assert sum(counts.values()) == 3000


def test_counts_dict_refuses_inconsistent_input():
    from vorn import _ext

    with pytest.raises(ValueError, match="differ in length"):
        _ext.counts_dict(np.zeros(2, np.uint64), np.zeros(3, np.uint64), [0], [(0, 0)])
    with pytest.raises(ValueError, match="below 64"):
        _ext.counts_dict(np.zeros(1, np.uint64), np.ones(1, np.uint64), [64], [(64, 0)])
