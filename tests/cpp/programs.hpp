// Test helper: a Program from gate names of the standard table, every
// angle the same (used by the branching and trajectory tests).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

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

}  // namespace vorn::sim::test_programs
