// The run driver: compile, fresh state, random stream, the compiled gates in
// list order (in cache-sized blocks where they fit), then whole-register
// sampling. Called by both Python modules' run functions.
#include "vorn/simulator/engine.hpp"

#include <cmath>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/simulator/blocking.hpp"
#include "vorn/simulator/fusion.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/testing.hpp"

namespace vorn::sim {
namespace {

bool samples(const Program& program, std::uint64_t shots) { return shots >= 1 && program.samples; }

}  // namespace

std::uint64_t required_memory(const Program& program, const RunRequest& options) {
  const std::uint64_t n = program.n_qubits;
  const std::uint64_t shots = options.shots;
  if (n == 0 || n > vorn::kMaxQubits) return 0;
  std::uint64_t bytes = options.single_precision ? SingleStateVector::bytes_for(n) : StateVector::bytes_for(n);
  const BlockingParams blocking = options.single_precision ? single_precision_blocking() : BlockingParams{};
  if (n > blocking.max_block_qubits) {
    // One gather buffer per pool thread at most (blocks are copied in only
    // where a run of gates has high qubits).
    const std::uint64_t amplitude = options.single_precision ? sizeof(SingleComplex) : sizeof(Complex);
    bytes += static_cast<std::uint64_t>(pool_thread_count()) * (amplitude << blocking.max_block_qubits);
  }
  if (samples(program, shots)) {
    // vorn_python's run keeps every running sum, and its figure counts them.
    bytes += options.whole_sums ? whole_sums_sampling_bytes(n, shots, options.keep_shots)
                                : sampling_bytes(n, shots, options.keep_shots,
                                                 options.single_precision ? sizeof(SingleComplex) : sizeof(Complex));
  }
  if (options.keep_shots) {
    // Kept whether or not anything is drawn (without measurements every shot reads 0).
    const std::uint64_t record = shots > (~std::uint64_t{0} >> 4) ? ~std::uint64_t{0} >> 1 : shots * 8;
    bytes = record > ~std::uint64_t{0} - bytes ? ~std::uint64_t{0} : bytes + record;
  }
  return bytes;
}

namespace {

// The gates on a fresh state of real type T, then sampling. A single-precision
// run rounds each (possibly fused) matrix to float once, up front.
template <class T>
BasicProgramResult<T> run_on_state(const Program& program, RandomStream& stream, const RunRequest& options,
                                   RunControl* control) {
  const std::uint64_t shots = options.shots;
  BasicStateVector<T> state = BasicStateVector<T>::create(program.n_qubits);
  if (program.global_phase != 0.0) {
    // The phase multiplies the initial state, where it touches one amplitude
    // exactly once; cos/sin must not see a caller's DAZ setting.
    DefaultFpEnv fp_env;
    state[0] = BasicComplex<T>{static_cast<T>(std::cos(program.global_phase)),
                               static_cast<T>(std::sin(program.global_phase))};
  }
  std::vector<CompiledGate> rewritten;
  std::span<const CompiledGate> gates = program.gates;
  bool fused = false;
  if (options.fusion_qubits > 0) {
    // Where nothing merges the list runs as it is, not copied.
    const FusionPlan plan = plan_fusion(program.gates, options.fusion_qubits, program.n_qubits);
    if (!plan.steps.empty()) {
      rewritten = fused_list(program.gates, plan);
      gates = rewritten;
      fused = true;
    }
  }
  if constexpr (std::is_same_v<T, float>) {
    if (!fused) rewritten = program.gates;
    round_to_single(rewritten);
    gates = rewritten;
  }
  // The progress total stays the circuit's gate count (what a bar shows); a
  // fused run gets there in fewer steps.
  apply_gates(state, gates, std::is_same_v<T, float> ? single_precision_blocking() : BlockingParams{}, control);

  // The state is moved into the result as the snapshot rather than copied:
  // nothing writes it after the last gate and sampling only reads it.
  BasicProgramResult<T> result{std::move(state), {}};
  if (samples(program, shots)) {
    if (options.require_finite && !all_probabilities_finite(result.snapshot)) {
      throw std::invalid_argument(std::string(messages::kNotSampleable));
    }
    const std::optional<SamplingPlan> plan = options.whole_sums ? std::optional<SamplingPlan>(SamplingPlan{}) : std::nullopt;
    if (options.keep_shots) {
      ShotRecord record = sample_shots(result.snapshot, stream, shots, control, plan);
      result.tally = std::move(record.tally);
      result.shots = std::move(record.outcomes);
    } else {
      result.tally = sample_tally(result.snapshot, stream, shots, control, plan);
    }
  } else if (options.keep_shots) {
    result.shots.assign(shots, 0);  // nothing measured: outcome 0 on every shot
  }
  return result;
}

// run_program's checks and stream, for either precision.
template <class T>
BasicProgramResult<T> run_checked(const Program& program, const RunRequest& request, RunControl* control) {
  const std::uint64_t n = program.n_qubits;
  if (n == 0) vorn::fatal(std::string(messages::kZeroQubits));
  if (n > vorn::kMaxQubits) vorn::fatal(std::string(messages::kCapacityOverflow));

  // One check of the whole run's need before the first gate, so a long
  // simulation is never lost for want of the sampling vector at the end.
  // Under an address-space limit, a state that fits while the whole run does
  // not is refused here too, not after the last gate.
  RunRequest sized = request;
  sized.single_precision = std::is_same_v<T, float>;
  vorn::require_run_memory(BasicStateVector<T>::bytes_for(n), required_memory(program, sized));

  // Always made, even when nothing will be drawn: without a seed the run asks
  // the OS for entropy whatever `shots` is.
  RandomStream stream =
      request.seed ? RandomStream::from_seed_value(*request.seed) : RandomStream::from_entropy();
  if (control != nullptr) control->set_total(program.gates.size());
  return run_on_state<T>(program, stream, request, control);
}

}  // namespace

ProgramResult run_program(const Program& program, const RunRequest& request, RunControl* control) {
  return run_checked<double>(program, request, control);
}

SingleProgramResult run_single_program(const Program& program, const RunRequest& request, RunControl* control) {
  return run_checked<float>(program, request, control);
}

ProgramResult run_checked_program(const Program& program, RandomStream& stream, const RunRequest& request,
                                  RunControl* control) {
  return run_on_state<double>(program, stream, request, control);
}

SingleProgramResult run_checked_single_program(const Program& program, RandomStream& stream,
                                               const RunRequest& request, RunControl* control) {
  return run_on_state<float>(program, stream, request, control);
}

RunResult run_circuit(const Circuit& circuit, std::optional<std::uint64_t> seed, std::uint64_t shots,
                      RunControl* control) {
  const Program program = compile(circuit);
  ProgramResult run = run_program(program, RunRequest{.seed = seed, .shots = shots, .whole_sums = true}, control);
  return RunResult{std::move(run.snapshot), std::move(run.tally)};
}

void apply_gate(StateVector& state, const GateOp& gate) {
  if (static_cast<std::size_t>(gate.kind) >= kGateKindCount) {
    vorn::fatal(messages::fill(messages::kUnknownGateKind, static_cast<unsigned>(gate.kind)));
  }
  // Operands are read by position; a short entry fails on the first missing one.
  if (gate.n_qubits < gate_info(gate.kind).n_qubits) vorn::index_out_of_range(gate.n_qubits, gate.n_qubits);
  const std::span<const std::uint64_t> operands(gate.qubits.data(), gate_info(gate.kind).n_qubits);
  if (auto entry = compile_gate(gate.kind, gate.theta, operands)) apply_gate(state, *entry);
}

void apply_operations(StateVector& state, std::span<const Operation> ops, const BlockingParams& params) {
  Circuit circuit(state.n_qubits());
  for (const Operation& op : ops) {
    const GateOp* g = std::get_if<GateOp>(&op);
    if (g == nullptr) continue;
    if (static_cast<std::size_t>(g->kind) >= kGateKindCount || g->n_qubits < gate_info(g->kind).n_qubits) {
      vorn::fatal(messages::fill(messages::kInvalidGateEntry, static_cast<unsigned>(g->kind), g->n_qubits));
    }
    circuit.add_gate(g->kind, std::span(g->qubits.data(), gate_info(g->kind).n_qubits), g->theta);
  }
  apply_gates(state, compile(circuit).gates, params);
}

}  // namespace vorn::sim
