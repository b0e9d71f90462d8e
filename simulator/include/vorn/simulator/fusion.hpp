// Opt-in gate fusion: consecutive compiled gates merged into one dense gate.
// Not exact (a fused gate's matrix is a product of the gates' matrices, so
// amplitudes differ from the gate-by-gate path by rounding), hence never on
// the default path; a fused list still gives the same bits on any thread
// count and instruction set, as every compiled gate does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vorn/simulator/compiled.hpp"

namespace vorn::sim {

// Fused gates act on at most this many qubits unless a caller asks otherwise
// (chosen by benchmark: bench/fusion_bench.cpp).
inline constexpr unsigned kDefaultFusionQubits = 3;

// A plan: the gates in the order they run, in steps. Step s is members(s)
// (ascending indices into the gate list) merged into one gate on qubits(s)
// (bit j of its matrix index is qubits(s)[j]; a Diagonal gate when
// `diagonal`), or, with one member, that gate as it is.
struct FusionStep {
  std::size_t first = 0, count = 1;        // its members: order[first, first + count)
  std::size_t first_qubit = 0, width = 0;  // its qubits: qubits[first_qubit, first_qubit + width)
  bool diagonal = false;
};

// No steps: nothing merges, and the list runs as it is.
struct FusionPlan {
  std::vector<FusionStep> steps;
  std::vector<std::size_t> order;
  std::vector<std::uint64_t> qubits;

  std::span<const std::size_t> members(const FusionStep& s) const { return {order.data() + s.first, s.count}; }
  std::span<const std::uint64_t> qubits_of(const FusionStep& s) const {
    return {qubits.data() + s.first_qubit, s.width};
  }
};

// Which gates merge. Runs stay open on disjoint qubits, so a gate can join
// the run(s) it touches across gates on other qubits (which commute with
// it); it joins when the run's qubits stay within max_qubits (any number up
// to kMaxGateTargets while every member is diagonal) and the merged gate,
// forming its matrix included, costs less than the runs as they stand plus
// the gate apart. A run is emitted when a gate touching it cannot join, or
// at the end: merged when that costs less than its gates apart, else gate by
// gate. Costs are counted on a register of n_qubits: the passes over its
// amplitudes, the kernel calls and their set-up, forming each product once,
// and copying the list when anything merges; below 12 qubits nothing merges
// (planning alone costs more than merging could save). n_qubits = 0 leaves
// the register's size, the calls and the forming out and compares the
// passes' work per amplitude alone (the plan of a register too large for the
// rest to matter). max_qubits is clamped to [1, kMaxGateTargets].
FusionPlan plan_fusion(std::span<const CompiledGate> gates, unsigned max_qubits, std::uint64_t n_qubits);

// The list a plan describes: each merged step one Diagonal (every member
// diagonal), Single, TwoQubit or Dense gate whose matrix is the product of
// the members in order, computed by their own kernels on the basis vectors;
// the other gates as they are. The entries are valid (compiled and checked).
std::vector<CompiledGate> fused_list(std::span<const CompiledGate> gates, const FusionPlan& plan);

// fused_list(gates, plan_fusion(gates, max_qubits, n_qubits)).
std::vector<CompiledGate> fuse_gates(std::span<const CompiledGate> gates, unsigned max_qubits = kDefaultFusionQubits,
                                     std::uint64_t n_qubits = 0);

}  // namespace vorn::sim
