// PanicException: the Python face of an internal failure. It derives from
// BaseException, so `except Exception` does not swallow it.
#pragma once

#include <string>

#include "python/py_ref.hpp"

namespace zorf::python {

// The class, made on first use and kept for the rest of the process. Throws
// InternalFailure if the interpreter cannot make it.
PyObject* panic_exception_type();

// Raises PanicException(message).
void raise_panic(const std::string& message);

}  // namespace zorf::python
