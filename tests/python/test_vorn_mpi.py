"""vorn.mpi: the state vector split over MPI ranks gives the single-machine
bits (statevector, counts for the seed, expectation values) on 1, 2 and 4
ranks; an exception on one rank ends every rank; without mpi4py or the MPI
build, ``import vorn`` still works and vorn.mpi says what is missing."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vorn

sys.path.insert(0, str(Path(__file__).parent))
from _mpi_worker import observables, random_circuit  # noqa: E402

HAVE_MPI = importlib.util.find_spec("mpi4py") is not None and importlib.util.find_spec("vorn._mpi_ext") is not None
needs_mpi = pytest.mark.skipif(not HAVE_MPI, reason="vorn built without MPI, or no mpi4py (make test-mpi)")
WORKER = Path(__file__).parent / "_mpi_worker.py"


def test_import_vorn_does_not_load_mpi() -> None:
    code = "import sys, vorn; print('vorn.mpi' in sys.modules, 'mpi4py' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "False"]


@pytest.mark.skipif(HAVE_MPI, reason="this installation has vorn.mpi")
def test_missing_mpi_is_named() -> None:
    with pytest.raises(ImportError, match="VORN_BUILD_MPI|pip install mpi4py"):
        import vorn.mpi  # noqa: F401


def _mpirun(ranks: int, *args: str, timeout: float = 240) -> subprocess.CompletedProcess[str]:
    mpirun = shutil.which("mpirun")
    assert mpirun is not None
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    return subprocess.run([mpirun, "--oversubscribe", "--allow-run-as-root", "-n", str(ranks), sys.executable,
                           str(WORKER), *args], capture_output=True, text=True, timeout=timeout, env=env)


@needs_mpi
@pytest.mark.parametrize("ranks", [1, 2, 4])
def test_distributed_run_matches_one_machine_bit_for_bit(ranks: int, tmp_path: Path) -> None:
    # 4 local qubits per rank: most gates touch a global qubit.
    n = 4 + ranks.bit_length() - 1
    out = tmp_path / "result.npz"
    proc = _mpirun(ranks, "compare", str(n), "80", "17", str(out))
    assert proc.returncode == 0, proc.stderr
    got = np.load(out)
    c = random_circuit(n, 80, 17)
    single = vorn.run(c, 4000, seed=17)
    assert got["state"].tobytes() == single.statevector().tobytes()
    assert json.loads(str(got["counts"])) == single.counts()
    want = vorn.expval(c, observables(n))  # the state before the measurements
    assert got["values"].tobytes() == want.tobytes()
    if ranks > 1:
        assert int(got["exchanges"]) > 0


@needs_mpi
def test_exception_on_one_rank_ends_every_rank(tmp_path: Path) -> None:
    proc = _mpirun(2, "fail-on-rank-1", "5", "30", "3", str(tmp_path / "unused.npz"), timeout=120)
    assert proc.returncode != 0
    assert "rank 1 of 2 failed: RuntimeError: progress callback failed on purpose" in proc.stderr


@needs_mpi
def test_in_process_single_rank_and_arguments() -> None:
    import vorn.mpi

    c = random_circuit(5, 40, 2)
    r = vorn.mpi.run(c, 500, seed=9)
    single = vorn.run(c, 500, seed=9)
    assert r.counts() == single.counts()
    assert r.statevector().tobytes() == single.statevector().tobytes()
    assert r.exchanges == 0
    # Part, sampler share and no exchange buffer with one rank; a buffer with two.
    one = vorn.mpi.required_memory(c, 500, ranks=1)
    two = vorn.mpi.required_memory(c, 500, ranks=2)
    assert one >= 16 * 2**5 and two >= 16 * 2**4 and two < one
    with pytest.raises(ValueError, match="power of two"):
        vorn.mpi.required_memory(c, ranks=3)
    with pytest.raises(ValueError, match="cannot be split over 64 ranks"):
        vorn.mpi.required_memory(c, ranks=64)
    with pytest.raises(TypeError, match="communicator"):
        vorn.mpi.run(c, comm=object())
    with pytest.raises(TypeError, match="vorn.Circuit"):
        vorn.mpi.run("not a circuit")
    with pytest.raises(ValueError, match="exchange_bytes"):
        vorn.mpi.run(c, exchange_bytes=-1)
