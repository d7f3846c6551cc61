#include "python/module.hpp"

#include "python/call_boundary.hpp"
#include "python/entry_guard.hpp"
#include "support/expected.hpp"

namespace zorf::python {
namespace {

RuntimeState runtime;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorf_lib",  // m_name
    "",          // m_doc: an empty __doc__, not None
    0,           // m_size: no per-module state
    nullptr,     // m_methods: the function is added by the module body
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

// Runs after finalisation, so it touches no Python object.
void clear_runtime_state() {
  runtime.interpreter.store(-1);
  runtime.module.forget();
  runtime.panic_exception.forget();
  runtime.name_string = nullptr;
  runtime.all_string = nullptr;
  // A fresh header: the old one holds the finalised runtime's module index.
  static const PyModuleDef_Base fresh_base = PyModuleDef_HEAD_INIT;
  module_def.m_base = fresh_base;
  runtime.cleared_at_exit = false;
}

// Called under the module cell's lock.
PyResult<void> clear_at_runtime_end() {
  if (runtime.cleared_at_exit) return {};
  if (Py_AtExit(clear_runtime_state) != 0)
    return std::unexpected(PyError::make(
        PyExc_ImportError, "zorf_lib cannot register its clean-up at interpreter exit: too many are registered"));
  runtime.cleared_at_exit = true;
  return {};
}

// Binds the module to the current interpreter on first use; ImportError in
// any other interpreter after that.
PyResult<void> bind_to_current_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fail();
  std::int64_t expected = -1;
  if (!runtime.interpreter.compare_exchange_strong(expected, id) && expected != id)
    return std::unexpected(PyError::make(
        PyExc_ImportError,
        "zorf_lib is a single-phase extension module, and such modules do not yet support "
        "subinterpreters; see https://peps.python.org/pep-0489/ and https://peps.python.org/pep-0684/"));
  return {};
}

// Borrowed: it lives until the runtime ends.
PyResult<PyObject*> interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    PyObject* name = PyUnicode_FromString(text);
    if (name == nullptr) return fail();
    PyUnicode_InternInPlace(&name);
    slot = name;
  }
  return slot;
}

// The module's __all__, made as an empty list when missing. TypeError when it
// is there but not a list.
PyResult<PyRef> all_list(PyObject* module) {
  PyObject* all_name = ZORF_TRY(interned(runtime.all_string, "__all__"));
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

// Adds get_gpu_node_id to the module and to its __all__.
PyResult<void> module_body(PyObject* module) {
  PyRef function;
  {
    const PyRef module_name = steal(PyModule_GetNameObject(module));
    if (!module_name) return fail();
    function = steal(PyCMethod_New(&get_gpu_node_id_definition(), module, module_name.get(), nullptr));
  }
  if (!function) return fail();

  PyObject* name_attr = ZORF_TRY(interned(runtime.name_string, "__name__"));
  const PyRef name = steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return fail();
  if (!PyType_HasFeature(Py_TYPE(name.get()), Py_TPFLAGS_UNICODE_SUBCLASS))
    return std::unexpected(PyError::cannot_cast(name.get(), "str"));

  const PyRef all = ZORF_TRY(all_list(module));
  if (PyList_Append(all.get(), name.get()) != 0) fail_internally("could not append __name__ to __all__");
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return fail();
  return {};
}

PyResult<PyRef> create_module() {
  ZORF_TRY(clear_at_runtime_end());
  PyRef module = steal(PyModule_Create2(&module_def, 1013));
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
  PyObject* module = ZORF_TRY(runtime.module.get_or_try_init(create_module));
  return Py_NewRef(module);
}

}  // namespace

RuntimeState& runtime_state() noexcept { return runtime; }

}  // namespace zorf::python

PyMODINIT_FUNC PyInit_zorf_lib() { return zorf::python::entry_guard(zorf::python::init); }
