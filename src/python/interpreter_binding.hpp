// The one interpreter the module belongs to. Single-phase modules cannot be
// shared between interpreters, and a binding once made lasts as long as the
// runtime.
#pragma once

#include "python/py_error.hpp"

namespace zorf::python {

// Binds the module to the current interpreter on first use; ImportError in
// any other interpreter after that.
PyResult<void> bind_to_current_interpreter();

// Unbinds, once the runtime that held the binding has been finalised.
void forget_interpreter_binding() noexcept;

}  // namespace zorf::python
