"""A model on paper of the split state at scale: time and memory per rank
for n qubits on R ranks (one rank per node), from the plan's exchange count
(vorn._mpi_ext.plan_counts: the same planner the runs use, no MPI call and no
state allocated) and each exchange's volume (half of every rank's part, sent
and received), with a given network bandwidth and per-node memory bandwidth.

    time per rank = gates * 2 * part_bytes / memory_bw            (each gate streams the part in and out)
                  + exchanges * (part_bytes / 2 / network_bw       (full duplex: send and receive at once)
                                 + messages * latency)             (messages of at most exchange_bytes)
    memory per rank = vorn._mpi_ext.required_memory (part, exchange buffer, blocking scratch, sampler)

The gate term is an upper bound for kernels that sweep the part once per
gate; the measured single-process time calibrates it (``--calibrate``
divides the 26-qubit figure of bench/results/mpi.md by the model's, so the
check against the 2-rank figure there is a prediction, not a fit). Needs
the MPI build (make test-mpi); prints a Markdown table.

    .venv/bin/python bench/mpi_model.py [--network-gbs 12.5] [--memory-gbs 100] [--node-gib 256]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from mpi_bench import circuit  # noqa: E402

AMPLITUDE = 16  # complex128
EXCHANGE_BYTES = 16 << 20  # the default buffer: messages of at most this many bytes

# bench/results/mpi.md: 26 qubits, 4 layers (262 gates), 1 process x 2
# threads against 2 ranks x 1 thread on the 2-core machine.
MEASURED = {"qubits": 26, "layers": 4, "one_process_s": 15.362, "two_ranks_s": 18.543, "exchanges": 5}


def plan(n: int, layers: int, ranks: int) -> tuple[int, int, int, int]:
    """(exchanges, local swaps, gates, bytes per rank) of the bench circuit's plan."""
    import vorn._mpi_ext as ext
    from vorn.execution.lowering import gate_lists

    program = ext.compile_program(*gate_lists(circuit(n, layers)), False)
    exchanges, swaps, gates = ext.plan_counts(program, ranks)
    return int(exchanges), int(swaps), int(gates), int(ext.required_memory(program, 0, ranks, 0))


def model(n: int, ranks: int, layers: int, network_bw: float, memory_bw: float, latency: float,
          gate_factor: float = 1.0) -> dict[str, float]:
    exchanges, swaps, gates, memory = plan(n, layers, ranks)
    part = AMPLITUDE << (n - (ranks.bit_length() - 1))
    gate_s = gate_factor * (gates + swaps) * 2 * part / memory_bw
    volume = part // 2 if ranks > 1 else 0
    messages = -(-volume // EXCHANGE_BYTES)
    exchange_s = exchanges * (volume / network_bw + messages * latency)
    return {"exchanges": exchanges, "gates": gates, "gate_s": gate_s, "exchange_s": exchange_s,
            "total_s": gate_s + exchange_s, "memory": memory, "volume": volume}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--network-gbs", type=float, default=12.5, help="per node, each way (100 Gb/s: 12.5)")
    ap.add_argument("--memory-gbs", type=float, default=100.0, help="per node's memory bandwidth")
    ap.add_argument("--latency-us", type=float, default=2.0, help="per message")
    ap.add_argument("--node-gib", type=float, default=256.0, help="memory per node, to flag what does not fit")
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--calibrate", type=float, default=None,
                    help="this machine's memory GB/s for the check (default: fitted to the 1-process figure)")
    args = ap.parse_args()
    net, mem, lat = args.network_gbs * 1e9, args.memory_gbs * 1e9, args.latency_us * 1e-6

    # The check against the figures measured here (2 cores, one memory bus shared by both ranks).
    m = MEASURED
    one = model(m["qubits"], 1, m["layers"], net, 1e9, 0.0)
    here_bw = args.calibrate * 1e9 if args.calibrate else one["gate_s"] * 1e9 / m["one_process_s"]
    # Two ranks on one machine: each has half the part but half the bus; exchanges are memory copies.
    two = model(m["qubits"], 2, m["layers"], here_bw / 2, here_bw / 2, 0.0)
    print(f"## Check against bench/results/mpi.md ({m['qubits']} qubits, {m['layers']} layers)\n")
    print(f"- effective memory bandwidth fitted to 1 process x 2 threads: {here_bw / 1e9:.1f} GB/s")
    print(f"- plan exchanges at 2 ranks: {two['exchanges']} (measured {m['exchanges']})")
    print(f"- 2 ranks x 1 thread: model {two['total_s']:.2f} s (gates {two['gate_s']:.2f}, exchanges "
          f"{two['exchange_s']:.2f}); measured {m['two_ranks_s']:.2f} s\n")

    print(f"## {args.layers} layers, network {args.network_gbs} GB/s, memory {args.memory_gbs} GB/s per node, "
          f"{args.latency_us} us per message; one rank per node\n")
    print("| qubits | nodes | exchanges | GiB per rank | gates s | exchanges s | total s | fits |")
    print("| --- | --- | --- | --- | --- | --- | --- | --- |")
    for n in range(32, 45, 2):
        for nodes in (16, 64, 256, 1024):
            r = model(n, nodes, args.layers, net, mem, lat)
            gib = r["memory"] / 2**30
            print(f"| {n} | {nodes} | {r['exchanges']} | {gib:.1f} | {r['gate_s']:.2f} | {r['exchange_s']:.2f} | "
                  f"{r['total_s']:.2f} | {'yes' if gib <= args.node_gib else 'no'} |")


if __name__ == "__main__":
    main()
