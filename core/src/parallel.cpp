// The process-wide worker pool (one oneTBB arena of our own size, created on
// first use and again in a forked child) and the chunked parallel loop every
// parallel kernel path runs on.
#include "vorn/core/parallel.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/memory.hpp"
#include "vorn/core/messages.hpp"

namespace vorn {
namespace {

inline constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;
// Chunks per pool thread: enough to balance load when another run shares the
// pool, few enough that task overhead stays negligible.
inline constexpr std::uint64_t kChunksPerThread = 8;

using control = tbb::global_control;

// ---- Process-wide settings of oneTBB --------------------------------------------
// The size of our pool is the arena's concurrency, which touches no one else.
// Two settings of oneTBB are process-wide; each is only ever raised, never
// lowered, and only when the pool needs it. They are kept for the process.
//  - max_allowed_parallelism: oneTBB gives all arenas together at most this
//    value - 1 workers; the value is the core count by default. A pool
//    larger than the value raises it to the pool's size. oneTBB takes the smallest value any library
//    asks for, so another library's lower limit still caps our pool, and our
//    value caps a library that asks for more than we do later.
//  - thread_stack_size: workers get at least 2 MiB of stack (oneTBB's default
//    of 4 MiB already is).
std::size_t worker_stack_bytes() {
  return std::max(control::active_value(control::thread_stack_size), kWorkerStackBytes);
}

}  // namespace

// Kept for the process, and reachable so that leak checkers do not report
// them: external linkage, so the compiler cannot drop these never-read stores.
namespace detail {
control* stack_size_raise = nullptr;
control* parallelism_raise = nullptr;
}  // namespace detail

namespace {
using detail::parallelism_raise;
using detail::stack_size_raise;

void raise_process_wide_settings(std::size_t threads) {
  if (control::active_value(control::thread_stack_size) < kWorkerStackBytes)
    stack_size_raise = new control(control::thread_stack_size, kWorkerStackBytes);
  if (control::active_value(control::max_allowed_parallelism) < threads)
    parallelism_raise = new control(control::max_allowed_parallelism, threads);
}

// ---- Can the system start the workers? ------------------------------------------
// oneTBB starts its workers lazily from threads of its own, and a failed
// pthread_create there throws where nothing can catch it: the process aborts.
// So the pool first starts as many threads as oneTBB will, with its stack
// size, all alive at once, and gives them up again. A failure here is the
// pool's ordinary initialisation failure. (Another process could still take
// the room between this check and oneTBB's start-up; that race remains.)

std::uint64_t read_kernel_limit(const char* path) {
  std::ifstream in(path);
  std::uint64_t value = 0;
  return (in >> value) ? value : UINT64_MAX;
}

class ThreadProbe {
 public:
  bool start(std::size_t count, std::size_t stack_bytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attr, stack_bytes) == 0;
    threads_.reserve(count);
    for (std::size_t i = 0; ok && i < count; ++i) {
      pthread_t thread;
      ok = pthread_create(&thread, &attr, &ThreadProbe::wait_for_release, this) == 0;
      if (ok) threads_.push_back(thread);
    }
    pthread_attr_destroy(&attr);
    return ok;
  }
  ~ThreadProbe() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_all();
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
  }

 private:
  static void* wait_for_release(void* self) {
    // Arenas claimed here are reused by the workers started after them.
    claim_malloc_arena();
    auto* probe = static_cast<ThreadProbe*>(self);
    std::unique_lock<std::mutex> lock(probe->mutex_);
    probe->released_cv_.wait(lock, [probe] { return probe->released_; });
    return nullptr;
  }
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::vector<pthread_t> threads_;
};

bool can_start_workers(std::size_t workers) {
  if (workers == 0) return true;
  // Each thread takes a process id: no probe is needed to know these fail.
  if (workers >= read_kernel_limit("/proc/sys/kernel/threads-max") ||
      workers >= read_kernel_limit("/proc/sys/kernel/pid_max"))
    return false;
  try {
    ThreadProbe probe;
    return probe.start(workers, worker_stack_bytes());
  } catch (...) {
    return false;
  }
}

// ---- The pool ---------------------------------------------------------------------

// The pool's state. `arena` is read without the lock on every parallel loop;
// creation and the fork handlers hold `pool_mutex`.
std::mutex pool_mutex;
std::atomic<tbb::task_arena*> pool_arena{nullptr};
std::atomic<std::size_t> pool_threads{0};  // decided once, at the first creation
std::atomic<bool> pool_failed{false};      // a failed creation stays failed
// Set in a forked child (of a process whose pool existed): its loops never
// touch oneTBB again, read without the lock.
std::atomic<bool> forked_child{false};

// fork() copies only the calling thread; oneTBB's workers are gone in the
// child, and an arena whose slots they held would wait for them forever.
// oneTBB's process-wide state (the list of sleeping workers a spawn wakes)
// may have been mid-change in one of those workers at the fork, so the child
// never calls into oneTBB again: it forgets the arenas without touching them
// (destroying one would wait for those workers) and runs every loop on the
// calling thread as one chunk; the results are the same bits. The lock is held
// across fork() so that the child never inherits it taken.
// Arenas forgotten by forks are kept here, reachable, so that leak checkers
// do not report them (a child of a child of ... beyond the last slot just
// leaks its parent's arena unrecorded).
}  // namespace
namespace detail {
tbb::task_arena* forgotten_arenas[16 + 64] = {};
}  // namespace detail
namespace {
using detail::forgotten_arenas;

// Smaller arenas for loops under a ThreadLimit, one per size below the
// pool's (made on first use, under pool_mutex, kept like the pool's).
constexpr std::size_t kLimitedArenas = 64;
std::atomic<tbb::task_arena*> limited_arenas[kLimitedArenas] = {};
// 0: the whole pool. Initial-exec: a slot of the static TLS that glibc keeps
// for loaded modules. A dynamic TLS block, allocated when a pool worker first
// reads it (a sweep's bindings run side by side under ThreadLimit(1)), trips
// LeakSanitizer's exit-time thread scan, and its access may take the loader's
// lock, which a forked child can inherit held.
__attribute__((tls_model("initial-exec"))) thread_local std::size_t thread_limit = 0;

void forget(tbb::task_arena* arena) {
  if (arena == nullptr) return;
  for (tbb::task_arena*& slot : forgotten_arenas) {
    if (slot == nullptr) {
      slot = arena;
      break;
    }
  }
}

void before_fork() { pool_mutex.lock(); }
void after_fork_in_parent() { pool_mutex.unlock(); }
void after_fork_in_child() {
  forked_child.store(true, std::memory_order_relaxed);
  forget(pool_arena.exchange(nullptr, std::memory_order_relaxed));
  for (auto& arena : limited_arenas) forget(arena.exchange(nullptr, std::memory_order_relaxed));
  pool_mutex.unlock();
}

// oneTBB starts its workers at the first loop that wants them; started then,
// in the middle of a run, their stacks take address space after the run's
// memory check, and under RLIMIT_AS a worker that cannot start aborts the
// process. So a new pool starts them all at once: one task per thread, each
// waiting (a second at most) until every one has begun. Afterwards every
// thread of the pool is part of the process's size that checks compare with.
void start_workers(tbb::task_arena& arena, std::size_t threads) {
  std::mutex mutex;
  std::condition_variable all_cv;
  std::size_t arrived = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  arena.execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::size_t>(0, threads, 1),
        [&](const tbb::blocked_range<std::size_t>&) {
          claim_malloc_arena();
          std::unique_lock<std::mutex> lock(mutex);
          if (++arrived == threads) all_cv.notify_all();
          all_cv.wait_until(lock, give_up, [&] { return arrived >= threads; });
        },
        tbb::simple_partitioner());
  });
}

// Under pool_mutex. Returns nullptr when the pool cannot be made.
tbb::task_arena* create_arena(std::size_t threads) {
  if (threads >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  try {
    // One slot is kept for the thread that starts a loop (it takes part in
    // it), so oneTBB is asked for threads - 1 workers: within its default
    // for any size up to the core count.
    if (!can_start_workers(threads - 1)) return nullptr;
    raise_process_wide_settings(threads);
    auto arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 1);
    arena->initialize();
    // A forked child runs its loops on the calling thread alone (see below).
    if (threads > 1) start_workers(*arena, threads);
    return arena.release();
  } catch (...) {
    return nullptr;
  }
}

// Never destroyed: kernels may still run while static objects are torn down.
tbb::task_arena& pool() {
  if (tbb::task_arena* arena = pool_arena.load(std::memory_order_acquire)) return *arena;
  {
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (tbb::task_arena* arena = pool_arena.load(std::memory_order_acquire)) return *arena;
    if (!pool_failed.load(std::memory_order_relaxed)) {
      static const bool fork_handlers_set =
          pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
      std::size_t threads = pool_threads.load(std::memory_order_relaxed);
      if (threads == 0) {
        threads = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                     std::thread::hardware_concurrency());
        pool_threads.store(threads, std::memory_order_relaxed);
      }
      // Without the handlers a forked child could hang, so no pool at all.
      tbb::task_arena* arena = fork_handlers_set ? create_arena(threads) : nullptr;
      if (arena != nullptr) {
        pool_arena.store(arena, std::memory_order_release);
        return *arena;
      }
      pool_failed.store(true, std::memory_order_relaxed);
    }
  }
  fatal(std::string(messages::kPoolNotInitialized));
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t logical_processors) {
  const std::size_t processors = std::max<std::size_t>(logical_processors, 1);
  if (auto n = parse_thread_count(num_threads)) return *n > 0 ? static_cast<std::size_t>(*n) : processors;
  if (auto n = parse_thread_count(rs_num_cpus)) return *n > 0 ? static_cast<std::size_t>(*n) : processors;
  return processors;
}

std::size_t pool_thread_count() {
  if (!forked_child.load(std::memory_order_relaxed)) pool();
  return pool_threads.load(std::memory_order_relaxed);
}

ThreadLimit::ThreadLimit(std::size_t threads) noexcept : previous_(thread_limit) {
  if (threads != 0 && (previous_ == 0 || threads < previous_)) thread_limit = threads;
}
ThreadLimit::~ThreadLimit() { thread_limit = previous_; }

void parallel_for(std::uint64_t n_items, ChunkFn body) { parallel_for(n_items, 1, body); }

namespace {

void run_chunks(tbb::task_arena& arena, std::uint64_t n_items, std::uint64_t grain, ChunkFn body) {
  // Exceptions thrown by a chunk are captured by oneTBB and rethrown here as
  // the original object, so a FatalError keeps its type and location.
  arena.execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<std::uint64_t>(0, n_items, grain),
        [&](const tbb::blocked_range<std::uint64_t>& r) {
          // oneTBB hands the caller's FP settings to workers; pin the default.
          DefaultFpEnv fp_env;
          body(r.begin(), r.end());
        },
        tbb::simple_partitioner());
  });
}

std::uint64_t chunk_grain(std::uint64_t n_items, std::uint64_t min_grain, std::size_t threads) {
  // simple_partitioner halves a range while it holds more than `grain` items,
  // so every chunk holds between floor((grain + 1) / 2) and grain items (or
  // the whole range, when that is no larger). 2 * min_grain - 1 makes the
  // smaller end min_grain; the per-thread target bounds the larger end.
  const std::uint64_t smallest =
      min_grain <= 1 ? 1 : (min_grain > UINT64_MAX / 2 ? UINT64_MAX : 2 * min_grain - 1);
  const std::uint64_t target_chunks =
      std::max<std::uint64_t>(static_cast<std::uint64_t>(threads) * kChunksPerThread, 1);
  return std::max(smallest, n_items / target_chunks + (n_items % target_chunks != 0));
}

// The arena a loop on this thread runs in, and its thread count: the pool,
// or under a ThreadLimit below the pool's size an arena of that size (its
// workers come from the same oneTBB workers, so the process holds no more).
std::pair<tbb::task_arena*, std::size_t> loop_arena() {
  tbb::task_arena& whole = pool();
  const std::size_t threads = pool_threads.load(std::memory_order_relaxed);
  const std::size_t limit = thread_limit;
  if (limit == 0 || limit >= threads || limit >= kLimitedArenas) return {&whole, threads};
  if (tbb::task_arena* arena = limited_arenas[limit].load(std::memory_order_acquire)) return {arena, limit};
  std::lock_guard<std::mutex> lock(pool_mutex);
  tbb::task_arena* arena = limited_arenas[limit].load(std::memory_order_acquire);
  if (arena == nullptr) {
    try {
      auto made = std::make_unique<tbb::task_arena>(static_cast<int>(limit), 1);
      made->initialize();
      arena = made.release();
      limited_arenas[limit].store(arena, std::memory_order_release);
    } catch (...) {
      return {&whole, threads};  // the same results on the whole pool
    }
  }
  return {arena, limit};
}

// Under ThreadLimit(1) a loop is one chunk on the calling thread: no arena to
// queue for, so many single-threaded loops (a sweep's bindings side by side)
// run at once. One chunk sums nothing differently from many. A forked child
// runs every loop so (see the fork handlers).
bool run_inline(std::uint64_t n_items, ChunkFn body) {
  if (thread_limit != 1 && !forked_child.load(std::memory_order_relaxed)) return false;
  if (n_items != 0) {
    DefaultFpEnv fp_env;
    body(0, n_items);
  }
  return true;
}

}  // namespace

void parallel_for(std::uint64_t n_items, std::uint64_t min_grain, ChunkFn body) {
  if (run_inline(n_items, body)) return;
  const auto [arena, threads] = loop_arena();
  if (n_items == 0) return;
  run_chunks(*arena, n_items, chunk_grain(n_items, min_grain, threads), body);
}

void parallel_for_each_item(std::uint64_t n_items, ChunkFn body) {
  if (run_inline(n_items, body)) return;
  const auto [arena, threads] = loop_arena();
  if (n_items == 0) return;
  run_chunks(*arena, n_items, 1, body);
}

}  // namespace vorn
