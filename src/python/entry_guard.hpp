// The entry guard: the only way in from the interpreter. Whatever the body
// does, the interpreter gets a result or a raised exception; nothing C++
// unwinds into it.
#pragma once

#include "python/py_error.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "python/resumed_panic.hpp"
#include "support/internal_failure.hpp"

namespace zorf::python {

// Writes the report of an internal failure to standard error: the thread's
// name, where it happened and its message.
void report_internal_failure(const InternalFailure& failure) noexcept;
void report_internal_failure(const char* message) noexcept;

// Raises PanicException for the exception in flight. May throw when even that
// is impossible; the guard then aborts.
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
