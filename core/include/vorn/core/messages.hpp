// The message texts the core raises: the fixed texts, and the patterns whose
// "{}" holes fill() replaces in turn. The bindings carry them to Python
// unchanged, and the tests compare them. The simulation layer and the
// bindings keep their own texts in their own messages headers.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "vorn/fill.hpp"

namespace vorn::messages {

// StateVector::create's own checks (the engine refuses such registers first,
// in vorn_python's words). {n_qubits}, {kMaxQubits}
inline constexpr std::string_view kNoQubits = "a state vector needs at least 1 qubit";
inline constexpr std::string_view kTooManyQubits = "a state vector of {} qubits exceeds the {}-qubit limit";
inline constexpr std::string_view kPoolNotInitialized =
    "The global thread pool has not been initialized.";
inline constexpr std::string_view kMidGreaterThanLen = "mid > len";

// {length}, {index}
inline constexpr std::string_view kIndexOutOfBounds = "index out of bounds: the len is {} but the index is {}";
// The up-front check: {bytes needed}, {bytes available}
inline constexpr std::string_view kOutOfMemory = "out of memory: {} bytes needed, {} bytes available";
// An allocation that failed after the check passed: {what}, {bytes}
inline constexpr std::string_view kAllocationFailed = "out of memory: allocation failed; {} needs {} bytes";
// What failed to allocate, for kAllocationFailed: {n_qubits}
inline constexpr std::string_view kStateVectorOf = "the state vector of {} qubits";
inline constexpr std::string_view kSamplingVectorOf = "the sampling vector of {} qubits";
inline constexpr std::string_view kStateVectorCopy = "the state vector copy";

// The general kernels' operand checks, before any amplitude is touched.
// {the target limit}, {targets given}
inline constexpr std::string_view kTooManyTargets = "a gate takes at most {} targets, not {}";
// {qubit}
inline constexpr std::string_view kRepeatedOperand = "repeated operand {} in one gate";
// {what: "diagonal gate" or "dense gate matrix"}, {entries given}, {entries wanted}
inline constexpr std::string_view kEntryCountMismatch = "{} has {} entries; its targets need {}";

// Call it qualified (messages::fill), as the pattern helper says why.
using vorn::text::fill;

}  // namespace vorn::messages
