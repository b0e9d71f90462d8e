// The process-wide worker pool (one oneTBB arena, created on first use) and
// the chunked parallel loop every parallel kernel path runs on.
#include "vorn/core/parallel.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "vorn/core/error.hpp"
#include "vorn/core/fp_env.hpp"
#include "vorn/core/messages.hpp"

namespace vorn {
namespace {

inline constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;
// Chunks per pool thread: enough to balance load when another run shares the
// pool, few enough that task overhead stays negligible.
inline constexpr std::uint64_t kChunksPerThread = 8;

struct Pool {
  std::size_t threads;
  // Kept alive for the process: without the parallelism limit oneTBB caps its
  // workers at the core count, and the stack size applies to new workers only.
  std::unique_ptr<tbb::global_control> parallelism;
  std::unique_ptr<tbb::global_control> stack_size;
  std::unique_ptr<tbb::task_arena> arena;
};

Pool* create_pool() {
  const unsigned hw = std::thread::hardware_concurrency();
  const std::size_t threads = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"),
                                                 std::getenv("RAYON_RS_NUM_CPUS"), hw);
  if (threads >= static_cast<std::size_t>(INT_MAX)) return nullptr;
  try {
    auto pool = std::make_unique<Pool>();
    pool->threads = threads;
    pool->stack_size = std::make_unique<tbb::global_control>(
        tbb::global_control::thread_stack_size, kWorkerStackBytes);
    // The calling thread may occupy an arena slot too; +1 lets `threads`
    // workers exist besides it.
    pool->parallelism = std::make_unique<tbb::global_control>(
        tbb::global_control::max_allowed_parallelism, threads + 1);
    // No slot reserved for callers: the workers alone can fill the arena.
    pool->arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads), 0);
    pool->arena->initialize();
    return pool.release();
  } catch (...) {
    return nullptr;
  }
}

// Never destroyed: kernels may still run while static objects are torn down.
Pool& pool() {
  static Pool* const instance = create_pool();
  if (instance == nullptr) fatal(std::string(messages::kPoolNotInitialized));
  return *instance;
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

std::size_t pool_thread_count() { return pool().threads; }

void parallel_for(std::uint64_t n_items, ChunkFn body) { parallel_for(n_items, 1, body); }

namespace {

void run_chunks(Pool& p, std::uint64_t n_items, std::uint64_t grain, ChunkFn body) {
  // Exceptions thrown by a chunk are captured by oneTBB and rethrown here as
  // the original object, so a FatalError keeps its type and location.
  p.arena->execute([&] {
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

}  // namespace

namespace {

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

}  // namespace

void parallel_for(std::uint64_t n_items, std::uint64_t min_grain, ChunkFn body) {
  Pool& p = pool();
  if (n_items == 0) return;
  run_chunks(p, n_items, chunk_grain(n_items, min_grain, p.threads), body);
}

void parallel_for_each_item(std::uint64_t n_items, ChunkFn body) {
  Pool& p = pool();
  if (n_items == 0) return;
  run_chunks(p, n_items, 1, body);
}

}  // namespace vorn
