// Message texts vorn._ext raises itself (the engine's own texts come from
// the simulator's messages header and pass through unchanged). The Python
// package checks its arguments first, so most of these guard the internal
// calls against a caller that skipped those checks. messages::fill replaces
// the "{}" holes in turn.
#pragma once

#include <string_view>

#include "vorn/core/messages.hpp"

namespace vorn::ext::messages {

using vorn::messages::fill;

// Program.matrix(): {qubits}
inline constexpr std::string_view kMatrixTooWide = "a matrix is formed for at most 10 qubits, got {}";

// run_program: {qubits}, {log2 of the bytes}
inline constexpr std::string_view kStateTooLarge = "a state of {} qubits needs 2^{} bytes";
// run_program, expval: {threads asked for}, {the pool's size}
inline constexpr std::string_view kThreads =
    "threads must be between 1 and the pool's size {} (RAYON_NUM_THREADS), got {}";
// every call taking a RunRequest: {the limit}, {asked for}
inline constexpr std::string_view kFusionQubits =
    "fusion_qubits must be between 0 (off) and {} (MAX_GATE_TARGETS), got {}";
// adjoint_gradients
inline constexpr std::string_view kGradientRequest =
    "adjoint_gradients runs the gates as compiled on a complex128 state: the request's single_precision and "
    "fusion_qubits must be off";

// expval
inline constexpr std::string_view kTermArrays =
    "x_masks, z_masks and coeffs must have one entry per term, offsets at least one";
inline constexpr std::string_view kOffsets = "offsets must ascend within the terms";

// compile_parametric, sweeps and gradients
inline constexpr std::string_view kSlotArrays = "compile_parametric: the angle slot arrays do not fit together";
inline constexpr std::string_view kSweepMode = "mode must be 0 (auto), 1 (side by side) or 2 (one after another)";
// {rows}, {columns}, {parameters}
inline constexpr std::string_view kValuesShape =
    "parameter values of shape ({}, {}): expected (bindings, {}), one column per parameter";
// run_dynamic, dynamic_required_memory
inline constexpr std::string_view kStepWords = "steps must hold five integers per step and finals two per pair";
inline constexpr std::string_view kStepKind = "unknown dynamic step kind";
// run_noisy, expval_noisy
inline constexpr std::string_view kChannelArrays = "the noise channel arrays do not fit together";

// qasm2_parse, qasm2_parse_file
inline constexpr std::string_view kInstructionType = "instruction_type must be a tuple subclass";
inline constexpr std::string_view kPathBytes = "paths are passed as bytes (os.fsencode)";

// counts_dict
inline constexpr std::string_view kTallyLength = "outcomes and tally differ in length";
inline constexpr std::string_view kClbitRange = "counts_dict takes clbits and qubits below 64";

}  // namespace vorn::ext::messages
