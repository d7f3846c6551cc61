#include "python/interned_names.hpp"

namespace zorf::python {
namespace {

PyObject* name_string = nullptr;
PyObject* all_string = nullptr;

PyResult<PyObject*> interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    PyObject* name = PyUnicode_FromString(text);
    if (name == nullptr) return fail();
    PyUnicode_InternInPlace(&name);
    slot = name;
  }
  return slot;
}

}  // namespace

PyResult<PyObject*> name_attribute() { return interned(name_string, "__name__"); }
PyResult<PyObject*> all_attribute() { return interned(all_string, "__all__"); }

void forget_interned_names() noexcept {
  name_string = nullptr;
  all_string = nullptr;
}

}  // namespace zorf::python
