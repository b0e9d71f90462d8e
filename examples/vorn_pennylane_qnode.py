# A PennyLane QNode on vorn: the ground energy of a transverse-field Ising
# chain, an ansatz of PennyLane gates (BasicEntanglerLayers of RY and a CNOT ring,
# decomposed by PennyLane into gates vorn runs), trained with PennyLane's Adam optimiser on
# gradients from vorn's adjoint pass (diff_method="adjoint"); compared with
# the exact ground energy. Needs vorn's `pennylane` extra. Run by `make demo`.
import time

import numpy as np
import pennylane as qml
from pennylane import numpy as pnp

N, LAYERS, J, H_FIELD, STEPS = 8, 4, 1.0, 0.7, 200

# H = -J sum Z_i Z_{i+1} - h sum X_i (open chain)
H = qml.Hamiltonian([-J] * (N - 1) + [-H_FIELD] * N,
                    [qml.Z(i) @ qml.Z(i + 1) for i in range(N - 1)] + [qml.X(i) for i in range(N)])

dev = qml.device("vorn.qubit", wires=N)


@qml.qnode(dev, diff_method="adjoint")
def energy(weights):
    qml.BasicEntanglerLayers(weights, wires=range(N), rotation=qml.RY)
    return qml.expval(H)


def main():
    exact = float(np.linalg.eigvalsh(qml.matrix(H, wire_order=range(N)))[0])
    shape = qml.BasicEntanglerLayers.shape(n_layers=LAYERS, n_wires=N)
    weights = pnp.array(np.random.default_rng(5).uniform(-1.0, 1.0, shape), requires_grad=True)
    opt = qml.AdamOptimizer(stepsize=0.1)
    start = time.perf_counter()
    for step in range(STEPS + 1):
        weights, e = opt.step_and_cost(energy, weights)
        if step % 50 == 0:
            print(f"step {step:3d}  energy {float(e): .6f}")
    final = float(energy(weights))
    print(f"{N} wires, {weights.size} parameters, {STEPS} Adam steps in {time.perf_counter() - start:.1f} s")
    print(f"VQE energy {final:.6f}, exact ground energy {exact:.6f} (gap {final - exact:.2e})")


if __name__ == "__main__":
    main()
