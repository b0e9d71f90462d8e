"""A circuit whose state vector is split over MPI ranks.

Run it on every rank with mpirun (a power-of-two rank count), e.g.

    mpirun -n 4 python -m mpi4py examples/vorn_mpi_run.py 20

Needs mpi4py and vorn built with MPI (`make test-mpi` sets up .venv so).
Every rank builds the same circuit and makes the same calls; counts come
back on rank 0, the state vector too (statevector() is collective).
"""

from __future__ import annotations

import sys

import vorn
import vorn.mpi
from mpi4py import MPI


def ghz_ladder(n: int) -> vorn.Circuit:
    c = vorn.Circuit(n)
    c.h(0)
    for q in range(n - 1):
        c.cx(q, q + 1)
    for q in range(n):
        c.ry(0.1 * (q + 1), q)
    c.measure_all()
    return c


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 12
    comm = MPI.COMM_WORLD
    c = ghz_ladder(n)
    if comm.Get_rank() == 0:
        per_rank = vorn.mpi.required_memory(c, 1000, comm=comm)
        print(f"{n} qubits on {comm.Get_size()} ranks: {per_rank} bytes per rank at the peak")
    result = vorn.mpi.run(c, shots=1000, seed=7, progress=comm.Get_rank() == 0 or None)
    state = result.statevector()  # collective: every rank calls it
    z = vorn.PauliSum.from_list([("Z" * n, 1.0)])
    parity = vorn.mpi.expval(c, z)
    if comm.Get_rank() == 0:
        top = sorted(result.counts().items(), key=lambda kv: -kv[1])[:4]
        print("most frequent outcomes:", top)
        print(f"<Z...Z> = {parity[0]:.6f}; exchanges: {result.exchanges}; |amp 0|^2 = {abs(state[0]) ** 2:.6f}")


if __name__ == "__main__":
    main()
