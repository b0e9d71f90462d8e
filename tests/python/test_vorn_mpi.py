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
@pytest.mark.parametrize("mode", ["compare", "front"])  # vorn.mpi's names, or comm= on vorn's own
@pytest.mark.parametrize("ranks", [1, 2, 4])
def test_distributed_run_matches_one_machine_bit_for_bit(ranks: int, mode: str, tmp_path: Path) -> None:
    # 4 local qubits per rank: most gates touch a global qubit.
    n = 4 + ranks.bit_length() - 1
    out = tmp_path / "result.npz"
    proc = _mpirun(ranks, mode, str(n), "80", "17", str(out))
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
    if mode == "front":
        assert str(got["split"]) == "state"
        assert int(got["per_rank"]) == int(got["alias"]) > 0
        assert int(got["planned"]) == int(got["exchanges"])


@needs_mpi
@pytest.mark.parametrize(("mode", "ranks"), [("fail-on-rank-1", 2), ("fail-in-sweep", 4)])
def test_exception_on_one_rank_ends_every_rank(mode: str, ranks: int, tmp_path: Path) -> None:
    # In a split state's exchange, or while the other ranks wait to gather a sweep's rows.
    proc = _mpirun(ranks, mode, "5", "30", "3", str(tmp_path / "unused.npz"), timeout=120)
    assert proc.returncode != 0
    assert f"rank 1 of {ranks} failed: RuntimeError: progress callback failed on purpose" in proc.stderr


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


# ---- comm= on vorn's own entry points ------------------------------------------------------


class _NotAComm:
    """Stands in for a communicator where no MPI build exists to make one."""


@pytest.mark.skipif(HAVE_MPI, reason="this installation has the MPI build")
def test_comm_without_the_mpi_build_names_what_is_missing() -> None:
    from _mpi_worker import ansatz, hamiltonian

    c, obs = ansatz(2), hamiltonian(2)
    values = np.zeros((2, 4))
    calls = [lambda: vorn.run(c, 10, comm=_NotAComm()),
             lambda: vorn.run(c, 10, params=values, comm=_NotAComm()),
             lambda: vorn.statevector(c.assign_parameters(values[0]), comm=_NotAComm()),
             lambda: vorn.expval(c, obs, params=values, comm=_NotAComm()),
             lambda: vorn.variance(c, obs, params=values, comm=_NotAComm()),
             lambda: vorn.required_memory(c, comm=_NotAComm()),
             lambda: vorn.value_and_grad(c, obs[0], values, comm=_NotAComm()),
             lambda: vorn.jacobian(c, obs, values, comm=_NotAComm())]
    for call in calls:
        with pytest.raises(ImportError, match="VORN_BUILD_MPI"):
            call()
    assert "mpi4py" not in sys.modules


def test_ranks_needs_comm() -> None:
    with pytest.raises(ValueError, match="ranks= needs comm="):
        vorn.required_memory(vorn.Circuit(2), ranks=2)


def _sweep(ranks: int, mode: str, rows: int, tmp_path: Path) -> dict:
    import pickle

    out = tmp_path / "sweep.pkl"
    proc = _mpirun(ranks, mode, "3", str(rows), "41", str(out))
    assert proc.returncode == 0, proc.stderr
    with open(out, "rb") as f:
        return pickle.load(f)


@needs_mpi
@pytest.mark.parametrize("ranks", [1, 2, 4])
def test_sweeps_split_rows_between_ranks_bit_identical(ranks: int, tmp_path: Path) -> None:
    from _mpi_worker import sweep_outputs

    # 5 rows: blocks of unequal size on 2 and 4 ranks; 3 rows on 4 ranks leaves one idle.
    for rows in (5, 3) if ranks == 4 else (5,):
        got = _sweep(ranks, "sweep", rows, tmp_path)
        assert got["same_on_every_rank"]
        want = sweep_outputs(3, rows, 41)
        assert got["got"].pop("splits") == ["work"]
        assert got["got"] == want


@needs_mpi
@pytest.mark.parametrize("ranks", [2, 4])
def test_sweep_rows_too_large_for_a_rank_split_the_state(ranks: int, tmp_path: Path) -> None:
    from _mpi_worker import ansatz, hamiltonian, sweep_values

    got = _sweep(ranks, "sweep-state", 3, tmp_path)
    c, values = ansatz(3), sweep_values(3, 3)
    runs = vorn.run(c, 300, seed=41, params=values)
    assert got["got"]["split"] == "state"
    assert got["got"]["counts"] == [r.counts() for r in runs]
    assert [s.tobytes() for s in got["got"]["states"]] == [r.statevector().tobytes() for r in runs]
    assert got["got"]["expval"].tobytes() == vorn.expval(c, hamiltonian(3), params=values).tobytes()


@needs_mpi
def test_an_error_in_one_ranks_rows_is_raised_on_every_rank(tmp_path: Path) -> None:
    from _mpi_worker import ansatz, hamiltonian, sweep_values

    got = _sweep(4, "catch-in-sweep", 4, tmp_path)
    assert got["caught"][1] == "rank 1 refuses its rows"
    assert all(m == "rank 1 of 4 failed: ValueError: rank 1 refuses its rows" for i, m in
               enumerate(got["caught"]) if i != 1)
    assert got["after"] == vorn.expval(ansatz(3), hamiltonian(3), params=sweep_values(3, 4)).tobytes()


@needs_mpi
def test_sweeps_without_rows_keep_their_shapes() -> None:
    from _mpi_worker import ansatz, hamiltonian
    from mpi4py import MPI

    c, obs, none = ansatz(3), hamiltonian(3), np.zeros((0, 6))
    calls = [lambda **k: vorn.expval(c, obs, params=none, **k), lambda **k: vorn.variance(c, obs, params=none, **k),
             lambda **k: vorn.jacobian(c, obs, none, **k), lambda **k: vorn.value_and_grad(c, obs[0], none, **k)[1]]
    for call in calls:
        assert call(comm=MPI.COMM_WORLD).shape == call().shape
    assert len(vorn.run(c, 10, seed=1, params=none, comm=MPI.COMM_WORLD)) == 0


@needs_mpi
def test_options_the_split_state_cannot_serve_are_refused_by_name() -> None:
    from mpi4py import MPI

    comm = MPI.COMM_WORLD
    c = random_circuit(3, 20, 5)
    obs = observables(3)
    refused = [(lambda: vorn.run(c, 10, memory=True, comm=comm), "memory=True"),
               (lambda: vorn.run(c, 10, fusion=True, comm=comm), "fusion=True"),
               (lambda: vorn.statevector(c, precision="single", comm=comm), "precision='single'"),
               (lambda: vorn.run(c, 10, threads=1, comm=comm), "threads="),
               (lambda: vorn.variance(c, obs, comm=comm), "variance=True"),
               (lambda: vorn.expval(c, obs, trajectories=4, comm=comm), "trajectories="),
               (lambda: vorn.expval(vorn.statevector(c), obs, comm=comm), "a given state vector")]
    dynamic = vorn.Circuit(2, 1)
    dynamic.h(0)
    dynamic.measure(0, 0)
    dynamic.x(1)
    dynamic.reset(0)
    refused.append((lambda: vorn.run(dynamic, 10, comm=comm), "measures in the middle"))
    for call, option in refused:
        with pytest.raises(ValueError, match="comm=") as err:
            call()
        assert option in str(err.value)
    with pytest.raises(TypeError, match="communicator"):
        vorn.run(c, comm=object())
