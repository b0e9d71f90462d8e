// A circuit given as flat lists (the vorn package's lowering: names, operand
// counts, operands, angles, unitary matrices) built into the engine's
// Program in one call, not one call per gate. Both Python extensions (the
// vorn package's and its MPI module) convert their arrays and call this.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/compiled.hpp"

namespace vorn::sim {

// A unitary's entries, row-major, with the shape its array had (any
// number of dimensions: the shape is part of what is checked).
struct MatrixView {
  std::span<const Complex> entries;
  std::vector<std::uint64_t> shape;
};

// names[g] is gate g's name; it takes arity[g] operands from `qubits`, its
// row's parameter count from `params` and, for "unitary", the next entry of
// `matrices`. Every list must be used up exactly.
struct GateLists {
  std::uint64_t n_qubits = 0;
  std::span<const std::string> names;
  std::span<const std::uint64_t> arity;
  std::span<const std::uint64_t> qubits;
  std::span<const double> params;
  std::span<const MatrixView> matrices;
  double global_phase = 0.0;
  bool samples = false;
};

// What build_program refuses: an operand out of range (kind Index) or
// anything else about the lists (kind Value); the bindings raise IndexError
// or ValueError with the message.
class ProgramError : public std::invalid_argument {
 public:
  enum class Kind { Value, Index };
  ProgramError(Kind kind, const std::string& message) : std::invalid_argument(message), kind_(kind) {}
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// The Program of the lists. Throws ProgramError; FatalError(OutOfMemory)
// passes through.
Program build_program(const GateLists& lists);

// A `unitary` entry on `operands`, its shape and unitarity checked by the
// simulator's one rule; throws ProgramError (kind Value) naming what is wrong.
CompiledGate build_unitary(const MatrixView& matrix, std::span<const std::uint64_t> operands);

}  // namespace vorn::sim
