// PyInit_zorf_lib: the module's once-per-runtime creation and its body.
#include "python/module.hpp"

#include "python/entry_guard.hpp"
#include "python/interned_names.hpp"
#include "python/interpreter_binding.hpp"
#include "python/module_all.hpp"
#include "python/module_definition.hpp"
#include "python/once_cell.hpp"
#include "python/py_error.hpp"
#include "python/runtime_restart.hpp"
#include "support/expected.hpp"

namespace zorf::python {
namespace {

OnceCell module_cell;

// Adds get_gpu_node_id to the module and to its __all__.
PyResult<void> module_body(PyObject* module) {
  PyRef function;
  {
    const PyRef module_name = steal(PyModule_GetNameObject(module));
    if (!module_name) return fail();
    function = steal(PyCMethod_New(&get_gpu_node_id_definition(), module, module_name.get(), nullptr));
  }
  if (!function) return fail();

  PyObject* name_attr = ZORF_TRY(name_attribute());
  const PyRef name = steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return fail();
  if (!PyType_HasFeature(Py_TYPE(name.get()), Py_TPFLAGS_UNICODE_SUBCLASS))
    return std::unexpected(PyError::cannot_cast(name.get(), "str"));

  ZORF_TRY(add_to_all(module, name.get()));
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return fail();
  return {};
}

PyResult<PyRef> create_module() {
  ZORF_TRY(forget_state_at_runtime_end());
  PyRef module = steal(PyModule_Create2(&module_definition(), 1013));
  if (!module) return fail();
#ifdef Py_GIL_DISABLED
  // Calls share nothing but once-only cells, so they may run in parallel.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return fail();
#endif
  ZORF_TRY(module_body(module.get()));
  return module;
}

PyResult<PyObject*> init() {
  ZORF_TRY(bind_to_current_interpreter());
  PyObject* module = ZORF_TRY(module_cell.get_or_try_init(create_module));
  return Py_NewRef(module);
}

}  // namespace

void forget_module() noexcept { module_cell.forget(); }

}  // namespace zorf::python

PyMODINIT_FUNC PyInit_zorf_lib() { return zorf::python::entry_guard(zorf::python::init); }
