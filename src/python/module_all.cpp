#include "python/module_all.hpp"

#include "python/interned_names.hpp"
#include "support/expected.hpp"

namespace zorf::python {
namespace {

PyResult<PyRef> all_list(PyObject* module) {
  PyObject* all_name = ZORF_TRY(all_attribute());
  PyRef all = steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_AttributeError)) return std::unexpected(std::move(error));
    all = steal(PyList_New(0));
    if (!all) fail_internally("Python API call failed");
    if (PyObject_SetAttr(module, all_name, all.get()) != 0) return fail();
    return all;
  }
  if (!PyType_HasFeature(Py_TYPE(all.get()), Py_TPFLAGS_LIST_SUBCLASS))
    return std::unexpected(PyError::cannot_cast(all.get(), "list"));
  return all;
}

}  // namespace

PyResult<void> add_to_all(PyObject* module, PyObject* name) {
  const PyRef all = ZORF_TRY(all_list(module));
  if (PyList_Append(all.get(), name) != 0) fail_internally("could not append __name__ to __all__");
  return {};
}

}  // namespace zorf::python
