// The C-API idioms every binding file uses: PyRef, the owner of one strong
// reference; PyError, a Python exception held as a value, so that binding
// code returns failures like the rest of the library and raises them only at
// the entry; and the texts taken from Python objects for messages.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <expected>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

namespace zorf::python {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Drops its reference when it goes out of scope. release() is for the one
// place where ownership passes to the interpreter.
using PyRef = std::unique_ptr<PyObject, DecRef>;

// Takes over a new reference (null stays null).
inline PyRef steal(PyObject* object) noexcept { return PyRef(object); }

class PyError {
 public:
  // The exception pending in the interpreter, taken out of it. With none
  // pending, a SystemError saying so. A PanicException that comes back
  // through Python is not an ordinary error: the internal failure it stands
  // for resumes (this throws).
  static PyError fetch();
  // A new exception of `type` with `message` as its one argument.
  static PyError make(PyObject* type, std::string_view message);
  // TypeError "'T' object cannot be cast as 'X'", T the type of `object`.
  static PyError cannot_cast(PyObject* object, std::string_view target_type);

  PyObject* exception() const noexcept { return exception_.get(); }
  bool is_exactly(PyObject* type) const noexcept;
  bool matches(PyObject* type) const noexcept;

  // Makes it the interpreter's current exception.
  void restore() && noexcept { PyErr_SetRaisedException(exception_.release()); }

 private:
  explicit PyError(PyRef exception) noexcept : exception_(std::move(exception)) {}
  PyRef exception_;
};

template <class T>
using PyResult = std::expected<T, PyError>;

// The pending exception as an error result, for `return fail();` after an
// interpreter call reported failure.
inline std::unexpected<PyError> fail() { return std::unexpected(PyError::fetch()); }

// For interpreter calls that only fail when the interpreter itself is in
// trouble (out of memory): prints the pending exception, then throws
// InternalFailure(message) from `where`.
[[noreturn]] void fail_internally(std::string message,
                                  std::source_location where = std::source_location::current());

// Texts for messages; these never fail.

// The UTF-8 of a str; what cannot be encoded (lone surrogates) becomes U+FFFD.
std::string lossy_utf8(PyObject* text);

// str(object) as above. When str() itself fails, its exception is reported as
// unraisable and the text is "<unprintable T object>".
std::string str_of(PyObject* object);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

}  // namespace zorf::python
