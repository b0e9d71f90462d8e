// Message texts the simulation layer raises outside the engine: the circuit
// model, the random stream and sampling.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vorn/core/messages.hpp"

namespace vorn::sim::messages {

// No space between the index and "가": the text is fixed.
inline constexpr std::string_view kQubitOutOfRange = "큐비트 인덱스 {}가 범위를 벗어남 (n_qubits={})";
inline constexpr std::string_view kEntropyFailed = "from_entropy failed: OS Error: {}";
inline constexpr std::string_view kNotSampleable =
    "cannot sample: the state's probabilities are not all finite (a NaN or infinite angle or matrix entry "
    "upstream)";
inline constexpr std::string_view kNoOutcomes = "sampling needs at least one outcome: the probability vector is empty";

using vorn::messages::fill;

inline std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return fill(kQubitOutOfRange, qubit, n_qubits);
}

inline std::string entropy_failed(int os_error) { return fill(kEntropyFailed, os_error); }

}  // namespace vorn::sim::messages
