"""Run by test_vorn_mpi.py under mpirun: one distributed run of a random
circuit, whose results rank 0 writes to an .npz file for the test to compare
with the single-machine run. Also the circuits both sides build."""

from __future__ import annotations

import json
import sys

import numpy as np

import vorn
from vorn import _ext


def random_circuit(n: int, gates: int, seed: int) -> vorn.Circuit:
    """Every standard gate and unitaries on up to 3 qubits, random operands
    and angles, then measure_all (the same circuit for the same arguments)."""
    rng = np.random.default_rng(seed)
    table = [row for row in _ext.standard_gates()]
    c = vorn.Circuit(n)
    c.global_phase = 0.3
    while len(c.data) < gates:
        pick = int(rng.integers(len(table) + 1))
        if pick == len(table):
            k = int(rng.integers(1, 4))
            m = np.linalg.qr(rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k)))[0]
            c.unitary(m, [int(q) for q in rng.permutation(n)[:k]])
            continue
        row = table[pick]
        name, arity, n_params = row["name"], row["num_qubits"], row["num_params"]
        angles = [float(a) for a in rng.uniform(-3.2, 3.2, size=n_params)]
        width = arity if arity else int(rng.integers(1, 4))
        qubits = [int(q) for q in rng.permutation(n)[:width]]
        if name in ("mcx", "mcp"):
            getattr(c, name)(*angles, qubits[:-1], qubits[-1])
        else:
            getattr(c, name)(*angles, *qubits)
    c.measure_all()
    return c


def observables(n: int) -> list[vorn.PauliSum]:
    labels = ["X" * n, "Z" * n, ("XY" * n)[:n], ("IZXY" * n)[:n], "Y" + "I" * (n - 1)]
    return [vorn.PauliSum.from_list([(label, 0.5 + i) for i, label in enumerate(labels)]),
            vorn.PauliSum.from_list([(labels[1], 1.0), (labels[3], -2.0)])]


def ansatz(n: int) -> vorn.Circuit:
    """A layered circuit with 2n parameters, measured at the end."""
    c = vorn.Circuit(n)
    thetas = [vorn.Parameter(f"t{i}") for i in range(2 * n)]
    for q in range(n):
        c.h(q)
        c.ry(thetas[q], q)
    for q in range(n - 1):
        c.cx(q, q + 1)
    for q in range(n):
        c.rz(thetas[n + q] * 0.5 + 0.1, q)
    c.measure_all()
    return c


def sweep_values(n: int, rows: int) -> np.ndarray:
    return np.random.default_rng(rows).uniform(-3, 3, size=(rows, 2 * n))


def hamiltonian(n: int) -> list[vorn.PauliSum]:
    return [vorn.PauliSum.from_list([("Z" * n, 1.0), (("XY" * n)[:n], -0.5), ("I" * (n - 1) + "X", 0.25)]),
            vorn.PauliSum.from_list([(("ZI" * n)[:n], 2.0)])]


def noise_model() -> object:
    model = vorn.noise.NoiseModel()
    model.add_all_qubit_error(vorn.noise.depolarizing(0.1), ["ry"])
    return model


def sweep_outputs(n: int, rows: int, seed: int, comm: object = None) -> dict[str, object]:
    """Every comm= path of a sweep (or the single machine's, comm None), as plain data."""
    c, values, obs = ansatz(n), sweep_values(n, rows), hamiltonian(n)
    kw = {} if comm is None else {"comm": comm}
    runs = vorn.run(c, 300, seed=seed, params=values, memory=True, **kw)
    out: dict[str, object] = {
        "counts": [r.counts() for r in runs],
        "memory": [r.get_memory() for r in runs],
        "states": [r.statevector().tobytes() for r in runs],
        "expval": vorn.expval(c, obs, params=values, **kw).tobytes(),
        "variance": vorn.variance(c, obs, params=values, **kw).tobytes(),
        "noisy": [a.tobytes() for a in vorn.expval(c, obs, params=values, noise=noise_model(), trajectories=20,
                                                   seed=seed, **kw)],
        "noisy_counts": [r.counts() for r in vorn.run(c, 50, seed=seed, params=values, noise=noise_model(), **kw)],
        "grad": [a.tobytes() for a in vorn.value_and_grad(c, obs[0], values, **kw)],
        "jacobian": vorn.jacobian(c, obs, values, **kw).tobytes(),
        "one_row": vorn.expval(c, obs, params=values[0], **kw).tobytes(),
    }
    if comm is not None:
        out["splits"] = sorted({runs.split, vorn.expval(c, obs, params=values, **kw).split})
    return out


def main() -> None:
    mode, n, gates, seed, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    import pickle

    import vorn.mpi
    from mpi4py import MPI
    from vorn.execution import distributed

    comm = MPI.COMM_WORLD
    if mode in ("sweep", "sweep-state"):
        # gates is the number of rows here: not a multiple of the rank count.
        if mode == "sweep-state":
            distributed._FORCE = "state"
            c, values, obs = ansatz(n), sweep_values(n, gates), hamiltonian(n)
            runs = vorn.run(c, 300, seed=seed, params=values, comm=comm)
            got = {"counts": [r.counts() for r in runs], "split": runs.split,
                   "states": [r.statevector() for r in runs],
                   "expval": vorn.expval(c, obs, params=values, comm=comm)}
        else:
            got = sweep_outputs(n, gates, seed, comm)
        everywhere = comm.allgather(pickle.dumps(got))
        if comm.Get_rank() == 0:
            with open(out, "wb") as f:
                pickle.dump({"got": got, "same_on_every_rank": len(set(everywhere)) == 1}, f)
        return
    if mode == "fail-in-sweep":
        # Rank 1's share of a comm= sweep raises: every rank must end.
        def broken(done: int, total: int) -> None:
            raise RuntimeError("progress callback failed on purpose")
        c = ansatz(n)
        vorn.run(c, 10, seed=1, params=sweep_values(n, 4), comm=comm,
                 progress=broken if comm.Get_rank() == 1 else None)
        vorn.run(c, 10, seed=1, params=sweep_values(n, 4), comm=comm)
        return
    if mode == "catch-in-sweep":
        # A ValueError in rank 1's share only: every rank gets it, none is aborted.
        def refuses(done: int, total: int) -> None:
            raise ValueError("rank 1 refuses its rows")
        try:
            vorn.expval(ansatz(n), hamiltonian(n), params=sweep_values(n, 4), comm=comm,
                        progress=refuses if comm.Get_rank() == 1 else None)
            caught = "nothing"
        except ValueError as exc:
            caught = str(exc)
        everywhere = comm.allgather(caught)
        after = vorn.expval(ansatz(n), hamiltonian(n), params=sweep_values(n, 4), comm=comm)  # still usable
        if comm.Get_rank() == 0:
            with open(out, "wb") as f:
                pickle.dump({"caught": everywhere, "after": after.tobytes()}, f)
        return
    c = random_circuit(n, gates, seed)
    if mode == "front":
        # The same run through vorn's own entry points with comm=.
        r = vorn.run(c, 4000, seed=seed, comm=comm)
        state = vorn.statevector(c, comm=comm)
        values = vorn.expval(c, observables(n), comm=comm)
        per_rank = vorn.required_memory(c, 4000, comm=comm)
        from vorn import _mpi_ext
        from vorn.execution.lowering import gate_lists

        # What the scale model reads: the plan's exchange count without running it.
        planned = _mpi_ext.plan_counts(_mpi_ext.compile_program(*gate_lists(c), True), comm.Get_size())[0]
        if comm.Get_rank() == 0:
            np.savez(out, state=state, values=values, counts=json.dumps(r.counts()), exchanges=r.exchanges,
                     split=r.split, per_rank=per_rank, planned=planned,
                     alias=vorn.mpi.required_memory(c, 4000, comm=comm))
        else:
            assert state is None and r.counts() is None
        return
    if mode == "fail-on-rank-1":
        # A progress callback that raises on rank 1 only: every rank must end.
        def progress(done: int, total: int) -> None:
            raise RuntimeError("progress callback failed on purpose")
        vorn.mpi.run(c, 10, seed=1, progress=progress if comm.Get_rank() == 1 else None)
        vorn.mpi.run(c, 10, seed=1).statevector()
        return
    r = vorn.mpi.run(c, 4000, seed=seed, exchange_bytes=64)
    state = r.statevector()
    values = vorn.mpi.expval(c, observables(n), exchange_bytes=64)
    if comm.Get_rank() == 0:
        np.savez(out, state=state, values=values, counts=json.dumps(r.counts()), exchanges=r.exchanges)
    else:
        assert state is None and r.counts() is None


if __name__ == "__main__":
    main()
