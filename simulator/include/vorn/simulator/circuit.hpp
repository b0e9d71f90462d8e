// The circuit model: a qubit count and an append-only list of operations.
// Built by the Python Circuit class; the engine reads a private deep copy.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "vorn/simulator/legacy_gates.hpp"

namespace vorn::sim {

struct GateOp {
  GateKind kind;
  double theta = 0.0;                      // meaningful for RX, RY, RZ only
  std::array<std::uint64_t, 3> qubits{};   // operands in recorded order
  std::uint8_t n_qubits = 0;               // == gate_info(kind).n_qubits
};

struct MeasureOp {
  std::uint64_t qubit;
  std::uint64_t cbit;  // stored, never read by a run
};

struct MeasureAllOp {};

using Operation = std::variant<GateOp, MeasureOp, MeasureAllOp>;

class Circuit {
 public:
  explicit Circuit(std::uint64_t n_qubits) noexcept : n_qubits_(n_qubits) {}

  std::uint64_t n_qubits() const noexcept { return n_qubits_; }
  const std::vector<Operation>& operations() const noexcept { return operations_; }

  // Appends one Gate entry. `qubits` must hold gate_info(kind).n_qubits
  // operands. The first operand >= n_qubits fails with the out-of-range fatal
  // error naming it; nothing is appended then.
  void add_gate(GateKind kind, std::span<const std::uint64_t> qubits, double theta = 0.0);
  void measure(std::uint64_t qubit, std::uint64_t cbit);
  void measure_all();

  // Deep copy (the run works on one).
  Circuit copy() const { return *this; }

 private:
  std::uint64_t n_qubits_;
  std::vector<Operation> operations_;
};

}  // namespace vorn::sim
