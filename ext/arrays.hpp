// NumPy arrays that take C++ buffers over without copying them: the array's
// capsule frees the buffer when NumPy is done. Used by run.cpp and observables.cpp.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <memory>
#include <utility>
#include <vector>

#include "vorn/core/memory.hpp"

namespace vorn::ext {

template <class T>
using Array1D = nanobind::ndarray<nanobind::numpy, T, nanobind::ndim<1>>;

template <class T, class Element = T>
Array1D<Element> adopt(Buffer<T>&& buffer) {
  const std::size_t n = buffer.size();
  std::unique_ptr<T, void (*)(T*)> owned(buffer.release_ownership(), &Buffer<T>::free_raw);
  nanobind::capsule owner(owned.get(), [](void* p) noexcept { Buffer<T>::free_raw(static_cast<T*>(p)); });
  return Array1D<Element>(reinterpret_cast<Element*>(owned.release()), {n}, owner);
}

template <class T>
Array1D<T> adopt(std::vector<T>&& values) {
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  nanobind::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  std::vector<T>* v = owned.release();
  return Array1D<T>(v->data(), {v->size()}, owner);
}

}  // namespace vorn::ext
