// vorn._mpi_ext: the compiled side of vorn.mpi. Compiles circuits exactly as
// vorn._ext does, runs them on the ranks of a communicator (mpi4py's, passed
// as its Fortran handle) without the interpreter lock, and keeps each rank's
// part for the collective calls that follow (statevector, expval).
#include <mpi.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <chrono>
#include <span>
#include <string_view>
#include <complex>
#include <cstdint>
#include <exception>
#include <optional>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "polled.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "vorn/core/error.hpp"
#include "vorn/distributed/engine.hpp"
#include "vorn/distributed/plan.hpp"
#include "vorn/simulator/run_control.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;

// One finished run: this rank's part and, on rank 0, the tally.
class DistRun {
 public:
  DistRun(dist::RunResult result, dist::Options options) : result_(std::move(result)), options_(options) {}

  // (outcomes, counts) ascending on rank 0; empty arrays elsewhere.
  std::tuple<Array1D<U>, Array1D<U>> tally() const {
    std::vector<U> outcomes, counts;
    for (const auto& [outcome, count] : result_.tally) outcomes.push_back(outcome), counts.push_back(count);
    return {adopt(std::move(outcomes)), adopt(std::move(counts))};
  }

  // Collective: the whole state on rank 0, None elsewhere and when rank 0 has no room.
  std::optional<Array1D<std::complex<double>>> statevector() const {
    std::optional<Buffer<Complex>> all;
    {
      nb::gil_scoped_release unlocked;
      all = dist::gather_state(result_.part, options_);
    }
    if (!all || result_.part.rank != 0) return std::nullopt;
    return adopt<Complex, std::complex<double>>(std::move(*all));
  }

  // Collective: observable o has terms offsets[o] .. offsets[o + 1]; values on every rank.
  Array1D<std::complex<double>> expval(const In1D<U>& x_masks, const In1D<U>& z_masks,
                                       const In1D<std::complex<double>>& coeffs, const In1D<U>& offsets) const {
    const sim::PauliSums sums(pauli_views(x_masks, z_masks, coeffs, offsets));
    std::vector<Complex> ev;
    {
      nb::gil_scoped_release unlocked;
      ev = dist::expectation_values(result_.part, sums, options_);
    }
    std::vector<std::complex<double>> values(ev.size());
    for (std::size_t o = 0; o < ev.size(); ++o) values[o] = {ev[o].re, ev[o].im};
    return adopt(std::move(values));
  }

  U exchanges() const { return result_.stats.exchanges; }
  U bytes_sent() const { return result_.stats.bytes_sent; }
  int rank() const { return result_.part.rank; }
  int ranks() const { return result_.part.ranks; }

 private:
  dist::RunResult result_;
  dist::Options options_;
};

MPI_Comm comm_of(long long handle) { return MPI_Comm_f2c(static_cast<MPI_Fint>(handle)); }

// The run on a thread of its own while this thread looks for signals and
// calls poll(done, total) every kPollInterval; a stop (Ctrl-C, poll's
// exception) cancels this rank's run, and every rank's at the next exchange.
DistRun run(const sim::Program& program, long long comm, std::optional<U> seed, U shots, U exchange_bytes,
            bool require_finite, const nb::object& poll) {
  const dist::Options options{.exchange_bytes = exchange_bytes};
  try {
    dist::RunResult result = run_polled(
        [&](sim::RunControl& control) {
          return dist::run_program(comm_of(comm), program, seed, shots, options, &control, require_finite);
        },
        poll, 0);
    return DistRun(std::move(result), options);
  } catch (const sim::RunCancelled&) {
    // Not stopped here (that raises the Python exception): another rank's run was.
    throw nb::builtin_exception(nb::exception_type::runtime_error, mpi_messages::kCancelledElsewhere.data());
  }
}

U required_memory(const sim::Program& program, U shots, int ranks, U exchange_bytes) {
  return dist::required_memory_per_rank(program, shots, ranks, dist::Options{.exchange_bytes = exchange_bytes});
}

// The plan for `ranks` parts, without MPI or a state: (exchanges, swaps of
// local positions, gates). What the scale model reads for registers far
// larger than this machine holds.
std::tuple<U, U, U> plan_counts(const sim::Program& program, int ranks) {
  const dist::Plan plan = dist::plan_gates(program.gates, program.n_qubits, dist::local_qubits(program.n_qubits, ranks));
  U swaps = 0;
  for (const dist::Step& step : plan.steps) swaps += step.kind == dist::Step::Kind::LocalSwap;
  return {plan.exchanges, swaps, static_cast<U>(plan.gates.size())};
}

}  // namespace
}  // namespace vorn::ext

NB_MODULE(_mpi_ext, m) {
  using namespace vorn::ext;
  m.doc() = "Compiled core of vorn.mpi (internal: use the vorn.mpi module).";
  register_fatal_translator();
  register_program(m);
  nb::class_<DistRun>(m, "DistRun", "One rank's share of a finished distributed run.")
      .def("tally", &DistRun::tally, "(outcomes, counts) on rank 0, empty arrays elsewhere.")
      .def("statevector", &DistRun::statevector, "Collective: the whole state on rank 0, None elsewhere.")
      .def("expval", &DistRun::expval, "x_masks"_a, "z_masks"_a, "coeffs"_a, "offsets"_a,
           "Collective: expectation values of Pauli sums, on every rank.")
      .def_prop_ro("exchanges", &DistRun::exchanges)
      .def_prop_ro("bytes_sent", &DistRun::bytes_sent)
      .def_prop_ro("rank", &DistRun::rank)
      .def_prop_ro("ranks", &DistRun::ranks);
  m.def("run", &run, "program"_a, "comm"_a, "seed"_a.none(), "shots"_a, "exchange_bytes"_a, "require_finite"_a,
        "poll"_a = nb::none(), "Collective: runs a Program over the ranks of the communicator (a Fortran handle).");
  m.def("required_memory", &required_memory, "program"_a, "shots"_a, "ranks"_a, "exchange_bytes"_a,
        "Bytes one rank allocates at the run's peak.");
  m.def("plan_counts", &plan_counts, "program"_a, "ranks"_a,
        "(exchanges, local swaps, gates) of the program's plan over `ranks` parts; no MPI call.");
}
