// One run's options as one value: the vorn package checks its keyword
// arguments into a Python Request, hands the engine this (vorn._ext's
// RunRequest), and every engine reads the fields it serves from it. A new
// option is a field here, its binding and its Python spelling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vorn::sim {

struct DynamicOptions;
struct TrajectoryOptions;

struct RunRequest {
  // Keys the run's ChaCha12 stream; none: 32 bytes of OS entropy (asked for
  // whether or not anything is drawn).
  std::optional<std::uint64_t> seed;
  std::uint64_t shots = 0;
  bool keep_shots = false;  // every shot's outcome, in shot order (0s when nothing is drawn)
  // A state whose probabilities are not all finite is refused before
  // sampling (std::invalid_argument) instead of sampled by the fallback rule.
  bool require_finite = false;
  // Above 0: consecutive gates fused into dense gates on up to this many
  // qubits (fusion.hpp) before the run; amplitudes then differ from the
  // exact path by rounding. 0 runs the gates as compiled.
  unsigned fusion_qubits = 0;
  // A complex64 state: half the memory of double. The memory figures read
  // it; the typed entry points (run_program, run_single_program) run in
  // their own precision whatever it says.
  bool single_precision = false;
  // At most this many threads (0: the pool's size). Applied where the call
  // enters the engine (the Python boundary's ThreadLimit), never a result's input.
  std::size_t threads = 0;
  // Dynamic and noisy runs: the most branch states alive at once (0: by the
  // memory available at the start); past it a branch is recomputed. Same bits.
  std::uint64_t max_live_states = 0;
  // Noisy runs: trajectories per walk (0: all in one). Same bits.
  std::uint64_t batch = 0;
  // Dynamic runs with shots == 1: that shot's final state.
  bool keep_state = false;
  // Sampling keeps every running sum (vorn_python's run, whose memory
  // figures count them) instead of the sampling plan's block layout.
  bool whole_sums = false;
};

// The dynamic and trajectory engines' own option structs, read off a request
// (branching.hpp, trajectories.hpp).
DynamicOptions dynamic_options(const RunRequest& request);
TrajectoryOptions trajectory_options(const RunRequest& request);

}  // namespace vorn::sim
