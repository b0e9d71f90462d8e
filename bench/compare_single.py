#!/usr/bin/env python3
"""Single precision against double and against Qiskit Aer's single precision.

The workloads of compare.py (h_layers, qft, random) at 24 and 26 qubits. Each
(simulator, workload, n) cell runs in a fresh worker process with the same
thread count T for everyone (RAYON_NUM_THREADS = OMP_NUM_THREADS = T, Aer also
max_parallel_threads = T):

  vorn-double  vorn.statevector(c)
  vorn-single  vorn.statevector(c, precision="single")
  aer-single   AerSimulator(method="statevector", precision="single") with
               save_statevector, run(qc).result() (its gate fusion on, as by default)

Each worker first runs once untimed and compares its amplitudes with vorn's
double-precision state (max |difference|, reported), then times `--repeat`
runs; wall and CPU seconds (all threads) of the fastest are reported with the
1-minute load average at the cell's start, since the machine may be shared.
Results go to bench/results/compare-single.md.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare import BUILDERS  # noqa: E402  (the peer comparison's gate lists)

RESULTS = Path(__file__).resolve().parent / "results" / "compare-single.md"
WORKLOADS = ("h_layers", "qft", "random")
SIMS = ("vorn-double", "vorn-single", "aer-single")


def vorn_circuit(n, ops):
    import vorn

    c = vorn.Circuit(n)
    for gate, params, qubits in ops:
        getattr(c, gate)(*params, *qubits)
    return c


def worker(sim, workload, n, threads, repeat):
    import numpy as np
    import vorn

    ops = [op for op in BUILDERS[workload](n) if op[0] != "measure_all"]
    c = vorn_circuit(n, ops)
    if sim.startswith("vorn"):
        precision = sim.split("-")[1]
        run = lambda: vorn.statevector(c, precision=precision)
    else:
        import qiskit
        import qiskit_aer

        qc = qiskit.QuantumCircuit(n)
        for gate, params, qubits in ops:
            getattr(qc, gate)(*params, *qubits)
        qc.save_statevector()
        aer = qiskit_aer.AerSimulator(method="statevector", precision="single", max_parallel_threads=threads)
        run = lambda: np.asarray(aer.run(qc).result().get_statevector())
    state = run()
    dtype = str(state.dtype)
    diff = 0.0
    if sim != "vorn-double":
        exact = vorn.statevector(c)
        for b in range(0, exact.size, 1 << 20):  # in slices: no full-size temporary
            diff = max(diff, float(np.max(np.abs(state[b:b + (1 << 20)] - exact[b:b + (1 << 20)]))))
        del exact
    del state
    best = None
    for _ in range(repeat):
        c0, t0 = time.process_time(), time.perf_counter()
        out = run()
        wall, cpu = time.perf_counter() - t0, time.process_time() - c0
        del out
        if best is None or wall < best[0]:
            best = (wall, cpu)
    print(json.dumps({"sim": sim, "workload": workload, "n": n, "wall": best[0], "cpu": best[1],
                      "max_diff": diff, "dtype": dtype}))


def cell(sim, workload, n, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads))
    load = os.getloadavg()[0]
    p = subprocess.run([sys.executable, __file__, "--worker", sim, workload, str(n), "--threads", str(args.threads),
                        "--repeat", str(args.repeat)], env=env, capture_output=True, text=True)
    lines = [ln for ln in p.stdout.splitlines() if ln.startswith("{")]
    if p.returncode != 0 or not lines:
        return {"sim": sim, "workload": workload, "n": n, "error": (p.stderr.strip().splitlines() or ["?"])[-1],
                "load": load}
    return dict(json.loads(lines[-1]), load=load)


def report(results, args):
    by = {(r["sim"], r["workload"], r["n"]): r for r in results}
    lines = ["# Single precision: vorn double, vorn single, Aer single", "",
             f"{args.threads} threads; best of {args.repeat} runs after one untimed run; seconds wall (CPU of all "
             "threads); load = 1-minute load average at the cell's start (the machine may be shared); "
             "diff = max |amplitude - vorn double|.", "",
             "| workload | n | vorn double | vorn single | Aer single | single/double (CPU) | single/Aer (CPU) "
             "| diff single | diff Aer | load |", "|---|---|---|---|---|---|---|---|---|---|"]
    for workload in WORKLOADS:
        for n in args.sizes:
            d, s, a = (by.get((sim, workload, n), {}) for sim in SIMS)
            fmt = lambda r: f"{r['wall']:.2f} ({r['cpu']:.2f})" if "wall" in r else r.get("error", "–")
            ratio = lambda x, y: f"{x['cpu'] / y['cpu']:.2f}" if "cpu" in x and "cpu" in y else "–"
            loads = "/".join(f"{r['load']:.1f}" for r in (d, s, a) if "load" in r)
            lines.append(f"| {workload} | {n} | {fmt(d)} | {fmt(s)} | {fmt(a)} | {ratio(s, d)} | {ratio(s, a)} | "
                         f"{s.get('max_diff', float('nan')):.1e} | {a.get('max_diff', float('nan')):.1e} | {loads} |")
    RESULTS.write_text("\n".join(lines) + "\n")
    print("\n".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--worker", nargs=3, metavar=("SIM", "WORKLOAD", "N"))
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--sizes", type=int, nargs="+", default=[24, 26])
    ap.add_argument("--workloads", nargs="+", default=list(WORKLOADS), choices=WORKLOADS)
    args = ap.parse_args()
    if args.worker:
        sim, workload, n = args.worker
        worker(sim, workload, int(n), args.threads, args.repeat)
        return
    results = []
    for n in args.sizes:
        for workload in args.workloads:
            for sim in SIMS:
                r = cell(sim, workload, n, args)
                print(json.dumps(r), flush=True)
                results.append(r)
    report(results, args)


if __name__ == "__main__":
    main()
