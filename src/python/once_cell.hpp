// A process-wide cell filled at most once per interpreter runtime, for state
// that lives until the runtime ends (the module object, the PanicException
// class).
//
// A thread that has to wait for another thread's initialisation waits detached
// from the interpreter, so that it never holds the interpreter against the
// initialising thread (which needs it for its own interpreter calls) or
// against a stop-the-world pause. A failed initialisation leaves the cell
// empty, and the next thread in line takes its own turn.
#pragma once

#include "python/py_ref.hpp"

#include <atomic>
#include <expected>
#include <mutex>

namespace zorf::python {

class OnceCell {
 public:
  // The stored object (borrowed: the cell keeps it alive), or null.
  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // The stored object, else the result of `init()`, stored when it is a value.
  // `init` runs attached, and only in one thread at a time; it returns a
  // std::expected<PyRef, E>.
  template <class Init>
  auto get_or_try_init(Init&& init) -> std::expected<PyObject*, typename decltype(init())::error_type> {
    if (PyObject* value = get()) return value;
    PyThreadState* thread = PyEval_SaveThread();
    std::unique_lock lock(mutex_);
    PyEval_RestoreThread(thread);
    if (PyObject* value = get()) return value;
    auto made = init();
    if (!made) return std::unexpected(std::move(made).error());
    // The cell owns this reference for the rest of the process.
    PyObject* value = made->release();
    value_.store(value, std::memory_order_release);
    return value;
  }

  // Drops the stored object without releasing it: only for when the runtime
  // that made it has been finalised, and the object with it.
  void forget() noexcept { value_.store(nullptr, std::memory_order_release); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace zorf::python
