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
std::span<const Complex> entries_of(const Array& m) {
  return {reinterpret_cast<const Complex*>(m.data()), m.size()};
}

// A `unitary` entry, its shape checked by the simulator's one rule; every
// refusal is a ValueError with the simulator's text.
template <class Array>
sim::CompiledGate unitary_gate(const Array& m, std::span<const U> operands) {
  std::vector<U> shape(m.ndim());
  for (std::size_t i = 0; i < shape.size(); ++i) shape[i] = m.shape(i);
  try {
    sim::check_unitary_shape(operands.size(), shape);
    return sim::compile_unitary(entries_of(m), operands);
  } catch (const FatalError& e) {
    if (e.kind() == FatalError::Kind::OutOfMemory) throw;
    value_error(e.message());
  }
}

}  // namespace

// names[g] is gate g's name; it takes arity[g] operands from `qubits`, its
// row's parameter count from `params` and, for "unitary", the next entry of
// `matrices`. Every list must be used up exactly.
sim::Program compile_program(U n_qubits, const std::vector<std::string>& names, const std::vector<U>& arity,
                             const std::vector<U>& qubits, const std::vector<double>& params,
                             const std::vector<MatrixArg>& matrices, double global_phase, bool samples) {
  if (arity.size() != names.size()) value_error(std::string(messages::kNamesArity));
  sim::Program program;
  program.n_qubits = n_qubits;
  program.global_phase = global_phase;
  program.samples = samples;
  program.gates.reserve(names.size());
  std::size_t next_qubit = 0, next_param = 0, next_matrix = 0;
  for (std::size_t g = 0; g < names.size(); ++g) {
    const std::string& name = names[g];
    const U k = arity[g];
    if (k > qubits.size() - next_qubit) value_error(std::string(messages::kFewerQubits));
    const std::span<const U> operands(qubits.data() + next_qubit, k);
    next_qubit += k;
    for (U q : operands) {
      if (q >= n_qubits) {
        throw nb::index_error(messages::fill(messages::kQubitOutOfRange, q, name, n_qubits).c_str());
      }
    }
    if (name == "unitary") {
      if (next_matrix == matrices.size()) value_error(std::string(messages::kUnitaryWithoutMatrix));
      program.gates.push_back(unitary_gate(matrices[next_matrix++], operands));
      continue;
    }
    const sim::StandardGate* row = sim::find_standard_gate(name);
    if (row == nullptr) value_error(messages::fill(messages::kUnknownGate, name));
    // mcx / mcp (row count 0) take the controls and the target: at least one operand.
    if (row->n_qubits != 0 ? k != row->n_qubits : k == 0) {
      value_error(messages::fill(messages::kGateOperands, name,
                                 row->n_qubits != 0 ? std::to_string(row->n_qubits) : "at least 1", k));
    }
    if (row->n_params > params.size() - next_param) value_error(std::string(messages::kFewerAngles));
    const std::span<const double> angles(params.data() + next_param, row->n_params);
    next_param += row->n_params;
    program.gates.push_back(row->build(angles, operands));
  }
  if (next_qubit != qubits.size() || next_param != params.size() || next_matrix != matrices.size()) {
    value_error(std::string(messages::kLeftOver));
  }
  return program;
}

namespace {

// Raises ValueError naming what is wrong with `unitary(matrix, qubits)`:
// operand count, shape, a repeated qubit, a non-finite entry or U U^dagger
// further than 1e-10 from the identity.
void check_unitary(const AnyMatrixArg& m, const std::vector<U>& qubits) { unitary_gate(m, qubits); }

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
          [](const sim::Program& p, U shots, bool keep_shots, bool single) {
            return sim::required_memory(p, shots, sim::RunOptions{.keep_shots = keep_shots, .single_precision = single});
          },
          "shots"_a, "keep_shots"_a = false, "single"_a = false,
          "Bytes a run with this many shots needs at its peak (single: on a complex64 state).");

  m.def("compile_program", &compile_program, "num_qubits"_a, "names"_a, "arity"_a, "qubits"_a, "params"_a,
        "matrices"_a, "global_phase"_a, "samples"_a,
        "Compiles flattened gates (names, operand counts, operands, angles, unitary matrices) into a Program.");
  m.def("check_unitary", &check_unitary, "matrix"_a, "qubits"_a,
        "Raises ValueError unless unitary(matrix, qubits) can be compiled (shape, operands, entries, U U^dagger).");
  m.attr("MAX_GATE_TARGETS") = kMaxGateTargets;
  m.attr("MAX_QUBITS") = kMaxQubits;
}

}  // namespace vorn::ext
