// Dynamic circuits: mid-circuit measurement with collapse, reset, and steps
// conditioned on classical bits. Every shot is an independent run, as Qiskit
// Aer defines them; rather than simulating each shot, the engine branches:
// a branch is (state, shot count, classical bits), and at a measurement its
// shots split between the two outcomes by one exact binomial draw, the state
// copied only when both outcomes get shots. Used by the vorn package's run
// for circuits that measure in the middle, reset or condition.
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

namespace vorn::sim {

enum class StepKind : std::uint8_t {
  Gates,       // program.gates[a .. b) in order
  Measure,     // qubit a into clbit b (the state collapses)
  Reset,       // qubit a to |0>: measured, then flipped when 1; no clbit written
  JumpUnless,  // to step a unless (clbits & mask) == value
  Jump,        // to step a
  Channel,     // noise channel a (trajectories.hpp's runs only; the branching run refuses it)
};

// One step of a dynamic program. Jumps only go forward, so a run passes
// every step at most once.
struct Step {
  StepKind kind = StepKind::Gates;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::uint64_t mask = 0;
  std::uint64_t value = 0;
};

// What a dynamic run executes besides the program's gates.
struct DynamicSteps {
  std::vector<Step> steps;
  // (qubit, clbit) in circuit order: measurements nothing acts on afterwards,
  // drawn from each branch's final state as a run draws its final
  // measurements (a later pair writing the same clbit wins).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> final_measures;
  std::uint64_t n_clbits = 0;  // at most 64: clbit c is bit c of a shot's value
};

inline constexpr std::uint64_t kMaxDynamicClbits = 64;

struct DynamicOptions {
  bool keep_shots = false;  // every shot's clbit value, in a seeded random order
  bool keep_state = false;  // with shots == 1, that shot's final state (before the final measurements)
  // The most branch states alive at once; 0 decides by the memory available
  // at the start. Past it a branch keeps only its outcomes and its state is
  // recomputed from the start when its turn comes: the same bits, more time.
  std::uint64_t max_live_states = 0;
};

struct DynamicResult {
  std::optional<StateVector> state;  // with keep_state and shots == 1
  Tally tally;                       // clbit value -> shots, ascending
  std::vector<std::uint64_t> shots;  // with keep_shots
};

// Throws std::invalid_argument naming the first step, final measurement or
// count that does not fit the program.
void validate(const Program& program, const DynamicSteps& dynamic);

// The pieces every run of dynamic steps shares (this one and the noisy
// trajectories): the start state (|0...0> times e^(i global phase)), the
// step a Jump or JumpUnless at pc leads a shot with these clbits to, and a
// Gates step's gates applied in order (counted and cancellable with a control).
StateVector initial_state(const Program& program);
std::size_t step_after_jump(const DynamicSteps& dynamic, std::size_t pc, std::uint64_t clbits);
void apply_gates_step(StateVector& state, const Program& program, const Step& step, RunControl* control = nullptr);

// Weights of outcomes 0 and 1 of `qubit`: the sums of |amplitude|^2 over the
// indices with the bit 0 and 1, each by the fixed reduction tree.
std::pair<double, double> measure_weights(const StateVector& state, std::uint64_t qubit);
// Keeps the part of the state where `qubit` reads `outcome`, scaled by
// 1/sqrt(weight); with `reset` that part moves to the qubit's |0> half.
void collapse_qubit(StateVector& state, std::uint64_t qubit, int outcome, double weight, bool reset);

// Runs `shots` shots (0: nothing runs). Branches are taken depth first, the
// outcome-0 side first, so the stream (keyed by the seed) is read in one
// order however the run is threaded or capped: the same seed gives the same
// tally and shots. With a control: cancellable between steps and gates;
// progress counts gates applied, the total growing as branches appear.
DynamicResult run_dynamic(const Program& program, const DynamicSteps& dynamic, std::optional<std::uint64_t> seed,
                          std::uint64_t shots, RunControl* control = nullptr, const DynamicOptions& options = {});

// Bytes a dynamic run needs at its peak with every branch state it can have
// kept (`base` true: only what it cannot do without, one state and the
// buffers; the run checks that much up front and keeps branch states only
// while memory allows).
std::uint64_t dynamic_required_memory(const Program& program, const DynamicSteps& dynamic, std::uint64_t shots,
                                      const DynamicOptions& options = {}, bool base = false);

// Extra states a run whose own needs are `base` bytes may keep: as many as
// half the room left after the base allows (the rest stays for the
// allocator and the process). Results never depend on it.
std::uint64_t spare_states(std::uint64_t base, std::uint64_t state_bytes);

// How many of n shots see outcome 1, when outcomes 0 and 1 have weights w0
// and w1 (finite, >= 0, not both 0): a binomial draw by inversion of one
// uniform from `stream`, its probabilities made with IEEE operations only
// (the same on every machine). None drawn when w0 or w1 is 0.
std::uint64_t draw_binomial(RandomStream& stream, std::uint64_t n, double w0, double w1,
                            const RunControl* control = nullptr);

// A uniform integer in [0, bound) (bound >= 1), by rejection: unbiased.
std::uint64_t draw_below(RandomStream& stream, std::uint64_t bound);

}  // namespace vorn::sim
