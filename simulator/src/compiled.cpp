// Compiling circuits into the gate list a run executes, checking entries, and
// the one place that maps an entry's shape to its kernel.
#include "vorn/simulator/compiled.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "vorn/core/error.hpp"
#include "vorn/core/local_kernels.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

U bit(U q) { return q < 64 ? U{1} << q : 0; }

ControlSet control_set(const CompiledGate& g) { return {g.controls, g.control_values}; }

std::vector<Complex> flat(const Matrix2x2& m) { return {m.m00, m.m01, m.m10, m.m11}; }
std::vector<Complex> flat(const Matrix4x4& m) { return {m.m.begin(), m.m.end()}; }

// The entry's matrix in the state's precision.
template <class T>
std::span<const BasicComplex<T>> entries_of(const CompiledGate& g) {
  if constexpr (std::is_same_v<T, float>) {
    if (g.single_matrix.size() != g.matrix.size())
      vorn::fatal(messages::fill(messages::kNotRoundedToSingle, g.single_matrix.size(), g.matrix.size()));
    return g.single_matrix;
  } else {
    return g.matrix;
  }
}

template <class T>
BasicMatrix2x2<T> matrix_2x2_of(const CompiledGate& g) {
  const auto m = entries_of<T>(g);
  return {m[0], m[1], m[2], m[3]};
}

template <class T>
BasicMatrix4x4<T> matrix_4x4_of(const CompiledGate& g) {
  const auto m = entries_of<T>(g);
  BasicMatrix4x4<T> out;
  std::copy(m.begin(), m.begin() + 16, out.m.begin());
  return out;
}

template <class... Values>
[[noreturn]] void bad_entry(std::string_view pattern, const Values&... values) {
  vorn::fatal(messages::fill(pattern, values...));
}

}  // namespace

U CompiledGate::qubit_mask() const noexcept {
  U mask = 0;
  for (U q : targets) mask |= bit(q);
  for (U q : controls) mask |= bit(q);
  return mask;
}

Matrix2x2 CompiledGate::matrix_2x2() const noexcept { return {matrix[0], matrix[1], matrix[2], matrix[3]}; }

Matrix4x4 CompiledGate::matrix_4x4() const noexcept {
  Matrix4x4 m{};
  std::copy_n(matrix.begin(), 16, m.m.begin());
  return m;
}

std::optional<CompiledGate> compile_gate(GateKind kind, double theta, std::span<const U> q) {
  if (q.size() != gate_info(kind).n_qubits)
    bad_entry(messages::kCompiledOperandCount, gate_info(kind).name, gate_info(kind).n_qubits);
  const Matrix2x2 x = vorn::matrix_2x2(GateKind::X, 0.0);
  switch (kind) {
    case GateKind::CX:
      // A control equal to its target selects no pair.
      if (q[0] == q[1]) return std::nullopt;
      return CompiledGate{Shape::MultiControlled, {q[1]}, {q[0]}, ~U{0}, flat(x)};
    case GateKind::CZ:
      if (q[0] == q[1]) {
        // Both local bits are the one qubit: the 2x2 corner [[m00, m03], [m30, m33]].
        const Matrix4x4 m = cz_matrix();
        return CompiledGate{Shape::Single, {q[0]}, {}, ~U{0}, {m.at(0, 0), m.at(0, 3), m.at(3, 0), m.at(3, 3)}};
      }
      return CompiledGate{Shape::TwoQubit, {q[0], q[1]}, {}, ~U{0}, flat(cz_matrix())};
    case GateKind::SWAP:
      if (q[0] == q[1]) return std::nullopt;
      return CompiledGate{Shape::TwoQubit, {q[0], q[1]}, {}, ~U{0}, flat(swap_matrix())};
    case GateKind::CCX:
      return CompiledGate{Shape::DoublyControlled, {q[2]}, {q[0], q[1]}, ~U{0}, flat(x)};
    case GateKind::CSWAP:
      return CompiledGate{Shape::ControlledSwap, {q[1], q[2]}, {q[0]}, ~U{0}, {}};
    default:
      return CompiledGate{Shape::Single, {q[0]}, {}, ~U{0}, flat(vorn::matrix_2x2(kind, theta))};
  }
}

Program compile(const Circuit& circuit) {
  Program program;
  program.n_qubits = circuit.n_qubits();
  for (const Operation& op : circuit.operations()) {
    const GateOp* g = std::get_if<GateOp>(&op);
    if (g == nullptr) {
      // Measurement entries only mark that the run samples; wherever they
      // stand, the gates after them are applied and nothing collapses.
      program.samples = true;
      continue;
    }
    if (static_cast<std::size_t>(g->kind) >= kGateKindCount) {
      vorn::fatal(messages::fill(messages::kUnknownGateKind, static_cast<unsigned>(g->kind)));
    }
    std::span<const U> operands(g->qubits.data(), std::min<std::size_t>(g->n_qubits, g->qubits.size()));
    if (auto entry = compile_gate(g->kind, g->theta, operands)) {
      validate(*entry, program.n_qubits);
      program.gates.push_back(std::move(*entry));
    }
  }
  return program;
}

void validate(const CompiledGate& g, U n_qubits) {
  auto expect_counts = [&](std::size_t targets, std::size_t controls, const char* shape) {
    if (g.targets.size() != targets || (controls != SIZE_MAX && g.controls.size() != controls))
      bad_entry(messages::kCompiledCounts, shape, g.targets.size(), g.controls.size());
  };
  auto expect_matrix = [&](std::size_t entries) {
    if (g.matrix.size() != entries)
      bad_entry(messages::kCompiledMatrixSize, g.matrix.size(), entries);
  };
  bool repeats_allowed = false;
  switch (g.shape) {
    case Shape::Single:
      expect_counts(1, 0, "single-qubit gate");
      expect_matrix(4);
      break;
    case Shape::MultiControlled:
      expect_counts(1, SIZE_MAX, "controlled gate");
      expect_matrix(4);
      break;
    case Shape::DoublyControlled:
      expect_counts(1, 2, "doubly-controlled gate");
      expect_matrix(4);
      repeats_allowed = true;
      break;
    case Shape::TwoQubit:
      expect_counts(2, SIZE_MAX, "two-qubit gate");
      expect_matrix(16);
      break;
    case Shape::ControlledSwap:
      expect_counts(2, 1, "controlled swap");
      expect_matrix(0);
      repeats_allowed = true;
      break;
    case Shape::Diagonal:
    case Shape::Dense: {
      const std::size_t k = g.targets.size();
      if (k == 0 || k > kMaxGateTargets)
        bad_entry(messages::kCompiledTargetCount, k, kMaxGateTargets);
      const std::size_t dim = std::size_t{1} << k;
      expect_matrix(g.shape == Shape::Diagonal ? dim : dim * dim);
      break;
    }
    default:
      bad_entry(messages::kCompiledUnknownShape, static_cast<unsigned>(g.shape));
  }
  if (g.controls.size() > 64) bad_entry(messages::kCompiledTooManyControls);
  U seen = 0;
  auto check = [&](U q) {
    if (q >= n_qubits) bad_entry(messages::kCompiledQubitOutOfRange, q, n_qubits);
    if (!repeats_allowed && (seen & bit(q))) bad_entry(messages::kCompiledQubitRepeated, q);
    seen |= bit(q);
  };
  for (U q : g.controls) check(q);
  for (U q : g.targets) check(q);
}

namespace {

template <class T>
void apply_gate_to(BasicStateVector<T>& state, const CompiledGate& g) {
  const auto& t = g.targets;
  switch (g.shape) {
    case Shape::Single:
      apply_single_qubit_gate(state, matrix_2x2_of<T>(g), t[0]);
      return;
    case Shape::MultiControlled:
      if (g.controls.size() == 1 && (g.control_values & 1)) {
        apply_controlled_gate(state, matrix_2x2_of<T>(g), g.controls[0], t[0]);
      } else {
        apply_multi_controlled_gate(state, matrix_2x2_of<T>(g), control_set(g), t[0]);
      }
      return;
    case Shape::DoublyControlled:
      apply_doubly_controlled_gate(state, matrix_2x2_of<T>(g), g.controls[0], g.controls[1], t[0]);
      return;
    case Shape::TwoQubit:
      if (g.controls.empty()) {
        apply_two_qubit_gate(state, matrix_4x4_of<T>(g), t[0], t[1]);
      } else {
        apply_controlled_two_qubit_gate(state, matrix_4x4_of<T>(g), control_set(g), t[0], t[1]);
      }
      return;
    case Shape::ControlledSwap:
      apply_controlled_swap(state, g.controls[0], t[0], t[1]);
      return;
    case Shape::Diagonal:
      apply_diagonal_gate(state, entries_of<T>(g), control_set(g), t);
      return;
    case Shape::Dense:
      apply_dense_gate(state, entries_of<T>(g), control_set(g), t);
      return;
  }
  vorn::fatal(messages::fill(messages::kUnknownGateShape, static_cast<unsigned>(g.shape)));
}

template <class T>
void apply_gate_local_to(BasicComplex<T>* amp, U n_local, const CompiledGate& g) {
  const auto& t = g.targets;
  switch (g.shape) {
    case Shape::Single:
      local::apply_single_qubit_gate(amp, n_local, matrix_2x2_of<T>(g), t[0]);
      return;
    case Shape::MultiControlled:
      if (g.controls.size() == 1 && (g.control_values & 1)) {
        local::apply_controlled_gate(amp, n_local, matrix_2x2_of<T>(g), g.controls[0], t[0]);
      } else {
        local::apply_multi_controlled_gate(amp, n_local, matrix_2x2_of<T>(g), control_set(g), t[0]);
      }
      return;
    case Shape::DoublyControlled:
      local::apply_doubly_controlled_gate(amp, n_local, matrix_2x2_of<T>(g), g.controls[0], g.controls[1], t[0]);
      return;
    case Shape::TwoQubit:
      if (g.controls.empty()) {
        local::apply_two_qubit_gate(amp, n_local, matrix_4x4_of<T>(g), t[0], t[1]);
      } else {
        local::apply_controlled_two_qubit_gate(amp, n_local, matrix_4x4_of<T>(g), control_set(g), t[0], t[1]);
      }
      return;
    case Shape::ControlledSwap:
      local::apply_controlled_swap(amp, n_local, g.controls[0], t[0], t[1]);
      return;
    case Shape::Diagonal:
      local::apply_diagonal_gate(amp, n_local, entries_of<T>(g), control_set(g), t);
      return;
    case Shape::Dense:
      local::apply_dense_gate(amp, n_local, entries_of<T>(g), control_set(g), t);
      return;
  }
  vorn::fatal(messages::fill(messages::kUnknownGateShape, static_cast<unsigned>(g.shape)));
}

}  // namespace

void apply_gate(StateVector& state, const CompiledGate& g) { apply_gate_to(state, g); }
void apply_gate(SingleStateVector& state, const CompiledGate& g) { apply_gate_to(state, g); }
void apply_gate_local(Complex* amp, U n_local, const CompiledGate& g) { apply_gate_local_to(amp, n_local, g); }
void apply_gate_local(SingleComplex* amp, U n_local, const CompiledGate& g) { apply_gate_local_to(amp, n_local, g); }

void round_to_single(std::vector<CompiledGate>& gates) {
  for (CompiledGate& g : gates) {
    g.single_matrix.resize(g.matrix.size());
    std::transform(g.matrix.begin(), g.matrix.end(), g.single_matrix.begin(),
                   [](const Complex& c) { return to_single(c); });
  }
}

}  // namespace vorn::sim
