"""The distributed state against one process on the same machine: a
26-qubit circuit run by 2 MPI ranks of 1 thread each and by one process of
2 threads; wall time of the simulation, peak memory per process, and the
bytes each rank sends per gate. Needs the MPI build in .venv (make
test-mpi). Results in bench/results/mpi.md.

    .venv/bin/python bench/mpi_bench.py [--qubits 26] [--layers 4] [--repeat 3]
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import time
from pathlib import Path


def circuit(n: int, layers: int):
    import vorn

    c = vorn.Circuit(n)
    for layer in range(layers):
        for q in range(n):
            c.ry(0.1 + 0.01 * (q + layer), q)
            c.rz(0.2 + 0.01 * q, q)
        for q in range(layer % 2, n - 1, 2):
            c.cx(q, q + 1)
        c.h(n - 1)  # the top qubit is global with 2 ranks
    return c


def worker(mode: str, n: int, layers: int) -> None:
    import vorn

    c = circuit(n, layers)
    if mode == "single":
        start = time.perf_counter()
        vorn.statevector(c)
        elapsed = time.perf_counter() - start
        stats = {"seconds": elapsed, "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                 "gates": len(c.data)}
    else:
        import vorn.mpi
        from mpi4py import MPI

        comm = MPI.COMM_WORLD
        comm.Barrier()
        start = time.perf_counter()
        r = vorn.mpi.run(c, shots=0)
        comm.Barrier()
        elapsed = time.perf_counter() - start
        mine = {"seconds": elapsed, "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                "bytes_sent": r.bytes_sent, "exchanges": r.exchanges, "gates": len(c.data),
                "required": vorn.mpi.required_memory(c, ranks=comm.Get_size())}
        everyone = comm.gather(mine, root=0)
        if comm.Get_rank() != 0:
            return
        stats = {"ranks": everyone}
    print("RESULT " + json.dumps(stats), flush=True)


def run(cmd: list[str], threads: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True).stdout
    return json.loads(next(line for line in out.splitlines() if line.startswith("RESULT "))[7:])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--qubits", type=int, default=26)
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--worker", choices=["single", "mpi"])
    args = ap.parse_args()
    if args.worker:
        worker(args.worker, args.qubits, args.layers)
        return
    me = [sys.executable, __file__, "--qubits", str(args.qubits), "--layers", str(args.layers)]
    mpirun = [shutil.which("mpirun") or "mpirun", "--oversubscribe", "--allow-run-as-root", "-n", "2"]
    single_runs, mpi_runs = [], []
    for _ in range(args.repeat):
        single_runs.append(run(me + ["--worker", "single"], 2))
        mpi_runs.append(run(mpirun + me + ["--worker", "mpi"], 1))
    single = min(single_runs, key=lambda s: s["seconds"])
    best = min(mpi_runs, key=lambda s: max(r["seconds"] for r in s["ranks"]))
    ranks = best["ranks"]
    t_single, t_mpi = single["seconds"], max(r["seconds"] for r in ranks)
    peak_single = single["peak_kib"] / 1024
    peak_rank = max(r["peak_kib"] for r in ranks) / 1024
    gates = ranks[0]["gates"]
    per_gate = sum(r["bytes_sent"] for r in ranks) / len(ranks) / gates
    lines = [
        f"# Distributed state: {args.qubits} qubits, {gates} gates (best of {args.repeat})",
        "",
        "| run | seconds | peak RSS per process (MiB) |",
        "| --- | --- | --- |",
        f"| 1 process x 2 threads | {t_single:.3f} | {peak_single:.0f} |",
        f"| 2 ranks x 1 thread | {t_mpi:.3f} | {peak_rank:.0f} |",
        "",
        f"- time ratio (2 ranks / 1 process): {t_mpi / t_single:.2f} (bar: <= 1.5)",
        f"- peak memory ratio (per rank / 1 process): {peak_rank / peak_single:.2f} (bar: <= 0.55)",
        f"- exchanges: {ranks[0]['exchanges']}; bytes sent per rank per gate: {per_gate / 2**20:.2f} MiB "
        f"({per_gate:.0f} B); per exchange: {ranks[0]['bytes_sent'] / max(1, ranks[0]['exchanges']) / 2**20:.0f} MiB",
        f"- vorn.mpi.required_memory per rank: {ranks[0]['required'] / 2**20:.0f} MiB",
        "",
        "Peak RSS includes the interpreter, NumPy and the MPI library in each process.",
        f"Load average when done: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores (other jobs shift the times).",
    ]
    text = "\n".join(lines) + "\n"
    print(text)
    out = Path(__file__).parent / "results" / "mpi.md"
    out.write_text(text)


if __name__ == "__main__":
    main()
