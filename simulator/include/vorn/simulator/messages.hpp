// Message texts the simulation layer raises outside the engine: the circuit
// model, the random stream and sampling.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn::sim::messages {

// No space between the index and "가": the text is fixed.
inline constexpr std::string_view kQubitOutOfRange = "큐비트 인덱스 {}가 범위를 벗어남 (n_qubits={})";
inline constexpr std::string_view kEntropyFailed = "from_entropy failed: OS Error: {}";
inline constexpr std::string_view kNoOutcomes = "sampling needs at least one outcome: the probability vector is empty";

// Replaces each "{}" of `pattern` in turn by the next value in decimal
// (the toolchain's library has no std::format).
template <class... Ints>
std::string fill(std::string_view pattern, Ints... values) {
  std::string out;
  const std::string texts[] = {std::to_string(values)...};
  std::size_t next = 0, pos = 0;
  for (std::size_t hole; (hole = pattern.find("{}", pos)) != std::string_view::npos; pos = hole + 2) {
    out.append(pattern.substr(pos, hole - pos));
    if (next < sizeof...(Ints)) out.append(texts[next++]);
  }
  out.append(pattern.substr(pos));
  return out;
}

inline std::string qubit_out_of_range(std::uint64_t qubit, std::uint64_t n_qubits) {
  return fill(kQubitOutOfRange, qubit, n_qubits);
}

inline std::string entropy_failed(int os_error) { return fill(kEntropyFailed, os_error); }

}  // namespace vorn::sim::messages
