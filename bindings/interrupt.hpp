// A run that Ctrl-C can stop, for both Python modules (vorn_python and
// vorn._ext include this header): the work runs with the interpreter lock
// released on a thread of its own, while the calling thread wakes every
// kPollInterval, takes the lock, runs the signal handlers and then the
// caller's own poll (a deadline, a progress report). An exception from a
// handler (KeyboardInterrupt) or from the poll cancels the run, which ends at
// its next check between gates, blocks, batches of shots or reduction leaves;
// the exception stays set and nothing of the run is kept. A run that is not
// stopped returns, or fails, exactly as it would on the calling thread.
// Only the raw C API is used here, so that either binding layer can wrap it.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <chrono>
#include <optional>
#include <type_traits>
#include <utility>

#include "vorn/simulator/run_control.hpp"

namespace vorn::py {

inline constexpr std::chrono::milliseconds kPollInterval{50};

// The lock taken back for one poll, and released again afterwards.
class GilReacquired {
 public:
  GilReacquired() noexcept : state_(PyGILState_Ensure()) {}
  ~GilReacquired() { PyGILState_Release(state_); }
  GilReacquired(const GilReacquired&) = delete;
  GilReacquired& operator=(const GilReacquired&) = delete;

 private:
  PyGILState_STATE state_;
};

// Releases the interpreter lock for its lifetime; takes it back on every path.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// A poll that only looks for signals.
struct NoExtraPoll {
  bool operator()(const vorn::sim::RunControl&) const noexcept { return true; }
};

// Called with the interpreter lock held. work(RunControl&) runs without it;
// extra(control) runs with it after the signal handlers and returns false
// once it has set a Python exception. Returns the work's result, or nullopt
// when a handler or the poll stopped the run (their Python exception is set,
// for the caller to raise in its own layer's way). Exceptions of the work
// itself propagate as they are.
template <class Work, class Extra = NoExtraPoll>
auto run_interruptible(Work&& work, Extra&& extra = {})
    -> std::optional<std::invoke_result_t<Work&, vorn::sim::RunControl&>> {
  vorn::sim::RunControl control;
  bool stopped = false;
  auto poll = [&] {
    const GilReacquired locked;
    if (PyErr_CheckSignals() != 0 || !extra(static_cast<const vorn::sim::RunControl&>(control))) {
      stopped = true;  // the exception stays set for the caller
      return false;
    }
    return true;
  };
  try {
    const GilReleased unlocked;
    auto result = vorn::sim::run_watched(control, [&] { return work(control); }, poll, kPollInterval);
    // Finished before it saw the flag: the stop still wins.
    if (!stopped) return std::optional(std::move(result));
  } catch (...) {
    // RunCancelled, or whatever else ended a stopped run: the Python
    // exception that stopped it is the one to report.
    if (!stopped) throw;
  }
  return std::nullopt;
}

}  // namespace vorn::py
