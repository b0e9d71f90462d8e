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
inline constexpr unsigned kDefaultFusionQubits = 4;

// The list with runs of consecutive gates merged: a gate joins the run
// before it when their qubits together are at most max_qubits and the dense
// product costs no more arithmetic per amplitude than the gates apart (or
// adds no qubit). A run of one gate, or one still cheaper apart, stays as it
// was; a longer run becomes
// one Single, TwoQubit or Dense gate on the run's qubits whose matrix is the
// product of the run's gates, in order, computed by their own kernels on the
// basis vectors. The entries are valid (compiled and checked); max_qubits is
// clamped to [1, kMaxGateTargets].
std::vector<CompiledGate> fuse_gates(std::span<const CompiledGate> gates, unsigned max_qubits = kDefaultFusionQubits);

}  // namespace vorn::sim
