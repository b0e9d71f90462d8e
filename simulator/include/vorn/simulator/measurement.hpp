// Sampling whole-register outcomes from a state, outcome keys and counts.
#pragma once

#include <array>
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
// The same characters written to out[0 .. n_qubits).
void write_outcome_key(std::uint64_t outcome, std::uint64_t n_qubits, char* out);

// Draws outcomes from one state. Built once per run: the probabilities and
// their running sums (ascending binary64 additions) are computed once, and
// each draw is a search giving exactly the outcome of the linear scan
// "first j with running sum > r, else N - 1". A guide table over the sums
// (entry k: the first j whose sum exceeds k / G) narrows each search to the
// few sums between two entries, chosen by the draw's leading bits.
class Sampler {
 public:
  explicit Sampler(const StateVector& state);
  // From a single-precision state: each probability is norm2 in double.
  explicit Sampler(const SingleStateVector& state);
  // Same, from a probability vector (used by tests). An empty vector is a
  // FatalError: there is no outcome to draw.
  explicit Sampler(Buffer<double> probabilities);
  std::uint64_t draw(double r) const;
  // draw() for each of r[0 .. count), searched in lockstep so that the
  // memory reads of independent searches overlap; out[i] = draw(r[i]).
  void draw_many(const double* r, std::uint64_t* out, std::size_t count) const;
  std::uint64_t size() const noexcept { return cumulative_.size(); }
  // The plain binary search over all searchable sums, without the guide
  // table: the definition draw() must always agree with (kept for tests).
  std::uint64_t draw_unguided(double r) const;
  // Outcomes of positive probability (the most a run can ever draw, besides
  // the fallback index).
  std::uint64_t positive_count() const noexcept { return positive_; }

  // With few rises every draw r >= 0 lands on one of few_slots() slots:
  // slot i is the outcome few_outcome(i), and few_slot(r) is draw(r)'s slot,
  // so draws can be tallied per slot without looking outcomes up.
  static constexpr std::uint64_t kMaxFewSlots = 17;
  bool few() const noexcept { return rises_ <= kFew; }
  std::uint64_t few_slots() const noexcept { return rises_ + 1; }
  std::uint64_t few_slot(double r) const noexcept {
    std::uint64_t i = 0;
    for (std::uint64_t t = 0; t < rises_; ++t) i += few_sum_[t] <= r ? 1 : 0;
    return i;
  }
  std::uint64_t few_outcome(std::uint64_t slot) const noexcept {
    return slot < rises_ ? few_index_[slot] : cumulative_.size() - 1;
  }

 private:
  template <class Probability>
  void accumulate(Probability probability);
  void build_guide();
  void draw_few(const double* r, std::uint64_t* out, std::size_t count) const;

  // With at most kFew indices where the sums rise, those and their sums
  // decide every draw (no guide table is built).
  static constexpr std::uint64_t kFew = kMaxFewSlots - 1;

  Buffer<double> cumulative_;
  std::uint64_t searchable_ = 0;  // prefix before the first NaN running sum
  Buffer<std::uint64_t> guide_;   // 2^guide_bits_ + 1 entries, the last = searchable_
  unsigned guide_bits_ = 0;
  double guide_scale_ = 1.0;      // 2^guide_bits_: a draw times this is its entry
  std::uint64_t positive_ = 0;    // probabilities > 0
  std::uint64_t rises_ = 0;       // j below searchable_ with sum[j] > sum[j - 1] (sum[-1] = 0)
  std::array<std::uint64_t, kFew> few_index_{};
  std::array<double, kFew> few_sum_{};
};

// True when every probability re*re + im*im of the state is finite. A state
// that fails cannot be sampled meaningfully (its running sums turn NaN or
// infinite); vorn's run refuses it, vorn_python keeps sampling by the rule.
bool all_probabilities_finite(const Complex* amplitudes, std::uint64_t count);
bool all_probabilities_finite(const SingleComplex* amplitudes, std::uint64_t count);
template <class T>
bool all_probabilities_finite(const BasicStateVector<T>& state) {
  return all_probabilities_finite(state.data(), state.size());
}

// Bytes sampling `shots` from an n-qubit state allocates at most: the
// running sums, the guide table, the buffers of a round of draws and, when
// it would be used, the dense tally (not the kept shots themselves).
std::uint64_t sampling_bytes(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots = false);

// The outcome index of every shot in shot order, and their tally.
struct ShotRecord {
  std::vector<std::uint64_t> outcomes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> tally;
};

// The same draws as sample_tally (one stream value per shot, in shot order,
// the same outcomes and tally), also keeping each shot's outcome.
ShotRecord sample_shots(const StateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control = nullptr);
ShotRecord sample_shots(const SingleStateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control = nullptr);

// shots draws from `stream` (one value per shot, in shot order), tallied by
// outcome index, ascending. With a control, cancellable between batches of shots.
std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const StateVector& state, RandomStream& stream,
                                                                  std::uint64_t shots,
                                                                  const RunControl* control = nullptr);
std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const SingleStateVector& state,
                                                                  RandomStream& stream, std::uint64_t shots,
                                                                  const RunControl* control = nullptr);

// The tally keyed as vorn_python keys outcomes.
Counts counts_from_tally(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tally, std::uint64_t n_qubits);

// shots draws from `stream`, tallied by key.
Counts sample_counts(const StateVector& state, RandomStream& stream, std::uint64_t shots);

}  // namespace vorn::sim
