// The loop over a sweep's bindings, shared by the sweeps (parametric.cpp) and
// the adjoint gradients (adjoint.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vorn/core/parallel.hpp"
#include "vorn/simulator/parametric.hpp"

namespace vorn::sim {

// Throws FatalError unless values holds bindings x n_params entries.
void check_sweep_values(const ParametricProgram& pp, std::size_t values, std::size_t bindings);

// How many bindings run at once: the pool's threads side by side, else one.
std::size_t sweep_tasks(SweepMode mode, const ParametricProgram& pp, std::size_t bindings);

// Runs body(b, program) for every binding b, with `program` that binding's
// bound program: side by side, each task with a program of its own and its
// loops on its own thread, or one binding after another with the pool's loops.
// Progress counts `steps` per binding.
template <class Body>
void for_each_binding(const ParametricProgram& pp, std::span<const double> values, std::size_t bindings,
                      std::uint64_t steps, RunControl* control, SweepMode mode, Body&& body) {
  const std::size_t width = pp.n_params;
  check_sweep_values(pp, values.size(), bindings);
  if (control != nullptr) control->set_total(static_cast<std::uint64_t>(bindings) * steps);
  if (!side_by_side(mode, pp.program.n_qubits, bindings)) {
    Program program = pp.program;
    for (std::size_t b = 0; b < bindings; ++b) {
      if (control != nullptr) control->check();
      bind(pp, values.subspan(b * width, width), program);
      body(b, program);
    }
    return;
  }
  auto chunk = [&](std::uint64_t begin, std::uint64_t end) {
    const ThreadLimit one(1);
    Program program = pp.program;
    for (std::uint64_t b = begin; b < end; ++b) {
      if (control != nullptr) control->check();
      bind(pp, values.subspan(b * width, width), program);
      body(static_cast<std::size_t>(b), program);
    }
  };
  parallel_for(bindings, 1, chunk);
}

}  // namespace vorn::sim
