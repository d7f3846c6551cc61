#include "python/interpreter_binding.hpp"

#include <atomic>
#include <cstdint>

namespace zorf::python {
namespace {

// -1 until the first initialisation.
std::atomic<std::int64_t> bound_interpreter{-1};

}  // namespace

PyResult<void> bind_to_current_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return fail();
  std::int64_t expected = -1;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id)
    return std::unexpected(PyError::make(
        PyExc_ImportError,
        "zorf_lib is a single-phase extension module, and such modules do not yet support "
        "subinterpreters; see https://peps.python.org/pep-0489/ and https://peps.python.org/pep-0684/"));
  return {};
}

void forget_interpreter_binding() noexcept { bound_interpreter.store(-1); }

}  // namespace zorf::python
