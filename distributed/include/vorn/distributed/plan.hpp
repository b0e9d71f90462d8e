// Planning a compiled gate list for a state split over 2^k ranks. Physical
// qubit positions 0 .. n_local-1 are the index bits inside a rank's part;
// positions n_local .. n-1 are the rank's bits. Where each logical qubit sits
// changes as global qubits are swapped with local ones; the plan says when
// (the fewest exchanges it can find) and renames every gate's operands to
// physical positions. No MPI here: the executor (engine.hpp) runs the plan.
#pragma once

#include <cstdint>
#include <span>
#include <optional>
#include <vector>

#include "vorn/simulator/compiled.hpp"

namespace vorn::dist {

// One step of a plan, in order.
struct Step {
  enum class Kind : std::uint8_t {
    Gates,      // gates[begin, end) of Plan::gates, operands physical
    Exchange,   // swap global position `global_pos` with local position `local_pos` (rank pairs trade data)
    LocalSwap,  // swap local positions a and b inside every rank (data movement only)
  };
  Kind kind = Kind::Gates;
  std::uint64_t a = 0;  // Gates: begin; Exchange: global position; LocalSwap: first position
  std::uint64_t b = 0;  // Gates: end; Exchange: local position; LocalSwap: second position
};

struct Plan {
  std::uint64_t n_qubits = 0;
  std::uint64_t n_local = 0;
  std::vector<sim::CompiledGate> gates;  // the program's gates with physical operands
  std::vector<Step> steps;
  // Exchanges in the plan (each moves half of every rank's part).
  std::uint64_t exchanges = 0;
};

// The logical qubits a gate needs among the local positions: its targets
// (none for a diagonal), and every operand of the shapes that allow repeated
// operands. Controls elsewhere select ranks instead.
std::uint64_t needs_local(const sim::CompiledGate& gate) noexcept;

// Plans `gates` on n_qubits split into 2^(n_qubits - n_local) parts. The plan
// ends with the identity layout (logical qubit q at position q), so rank r
// holds amplitudes r * 2^n_local .. (r + 1) * 2^n_local - 1 in order.
// FatalError when a gate needs more local qubits than a rank has.
Plan plan_gates(std::span<const sim::CompiledGate> gates, std::uint64_t n_qubits, std::uint64_t n_local);

// The gate as rank `rank` applies it to its part (operands physical, those at
// global positions resolved by the rank's bits): nullopt when a control on a
// global position excludes this rank; a diagonal loses its global targets
// (the entries this rank's bits select). Each amplitude then sees the same
// arithmetic as in the whole-state kernel.
std::optional<sim::CompiledGate> localize(const sim::CompiledGate& gate, std::uint64_t n_local, std::uint64_t rank);

}  // namespace vorn::dist
