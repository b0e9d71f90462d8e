// The planner of blocked execution: splits a compiled gate list into runs of
// consecutive gates whose qubits fit one block. Used by block_runner.cpp.
#include "vorn/simulator/blocking.hpp"

#include <algorithm>
#include <bit>

namespace vorn::sim {
namespace {


// Adds the lowest missing qubits until the block has `size`: the same data
// moves either way, but in longer contiguous runs and fewer blocks.
std::uint64_t pad_with_low_qubits(std::uint64_t qubits, std::uint64_t size) {
  for (std::uint64_t q = 0; static_cast<std::uint64_t>(std::popcount(qubits)) < size; ++q)
    qubits |= std::uint64_t{1} << q;
  return qubits;
}

// Collects segments; a run of one gate (or none) becomes gate-by-gate work
// and merges with a gate-by-gate neighbour.
class SegmentList {
 public:
  SegmentList(std::uint64_t block_qubits, std::uint64_t low, std::size_t gather_min_gates)
      : block_qubits_(block_qubits), low_(low), gather_min_gates_(gather_min_gates) {}

  // Whether a gate with these operands fits a block of its own.
  bool fits_alone(std::uint64_t operands) const {
    return static_cast<std::uint64_t>(std::popcount(operands | low_)) <= block_qubits_;
  }
  // Whether a gate with these operands still fits the open run.
  bool fits(std::uint64_t operands) const {
    return static_cast<std::uint64_t>(std::popcount(open_ | operands | low_)) <= block_qubits_;
  }
  void add_gate(std::uint64_t operands) {
    open_ |= operands;
    ++gates_;
  }
  // Ends the open run just before gate `end`.
  void close(std::size_t end) {
    if (end == begin_) return;
    std::uint64_t qubits = gates_ >= 2 ? pad_with_low_qubits(open_ | low_, block_qubits_) : 0;
    const bool gathered = !std::has_single_bit(qubits + 1);
    if (gathered && gates_ < gather_min_gates_) qubits = 0;
    if (qubits == 0 && !segments_.empty() && !segments_.back().blocked()) {
      segments_.back().end = end;
    } else {
      segments_.push_back({begin_, end, qubits});
    }
    begin_ = end;
    open_ = 0;
    gates_ = 0;
  }
  bool empty_run() const { return gates_ == 0; }
  std::vector<Segment> take() && { return std::move(segments_); }

 private:
  std::uint64_t block_qubits_;
  std::uint64_t low_;
  std::size_t gather_min_gates_;
  std::vector<Segment> segments_;
  std::size_t begin_ = 0;
  std::uint64_t open_ = 0;
  std::size_t gates_ = 0;
};

}  // namespace

std::uint64_t block_operands(const CompiledGate& gate) noexcept {
  return gate.shape == Shape::Diagonal ? 0 : gate.qubit_mask();
}

std::vector<Segment> plan_segments(std::span<const CompiledGate> gates, std::uint64_t n_qubits,
                                   const BlockingParams& params) {
  const std::uint64_t block_qubits = params.max_block_qubits;
  if (gates.empty()) return {};
  // A block as large as the register gains nothing over the plain walk.
  if (n_qubits <= block_qubits) return {Segment{0, gates.size(), 0}};
  const std::size_t gather_min_gates = n_qubits <= params.cache_resident_qubits ? params.gather_min_gates : 2;
  SegmentList list(block_qubits, lowest_bits(std::min(params.min_low_qubits, block_qubits)), gather_min_gates);
  for (std::size_t i = 0; i < gates.size(); ++i) {
    const std::uint64_t operands = block_operands(gates[i]);
    if (!list.fits_alone(operands)) {
      // Too wide for any block: alone, gate by gate.
      list.close(i);
      list.add_gate(operands);
      list.close(i + 1);
      continue;
    }
    if (!list.empty_run() && !list.fits(operands)) list.close(i);
    list.add_gate(operands);
  }
  list.close(gates.size());
  return std::move(list).take();
}

}  // namespace vorn::sim
