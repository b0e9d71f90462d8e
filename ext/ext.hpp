// The pieces of the vorn._ext module, registered by module.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace vorn::ext {

// Program, compile_program, is_unitary, MAX_GATE_TARGETS.
void register_program(nanobind::module_& m);

// standard_gates: the gate table's rows.
void register_gates(nanobind::module_& m);

// run_program, probabilities.
void register_run(nanobind::module_& m);

// run_dynamic, dynamic_required_memory (dynamic circuits).
void register_dynamic(nanobind::module_& m);

// qasm2_parse, qasm2_parse_file, Qasm2ParseError.
void register_qasm(nanobind::module_& m);
// expval (Pauli sums on a state vector).
void register_observables(nanobind::module_& m);

// counts_dict (a run's counts from its outcome tally).
void register_counts(nanobind::module_& m);

}  // namespace vorn::ext
