#include "python/panic_exception.hpp"

#include "python/once_cell.hpp"
#include "python/py_error.hpp"
#include "support/internal_failure.hpp"

namespace zorf::python {
namespace {

constexpr const char kDoc[] =
    "\n"
    "The exception raised when native code called from Python fails in a way it\n"
    "cannot recover from.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

OnceCell panic_type_cell;

}  // namespace

PyObject* panic_exception_type() {
  // The error side is never used: a class that cannot be made is an internal
  // failure, since nothing could report it as a PanicException.
  auto type = panic_type_cell.get_or_try_init([]() -> std::expected<PyRef, int> {
    PyRef made = steal(PyErr_NewExceptionWithDoc("vorn_runtime.PanicException", kDoc, PyExc_BaseException, nullptr));
    if (!made) fail_internally("Failed to initialize new exception type.");
    return made;
  });
  return *type;
}

void forget_panic_exception_type() noexcept { panic_type_cell.forget(); }

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  const PyRef args = steal(PyTuple_New(1));
  // Replacement rather than failure: a message is never a reason to abort.
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (!args || !text) {
    Py_XDECREF(text);
    // Out of memory: the MemoryError pending is raised instead, rather than
    // ending the process over a message.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    throw InternalFailure("could not build the PanicException arguments");
  }
  PyTuple_SET_ITEM(args.get(), 0, text);  // steals `text`
  PyErr_SetObject(type, args.get());
}

}  // namespace zorf::python
