#include "python/entry_guard.hpp"

#include <pthread.h>

#include <exception>
#include <new>

#include "python/module.hpp"

namespace zorf::python {
namespace {

constexpr const char kNoMessage[] = "internal failure in native code";

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when native code called from Python fails in a way it\n"
    "cannot recover from.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

// The report of an internal failure on standard error: the thread's name,
// where it happened and its message.
void report(const char* file, unsigned line, const char* message) noexcept {
  char name[64] = "<unnamed>";
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::fprintf(stderr, "\nthread '%s' failed at %s:%u:\n%s\n", name, file, line, message);
}

void report(const InternalFailure& failure) noexcept {
  report(failure.where().file_name(), failure.where().line(), failure.message().c_str());
}

void report(const char* message) noexcept { report("<unknown>", 0, message); }

// Raises PanicException(message).
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

}  // namespace

PyObject* panic_exception_type() {
  // The error side is never used: a class that cannot be made is an internal
  // failure, since nothing could report it as a PanicException.
  auto type = runtime_state().panic_exception.get_or_try_init([]() -> std::expected<PyRef, int> {
    PyRef made =
        steal(PyErr_NewExceptionWithDoc("vorn_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    if (!made) fail_internally("Failed to initialize new exception type.");
    return made;
  });
  return *type;
}

void raise_panic_for_current_exception() {
  try {
    throw;
  } catch (const ResumedPanic& panic) {
    raise_panic(panic.message());
  } catch (const InternalFailure& failure) {
    report(failure);
    raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    // Not a fault of the module, and nothing could be built to report one:
    // the interpreter's own MemoryError, which needs no memory to raise.
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    report(error.what());
    raise_panic(error.what());
  } catch (...) {
    report(kNoMessage);
    raise_panic(kNoMessage);
  }
}

}  // namespace zorf::python
