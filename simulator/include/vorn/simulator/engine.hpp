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
#include "vorn/simulator/run_request.hpp"

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

// The run of a compiled program with the request's seed, shots, shot
// record, finiteness check and fusion: the same failures, memory check,
// random stream and sampling as run_circuit (which compiles and calls this),
// so the same seed gives the same outcomes for the same gates. Always in
// double, whatever request.single_precision says.
ProgramResult run_program(const Program& program, const RunRequest& request, RunControl* control = nullptr);

// run_program in single precision: the same checks, stream and sampling on a
// complex64 state, each gate's matrix rounded to float once; probabilities
// and sampling sums are formed in double from the float amplitudes.
SingleProgramResult run_single_program(const Program& program, const RunRequest& request,
                                       RunControl* control = nullptr);

// run_program after its checks, with the caller's stream (request.seed
// unread), leaving control's total alone: a sweep runs one program per
// binding under one control, each exactly as run_program would run it.
ProgramResult run_checked_program(const Program& program, RandomStream& stream, const RunRequest& request,
                                  RunControl* control);
// The same as run_single_program runs it, on a complex64 state.
SingleProgramResult run_checked_single_program(const Program& program, RandomStream& stream,
                                               const RunRequest& request, RunControl* control);

// Bytes a run of the program with this request allocates at its peak: the
// state (complex64 when request.single_precision), the gather buffers of
// blocked runs, and when it samples the sampler's vectors and the kept
// shots. The figure the run's own memory check compares.
std::uint64_t required_memory(const Program& program, const RunRequest& request);
// The figure of a double-precision run of `shots` shots without a shot record.
inline std::uint64_t required_memory(const Program& program, std::uint64_t shots) {
  return required_memory(program, RunRequest{.shots = shots});
}

}  // namespace vorn::sim
