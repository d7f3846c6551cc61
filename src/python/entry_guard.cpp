#include "python/entry_guard.hpp"

#include <pthread.h>

#include <new>

#include "python/panic_exception.hpp"

namespace zorf::python {
namespace {

constexpr const char kNoMessage[] = "internal failure in native code";

void write_report(const char* file, unsigned line, const char* message) noexcept {
  char name[64] = "<unnamed>";
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::fprintf(stderr, "\nthread '%s' failed at %s:%u:\n%s\n", name, file, line, message);
}

}  // namespace

void report_internal_failure(const InternalFailure& failure) noexcept {
  write_report(failure.where().file_name(), failure.where().line(), failure.message().c_str());
}

void report_internal_failure(const char* message) noexcept { write_report("<unknown>", 0, message); }

void raise_panic_for_current_exception() {
  try {
    throw;
  } catch (const ResumedPanic& panic) {
    raise_panic(panic.message());
  } catch (const InternalFailure& failure) {
    report_internal_failure(failure);
    raise_panic(failure.message());
  } catch (const std::bad_alloc&) {
    // Not a fault of the module, and nothing could be built to report one:
    // the interpreter's own MemoryError, which needs no memory to raise.
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    report_internal_failure(error.what());
    raise_panic(error.what());
  } catch (...) {
    report_internal_failure(kNoMessage);
    raise_panic(kNoMessage);
  }
}

}  // namespace zorf::python
