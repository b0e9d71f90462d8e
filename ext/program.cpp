// A vorn circuit, flattened by the Python side into parallel lists, becomes
// the engine's compiled program here: one call per run, not one per gate.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "ext.hpp"
#include "messages.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/core/statevector.hpp"
#include "vorn/simulator/compiled.hpp"
#include "vorn/simulator/engine.hpp"
#include "vorn/simulator/program_builder.hpp"
#include "vorn/simulator/standard_gates.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace vorn::ext {
namespace {

using U = std::uint64_t;
// Any shape: the shape is part of what check_unitary judges.
using AnyMatrixArg = nb::ndarray<const std::complex<double>, nb::c_contig, nb::device::cpu>;

static_assert(sizeof(std::complex<double>) == sizeof(Complex));


template <class Array>
sim::MatrixView view_of(const Array& m) {
  sim::MatrixView view{{reinterpret_cast<const Complex*>(m.data()), m.size()}, std::vector<U>(m.ndim())};
  for (std::size_t i = 0; i < view.shape.size(); ++i) view.shape[i] = m.shape(i);
  return view;
}

// ProgramError as the Python exception of its kind, with its message.
template <class F>
auto raising(F&& build) {
  try {
    return build();
  } catch (const sim::ProgramError& e) {
    if (e.kind() == sim::ProgramError::Kind::Index) throw nb::index_error(e.what());
    value_error(e.what());
  }
}

}  // namespace

// The arrays converted to the simulator's views; the building is the simulator's.
sim::Program compile_program(U n_qubits, const std::vector<std::string>& names, const std::vector<U>& arity,
                             const std::vector<U>& qubits, const std::vector<double>& params,
                             const std::vector<MatrixArg>& matrices, double global_phase, bool samples) {
  std::vector<sim::MatrixView> views;
  views.reserve(matrices.size());
  for (const MatrixArg& m : matrices) views.push_back(view_of(m));
  const sim::GateLists lists{.n_qubits = n_qubits, .names = names, .arity = arity, .qubits = qubits,
                             .params = params, .matrices = views, .global_phase = global_phase,
                             .samples = samples};
  return raising([&] { return sim::build_program(lists); });
}

namespace {

// Raises ValueError naming what is wrong with `unitary(matrix, qubits)`:
// operand count, shape, a repeated qubit, a non-finite entry or U U^dagger
// further than 1e-10 from the identity.
void check_unitary(const AnyMatrixArg& m, const std::vector<U>& qubits) {
  raising([&] { return sim::build_unitary(view_of(m), qubits); });
}

// The program's unitary (without its global phase), column c the gates
// applied to |c> by the kernels a run uses, so it is the operator vorn
// applies. For the gate matrices of small programs (at most 10 qubits).
nb::ndarray<nb::numpy, std::complex<double>, nb::ndim<2>> program_matrix(const sim::Program& p) {
  if (p.n_qubits > 10) value_error(messages::fill(messages::kMatrixTooWide, p.n_qubits));
  const std::size_t dim = std::size_t{1} << p.n_qubits;
  auto* out = new std::complex<double>[dim * dim];
  nb::capsule owner(out, [](void* q) noexcept { delete[] static_cast<std::complex<double>*>(q); });
  std::vector<Complex> column(dim);
  for (std::size_t c = 0; c < dim; ++c) {
    std::fill(column.begin(), column.end(), Complex{});
    column[c] = Complex{1.0, 0.0};
    for (const sim::CompiledGate& g : p.gates) sim::apply_gate_local(column.data(), p.n_qubits, g);
    for (std::size_t r = 0; r < dim; ++r) out[r * dim + c] = std::complex<double>(column[r].re, column[r].im);
  }
  return nb::ndarray<nb::numpy, std::complex<double>, nb::ndim<2>>(out, {dim, dim}, owner);
}

}  // namespace

void register_program(nb::module_& m) {
  nb::class_<sim::Program>(m, "Program", "A circuit compiled for the engine (made by compile_program).")
      .def_prop_ro("num_qubits", [](const sim::Program& p) { return p.n_qubits; })
      .def_prop_ro("global_phase", [](const sim::Program& p) { return p.global_phase; })
      .def_prop_ro("samples", [](const sim::Program& p) { return p.samples; })
      .def("__len__", [](const sim::Program& p) { return p.gates.size(); })
      .def("matrix", &program_matrix,
           "The program's unitary without the global phase (row r, column c: <r|U|c>, qubit 0 the least "
           "significant bit); at most 10 qubits.")
      .def(
          "required_memory",
          [](const sim::Program& p, const sim::RunRequest& request) { return sim::required_memory(p, request); },
          "request"_a,
          "Bytes run_program with this request (its shots, keep_shots and single_precision) needs at its peak.");

  m.def("compile_program", &compile_program, "num_qubits"_a, "names"_a, "arity"_a, "qubits"_a, "params"_a,
        "matrices"_a, "global_phase"_a, "samples"_a,
        "Compiles flattened gates (names, operand counts, operands, angles, unitary matrices) into a Program.");
  m.def("check_unitary", &check_unitary, "matrix"_a, "qubits"_a,
        "Raises ValueError unless unitary(matrix, qubits) can be compiled (shape, operands, entries, U U^dagger).");
  m.attr("MAX_GATE_TARGETS") = kMaxGateTargets;
  m.attr("MAX_QUBITS") = kMaxQubits;
}

}  // namespace vorn::ext
