# Energy landscape of a transverse-field Ising chain under a one-layer QAOA
# ansatz, with vorn.expval, next to the exact ground-state energy; saves a
# heat map. Run by `make demo` (writes build/examples/ising_landscape.png).
import math
import pathlib
import sys
import time

import numpy as np

import vorn

N, J, H_FIELD = 8, 1.0, 0.7  # chain length, coupling, transverse field


def hamiltonian():
    """H = -J sum Z_i Z_{i+1} - h sum X_i (open chain), as a PauliSum."""
    terms = [("ZZ", [i, i + 1], -J) for i in range(N - 1)]
    terms += [("X", [i], -H_FIELD) for i in range(N)]
    return vorn.PauliSum.from_sparse_list(terms, num_qubits=N)


def ansatz(gamma, beta):
    """|+...+>, then e^{-i gamma ZZ} on each bond and e^{-i beta X} on each site."""
    c = vorn.Circuit(N)
    for q in range(N):
        c.h(q)
    for i in range(N - 1):
        c.rzz(2 * gamma, i, i + 1)
    for q in range(N):
        c.rx(2 * beta, q)
    return c


def exact_ground_energy():
    """Smallest eigenvalue of the 2^N x 2^N matrix (qubit 0 least significant)."""
    x = np.array([[0, 1], [1, 0]])
    z = np.diag([1, -1])

    def on(op, sites):
        m = np.array([[1.0]])
        for q in reversed(range(N)):  # Kronecker order: qubit N-1 first
            m = np.kron(m, op if q in sites else np.eye(2))
        return m

    h = sum(-J * on(z, {i, i + 1}) for i in range(N - 1)) + sum(-H_FIELD * on(x, {q}) for q in range(N))
    return float(np.linalg.eigvalsh(h)[0])


def main():
    ham = hamiltonian()
    gammas = np.linspace(-math.pi / 2, math.pi / 2, 41)
    betas = np.linspace(-math.pi / 2, math.pi / 2, 41)
    start = time.perf_counter()
    energy = np.array([[vorn.expval(ansatz(g, b), [ham])[0] for b in betas] for g in gammas])
    elapsed = time.perf_counter() - start
    i, j = np.unravel_index(np.argmin(energy), energy.shape)
    exact = exact_ground_energy()
    print(f"{energy.size} energies of a {N}-site chain in {elapsed:.2f} s")
    print(f"best one-layer energy {energy[i, j]:.6f} at gamma={gammas[i]:.3f}, beta={betas[j]:.3f}")
    print(f"exact ground-state energy {exact:.6f} (the ansatz reaches {energy[i, j] / exact:.1%} of it)")

    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 5))
    mesh = ax.pcolormesh(betas, gammas, energy, shading="auto", cmap="viridis")
    ax.plot(betas[j], gammas[i], "r*", markersize=14, label=f"minimum {energy[i, j]:.3f}")
    ax.set_xlabel("beta")
    ax.set_ylabel("gamma")
    ax.set_title(f"<H> of a {N}-site transverse-field Ising chain (exact E0 = {exact:.3f})")
    ax.legend(loc="upper right")
    fig.colorbar(mesh, ax=ax, label="energy")
    out = pathlib.Path("build/examples/ising_landscape.png")
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"saved {out}")


if __name__ == "__main__":
    main()
