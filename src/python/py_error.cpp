#include "python/py_error.hpp"

#include <cstdio>

#include "python/entry_guard.hpp"
#include "support/internal_failure.hpp"
#include "support/utf8.hpp"

namespace zorf::python {

PyError PyError::fetch() {
  PyRef exception = steal(PyErr_GetRaisedException());
  // Made before it is needed to recognise one; with nothing pending, so that
  // making it cannot disturb the exception just taken.
  PyObject* panic_type = panic_exception_type();
  if (!exception) return make(PyExc_SystemError, "attempted to fetch exception but none was set");

  if (PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
    std::string message = "Unwrapped panic from Python code";
    if (const PyRef text = steal(PyObject_Str(exception.get())))
      message = lossy_utf8(text.get());
    else
      PyErr_Clear();
    std::fputs("--- PanicException from Python code: resuming the internal failure ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw ResumedPanic(std::move(message));
  }
  return PyError(std::move(exception));
}

PyError PyError::make(PyObject* type, std::string_view message) {
  const PyRef text =
      steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  // Normalised right away, so the value holds an exception instance.
  PyRef exception = steal(PyErr_GetRaisedException());
  return PyError(std::move(exception));
}

PyError PyError::cannot_cast(PyObject* object, std::string_view target_type) {
  return make(PyExc_TypeError,
              "'" + type_name_of(object) + "' object cannot be cast as '" + std::string(target_type) + "'");
}

bool PyError::is_exactly(PyObject* type) const noexcept {
  return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
}

bool PyError::matches(PyObject* type) const noexcept {
  return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
}

void fail_internally(std::string message, std::source_location where) {
  PyErr_Print();
  throw InternalFailure(std::move(message), where);
}

std::string lossy_utf8(PyObject* text) {
  // "surrogatepass" keeps lone surrogates as (invalid) bytes, which the lossy
  // decoding then replaces.
  const PyRef bytes = steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return "\xEF\xBF\xBD";
  }
  return utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
}

std::string str_of(PyObject* object) {
  if (const PyRef text = steal(PyObject_Str(object))) return lossy_utf8(text.get());
  PyErr_WriteUnraisable(object);
  const PyRef name = steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  return "<unprintable " + lossy_utf8(name.get()) + " object>";
}

std::string type_name_of(PyObject* object) {
  const PyRef name = steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return lossy_utf8(name.get());
}

}  // namespace zorf::python
