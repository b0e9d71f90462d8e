// Whole-register sampling: running sums and a guide table built once per
// run, a short search per shot, outcome keys and the tally into Counts.
// Used by the engine.
#include "vorn/simulator/measurement.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

// Draws are searched in batches of this size, stage by stage (guide entry,
// first sum, search), so the cache misses of a whole batch overlap.
constexpr std::size_t kBatch = 256;
// Shots drawn from the stream, searched and tallied per round: enough that
// every bucket below gets many draws.
constexpr std::size_t kRound = std::size_t{1} << 18;
// A round's draws are searched bucket by bucket (their leading bits), each
// bucket covering about this many running sums (16 KiB): its searches and
// tally increments then stay in cache instead of missing once per shot.
constexpr unsigned kSumsPerBucketBits = 11;
// At most this many buckets, so that the bucket heads stay in L1.
constexpr unsigned kMaxBucketBits = 12;
// Shots per task when a round's searches are spread over the pool.
constexpr std::size_t kSearchGrain = 2048;
// The guide has about one entry per this many sums (a power of two): the
// range between two entries is then a cache line or two on average.
constexpr unsigned kSumsPerGuideEntryBits = 3;

// log2 of the guide's entries for 2^size_bits sums (sampling_bytes counts
// the guide by the same rule, so the two cannot drift apart).
constexpr unsigned guide_bits_for(unsigned size_bits) {
  return std::min(size_bits > kSumsPerGuideEntryBits ? size_bits - kSumsPerGuideEntryBits : 0u, 40u);
}

// First j in [lo, hi) with sum[j] > r, else hi. Branch-free halving: `b`
// only moves past elements known to be <= r.
inline std::uint64_t first_above(const double* sum, std::uint64_t lo, std::uint64_t hi, double r) {
  if (lo == hi) return lo;
  const double* b = sum + lo;
  for (std::uint64_t n = hi - lo; n > 1;) {
    const std::uint64_t half = n / 2;
    b = b[half] <= r ? b + half : b;
    n -= half;
  }
  return static_cast<std::uint64_t>(b - sum) + (*b <= r ? 1 : 0);
}

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

void write_outcome_key(std::uint64_t outcome, std::uint64_t n_qubits, char* out) {
  // Eight characters per byte of the outcome, its bit 0 last.
  static constexpr auto kBytes = [] {
    std::array<std::array<char, 8>, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
      for (unsigned k = 0; k < 8; ++k) t[b][7 - k] = ((b >> k) & 1u) != 0 ? '1' : '0';
    }
    return t;
  }();
  char* const end = out + n_qubits;  // qubit k is the character at end - 1 - k
  std::uint64_t k = 0;
  for (; k + 8 <= n_qubits && k < 64; k += 8) std::memcpy(end - k - 8, kBytes[(outcome >> k) & 0xFFu].data(), 8);
  for (; k < n_qubits; ++k) end[-1 - static_cast<std::ptrdiff_t>(k)] = k < 64 && ((outcome >> k) & 1u) != 0 ? '1' : '0';
}

std::string outcome_key(std::uint64_t outcome, std::uint64_t n_qubits) {
  std::string key(n_qubits, '0');
  write_outcome_key(outcome, n_qubits, key.data());
  return key;
}

namespace {

// The running sums: the run's second large array, named as such when it
// cannot be had.
template <class T>
Buffer<double> sampling_vector(const BasicStateVector<T>& state) {
  try {
    return Buffer<double>::uninitialized(state.size());
  } catch (const std::bad_alloc&) {
    vorn::allocation_failed(state.size() * sizeof(double),
                            vorn::messages::fill(vorn::messages::kSamplingVectorOf, state.n_qubits()));
  }
}

}  // namespace

// The sums straight from the amplitudes, in one pass: each probability is
// norm2, the operations StateVector::probabilities uses, so every sum is the
// one the vector of probabilities would give.
Sampler::Sampler(const StateVector& state)
    : Sampler(state, sampling_plan(state.n_qubits(), 1, false, sizeof(Complex)).block_bits) {}

Sampler::Sampler(const SingleStateVector& state)
    : Sampler(state, sampling_plan(state.n_qubits(), 1, false, sizeof(SingleComplex)).block_bits) {}

Sampler::Sampler(const StateVector& state, unsigned block_bits) {
  amplitudes_ = state.data();
  init(state, block_bits);
}

Sampler::Sampler(const SingleStateVector& state, unsigned block_bits) {
  single_amplitudes_ = state.data();
  init(state, block_bits);
}

template <class T>
void Sampler::init(const BasicStateVector<T>& state, unsigned block_bits) {
  size_ = state.size();
  const BasicComplex<T>* amp = state.data();
  if (block_bits == 0 || size_ == 0) {
    cumulative_ = sampling_vector(state);
  } else {
    block_bits_ = std::min<unsigned>(block_bits, 63);
    block_end_ = Buffer<double>::uninitialized(((size_ - 1) >> block_bits_) + 1);
  }
  accumulate([amp](std::uint64_t j) { return norm2(amp[j]); });
}

Sampler::Sampler(Buffer<double> probabilities) : size_(probabilities.size()), cumulative_(std::move(probabilities)) {
  const double* p = cumulative_.data();
  accumulate([p](std::uint64_t j) { return p[j]; });
}

// The running sums fill cumulative_ (in place of the probabilities when it
// holds them: p(j) is read before sum j is written), so the sampler costs one
// 8*N vector; in the block layout only each block's last sum is kept. The
// additions are those of a per-shot scan (0.0 + p[0], then + p[1], ... in
// ascending order), so each sum is bit-identical to the scan's.
// Probabilities are squares (>= 0 or NaN), so the sums never decrease until
// the first NaN, after which every sum is NaN.
template <class Probability>
void Sampler::accumulate(Probability probability) {
  // A draw returns an index of the vector; with none there is nothing to return.
  if (size_ == 0) vorn::fatal(std::string(messages::kNoOutcomes));
  const std::uint64_t n = size_;
  // Counters in locals: kept in members, each store to the sums might
  // change them as far as the compiler knows, and the loop would reload them.
  double sum = 0.0;
  std::uint64_t positive = 0, rises = 0;
  // The same step in both layouts; `rise` is false once the sums are NaN,
  // so only the searchable prefix rises.
#define VORN_SAMPLER_STEP(j)                                                  \
  {                                                                           \
    const double p = probability(j);                                          \
    positive += p > 0.0 ? 1 : 0;                                              \
    const double before = sum;                                                \
    sum = sum + p;                                                            \
    if (sum > before) {                                                       \
      if (rises < kFew) few_index_[rises] = (j), few_sum_[rises] = sum;       \
      ++rises;                                                                \
    }                                                                         \
  }
  if (block_bits_ == 0) {
    double* const out = cumulative_.data();
    for (std::uint64_t j = 0; j < n; ++j) {
      VORN_SAMPLER_STEP(j)
      out[j] = sum;
    }
  } else {
    double* const out = block_end_.data();
    const std::uint64_t block = std::uint64_t{1} << block_bits_;
    for (std::uint64_t b = 0, j = 0; j < n; ++b) {
      for (const std::uint64_t end = std::min(n, j + block); j < end; ++j) VORN_SAMPLER_STEP(j)
      out[b] = sum;
    }
  }
#undef VORN_SAMPLER_STEP
  positive_ = positive;
  rises_ = rises;
  // NaN + anything is NaN: once a sum is NaN every later one is, so the
  // first NaN is found by halving instead of a test per sum.
  auto first_nan = [](const double* sums, std::uint64_t count) {
    return static_cast<std::uint64_t>(
        std::partition_point(sums, sums + count, [](double x) { return !std::isnan(x); }) - sums);
  };
  if (block_bits_ == 0) {
    searchable_ = first_nan(cumulative_.data(), n);
    if (rises_ > kFew) build_guide(cumulative_.data(), n, searchable_);
  } else {
    nan_block_ = first_nan(block_end_.data(), block_end_.size());
    if (rises_ > kFew) build_guide(block_end_.data(), block_end_.size(), nan_block_);
  }
}

// Over `count` non-decreasing sums, the first `searchable` of them before
// any NaN: entry k = first j < searchable with sum[j] > k / G (exact: G is a
// power of two), else searchable. For a draw r in [k / G, (k + 1) / G) every
// j below entry k has sum <= k / G <= r, and entry k + 1 (when below
// searchable) has sum > (k + 1) / G > r: the answer lies in [entry k, entry k + 1].
void Sampler::build_guide(const double* sum, std::uint64_t count, std::uint64_t searchable) {
  const unsigned size_bits = count == 0 ? 0 : static_cast<unsigned>(std::bit_width(count) - 1);
  guide_bits_ = guide_bits_for(size_bits);
  const std::uint64_t entries = std::uint64_t{1} << guide_bits_;
  guide_ = Buffer<std::uint64_t>::uninitialized(entries + 1);
  guide_scale_ = std::ldexp(1.0, static_cast<int>(guide_bits_));
  const double step = std::ldexp(1.0, -static_cast<int>(guide_bits_));
  std::uint64_t j = 0;
  for (std::uint64_t k = 0; k < entries; ++k) {
    const double threshold = static_cast<double>(k) * step;  // exact: k < 2^53, step a power of two
    while (j < searchable && sum[j] <= threshold) ++j;
    guide_[k] = j;
  }
  guide_[entries] = searchable;
}

// First j with sum[j] > r (strict, like the scan), else the last index: the
// scan's fallback when the total is at or below r or the sums turned NaN
// (only the prefix before the first NaN sum is ever searched).
std::uint64_t Sampler::draw(double r) const {
  std::uint64_t out;
  draw_many(&r, &out, 1);
  return out;
}

std::uint64_t Sampler::draw_unguided(double r) const {
  if (block_bits_ != 0) {
    // The blocks' last sums searched whole, then the block's own.
    std::uint64_t b = first_above(block_end_.data(), 0, nan_block_, r);
    if (b == block_count()) return size_ - 1;
    std::vector<double> sums(std::size_t{1} << block_bits_);
    block_sums(b, sums.data());
    return draw_in_block(b, sums.data(), r);
  }
  const std::uint64_t j = first_above(cumulative_.data(), 0, searchable_, r);
  return j < searchable_ ? j : size_ - 1;
}

// The first block in [0, nan_block_) whose last sum exceeds r holds the
// first such sum (the sums before it are at most its predecessor's last);
// with none, that sum can only lie before the NaN in the NaN block, if any.
std::uint64_t Sampler::block_of(double r) const {
  const std::uint64_t entries = std::uint64_t{1} << guide_bits_;
  const double x = r * guide_scale_;
  std::uint64_t lo = 0, hi = nan_block_;
  if (x >= 0.0 && x < static_cast<double>(entries)) {
    const auto k = static_cast<std::uint64_t>(x);
    lo = guide_[k], hi = guide_[k + 1];
  }
  return first_above(block_end_.data(), lo, hi, r);
}

void Sampler::block_sums(std::uint64_t block, double* out) const {
  const std::uint64_t first = block << block_bits_;
  const std::uint64_t count = std::min(size_ - first, std::uint64_t{1} << block_bits_);
  double sum = block == 0 ? 0.0 : block_end_[block - 1];
  if (amplitudes_ != nullptr) {
    for (std::uint64_t i = 0; i < count; ++i) out[i] = sum = sum + norm2(amplitudes_[first + i]);
  } else {
    for (std::uint64_t i = 0; i < count; ++i) out[i] = sum = sum + norm2(single_amplitudes_[first + i]);
  }
}

std::uint64_t Sampler::draw_in_block(std::uint64_t block, const double* sums, double r) const {
  const std::uint64_t first = block << block_bits_;
  std::uint64_t count = std::min(size_ - first, std::uint64_t{1} << block_bits_);
  if (block == nan_block_) {
    count = static_cast<std::uint64_t>(
        std::partition_point(sums, sums + count, [](double x) { return !std::isnan(x); }) - sums);
  }
  const std::uint64_t j = first_above(sums, 0, count, r);
  return j < count ? first + j : size_ - 1;
}

std::uint64_t Sampler::draw_blocked(double r, std::vector<double>& sums) const {
  const std::uint64_t b = block_of(r);
  if (b == block_count()) return size_ - 1;
  sums.resize(std::size_t{1} << block_bits_);
  block_sums(b, sums.data());
  return draw_in_block(b, sums.data(), r);
}

void Sampler::draw_many(const double* r, std::uint64_t* out, std::size_t count) const {
  if (rises_ <= kFew) {
    draw_few(r, out, count);
    return;
  }
  if (block_bits_ != 0) {
    std::vector<double> sums;
    for (std::size_t k = 0; k < count; ++k) out[k] = draw_blocked(r[k], sums);
    return;
  }
  const double* sum = cumulative_.data();
  const std::uint64_t* guide = guide_.data();
  const std::uint64_t last_index = size_ - 1;
  const double scale = guide_scale_;
  const std::uint64_t entries = std::uint64_t{1} << guide_bits_;
  std::uint64_t lo[kBatch], hi[kBatch];
  for (std::size_t done = 0; done < count; done += kBatch) {
    const std::size_t lanes = std::min(kBatch, count - done);
    const double* rb = r + done;
    // The entry of each draw: r * G is exact and its integer part is k. A
    // value outside [0, 1) (never a stream draw) searches all sums.
    for (std::size_t k = 0; k < lanes; ++k) {
      const double x = rb[k] * scale;
      lo[k] = x >= 0.0 && x < static_cast<double>(entries) ? static_cast<std::uint64_t>(x) : entries;
      __builtin_prefetch(guide + lo[k]);
    }
    for (std::size_t k = 0; k < lanes; ++k) {
      if (lo[k] == entries) {
        lo[k] = 0, hi[k] = searchable_;
      } else {
        hi[k] = guide[lo[k] + 1], lo[k] = guide[lo[k]];
      }
      __builtin_prefetch(sum + lo[k]);
      __builtin_prefetch(sum + hi[k]);  // the range often ends on the next line
    }
    for (std::size_t k = 0; k < lanes; ++k) {
      const std::uint64_t j = first_above(sum, lo[k], hi[k], rb[k]);
      out[done + k] = j < searchable_ ? j : last_index;
    }
  }
}

// For r >= 0 the first j with sum[j] > r is a rise (sum[j] > sum[j - 1],
// or sum[0] > 0): the answer is the first rise whose sum exceeds r, found
// among a few sums in cache instead of the whole vector. A value below 0
// (never a stream draw) searches all sums.
void Sampler::draw_few(const double* r, std::uint64_t* out, std::size_t count) const {
  for (std::size_t k = 0; k < count; ++k) {
    if (!(r[k] >= 0.0)) {
      out[k] = draw_unguided(r[k]);
      continue;
    }
    // The rises' sums increase, so the number <= r is the first above r
    // (counted without data-dependent branches).
    out[k] = few_outcome(few_slot(r[k]));
  }
}

namespace {

// Counts per outcome index in a dense array: for many shots over a register
// whose outcomes most shots reach anyway, far fewer cache misses than the
// hash and no more memory than it would grow to (it holds 16-byte slots at
// most half full, one per distinct outcome).
class DenseTally {
 public:
  explicit DenseTally(std::uint64_t outcomes) : counts_(Buffer<std::uint32_t>::zeroed(outcomes)) {}
  void prefetch(std::uint64_t outcome) const { __builtin_prefetch(counts_.data() + outcome, 1); }
  void add(std::uint64_t outcome) { ++counts_[outcome]; }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted() const {
    // Counted first, so the list is allocated once (growing it would copy
    // and fault in several times its final size).
    std::uint64_t distinct = 0;
    for (const std::uint32_t c : counts_) distinct += c != 0 ? 1 : 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    out.reserve(distinct);
    for (std::uint64_t j = 0; j < counts_.size(); ++j) {
      if (counts_[j] != 0) out.emplace_back(j, counts_[j]);
    }
    return out;
  }

 private:
  Buffer<std::uint32_t> counts_;
};

unsigned bucket_bits(std::uint64_t n_outcomes) {
  const auto size_bits = static_cast<unsigned>(std::bit_width(n_outcomes) - 1);
  return size_bits > kSumsPerBucketBits ? std::min(size_bits - kSumsPerBucketBits, kMaxBucketBits) : 0u;
}

// Bytes of draw_into's round buffers.
std::uint64_t round_bytes(std::uint64_t n_outcomes, std::uint64_t shots, bool record) {
  const std::uint64_t lanes = std::min<std::uint64_t>(kRound, shots);
  const unsigned bits = bucket_bits(n_outcomes);
  std::uint64_t per_shot = sizeof(double) + sizeof(std::uint64_t);
  if (bits > 0) per_shot += sizeof(double) + (record ? sizeof(std::uint32_t) : 0);
  return lanes * per_shot + sizeof(std::uint32_t) * ((std::uint64_t{1} << bits) + 1);
}

// shots draws, tallied; each shot's outcome also written to record[shot]
// when record is not null. Each draw's outcome depends only on the draw and
// the tally only on the multiset of outcomes, so visiting a round's draws in
// bucket order changes nothing but the memory traffic.
template <class Tally>
void draw_into(const Sampler& sampler, RandomStream& stream, std::uint64_t shots, std::uint64_t* record,
               const RunControl* control, Tally& tally) {
  const auto round = static_cast<std::size_t>(std::min<std::uint64_t>(kRound, shots));
  // Grouping pays only when the outcomes drawn do not all stay in cache anyway.
  const unsigned bits = sampler.positive_count() >> kSumsPerBucketBits != 0 ? bucket_bits(sampler.size()) : 0u;
  const std::size_t buckets = std::size_t{1} << bits;
  const double bucket_scale = std::ldexp(1.0, static_cast<int>(bits));
  // Every element is written before it is read: no zeroing.
  Buffer<double> draws = Buffer<double>::uninitialized(round);
  Buffer<double> grouped = Buffer<double>::uninitialized(bits > 0 ? round : 0);
  // grouped[i] = draws[from[i]]
  Buffer<std::uint32_t> from = Buffer<std::uint32_t>::uninitialized(bits > 0 && record != nullptr ? round : 0);
  std::vector<std::uint32_t> head(buckets + 1);
  Buffer<std::uint64_t> outcomes = Buffer<std::uint64_t>::uninitialized(round);
  std::uint64_t* const outcome = outcomes.data();
  for (std::uint64_t shot = 0; shot < shots; shot += kRound) {
    const auto lanes = static_cast<std::size_t>(std::min<std::uint64_t>(kRound, shots - shot));
    // A check per round costs nothing next to its searches.
    if (control != nullptr) control->check();
    // One stream value per shot, in shot order.
    double* const r = draws.data();
    stream.fill_unit_doubles(r, lanes);
    const double* searched = r;
    if (bits > 0) {
      // Counting sort by bucket (r * 2^bits is exact and below 2^bits).
      std::fill(head.begin(), head.end(), 0u);
      for (std::size_t k = 0; k < lanes; ++k) ++head[static_cast<std::size_t>(r[k] * bucket_scale) + 1];
      for (std::size_t b = 0; b < buckets; ++b) head[b + 1] += head[b];
      for (std::size_t k = 0; k < lanes; ++k) {
        const std::uint32_t at = head[static_cast<std::size_t>(r[k] * bucket_scale)]++;
        grouped[at] = r[k];
        if (record != nullptr) from[at] = static_cast<std::uint32_t>(k);
      }
      searched = grouped.data();
    }
    // Each search depends only on its draw, so a round's searches can run
    // on the pool; the stream and the tally stay on this thread.
    auto search = [&](std::uint64_t begin, std::uint64_t end) {
      sampler.draw_many(searched + begin, outcome + begin, static_cast<std::size_t>(end - begin));
    };
    if (lanes >= 2 * kSearchGrain) {
      parallel_for(lanes, kSearchGrain, search);
    } else {
      search(0, lanes);
    }
    if (record != nullptr) {
      if (bits > 0) {
        for (std::size_t k = 0; k < lanes; ++k) record[shot + from[k]] = outcome[k];
      } else {
        std::copy_n(outcome, lanes, record + shot);
      }
    }
    constexpr std::size_t kAhead = 16;
    for (std::size_t k = 0; k < std::min(kAhead, lanes); ++k) tally.prefetch(outcome[k]);
    for (std::size_t k = 0; k < lanes; ++k) {
      if (k + kAhead < lanes) tally.prefetch(outcome[k + kAhead]);
      tally.add(outcome[k]);
    }
  }
}

// The dense tally pays once the outcomes a run can reach (shots, and those of
// positive probability) are an eighth of all (then the hash would hold about
// as much); 32-bit counts cannot overflow below 2^32 shots.
bool dense_tally_for(std::uint64_t reachable, std::uint64_t size, std::uint64_t shots) {
  return reachable >= size / 8 && shots < (std::uint64_t{1} << 32);
}

// draw_into for a sampler with few rises: each draw counted on its slot
// (no search and no lookup per shot), the slots turned into the ascending
// tally at the end (the last slot's fallback index may equal the last rise).
std::vector<std::pair<std::uint64_t, std::uint64_t>> draw_few_into(const Sampler& sampler, RandomStream& stream,
                                                                   std::uint64_t shots, std::uint64_t* record,
                                                                   const RunControl* control) {
  const auto round = static_cast<std::size_t>(std::min<std::uint64_t>(kRound, shots));
  Buffer<double> draws = Buffer<double>::uninitialized(round);
  std::array<std::uint64_t, Sampler::kMaxFewSlots> per_slot{};
  for (std::uint64_t shot = 0; shot < shots; shot += kRound) {
    const auto lanes = static_cast<std::size_t>(std::min<std::uint64_t>(kRound, shots - shot));
    if (control != nullptr) control->check();
    double* const r = draws.data();
    stream.fill_unit_doubles(r, lanes);  // every value in [0, 1)
    for (std::size_t k = 0; k < lanes; ++k) {
      const std::uint64_t slot = sampler.few_slot(r[k]);
      ++per_slot[slot];
      if (record != nullptr) record[shot + k] = sampler.few_outcome(slot);
    }
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  for (std::uint64_t slot = 0; slot < sampler.few_slots(); ++slot) {
    if (per_slot[slot] == 0) continue;
    const std::uint64_t outcome = sampler.few_outcome(slot);
    if (!out.empty() && out.back().first == outcome) {
      out.back().second += per_slot[slot];
    } else {
      out.emplace_back(outcome, per_slot[slot]);
    }
  }
  return out;
}

using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Two ascending tallies as one.
Pairs merged(const Pairs& a, const Pairs& b) {
  Pairs out;
  out.reserve(a.size() + b.size());
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && a[i].first < b[j].first)) {
      out.push_back(a[i++]);
    } else if (i == a.size() || b[j].first < a[i].first) {
      out.push_back(b[j++]);
    } else {
      out.emplace_back(a[i].first, a[i].second + b[j].second);
      ++i, ++j;
    }
  }
  return out;
}

// Per draw in a round of the block layout: the draw, its copy grouped by
// block, its block and then its outcome, and (keeping shots) where it came from.
constexpr std::uint64_t kBlockDrawBytes = 3 * sizeof(double);
constexpr std::uint64_t kBlockRecordBytes = sizeof(std::uint32_t);

// draw_into for the block layout: a round's draws counted into their blocks
// (block_of), then each block with draws has its sums recomputed once and
// its draws searched in them, blocks side by side on the pool. A block's
// outcomes lie in its own range, so sorted per block they come out
// ascending, and the round's tally is a run-length count.
Pairs draw_in_blocks(const Sampler& sampler, RandomStream& stream, std::uint64_t shots, std::uint64_t* record,
                     const RunControl* control, std::uint64_t round_size) {
  const auto round = static_cast<std::size_t>(std::clamp<std::uint64_t>(round_size, 1, std::min<std::uint64_t>(shots, ~std::uint32_t{0})));
  const std::uint64_t blocks = sampler.block_count();  // slot `blocks`: no block, the last index
  Buffer<double> draws = Buffer<double>::uninitialized(round);
  Buffer<double> grouped = Buffer<double>::uninitialized(round);
  Buffer<std::uint64_t> outcomes = Buffer<std::uint64_t>::uninitialized(round);  // first each draw's block
  Buffer<std::uint32_t> from = Buffer<std::uint32_t>::uninitialized(record != nullptr ? round : 0);
  std::vector<std::uint32_t> head(blocks + 2);
  Pairs total;
  for (std::uint64_t shot = 0; shot < shots; shot += round) {
    const auto lanes = static_cast<std::size_t>(std::min<std::uint64_t>(round, shots - shot));
    if (control != nullptr) control->check();
    double* const r = draws.data();
    stream.fill_unit_doubles(r, lanes);
    // Each draw's block (searches, spread over the pool), then a counting
    // sort by block; afterwards head[b] is where block b's draws end.
    std::uint64_t* const block_of = outcomes.data();
    auto find = [&](std::uint64_t k0, std::uint64_t k1) {
      for (std::uint64_t k = k0; k < k1; ++k) block_of[k] = sampler.block_of(r[k]);
    };
    parallel_for(lanes, kSearchGrain, find);
    std::fill(head.begin(), head.end(), 0u);
    for (std::size_t k = 0; k < lanes; ++k) ++head[block_of[k] + 1];
    for (std::uint64_t b = 0; b <= blocks; ++b) head[b + 1] += head[b];
    for (std::size_t k = 0; k < lanes; ++k) {
      const std::uint32_t at = head[block_of[k]]++;
      grouped[at] = r[k];
      if (record != nullptr) from[at] = static_cast<std::uint32_t>(k);
    }
    auto resolve = [&](std::uint64_t b0, std::uint64_t b1) {
      std::vector<double> sums;
      for (std::uint64_t b = b0; b < b1; ++b) {
        const std::uint32_t begin = b == 0 ? 0 : head[b - 1], end = head[b];
        if (begin == end) continue;
        if (b == blocks) {
          std::fill(outcomes.data() + begin, outcomes.data() + end, sampler.size() - 1);
        } else {
          sums.resize(std::size_t{1} << sampler.block_bits());
          sampler.block_sums(b, sums.data());
          for (std::uint32_t i = begin; i < end; ++i) outcomes[i] = sampler.draw_in_block(b, sums.data(), grouped[i]);
        }
        if (record != nullptr) {
          for (std::uint32_t i = begin; i < end; ++i) record[shot + from[i]] = outcomes[i];
        }
        std::sort(outcomes.data() + begin, outcomes.data() + end);
      }
    };
    parallel_for(blocks + 1, resolve);
    if (shot + lanes == shots) {
      // The last round: only the outcomes are read from here on.
      draws = {}, grouped = {}, from = {};
    }
    // Counted first, so the pairs are allocated once at their size.
    std::size_t distinct = 0;
    for (std::size_t k = 0; k < lanes; ++k) distinct += k == 0 || outcomes[k] != outcomes[k - 1] ? 1 : 0;
    Pairs pairs;
    pairs.reserve(distinct);
    for (std::size_t k = 0; k < lanes;) {
      std::size_t e = k + 1;
      while (e < lanes && outcomes[e] == outcomes[k]) ++e;
      pairs.emplace_back(outcomes[k], e - k);
      k = e;
    }
    total = total.empty() ? std::move(pairs) : merged(total, pairs);
  }
  return total;
}

template <class T>
std::vector<std::pair<std::uint64_t, std::uint64_t>> draw_shots(const BasicStateVector<T>& state, RandomStream& stream,
                                                                 std::uint64_t shots, std::uint64_t* record,
                                                                 const RunControl* control,
                                                                 std::optional<SamplingPlan> asked) {
  if (shots == 0) return {};
  const SamplingPlan plan =
      asked ? *asked : sampling_plan(state.n_qubits(), shots, record != nullptr, sizeof(BasicComplex<T>));
  const Sampler sampler(state, plan.block_bits);
  if (sampler.few()) return draw_few_into(sampler, stream, shots, record, control);
  if (sampler.block_bits() != 0) return draw_in_blocks(sampler, stream, shots, record, control, plan.round);
  // The dense array is only a speed-up: without memory for it the hash
  // (which grows with the outcomes actually drawn) does the same job.
  if (dense_tally_for(std::min(shots, sampler.positive_count()), sampler.size(), shots)) {
    std::optional<DenseTally> dense;
    try {
      dense.emplace(sampler.size());
    } catch (const FatalError& e) {
      if (e.kind() != FatalError::Kind::OutOfMemory) throw;
    } catch (const std::bad_alloc&) {
    }
    if (dense) {
      draw_into(sampler, stream, shots, record, control, *dense);
      return dense->sorted();
    }
  }
  OutcomeTally tally;
  draw_into(sampler, stream, shots, record, control, tally);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  const std::vector<OutcomeTally::Entry> sorted = tally.sorted();
  out.reserve(sorted.size());
  for (const auto& e : sorted) out.emplace_back(e.outcome, e.count);
  return out;
}

}  // namespace

std::uint64_t whole_sums_sampling_bytes(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots) {
  if (shots == 0 || n_qubits >= 60) return 0;
  const std::uint64_t size = std::uint64_t{1} << n_qubits;
  const unsigned guide_bits = guide_bits_for(static_cast<unsigned>(n_qubits));
  std::uint64_t bytes = sizeof(double) * size + sizeof(std::uint64_t) * ((std::uint64_t{1} << guide_bits) + 1);
  // The tally at its largest, every shot a different outcome: the dense
  // counts or the hash (16-byte slots, grown at half load). Beside it, first
  // the round buffers while drawing, then (those gone) the sorted
  // (outcome, count) pairs made from it: 16 bytes each, twice over for the
  // hash, whose sorted entries are copied into the pairs (what a caller
  // turns those into comes after the running sums are gone).
  const std::uint64_t distinct = std::min(shots, size);
  const bool dense = dense_tally_for(distinct, size, shots);
  bytes += dense ? sizeof(std::uint32_t) * size : 64 * distinct;
  return bytes + std::max(round_bytes(size, shots, keep_shots), (dense ? 16 : 32) * distinct);
}

namespace {

// Blocks of 2^12 amplitudes: a block's sums (32 KiB) stay in a core's cache
// while its draws are searched, and the blocks' last sums are 1/512 of a
// double state.
constexpr unsigned kBlockBits = 12;

// The block layout's bytes besides a round's draws and the tally: the
// blocks' last sums, their guide, the block heads, and a block's sums per
// pool thread.
std::uint64_t block_layout_bytes(std::uint64_t n_qubits, unsigned block_bits) {
  const std::uint64_t blocks = (((std::uint64_t{1} << n_qubits) - 1) >> block_bits) + 1;
  const unsigned guide_bits = guide_bits_for(static_cast<unsigned>(std::bit_width(blocks) - 1));
  return sizeof(double) * blocks + sizeof(std::uint64_t) * ((std::uint64_t{1} << guide_bits) + 1) +
         sizeof(std::uint32_t) * (blocks + 2) +
         static_cast<std::uint64_t>(pool_thread_count()) * (sizeof(double) << block_bits);
}

}  // namespace

SamplingPlan sampling_plan(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots,
                           std::uint64_t amplitude_bytes) {
  if (n_qubits >= 60) return {};
  const std::uint64_t state = amplitude_bytes << n_qubits;
  const std::uint64_t room = std::max(state / 16, kSamplingFloor);
  if (n_qubits <= kBlockBits || whole_sums_sampling_bytes(n_qubits, std::max<std::uint64_t>(shots, 1), keep_shots) <= room)
    return {};
  const std::uint64_t fixed = block_layout_bytes(n_qubits, kBlockBits);
  const std::uint64_t per_draw = kBlockDrawBytes + (keep_shots ? kBlockRecordBytes : 0);
  const std::uint64_t round = room > fixed ? (room - fixed) / per_draw : 1;
  return {kBlockBits, std::clamp<std::uint64_t>(round, 1, std::max<std::uint64_t>(shots, 1))};
}

std::uint64_t sampling_bytes(std::uint64_t n_qubits, std::uint64_t shots, bool keep_shots,
                             std::uint64_t amplitude_bytes) {
  if (shots == 0 || n_qubits >= 60) return 0;
  const SamplingPlan plan = sampling_plan(n_qubits, shots, keep_shots, amplitude_bytes);
  if (plan.block_bits == 0) return whole_sums_sampling_bytes(n_qubits, shots, keep_shots);
  // One round: its buffers, then (the draws freed) its outcomes and pairs.
  // With more, beside a round's buffers the round's pairs, the tally so
  // far and the two merged: at most three times the distinct outcomes.
  const std::uint64_t distinct = std::min(shots, std::uint64_t{1} << n_qubits);
  const std::uint64_t round = plan.round * (kBlockDrawBytes + (keep_shots ? kBlockRecordBytes : 0));
  return block_layout_bytes(n_qubits, plan.block_bits) +
         (plan.round >= shots ? std::max(round, sizeof(std::uint64_t) * plan.round + 16 * distinct)
                              : round + 48 * distinct);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const StateVector& state, RandomStream& stream,
                                                                  std::uint64_t shots, const RunControl* control,
                                                                  std::optional<SamplingPlan> plan) {
  return draw_shots(state, stream, shots, nullptr, control, plan);
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> sample_tally(const SingleStateVector& state,
                                                                  RandomStream& stream, std::uint64_t shots,
                                                                  const RunControl* control,
                                                                  std::optional<SamplingPlan> plan) {
  return draw_shots(state, stream, shots, nullptr, control, plan);
}

namespace {

template <class T>
ShotRecord record_shots(const BasicStateVector<T>& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control, std::optional<SamplingPlan> plan) {
  ShotRecord result;
  if (shots == 0) return result;
  vorn::require_memory(shots > (~std::uint64_t{0} >> 3) ? ~std::uint64_t{0} : shots * sizeof(std::uint64_t));
  result.outcomes.resize(shots);
  result.tally = draw_shots(state, stream, shots, result.outcomes.data(), control, plan);
  return result;
}

template <class C>
bool probabilities_finite(const C* amplitudes, std::uint64_t count) {
  std::atomic<bool> finite{true};
  auto body = [&](std::uint64_t begin, std::uint64_t end) {
    bool ok = true;
    for (std::uint64_t i = begin; i < end; ++i) {
      ok &= std::isfinite(norm2(amplitudes[i]));
    }
    if (!ok) finite.store(false, std::memory_order_relaxed);
  };
  parallel_for(count, std::uint64_t{1} << 14, body);
  return finite.load();
}

}  // namespace

ShotRecord sample_shots(const StateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control, std::optional<SamplingPlan> plan) {
  return record_shots(state, stream, shots, control, plan);
}

ShotRecord sample_shots(const SingleStateVector& state, RandomStream& stream, std::uint64_t shots,
                        const RunControl* control, std::optional<SamplingPlan> plan) {
  return record_shots(state, stream, shots, control, plan);
}

bool all_probabilities_finite(const Complex* amplitudes, std::uint64_t count) {
  return probabilities_finite(amplitudes, count);
}

bool all_probabilities_finite(const SingleComplex* amplitudes, std::uint64_t count) {
  return probabilities_finite(amplitudes, count);
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
