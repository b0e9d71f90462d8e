# Hypothesis property tests of vorn_python (run by pytest): random circuits vs a NumPy
# reference, bit-identity across register sizes, random argument lists vs a model.
import cmath
import fractions
import math
import operator
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorn_python import Circuit, run

# Derandomized so that CI sees the same examples every time.
settings.register_profile(
    "vorn-ci",
    derandomize=True,
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PROFILE = settings.get_profile("vorn-ci")  # parent of every test's own settings

S = struct.unpack("<d", struct.pack("<Q", 0x3FE6A09E667F3BCD))[0]

# ---- Independent reference: dense matrices applied by tensor contraction ----

ONE_QUBIT = ["h", "x", "y", "z", "s", "t", "rx", "ry", "rz", "id"]
ARITY = {**{g: 1 for g in ONE_QUBIT}, "cx": 2, "cz": 2, "swap": 2, "ccx": 3, "cswap": 3}
ROTATIONS = {"rx", "ry", "rz"}


def one_qubit_matrix(name, theta):
    if name in ROTATIONS:
        c, sn = math.cos(theta / 2), math.sin(theta / 2)
        return {
            "rx": [[c, -1j * sn], [-1j * sn, c]],
            "ry": [[c, -sn], [sn, c]],
            "rz": [[cmath.exp(-0.5j * theta), 0], [0, cmath.exp(0.5j * theta)]],
        }[name]
    return {
        "h": [[S, S], [S, -S]],
        "x": [[0, 1], [1, 0]],
        "y": [[0, -1j], [1j, 0]],
        "z": [[1, 0], [0, -1]],
        "s": [[1, 0], [0, 1j]],
        "t": [[1, 0], [0, complex(S, S)]],
        "id": [[1, 0], [0, 1]],
    }[name]


def permutation(size, pairs):
    """Identity of `size` with the local basis states of each pair exchanged."""
    m = np.eye(size, dtype=complex)
    for a, b in pairs:
        m[[a, b]] = m[[b, a]]
    return m


# Local basis index: bit j is the j-th operand in recorded order.
MULTI_QUBIT = {
    "cx": permutation(4, [(1, 3)]),  # control set: flip target
    "cz": np.diag([1, 1, 1, -1]).astype(complex),
    "swap": permutation(4, [(1, 2)]),
    "ccx": permutation(8, [(3, 7)]),  # both controls set: flip target
    "cswap": permutation(8, [(3, 5)]),  # control set: exchange the targets
}


def apply_matrix(psi, n, matrix, qubits):
    k = len(qubits)
    tensor = psi.reshape([2] * n)  # axis 0 is the top qubit: qubit q is axis n-1-q
    axes = [n - 1 - q for q in reversed(qubits)]
    out = np.tensordot(np.asarray(matrix, dtype=complex).reshape([2] * (2 * k)), tensor,
                       axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(out, list(range(k)), axes).reshape(-1)


def reference_state(n, ops):
    psi = np.zeros(2**n, dtype=complex)
    psi[0] = 1
    for name, theta, qubits in ops:
        if name in ("measure", "measure_all"):
            continue
        if len(set(qubits)) < len(qubits):  # the repeated operands that have a fixed meaning
            if name == "cz":
                psi = apply_matrix(psi, n, one_qubit_matrix("z", 0.0), qubits[:1])
            continue  # cx(c, c) and swap(q, q): unchanged
        m = one_qubit_matrix(name, theta) if name in ARITY and ARITY[name] == 1 else MULTI_QUBIT[name]
        psi = apply_matrix(psi, n, m, qubits)
    return psi


def record(circuit, ops):
    for name, theta, qubits in ops:
        if name in ROTATIONS:
            getattr(circuit, name)(theta, *qubits)
        else:
            getattr(circuit, name)(*qubits)
    return circuit


# ---- Random circuits --------------------------------------------------------

angles = st.one_of(
    st.floats(min_value=-1e3, max_value=1e3, allow_nan=False),
    st.sampled_from([0.0, -0.0, math.pi, -math.pi / 2, 2 * math.pi]),
)


@st.composite
def gate_ops(draw, n, repeats):
    """One recorded entry as (name, theta, operands). `repeats` allows any
    repeated operands; otherwise only cx(c,c), swap(q,q) and cz(q,q)."""
    names = [g for g, a in ARITY.items() if a <= n] + ["measure", "measure_all"]
    name = draw(st.sampled_from(names))
    if name == "measure_all":
        return (name, None, ())
    if name == "measure":
        return (name, None, (draw(st.integers(0, n - 1)), draw(st.integers(0, 2**64 - 1))))
    theta = draw(angles) if name in ROTATIONS else None
    k = ARITY[name]
    if repeats:
        qubits = tuple(draw(st.lists(st.integers(0, n - 1), min_size=k, max_size=k)))
    elif name in ("cx", "swap", "cz") and draw(st.integers(0, 5)) == 0:
        q = draw(st.integers(0, n - 1))
        qubits = (q, q)
    else:
        qubits = tuple(draw(st.permutations(range(n)))[:k])
    return (name, theta, qubits)


@st.composite
def circuits(draw, sizes, repeats=False, max_ops=40):
    n = draw(sizes)
    return n, draw(st.lists(gate_ops(n, repeats), max_size=max_ops))


@settings(PROFILE, max_examples=300)
@given(circuits(st.integers(1, 14)), st.integers(0, 2**64 - 1), st.integers(0, 8))
def test_random_circuits_match_the_reference(circuit, seed, shots):
    n, ops = circuit
    result = run(record(Circuit(n), ops), shots, seed)
    got = result.statevector()
    expected = reference_state(n, ops)
    assert np.max(np.abs(got - expected), initial=0.0) <= 1e-12
    np.testing.assert_array_equal(result.probabilities(), got.real * got.real + got.imag * got.imag)
    counts = result.counts()
    measured = shots > 0 and any(name.startswith("measure") for name, _, _ in ops)
    assert sum(counts.values()) == (shots if measured else 0)
    for key in counts:  # sampled outcomes have non-zero probability
        assert len(key) == n and abs(expected[int(key, 2)]) > 0


# The n-qubit sizes near the parallel threshold (13 qubits = 8192 amplitudes)
# get extra weight so that the sequential/parallel boundary is crossed often.
near_threshold = st.one_of(st.sampled_from([11, 12, 13]), st.integers(1, 14))


@settings(PROFILE, max_examples=250)
@given(circuits(near_threshold, repeats=True))
def test_an_idle_top_qubit_changes_no_bit(circuit):
    n, ops = circuit
    small = run(record(Circuit(n), ops), 0, 0).statevector()
    large = run(record(Circuit(n + 1), ops), 0, 0).statevector()
    np.testing.assert_array_equal(small.view(np.uint64), large[: 2**n].view(np.uint64))
    assert not np.any(large[2**n :])  # zeros, whatever their sign


# ---- Random argument lists against a model of the argument rules -----------

PARAMS = {
    **{g: ("qubit",) for g in ("h", "x", "y", "z", "s", "t", "id")},
    **{g: ("theta", "qubit") for g in ROTATIONS},
    "cx": ("control", "target"),
    "cz": ("qubit0", "qubit1"),
    "swap": ("qubit0", "qubit1"),
    "ccx": ("ctrl1", "ctrl2", "target"),
    "cswap": ("control", "target1", "target2"),
    "measure": ("qubit", "cbit"),
}
NO_ARGS = ("num_qubits", "measure_all")
METHODS = sorted(PARAMS) + list(NO_ARGS)


class Panic(Exception):
    """The model's name for a fatal error of the call."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        return "1"


class Real:
    def __float__(self):
        return 0.25


class BadReal:
    def __float__(self):
        return "0.25"


class IntSub(int):
    pass


ODD_VALUES = [
    True, False, -1, -(2**63), -(2**64), 2**63, 2**64 - 1, 2**64, 2**200,
    np.int64(1), np.uint64(2**64 - 1), np.int8(-1), np.float64(0.5), np.float32(0.5),
    0.5, -0.0, math.nan, math.inf, 1e308, 1j, "0", "", b"0", None, [], (0,), object(),
    10**400, Index(1), Index(-1), Index(2**64), BadIndex(), Real(), BadReal(), IntSub(1),
    fractions.Fraction(1, 2), Circuit(1),
]
values = st.one_of(st.integers(0, 5), st.integers(-(2**70), 2**70), st.sampled_from(ODD_VALUES))
keywords = st.sampled_from(sorted({p for ps in PARAMS.values() for p in ps} | {"q", "self", "n_qubits"}))


def as_index(value):
    value = operator.index(value)  # TypeError without __index__, as the module converts
    if not 0 <= value < 2**64:
        raise OverflowError
    return value


def as_real(value):
    if isinstance(value, float):
        return float(value)
    if hasattr(type(value), "__float__"):
        result = type(value).__float__(value)  # OverflowError for huge ints
        if not isinstance(result, float):
            raise TypeError
        return result
    return float(operator.index(value))


def bind(params, required, args, kwargs):
    if len(args) > len(params):
        raise TypeError
    bound = dict(zip(params, args))
    for name, value in kwargs.items():
        if name not in params or name in bound:
            raise TypeError
        bound[name] = value
    if any(p not in bound for p in params[:required]):
        raise TypeError
    return bound


def model_method(n, method, args, kwargs):
    """The converted arguments of a successful call, or raises what the call must raise."""
    if method in NO_ARGS:
        if args or kwargs:
            raise TypeError
        return ()
    bound = bind(PARAMS[method], len(PARAMS[method]), args, kwargs)
    converted = [as_real(bound[p]) if p == "theta" else as_index(bound[p]) for p in PARAMS[method]]
    operands = converted[:1] if method == "measure" else converted[1:] if method in ROTATIONS else converted
    if any(q >= n for q in operands):
        raise Panic
    return tuple(converted)


def outcome(call):
    try:
        return "ok", call()
    except BaseException as exc:  # noqa: BLE001 - every kind is sorted below
        if type(exc).__name__ == "PanicException" and not isinstance(exc, Exception):
            return Panic, exc
        return type(exc), exc


@st.composite
def call_sequences(draw):
    """A register size and calls on it: half of them arbitrary argument lists,
    half the right parameters (some by keyword) with plausible or odd values."""
    n = draw(st.integers(1, 4))
    sequence = []
    for _ in range(draw(st.integers(0, 25))):
        method = draw(st.sampled_from(METHODS))
        params = PARAMS.get(method, ())
        if draw(st.booleans()):
            args = tuple(draw(st.lists(values, max_size=4)))
            kwargs = draw(st.dictionaries(keywords, values, max_size=3))
        else:
            plausible = {p: angles if p == "theta" else st.integers(0, n + 1) for p in params}
            given_values = [draw(st.one_of(plausible[p], values)) for p in params]
            k = draw(st.integers(0, len(params)))
            args, kwargs = tuple(given_values[:k]), dict(zip(params[k:], given_values[k:]))
        sequence.append((method, args, kwargs))
    return n, sequence


def prepared(n):
    """A generic state: every gate but id changes it, so a gate recorded or lost shows."""
    c = Circuit(n)
    for q in range(n):
        c.ry(0.7 + 0.31 * q, q)
        c.rz(0.2 + 0.17 * q, q)
    return c


ALLOWED = {"ok", TypeError, OverflowError, Panic}


@settings(PROFILE, max_examples=500)
@given(call_sequences())
def test_random_arguments_raise_only_the_expected_errors(sequence):
    n, call_list = sequence
    c = prepared(n)
    accepted = []
    for method, args, kwargs in call_list:
        try:
            expected = ("ok", model_method(n, method, args, kwargs))
        except (TypeError, OverflowError, Panic) as exc:
            expected = (type(exc), None)
        kind, value = outcome(lambda: getattr(c, method)(*args, **kwargs))
        assert kind in ALLOWED, (method, args, kwargs, value)
        assert kind == expected[0], (method, args, kwargs, value)
        if kind == "ok":
            assert value == (n if method == "num_qubits" else None)
            if method != "num_qubits":
                accepted.append((method, expected[1]))
    # Exactly the accepted calls, with their converted arguments, were recorded.
    replay = prepared(n)
    for method, converted in accepted:
        getattr(replay, method)(*converted)
    got, want = run(c, 16, 5), run(replay, 16, 5)
    np.testing.assert_array_equal(got.statevector().view(np.uint64), want.statevector().view(np.uint64))
    assert got.counts() == want.counts()


RUN_PARAMS = ("circuit", "shots", "seed")
THE_CIRCUIT = object()  # stands for the example's own circuit


def huge_valid_index(value):
    try:
        return as_index(value) >= 2**16
    except (TypeError, OverflowError):
        return False


# Shot counts that are valid but huge would sample for ages; they are left out.
shots_values = values.filter(lambda v: not huge_valid_index(v))
circuit_values = st.one_of(st.just(THE_CIRCUIT), values)
run_value = {"circuit": circuit_values, "shots": shots_values, "seed": values}


@st.composite
def run_arguments(draw):
    args = [draw(run_value[p]) for p in RUN_PARAMS[: draw(st.integers(0, 3))]]
    if len(args) == 3 and draw(st.integers(0, 3)) == 0:
        args.append(draw(values))  # one too many
    names = draw(st.lists(st.sampled_from(RUN_PARAMS + ("shot", "circ")), unique=True, max_size=3))
    kwargs = {name: draw(run_value.get(name, values)) for name in names}
    return args, kwargs


@settings(PROFILE, max_examples=300)
@given(run_arguments())
def test_run_with_random_arguments(arguments):
    c = prepared(2)
    c.measure_all()
    args = [c if a is THE_CIRCUIT else a for a in arguments[0]]
    kwargs = {k: c if v is THE_CIRCUIT else v for k, v in arguments[1].items()}
    try:
        bound = bind(RUN_PARAMS, 1, args, kwargs)
        if type(bound["circuit"]) is not Circuit:
            raise TypeError
        shots = as_index(bound["shots"]) if "shots" in bound else 1024
        seed = None if bound.get("seed") is None else as_index(bound["seed"])
        expected = "ok"
    except (TypeError, OverflowError) as exc:
        expected = type(exc)
    kind, result = outcome(lambda: run(*args, **kwargs))
    assert kind == expected, (args, kwargs, result)
    if kind == "ok":
        target = bound["circuit"]  # `c`, or the unmeasured Circuit(1) of ODD_VALUES
        assert sum(result.counts().values()) == (shots if target is c else 0)
        if seed is not None:
            assert result.counts() == run(target, shots, seed).counts()
    c.h(0)  # released whatever happened


@settings(PROFILE, max_examples=200)
@given(st.lists(values, max_size=3), st.dictionaries(st.sampled_from(["n_qubits", "n", "qubits"]), values, max_size=2))
def test_constructor_with_random_arguments(args, kwargs):
    try:
        n = as_index(bind(("n_qubits",), 1, args, kwargs)["n_qubits"])
        expected = "ok"
    except (TypeError, OverflowError) as exc:
        expected = type(exc)
    kind, made = outcome(lambda: Circuit(*args, **kwargs))
    assert kind == expected, (args, kwargs, made)
    if kind == "ok":
        assert made.num_qubits() == n
