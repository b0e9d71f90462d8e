// Whole-register sampling: running sums built once per run, a binary search
// per shot, outcome keys and the tally into Counts. Used by the engine.
#include "vorn/simulator/measurement.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

// Searches run in groups of this size so their cache misses overlap.
constexpr std::size_t kLanes = 8;
// Shots between two looks at a run's cancel flag (a multiple of kLanes).
constexpr std::uint64_t kShotsPerCheck = std::uint64_t{1} << 14;

// Tally of outcome index -> count: open addressing over a flat array, grown
// at half load. Far cheaper per shot than a node-based map, and its memory
// follows the number of distinct outcomes, not 2^n.
class OutcomeTally {
 public:
  struct Entry {
    std::uint64_t outcome;
    std::uint64_t count;
  };

  OutcomeTally() { resize(10); }

  void prefetch(std::uint64_t outcome) const { __builtin_prefetch(&slots_[home(outcome)]); }

  void add(std::uint64_t outcome) {
    Entry* e = find(outcome);
    if (e->outcome == kEmpty) {
      e->outcome = outcome;
      if (2 * ++used_ > slots_.size()) resize(bits_ + 1), e = find(outcome);
    }
    ++e->count;
  }

  // The drawn outcomes with their counts, ascending by outcome.
  std::vector<Entry> sorted() const {
    std::vector<Entry> out;
    out.reserve(used_);
    for (const Entry& e : slots_) {
      if (e.outcome != kEmpty) out.push_back(e);
    }
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.outcome < b.outcome; });
    return out;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};  // no outcome reaches 2^64 - 1

  std::size_t home(std::uint64_t outcome) const {
    return static_cast<std::size_t>((outcome * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }
  Entry* find(std::uint64_t outcome) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = home(outcome);; i = (i + 1) & mask) {
      if (slots_[i].outcome == outcome || slots_[i].outcome == kEmpty) return &slots_[i];
    }
  }
  void resize(unsigned bits) {
    std::vector<Entry> old = std::move(slots_);
    bits_ = bits;
    slots_.assign(std::size_t{1} << bits, Entry{kEmpty, 0});
    for (const Entry& e : old) {
      if (e.outcome != kEmpty) *find(e.outcome) = e;
    }
  }

  std::vector<Entry> slots_;
  std::size_t used_ = 0;
  unsigned bits_ = 0;
};

}  // namespace

std::string outcome_key(std::uint64_t outcome, std::uint64_t n_qubits) {
  std::string key(n_qubits, '0');
  for (std::uint64_t k = 0; k < n_qubits && k < 64; ++k) {
    if ((outcome >> k) & 1u) key[n_qubits - 1 - k] = '1';  // qubit 0 is rightmost
  }
  return key;
}

namespace {

// The running sums start as the probabilities: the run's second large array,
// named as such when it cannot be had.
Buffer<double> sampling_vector(const StateVector& state) {
  try {
    return state.probabilities();
  } catch (const std::bad_alloc&) {
    vorn::allocation_failed(state.size() * sizeof(double),
                            vorn::messages::fill(vorn::messages::kSamplingVectorOf, state.n_qubits()));
  }
}

}  // namespace

Sampler::Sampler(const StateVector& state) : Sampler(sampling_vector(state)) {}

// The running sums replace the probabilities in place, so the sampler costs
// one 8*N vector. The additions are those of a per-shot scan (0.0 + p[0],
// then + p[1], ... in ascending order), so each sum is bit-identical to the
// scan's. Probabilities are squares (>= 0 or NaN), so the sums never decrease
// until the first NaN, after which every sum is NaN.
Sampler::Sampler(Buffer<double> probabilities) : cumulative_(std::move(probabilities)) {
  // A draw returns an index of the vector; with none there is nothing to return.
  if (cumulative_.size() == 0) vorn::fatal(std::string(messages::kNoOutcomes));
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
// Branch-free halving: `base` only moves past elements known to be <= r, and
// both possible next probes are prefetched.
std::uint64_t Sampler::draw(double r) const {
  std::uint64_t out;
  draw_many(&r, &out, 1);
  return out;
}

void Sampler::draw_many(const double* r, std::uint64_t* out, std::size_t count) const {
  const double* first = cumulative_.data();
  const std::uint64_t last_index = cumulative_.size() - 1;
  for (std::size_t done = 0; done < count; done += kLanes) {
    const std::size_t lanes = std::min(kLanes, count - done);
    const double* base[kLanes];
    std::fill_n(base, lanes, first);
    for (std::uint64_t len = searchable_; len > 1;) {
      const std::uint64_t half = len / 2;
      for (std::size_t k = 0; k < lanes; ++k) {
        __builtin_prefetch(base[k] + half / 2);
        __builtin_prefetch(base[k] + half + half / 2);
      }
      for (std::size_t k = 0; k < lanes; ++k) base[k] = base[k][half] <= r[done + k] ? base[k] + half : base[k];
      len -= half;
    }
    // With no searchable prefix (sum 0 is NaN) j is 0 == searchable_: fallback.
    for (std::size_t k = 0; k < lanes; ++k) {
      const auto j = static_cast<std::uint64_t>(base[k] - first) + (*base[k] <= r[done + k] ? 1 : 0);
      out[done + k] = j < searchable_ ? j : last_index;
    }
  }
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const StateVector& state, RandomStream& stream,
                                                                  std::uint64_t shots, const RunControl* control) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  if (shots == 0) return out;
  const Sampler sampler(state);
  OutcomeTally tally;
  double r[kLanes];
  std::uint64_t outcome[kLanes];
  for (std::uint64_t shot = 0; shot < shots; shot += kLanes) {
    // One stream value per shot, in shot order; the tally ignores order.
    const auto lanes = static_cast<std::size_t>(std::min<std::uint64_t>(kLanes, shots - shot));
    // A check per batch of shots costs nothing next to the searches.
    if (control != nullptr && shot % kShotsPerCheck == 0) control->check();
    for (std::size_t k = 0; k < lanes; ++k) r[k] = stream.draw_unit_double();
    sampler.draw_many(r, outcome, lanes);
    for (std::size_t k = 0; k < lanes; ++k) tally.prefetch(outcome[k]);
    for (std::size_t k = 0; k < lanes; ++k) tally.add(outcome[k]);
  }
  const std::vector<OutcomeTally::Entry> sorted = tally.sorted();
  out.reserve(sorted.size());
  for (const auto& e : sorted) out.emplace_back(e.outcome, e.count);
  return out;
}

Counts counts_from_tally(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& tally, std::uint64_t n_qubits) {
  Counts counts;
  // Fixed-width keys sort like their indices, so each insertion lands at the end.
  for (const auto& [outcome, count] : tally) counts.emplace_hint(counts.end(), outcome_key(outcome, n_qubits), count);
  return counts;
}

Counts sample_counts(const StateVector& state, RandomStream& stream, std::uint64_t shots) {
  return counts_from_tally(sample_tally(state, stream, shots), state.n_qubits());
}

}  // namespace vorn::sim
