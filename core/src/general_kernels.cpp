// The general gates (any controls, diagonal, dense k-qubit, global phase):
// a plain reference walk over the state, one amplitude group at a time.
#include <string>
#include <vector>

#include "kernel_runs.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/core/operations.hpp"

namespace vorn {
namespace {

using U = std::uint64_t;

struct Masks {
  U want = 0;   // control bits that must be set
  U check = 0;  // every control bit
  U targets = 0;
};

Masks masks_of(U n_local, ControlSet controls, std::span<const U> targets) {
  Masks m;
  const U size = U{1} << n_local;
  U seen = 0;
  auto take = [&](U q) {
    if (q >= n_local) index_out_of_range(q < 64 ? U{1} << q : UINT64_MAX, size);
    if (seen >> q & 1) fatal("repeated operand " + std::to_string(q) + " in one gate");
    seen |= U{1} << q;
  };
  for (std::size_t i = 0; i < controls.qubits.size(); ++i) {
    const U q = controls.qubits[i];
    take(q);
    m.check |= U{1} << q;
    if (controls.values >> i & 1) m.want |= U{1} << q;
  }
  for (U q : targets) {
    take(q);
    m.targets |= U{1} << q;
  }
  return m;
}

// Offsets of the 2^k local states of the targets, local bit j = targets[j].
std::vector<U> offsets_of(std::span<const U> targets) {
  std::vector<U> off(U{1} << targets.size(), 0);
  for (U r = 0; r < off.size(); ++r)
    for (std::size_t j = 0; j < targets.size(); ++j)
      if (r >> j & 1) off[r] |= U{1} << targets[j];
  return off;
}

void dense(Complex* amp, U n_local, std::span<const Complex> matrix, ControlSet controls,
           std::span<const U> targets) {
  const Masks m = masks_of(n_local, controls, targets);
  const std::vector<U> off = offsets_of(targets);
  const U dim = off.size();
  if (matrix.size() != dim * dim) fatal("dense gate matrix has the wrong size");
  DefaultFpEnv fp_env;
  std::vector<Complex> a(dim);
  const U size = U{1} << n_local;
  for (U b = 0; b < size; ++b) {
    if ((b & m.targets) != 0 || (b & m.check) != m.want) continue;
    for (U s = 0; s < dim; ++s) a[s] = amp[b | off[s]];
    for (U r = 0; r < dim; ++r) {
      Complex acc = cmul(matrix[r * dim], a[0]);
      for (U s = 1; s < dim; ++s) acc = cadd(acc, cmul(matrix[r * dim + s], a[s]));
      amp[b | off[r]] = acc;
    }
  }
}

void diagonal(Complex* amp, U n_local, std::span<const Complex> diag, ControlSet controls,
              std::span<const U> targets) {
  const Masks m = masks_of(n_local, controls, targets);
  const std::vector<U> off = offsets_of(targets);
  if (diag.size() != off.size()) fatal("diagonal gate has the wrong size");
  DefaultFpEnv fp_env;
  const U size = U{1} << n_local;
  for (U b = 0; b < size; ++b) {
    if ((b & m.targets) != 0 || (b & m.check) != m.want) continue;
    for (U r = 0; r < off.size(); ++r) amp[b | off[r]] = cmul(diag[r], amp[b | off[r]]);
  }
}

std::span<const Complex> flat(const Matrix2x2& m) { return {&m.m00, 4}; }

}  // namespace

namespace local {

void apply_multi_controlled_gate(Complex* amp, U n_local, const Matrix2x2& matrix, ControlSet controls, U target) {
  const U t[1] = {target};
  dense(amp, n_local, flat(matrix), controls, t);
}
void apply_controlled_two_qubit_gate(Complex* amp, U n_local, const Matrix4x4& matrix, ControlSet controls,
                                     U qubit0, U qubit1) {
  const U t[2] = {qubit0, qubit1};
  dense(amp, n_local, matrix.m, controls, t);
}
void apply_diagonal_gate(Complex* amp, U n_local, std::span<const Complex> d, ControlSet controls,
                         std::span<const U> targets) {
  diagonal(amp, n_local, d, controls, targets);
}
void apply_dense_gate(Complex* amp, U n_local, std::span<const Complex> matrix, ControlSet controls,
                      std::span<const U> targets) {
  dense(amp, n_local, matrix, controls, targets);
}

}  // namespace local

void apply_multi_controlled_gate(StateVector& state, const Matrix2x2& matrix, ControlSet controls, U target) {
  local::apply_multi_controlled_gate(state.data(), state.n_qubits(), matrix, controls, target);
}
void apply_controlled_two_qubit_gate(StateVector& state, const Matrix4x4& matrix, ControlSet controls, U qubit0,
                                     U qubit1) {
  local::apply_controlled_two_qubit_gate(state.data(), state.n_qubits(), matrix, controls, qubit0, qubit1);
}
void apply_diagonal_gate(StateVector& state, std::span<const Complex> d, ControlSet controls,
                         std::span<const U> targets) {
  local::apply_diagonal_gate(state.data(), state.n_qubits(), d, controls, targets);
}
void apply_dense_gate(StateVector& state, std::span<const Complex> matrix, ControlSet controls,
                      std::span<const U> targets) {
  local::apply_dense_gate(state.data(), state.n_qubits(), matrix, controls, targets);
}
void apply_global_phase(StateVector& state, const Complex& phase) {
  DefaultFpEnv fp_env;
  Complex* amp = state.data();
  for (U i = 0; i < state.size(); ++i) amp[i] = cmul(phase, amp[i]);
}

}  // namespace vorn
