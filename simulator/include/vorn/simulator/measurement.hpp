// Sampling whole-register outcomes from a state, outcome keys and counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
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

// Sampling's working memory beside the state: at most a sixteenth of the
// state, or kSamplingFloor where that is more (small registers keep their
// whole running sums, the fastest layout, in it).
inline constexpr std::uint64_t kSamplingFloor = std::uint64_t{32} << 20;

// How sampling lays out that memory: the running sums whole (block_bits = 0),
// or only the sum at the end of each block of 2^block_bits amplitudes, the
// draws then taken `round` at a time, grouped by block and resolved with the
// sums of each block that has draws recomputed from its first (the same
// additions from the same starting sum, so the same sums).
struct SamplingPlan {
  unsigned block_bits = 0;
  std::uint64_t round = 0;
};

// The plan for `shots` draws from n qubits of `amplitude_bytes` each: the
// whole sums where everything sampling needs fits the room above, else
// blocks with rounds as large as the room allows.
SamplingPlan sampling_plan(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots,
                           std::uint64_t amplitude_bytes = sizeof(Complex));

// Draws outcomes from one state. Built once per run: the probabilities and
// their running sums (ascending binary64 additions) are computed once, and
// each draw is a search giving exactly the outcome of the linear scan
// "first j with running sum > r, else N - 1". A guide table over the sums
// (entry k: the first j whose sum exceeds k / G) narrows each search to the
// few sums between two entries, chosen by the draw's leading bits. In the
// block layout the guide is over the blocks' last sums, and a draw's block
// has its sums recomputed (block_sums) to finish the search.
class Sampler {
 public:
  // The layout sampling_plan gives one draw from this state.
  explicit Sampler(const StateVector& state);
  // From a single-precision state: each probability is norm2 in double.
  explicit Sampler(const SingleStateVector& state);
  // The layout asked for: block_bits = 0 keeps the sums whole. The state
  // must outlive a block-layout sampler (it reads the amplitudes again).
  Sampler(const StateVector& state, unsigned block_bits);
  Sampler(const SingleStateVector& state, unsigned block_bits);
  // Same, from a probability vector (used by tests). An empty vector is a
  // FatalError: there is no outcome to draw.
  explicit Sampler(Buffer<double> probabilities);
  std::uint64_t draw(double r) const;
  // draw() for each of r[0 .. count), searched in lockstep so that the
  // memory reads of independent searches overlap; out[i] = draw(r[i]).
  void draw_many(const double* r, std::uint64_t* out, std::size_t count) const;
  std::uint64_t size() const noexcept { return size_; }
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
    return slot < rises_ ? few_index_[slot] : size_ - 1;
  }

  // The block layout (block_bits() > 0; searches need the guide, so more
  // than kFew rises): draw(r) is draw_in_block(b, sums of b, r) for
  // b = block_of(r), unless b == block_count() (no sum exceeds r before
  // the first NaN), when it is the last index.
  unsigned block_bits() const noexcept { return block_bits_; }
  std::uint64_t block_count() const noexcept { return block_end_.size(); }
  std::uint64_t block_of(double r) const;
  // Block b's running sums into out (2^block_bits entries; the last block
  // may have fewer), each as the whole vector of sums would hold it.
  void block_sums(std::uint64_t block, double* out) const;
  std::uint64_t draw_in_block(std::uint64_t block, const double* sums, double r) const;

 private:
  template <class Probability>
  void accumulate(Probability probability);
  template <class T>
  void init(const BasicStateVector<T>& state, unsigned block_bits);
  void build_guide(const double* sums, std::uint64_t count, std::uint64_t searchable);
  void draw_few(const double* r, std::uint64_t* out, std::size_t count) const;
  std::uint64_t draw_blocked(double r, std::vector<double>& sums) const;

  // With at most kFew indices where the sums rise, those and their sums
  // decide every draw (no guide table is built).
  static constexpr std::uint64_t kFew = kMaxFewSlots - 1;

  std::uint64_t size_ = 0;        // outcomes
  Buffer<double> cumulative_;     // the whole layout's sums
  std::uint64_t searchable_ = 0;  // prefix before the first NaN running sum (whole layout)
  // The block layout: the state's amplitudes (one of the two), each block's
  // last sum, and the first block whose last sum is NaN (block_count() if none).
  unsigned block_bits_ = 0;
  const Complex* amplitudes_ = nullptr;
  const SingleComplex* single_amplitudes_ = nullptr;
  Buffer<double> block_end_;
  std::uint64_t nan_block_ = 0;
  Buffer<std::uint64_t> guide_;   // 2^guide_bits_ + 1 entries over the sums (or the blocks' last sums)
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
// running sums (whole or per block), the guide table, the buffers of a round
// of draws and, when it would be used, the dense tally; and the tally itself
// (16 bytes per distinct outcome drawn, up to three times over while rounds
// are merged), which is the result. Not the kept shots themselves.
std::uint64_t sampling_bytes(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots = false,
                             std::uint64_t amplitude_bytes = sizeof(Complex));
// The same for the whole running sums whatever the register (what a sampler
// that keeps every sum needs, as the distributed one does on each rank).
std::uint64_t whole_sums_sampling_bytes(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots = false);

// The outcome index of every shot in shot order, and their tally.
struct ShotRecord {
  std::vector<std::uint64_t> outcomes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> tally;
};

// The same draws as sample_tally (one stream value per shot, in shot order,
// the same outcomes and tally), also keeping each shot's outcome.
ShotRecord sample_shots(const StateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control = nullptr, std::optional<SamplingPlan> plan = std::nullopt);
ShotRecord sample_shots(const SingleStateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control = nullptr, std::optional<SamplingPlan> plan = std::nullopt);

// shots draws from `stream` (one value per shot, in shot order), tallied by
// outcome index, ascending. With a control, cancellable between batches of
// shots. `plan`: sampling_plan's unless given (any plan draws the same
// outcomes; tests give small blocks).
std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const StateVector& state, RandomStream& stream,
                                                                  std::uint64_t shots,
                                                                  const RunControl* control = nullptr,
                                                                  std::optional<SamplingPlan> plan = std::nullopt);
std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const SingleStateVector& state,
                                                                  RandomStream& stream, std::uint64_t shots,
                                                                  const RunControl* control = nullptr,
                                                                  std::optional<SamplingPlan> plan = std::nullopt);

// The tally keyed as vorn_python keys outcomes.
Counts counts_from_tally(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tally, std::uint64_t n_qubits);

// shots draws from `stream`, tallied by key.
Counts sample_counts(const StateVector& state, RandomStream& stream, std::uint64_t shots);

}  // namespace vorn::sim
