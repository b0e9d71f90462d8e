# Results of run(): exact amplitudes (bit patterns where they are known),
# the engine's measurement semantics, counts, and the NumPy arrays' ownership.
import gc
import math
import struct

import numpy as np
import pytest

from vorn_python import Circuit, run

S = 0.7071067811865476  # the H/T constant, bits 0x3FE6A09E667F3BCD


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def state_after(n, *gates):
    c = Circuit(n)
    for name, *args in gates:
        getattr(c, name)(*args)
    return run(c, 0, 0).statevector()


def basis(n, index):
    v = np.zeros(2**n, dtype=complex)
    v[index] = 1
    return v


class TestSingleQubitAmplitudes:
    def test_fresh_state_is_one_then_positive_zeros(self):
        sv = state_after(3)
        raw = sv.view(np.uint64)
        assert bits(1.0) == raw[0]
        assert not raw[1:].any()  # imaginary part of amp 0 and all others: +0.0
        assert run(Circuit(1), 0, 0).probabilities().tolist() == [1.0, 0.0]

    def test_h_uses_the_correctly_rounded_constant(self):
        sv = state_after(1, ("h", 0))
        assert bits(S) == 0x3FE6A09E667F3BCD
        assert sv.real.view(np.uint64).tolist() == [0x3FE6A09E667F3BCD] * 2
        assert sv.imag.tolist() == [0.0, 0.0]

    def test_h_twice_is_one_ulp_above_one_and_not_renormalised(self):
        c = Circuit(1)
        c.h(0)
        c.h(0)
        r = run(c, 0, 0)
        sv, p = r.statevector(), r.probabilities()
        assert sv[0].real == 1 + 2**-52 and bits(sv[0].real) == 0x3FF0000000000001
        assert sv[1] == 0 and sv[0].imag == 0
        assert p.tolist() == [1 + 2**-51, 0.0]

    def test_rx_pi_leaves_a_tiny_cosine(self):
        sv = state_after(1, ("rx", math.pi, 0))
        assert sv[0] == complex(math.cos(math.pi * 0.5), 0.0)
        assert sv[0].real == pytest.approx(6.123233995736766e-17, rel=1e-15) and sv[0].real > 0
        assert sv[1] == complex(0.0, -math.sin(math.pi * 0.5))

    def test_ry_rotation(self):
        theta = 0.3
        sv = state_after(1, ("ry", theta, 0))
        assert sv.tolist() == [complex(math.cos(theta * 0.5), 0), complex(math.sin(theta * 0.5), 0)]

    def test_y_phases(self):
        assert state_after(1, ("y", 0)).tolist() == [0, 1j]
        assert state_after(1, ("x", 0), ("y", 0)).tolist() == [-1j, 0]

    def test_x_then_z_negates(self):
        sv = state_after(1, ("x", 0), ("z", 0))
        assert sv.tolist() == [0, -1]

    def test_rz_differs_from_s_and_t_by_a_global_phase(self):
        s_state = state_after(1, ("x", 0), ("s", 0))
        rz_state = state_after(1, ("x", 0), ("rz", math.pi / 2, 0))
        assert s_state.tolist() == [0, 1j]
        half = math.pi / 2 * 0.5
        assert rz_state[1] == complex(math.cos(half), math.sin(half))
        rz_zero = state_after(1, ("rz", math.pi / 2, 0))
        neg_half = math.pi / 2 * -0.5
        assert rz_zero[0] == complex(math.cos(neg_half), math.sin(neg_half))
        assert state_after(1, ("x", 0), ("t", 0)).tolist() == [0, complex(S, S)]

    def test_id_leaves_the_state(self):
        assert state_after(2, ("x", 1), ("id", 0), ("id", 1)).tolist() == basis(2, 2).tolist()

    @pytest.mark.parametrize("q", [0, 5, 12, 13])
    def test_x_moves_everything_to_two_to_the_q(self, q):
        assert np.array_equal(state_after(14, ("x", q)), basis(14, 2**q))

    def test_h_on_the_parallel_path(self):
        sv = state_after(13, ("h", 0))
        assert sv[0] == S and sv[1] == S
        assert not sv[2:].any()


class TestMultiQubitAmplitudes:
    @pytest.mark.parametrize(("control", "target"), [(0, 2), (2, 0), (1, 13), (13, 1)])
    def test_cx(self, control, target):
        n = 14
        assert np.array_equal(state_after(n, ("x", control), ("cx", control, target)),
                              basis(n, 2**control + 2**target))
        assert np.array_equal(state_after(n, ("x", target), ("cx", control, target)), basis(n, 2**target))

    @pytest.mark.parametrize("n", [3, 13])
    def test_cx_with_equal_operands_changes_nothing(self, n):
        before = state_after(n, ("h", 0), ("t", 0), ("h", 1))
        after = state_after(n, ("h", 0), ("t", 0), ("h", 1), ("cx", 0, 0), ("swap", 1, 1))
        assert np.array_equal(before, after)

    @pytest.mark.parametrize("order", [(0, 1, 2), (2, 0, 1), (1, 2, 0)])
    def test_ccx_flips_only_when_both_controls_are_set(self, order):
        c1, c2, t = order
        assert np.array_equal(state_after(3, ("x", c1), ("x", c2), ("ccx", c1, c2, t)), basis(3, 7))
        assert np.array_equal(state_after(3, ("x", c1), ("ccx", c1, c2, t)), basis(3, 2**c1))

    def test_swap_is_symmetric(self):
        for a, b in ((0, 2), (2, 0)):
            assert np.array_equal(state_after(3, ("x", 0), ("swap", a, b)), basis(3, 4))
        assert np.array_equal(state_after(3, ("x", 0), ("x", 2), ("swap", 0, 2)), basis(3, 5))

    def test_cz_negates_only_both_set(self):
        sv = state_after(2, ("h", 0), ("h", 1), ("cz", 1, 0))
        q = S * S
        assert sv.tolist() == [q, q, q, -q]

    def test_cswap_control_is_the_first_operand(self):
        assert np.array_equal(state_after(3, ("x", 0), ("x", 2), ("cswap", 0, 1, 2)), basis(3, 3))
        assert np.array_equal(state_after(3, ("x", 2), ("cswap", 0, 1, 2)), basis(3, 4))


# ---- An independent reference: the gate rule with every real product rounded
# on its own, applied pair by pair with NumPy (separate ufuncs, so no FMA).

def matrix(name, theta=0.0):
    half = theta * 0.5
    cs, sn = math.cos(half), math.sin(half)
    return {
        "h": ((S, 0), (S, 0), (S, 0), (-S, -0.0)),
        "t": ((1, 0), (0, 0), (0, 0), (S, S)),
        "x": ((0, 0), (1, 0), (1, 0), (0, 0)),
        "rx": ((cs, 0), (0, -sn), (0, -sn), (cs, 0)),
        "ry": ((cs, 0), (-sn, -0.0), (sn, 0), (cs, 0)),
        "rz": ((math.cos(theta * -0.5), math.sin(theta * -0.5)), (0, 0), (0, 0), (cs, sn)),
    }[name]


def reference_apply(re, im, m, target, control=None):
    idx = np.arange(re.size)
    i0 = idx[(idx >> target) & 1 == 0]
    if control is not None:
        i0 = i0[(i0 >> control) & 1 == 1]
    i1 = i0 | (1 << target)
    a = (re[i0], im[i0], re[i1], im[i1])

    def mul(mc, ar, ai):
        return mc[0] * ar - mc[1] * ai, mc[0] * ai + mc[1] * ar

    def row(ma, mb):
        p, q = mul(ma, a[0], a[1]), mul(mb, a[2], a[3])
        return p[0] + q[0], p[1] + q[1]

    (r0, j0), (r1, j1) = row(m[0], m[1]), row(m[2], m[3])
    re[i0], im[i0], re[i1], im[i1] = r0, j0, r1, j1


def test_random_circuit_on_the_parallel_path_matches_the_reference():
    rng = np.random.default_rng(20261207)
    n = 14
    c = Circuit(n)
    re, im = np.zeros(2**n), np.zeros(2**n)
    re[0] = 1.0
    for _ in range(60):
        kind = rng.choice(["h", "t", "rx", "ry", "rz", "cx"])
        q = int(rng.integers(n))
        if kind == "cx":
            t = int((q + rng.integers(1, n)) % n)
            c.cx(q, t)
            reference_apply(re, im, matrix("x"), t, control=q)
        elif kind in ("rx", "ry", "rz"):
            theta = float(rng.uniform(-4, 4))
            getattr(c, kind)(theta, q)
            reference_apply(re, im, matrix(kind, theta), q)
        else:
            getattr(c, kind)(q)
            reference_apply(re, im, matrix(kind), q)
    sv = run(c, 0, 0).statevector()
    assert np.array_equal(sv.real, re) and np.array_equal(sv.imag, im)


class TestEngineSemantics:
    def test_no_shots_gives_empty_counts_but_a_full_snapshot(self):
        c = Circuit(1)
        c.x(0)
        c.measure_all()
        r = run(c, shots=0, seed=1)
        assert r.counts() == {}
        assert r.statevector().tolist() == [0, 1]

    def test_without_measurement_nothing_is_sampled(self):
        c = Circuit(2)
        c.h(0)
        r = run(c, shots=100, seed=1)
        assert r.counts() == {}
        assert r.probabilities().sum() > 0.99

    def test_measurement_does_not_collapse_and_later_gates_apply(self):
        c = Circuit(1)
        c.measure(0, 0)
        c.h(0)
        r = run(c, 200, 5)
        assert r.statevector().tolist() == [S, S]
        assert set(r.counts()) == {"0", "1"}

        c = Circuit(1)
        c.x(0)
        c.measure(0, 0)
        c.x(0)
        r = run(c, 10, 5)
        assert r.statevector().tolist() == [1, 0]
        assert r.counts() == {"0": 10}

    def test_key_covers_the_whole_register_qubit_zero_rightmost(self):
        c = Circuit(2)
        c.x(1)
        c.measure(0, 0)
        assert run(c, 5, 1).counts() == {"10": 5}
        c = Circuit(3)
        c.x(0)
        c.measure_all()
        assert run(c, 4, 1).counts() == {"001": 4}
        assert run(Circuit(4), 1, 1).counts() == {}
        c = Circuit(4)
        c.measure_all()
        assert run(c, 3, 1).counts() == {"0000": 3}

    def test_classical_bit_and_measured_qubit_do_not_matter(self):
        def counts(cbit):
            c = Circuit(2)
            c.h(0)
            c.h(1)
            c.measure(0, cbit)
            return run(c, 300, 42).counts()

        assert counts(7) == counts(0)

    def test_nan_state_samples_the_last_index(self):
        c = Circuit(2)
        c.rx(float("nan"), 0)
        c.measure_all()
        assert run(c, 20, 1).counts() == {"11": 20}


class TestCounts:
    def bell(self):
        c = Circuit(2)
        c.h(0)
        c.cx(0, 1)
        c.measure_all()
        return c

    def test_fresh_dict_of_str_to_int_summing_to_shots(self):
        r = run(self.bell(), 1000, 7)
        a, b = r.counts(), r.counts()
        assert a is not b and a == b
        assert set(a) <= {"00", "11"} and sum(a.values()) == 1000
        assert all(type(k) is str and type(v) is int for k, v in a.items())
        a["00"] = -1
        assert r.counts() == b

    def test_keys_come_out_in_ascending_order(self):
        c = Circuit(4)
        for q in range(4):
            c.h(q)
        c.measure_all()
        keys = list(run(c, 2000, 3).counts())
        assert keys == sorted(keys) and len(keys) == 16

    def test_same_seed_same_counts(self):
        c = Circuit(3)
        for q in range(3):
            c.ry(0.4 + q, q)
        c.measure_all()
        assert run(c, 500, 11).counts() == run(c, shots=500, seed=11).counts()
        assert run(c, 500, seed=None).statevector().tolist() == run(c, 500, 0).statevector().tolist()

    def test_default_shots_is_1024(self):
        assert sum(run(self.bell()).counts().values()) == 1024
        assert sum(run(self.bell(), seed=None).counts().values()) == 1024

    def test_extreme_seeds_and_bool_seed(self):
        c = self.bell()
        assert sum(run(c, 10, 0).counts().values()) == 10
        assert sum(run(c, 10, 2**64 - 1).counts().values()) == 10
        assert run(c, 50, True).counts() == run(c, 50, 1).counts()

    def test_recording_after_run_does_not_change_the_result(self):
        c = self.bell()
        r = run(c, 100, 1)
        before = (r.counts(), r.statevector().tolist())
        c.x(0)
        assert (r.counts(), r.statevector().tolist()) == before


class TestArrays:
    def result(self):
        c = Circuit(2)
        c.h(0)
        return run(c, 0, 0)

    def test_dtypes_shapes_and_flags(self):
        r = self.result()
        sv, p = r.statevector(), r.probabilities()
        assert sv.dtype == np.complex128 and sv.shape == (4,)
        assert p.dtype == np.float64 and p.shape == (4,)
        for a in (sv, p):
            assert type(a) is np.ndarray
            assert a.flags.writeable and not a.flags.owndata
            assert a.flags.c_contiguous and a.flags.aligned
            assert type(a.base).__name__ == "PySliceContainer"
        assert p.tolist() == pytest.approx([0.5, 0.5, 0, 0], abs=1e-15)

    def test_each_call_returns_an_independent_copy(self):
        r = self.result()
        a, b = r.statevector(), r.statevector()
        assert a is not b and a.base is not b.base
        assert not np.shares_memory(a, b)
        a[0] = 0
        assert r.statevector()[0] == S and b[0] == S
        p = r.probabilities()
        p[:] = 7
        assert r.probabilities()[0] == 0.5000000000000001

    def test_arrays_outlive_the_result(self):
        r = self.result()
        sv, p = r.statevector(), r.probabilities()
        view = sv[1:]
        del r, sv
        gc.collect()
        assert view.tolist() == [S, 0, 0]
        assert p.sum() == pytest.approx(1.0)
