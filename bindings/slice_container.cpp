// The class PySliceContainer: owns the buffer behind each array that
// SimulationResult hands out and frees it when NumPy drops the last view.
#include "slice_container.hpp"

#include <string>

#include "messages.hpp"
#include "vorn/core/error.hpp"

namespace vorn::py {
namespace {

// ---- Release routines (one per element type) ----------------------------------------

template <class T>
void release_buffer(void* data) noexcept {
  vorn::Buffer<T>::free_raw(static_cast<T*>(data));
}

// ---- Constructor: none from Python; make_slice_container below ----------------------

template <class T>
Ref make_container(vorn::Buffer<T> buffer) {
  PyTypeObject* type = SliceContainerObject::type();
  PyObject* self = nullptr;
  try {
    self = new_instance<SliceContainerObject>(type, [&](SliceContainerObject* obj) {
      obj->data = buffer.release_ownership();
      obj->release = release_buffer<T>;
    });
  } catch (const PythonErrorSet&) {
    PyErr_Print();
    vorn::fatal(text::kSliceContainer);
  }
  return Ref(self);
}

// ---- Type spec (no methods) ----------------------------------------------------------

PyType_Spec& slice_container_spec() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SliceContainerObject>)},
      {Py_tp_doc, const_cast<char*>(text::kSliceContainerDoc)},
      {0, nullptr},
  };
  static PyType_Spec spec{"builtins.PySliceContainer", sizeof(SliceContainerObject), 0,
                          Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

TypeCell slice_container_cell{SliceContainerObject::kClassName, slice_container_spec};

}  // namespace

// ---- Deallocation --------------------------------------------------------------------

void SliceContainerObject::destroy_fields() noexcept {
  if (release != nullptr) release(data);
  data = nullptr;
}

PyTypeObject* SliceContainerObject::type() { return slice_container_cell.get(); }

Ref make_slice_container(vorn::Buffer<vorn::Complex> buffer) { return make_container(std::move(buffer)); }
Ref make_slice_container(vorn::Buffer<double> buffer) { return make_container(std::move(buffer)); }

}  // namespace vorn::py
