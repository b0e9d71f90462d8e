# Smoke suite for the installed wheel. tests/wheel/run_smoke.sh runs it in a
# fresh venv that holds only the wheel, its dependencies (NumPy, the tbb
# package), Qiskit and pytest, with the system oneTBB hidden: the modules
# must import from that venv, run on the oneTBB pool, and share one oneTBB
# with everything else in the process.
import importlib.metadata
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import vorn
import vorn._ext
import vorn.qasm2
import vorn_python

SITE = Path(sysconfig.get_paths()["platlib"]).resolve()
# Any copy of oneTBB's core library: the tbb package's libtbb.so.12, the
# system's, or one that auditwheel grafted and renamed (libtbb-1a2b3c4d.so.12).
_TBB_CORE = re.compile(r"libtbb(-[0-9a-f]+)?\.so(\.\d+)*$")


def mapped_tbb_files():
    """Paths of oneTBB core library files mapped into this process."""
    paths = set()
    for line in Path("/proc/self/maps").read_text().splitlines():
        fields = line.split(maxsplit=5)
        if len(fields) == 6 and _TBB_CORE.match(Path(fields[5]).name):
            paths.add(fields[5])
    return paths


def ghz(n):
    c = vorn_python.Circuit(n)
    c.h(0)
    for q in range(n - 1):
        c.cx(q, q + 1)
    return c


def test_both_modules_come_from_this_venv():
    for module in (vorn_python, vorn._ext):
        assert Path(module.__file__).resolve().is_relative_to(SITE), module.__file__
    requires = importlib.metadata.requires("vorn-python")
    assert any(re.match(r"tbb\b", r) for r in requires), requires


def test_ghz_on_the_pool_from_vorn_python():
    n = 16  # past the 13 qubits from which gates run on the oneTBB pool
    c = ghz(n)
    c.measure_all()
    result = vorn_python.run(c, shots=400, seed=3)
    counts = result.counts()
    assert set(counts) <= {"0" * n, "1" * n} and sum(counts.values()) == 400
    assert min(counts.values()) > 100  # both outcomes, near half each
    p = result.probabilities()
    assert p[0] == p[-1] == pytest.approx(0.5, abs=1e-15)
    assert np.count_nonzero(p) == 2


def test_vorn_and_vorn_python_agree_bit_for_bit():
    n = 14
    a, b = vorn_python.Circuit(n), vorn.Circuit(n)
    for q in range(n):
        for c in (a, b):
            c.h(q)
            c.rx(0.1 + 0.07 * q, q)
    for q in range(n - 1):
        for c in (a, b):
            c.cx(q, q + 1)
            c.rz(0.3 * q - 1.0, q + 1)
    for c in (a, b):
        c.ccx(0, 5, 13)
        c.swap(2, 11)
    assert np.array_equal(vorn_python.run(a).statevector(), vorn.statevector(b))


def test_openqasm_reader_in_the_wheel():
    c = vorn.qasm2.loads(
        'OPENQASM 2.0; include "qelib1.inc"; qreg q[2]; creg c[2]; '
        "h q[0]; cx q[0],q[1]; measure q -> c;"
    )
    counts = vorn.run(c, shots=200, seed=5).counts()
    assert set(counts) <= {"00", "11"} and sum(counts.values()) == 200


def test_one_onetbb_from_the_tbb_package_beside_numpy_and_qiskit():
    import qiskit
    from qiskit.quantum_info import Statevector

    qc = qiskit.QuantumCircuit(14)
    qc.h(0)
    for q in range(13):
        qc.cx(q, q + 1)
    np.linalg.svd(np.ones((64, 64)))  # NumPy's BLAS loaded and used
    ours = vorn.statevector(vorn.from_qiskit(qc))  # 14 qubits: on the pool
    assert np.allclose(ours, Statevector(qc).data, atol=1e-12)

    loaded = mapped_tbb_files()
    tbb_package = {str(f.locate().resolve()) for f in importlib.metadata.files("tbb")}
    print(f"\noneTBB in /proc/self/maps: {sorted(loaded)} (tbb {importlib.metadata.version('tbb')})")
    assert len(loaded) == 1, loaded
    assert loaded <= tbb_package, "oneTBB mapped from outside the tbb package"


def _run_blocked(blocked, code):
    # A child interpreter in which importing the blocked packages fails.
    setup = "import sys\n" + "".join(f"sys.modules[{m!r}] = None\n" for m in blocked)
    return subprocess.run([sys.executable, "-c", setup + code], capture_output=True, text=True, timeout=120)


def test_vorn_runs_without_qiskit_and_cirq():
    done = _run_blocked(["qiskit", "cirq"], (
        "import vorn\n"
        "c = vorn.Circuit(2, 2); c.h(0); c.cx(0, 1); c.measure([0, 1], [0, 1])\n"
        "print(sorted(vorn.run(c, shots=50, seed=1).counts()))\n"
        "try:\n"
        "    vorn.to_qiskit(c)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    ))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0] == "['00', '11']"
    assert "vorn-python[qiskit]" in lines[1]


def test_vorn_python_runs_without_numpy():
    done = _run_blocked(["numpy"], (
        "import vorn_python as vp\n"
        "c = vp.Circuit(3); c.x(2); c.measure_all()\n"
        "print(vp.run(c, shots=10, seed=1).counts())\n"
    ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "{'100': 10}"
