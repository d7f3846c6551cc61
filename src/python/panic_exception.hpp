// PanicException: the Python face of an internal failure. It derives from
// BaseException, so `except Exception` does not swallow it.
#pragma once

#include <string>

#include "python/py_ref.hpp"

namespace zorf::python {

// The class, made on first use and kept for the rest of the runtime. Throws
// InternalFailure if the interpreter cannot make it.
PyObject* panic_exception_type();

// Forgets the class once the runtime that made it has been finalised.
void forget_panic_exception_type() noexcept;

// Raises PanicException(message).
void raise_panic(const std::string& message);

}  // namespace zorf::python
