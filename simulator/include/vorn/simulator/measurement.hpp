// Sampling whole-register outcomes from a state, outcome keys and counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "vorn/core/memory.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// Outcome key -> count, ascending by key (so printed results are reproducible).
using Counts = std::map<std::string, std::uint64_t>;

// Exactly n_qubits characters '0'/'1', qubit 0 rightmost.
std::string outcome_key(std::uint64_t outcome, std::uint64_t n_qubits);

// Draws outcomes from one state. Built once per run: the probabilities and
// their running sums (ascending binary64 additions) are computed once, and
// each draw is a binary search giving exactly the outcome of the linear scan
// "first j with running sum > r, else N - 1".
class Sampler {
 public:
  explicit Sampler(const StateVector& state);
  // Same, from a probability vector (used by tests). An empty vector is a
  // FatalError: there is no outcome to draw.
  explicit Sampler(Buffer<double> probabilities);
  std::uint64_t draw(double r) const;
  // draw() for each of r[0 .. count), searched in lockstep so that the
  // memory reads of independent searches overlap; out[i] = draw(r[i]).
  void draw_many(const double* r, std::uint64_t* out, std::size_t count) const;
  std::uint64_t size() const noexcept { return cumulative_.size(); }

 private:
  Buffer<double> cumulative_;
  std::uint64_t searchable_ = 0;  // prefix before the first NaN running sum
};

// shots draws from `stream` (one value per shot, in shot order), tallied by
// outcome index, ascending. With a control, cancellable between batches of shots.
std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const StateVector& state, RandomStream& stream,
                                                                  std::uint64_t shots,
                                                                  const RunControl* control = nullptr);

// The tally keyed as vorn_python keys outcomes.
Counts counts_from_tally(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tally, std::uint64_t n_qubits);

// shots draws from `stream`, tallied by key.
Counts sample_counts(const StateVector& state, RandomStream& stream, std::uint64_t shots);

}  // namespace vorn::sim
