// A run that Ctrl-C can stop: the work runs with the interpreter lock
// released on a thread of its own, while the calling thread wakes every
// kPollInterval, takes the lock and runs the signal handlers. An exception
// from a handler (KeyboardInterrupt) cancels the run, which ends at its next
// check between gates, blocks or batches of shots; the exception propagates
// and nothing of the run is kept. A run that is not interrupted returns, or
// fails, exactly as it would on the calling thread.
#pragma once

#include <chrono>
#include <utility>

#include "boundary.hpp"
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

// Called with the interpreter lock held; work(RunControl&) is called without it.
template <class Work>
auto run_interruptible(Work&& work) {
  vorn::sim::RunControl control;
  bool interrupted = false;
  auto poll = [&] {
    const GilReacquired locked;
    if (PyErr_CheckSignals() == 0) return true;
    interrupted = true;  // the handler's exception stays set for the caller
    return false;
  };
  try {
    GilReleased unlocked;
    auto result = vorn::sim::run_watched(control, [&] { return work(control); }, poll, kPollInterval);
    // Finished before it saw the flag: the interrupt still wins.
    if (!interrupted) return result;
  } catch (...) {
    // RunCancelled, or whatever else ended an interrupted run: the handler's
    // exception is the one to report.
    if (!interrupted) throw;
  }
  throw PythonErrorSet{};
}

}  // namespace vorn::py
