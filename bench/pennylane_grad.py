#!/usr/bin/env python3
"""vorn's PennyLane device against lightning.qubit: qml.grad of a QNode with
diff_method="adjoint", 20 wires, 10 layers of RY and RZ on every wire and a
CNOT ladder (400 parameters), the expectation value of a 50-term Pauli
Hamiltonian (the problem and QNode of compare_params.py's grad cell, run on
each device by name). Each device runs in a fresh worker process with the
same thread count T (RAYON_NUM_THREADS = OMP_NUM_THREADS = T); the time is
the best of `--repeat` calls after one warm-up call in each of `--rounds`
rounds (the devices take turns), PennyLane's own work per
call (preprocessing, the autograd pass) included for both. The gradients must
agree to 1e-9. Results go to bench/results/pennylane.md.
"""
from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from compare_params import CELLS, against, in_worker, lightning_cell, problem, report, write_table  # noqa: E402

RESULTS = Path(__file__).resolve().parent / "results" / "pennylane.md"
DEVICES = ("vorn.qubit", "lightning.qubit")


def worker(device: str, repeat: int) -> None:
    spec = CELLS["grad"]
    labels, coeffs, values = problem(spec["n"], spec["layers"], spec["terms"], spec["bindings"])
    report(lightning_cell("grad", spec["n"], spec["layers"], labels, coeffs, values, device=device), repeat)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--worker", metavar="DEVICE")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker, args.repeat)
        return
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads), OMP_NUM_THREADS=str(args.threads))
    found: dict[str, dict] = {}
    loads = [os.getloadavg()[0]]
    # The devices take turns, round after round (the best time of each kept),
    # so that a change in the machine's load reaches both alike.
    for _ in range(args.rounds):
        for device in DEVICES:
            r = in_worker(__file__, [device], args.repeat, env)
            if r is not None and (device not in found or r["seconds"] < found[device]["seconds"]):
                found[device] = r
        loads.append(os.getloadavg()[0])
    rows = []
    for device, r in found.items():
        ref = found.get("lightning.qubit")
        diff = against(r, ref)[1]
        ratio = "" if ref is None else f"{r['seconds'] / ref['seconds']:.2f}"
        rows.append((device, f"{r['seconds']:.3f}", ratio, diff))
        print(f"{device:16s} {r['seconds']:8.3f} s  time / lightning's {ratio:5s} max diff {diff}")
    if len(found) == len(DEVICES):
        worst = np.max(np.abs(np.subtract(*(found[d]["answer"] for d in DEVICES))))
        if worst > 1e-9:
            raise SystemExit(f"the gradients differ by {worst:.1e} (more than 1e-9)")
    write_table(RESULTS, ["# vorn.qubit against lightning.qubit in PennyLane", "",
                          f"qml.grad, diff_method=\"adjoint\", 20 wires, 400 parameters, 50-term Hamiltonian; "
                          f"{args.threads} threads, best of {args.rounds} rounds x {args.repeat} calls; 1-minute "
                          f"load average {min(loads):.2f}-{max(loads):.2f} during the run."],
                ["device", "seconds", "time / lightning.qubit's", "max gradient diff to lightning.qubit"], rows)


if __name__ == "__main__":
    main()
