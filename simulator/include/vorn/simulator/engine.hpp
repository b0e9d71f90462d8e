// Runs one circuit: gates in order on a fresh state, snapshot, then shots.
// Called by the Python run() with the interpreter lock released.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/circuit.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/measurement.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::sim {

// Whole-register outcomes (qubit q = bit q of the index) and how often each
// was drawn, ascending by outcome.
using Tally = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// vorn_python's run: the state and the tally; the keyed counts are made
// only when asked for (Python's counts() builds its dict from the tally).
struct RunResult {
  StateVector snapshot;
  Tally tally;
  Counts counts() const { return counts_from_tally(tally, snapshot.n_qubits()); }
};

// `control`, when given, can cancel the run (RunCancelled, every buffer
// released) and counts its progress.
RunResult run_circuit(const Circuit& circuit, std::optional<std::uint64_t> seed, std::uint64_t shots,
                      RunControl* control = nullptr);

template <class T>
struct BasicProgramResult {
  BasicStateVector<T> snapshot;
  Tally tally;                        // empty unless the program samples and shots >= 1
  std::vector<std::uint64_t> shots;   // each shot's outcome in shot order, when kept
};
using ProgramResult = BasicProgramResult<double>;
using SingleProgramResult = BasicProgramResult<float>;

// What a vorn-package run asks for beyond vorn_python's behaviour.
struct RunOptions {
  bool keep_shots = false;      // every shot's outcome, in shot order (0s when nothing is drawn)
  // A state whose probabilities are not all finite is refused before
  // sampling (std::invalid_argument) instead of sampled by the fallback rule.
  bool require_finite = false;
  // Above 0: consecutive gates fused into dense gates on up to this many
  // qubits (fusion.hpp) before the run; amplitudes then differ from the
  // exact path by rounding. 0, the default, runs the gates as compiled.
  unsigned fusion_qubits = 0;
  // A complex64 state (run_single_program): half the memory of double.
  // required_memory and the sweeps' memory figure and expectations read it;
  // run_program always runs in double.
  bool single_precision = false;
  // Sampling keeps every running sum (vorn_python's run, whose memory
  // figures count them) instead of sampling_plan's layout.
  bool whole_sums = false;
};

// The run of a compiled program: the same failures, memory check, random
// stream and sampling as run_circuit (which compiles and calls this), so the
// same seed gives the same outcomes for the same gates.
ProgramResult run_program(const Program& program, std::optional<std::uint64_t> seed, std::uint64_t shots,
                          RunControl* control = nullptr, const RunOptions& options = {});

// run_program in single precision: the same checks, stream and sampling on a
// complex64 state, each gate's matrix rounded to float once; probabilities
// and sampling sums are formed in double from the float amplitudes.
SingleProgramResult run_single_program(const Program& program, std::optional<std::uint64_t> seed,
                                       std::uint64_t shots, RunControl* control = nullptr,
                                       const RunOptions& options = {});

// run_program after its checks, with the caller's stream, leaving control's
// total alone: a sweep runs one program per binding under one control, each
// exactly as run_program would run it.
ProgramResult run_checked_program(const Program& program, RandomStream& stream, std::uint64_t shots,
                                  RunControl* control, const RunOptions& options = {});
// The same as run_single_program runs it, on a complex64 state.
SingleProgramResult run_checked_single_program(const Program& program, RandomStream& stream, std::uint64_t shots,
                                               RunControl* control, const RunOptions& options = {});

// Bytes a run of the program allocates at its peak: the state, the gather
// buffers of blocked runs, and when it samples the sampler's vectors and the
// kept shots. The figure the run's own memory check compares.
std::uint64_t required_memory(const Program& program, std::uint64_t shots, const RunOptions& options = {});

}  // namespace vorn::sim
