// The attribute names the module body looks up, interned once per runtime.
// Only the module body uses them, and it runs under the module cell's lock.
#pragma once

#include "python/py_error.hpp"

namespace zorf::python {

// "__name__" and "__all__", borrowed: they live until the runtime ends.
PyResult<PyObject*> name_attribute();
PyResult<PyObject*> all_attribute();

// Drops them once the runtime that made them has been finalised.
void forget_interned_names() noexcept;

}  // namespace zorf::python
