# Memory-limit tests (pytest): registers beyond MemAvailable fail with MemoryError before
# allocating and the process goes on; a 28-qubit register that fits runs.
import os
import subprocess
import sys
import textwrap

import pytest

GIB = 2**30


def available_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    pytest.skip("MemAvailable is not reported")


def pool_threads():
    """The pool's size by its rule (the children inherit this environment)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "").removeprefix("+")
        if value.isdigit():
            return int(value) or os.cpu_count()
    return os.cpu_count()


def needed_bytes(n):
    """What a run of n qubits measured with a few shots needs, at least: the
    amplitudes (16 bytes each) and the sampler's running sums (8 bytes each)."""
    return 24 * 2**n


def named_need(message, n):
    """The figure an out-of-memory message names; besides the amplitudes and
    running sums it counts the sampler's guide table (an eighth more), the
    gather buffers of blocked runs and the tally (small beside them)."""
    assert message.startswith("out of memory: "), message
    figure = int(message.split()[3])
    assert needed_bytes(n) <= figure <= 25 * 2**n + pool_threads() * 2**20 + 2**20, message
    return figure


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# In the child: an address-space limit makes sure that a size check which
# wrongly passed cannot take real memory (ASan reserves too much address
# space for such a limit, so it is left out there).
CHILD = textwrap.dedent(
    """
    import resource, sys
    import vorn_python as vp
    n, limit = int(sys.argv[1]), sys.argv[2] == "limit"
    if limit:
        with open("/proc/self/status") as status:
            vm = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + 2**30, resource.RLIM_INFINITY))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    c = vp.Circuit(n)
    c.h(n - 1)
    c.measure_all()
    try:
        vp.run(c, 1, 7)
        print("no error")
    except MemoryError as exc:
        print(exc)
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(grown * 1024)
    small = vp.Circuit(2)
    small.x(1)
    small.measure_all()
    print(vp.run(small, 5, 1).counts())
    """
)


def run_child(code, *args, timeout=300):
    return subprocess.run([sys.executable, "-c", code, *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def smallest_size_that_does_not_fit(available):
    return next(n for n in range(1, 64) if needed_bytes(n) > available)


@pytest.mark.parametrize("n", ["smallest", 30, 34, 40])
def test_a_register_beyond_available_memory_is_a_memory_error(n):
    available = available_bytes()
    # Without the child's address-space limit, a margin guards against memory
    # freed by other processes between this reading and the run's own.
    margin = 1.25 if sanitizer_loaded() else 1.0
    if n == "smallest":
        n = smallest_size_that_does_not_fit(available * margin)
    if needed_bytes(n) <= available * margin:
        pytest.skip(f"{n} qubits fit into {available} available bytes")
    proc = run_child(CHILD, n, "nolimit" if sanitizer_loaded() else "limit")
    assert proc.returncode == 0, proc.stderr
    message, grown, counts = proc.stdout.splitlines()
    named_need(message, n)
    assert int(grown) < 64 * 2**20  # nothing of the register was touched
    assert counts == "{'10': 5}"  # the process goes on


def test_a_large_register_that_fits_runs():
    n = 28  # 4 GiB of amplitudes and 2 GiB of running sums
    if available_bytes() < needed_bytes(n) + 4 * GIB:
        pytest.skip("not enough free memory for a 28-qubit run beside the other processes")
    code = textwrap.dedent(
        """
        import vorn_python as vp
        c = vp.Circuit(28)
        c.measure_all()  # no gate: a gate's first touch of 4 GiB takes seconds
        print(vp.run(c, 3, 1).counts())
        """
    )
    proc = run_child(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "{'" + "0" * 28 + "': 3}"


# The state fits under the address-space limit, the state and the sampling
# vector together do not. Without the limit in the up-front check the whole
# circuit would be simulated (touching every amplitude) before the sampling
# vector failed.
UP_FRONT = textwrap.dedent(
    """
    import resource, sys
    import vorn_python as vp
    n = int(sys.argv[1])
    c = vp.Circuit(n)
    for q in range(n):
        c.h(q)
    c.measure_all()
    warm = vp.Circuit(14)
    warm.h(0)
    vp.run(warm, 0, 0)  # the pool exists before the limit
    with open("/proc/self/status") as status:
        vm = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize"))
    state = 16 * 2**n
    resource.setrlimit(resource.RLIMIT_AS, (vm + state + 4 * 2**n, resource.RLIM_INFINITY))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        vp.run(c, 10, 1)
        print("no error")
    except MemoryError as exc:
        print(exc)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
    print(vp.run(vp.Circuit(3), 0, 0).statevector()[0])
    """
)


@pytest.mark.parametrize("n", [24, 28])
def test_a_sampled_run_beyond_the_address_space_limit_fails_before_simulating(n):
    if sanitizer_loaded():
        pytest.skip("ASan reserves too much address space for an RLIMIT_AS")
    proc = run_child(UP_FRONT, n)
    assert proc.returncode == 0, proc.stderr
    message, grown, first = proc.stdout.splitlines()
    # The whole run's need, set against the room the limit leaves.
    needed = named_need(message, n)
    available = int(message.split(", ")[1].split()[0])
    assert available < needed
    assert int(grown) < 64 * 2**20  # no amplitude was touched
    assert first == "(1+0j)"
