// The module's __all__.
#pragma once

#include "python/py_error.hpp"

namespace zorf::python {

// Appends `name` to the module's __all__, made as an empty list when missing.
// TypeError when __all__ is there but not a list.
PyResult<void> add_to_all(PyObject* module, PyObject* name);

}  // namespace zorf::python
