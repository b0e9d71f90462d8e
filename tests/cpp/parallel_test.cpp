// Tests of the worker pool: the size rule, real concurrency of that many threads,
// chunk coverage, the FP environment in chunks, failures reaching the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>
#include <xmmintrin.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "vorn/core/error.hpp"
#include "vorn/core/parallel.hpp"

namespace vorn {
namespace {

TEST(PoolSize, ParsesDecimalCountsOnly) {
  EXPECT_EQ(parse_thread_count("3"), 3u);
  EXPECT_EQ(parse_thread_count("+3"), 3u);
  EXPECT_EQ(parse_thread_count("0"), 0u);
  EXPECT_EQ(parse_thread_count("007"), 7u);
  EXPECT_EQ(parse_thread_count("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"abc", "", "+", "++3", "-1", " 3", "3 ", "3x", "0x10", "1e3",
                          "18446744073709551616"})
    EXPECT_FALSE(parse_thread_count(bad).has_value()) << '"' << bad << '"';
  EXPECT_FALSE(parse_thread_count(nullptr).has_value());
}

TEST(PoolSize, NumThreadsWinsThenRsNumCpusThenProcessors) {
  // RAYON_NUM_THREADS: positive as given, 0 = processors.
  EXPECT_EQ(pool_size_from_env("+3", "5", 8), 3u);
  EXPECT_EQ(pool_size_from_env("0", "5", 8), 8u);
  // Not a count: RAYON_RS_NUM_CPUS decides, read the same way.
  EXPECT_EQ(pool_size_from_env("abc", "5", 8), 5u);
  EXPECT_EQ(pool_size_from_env(nullptr, "+4", 8), 4u);
  EXPECT_EQ(pool_size_from_env(nullptr, "0", 8), 8u);
  EXPECT_EQ(pool_size_from_env("abc", "abc", 8), 8u);
  EXPECT_EQ(pool_size_from_env(nullptr, nullptr, 8), 8u);
  EXPECT_EQ(pool_size_from_env("-2", nullptr, 6), 6u);
  // A system that reports no processors still gets one thread.
  EXPECT_EQ(pool_size_from_env(nullptr, nullptr, 0), 1u);
  EXPECT_EQ(pool_size_from_env("0", nullptr, 0), 1u);
  EXPECT_EQ(pool_size_from_env("16", nullptr, 2), 16u);
}

TEST(Pool, SizeFollowsTheEnvironment) {
  const std::size_t want = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"),
                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                              std::thread::hardware_concurrency());
  EXPECT_EQ(pool_thread_count(), want);
}

TEST(Pool, RunsThatManyChunksAtOnce) {
  // Every chunk waits until all have started: only a pool with that many
  // threads can finish before the deadline.
  const std::size_t threads = pool_thread_count();
  if (threads > 64) GTEST_SKIP();
  std::atomic<std::size_t> started{0};
  std::atomic<bool> all_met{true};
  auto body = [&](std::uint64_t, std::uint64_t) {
    started.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started.load() < threads) {
      if (std::chrono::steady_clock::now() > deadline) {
        all_met = false;
        return;
      }
      std::this_thread::yield();
    }
  };
  parallel_for(threads, 1, body);
  EXPECT_TRUE(all_met.load());
  EXPECT_EQ(started.load(), threads);
}

TEST(Pool, ChunksCoverEveryItemOnce) {
  for (std::uint64_t n : {1u, 2u, 7u, 100u, 4096u, 100003u}) {
    for (std::uint64_t grain : {1u, 3u, 2048u}) {
      std::vector<int> seen(n, 0);
      auto body = [&](std::uint64_t b, std::uint64_t e) {
        ASSERT_LT(b, e);
        for (std::uint64_t i = b; i < e; ++i) ++seen[i];
      };
      parallel_for(n, grain, body);
      for (std::uint64_t i = 0; i < n; ++i) ASSERT_EQ(seen[i], 1) << n << ' ' << grain << ' ' << i;
    }
  }
  int calls = 0;
  auto none = [&](std::uint64_t, std::uint64_t) { ++calls; };
  parallel_for(0, none);
  EXPECT_EQ(calls, 0);
}

TEST(Pool, ChunksRunWithTheDefaultFpEnvironment) {
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);  // flush-to-zero and denormals-are-zero
  std::atomic<int> wrong{0};
  auto body = [&](std::uint64_t, std::uint64_t) {
    if ((_mm_getcsr() & 0xFFC0) != 0x1F80) ++wrong;
  };
  parallel_for(64, 1, body);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(after & 0x8040, 0x8040u) << "caller's setting not restored";
}

TEST(Pool, ChunkFailureReachesTheCaller) {
  auto body = [](std::uint64_t b, std::uint64_t e) {
    if (b <= 777 && 777 < e) fatal("chunk failed");
  };
  try {
    parallel_for(10000, 1, body);
    FAIL() << "no exception";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.message(), "chunk failed");
    EXPECT_EQ(e.kind(), FatalError::Kind::Fatal);
    EXPECT_NE(std::string(e.where().file_name()).find("parallel_test"), std::string::npos);
  }
  // The pool stays usable after a failed loop.
  std::atomic<std::uint64_t> sum{0};
  auto add = [&](std::uint64_t b, std::uint64_t e) { sum += e - b; };
  parallel_for(5000, add);
  EXPECT_EQ(sum.load(), 5000u);
}

// Chunk lengths of one parallel_for, in no particular order.
std::vector<std::uint64_t> chunk_lengths(std::uint64_t n, std::uint64_t min_grain) {
  std::mutex mutex;
  std::vector<std::uint64_t> lengths;
  auto body = [&](std::uint64_t b, std::uint64_t e) {
    std::lock_guard<std::mutex> lock(mutex);
    lengths.push_back(e - b);
  };
  parallel_for(n, min_grain, body);
  return lengths;
}

TEST(Pool, NoChunkIsSmallerThanTheMinimumGrain) {
  const std::uint64_t threads = pool_thread_count();
  for (std::uint64_t grain : {2u, 3u, 2048u, 4096u}) {
    for (std::uint64_t n : {grain - 1, grain, grain + 1, 2 * grain - 1, 2 * grain, 3 * grain + 5,
                            std::uint64_t{1} << 16, (std::uint64_t{1} << 20) + 7}) {
      const std::vector<std::uint64_t> lengths = chunk_lengths(n, grain);
      std::uint64_t total = 0;
      for (std::uint64_t length : lengths) total += length;
      ASSERT_EQ(total, n) << grain << ' ' << n;
      if (n < grain) {
        EXPECT_EQ(lengths.size(), 1u) << grain << ' ' << n;
        continue;
      }
      EXPECT_GE(*std::min_element(lengths.begin(), lengths.end()), grain) << grain << ' ' << n;
      // Still split when there is room for two chunks and no target forbids it.
      if (n >= 2 * grain && n / (8 * threads) < 2 * grain) {
        EXPECT_GE(lengths.size(), 2u) << grain << ' ' << n;
      }
      // And no chunk larger than the grain or the per-thread share needs.
      const std::uint64_t share = (n + 8 * threads - 1) / (8 * threads);
      EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), std::max(2 * grain - 1, share))
          << grain << ' ' << n;
    }
  }
}

TEST(Pool, EachItemIsAChunkOfItsOwn) {
  std::mutex mutex;
  std::vector<std::uint64_t> lengths;
  auto body = [&](std::uint64_t b, std::uint64_t e) {
    std::lock_guard<std::mutex> lock(mutex);
    lengths.push_back(e - b);
  };
  parallel_for_each_item(100, body);
  EXPECT_EQ(lengths, std::vector<std::uint64_t>(100, 1));
}

// fork() copies only the calling thread: the child must make a pool of its
// own instead of waiting for workers that do not exist there. The child gets
// 20 s (SIGALRM ends a hang) and reports by exit status.
TEST(Pool, ForkedChildRunsParallelLoops) {
  std::atomic<std::uint64_t> warm{0};
  auto count = [&](std::uint64_t b, std::uint64_t e) { warm += e - b; };
  parallel_for(100000, 16, count);  // the pool exists and its workers ran
  ASSERT_EQ(warm.load(), 100000u);
  const std::size_t parent_threads = pool_thread_count();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    int status = 0;
    for (int round = 0; round < 3; ++round) {
      std::vector<std::uint8_t> seen(200000, 0);
      auto mark = [&](std::uint64_t b, std::uint64_t e) {
        for (std::uint64_t i = b; i < e; ++i) ++seen[i];
      };
      parallel_for(seen.size(), 64, mark);
      if (std::count(seen.begin(), seen.end(), 1) != static_cast<long>(seen.size())) status = 1;
    }
    if (pool_thread_count() != parent_threads) status = 2;  // the count is not decided again
    _exit(status);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The parent's pool is untouched.
  warm = 0;
  parallel_for(100000, 16, count);
  EXPECT_EQ(warm.load(), 100000u);
}

// Forks taken while another thread keeps the workers waking and sleeping:
// oneTBB's record of sleeping workers can be mid-change at the fork, so a
// child that spawned into it crashed now and then. The child's loops must run
// on its calling thread, whole, and every child must end normally.
TEST(Pool, ForkedChildrenOfABusyPoolNeverEnterThePool) {
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    std::atomic<std::uint64_t> sink{0};
    auto add = [&](std::uint64_t b, std::uint64_t e) { sink += e - b; };
    while (!stop.load()) parallel_for(1u << 14, 16, add);
  });
  int crashed = 0, wrong = 0;
  for (int round = 0; round < 40; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      alarm(20);
      const pthread_t self = pthread_self();
      std::uint64_t covered = 0;
      bool elsewhere = false;
      auto mark = [&](std::uint64_t b, std::uint64_t e) {
        if (!pthread_equal(pthread_self(), self)) elsewhere = true;
        covered += e - b;
      };
      for (int loop = 0; loop < 20; ++loop) parallel_for(1u << 16, 16, mark);
      _exit(elsewhere ? 1 : covered == 20u << 16 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (!WIFEXITED(status)) ++crashed;
    else if (WEXITSTATUS(status) != 0) ++wrong;
  }
  stop = true;
  busy.join();
  EXPECT_EQ(crashed, 0);
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vorn

namespace vorn {
namespace {

TEST(ThreadLimit, NoMoreThreadsThanTheLimitRunChunksAtOnce) {
  const std::size_t threads = pool_thread_count();
  if (threads < 2 || threads > 64) GTEST_SKIP();
  for (std::size_t limit = 1; limit < threads; ++limit) {
    std::atomic<std::size_t> running{0}, most{0};
    std::mutex ids_mutex;
    std::set<std::thread::id> ids;
    auto body = [&](std::uint64_t, std::uint64_t) {
      const std::size_t now = running.fetch_add(1) + 1;
      for (std::size_t seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
      }
      {
        const std::lock_guard<std::mutex> lock(ids_mutex);
        ids.insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      running.fetch_sub(1);
    };
    const ThreadLimit scope(limit);
    parallel_for_each_item(8 * threads, body);
    EXPECT_LE(most.load(), limit) << limit;
    EXPECT_LE(ids.size(), limit) << limit;
  }
}

TEST(ThreadLimit, ScopesNestToTheSmallerAndEndWithTheScope) {
  const std::size_t threads = pool_thread_count();
  if (threads < 2 || threads > 64) GTEST_SKIP();
  std::atomic<std::size_t> count{0};
  auto body = [&](std::uint64_t b, std::uint64_t e) { count.fetch_add(e - b); };
  {
    const ThreadLimit outer(1);
    const ThreadLimit wider(threads);  // cannot widen the outer limit
    std::set<std::thread::id> ids;
    std::mutex m;
    auto record = [&](std::uint64_t, std::uint64_t) {
      const std::lock_guard<std::mutex> lock(m);
      ids.insert(std::this_thread::get_id());
    };
    parallel_for_each_item(64, record);
    EXPECT_EQ(ids.size(), 1u);
    EXPECT_EQ(*ids.begin(), std::this_thread::get_id());
  }
  parallel_for(1000, body);  // the whole pool again
  EXPECT_EQ(count.load(), 1000u);
}

// Under ThreadLimit(1) a loop is one chunk on the calling thread (so loops
// started by many pool tasks at once do not queue for one small arena), with
// the default FP environment as every chunk has it.
TEST(ThreadLimit, OneThreadRunsTheLoopInlineAsOneChunk) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> chunks;
  std::thread::id where;
  const unsigned saved = _mm_getcsr();
  unsigned seen = 0;
  {
    const ThreadLimit one(1);
    auto body = [&](std::uint64_t b, std::uint64_t e) {
      chunks.emplace_back(b, e);
      where = std::this_thread::get_id();
      seen = _mm_getcsr();
    };
    _mm_setcsr(saved | 0x8040);
    parallel_for(1000, 1, body);
    parallel_for_each_item(5, body);
    parallel_for(0, 1, body);
    _mm_setcsr(saved);
  }
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0], std::make_pair(std::uint64_t{0}, std::uint64_t{1000}));
  EXPECT_EQ(chunks[1], std::make_pair(std::uint64_t{0}, std::uint64_t{5}));
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_EQ(seen & 0xFFC0, 0x1F80u);
}

}  // namespace
}  // namespace vorn
