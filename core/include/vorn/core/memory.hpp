// Guarding allocations against the memory the process can really get, and the
// owning zero-filled buffer behind state and probability vectors.
// Used by StateVector, sampling, the engine (whole-run check) and the bindings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <cstdlib>
#include <new>
#include <source_location>
#include <string_view>
#include <type_traits>

namespace vorn {

// Bytes the process can still obtain: the smaller of MemAvailable and any
// cgroup (v2 or v1) limit minus current usage. nullopt when nothing is known.
std::optional<std::uint64_t> available_memory_bytes();

// Bytes of address space left under RLIMIT_AS: the soft limit minus what the
// process already maps (VmSize). nullopt when there is no limit.
std::optional<std::uint64_t> address_space_room();

// glibc gives each thread its own malloc arena (64 MiB of address space) at
// its first allocation, and hands it to a later thread when this one ends.
// Claimed up front by the pool's threads and by a run before its check, so
// that no arena is made in the middle of a run, after the address space was
// counted (require_run_memory claims the calling thread's).
void claim_malloc_arena() noexcept;

// Throws FatalError{Kind::OutOfMemory} naming both figures when `bytes` exceeds
// what is available. With overcommit a large allocation can "succeed" and the
// process is killed later when pages are touched; this check prevents that.
void require_memory(std::uint64_t bytes,
                    std::source_location where = std::source_location::current());

// The up-front check of a run that allocates `first_bytes` (the state) and
// later, still holding them, the rest of `total_bytes` (the sampling vector):
// require_memory(total_bytes), and under an address-space limit the same
// error when the first allocation fits but the whole run does not. (A first
// allocation beyond the limit fails by itself, before any work, and is named
// by allocation_failed.)
void require_run_memory(std::uint64_t first_bytes, std::uint64_t total_bytes,
                        std::source_location where = std::source_location::current());

// Throws FatalError{Kind::OutOfMemory} "out of memory: allocation failed;
// {what} needs {bytes} bytes": for an allocation that failed although the
// check passed (an address-space limit, or memory taken meanwhile).
[[noreturn]] void allocation_failed(std::uint64_t bytes, std::string_view what,
                                    std::source_location where = std::source_location::current());

namespace detail {
// `bytes` (> 0) 64-byte aligned, zero-filled when asked; null on failure.
// From 32 MiB on the memory is its own mapping, 2 MiB aligned and offered to
// the kernel for transparent huge pages: first touching a large state then
// takes one fault per 2 MiB instead of one per 4 KiB page (about five times
// less time at 24 qubits), and its zero fill stays lazy as with calloc.
void* allocate_aligned(std::size_t bytes, bool zero) noexcept;
// Frees what allocate_aligned returned (null is a no-op).
void free_aligned(void* p) noexcept;
}  // namespace detail

// Owning array of trivially copyable T, 64-byte aligned (a vector register of
// eight doubles never straddles two cache lines). Move-only. Zero fills are
// lazy: the kernel hands out zero pages.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  // Zero-filled (every byte 0) allocation of `count` elements, after require_memory.
  static Buffer zeroed(std::size_t count) { return allocate(count, true); }
  // Uninitialised allocation of `count` elements, after require_memory.
  static Buffer uninitialized(std::size_t count) { return allocate(count, false); }

  Buffer(Buffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  Buffer& operator=(Buffer&& other) noexcept {
    if (this != &other) {
      release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  // Gives up ownership; free the result with Buffer<T>::free_raw.
  T* release_ownership() noexcept {
    T* p = data_;
    data_ = nullptr;
    size_ = 0;
    return p;
  }
  static void free_raw(T* p) noexcept { detail::free_aligned(p); }

 private:
  static_assert(std::is_trivially_copyable_v<T>);
  static Buffer allocate(std::size_t count, bool zero) {
    Buffer b;
    if (count == 0) return b;
    require_memory(static_cast<std::uint64_t>(count) * sizeof(T));
    if (count > SIZE_MAX / 2 / sizeof(T)) throw std::bad_alloc();
    void* p = detail::allocate_aligned(count * sizeof(T), zero);
    if (p == nullptr) throw std::bad_alloc();
    b.data_ = static_cast<T*>(p);
    b.size_ = count;
    return b;
  }
  void release() noexcept {
    free_raw(data_);
    data_ = nullptr;
    size_ = 0;
  }
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vorn
