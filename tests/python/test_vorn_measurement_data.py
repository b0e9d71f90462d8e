# Per-shot memory and marginal counts: consistent with counts, laid out as
# Qiskit's BitArray, marginals as Qiskit's marginal_counts.
import numpy as np
import pytest

import vorn


def entangled(num_clbits=11):
    """Random-looking outcomes over 9 qubits measured into scattered clbits
    of two registers (one clbit measured twice, one never)."""
    c = vorn.Circuit(9, 0)
    c.add_register(vorn.ClassicalRegister(num_clbits - 4, "a"))
    c.add_register(vorn.ClassicalRegister(4, "b"))
    rng = np.random.default_rng(5)
    for q in range(9):
        c.u(*rng.uniform(0, 3, 3), q)
    for q in range(8):
        c.cx(q, q + 1)
    pairs = [(0, 10), (1, 0), (2, 3), (3, 8), (4, 1), (5, 5), (6, 9), (7, 2), (8, 6), (2, 3)]
    for q, b in pairs:
        c.measure(q, b)
    return c


def decode_row(row, num_clbits):
    """Clbit values from one BitArray row (bytes big-endian)."""
    value = int.from_bytes(bytes(row), "big")
    return [(value >> b) & 1 for b in range(num_clbits)]


def test_memory_rows_are_the_shots_behind_the_counts():
    c = entangled()
    r = vorn.run(c, shots=3000, seed=12, memory=True)
    mem = r.memory()
    assert mem.dtype == np.uint8 and mem.shape == (3000, 2)
    assert not mem.flags.writeable
    # Rebuild the counts from the rows; the key layout is Qiskit's.
    rebuilt = {}
    for row in mem:
        bits = decode_row(row, 11)
        a, b = bits[:7], bits[7:]
        key = "".join(map(str, reversed(b))) + " " + "".join(map(str, reversed(a)))
        rebuilt[key] = rebuilt.get(key, 0) + 1
    assert rebuilt == r.counts()
    # The never-measured clbit 4 reads 0 in every shot.
    assert all(decode_row(row, 11)[4] == 0 for row in mem)
    # Keeping the shots changes nothing else.
    plain = vorn.run(c, shots=3000, seed=12)
    assert plain.counts() == r.counts()
    with pytest.raises(ValueError, match="memory=True"):
        plain.memory()


def test_get_memory_strings_are_the_shots_in_counts_key_layout():
    c = entangled()
    r = vorn.run(c, shots=1500, seed=4, memory=True)
    strings = r.get_memory()
    assert len(strings) == 1500 and all(len(s) == 12 and s[4] == " " for s in strings)
    rebuilt = {}
    for s in strings:
        rebuilt[s] = rebuilt.get(s, 0) + 1
    assert rebuilt == r.counts()
    # Shot order is memory()'s: each string is its row's clbits, clbit 0 rightmost.
    for s, row in zip(strings[:50], r.memory()):
        bits = decode_row(row, 11)
        assert s.replace(" ", "") == "".join(map(str, reversed(bits)))
    with pytest.raises(ValueError, match="memory=True"):
        vorn.run(c, shots=3).get_memory()
    assert vorn.run(c, shots=0, memory=True).get_memory() == []
    # A dynamic circuit: the second register copies the first measurement.
    d = vorn.Circuit(2, 0)
    d.add_register(vorn.ClassicalRegister(1, "m"))
    d.add_register(vorn.ClassicalRegister(1, "copy"))
    d.h(0)
    d.measure(0, 0)
    with d.if_test((0, 1)):
        d.x(1)
    d.measure(1, 1)
    shots = vorn.run(d, shots=200, seed=2, memory=True).get_memory()
    assert set(shots) == {"0 0", "1 1"}


@pytest.mark.qiskit
def test_memory_layout_matches_qiskit_bitarray():
    BitArray = pytest.importorskip("qiskit.primitives.containers").BitArray
    c = entangled(num_clbits=13)
    r = vorn.run(c, shots=400, seed=3, memory=True)
    bools = np.array([decode_row(row, 13)[::-1] for row in r.memory()], dtype=bool)  # clbit 12 first
    assert np.array_equal(BitArray.from_bool_array(bools, order="big").array, r.memory())


def test_memory_edge_cases():
    c = vorn.Circuit(2, 3)
    c.x(1)
    r = vorn.run(c, shots=5, seed=1, memory=True)  # nothing measured
    assert np.array_equal(r.memory(), np.zeros((5, 1), np.uint8))
    c.measure(1, 2)
    assert np.array_equal(vorn.run(c, shots=4, seed=1, memory=True).memory(), np.full((4, 1), 4, np.uint8))
    assert vorn.run(c, shots=0, seed=1, memory=True).memory().shape == (0, 1)
    empty = vorn.Circuit(1)
    assert vorn.run(empty, shots=3, memory=True).memory().shape == (3, 0)


@pytest.mark.qiskit
def test_marginal_counts_match_qiskit():
    marginal_counts = pytest.importorskip("qiskit.result").marginal_counts
    c = entangled()
    r = vorn.run(c, shots=2000, seed=8, memory=True)
    for chosen in ([0], [3, 0], [10, 2, 5], [4], list(range(11)), [6, 6, 1]):
        assert r.marginal_counts(chosen) == marginal_counts(r.counts(), chosen), chosen
    with pytest.raises(IndexError, match="clbit 11"):
        r.marginal_counts([11])
    with pytest.raises(TypeError):
        r.marginal_counts(["a"])
    with pytest.raises(ValueError, match="at least one clbit"):  # Qiskit raises too
        r.marginal_counts([])
