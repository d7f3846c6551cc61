#include "python/runtime_restart.hpp"

#include "python/interned_names.hpp"
#include "python/interpreter_binding.hpp"
#include "python/module.hpp"
#include "python/module_definition.hpp"
#include "python/panic_exception.hpp"

namespace zorf::python {
namespace {

// Whether forget_runtime is registered for the running runtime. Only touched
// under the module cell's lock, and by forget_runtime itself.
bool forget_at_exit = false;

// Runs after finalisation, so it touches no Python object.
void forget_runtime() {
  forget_interpreter_binding();
  forget_module();
  forget_interned_names();
  forget_panic_exception_type();
  reset_module_definition();
  forget_at_exit = false;
}

}  // namespace

PyResult<void> forget_state_at_runtime_end() {
  if (forget_at_exit) return {};
  if (Py_AtExit(forget_runtime) != 0)
    return std::unexpected(PyError::make(
        PyExc_ImportError, "zorf_lib cannot register its clean-up at interpreter exit: too many are registered"));
  forget_at_exit = true;
  return {};
}

}  // namespace zorf::python
