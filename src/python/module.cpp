// The module as the interpreter sees it: its definition, the method entry of
// get_gpu_node_id, and PyInit_zorf_lib with its once-per-runtime creation.
#include "python/call_boundary.hpp"

#include <atomic>
#include <cstdint>

#include "python/entry_guard.hpp"
#include "python/once_cell.hpp"
#include "python/panic_exception.hpp"
#include "python/py_error.hpp"
#include "python/py_text.hpp"
#include "support/expected.hpp"
#include "support/internal_failure.hpp"

namespace zorf::python {
namespace {

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

PyMethodDef get_gpu_node_id_def = {
    "get_gpu_node_id",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_gpu_node_id_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_gpu_node_id(cache_file_path=None)\n--\n\n",
};

// The interpreter the module belongs to; -1 until the first initialisation.
// Single-phase modules cannot be shared between interpreters, and a binding
// once made lasts as long as the runtime.
std::atomic<std::int64_t> bound_interpreter{-1};
OnceCell module_cell;
// Whether forget_runtime is registered to run when this runtime ends. Only
// touched under the module cell's lock, and by forget_runtime itself.
bool forget_at_exit = false;

// An interned attribute name, made once per runtime. Only the module body
// uses these, and it runs under the module cell's lock.
PyResult<PyObject*> interned(PyObject*& slot, const char* text) {
  if (slot == nullptr) {
    PyObject* name = PyUnicode_FromString(text);
    if (name == nullptr) return fail();
    PyUnicode_InternInPlace(&name);
    slot = name;
  }
  return slot;
}

PyObject* name_string = nullptr;
PyObject* all_string = nullptr;

// The module's __all__, made empty when missing.
PyResult<PyRef> all_list(PyObject* module) {
  PyObject* all_name = ZORF_TRY(interned(all_string, "__all__"));
  PyRef all = steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    PyError error = PyError::fetch();
    if (!error.matches(PyExc_AttributeError)) return std::unexpected(std::move(error));
    all = steal(PyList_New(0));
    if (!all) {
      PyErr_Print();
      throw InternalFailure("Python API call failed");
    }
    if (PyObject_SetAttr(module, all_name, all.get()) != 0) return fail();
    return all;
  }
  if (!PyType_HasFeature(Py_TYPE(all.get()), Py_TPFLAGS_LIST_SUBCLASS))
    return std::unexpected(
        PyError::make(PyExc_TypeError, "'" + type_name_of(all.get()) + "' object cannot be cast as 'list'"));
  return all;
}

// Adds get_gpu_node_id to the module and to its __all__.
PyResult<void> module_body(PyObject* module) {
  PyRef function;
  {
    const PyRef module_name = steal(PyModule_GetNameObject(module));
    if (!module_name) return fail();
    function = steal(PyCMethod_New(&get_gpu_node_id_def, module, module_name.get(), nullptr));
  }
  if (!function) return fail();

  PyObject* name_attr = ZORF_TRY(interned(name_string, "__name__"));
  const PyRef name = steal(PyObject_GetAttr(function.get(), name_attr));
  if (!name) return fail();
  if (!PyType_HasFeature(Py_TYPE(name.get()), Py_TPFLAGS_UNICODE_SUBCLASS))
    return std::unexpected(
        PyError::make(PyExc_TypeError, "'" + type_name_of(name.get()) + "' object cannot be cast as 'str'"));

  const PyRef all = ZORF_TRY(all_list(module));
  if (PyList_Append(all.get(), name.get()) != 0) {
    PyErr_Print();
    throw InternalFailure("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) return fail();
  return {};
}

// All of the above belongs to one interpreter runtime. An embedding
// application may finalise it (Py_FinalizeEx) and start another in the same
// process; that one must get a module of its own, not pointers into objects
// the old runtime has freed, nor the old runtime's interpreter id.
// Runs after finalisation, so it touches no Python object.
void forget_runtime() {
  bound_interpreter.store(-1);
  module_cell.forget();
  name_string = nullptr;
  all_string = nullptr;
  forget_panic_exception_type();
  // The definition's header holds the old runtime's module index.
  static const PyModuleDef_Base fresh_base = PyModuleDef_HEAD_INIT;
  module_def.m_base = fresh_base;
  forget_at_exit = false;
}

PyResult<PyRef> create_module() {
  if (!forget_at_exit) {
    if (Py_AtExit(forget_runtime) != 0)
      return std::unexpected(PyError::make(
          PyExc_ImportError, "zorf_lib cannot register its clean-up at interpreter exit: too many are registered"));
    forget_at_exit = true;
  }
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
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fail();
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id)
    return std::unexpected(PyError::make(
        PyExc_ImportError,
        "zorf_lib is a single-phase extension module, and such modules do not yet support "
        "subinterpreters; see https://peps.python.org/pep-0489/ and https://peps.python.org/pep-0684/"));

  PyObject* module = ZORF_TRY(module_cell.get_or_try_init(create_module));
  return Py_NewRef(module);
}

}  // namespace
}  // namespace zorf::python

PyMODINIT_FUNC PyInit_zorf_lib() { return zorf::python::entry_guard(zorf::python::init); }
