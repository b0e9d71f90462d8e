// Whole-register sampling: running sums built once per run, one binary
// search per shot, outcome keys and the tally into Counts.
#include "vorn/simulator/measurement.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace vorn::sim {

std::string outcome_key(std::uint64_t outcome, std::uint64_t n_qubits) {
  std::string key(n_qubits, '0');
  for (std::uint64_t k = 0; k < n_qubits && k < 64; ++k) {
    if ((outcome >> k) & 1u) key[n_qubits - 1 - k] = '1';  // qubit 0 is rightmost
  }
  return key;
}

Sampler::Sampler(const StateVector& state) : Sampler(state.probabilities()) {}

// The running sums replace the probabilities in place, so the sampler costs
// one 8*N vector. The additions are those of a per-shot scan (0.0 + p[0],
// then + p[1], ... in ascending order), so each sum is bit-identical to the
// scan's. Probabilities are squares (>= 0 or NaN), so the sums never decrease
// until the first NaN, after which every sum is NaN.
Sampler::Sampler(Buffer<double> probabilities) : cumulative_(std::move(probabilities)) {
  double sum = 0.0;
  searchable_ = cumulative_.size();
  for (std::uint64_t j = 0; j < cumulative_.size(); ++j) {
    sum = sum + cumulative_[j];
    cumulative_[j] = sum;
    if (std::isnan(sum) && searchable_ == cumulative_.size()) searchable_ = j;
  }
}

// First j with sum[j] > r (strict, like the scan), else the last index: the
// scan's fallback when the total is at or below r or the sums turned NaN
// (NaN compares false, so nothing at or after the first NaN can be chosen).
std::uint64_t Sampler::draw(double r) const {
  const double* first = cumulative_.data();
  const double* last = first + searchable_;
  const double* hit = std::upper_bound(first, last, r);
  if (hit == last) return cumulative_.size() - 1;
  return static_cast<std::uint64_t>(hit - first);
}

Counts sample_counts(const StateVector& state, RandomStream& stream, std::uint64_t shots) {
  Counts counts;
  if (shots == 0) return counts;
  const Sampler sampler(state);
  // Tally by index first: hashing an integer is far cheaper than forming and
  // hashing a key per shot. At most min(shots, N) distinct outcomes.
  std::unordered_map<std::uint64_t, std::uint64_t> by_index;
  by_index.reserve(static_cast<std::size_t>(std::min<std::uint64_t>({shots, sampler.size(), 1u << 20})));
  for (std::uint64_t shot = 0; shot < shots; ++shot) ++by_index[sampler.draw(stream.draw_unit_double())];
  for (const auto& [index, count] : by_index) counts.emplace(outcome_key(index, state.n_qubits()), count);
  return counts;
}

}  // namespace vorn::sim
