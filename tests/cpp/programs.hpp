// Test helpers: a Program from gate names of the standard table, every
// angle the same (used by the branching and trajectory tests), dynamic
// steps by kind, and a generic (unnormalised) state.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace vorn::sim::test_programs {

inline Program program_of(std::uint64_t n, const std::vector<std::pair<const char*, std::vector<std::uint64_t>>>& gates,
                          double angle = 0.7) {
  Program p;
  p.n_qubits = n;
  for (const auto& [name, qubits] : gates) {
    const StandardGate* row = find_standard_gate(name);
    std::vector<double> angles(row->n_params, angle);
    p.gates.push_back(row->build(angles, qubits));
  }
  return p;
}

inline Step gates(std::uint64_t a, std::uint64_t b) { return {StepKind::Gates, a, b, 0, 0}; }
inline Step measure(std::uint64_t qubit, std::uint64_t clbit) { return {StepKind::Measure, qubit, clbit, 0, 0}; }
inline Step reset(std::uint64_t qubit) { return {StepKind::Reset, qubit, 0, 0, 0}; }
inline Step jump_unless(std::uint64_t to, std::uint64_t mask, std::uint64_t value) {
  return {StepKind::JumpUnless, to, 0, mask, value};
}
inline Step jump(std::uint64_t to) { return {StepKind::Jump, to, 0, 0, 0}; }

// Amplitudes in [-0.5, 0.5) from a xorshift stream keyed by `seed`.
inline StateVector random_state(std::uint64_t n, std::uint64_t seed) {
  StateVector s = StateVector::create(n);
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<double>(x >> 11) / 9007199254740992.0 - 0.5;
  };
  for (std::uint64_t i = 0; i < s.size(); ++i) s[i] = {next(), next()};
  return s;
}

}  // namespace vorn::sim::test_programs
