// The few entries of NumPy's C API the module uses, reached through the
// _ARRAY_API capsule at run time, so building needs no NumPy headers and the
// module imports without NumPy. Used by result_type.cpp.
#pragma once

#include "boundary.hpp"

namespace vorn::py::numpy {

// NumPy type numbers (stable across NumPy 1.x and 2.x).
inline constexpr int kFloat64 = 12;     // NPY_DOUBLE
inline constexpr int kComplex128 = 15;  // NPY_CDOUBLE

// Looks the API table up on first use (numpy.lib.NumpyVersion picks
// numpy._core or numpy.core). A failure is fatal ("Failed to access NumPy
// array API capsule") and the lookup is retried on the next call.
void ensure_api();

// A new writeable 1-D array of `length` elements over `data`, which
// `container` owns; the container becomes the array's base.
PyObject* vector_over(Ref container, void* data, std::uint64_t length, int type_number,
                      std::size_t item_size);

}  // namespace vorn::py::numpy
