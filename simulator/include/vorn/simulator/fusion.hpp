// Opt-in gate fusion: consecutive compiled gates merged into one dense gate.
// Not exact (a fused gate's matrix is a product of the gates' matrices, so
// amplitudes differ from the gate-by-gate path by rounding), hence never on
// the default path; a fused list still gives the same bits on any thread
// count and instruction set, as every compiled gate does.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorn/simulator/compiled.hpp"

namespace vorn::sim {

// Fused gates act on at most this many qubits unless a caller asks otherwise
// (chosen by benchmark: bench/fusion_bench.cpp).
inline constexpr unsigned kDefaultFusionQubits = 3;

// The list with runs of gates merged. Runs stay open on disjoint qubits, so
// a gate can join the run(s) it touches across gates on other qubits (which
// commute with it); it joins when the run's qubits stay within max_qubits
// (any number up to kMaxGateTargets while every member is diagonal) and the
// merged gate costs no more per amplitude than the runs as they stand plus
// the gate apart. A run is emitted when a gate touching it cannot join, or
// at the end: as it was when it has one gate or is cheaper apart, else as
// one Diagonal (all members diagonal), Single, TwoQubit or Dense gate on the
// run's qubits whose matrix is the product of the run's gates in order,
// computed by their own kernels on the basis vectors. The entries are valid
// (compiled and checked); max_qubits is clamped to [1, kMaxGateTargets].
std::vector<CompiledGate> fuse_gates(std::span<const CompiledGate> gates, unsigned max_qubits = kDefaultFusionQubits);

}  // namespace vorn::sim
