// The call boundary every entry from Python goes through: argument binding,
// conversions, per-object access control, error conversion, type-object cells.
// Used by module.cpp, circuit_type.cpp, run.cpp, result_type.cpp, slice_container.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <new>
#include <source_location>
#include <span>
#include <string_view>
#include <utility>

namespace vorn::py {

// Thrown once a Python exception is set; the boundary then returns NULL.
// Lets conversions return plain values while RAII guards unwind.
struct PythonErrorSet {};

// Sets `type` with `message` and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// Throws PythonErrorSet if the Python call that returned `result` failed.
inline PyObject* checked(PyObject* result) {
  if (result == nullptr) throw PythonErrorSet{};
  return result;
}

// Owned reference, released on scope exit.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

// ---- Argument binding ------------------------------------------------------

inline constexpr std::size_t kMaxParams = 4;

// One entry's parameters: all positional-or-keyword, the first `required` of
// them mandatory. `call_name` is "Circuit.h", "run", "Circuit.__new__".
struct ParamSpec {
  std::string_view call_name;
  std::span<const std::string_view> names;
  std::size_t required;
};

// Parameter values in parameter order; nullptr where an optional one was omitted.
// The references are borrowed from the caller's arguments.
struct BoundArgs {
  std::array<PyObject*, kMaxParams> values{};
  PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
};

BoundArgs bind_vectorcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);
BoundArgs bind_tuple(const ParamSpec& spec, PyObject* args, PyObject* kwargs);

// ---- Conversions -------------------------------------------------------------
// A TypeError is re-raised as "argument '{param}': {message}"; OverflowError
// and everything else pass through unchanged.

std::uint64_t to_index(PyObject* obj, std::string_view param);
double to_real(PyObject* obj, std::string_view param);

// Replaces a pending TypeError by the "argument '{}': {}" form, keeping its cause.
void rewrap_argument_error(std::string_view param);

// ---- Access control ----------------------------------------------------------

// Free (0), shared by k holders (k > 0) or exclusive (-1). Atomic because run()
// holds its circuit shared while the interpreter lock is released.
class AccessCounter {
 public:
  bool try_acquire_shared() noexcept;
  bool try_acquire_exclusive() noexcept;
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::int64_t> state_{0};
};

enum class Access { Shared, Exclusive };

// "'{type qualname}' object cannot be converted to '{class_name}'" as TypeError.
[[noreturn]] void raise_wrong_class(PyObject* obj, const char* class_name);
void acquire(AccessCounter& counter, Access mode);  // RuntimeError when refused

// Checks that `obj` is an Obj instance, takes the access and a strong
// reference; gives both back on destruction. Obj provides `type()`,
// `kClassName` and an `access` member.
template <class Obj>
class Borrow {
 public:
  Borrow(PyObject* obj, Access mode, std::string_view param = {}) : mode_(mode) {
    if (!PyObject_TypeCheck(obj, Obj::type())) {
      try {
        raise_wrong_class(obj, Obj::kClassName);
      } catch (const PythonErrorSet&) {
        if (!param.empty()) rewrap_argument_error(param);
        throw;
      }
    }
    obj_ = reinterpret_cast<Obj*>(obj);
    acquire(obj_->access, mode);
    Py_INCREF(obj);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (mode_ == Access::Shared) {
      obj_->access.release_shared();
    } else {
      obj_->access.release_exclusive();
    }
    Py_DECREF(reinterpret_cast<PyObject*>(obj_));
  }
  Obj* operator->() const noexcept { return obj_; }

 private:
  Obj* obj_ = nullptr;
  Access mode_;
};

// (The interpreter lock's guards are in interrupt.hpp, which both modules share.)

// ---- Create-once type objects ------------------------------------------------------

// A class's type object, made from its spec on first request and kept for the
// process. Guarded by the interpreter lock; if creation lets another thread
// in and it wins the race, its object is kept and ours dropped.
class TypeCell {
 public:
  // `spec` builds the class's spec (and its method table) on first use.
  constexpr TypeCell(const char* class_name, PyType_Spec& (*spec)()) noexcept
      : class_name_(class_name), spec_(spec) {}
  // Ordinary form (module init): NULL with the Python error set.
  PyTypeObject* get_or_null() noexcept;
  // Every later use: a creation failure is printed and becomes fatal.
  PyTypeObject* get();

 private:
  const char* class_name_;
  PyType_Spec& (*spec_)();
  PyTypeObject* type_ = nullptr;
};

// Constructor slot of a class that Python may not instantiate.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// A C function of any calling convention, as PyMethodDef stores it.
template <class Fn>
PyCFunction as_method(Fn* fn) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// ---- The guarded region ---------------------------------------------------------------

// Turns the exception in flight into a Python error: FatalError -> report on
// stderr + PanicException; out of memory -> MemoryError. May itself throw
// (a second failure), which the caller treats as escaping the boundary.
void convert_current_exception();

[[noreturn]] void abort_uncaught() noexcept;

// Runs `body` (returning a new reference or NULL with an error set) so that
// no C++ exception crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (...) {
      convert_current_exception();
      return nullptr;
    }
  } catch (...) {
    abort_uncaught();
  }
}

// Same for entries that cannot report an error (deallocation).
template <class Body>
void guarded_void(Body&& body) noexcept {
  try {
    try {
      body();
    } catch (...) {
      convert_current_exception();
      PyErr_WriteUnraisable(nullptr);
    }
  } catch (...) {
    abort_uncaught();
  }
}

// ---- Out of memory -------------------------------------------------------------

// The out-of-memory FatalError: "out of memory: allocation failed; {what}
// needs {bytes} bytes". Used where a std::bad_alloc (the memory check passed
// but the allocation still failed) would otherwise carry no size.
[[noreturn]] void throw_out_of_memory(std::uint64_t bytes, std::string_view what,
                                      std::source_location where = std::source_location::current());

template <class Body>
decltype(auto) naming_bytes_on_bad_alloc(std::uint64_t bytes, std::string_view what, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    throw_out_of_memory(bytes, what);
  }
}

// ---- Instance lifetime -------------------------------------------------------------

// Allocates through the type's alloc slot and constructs the native fields
// with `init(obj)`; on failure the object is freed before rethrowing.
template <class Obj, class Init>
PyObject* new_instance(PyTypeObject* type, Init&& init) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = checked(alloc(type, 0));
  try {
    init(reinterpret_cast<Obj*>(self));
  } catch (...) {
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // the alloc slot took a reference for the instance
    throw;
  }
  return self;
}

// Deallocation as in CPython's xxlimited: destroy the native fields, free
// through the type's free slot, then drop the instance's type reference.
template <class Obj>
void dealloc_instance(PyObject* self) noexcept {
  guarded_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Obj*>(self)->destroy_fields();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
  });
}

}  // namespace vorn::py
