// The module: its definition, PyInit_zorf_lib, and everything it keeps for
// the life of an interpreter runtime.
//
// An embedding application may finalise the runtime (Py_FinalizeEx) and
// start another in the same process. That one must get a module of its own,
// not pointers into objects the old runtime has freed, nor the old runtime's
// interpreter id: so all that state lives in one RuntimeState, which a hook
// registered with Py_AtExit clears when the runtime ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <mutex>

#include "python/py_error.hpp"

namespace zorf::python {

// A cell filled at most once per runtime, for objects that live until the
// runtime ends (the module object, the PanicException class).
//
// A thread that has to wait for another thread's initialisation waits detached
// from the interpreter, so that it never holds the interpreter against the
// initialising thread (which needs it for its own interpreter calls) or
// against a stop-the-world pause. A failed initialisation leaves the cell
// empty, and the next thread in line takes its own turn.
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
    // The cell owns this reference until the runtime ends.
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

struct RuntimeState {
  // The one interpreter the module belongs to, -1 until the first
  // initialisation. Single-phase modules cannot be shared between
  // interpreters.
  std::atomic<std::int64_t> interpreter{-1};
  OnceCell module;
  OnceCell panic_exception;
  // "__name__" and "__all__", interned. Only the module body uses them, and
  // it runs under the module cell's lock.
  PyObject* name_string = nullptr;
  PyObject* all_string = nullptr;
  // Whether the hook that clears all this is registered for the running
  // runtime. Touched only under the module cell's lock, and by the hook.
  bool cleared_at_exit = false;
};

RuntimeState& runtime_state() noexcept;

}  // namespace zorf::python
