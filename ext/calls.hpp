// What both extension modules (vorn._ext and vorn._mpi_ext) do the same way
// at the call boundary: the core's error translated, Pauli sums read from
// flat arrays, and a run on a thread of its own while the caller's thread
// looks for signals and calls the Python poll.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "vorn/core/error.hpp"
#include "vorn/simulator/observables.hpp"
#include "vorn/simulator/run_control.hpp"

namespace vorn::ext {

template <class T>
using In1D = nanobind::ndarray<const T, nanobind::ndim<1>, nanobind::c_contig, nanobind::device::cpu>;

// The core's one error type: out-of-memory becomes MemoryError, everything
// else RuntimeError with the core's message. (std::bad_alloc is already
// MemoryError through nanobind's own translation.)
inline void register_fatal_translator() {
  nanobind::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const vorn::FatalError& e) {
      PyErr_SetString(e.kind() == vorn::FatalError::Kind::OutOfMemory ? PyExc_MemoryError : PyExc_RuntimeError,
                      e.what());
    }
  });
}

// Observable o has the terms offsets[o] .. offsets[o + 1] of the three arrays.
inline std::vector<sim::PauliSumView> pauli_views(const In1D<std::uint64_t>& x_masks,
                                                  const In1D<std::uint64_t>& z_masks,
                                                  const In1D<std::complex<double>>& coeffs,
                                                  const In1D<std::uint64_t>& offsets) {
  const std::size_t terms = x_masks.shape(0);
  if (z_masks.shape(0) != terms || coeffs.shape(0) != terms || offsets.shape(0) == 0) {
    throw nanobind::value_error("x_masks, z_masks and coeffs must have one entry per term, offsets at least one");
  }
  std::vector<sim::PauliSumView> views;
  const std::uint64_t* off = offsets.data();
  for (std::size_t o = 0; o + 1 < offsets.shape(0); ++o) {
    if (off[o] > off[o + 1] || off[o + 1] > terms) throw nanobind::value_error("offsets must ascend within the terms");
    const std::size_t first = off[o], count = off[o + 1] - off[o];
    views.push_back({std::span(x_masks.data() + first, count), std::span(z_masks.data() + first, count),
                     std::span(reinterpret_cast<const Complex*>(coeffs.data()) + first, count)});
  }
  return views;
}

// How often the calling thread wakes during a run (signals, the Python
// poll): well inside the 100 ms a Ctrl-C or a timeout may wait.
inline constexpr std::chrono::milliseconds kPollInterval{50};

// Runs work() (which must honour `control`) on a thread of its own while this
// thread, every kPollInterval, takes the interpreter lock, runs the signal
// handlers and calls poll(gates done, gates total) when given. An exception
// from either cancels the run (which stops at its next check, releasing
// everything) and propagates; `elsewhere` is called for a run that ended
// cancelled although this thread never stopped it. Called with the lock held.
template <class Work, class Elsewhere>
auto run_polled(sim::RunControl& control, Work&& work, const nanobind::object& poll, Elsewhere&& elsewhere)
    -> std::invoke_result_t<Work&> {
  bool stopped = false;
  auto wake = [&] {
    const nanobind::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) {
      stopped = true;
      return false;
    }
    if (!poll.is_none()) {
      PyObject* r = PyObject_CallFunction(poll.ptr(), "KK", static_cast<unsigned long long>(control.done()),
                                          static_cast<unsigned long long>(control.total()));
      if (r == nullptr) {
        stopped = true;
        return false;
      }
      Py_DECREF(r);
    }
    return true;
  };
  std::optional<std::invoke_result_t<Work&>> result;
  try {
    const nanobind::gil_scoped_release unlocked;
    result.emplace(sim::run_watched(control, work, wake, kPollInterval));
  } catch (const sim::RunCancelled&) {
    if (!stopped) elsewhere();
  } catch (...) {
    // Whatever else ended a stopped run: the Python exception that stopped
    // it is the one to report.
    if (!stopped) throw;
  }
  if (stopped) throw nanobind::python_error();
  return std::move(*result);
}

}  // namespace vorn::ext
