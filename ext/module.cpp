// vorn._ext: the compiled side of the vorn package. The Python modules build
// circuits; this module turns one into the engine's compiled program in a
// single call, runs it without the interpreter lock and hands the state back
// as NumPy arrays without copying it.
#include <nanobind/nanobind.h>

#include <exception>

#include "ext.hpp"
#include "vorn/core/error.hpp"

namespace nb = nanobind;

NB_MODULE(_ext, m) {
  m.doc() = "Compiled core of the vorn package (internal: use the vorn module).";

  // The core's one error type: out-of-memory becomes MemoryError, everything
  // else RuntimeError with the core's message. (std::bad_alloc is already
  // MemoryError through nanobind's own translation.)
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const vorn::FatalError& e) {
      PyErr_SetString(e.kind() == vorn::FatalError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_RuntimeError,
                      e.what());
    }
  });

  vorn::ext::register_program(m);
  vorn::ext::register_gates(m);
  vorn::ext::register_run(m);
  vorn::ext::register_dynamic(m);
  vorn::ext::register_qasm(m);
  vorn::ext::register_observables(m);
  vorn::ext::register_counts(m);
}
