// Control of one run from outside it: a cancel flag the engine checks between
// gates and between cache blocks (never inside a kernel's loop), a progress
// count, and a way to run the work on a thread of its own while the caller
// wakes at a fixed interval (to look for signals, a deadline, or to report
// progress). Used by both Python modules' run functions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

namespace vorn::sim {

// Thrown inside a run whose control was cancelled; whoever cancelled knows why.
class RunCancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "run cancelled"; }
};

class RunControl {
 public:
  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }
  // Throws RunCancelled once cancel() was called.
  void check() const {
    if (cancelled()) throw RunCancelled{};
  }

  // Progress in gates: the engine sets the total once and counts gates done.
  void set_total(std::uint64_t gates) noexcept { total_.store(gates, std::memory_order_relaxed); }
  void advance(std::uint64_t gates) noexcept { done_.fetch_add(gates, std::memory_order_relaxed); }
  std::uint64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }
  std::uint64_t total() const noexcept { return total_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
  std::atomic<std::uint64_t> done_{0};
  std::atomic<std::uint64_t> total_{0};
};

// Runs work() on a thread of its own; meanwhile the calling thread calls
// poll() at least every `interval` until the work has ended. A poll that
// returns false cancels `control` (the work then stops at its next check).
// Returns work()'s result, or rethrows its exception, always after the work
// has ended, so nothing it uses outlives the call. Where no thread can be
// made, the work runs on the calling thread without polls.
template <class Work, class Poll>
auto run_watched(RunControl& control, Work&& work, Poll&& poll, std::chrono::milliseconds interval)
    -> std::invoke_result_t<Work&> {
  using Result = std::invoke_result_t<Work&>;
  std::mutex mutex;
  std::condition_variable ended_cv;
  bool ended = false;
  std::optional<Result> result;
  std::exception_ptr error;
  std::thread runner;
  try {
    runner = std::thread([&] {
      try {
        Result r = work();
        const std::lock_guard<std::mutex> lock(mutex);
        result.emplace(std::move(r));
      } catch (...) {
        const std::lock_guard<std::mutex> lock(mutex);
        error = std::current_exception();
      }
      const std::lock_guard<std::mutex> lock(mutex);
      ended = true;
      ended_cv.notify_all();
    });
  } catch (const std::system_error&) {
    return work();
  }
  bool polling = true;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (ended_cv.wait_for(lock, interval, [&] { return ended; })) break;
    }
    // Once a poll has said stop, the run is only waited for.
    if (polling && !poll()) {
      control.cancel();
      polling = false;
    }
  }
  runner.join();
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

}  // namespace vorn::sim
