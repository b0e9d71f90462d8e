// Dynamic circuits: mid-circuit measurement with collapse, reset, and steps
// conditioned on classical bits. Every shot is an independent run, as Qiskit
// Aer defines them; rather than simulating each shot, the engine branches:
// a branch is (state, shot count, classical bits), and at a measurement its
// shots split between the two outcomes by one exact binomial draw, the state
// copied only when both outcomes get shots. Used by the vorn package's run
// for circuits that measure in the middle, reset or condition. The steps,
// their collapse and the walk over the branches are step_walk.hpp's.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "vorn/core/statevector.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/random_stream.hpp"
#include "vorn/simulator/run_control.hpp"
#include "vorn/simulator/step_walk.hpp"

namespace vorn::sim {

struct DynamicOptions {
  bool keep_shots = false;  // every shot's clbit value, in a seeded random order
  bool keep_state = false;  // with shots == 1, that shot's final state (before the final measurements)
  // The most branch states alive at once; 0 decides by the memory available
  // at the start. Past it a branch keeps only its outcomes and its state is
  // recomputed from the start when its turn comes: the same bits, more time.
  std::uint64_t max_live_states = 0;
  // A complex64 state (run_dynamic_single): half the memory of double. Only
  // dynamic_required_memory reads it.
  bool single_precision = false;
};

template <class T>
struct BasicDynamicResult {
  std::optional<BasicStateVector<T>> state;  // with keep_state and shots == 1
  Tally tally;                               // clbit value -> shots, ascending
  std::vector<std::uint64_t> shots;          // with keep_shots
};
using DynamicResult = BasicDynamicResult<double>;
using SingleDynamicResult = BasicDynamicResult<float>;

// Runs `shots` shots (0: nothing runs). Branches are taken depth first, the
// outcome-0 side first, so the stream (keyed by the seed) is read in one
// order however the run is threaded or capped: the same seed gives the same
// tally and shots. With a control: cancellable between steps and gates;
// progress counts gates applied, the total growing as branches appear.
DynamicResult run_dynamic(const Program& program, const DynamicSteps& dynamic, std::optional<std::uint64_t> seed,
                          std::uint64_t shots, RunControl* control = nullptr, const DynamicOptions& options = {});

// run_dynamic on a complex64 state (run_single_program's conventions: each
// gate's matrix rounded to float once; weights and sampling sums in double
// from the float amplitudes). The same checks and stream; the outcomes
// follow the float state's weights.
SingleDynamicResult run_dynamic_single(const Program& program, const DynamicSteps& dynamic,
                                       std::optional<std::uint64_t> seed, std::uint64_t shots,
                                       RunControl* control = nullptr, const DynamicOptions& options = {});

// Bytes a dynamic run needs at its peak with every branch state it can have
// kept (`base` true: only what it cannot do without, one state and the
// buffers; the run checks that much up front and keeps branch states only
// while memory allows).
std::uint64_t dynamic_required_memory(const Program& program, const DynamicSteps& dynamic, std::uint64_t shots,
                                      const DynamicOptions& options = {}, bool base = false);

// How many of n shots see outcome 1, when outcomes 0 and 1 have weights w0
// and w1 (finite, >= 0, not both 0): a binomial draw by inversion of one
// uniform from `stream`, its probabilities made with IEEE operations only
// (the same on every machine). None drawn when w0 or w1 is 0.
std::uint64_t draw_binomial(RandomStream& stream, std::uint64_t n, double w0, double w1,
                            const RunControl* control = nullptr);

// A uniform integer in [0, bound) (bound >= 1), by rejection: unbiased.
std::uint64_t draw_below(RandomStream& stream, std::uint64_t bound);

}  // namespace vorn::sim
