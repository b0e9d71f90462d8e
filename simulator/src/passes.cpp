// Rewrites of dynamic programs (see passes.hpp).
#include "vorn/simulator/passes.hpp"

#include <span>
#include <stdexcept>

#include "vorn/simulator/messages.hpp"

namespace vorn::sim {

Program fuse_dynamic_steps(const Program& program, DynamicSteps& dynamic, unsigned max_qubits,
                           std::uint64_t weighed_qubits) {
  Program out;
  out.n_qubits = program.n_qubits;
  out.global_phase = program.global_phase;
  out.samples = program.samples;
  for (std::size_t s = 0; s < dynamic.steps.size(); ++s) {
    Step& step = dynamic.steps[s];
    if (step.kind != StepKind::Gates) continue;
    if (step.a > step.b || step.b > program.gates.size()) {
      throw std::invalid_argument(messages::fill(messages::kInvalidStep, s, static_cast<unsigned>(step.kind)));
    }
    std::vector<CompiledGate> fused =
        fuse_gates(std::span<const CompiledGate>(program.gates).subspan(step.a, step.b - step.a), max_qubits,
                   weighed_qubits);
    step.a = out.gates.size();
    for (CompiledGate& g : fused) out.gates.push_back(std::move(g));
    step.b = out.gates.size();
  }
  return out;
}

}  // namespace vorn::sim
