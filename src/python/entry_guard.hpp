// The entry guard: the only way in from the interpreter. Whatever the body
// does, the interpreter gets a result or a raised exception; nothing C++
// unwinds into it. An internal failure reaches Python as PanicException,
// which derives from BaseException, so that `except Exception` does not
// swallow it.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "python/py_error.hpp"
#include "support/internal_failure.hpp"

namespace zorf::python {

// An internal failure that was raised as PanicException, passed through
// Python code and came back: it carries on unwinding, without a second report.
class ResumedPanic : public InternalFailure {
 public:
  using InternalFailure::InternalFailure;
};

// The PanicException class, made on first use and kept for the rest of the
// runtime. Throws InternalFailure if the interpreter cannot make it.
PyObject* panic_exception_type();

// Raises PanicException, or MemoryError, for the exception in flight. May
// throw when even that is impossible; the guard then aborts.
void raise_panic_for_current_exception();

// `body` returns PyResult<PyObject*> holding a new reference.
template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
  try {
    try {
      PyResult<PyObject*> result = body();
      if (result) return *result;
      std::move(result).error().restore();
    } catch (...) {
      raise_panic_for_current_exception();
    }
    return nullptr;
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

}  // namespace zorf::python
