// PyRef: owns one strong reference and drops it when it goes out of scope.
// release() is for the one place where ownership passes to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace zorf::python {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

using PyRef = std::unique_ptr<PyObject, DecRef>;

// Takes over a new reference (null stays null).
inline PyRef steal(PyObject* object) noexcept { return PyRef(object); }

}  // namespace zorf::python
