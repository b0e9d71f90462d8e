// The pieces of the vorn._ext module, registered by module.cpp.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "vorn/simulator/branching.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/passes.hpp"

namespace vorn::ext {

// Refused input from the package: ValueError with the message's text.
[[noreturn]] inline void value_error(std::string_view text) { throw nanobind::value_error(std::string(text).c_str()); }

using MatrixArg = nanobind::ndarray<const std::complex<double>, nanobind::ndim<2>, nanobind::c_contig,
                                    nanobind::device::cpu>;

// The vorn package's flattened gates as the engine's program (program.cpp).
sim::Program compile_program(std::uint64_t n_qubits, const std::vector<std::string>& names,
                             const std::vector<std::uint64_t>& arity, const std::vector<std::uint64_t>& qubits,
                             const std::vector<double>& params, const std::vector<MatrixArg>& matrices,
                             double global_phase, bool samples);

// A run's result as (state, outcomes, counts, shots) arrays (run.cpp).
using RunArrays = std::tuple<Array1D<std::complex<double>>, Array1D<std::uint64_t>, Array1D<std::uint64_t>,
                             Array1D<std::uint64_t>>;
RunArrays run_arrays(sim::ProgramResult&& result);
// A single-precision run's: the state as complex64.
using SingleRunArrays = std::tuple<Array1D<std::complex<float>>, Array1D<std::uint64_t>, Array1D<std::uint64_t>,
                                   Array1D<std::uint64_t>>;
SingleRunArrays run_arrays(sim::SingleProgramResult&& result);
// The same from a state (empty when none is kept), a tally and shot outcomes.
RunArrays run_arrays(Buffer<Complex>&& state, const sim::Tally& tally, std::vector<std::uint64_t>&& shots);
SingleRunArrays run_arrays(Buffer<SingleComplex>&& state, const sim::Tally& tally, std::vector<std::uint64_t>&& shots);

// Past the core's qubit limit no state can exist: MemoryError naming the
// bytes, before anything is allocated (run.cpp).
void refuse_beyond_qubit_limit(const sim::Program& program, bool single = false);

// RunRequest (the options every run and evaluation takes), DEFAULT_FUSION_QUBITS.
void register_request(nanobind::module_& m);

// Program, compile_program, is_unitary, MAX_GATE_TARGETS.
void register_program(nanobind::module_& m);

// standard_gates: the gate table's rows.
void register_gates(nanobind::module_& m);

// run_program, probabilities.
void register_run(nanobind::module_& m);

// A dynamic program's steps from the flat (kind, a, b, mask, value) words
// and (qubit, clbit) pairs (dynamic.cpp); with `channels`, noise Channel
// steps are allowed and left for the noisy run to check.
sim::DynamicSteps make_steps(const sim::Program& program, const std::vector<std::uint64_t>& steps,
                             const std::vector<std::uint64_t>& finals, std::uint64_t n_clbits, bool channels = false);

// With `fusion`, the program with the gates of each Gates step fused and
// `dynamic` re-indexed to it (passes.hpp); without, nothing: the program
// runs as given.
inline std::optional<sim::Program> fused_steps(const sim::Program& program, sim::DynamicSteps& dynamic,
                                               bool fusion) {
  if (!fusion) return std::nullopt;
  // Weighed on the program's own register: merged only where that pays.
  return sim::fuse_dynamic_steps(program, dynamic, sim::kDefaultFusionQubits, program.n_qubits);
}

// run_dynamic, expval_dynamic, dynamic_required_memory (dynamic circuits).
void register_dynamic(nanobind::module_& m);

// run_noisy, expval_noisy (trajectories).
void register_noise(nanobind::module_& m);

// qasm2_parse, qasm2_parse_file, Qasm2ParseError.
void register_qasm(nanobind::module_& m);
// expval (Pauli sums on a state vector).
void register_observables(nanobind::module_& m);

// ParametricProgram, compile_parametric, sweep_expval, sweep_run, adjoint_gradients, binding_seed.
void register_parametric(nanobind::module_& m);
// counts_dict (a run's counts from its outcome tally).
void register_counts(nanobind::module_& m);
// STEP_KINDS and CHANNEL_KINDS: the engine enums' numbers by name.
void register_kinds(nanobind::module_& m);

}  // namespace vorn::ext
