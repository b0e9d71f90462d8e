// The module's single entry point PyInit_vorn_python: owning-interpreter
// check, the create-once module object and the registration of its names.
#include <atomic>

#include "boundary.hpp"
#include "circuit_type.hpp"
#include "messages.hpp"
#include "result_type.hpp"
#include "run.hpp"

namespace vorn::py {
namespace {

// The interpreter that first imported the module (-1: none yet).
std::atomic<std::int64_t> owning_interpreter{-1};
// Create-once: kept for the process so a re-import returns the same object.
PyObject* module_object = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "vorn_python", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module keeps global state (type objects, the NumPy table) that
// belongs to one interpreter only.
void check_owning_interpreter() {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw PythonErrorSet{};
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, current) && expected != current) {
    raise(PyExc_ImportError, text::kSubInterpreter);
  }
}

// Appends `name` to __all__ (made on first use) and sets the attribute.
void register_name(PyObject* module, const char* name, PyObject* obj) {
  PyObject* found = nullptr;
  int has_all = PyObject_GetOptionalAttrString(module, "__all__", &found);
  if (has_all < 0) throw PythonErrorSet{};
  Ref all(found);
  if (has_all == 0) {
    all = Ref(checked(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
  } else if (!PyList_Check(all.get())) {
    raise(PyExc_TypeError, text::kAllNotAList);
  }
  Ref text(checked(PyUnicode_FromString(name)));
  if (PyList_Append(all.get(), text.get()) < 0) throw PythonErrorSet{};
  if (PyModule_AddObjectRef(module, name, obj) < 0) throw PythonErrorSet{};
}

void register_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) throw PythonErrorSet{};
  register_name(module, name, reinterpret_cast<PyObject*>(type));
}

void register_function(PyObject* module, PyMethodDef& def) {
  Ref module_name(checked(PyModule_GetNameObject(module)));
  Ref function(checked(PyCFunction_NewEx(&def, module, module_name.get())));
  Ref name(checked(PyObject_GetAttrString(function.get(), "__name__")));
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) throw PythonErrorSet{};
  register_name(module, utf8, function.get());
}

// On failure the half-built module is dropped and the slot stays empty, so
// the next import starts again; type objects made so far are kept.
PyObject* create_module() {
  Ref module(checked(PyModule_Create(&module_def)));
  register_type(module.get(), "Circuit", CircuitObject::type_or_null());
  register_type(module.get(), "SimulationResult", SimulationResultObject::type_or_null());
  register_function(module.get(), run_method_def());
  return module.release();
}

}  // namespace
}  // namespace vorn::py

PyMODINIT_FUNC PyInit_vorn_python() {
  using namespace vorn::py;
  return guarded([]() -> PyObject* {
    check_owning_interpreter();
    if (module_object == nullptr) module_object = create_module();
    return Py_NewRef(module_object);
  });
}
