// Rewrites of a dynamic program (branching.hpp's steps, with the noisy runs'
// Channel steps) made once before any engine runs it.
#pragma once

#include "vorn/simulator/step_walk.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/fusion.hpp"

namespace vorn::sim {

// The program with the gates of each Gates step fused (fuse_gates, at most
// max_qubits per fused gate), and `dynamic`'s Gates steps re-indexed to their
// fused gates, in step order. Nothing is fused across a step boundary: a
// measurement, reset, condition or channel sees the state exactly where the
// unfused program has it (up to the fused gates' rounding). Every other step
// is left as it is (jumps name steps, whose count does not change). Throws
// std::invalid_argument (validate's text) for a Gates step out of range.
// weighed_qubits is the register fusion's cost model weighs each step on
// (plan_fusion's n_qubits: a run passes its own, so a step merges only where
// that pays, as a plain run's list does; 0 compares the work per amplitude
// alone).
Program fuse_dynamic_steps(const Program& program, DynamicSteps& dynamic,
                           unsigned max_qubits = kDefaultFusionQubits, std::uint64_t weighed_qubits = 0);

}  // namespace vorn::sim
