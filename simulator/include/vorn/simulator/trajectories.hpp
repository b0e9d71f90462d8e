// Noisy runs by quantum trajectories: every shot (trajectory) is one
// independent run in which each noise channel picks one of its operators.
// Trajectories that have made the same choices so far share one state: the
// run walks the tree of choices depth first, a branch point keeping the
// state it started from, so the noiseless prefix common to most
// trajectories is simulated once and each distinct error pattern once.
// Every trajectory draws from a ChaCha12 stream of its own, keyed by the
// seed and its index, so its outcome does not depend on which others run
// with it, on the batch size or on the thread count. Used by vorn.run and
// vorn.expval with noise=.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vorn/core/complex.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

enum class ChannelKind : std::uint8_t {
  Mixture,  // unitaries chosen with fixed probabilities: the choice never reads the state
  Kraus,    // operators K with sum K^dagger K = I: probabilities Tr(K rho K^dagger) from the state
};

// One noise channel on 1 or 2 qubits. Operators are 2^m x 2^m row-major,
// bit j of their local index on qubits[j].
struct NoiseChannel {
  ChannelKind kind = ChannelKind::Mixture;
  std::vector<std::uint64_t> qubits;
  std::vector<std::vector<Complex>> operators;
  std::vector<double> probabilities;  // Mixture: one per operator, >= 0
};

// Readout error of one qubit: P(record j | outcome i) at [2 i + j].
struct ReadoutError {
  std::uint64_t qubit = 0;
  double p[4] = {1.0, 0.0, 0.0, 1.0};
};

// The noise of one run: the channels the program's Channel steps name, and
// the readout errors of measured qubits (at most one per qubit).
struct NoiseSpec {
  std::vector<NoiseChannel> channels;
  std::vector<ReadoutError> readout;
};

struct TrajectoryOptions {
  bool keep_shots = false;  // each trajectory's clbit value, in trajectory order
  // Trajectories per walk (0: all in one): fewer keeps less per-trajectory
  // data alive, more shares more prefixes. The results do not depend on it.
  std::uint64_t batch = 0;
  // The most states alive at once (0: by the memory available at the
  // start); past it a branch is replayed from the start when its turn comes.
  std::uint64_t max_live_states = 0;
  // run_trajectories on complex64 states (run_single_program's conventions:
  // gates and channel operators rounded to float once; weights and sampling
  // sums in double from the float amplitudes). The draws follow the float
  // states' weights.
  bool single_precision = false;
};

struct TrajectoryRunResult {
  Tally tally;                       // clbit value -> shots, ascending
  std::vector<std::uint64_t> shots;  // with keep_shots
  std::uint64_t distinct_paths = 0;  // final states simulated (distinct error and outcome patterns)
};

struct TrajectoryExpvalResult {
  std::vector<double> means;           // one per observable: the mean over trajectories of <H>
  std::vector<double> standard_errors; // the sample standard deviation / sqrt(trajectories)
  std::uint64_t distinct_paths = 0;
};

// Throws std::invalid_argument naming the first step, channel or readout
// error that does not fit the program.
void validate(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise);

// Runs `shots` trajectories of the program (steps as the branching run's,
// plus Channel steps), drawing the final measurements from each one's final
// state and applying readout errors to every recorded bit.
TrajectoryRunResult run_trajectories(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                                     std::optional<std::uint64_t> seed, std::uint64_t shots,
                                     RunControl* control = nullptr, const TrajectoryOptions& options = {});

// The mean over `trajectories` trajectories of each observable's <psi|H|psi>
// (real parts; coefficients real) at each trajectory's final state, and its
// standard error. Measurements in the steps collapse as in a run. Always in
// double precision (options.single_precision is run_trajectories' only).
TrajectoryExpvalResult expval_trajectories(const Program& program, const DynamicSteps& steps, const NoiseSpec& noise,
                                           std::span<const PauliSumView> observables,
                                           std::optional<std::uint64_t> seed, std::uint64_t trajectories,
                                           RunControl* control = nullptr, const TrajectoryOptions& options = {});

// The 2^m x 2^m reduced density matrix (row-major) of the state on
// `qubits` (m = 1 or 2, bit j of its index on qubits[j]), every entry a sum
// through the fixed reduction tree.
std::vector<Complex> reduced_density_matrix(const StateVector& state, std::span<const std::uint64_t> qubits);
// The same on a complex64 state, each amplitude read in double.
std::vector<Complex> reduced_density_matrix(const SingleStateVector& state, std::span<const std::uint64_t> qubits);

// Draws of trajectory `index` of a run keyed by `seed`: a stream of its own
// (exposed for tests, which check independence from the other trajectories).
class TrajectoryStream {
 public:
  TrajectoryStream(const std::array<std::uint32_t, 8>& run_key, std::uint64_t index) noexcept;
  double draw_unit_double();
  // The key every trajectory of a run derives from its seed (or entropy).
  static std::array<std::uint32_t, 8> run_key(std::optional<std::uint64_t> seed);

 private:
  const std::array<std::uint32_t, 8>* key_;
  std::uint64_t index_;
  std::uint64_t position_ = 0;  // draws taken
  std::uint32_t block_[16] = {};
};

}  // namespace vorn::sim
