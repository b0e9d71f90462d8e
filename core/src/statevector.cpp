// Creating, copying and reading the amplitude array. Used by the engine,
// sampling and the bindings; the kernels and the block runner change the
// amplitudes in place. Allocation failures name the array that failed.
#include "vorn/core/statevector.hpp"

#include <cstring>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "vorn/core/error.hpp"
#include "vorn/core/messages.hpp"

namespace vorn {

// Asks for 2 MiB pages on the whole 2 MiB-aligned part of a large array
// before its first touch: far fewer page faults on the first gate and TLB
// misses on high-qubit gates. Only a hint; nothing depends on it.
void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

template <class T>
BasicStateVector<T> BasicStateVector<T>::create(std::uint64_t n_qubits) {
  if (n_qubits == 0) fatal(std::string(messages::kNoQubits));
  if (n_qubits > kMaxQubits) fatal(messages::fill(messages::kTooManyQubits, n_qubits, kMaxQubits));
  // calloc gives every amplitude the all-zero bit pattern (+0.0, +0.0).
  Buffer<Amplitude> amplitudes;
  try {
    amplitudes = Buffer<Amplitude>::zeroed(std::size_t{1} << n_qubits);
  } catch (const std::bad_alloc&) {
    allocation_failed(bytes_for(n_qubits), messages::fill(messages::kStateVectorOf, n_qubits));
  }
  advise_huge_pages(amplitudes.data(), amplitudes.size() * sizeof(Amplitude));
  amplitudes[0] = Amplitude{1, 0};
  return BasicStateVector(std::move(amplitudes), n_qubits);
}

template <class T>
BasicStateVector<T> BasicStateVector<T>::copy() const {
  Buffer<Amplitude> duplicate;
  try {
    duplicate = Buffer<Amplitude>::uninitialized(amplitudes_.size());
  } catch (const std::bad_alloc&) {
    allocation_failed(amplitudes_.size() * sizeof(Amplitude), messages::kStateVectorCopy);
  }
  if (amplitudes_.size() != 0)
    std::memcpy(duplicate.data(), amplitudes_.data(), amplitudes_.size() * sizeof(Amplitude));
  return BasicStateVector(std::move(duplicate), n_qubits_);
}

template <class T>
Buffer<double> BasicStateVector<T>::probabilities() const {
  const std::size_t n = amplitudes_.size();
  Buffer<double> out = Buffer<double>::uninitialized(n);
  const Amplitude* a = amplitudes_.data();
  double* p = out.data();
  for (std::size_t i = 0; i < n; ++i) p[i] = norm2(a[i]);
  return out;
}

template class BasicStateVector<double>;
template class BasicStateVector<float>;

}  // namespace vorn
