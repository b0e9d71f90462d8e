// The owner of a NumPy array's private buffer (class PySliceContainer), used
// as the array's base object by result_type.cpp.
#pragma once

#include "boundary.hpp"
#include "vorn/core/complex.hpp"
#include "vorn/core/memory.hpp"

namespace vorn::py {

// The class has no methods, so nothing ever borrows an instance: it holds the
// buffer and the routine that frees it, nothing else.
struct SliceContainerObject {
  PyObject_HEAD
  void* data;
  void (*release)(void* data) noexcept;

  static constexpr const char* kClassName = "PySliceContainer";
  static PyTypeObject* type();
  void destroy_fields() noexcept;
};

// A container owning `buffer` (its data stays where it is). Failure to make
// one is fatal ("Failed to create slice container"); the buffer is then freed.
Ref make_slice_container(vorn::Buffer<vorn::Complex> buffer);
Ref make_slice_container(vorn::Buffer<double> buffer);

}  // namespace vorn::py
