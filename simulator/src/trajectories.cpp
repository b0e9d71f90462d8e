// Noisy runs by trajectories (see trajectories.hpp): the split policy of
// the walk over the trajectories' choices (step_walk.hpp), the channels'
// probabilities and operators, and the per-trajectory streams.
#include "vorn/simulator/trajectories.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/reduce.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/messages.hpp"

namespace vorn::sim {
namespace {

using U = std::uint64_t;

// The ChaCha12 nonce that derives a run's trajectory key from its seed's
// stream ("noise" in ASCII): plain runs use nonce 0, sweeps "sweep".
constexpr U kNoiseNonce = 0x65736f696eull;

// Trajectories per walk when the options leave it open.
constexpr U kDefaultBatch = U{1} << 20;

[[noreturn]] void invalid(std::string text) { throw std::invalid_argument(std::move(text)); }

// A 2^m x 2^m matrix on `qubits` as a compiled entry (bit j of the local index on qubits[j]).
CompiledGate matrix_gate(std::span<const U> qubits, std::vector<Complex> matrix) {
  CompiledGate gate;
  gate.shape = qubits.size() == 1 ? Shape::Single : Shape::TwoQubit;
  gate.targets.assign(qubits.begin(), qubits.end());
  gate.matrix = std::move(matrix);
  return gate;
}

// A gate's matrix rounded to float once (round_to_single), for a complex64 state.
void round_one(CompiledGate& gate) {
  std::vector<CompiledGate> one{std::move(gate)};
  round_to_single(one);
  gate = std::move(one[0]);
}

bool is_identity(const std::vector<Complex>& m, U dim) {
  for (U r = 0; r < dim; ++r) {
    for (U c = 0; c < dim; ++c) {
      const Complex v = m[r * dim + c];
      if (v.im != 0.0 || v.re != (r == c ? 1.0 : 0.0)) return false;
    }
  }
  return true;
}

// What a run needs of a channel, computed once: a mixture's unitaries as
// compiled entries (none for the identity), a Kraus set's K^dagger K.
struct PreparedChannel {
  const NoiseChannel* source = nullptr;
  std::vector<std::optional<CompiledGate>> unitaries;
  std::vector<std::vector<Complex>> gram;
};

// single: the unitaries rounded for a complex64 state too.
PreparedChannel prepare(const NoiseChannel& channel, bool single) {
  PreparedChannel out;
  out.source = &channel;
  const U dim = U{1} << channel.qubits.size();
  for (const auto& k : channel.operators) {
    if (channel.kind == ChannelKind::Mixture) {
      if (is_identity(k, dim)) {
        out.unitaries.emplace_back();
      } else {
        out.unitaries.emplace_back(matrix_gate(channel.qubits, k));
        if (single) round_one(*out.unitaries.back());
      }
      continue;
    }
    std::vector<Complex> g(dim * dim, Complex{0.0, 0.0});
    for (U r = 0; r < dim; ++r) {
      for (U c = 0; c < dim; ++c) {
        Complex sum{0.0, 0.0};
        for (U i = 0; i < dim; ++i) {  // conj(K[i][r]) K[i][c]
          const Complex a = k[i * dim + r];
          const Complex b = k[i * dim + c];
          sum = cadd(sum, Complex{a.re * b.re + a.im * b.im, a.re * b.im - a.im * b.re});
        }
        g[r * dim + c] = sum;
      }
    }
    out.gram.push_back(std::move(g));
  }
  return out;
}

// The index of the first operator whose running weight exceeds u * total
// (skipping weight 0); the last positive one when rounding leaves u unreached.
std::uint32_t choose_index(const std::vector<double>& weights, double total, double u) {
  const double target = u * total;
  double sum = 0.0;
  std::uint32_t last = 0;
  for (std::size_t k = 0; k < weights.size(); ++k) {
    if (!(weights[k] > 0.0)) continue;
    sum += weights[k];
    last = static_cast<std::uint32_t>(k);
    if (target < sum) return last;
  }
  return last;
}

// The readout error of each qubit (nullptr: none).
std::vector<const ReadoutError*> readout_table(const NoiseSpec& noise, U n_qubits) {
  std::vector<const ReadoutError*> table(n_qubits, nullptr);
  for (const auto& r : noise.readout) {
    if (r.qubit < n_qubits) table[r.qubit] = &r;
  }
  return table;
}

template <class T>
using Terminal = std::function<void(const BasicStateVector<T>&, U clbits, std::span<const U> members)>;

// The split policy of trajectories (step_walk.hpp): a branch carries the
// batch's trajectories that have made its choices so far; at a choice step
// each draws its own code from its own stream, the largest group (the
// lowest code among equals) stays on the branch and every other group
// leaves on a branch of its own. The order branches are walked in changes
// no trajectory's draws.
// T: the state's precision.
template <class T>
class Splitter {
 public:
  struct Payload {
    std::vector<U> members;
  };
  using State = BasicStateVector<T>;
  using Walk = StepWalk<Splitter, T>;

  Splitter(const std::vector<PreparedChannel>& channels, const std::vector<const ReadoutError*>& readout,
           std::vector<TrajectoryStream>& streams, const Terminal<T>& terminal)
      : channels_(channels), readout_(readout), streams_(streams), terminal_(terminal) {}

  std::pair<double, double> outcome_weights(const State& state, U qubit) const {
    const std::vector<Complex> rho = reduced_density_matrix(state, std::span<const U>(&qubit, 1));
    return {rho[0].re, rho[3].re};
  }

  // A mixture's probabilities, or a Kraus set's Tr(K rho K^dagger) at this state.
  std::vector<double> channel_weights(const State& state, const Step& step) const {
    const PreparedChannel& channel = channels_[step.a];
    if (channel.source->kind == ChannelKind::Mixture) return channel.source->probabilities;
    const std::vector<Complex> rho = reduced_density_matrix(state, channel.source->qubits);
    const U dim = U{1} << channel.source->qubits.size();
    std::vector<double> w;
    for (const auto& g : channel.gram) {
      double p = 0.0;  // Re Tr(G rho)
      for (U r = 0; r < dim; ++r) {
        for (U c = 0; c < dim; ++c) p += g[r * dim + c].re * rho[c * dim + r].re - g[r * dim + c].im * rho[c * dim + r].im;
      }
      w.push_back(p > 0.0 ? p : 0.0);
    }
    return w;
  }

  void apply_channel(State& state, const Step& step, std::uint32_t code, const std::vector<double>& w) const {
    DefaultFpEnv fp_env;
    const PreparedChannel& channel = channels_[step.a];
    if (channel.source->kind == ChannelKind::Mixture) {
      if (const auto& gate = channel.unitaries[code]) apply_gate(state, *gate);
      return;
    }
    const double scale = 1.0 / std::sqrt(w[code]);
    std::vector<Complex> k = channel.source->operators[code];
    for (Complex& v : k) v = Complex{v.re * scale, v.im * scale};
    CompiledGate gate = matrix_gate(channel.source->qubits, std::move(k));
    if constexpr (std::is_same_v<T, float>) round_one(gate);
    apply_gate(state, gate);
  }

  // Groups the branch's members by the code each draws; returns the staying code.
  std::uint32_t choose(WalkBranch<Payload, T>& node, const Step& step, const std::vector<double>& w, Walk& walk) {
    std::vector<U>& members = node.payload.members;
    const std::vector<std::uint32_t> codes = draw_codes(step, w, members);
    if (std::all_of(codes.begin(), codes.end(), [&](std::uint32_t c) { return c == codes[0]; })) return codes[0];
    std::map<std::uint32_t, std::vector<U>> groups;
    for (std::size_t i = 0; i < codes.size(); ++i) groups[codes[i]].push_back(members[i]);
    auto stay = groups.begin();
    for (auto it = groups.begin(); it != groups.end(); ++it) {
      if (it->second.size() > stay->second.size()) stay = it;
    }
    const std::uint32_t kept = stay->first;
    members = std::move(stay->second);
    for (auto& [code, group] : groups) {
      if (code != kept) walk.split_off(node, code, Payload{std::move(group)});
    }
    return kept;
  }

  void finish(WalkBranch<Payload, T>& node) {
    ++paths_;
    terminal_(*node.state, node.clbits, node.payload.members);
  }

  U distinct_paths() const noexcept { return paths_; }

 private:
  // Each member's code at this step, from its own stream.
  std::vector<std::uint32_t> draw_codes(const Step& step, const std::vector<double>& w,
                                        const std::vector<U>& members) {
    double total = 0.0;
    for (double x : w) total += x;
    const ReadoutError* flip = step.kind == StepKind::Measure ? readout_[step.a] : nullptr;
    std::vector<std::uint32_t> codes(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
      TrajectoryStream& stream = streams_[members[i]];
      std::uint32_t code = choose_index(w, total, stream.draw_unit_double());
      if (step.kind == StepKind::Measure) code = 2 * code + record_bit(flip, code, stream);
      codes[i] = code;
    }
    return codes;
  }

  // The bit a measurement with this outcome records (a readout error draws once).
  static std::uint32_t record_bit(const ReadoutError* flip, std::uint32_t outcome, TrajectoryStream& stream) {
    if (flip == nullptr) return outcome;
    return stream.draw_unit_double() < flip->p[2 * outcome] ? 0u : 1u;
  }

  const std::vector<PreparedChannel>& channels_;
  const std::vector<const ReadoutError*>& readout_;
  std::vector<TrajectoryStream>& streams_;
  const Terminal<T>& terminal_;
  U paths_ = 0;
};

// Everything a run sets up before its walks: checks, memory, channels, the
// readout table and the live-state cap; then walks the trajectories batch
// by batch. terminal(state, clbits, members, streams, first) gets the
// batch's streams and the global index of its first trajectory.
// T: the state's precision (for float, the program's gates already rounded).
template <class T, class OnTerminal>
U walk_trajectories(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                    std::optional<U> seed, U trajectories, RunControl* control, const TrajectoryOptions& options,
                    U extra_bytes, OnTerminal&& on_terminal) {
  check_register(program);
  const U n = program.n_qubits;
  validate(program, steps, noise);
  const U batch = std::min(trajectories, options.batch != 0 ? options.batch : kDefaultBatch);
  const U state_bytes = BasicStateVector<T>::bytes_for(n);
  Program gates_only;
  gates_only.n_qubits = n;
  const U base = required_memory(gates_only, RunRequest{.single_precision = std::is_same_v<T, float>}) +
                 batch * sizeof(TrajectoryStream) + extra_bytes;
  vorn::require_run_memory(state_bytes, base);
  const std::array<std::uint32_t, 8> key = TrajectoryStream::run_key(seed);
  if (trajectories == 0) return 0;
  // A split may send several branches off at once: no bound but the cap's.
  const U cap = live_state_cap(~U{0}, options.max_live_states, base, state_bytes);
  std::vector<PreparedChannel> channels;
  for (const auto& c : noise.channels) channels.push_back(prepare(c, std::is_same_v<T, float>));
  const std::vector<const ReadoutError*> readout = readout_table(noise, n);
  if (control != nullptr) control->set_total(trajectories);
  U paths = 0;
  for (U first = 0; first < trajectories; first += batch) {
    const U count = std::min(batch, trajectories - first);
    std::vector<TrajectoryStream> streams;
    streams.reserve(count);
    for (U t = 0; t < count; ++t) streams.emplace_back(key, first + t);
    const Terminal<T> terminal = [&](const BasicStateVector<T>& state, U clbits, std::span<const U> members) {
      on_terminal(state, clbits, members, streams, first);
      if (control != nullptr) control->advance(members.size());
    };
    Splitter<T> splitter(channels, readout, streams, terminal);
    StepWalk<Splitter<T>, T> walk(program, steps, splitter, control, cap, false);
    std::vector<U> members(count);
    for (U t = 0; t < count; ++t) members[t] = t;
    walk.walk(typename Splitter<T>::Payload{std::move(members)});
    paths += splitter.distinct_paths();
  }
  return paths;
}

}  // namespace

TrajectoryStream::TrajectoryStream(const std::array<std::uint32_t, 8>& run_key, std::uint64_t index) noexcept
    : key_(&run_key), index_(index) {}

double TrajectoryStream::draw_unit_double() {
  const U word = position_ % 8;
  if (word == 0) RandomStream::block(*key_, position_ / 8, index_, block_);
  const U v = U{block_[2 * word]} | U{block_[2 * word + 1]} << 32;
  ++position_;
  return static_cast<double>(v >> 11) * 0x1.0p-53;
}

std::array<std::uint32_t, 8> TrajectoryStream::run_key(std::optional<std::uint64_t> seed) {
  const RandomStream base = seed ? RandomStream::from_seed_value(*seed) : RandomStream::from_entropy();
  std::uint32_t block[16];
  RandomStream::block(base.key(), 0, kNoiseNonce, block);
  std::array<std::uint32_t, 8> key{};
  std::copy(block, block + 8, key.begin());
  return key;
}

namespace {

// Each amplitude read in double (exact for float).
template <class T>
std::vector<Complex> density_matrix(const BasicStateVector<T>& state, std::span<const std::uint64_t> qubits) {
  const U m = qubits.size();
  const U dim = U{1} << m;
  std::vector<U> sorted(qubits.begin(), qubits.end());
  std::sort(sorted.begin(), sorted.end());
  std::vector<U> offset(dim, 0);
  for (U l = 0; l < dim; ++l) {
    for (U j = 0; j < m; ++j) offset[l] |= ((l >> j) & 1) << qubits[j];
  }
  const BasicComplex<T>* amp = state.data();
  // Quantities: the dim diagonal entries, then re and im of each entry above it.
  const std::size_t width = dim * dim;
  auto leaf = [&](U first, U count, double* out) {
    double lanes[16][kReduceLanes] = {};
    for (U i = 0; i < count; ++i) {
      U index = first + i;
      for (U q : sorted) index = ((index >> q) << (q + 1)) | (index & ((U{1} << q) - 1));
      const std::size_t lane = i % kReduceLanes;
      std::size_t slot = 0;
      for (U a = 0; a < dim; ++a) lanes[slot++][lane] += norm2(amp[index | offset[a]]);
      for (U a = 0; a < dim; ++a) {
        const Complex x = to_double(amp[index | offset[a]]);
        for (U b = a + 1; b < dim; ++b) {
          const Complex y = to_double(amp[index | offset[b]]);
          lanes[slot++][lane] += x.re * y.re + x.im * y.im;
          lanes[slot++][lane] += x.im * y.re - x.re * y.im;
        }
      }
    }
    for (std::size_t s = 0; s < width; ++s) out[s] = combine_lanes(lanes[s]);
  };
  double sums[16];
  reduce_sum(state.size() >> m, width, leaf, sums);
  std::vector<Complex> rho(width);
  std::size_t slot = 0;
  for (U a = 0; a < dim; ++a) rho[a * dim + a] = Complex{sums[slot++], 0.0};
  for (U a = 0; a < dim; ++a) {
    for (U b = a + 1; b < dim; ++b) {
      rho[a * dim + b] = Complex{sums[slot], sums[slot + 1]};
      rho[b * dim + a] = Complex{sums[slot], -sums[slot + 1]};
      slot += 2;
    }
  }
  return rho;
}

}  // namespace

std::vector<Complex> reduced_density_matrix(const StateVector& state, std::span<const std::uint64_t> qubits) {
  return density_matrix(state, qubits);
}
std::vector<Complex> reduced_density_matrix(const SingleStateVector& state, std::span<const std::uint64_t> qubits) {
  return density_matrix(state, qubits);
}

void validate(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise) {
  const U n = program.n_qubits;
  // The steps as the branching run checks them, each channel standing in as an empty run of gates.
  DynamicSteps plain = steps;
  for (std::size_t s = 0; s < plain.steps.size(); ++s) {
    Step& step = plain.steps[s];
    if (step.kind != StepKind::Channel) continue;
    if (step.a >= noise.channels.size()) {
      invalid(messages::fill(messages::kInvalidStep, s, static_cast<unsigned>(step.kind)));
    }
    step = Step{};
  }
  validate(program, plain);
  for (std::size_t c = 0; c < noise.channels.size(); ++c) {
    const NoiseChannel& channel = noise.channels[c];
    const U m = channel.qubits.size();
    bool ok = (m == 1 || m == 2) && !channel.operators.empty();
    for (U q : channel.qubits) ok = ok && q < n;
    ok = ok && (m != 2 || channel.qubits[0] != channel.qubits[1]);
    const U entries = ok ? (U{1} << (2 * m)) : 0;
    for (const auto& k : channel.operators) {
      ok = ok && k.size() == entries;
      for (const Complex& v : k) ok = ok && std::isfinite(v.re) && std::isfinite(v.im);
    }
    if (channel.kind == ChannelKind::Mixture) {
      ok = ok && channel.probabilities.size() == channel.operators.size();
      double total = 0.0;
      for (double p : channel.probabilities) {
        ok = ok && std::isfinite(p) && p >= 0.0;
        total += p;
      }
      ok = ok && total > 0.0;
    } else {
      ok = ok && channel.kind == ChannelKind::Kraus;
    }
    if (!ok) invalid(messages::fill(messages::kInvalidChannel, c));
  }
  std::vector<bool> seen(n, false);
  for (const ReadoutError& r : noise.readout) {
    bool ok = r.qubit < n && !seen[r.qubit];
    for (double p : r.p) ok = ok && p >= 0.0 && p <= 1.0;
    if (!ok) invalid(messages::fill(messages::kInvalidReadout, r.qubit));
    seen[r.qubit] = true;
  }
}

namespace {

template <class T>
TrajectoryRunResult run_in(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                           std::optional<std::uint64_t> seed, std::uint64_t shots, RunControl* control,
                           const TrajectoryOptions& options) {
  const U n = program.n_qubits;
  std::map<U, U> tally;
  TrajectoryRunResult result;
  const U kept_bytes = options.keep_shots ? shots * sizeof(U) : 0;
  const U sampler_bytes = steps.final_measures.empty() ? 0 : sampling_bytes(n, 1);
  const std::vector<const ReadoutError*> readout = readout_table(noise, n);
  auto on_terminal = [&](const BasicStateVector<T>& state, U clbits, std::span<const U> members,
                         std::vector<TrajectoryStream>& streams, U first) {
    std::optional<Sampler> sampler;
    if (!steps.final_measures.empty()) {
      if (!all_probabilities_finite(state)) throw std::invalid_argument(std::string(messages::kNotSampleable));
      sampler.emplace(state);
    }
    for (U m : members) {
      U value = clbits;
      if (sampler) {
        TrajectoryStream& stream = streams[m];
        const U outcome = sampler->draw(stream.draw_unit_double());
        for (const auto& [qubit, clbit] : steps.final_measures) {
          U bit = (outcome >> qubit) & 1;
          if (const ReadoutError* flip = readout[qubit]) bit = stream.draw_unit_double() < flip->p[2 * bit] ? 0 : 1;
          value = (value & ~(U{1} << clbit)) | (bit << clbit);
        }
      }
      ++tally[value];
      if (options.keep_shots) {
        if (result.shots.empty()) result.shots.assign(shots, 0);  // after the run's memory check
        result.shots[first + m] = value;
      }
    }
  };
  result.distinct_paths = walk_trajectories<T>(program, steps, noise, seed, shots, control, options,
                                               kept_bytes + sampler_bytes, on_terminal);
  result.tally.assign(tally.begin(), tally.end());
  return result;
}

}  // namespace

TrajectoryRunResult run_trajectories(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                                     std::optional<std::uint64_t> seed, std::uint64_t shots, RunControl* control,
                                     const TrajectoryOptions& options) {
  if (!options.single_precision) return run_in<double>(program, steps, noise, seed, shots, control, options);
  Program rounded = program;
  round_to_single(rounded.gates);
  return run_in<float>(rounded, steps, noise, seed, shots, control, options);
}

TrajectoryExpvalResult expval_trajectories(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                                           std::span<const PauliSumView> observables,
                                           std::optional<std::uint64_t> seed, std::uint64_t trajectories,
                                           RunControl* control, const TrajectoryOptions& options) {
  const std::size_t count = observables.size();
  // Each trajectory's values kept in trajectory order, so that the sums do
  // not depend on the order the walk met them in.
  std::vector<std::vector<double>> values(count, std::vector<double>(trajectories));
  auto on_terminal = [&](const StateVector& state, U, std::span<const U> members, std::vector<TrajectoryStream>&,
                         U first) {
    const std::vector<Complex> e = expectation_values(std::span<const Complex>(state.data(), state.size()),
                                                      observables);
    for (std::size_t h = 0; h < count; ++h) {
      for (U m : members) values[h][first + m] = e[h].re;
    }
  };
  TrajectoryExpvalResult result;
  result.distinct_paths = walk_trajectories<double>(program, steps, noise, seed, trajectories, control, options,
                                            count * trajectories * sizeof(double), on_terminal);
  DefaultFpEnv fp_env;
  const double n = static_cast<double>(trajectories);
  for (auto& v : values) {
    const double mean = trajectories == 0 ? std::nan("") : fixed_tree_sum(v.data(), trajectories) / n;
    for (double& x : v) x = (x - mean) * (x - mean);
    const double variance = trajectories < 2 ? std::nan("") : fixed_tree_sum(v.data(), trajectories) / (n - 1.0);
    result.means.push_back(mean);
    result.standard_errors.push_back(std::sqrt(variance / n));
  }
  return result;
}

}  // namespace vorn::sim
