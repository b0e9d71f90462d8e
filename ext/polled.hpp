// The run and expval calls of vorn._ext: work that Ctrl-C, a Python poll
// (the deadline and progress report of the vorn package) and a thread limit
// act on. Used by run.cpp and observables.cpp.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "interrupt.hpp"
#include "messages.hpp"
#include "vorn/core/parallel.hpp"
#include "vorn/core/operations.hpp"
#include "vorn/simulator/run_control.hpp"
#include "vorn/simulator/run_request.hpp"

namespace vorn::ext {

// Refuses a thread count outside 1 .. the pool's size (0 means the pool's).
inline void check_threads(std::size_t threads) {
  const std::size_t pool = pool_thread_count();
  if (threads > pool) throw nanobind::value_error(messages::fill(messages::kThreads, pool, threads).c_str());
}

// Refuses a request no engine can serve as asked: a thread count beyond the
// pool, fusion wider than a dense gate (fusion would clamp it silently).
inline void check_request(const sim::RunRequest& request) {
  check_threads(request.threads);
  if (request.fusion_qubits > kMaxGateTargets) {
    throw nanobind::value_error(messages::fill(messages::kFusionQubits, kMaxGateTargets, request.fusion_qubits).c_str());
  }
}

// Runs work(RunControl&) without the interpreter lock on a thread of its own,
// its parallel loops on at most `threads` threads (0: the whole pool), while
// this thread every 50 ms runs the signal handlers and calls
// poll(done, total) when given. An exception from either cancels the work
// and propagates.
template <class Work>
auto run_polled(Work&& work, const nanobind::object& poll, std::size_t threads) {
  check_threads(threads);
  auto extra = [&](const sim::RunControl& control) {
    if (poll.is_none()) return true;
    PyObject* r = PyObject_CallFunction(poll.ptr(), "KK", static_cast<unsigned long long>(control.done()),
                                        static_cast<unsigned long long>(control.total()));
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
  };
  auto result = py::run_interruptible(
      [&](sim::RunControl& control) {
        const ThreadLimit limit(threads);
        return work(control);
      },
      extra);
  if (!result) throw nanobind::python_error();
  return std::move(*result);
}

// The same under a request's thread limit, the request checked first.
template <class Work>
auto run_polled(Work&& work, const nanobind::object& poll, const sim::RunRequest& request) {
  check_request(request);
  return run_polled(std::forward<Work>(work), poll, request.threads);
}

}  // namespace vorn::ext
