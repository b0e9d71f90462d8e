// The process-wide worker pool and the one parallel loop every kernel uses.
// This header and parallel.cpp are the only places that know the thread library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

namespace vorn {

// A decimal count: digits only, one optional leading '+'. nullopt otherwise
// (empty, sign '-', other characters, or too large for 64 bits).
std::optional<std::uint64_t> parse_thread_count(const char* text);

// The pool size rule: RAYON_NUM_THREADS (>0 as given, 0 = processors), else
// RAYON_RS_NUM_CPUS (>0 as given, else processors), else processors (or 1).
std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t logical_processors);

// Threads of the pool, creating it on first use. The count is decided once
// per process; a forked child makes a pool of its own with the same count.
// Fails with "The global thread pool has not been initialized." when the
// pool cannot be made (for instance, the system refuses that many threads).
std::size_t pool_thread_count();

// While one lives, the parallel loops started on this thread use at most
// `threads` threads of the pool (the thread that starts a loop included);
// 0 or a count at or above the pool's size change nothing. Only speed
// changes: chunking never decides what is summed with what. Scopes nest.
class ThreadLimit {
 public:
  explicit ThreadLimit(std::size_t threads) noexcept;
  ~ThreadLimit();
  ThreadLimit(const ThreadLimit&) = delete;
  ThreadLimit& operator=(const ThreadLimit&) = delete;

 private:
  std::size_t previous_;
};

// Non-owning callable reference: the per-chunk body handed to the pool.
class ChunkFn {
 public:
  template <class F>
  ChunkFn(F& f) noexcept  // NOLINT(google-explicit-constructor)
      : obj_(static_cast<void*>(&f)), call_([](void* o, std::uint64_t b, std::uint64_t e) {
          (*static_cast<F*>(o))(b, e);
        }) {}
  void operator()(std::uint64_t begin, std::uint64_t end) const { call_(obj_, begin, end); }

 private:
  void* obj_;
  void (*call_)(void*, std::uint64_t, std::uint64_t);
};

// Runs body(begin, end) over disjoint chunks covering [0, n_items) on the pool,
// returning when all are done. Chunks run with the default floating-point
// environment (no flush-to-zero), whatever the caller's. An exception thrown
// by a chunk is rethrown here on the calling thread.
void parallel_for(std::uint64_t n_items, ChunkFn body);

// As above, but no chunk holds fewer than `min_grain` items (except when the
// whole range is smaller): kernels pass the number of pairs worth a task.
// Chunks hold at most max(2 * min_grain - 1, about n_items / (8 * threads)).
void parallel_for(std::uint64_t n_items, std::uint64_t min_grain, ChunkFn body);

// As above for coarse items, each worth a task on its own (a cache-sized
// block of a run of gates): every chunk is one item, so the threads stay
// balanced to within one item even when one of them is slowed.
void parallel_for_each_item(std::uint64_t n_items, ChunkFn body);

}  // namespace vorn
