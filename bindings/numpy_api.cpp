// NumPy's array API table taken from the _ARRAY_API capsule, and the one
// array constructor the results need. Declares the table slots it uses by
// their documented indices instead of including NumPy's headers.
#include "numpy_api.hpp"

#include <cstdio>
#include <string>

#include "messages.hpp"
#include "vorn/core/error.hpp"

namespace vorn::py::numpy {
namespace {

// Slot indices in NumPy's PyArray_API table (identical in 1.x and 2.x). They
// hold only for the C ABI versions below, so the table is checked first.
constexpr std::size_t kAbiVersionSlot = 0;       // PyArray_GetNDArrayCVersion
constexpr std::size_t kFeatureVersionSlot = 211;  // PyArray_GetNDArrayCFeatureVersion
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

constexpr int kArrayWriteable = 0x0400;  // NPY_ARRAY_WRITEABLE

using npy_intp = Py_intptr_t;
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*,
                                   int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);
using VersionFn = unsigned int (*)();

// NPY_ABI_VERSION of NumPy 1.x and of 2.x; any other layout is unknown.
constexpr unsigned int kAbiVersion1 = 0x01000009;
constexpr unsigned int kAbiVersion2 = 0x02000000;
// NPY_API_VERSION of NumPy 1.7, the first with PyArray_SetBaseObject.
constexpr unsigned int kFirstFeatureVersion = 0x00000007;

// Create-once cell, guarded by the interpreter lock; stays empty after a failure.
void** api_table = nullptr;

// The name of the module holding the capsule, by NumPy's major version.
const char* multiarray_module() {
  Ref numpy(checked(PyImport_ImportModule("numpy")));
  Ref version(checked(PyObject_GetAttrString(numpy.get(), "__version__")));
  Ref lib(checked(PyImport_ImportModule("numpy.lib")));
  Ref version_class(checked(PyObject_GetAttrString(lib.get(), "NumpyVersion")));
  Ref parsed(checked(PyObject_CallOneArg(version_class.get(), version.get())));
  Ref major_obj(checked(PyObject_GetAttrString(parsed.get(), "major")));
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) throw PythonErrorSet{};
  return major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

void** load_api_table() {
  Ref multiarray(checked(PyImport_ImportModule(multiarray_module())));
  Ref capsule(checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API")));
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) throw PythonErrorSet{};
  return static_cast<void**>(table);
}

std::string hex(unsigned int value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

// Empty when the table has the layout the slots above assume; else why not.
std::string unknown_layout(void** table) {
  if (table[kAbiVersionSlot] == nullptr) return text::kNumpyNoAbiVersion;
  const unsigned int abi = reinterpret_cast<VersionFn>(table[kAbiVersionSlot])();
  if (abi != kAbiVersion1 && abi != kAbiVersion2) return text::kNumpyUnknownAbi + hex(abi);
  if (table[kFeatureVersionSlot] == nullptr) return text::kNumpyNoAbiVersion;
  const unsigned int feature = reinterpret_cast<VersionFn>(table[kFeatureVersionSlot])();
  if (feature < kFirstFeatureVersion) return text::kNumpyOldFeatureVersion + hex(feature);
  return {};
}

[[noreturn]] void api_call_failed() {
  PyErr_Print();
  vorn::fatal(text::kPythonApiFailed);
}

}  // namespace

void ensure_api() {
  if (api_table != nullptr) return;
  void** table = nullptr;
  try {
    table = load_api_table();
  } catch (const PythonErrorSet&) {
    PyErr_Clear();
    vorn::fatal(text::kNumpyCapsule);
  }
  // Not kept: the next call looks again, as after any other failed lookup.
  if (std::string why = unknown_layout(table); !why.empty()) vorn::fatal(text::kNumpyCapsule + why);
  api_table = table;
}

PyObject* vector_over(Ref container, void* data, std::uint64_t length, int type_number,
                      std::size_t item_size) {
  ensure_api();
  auto* array_type = static_cast<PyTypeObject*>(api_table[kArrayTypeSlot]);
  auto descr_from_type = reinterpret_cast<DescrFromType>(api_table[kDescrFromTypeSlot]);
  auto new_from_descr = reinterpret_cast<NewFromDescr>(api_table[kNewFromDescrSlot]);
  auto set_base_object = reinterpret_cast<SetBaseObject>(api_table[kSetBaseObjectSlot]);

  PyObject* descr = descr_from_type(type_number);
  if (descr == nullptr) api_call_failed();
  const npy_intp dims[1] = {static_cast<npy_intp>(length)};
  const npy_intp strides[1] = {static_cast<npy_intp>(item_size)};
  // Steals `descr`. Only WRITEABLE is passed: NumPy works out contiguity and
  // alignment itself, and the array does not own the data.
  PyObject* array = new_from_descr(array_type, descr, 1, dims, strides, data, kArrayWriteable, nullptr);
  if (array == nullptr) api_call_failed();
  // Steals the container, also on failure.
  if (set_base_object(array, container.release()) < 0) {
    Py_DECREF(array);
    api_call_failed();
  }
  return array;
}

}  // namespace vorn::py::numpy
