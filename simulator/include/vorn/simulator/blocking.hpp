// Blocked execution of a compiled gate list: runs of consecutive gates whose
// qubits fit one cache-sized block are applied block by block, so one pass
// over memory serves many gates. Used by the engine; the parameters are
// visible for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// The k lowest bits set; all 64 from k = 64 on.
constexpr std::uint64_t lowest_bits(std::uint64_t k) noexcept {
  return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1;
}

struct BlockingParams {
  // A block holds 2^max_block_qubits amplitudes (16 bytes each): sized to stay
  // in one core's L2 cache. Registers of at most this many qubits run gate by gate.
  std::uint64_t max_block_qubits = 15;
  // Qubits 0..min_low_qubits-1 are in every block, so a block is gathered in
  // contiguous runs of at least 2^min_low_qubits amplitudes (512 bytes: runs
  // of 256 bytes left DRAM time on the table, 1 KiB ones cost a qubit too many).
  std::uint64_t min_low_qubits = 5;
  // A register of at most this many qubits stays in the shared last-level
  // cache, where a gate-by-gate pass costs little more than its arithmetic:
  // there a block that must be copied in and out (it has high qubits) is only
  // worth it for a run of at least gather_min_gates gates. 19 (8 MiB): at 20
  // qubits copying blocks for every run was 10-13% faster on h layers and
  // random layers (2-core Xeon, 2 MiB L2 a core), QFT the same.
  std::uint64_t cache_resident_qubits = 19;
  std::size_t gather_min_gates = 24;
};

// A single-precision run's blocks: the bytes of a double run's, so one qubit
// more in each block (fewer passes over the state), in each gathered run
// (512-byte runs) and in a cache-resident register.
inline BlockingParams single_precision_blocking() noexcept {
  BlockingParams p;
  p.max_block_qubits += 1;
  p.min_low_qubits += 1;
  p.cache_resident_qubits += 1;
  return p;
}

// Consecutive gates [begin, end). A blocked segment (qubits != 0) holds two or
// more gates (see BlockingParams for when more), and `qubits` (bit q = qubit q)
// covers every operand of them (block_operands) plus the lowest qubits; the
// others run gate by gate on the whole state (so does a gate too wide for any
// block).
struct Segment {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t qubits = 0;

  bool blocked() const noexcept { return qubits != 0; }
};

// The qubits a gate needs inside a block: all its operands, except for a
// diagonal gate, which needs none. On a block its outside operands are fixed
// bits: an outside control is met or not, outside targets pick the entries
// that act, and each amplitude is multiplied by the one entry the
// whole-state kernel would use. So diagonal gates (p, cp, rzz, mcp, ...)
// join any run instead of widening it.
std::uint64_t block_operands(const CompiledGate& gate) noexcept;

// Splits the list into segments, in order and covering it exactly. The
// entries are valid for the register (compiled and checked).
std::vector<Segment> plan_segments(std::span<const CompiledGate> gates, std::uint64_t n_qubits,
                                   const BlockingParams& params);

// Applies every gate in order: each amplitude sees the same kernel arithmetic
// in the same order as with one full pass per gate. With a control, checks it
// between gates and between blocks, and counts the gates done.
void apply_gates(StateVector& state, std::span<const CompiledGate> gates, const BlockingParams& params = {},
                 RunControl* control = nullptr);
// The same on a single-precision state; every entry's single_matrix must be
// filled (round_to_single).
void apply_gates(SingleStateVector& state, std::span<const CompiledGate> gates, const BlockingParams& params = {},
                 RunControl* control = nullptr);

}  // namespace vorn::sim
