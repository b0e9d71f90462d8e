// Parameterised circuits: the vorn package flattens a circuit once, with a
// placeholder for every symbolic angle and, per angle slot, its affine
// expression; this compiles it into the engine's ParametricProgram and runs
// sweeps and adjoint gradients over a (bindings, parameters) array with the
// interpreter lock released (polled.hpp: Ctrl-C, deadline, progress, threads).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "calls.hpp"
#include "ext.hpp"
#include "messages.hpp"
#include "polled.hpp"
#include "vorn/simulator/adjoint.hpp"
#include "vorn/simulator/messages.hpp"
#include "vorn/simulator/parametric.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
using Values = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
constexpr U kGlobalPhase = std::numeric_limits<U>::max();


sim::SweepMode sweep_mode(int mode) {
  if (mode < 0 || mode > 2) value_error(messages::kSweepMode);
  return static_cast<sim::SweepMode>(mode);
}

// Slot k is angle slot_index[k] of gate slot_gate[k] (kGlobalPhase: the
// global phase), with the terms term_offsets[k] .. term_offsets[k + 1] of
// (term_param, term_coeff), slot_constant[k] and has_constant[k]. Slots of
// one gate are consecutive and gates ascend. `params` holds placeholders.
sim::ParametricProgram compile_parametric(U n_qubits, const std::vector<std::string>& names,
                                          const std::vector<U>& arity, const std::vector<U>& qubits,
                                          const std::vector<double>& params, const std::vector<MatrixArg>& matrices,
                                          double global_phase, bool samples, U n_params, const std::vector<U>& slot_gate,
                                          const std::vector<U>& slot_index, const std::vector<U>& term_offsets,
                                          const std::vector<U>& term_param, const std::vector<double>& term_coeff,
                                          const std::vector<double>& slot_constant,
                                          const std::vector<bool>& has_constant) {
  sim::ParametricProgram pp;
  pp.program = compile_program(n_qubits, names, arity, qubits, params, matrices, global_phase, samples);
  pp.n_params = n_params;
  const std::size_t slots = slot_gate.size();
  if (slot_index.size() != slots || term_offsets.size() != slots + 1 || slot_constant.size() != slots ||
      has_constant.size() != slots || term_param.size() != term_coeff.size() || term_offsets.back() != term_param.size()) {
    value_error(messages::kSlotArrays);
  }
  // Where each gate's operands and angles start in the flat lists.
  std::vector<U> first_qubit(names.size()), first_angle(names.size());
  for (std::size_t g = 0, q = 0, a = 0; g < names.size(); ++g) {
    first_qubit[g] = q;
    first_angle[g] = a;
    q += arity[g];
    if (const sim::StandardGate* row = sim::find_standard_gate(names[g])) a += row->n_params;
  }
  for (std::size_t k = 0; k < slots; ++k) {
    sim::AffineAngle expr;
    for (U t = term_offsets[k]; t < term_offsets[k + 1]; ++t) {
      if (term_offsets[k] > term_offsets[k + 1] || term_param[t] >= n_params) value_error(messages::kSlotArrays);
      expr.params.push_back(static_cast<std::uint32_t>(term_param[t]));
      expr.coeffs.push_back(term_coeff[t]);
    }
    expr.constant = slot_constant[k];
    expr.has_constant = has_constant[k];
    const U g = slot_gate[k];
    if (g == kGlobalPhase) {
      pp.global_phase = std::move(expr);
      continue;
    }
    const sim::StandardGate* row = g < names.size() ? sim::find_standard_gate(names[g]) : nullptr;
    if (row == nullptr || slot_index[k] >= row->n_params) value_error(messages::kSlotArrays);
    if (pp.gates.empty() || pp.gates.back().gate != g) {
      if (!pp.gates.empty() && pp.gates.back().gate > g) value_error(messages::kSlotArrays);
      sim::ParametricGate pg;
      pg.gate = g;
      pg.row = row;
      pg.operands.assign(qubits.begin() + first_qubit[g], qubits.begin() + first_qubit[g] + arity[g]);
      pg.angles.assign(params.begin() + first_angle[g], params.begin() + first_angle[g] + row->n_params);
      pp.gates.push_back(std::move(pg));
    }
    pp.gates.back().slot.push_back(static_cast<std::uint32_t>(slot_index[k]));
    pp.gates.back().expression.push_back(std::move(expr));
  }
  return pp;
}

std::span<const double> values_of(const sim::ParametricProgram& pp, const Values& values) {
  if (values.shape(1) != pp.n_params) {
    value_error(messages::fill(messages::kValuesShape, values.shape(0), values.shape(1), pp.n_params));
  }
  return {values.data(), values.shape(0) * values.shape(1)};
}

Array1D<std::complex<double>> complex_array(std::vector<Complex>&& values) {
  std::vector<std::complex<double>> out(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = {values[i].re, values[i].im};
  return adopt(std::move(out));
}

// Variances are about the real part of the mean: a non-Hermitian
// observable is refused before any binding runs.
void require_hermitian(const sim::Observables& observables) {
  if (const std::optional<std::string> why = observables.non_hermitian()) value_error(*why);
}

// Expectation values, (bindings x observables) flattened; with `variance`
// the pair (values, variances), the variances float64 of the same shape.
nb::object sweep_expval(const sim::ParametricProgram& pp, const Values& values, const sim::Observables& observables,
                        bool variance, const sim::RunRequest& request, const nb::object& poll, int mode) {
  const std::span<const double> v = values_of(pp, values);
  const sim::SweepMode how = sweep_mode(mode);
  if (variance) require_hermitian(observables);
  sim::SweepExpectations out = run_polled(
      [&](sim::RunControl& control) {
        return sim::sweep_expectations(pp, v, values.shape(0), observables, request, &control, how, variance);
      },
      poll, request);
  Array1D<std::complex<double>> ev = complex_array(std::move(out.values));
  if (!variance) return nb::cast(std::move(ev));
  return nb::cast(std::make_tuple(std::move(ev), adopt(std::move(out.variances))));
}

// Each result as its (state, outcomes, counts, shot outcomes), in binding order.
template <class Result>
nb::list result_list(std::vector<Result>&& results) {
  nb::list out;
  for (Result& r : results) out.append(nb::cast(run_arrays(std::move(r))));
  return out;
}

nb::list sweep_run(const sim::ParametricProgram& pp, const Values& values, const sim::RunRequest& request,
                   const nb::object& poll, int mode) {
  const std::span<const double> v = values_of(pp, values);
  const sim::SweepMode how = sweep_mode(mode);
  auto run = [&](auto sweep) {
    return result_list(run_polled(
        [&](sim::RunControl& control) { return sweep(pp, v, values.shape(0), request, &control, how); }, poll,
        request));
  };
  return request.single_precision ? run(sim::sweep_runs_single) : run(sim::sweep_runs);
}

// (values, jacobian): (bindings x observables) and (bindings x observables x parameters), flattened.
std::tuple<Array1D<std::complex<double>>, Array1D<double>> adjoint_gradients(
    const sim::ParametricProgram& pp, const Values& values, const sim::Observables& observables,
    const sim::RunRequest& request, const nb::object& poll, int mode) {
  if (request.single_precision || request.fusion_qubits != 0) value_error(messages::kGradientRequest);
  const std::span<const double> v = values_of(pp, values);
  require_hermitian(observables);
  const sim::SweepMode how = sweep_mode(mode);
  sim::Gradients g = run_polled(
      [&](sim::RunControl& control) {
        return sim::adjoint_gradients(pp, v, values.shape(0), observables, &control, how);
      },
      poll, request);
  return {complex_array(std::move(g.values)), adopt(std::move(g.jacobian))};
}

}  // namespace

void register_parametric(nb::module_& m) {
  nb::class_<sim::ParametricProgram>(m, "ParametricProgram",
                                     "A parameterised circuit compiled once (made by compile_parametric).")
      .def_prop_ro("num_qubits", [](const sim::ParametricProgram& p) { return p.program.n_qubits; })
      .def_prop_ro("num_parameters", [](const sim::ParametricProgram& p) { return p.n_params; })
      .def("__len__", [](const sim::ParametricProgram& p) { return p.program.gates.size(); })
      .def(
          "sweep_memory",
          [](const sim::ParametricProgram& p, std::size_t bindings, const sim::RunRequest& request, bool keep_states,
             int mode) { return sim::sweep_memory(p, bindings, request, keep_states, sweep_mode(mode)); },
          "bindings"_a, "request"_a, "keep_states"_a, "mode"_a = 0,
          "Bytes a sweep of this many bindings with the request's shots, keep_shots and single_precision holds "
          "at its peak (keep_states: every binding's state kept too).")
      .def(
          "gradient_memory",
          [](const sim::ParametricProgram& p, std::size_t bindings, std::size_t observables, int mode) {
            return sim::gradient_memory(p, bindings, observables, sweep_mode(mode));
          },
          "bindings"_a, "observables"_a, "mode"_a = 0,
          "Bytes of states an adjoint gradient holds with every observable at once.");
  m.def("compile_parametric", &compile_parametric, "num_qubits"_a, "names"_a, "arity"_a, "qubits"_a, "params"_a,
        "matrices"_a, "global_phase"_a, "samples"_a, "num_parameters"_a, "slot_gate"_a, "slot_index"_a, "term_offsets"_a,
        "term_param"_a, "term_coeff"_a, "slot_constant"_a, "has_constant"_a,
        "Compiles flattened gates with affine angle slots into a ParametricProgram (slot gate 2**64-1: the "
        "global phase).");
  m.def("sweep_expval", &sweep_expval, "program"_a, "values"_a, "observables"_a, "variance"_a, "request"_a, "poll"_a = nb::none(), "mode"_a = 0,
        "Expectation values of the observables for every row of values (bindings x parameters), flattened "
        "bindings-major; variance: (values, variances) as expval gives them (Hermitian observables only). From the "
        "request: fusion_qubits (each bound program fused first, as run_program fuses), single_precision (each "
        "binding on a complex64 state, as run_program runs it, the evaluation as expval on that state), threads. "
        "mode 0 auto, 1 side by side, 2 one after another.");
  m.def("sweep_run", &sweep_run, "program"_a, "values"_a, "request"_a, "poll"_a = nb::none(), "mode"_a = 0,
        "One run per row of values, row b run as run_program runs its bound program with the request's seed "
        "replaced by binding_seed(seed, b) (no seed: one drawn from OS entropy); a list of (state, outcomes, "
        "counts, shot outcomes).");
  m.def("adjoint_gradients", &adjoint_gradients, "program"_a, "values"_a, "observables"_a, "request"_a, "poll"_a = nb::none(), "mode"_a = 0,
        "Values and adjoint-method derivatives of Hermitian observables for every row of values; (values, jacobian) "
        "flattened bindings x observables (x parameters). From the request: threads (single_precision and "
        "fusion_qubits refused).");
  m.def("binding_seed", &sim::binding_seed, "seed"_a, "index"_a,
        "The seed binding `index` of a sweep with `seed` runs with.");
  m.def("python_mod", &sim::python_mod, "x"_a, "y"_a, "x % y as Python computes it for floats (tests).");
}

}  // namespace vorn::ext
