// vorn._ext: the compiled side of the vorn package. The Python modules build
// circuits; this module turns one into the engine's compiled program in a
// single call, runs it without the interpreter lock and hands the state back
// as NumPy arrays without copying it.
#include <nanobind/nanobind.h>

#include <exception>

#include "calls.hpp"
#include "ext.hpp"
#include "vorn/core/error.hpp"

namespace nb = nanobind;

NB_MODULE(_ext, m) {
  m.doc() = "Compiled core of the vorn package (internal: use the vorn module).";

  vorn::ext::register_fatal_translator();

  // First: the other calls' defaults and signatures name RunRequest.
  vorn::ext::register_request(m);
  vorn::ext::register_program(m);
  vorn::ext::register_gates(m);
  vorn::ext::register_run(m);
  vorn::ext::register_dynamic(m);
  vorn::ext::register_noise(m);
  vorn::ext::register_qasm(m);
  vorn::ext::register_observables(m);
  vorn::ext::register_parametric(m);
  vorn::ext::register_counts(m);
  vorn::ext::register_kinds(m);
}
