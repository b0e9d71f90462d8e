// The call boundary's non-template half: the argument binder with its TypeError
// forms, the index/real conversions, access refusal, fatal-error conversion.
// Every entry in the module reaches these through boundary.hpp.
#include "boundary.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "messages.hpp"
#include "vorn/core/error.hpp"
#include "vorn/core/memory.hpp"

namespace vorn::py {

void raise(PyObject* type, std::string_view message) {
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text != nullptr) {
    PyErr_SetObject(type, text);
    Py_DECREF(text);
  }
  throw PythonErrorSet{};
}

// ---- Argument binding ------------------------------------------------------

namespace {

std::string call_of(const ParamSpec& spec) { return std::string(spec.call_name) + "()"; }

const char* was_or_were(std::size_t n) { return n == 1 ? "was" : "were"; }

[[noreturn]] void too_many_positional(const ParamSpec& spec, std::size_t given) {
  std::string msg = call_of(spec) + " takes ";
  if (spec.required == spec.names.size()) {
    msg += std::to_string(spec.names.size());
  } else {
    msg += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.names.size());
  }
  msg += " positional arguments but " + std::to_string(given) + " " + was_or_were(given) + " given";
  raise(PyExc_TypeError, msg);
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the interpreter's own wording).
std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out.push_back('\'');
    out.append(names[i]);
    out.push_back('\'');
  }
  return out;
}

void check_missing(const ParamSpec& spec, const BoundArgs& bound) {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(spec.names[i]);
  }
  if (missing.empty()) return;
  std::string msg = call_of(spec) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": " + quoted_list(missing);
  raise(PyExc_TypeError, msg);
}

void bind_keyword(const ParamSpec& spec, PyObject* key, PyObject* value, BoundArgs& bound) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (utf8 == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, text::kKeywordsMustBeStrings);
    throw PythonErrorSet{};
  }
  std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < spec.names.size(); ++i) {
    if (spec.names[i] != name) continue;
    if (bound.values[i] != nullptr) {
      raise(PyExc_TypeError, call_of(spec) + text::kMultipleValues + std::string(name) + "'");
    }
    bound.values[i] = value;
    return;
  }
  raise(PyExc_TypeError, call_of(spec) + text::kUnexpectedKeyword + std::string(name) + "'");
}

BoundArgs bind_positional(const ParamSpec& spec, PyObject* const* args, std::size_t nargs) {
  if (nargs > spec.names.size()) too_many_positional(spec, nargs);
  BoundArgs bound;
  for (std::size_t i = 0; i < nargs; ++i) bound.values[i] = args[i];
  return bound;
}

}  // namespace

BoundArgs bind_vectorcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  BoundArgs bound = bind_positional(spec, args, nargs);
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)], bound);
  }
  check_missing(spec, bound);
  return bound;
}

BoundArgs bind_tuple(const ParamSpec& spec, PyObject* args, PyObject* kwargs) {
  auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  BoundArgs bound = bind_positional(spec, &PyTuple_GET_ITEM(args, 0), nargs);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(spec, key, value, bound);
  }
  check_missing(spec, bound);
  return bound;
}

// ---- Conversions -------------------------------------------------------------

void rewrap_argument_error(std::string_view param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref original(PyErr_GetRaisedException());
  Ref message(checked(PyObject_Str(original.get())));
  Ref text(checked(PyUnicode_FromFormat(text::kArgumentErrorFormat, static_cast<int>(param.size()),
                                        param.data(), message.get())));
  Ref replacement(checked(PyObject_CallOneArg(PyExc_TypeError, text.get())));
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals `cause`
  }
  PyErr_SetRaisedException(replacement.release());
}

namespace {

std::uint64_t unsigned_from_int(PyObject* integer) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

}  // namespace

std::uint64_t to_index(PyObject* obj, std::string_view param) {
  if (PyLong_Check(obj)) return unsigned_from_int(obj);
  PyObject* integer = PyNumber_Index(obj);
  if (integer == nullptr) {
    rewrap_argument_error(param);
    throw PythonErrorSet{};
  }
  Ref owned(integer);
  return unsigned_from_int(integer);
}

double to_real(PyObject* obj, std::string_view param) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    rewrap_argument_error(param);
    throw PythonErrorSet{};
  }
  return value;
}

// ---- Access control ----------------------------------------------------------

bool AccessCounter::try_acquire_shared() noexcept {
  std::int64_t current = state_.load(std::memory_order_relaxed);
  do {
    if (current < 0) return false;
  } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  return true;
}

bool AccessCounter::try_acquire_exclusive() noexcept {
  std::int64_t expected = 0;
  return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
}

void acquire(AccessCounter& counter, Access mode) {
  if (mode == Access::Shared) {
    if (!counter.try_acquire_shared()) raise(PyExc_RuntimeError, text::kAlreadyMutablyBorrowed);
  } else if (!counter.try_acquire_exclusive()) {
    raise(PyExc_RuntimeError, text::kAlreadyBorrowed);
  }
}

void raise_wrong_class(PyObject* obj, const char* class_name) {
  Ref qualname(checked(PyType_GetQualName(Py_TYPE(obj))));
  PyErr_Format(PyExc_TypeError, text::kCannotConvertFormat, qualname.get(), class_name);
  throw PythonErrorSet{};
}

// ---- Type cells ----------------------------------------------------------------

PyTypeObject* TypeCell::get_or_null() noexcept {
  if (type_ != nullptr) return type_;
  PyObject* made = PyType_FromSpec(&spec_());
  if (made == nullptr) return nullptr;
  if (type_ != nullptr) {  // another thread finished first while we were in the interpreter
    Py_DECREF(made);
  } else {
    type_ = reinterpret_cast<PyTypeObject*>(made);
  }
  return type_;
}

PyTypeObject* TypeCell::get() {
  if (PyTypeObject* type = get_or_null()) return type;
  PyErr_Print();
  vorn::fatal(std::string(text::kTypeCreationFailed) + class_name_);
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([type]() -> PyObject* {
    Ref name(checked(PyType_GetName(type)));
    PyErr_Format(PyExc_TypeError, "%s%U", text::kNoConstructor, name.get());
    return nullptr;
  });
}

// ---- Fatal errors --------------------------------------------------------------

namespace {

// The thread's name as the report shows it: "main" for the process's first
// thread; else a name set on the thread, or "<unnamed>" when it merely
// inherited the process's name (Python does not name its threads).
std::string current_thread_name() {
  if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) return "main";
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') return "<unnamed>";
  char process_name[64] = {};
  if (std::FILE* comm = std::fopen("/proc/self/comm", "r")) {
    if (std::fgets(process_name, sizeof process_name, comm) != nullptr) {
      process_name[std::strcspn(process_name, "\n")] = '\0';
    }
    std::fclose(comm);
  }
  return std::strcmp(name, process_name) == 0 ? "<unnamed>" : name;
}

void report_fatal(const vorn::FatalError& error) {
  const std::source_location& where = error.where();
  std::fprintf(stderr, text::kPanicReportFormat, current_thread_name().c_str(),
               where.file_name(), static_cast<unsigned>(where.line()),
               static_cast<unsigned>(where.column()), error.message().c_str());
  std::fflush(stderr);
}

// Created at the first fatal error that reaches Python, then reused. Not a
// module attribute: callers catch it by BaseException or by its class.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* made = PyErr_NewExceptionWithDoc("vorn_python.PanicException", text::kPanicExceptionDoc,
                                               PyExc_BaseException, nullptr);
    if (made == nullptr) throw std::runtime_error(text::kPanicTypeFailed);
    if (type == nullptr) {
      type = made;
    } else {
      Py_DECREF(made);
    }
  }
  return type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) throw std::runtime_error(text::kPanicMessageFailed);
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void convert_current_exception() {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // The Python error is already set.
  } catch (const vorn::FatalError& error) {
    if (error.kind() == vorn::FatalError::Kind::OutOfMemory) {
      PyErr_SetString(PyExc_MemoryError, error.message().c_str());
    } else {
      report_fatal(error);
      raise_panic(error.message());
    }
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, text::kAllocationFailed);
  } catch (const std::exception& error) {
    std::fprintf(stderr, text::kForeignPanicReportFormat, current_thread_name().c_str(), error.what());
    raise_panic(error.what());
  }
}

void throw_out_of_memory(std::uint64_t bytes, std::string_view what, std::source_location where) {
  vorn::allocation_failed(bytes, what, where);
}

void abort_uncaught() noexcept {
  [[maybe_unused]] auto written = write(STDERR_FILENO, text::kUncaughtPanic, std::strlen(text::kUncaughtPanic));
  written = write(STDERR_FILENO, "\n", 1);
  std::abort();
}

}  // namespace vorn::py
