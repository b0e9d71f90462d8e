// vorn._ext.RunRequest: the one value of a run's options every _ext call
// that runs or evaluates takes (vorn/simulator/run_request.hpp). The vorn
// package builds it from its checked Request (Request.native()).
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ext.hpp"
#include "vorn/simulator/fusion.hpp"
#include "vorn/simulator/run_request.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;

std::string repr(const sim::RunRequest& r) {
  auto flag = [](bool b) { return b ? std::string("True") : std::string("False"); };
  return "RunRequest(seed=" + (r.seed ? std::to_string(*r.seed) : std::string("None")) +
         ", shots=" + std::to_string(r.shots) + ", keep_shots=" + flag(r.keep_shots) +
         ", require_finite=" + flag(r.require_finite) + ", fusion_qubits=" + std::to_string(r.fusion_qubits) +
         ", single_precision=" + flag(r.single_precision) + ", threads=" + std::to_string(r.threads) +
         ", max_live_states=" + std::to_string(r.max_live_states) + ", batch=" + std::to_string(r.batch) +
         ", keep_state=" + flag(r.keep_state) + ")";
}

}  // namespace

void register_request(nb::module_& m) {
  const sim::RunRequest defaults;
  nb::class_<sim::RunRequest>(m, "RunRequest",
                              "One run's options: what run_program, sweep_run, sweep_expval, expval and "
                              "adjoint_gradients read (each the fields it serves).")
      .def(
          "__init__",
          [](sim::RunRequest* self, std::optional<U> seed, U shots, bool keep_shots, bool require_finite,
             unsigned fusion_qubits, bool single_precision, std::size_t threads, U max_live_states, U batch,
             bool keep_state) {
            new (self) sim::RunRequest{.seed = seed,
                                       .shots = shots,
                                       .keep_shots = keep_shots,
                                       .require_finite = require_finite,
                                       .fusion_qubits = fusion_qubits,
                                       .single_precision = single_precision,
                                       .threads = threads,
                                       .max_live_states = max_live_states,
                                       .batch = batch,
                                       .keep_state = keep_state};
          },
          nb::kw_only(), "seed"_a = nb::none(), "shots"_a = defaults.shots, "keep_shots"_a = defaults.keep_shots,
          "require_finite"_a = defaults.require_finite, "fusion_qubits"_a = defaults.fusion_qubits,
          "single_precision"_a = defaults.single_precision, "threads"_a = defaults.threads,
          "max_live_states"_a = defaults.max_live_states, "batch"_a = defaults.batch,
          "keep_state"_a = defaults.keep_state)
      .def_rw("seed", &sim::RunRequest::seed, nb::arg().none(), "None: keyed by OS entropy.")
      .def_rw("shots", &sim::RunRequest::shots)
      .def_rw("keep_shots", &sim::RunRequest::keep_shots, "Every shot's outcome, in shot order.")
      .def_rw("require_finite", &sim::RunRequest::require_finite,
              "Refuse to sample a state whose probabilities are not all finite.")
      .def_rw("fusion_qubits", &sim::RunRequest::fusion_qubits,
              "Fuse consecutive gates into dense gates on up to this many qubits (0: off).")
      .def_rw("single_precision", &sim::RunRequest::single_precision, "Run on a complex64 state.")
      .def_rw("threads", &sim::RunRequest::threads, "At most this many threads (0: the pool's size).")
      .def_rw("max_live_states", &sim::RunRequest::max_live_states,
              "Dynamic and noisy runs: the most branch states alive at once (0: by the memory available).")
      .def_rw("batch", &sim::RunRequest::batch, "Noisy runs: trajectories per walk (0: all in one).")
      .def_rw("keep_state", &sim::RunRequest::keep_state, "Dynamic runs of one shot: that shot's final state.")
      .def("__repr__", &repr);
  m.attr("DEFAULT_FUSION_QUBITS") = sim::kDefaultFusionQubits;
}

}  // namespace vorn::ext
