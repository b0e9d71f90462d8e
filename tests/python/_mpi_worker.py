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


def main() -> None:
    mode, n, gates, seed, out = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
    import vorn.mpi
    from mpi4py import MPI

    comm = MPI.COMM_WORLD
    c = random_circuit(n, gates, seed)
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
