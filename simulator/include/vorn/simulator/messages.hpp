// Message texts the simulation layer raises: the circuit model, compiling
// and checking gate entries, the standard gate table and unitaries, the
// engine, observables, the random stream and sampling. The bindings carry
// them to Python unchanged (vorn_python's panic report, vorn._ext's
// RuntimeError), and the C++ and Python tests compare them. fill() replaces
// the "{}" holes in turn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vorn/core/messages.hpp"

namespace vorn::sim::messages {

// No space between the index and "가": the text is fixed.
inline constexpr std::string_view kQubitOutOfRange = "큐비트 인덱스 {}가 범위를 벗어남 (n_qubits={})";
// A register the engine refuses before anything else (vorn_python's texts).
inline constexpr std::string_view kZeroQubits = "qubit 수는 1 이상이어야 합니다";
inline constexpr std::string_view kCapacityOverflow = "capacity overflow";
// vorn_python's gate table (legacy_gates.hpp).
inline constexpr std::string_view kMatrixNotSingleQubit = "matrix_2x2는 단일 큐비트 게이트에만 사용 가능";
inline constexpr std::string_view kEntropyFailed = "from_entropy failed: OS Error: {}";
inline constexpr std::string_view kNotSampleable =
    "cannot sample: the state's probabilities are not all finite (a NaN or infinite angle or matrix entry "
    "upstream)";
inline constexpr std::string_view kNoOutcomes = "sampling needs at least one outcome: the probability vector is empty";

// Circuit::add_gate: {gate name}, {operands it takes}, {operands given}
inline constexpr std::string_view kOperandCount = "{} takes {} qubit operands, got {}";

// Gate kinds and entries out of the tables: {kind or shape as a number}
inline constexpr std::string_view kUnknownGateKind = "unknown gate kind {}";
inline constexpr std::string_view kUnknownGateShape = "unknown gate shape {}";
// apply_operations: {kind}, {operands given}
inline constexpr std::string_view kInvalidGateEntry = "invalid gate entry: kind {} with {} operands";

// Compiled entries that break their shape's rules (compile_gate, validate).
// {gate name}, {operands it needs}
inline constexpr std::string_view kCompiledOperandCount = "invalid compiled gate: {} needs {} operands";
// {shape}, {targets}, {controls}
inline constexpr std::string_view kCompiledCounts = "invalid compiled gate: {} with {} targets and {} controls";
// {entries given}, {entries wanted}
inline constexpr std::string_view kCompiledMatrixSize = "invalid compiled gate: matrix of {} entries where {} belong";
// {targets}, {the target limit}
inline constexpr std::string_view kCompiledTargetCount = "invalid compiled gate: {} targets (1 to {} allowed)";
// {shape as a number}
inline constexpr std::string_view kCompiledUnknownShape = "invalid compiled gate: unknown shape {}";
inline constexpr std::string_view kCompiledTooManyControls = "invalid compiled gate: more than 64 controls";
// {qubit}, {n_qubits}
inline constexpr std::string_view kCompiledQubitOutOfRange =
    "invalid compiled gate: qubit {} out of range (n_qubits={})";
// {qubit}
inline constexpr std::string_view kCompiledQubitRepeated = "invalid compiled gate: qubit {} repeated";

// The standard gate table. {gate name}
inline constexpr std::string_view kCompiledToNothing = "{}: distinct operands compiled to nothing";
// {gate name}, {qubit}
inline constexpr std::string_view kQubitUsedTwice = "{}: qubit {} is used twice (operands must be distinct)";
// {gate name}, {angles it takes}, {qubits it takes: kQubitsWanted or kControlsAndTarget},
// {angles given}, {qubits given}
inline constexpr std::string_view kGateCall = "{} takes {} angle(s) and {}, got {} angle(s) and {} qubit(s)";
inline constexpr std::string_view kQubitsWanted = "{} qubit(s)";
inline constexpr std::string_view kControlsAndTarget = "at least 1 qubit (controls..., target)";

// unitary(matrix, qubits, tolerance). {the target limit}, {qubits given}
inline constexpr std::string_view kUnitaryQubitCount = "unitary acts on 1 to {} qubits, got {} qubits";
// {qubits}, {dim}, {dim}, {the shape given, as Python prints a tuple}
inline constexpr std::string_view kUnitaryShape = "unitary on {} qubit(s) needs a {}x{} matrix, got shape {}";
// {dim}, {dim}, {qubits}, {entries given}
inline constexpr std::string_view kUnitaryMatrixSize =
    "unitary: expected a {}x{} matrix for {} qubit(s), got {} entries";
// {tolerance, as std::to_string prints it}
inline constexpr std::string_view kUnitaryTolerance = "unitary: tolerance {} is not a finite non-negative number";
// {row}, {column}
inline constexpr std::string_view kUnitaryEntryNotFinite = "unitary: matrix entry ({}, {}) is not finite";
// {tolerance}, {row}, {column}, {deviation}; both numbers as "%.3g" prints them
inline constexpr std::string_view kNotUnitary =
    "unitary: matrix is not unitary to within {} (entry ({}, {}) of U U^dagger is off from the identity by {})";

// Observables. {state length}
inline constexpr std::string_view kStateLength = "state length {} is not a power of two >= 2";
// {"x" or "z"}, {mask}, {term}, {observable}, {n_qubits}, {n_qubits}
inline constexpr std::string_view kMaskOutOfRange =
    "{} mask {} of term {} of observable {} acts on a qubit >= {} (the state has {} qubits)";
// {x_masks length}, {z_masks length}
inline constexpr std::string_view kMaskCounts = "x_masks has {} entries but z_masks has {}";
// {observable}, {x_masks length}, {z_masks length}, {coeffs length}
inline constexpr std::string_view kObservableLengths =
    "observable {}: x_masks, z_masks and coeffs have lengths {}, {} and {}";
// {term}, {observable}, {imaginary component, as std::to_string prints it}
inline constexpr std::string_view kNotHermitian =
    "a Hermitian sum needs real coefficients: term {} of observable {} has an imaginary component {}";
// {values given}, {strings}
inline constexpr std::string_view kStringValues = "{} string values given for {} Pauli strings";
// {means given}, {observables}
inline constexpr std::string_view kMeansCount = "{} means given for {} observables";
// {term}, {observable}, {imaginary component, as std::to_string prints it}
inline constexpr std::string_view kVarianceComplexCoeff =
    "variance needs real coefficients: term {} of observable {} has an imaginary component {}";

// {values given}, {bindings}, {parameters}
inline constexpr std::string_view kSweepValues = "{} parameter values given for {} bindings of {} parameters";
// {gate name}
inline constexpr std::string_view kShiftedShape = "the shifted builds of '{}' differ in shape";
// {bytes needed}, {observables}
inline constexpr std::string_view kGradientMemory =
    "out of memory: the adjoint gradient needs {} bytes for its states (two plus one per observable, {} at once)";

using vorn::messages::fill;

inline std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return fill(kQubitOutOfRange, qubit, n_qubits);
}

inline std::string entropy_failed(int os_error) { return fill(kEntropyFailed, os_error); }

// Dynamic programs (branching.hpp). {clbits}, {the limit}
inline constexpr std::string_view kDynamicClbits =
    "a circuit that measures in the middle, resets or conditions has {} clbits; at most {} are supported";
// {step index}, {kind as a number}
inline constexpr std::string_view kInvalidStep = "invalid dynamic step {} (kind {}): operands out of range";
// Exact expectation values of dynamic programs (dynamic_expval.hpp). {the cap}
inline constexpr std::string_view kDynamicExpvalBranches =
    "the circuit branches into more than {} measurement outcomes; expval(..., trajectories=N) samples N "
    "trajectories instead (mean and standard error)";
// {step index}
inline constexpr std::string_view kDynamicExpvalChannel =
    "step {} is a noise channel: exact expectation values take none (noisy circuits go by trajectories)";
// {qubit}, {clbit}
// Noisy runs (trajectories.hpp). {channel index}
inline constexpr std::string_view kInvalidChannel =
    "invalid noise channel {}: 1 or 2 distinct qubits in range, and operators (and probabilities) that match";
// {qubit}
inline constexpr std::string_view kInvalidReadout = "invalid readout error on qubit {}: rows must be probabilities";
inline constexpr std::string_view kInvalidFinalMeasure = "invalid final measurement of qubit {} into clbit {}";
// A single-precision state given an entry whose matrix was not rounded.
inline constexpr std::string_view kNotRoundedToSingle =
    "gate entry has {} single-precision matrix entries, expected {} (round_to_single was not applied)";

// build_program (program_builder.hpp): the vorn package's flat lists.
inline constexpr std::string_view kBuildNamesArity = "compile_program: names and arity differ in length";
inline constexpr std::string_view kBuildFewerQubits = "compile_program: fewer qubits than the gates' operand counts";
// {qubit}, {gate name}, {qubits of the circuit}
inline constexpr std::string_view kBuildQubitOutOfRange = "qubit {} of '{}' out of range: the circuit has {} qubits";
inline constexpr std::string_view kBuildUnitaryWithoutMatrix = "compile_program: a 'unitary' without its matrix";
// {gate name}
inline constexpr std::string_view kBuildUnknownGate = "unknown gate '{}'";
// {gate name}, {operand count it takes, or "at least 1"}, {operands given}
inline constexpr std::string_view kBuildGateOperands = "gate '{}' takes {} qubits, got {}";
inline constexpr std::string_view kBuildFewerAngles = "compile_program: fewer angles than the gates take";
inline constexpr std::string_view kBuildLeftOver =
    "compile_program: more qubits, angles or matrices than the gates take";

}  // namespace vorn::sim::messages
