# An OpenQASM 2 file run with shots: counts printed, the most likely outcomes
# plotted to a PNG. Run by `make demo`; needs matplotlib.
#
#   python examples/vorn_qasm_plot.py [file.qasm] [--shots N] [--top K] [--out plot.png]
import argparse
import os

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt

import vorn
import vorn.qasm2

HERE = os.path.dirname(os.path.abspath(__file__))


def plot_counts(counts, shots, title, path, top):
    """Bar plot of the `top` most frequent outcomes, with their shares."""
    best = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:top]
    labels = [key for key, _ in best]
    shares = [n / shots for _, n in best]
    fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    bars = ax.bar(labels, shares, color="#3b6ea5")
    ax.bar_label(bars, labels=[f"{s:.3f}" for s in shares], padding=2, fontsize=9)
    ax.set_ylim(0, max(shares) * 1.15)
    ax.set_ylabel(f"share of {shots} shots")
    ax.set_xlabel("outcome (clbit 0 rightmost)")
    ax.set_title(title)
    ax.tick_params(axis="x", labelrotation=45 if max(map(len, labels)) > 6 else 0)
    for label in ax.get_xticklabels():
        label.set_fontfamily("monospace")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description="Run an OpenQASM 2 file with shots; plot the likeliest outcomes.")
    parser.add_argument("qasm", nargs="?", default=os.path.join(HERE, "grover5.qasm"))
    parser.add_argument("--shots", type=int, default=4000)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--top", type=int, default=10)
    parser.add_argument("--out", default="vorn_qasm_counts.png")
    args = parser.parse_args()

    circuit = vorn.qasm2.load(args.qasm)
    result = vorn.run(circuit, shots=args.shots, seed=args.seed)
    counts = result.counts()
    name = os.path.basename(args.qasm)
    print(f"{name}: {circuit.num_qubits} qubits, {len(circuit)} instructions, {args.shots} shots")
    for key, n in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[: args.top]:
        print(f"  {key}  {n:5d}  {n / args.shots:.3f}")
    if len(counts) > args.top:
        rest = args.shots - sum(sorted(counts.values(), reverse=True)[: args.top])
        print(f"  ({len(counts) - args.top} other outcomes: {rest} shots)")
    plot_counts(counts, args.shots, f"{name}: the {min(args.top, len(counts))} most likely outcomes",
                args.out, args.top)
    print(f"plot saved to {args.out}")


if __name__ == "__main__":
    main()
