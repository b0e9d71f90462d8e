// How much memory the process can really get: MemAvailable, capped by any
// cgroup limit, and the address space left under RLIMIT_AS. Read fresh on
// every check; the figures change under load.
#include "vorn/core/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "vorn/core/error.hpp"
#include "vorn/core/messages.hpp"

namespace vorn {
namespace {

std::optional<std::uint64_t> read_number_file(const char* path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text) || text.empty() || text == "max") return std::nullopt;
  try {
    std::size_t used = 0;
    unsigned long long v = std::stoull(text, &used);
    if (used != text.size()) return std::nullopt;
    return static_cast<std::uint64_t>(v);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::uint64_t> mem_available() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  unsigned long long value = 0;
  std::string unit;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return static_cast<std::uint64_t>(value) * 1024;
  }
  return std::nullopt;
}

// Own cgroup directory from /proc/self/cgroup ("0::/path" for v2).
std::optional<std::uint64_t> cgroup_headroom() {
  std::optional<std::uint64_t> best;
  auto consider = [&](std::optional<std::uint64_t> limit, std::optional<std::uint64_t> usage) {
    if (!limit) return;
    std::uint64_t room = (usage && *usage < *limit) ? *limit - *usage : (usage ? 0 : *limit);
    best = best ? std::min(*best, room) : room;
  };
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    auto first = line.find(':');
    auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    if (controllers.empty()) {  // cgroup v2
      for (std::string dir = "/sys/fs/cgroup" + (path == "/" ? std::string() : path);;) {
        consider(read_number_file((dir + "/memory.max").c_str()),
                 read_number_file((dir + "/memory.current").c_str()));
        auto slash = dir.rfind('/');
        if (dir == "/sys/fs/cgroup" || slash == std::string::npos) break;
        dir.resize(slash);
      }
    } else if (controllers.find("memory") != std::string::npos) {  // cgroup v1
      std::string dir = "/sys/fs/cgroup/memory" + (path == "/" ? std::string() : path);
      auto limit = read_number_file((dir + "/memory.limit_in_bytes").c_str());
      // v1 reports "no limit" as a huge number.
      if (limit && *limit < (std::uint64_t{1} << 62))
        consider(limit, read_number_file((dir + "/memory.usage_in_bytes").c_str()));
    }
  }
  return best;
}

}  // namespace

std::optional<std::uint64_t> available_memory_bytes() {
  auto avail = mem_available();
  auto room = cgroup_headroom();
  if (avail && room) return std::min(*avail, *room);
  return avail ? avail : room;
}

std::optional<std::uint64_t> address_space_room() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  // VmSize: every mapping the process already has counts against the limit.
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmSize:", 0) != 0) continue;
    unsigned long long kib = 0;
    if (std::sscanf(line.c_str() + 7, "%llu", &kib) != 1) break;
    const std::uint64_t mapped = static_cast<std::uint64_t>(kib) * 1024;
    const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
    return cap > mapped ? cap - mapped : 0;
  }
  return std::nullopt;
}

void require_memory(std::uint64_t bytes, std::source_location where) {
  auto avail = available_memory_bytes();
  if (avail && bytes > *avail) {
    throw FatalError(messages::fill(messages::kOutOfMemory, bytes, *avail), where, FatalError::Kind::OutOfMemory);
  }
}

void claim_malloc_arena() noexcept {
  void* p = std::malloc(64);
  asm volatile("" : : "r"(p) : "memory");  // the allocation must happen
  std::free(p);
}

void require_run_memory(std::uint64_t first_bytes, std::uint64_t total_bytes, std::source_location where) {
  // The run's own thread's arena, before the process's size is read.
  claim_malloc_arena();
  require_memory(total_bytes, where);
  // An allocation beyond the address-space limit fails at once, so the first
  // one may simply be tried (and named if it fails); what must not happen is
  // that the later ones fail after all the work in between.
  auto room = address_space_room();
  if (room && first_bytes <= *room && total_bytes > *room) {
    throw FatalError(messages::fill(messages::kOutOfMemory, total_bytes, *room), where,
                     FatalError::Kind::OutOfMemory);
  }
}

namespace detail {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on malloc maps every allocation afresh anyway (glibc's
// largest mmap threshold); below it, freed memory is often reused without
// faults, which a mapping of our own would give up.
constexpr std::size_t kMapFrom = std::size_t{32} << 20;

// Kept just below every allocation: what to give back, and how (length 0:
// `base` came from malloc; otherwise the mapping's start and length).
struct Header {
  void* base;
  std::size_t length;
};

constexpr std::uintptr_t align_up(std::uintptr_t x, std::uintptr_t a) { return (x + a - 1) & ~(a - 1); }

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every buffer comes from malloc, so that its checks
// cover the large ones too.
constexpr bool kMapLarge = false;
#else
constexpr bool kMapLarge = true;
#endif

// A mapping whose data starts on a 2 MiB boundary, with one small page in
// front for the header; the over-mapped head and tail are unmapped again.
void* map_large(std::size_t bytes) noexcept {
  const std::size_t body = align_up(bytes, kPage);
  const std::size_t length = body + kHugePage + kPage;
  void* raw = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t data = align_up(start + kPage, kHugePage);
  const std::uintptr_t head = data - kPage;
  if (head > start) munmap(raw, head - start);
  if (start + length > data + body) munmap(reinterpret_cast<void*>(data + body), start + length - (data + body));
  // Only advice: where the kernel has no huge pages the mapping works as is.
  madvise(reinterpret_cast<void*>(data), body, MADV_HUGEPAGE);
  reinterpret_cast<Header*>(data)[-1] = {reinterpret_cast<void*>(head), body + kPage};
  return reinterpret_cast<void*>(data);
}

}  // namespace

void* allocate_aligned(std::size_t bytes, bool zero) noexcept {
  constexpr std::size_t kExtra = kAlignment + sizeof(Header);
  if (bytes > SIZE_MAX - kHugePage - 2 * kPage - kExtra) return nullptr;
  // Fresh anonymous pages read as zero, so a mapping needs no fill.
  if (kMapLarge && bytes >= kMapFrom) return map_large(bytes);
  void* raw = zero ? std::calloc(1, bytes + kExtra) : std::malloc(bytes + kExtra);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t data = align_up(reinterpret_cast<std::uintptr_t>(raw) + sizeof(Header), kAlignment);
  reinterpret_cast<Header*>(data)[-1] = {raw, 0};
  return reinterpret_cast<void*>(data);
}

void free_aligned(void* p) noexcept {
  if (p == nullptr) return;
  const Header h = static_cast<Header*>(p)[-1];
  if (h.length == 0) {
    std::free(h.base);
  } else {
    munmap(h.base, h.length);
  }
}

}  // namespace detail

void allocation_failed(std::uint64_t bytes, std::string_view what, std::source_location where) {
  throw FatalError(messages::fill(messages::kAllocationFailed, what, bytes), where, FatalError::Kind::OutOfMemory);
}

}  // namespace vorn
