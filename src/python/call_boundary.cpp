#include "python/call_boundary.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "node_id.hpp"
#include "python/entry_guard.hpp"
#include "support/expected.hpp"

namespace zorf::python {
namespace {

constexpr std::string_view kParameter = "cache_file_path";

PyError type_error(const std::string& message) { return PyError::make(PyExc_TypeError, message); }

// The one parameter's value, borrowed from the call, or null when not given.
PyResult<PyObject*> parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1)
    return std::unexpected(type_error("get_gpu_node_id() takes from 0 to 1 positional arguments but " +
                                      std::to_string(nargs) + " were given"));
  PyObject* value = nargs == 1 ? args[0] : nullptr;
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    // A name that cannot be encoded matches no parameter.
    if (utf8 == nullptr) PyErr_Clear();
    const bool match = utf8 != nullptr && std::string_view(utf8, static_cast<std::size_t>(size)) == kParameter;
    if (!match)
      return std::unexpected(type_error("get_gpu_node_id() got an unexpected keyword argument '" + str_of(name) + "'"));
    if (value != nullptr)
      return std::unexpected(type_error("get_gpu_node_id() got multiple values for argument 'cache_file_path'"));
    value = args[nargs + i];
  }
  return value;
}

// The path's UTF-8 text, borrowed from the str, which the caller keeps alive
// for the whole call.
PyResult<std::optional<std::string_view>> path_text(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  if (!PyType_HasFeature(Py_TYPE(value), Py_TPFLAGS_UNICODE_SUBCLASS))
    return std::unexpected(PyError::cannot_cast(value, "str"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail();
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

// A TypeError about the value gets the parameter's name in front; anything
// else (UnicodeEncodeError) stays as the interpreter raised it.
PyError name_the_argument(PyError error) {
  if (!error.is_exactly(PyExc_TypeError)) return error;
  PyError named = type_error("argument '" + std::string(kParameter) + "': " + str_of(error.exception()));
  PyException_SetCause(named.exception(), PyException_GetCause(error.exception()));
  return named;
}

PyResult<PyObject*> call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* value = ZORF_TRY(parse_arguments(args, nargs, kwnames));
  auto path = path_text(value);
  if (!path) return std::unexpected(name_the_argument(std::move(path).error()));

  // The thread stays attached: nearly every call is a cache hit of a few
  // microseconds, less than detaching and re-attaching would cost.
  auto node_id = get_gpu_node_id(*path);
  if (!node_id) return std::unexpected(PyError::make(PyExc_RuntimeError, node_id.error().display()));

  PyObject* text = PyUnicode_FromStringAndSize(node_id->data(), static_cast<Py_ssize_t>(node_id->size()));
  if (text == nullptr) {
    // Out of memory is raised as it is, as the interpreter raises it.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fail();
    fail_internally("Python API call failed");
  }
  return text;
}

}  // namespace

// METH_FASTCALL | METH_KEYWORDS. Outside the anonymous namespace, so that
// profiles (nox -s profile-hit) find it as zorf::python::get_gpu_node_id_entry.
PyObject* get_gpu_node_id_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return entry_guard([&] { return call(args, nargs, kwnames); });
}

namespace {

PyMethodDef get_gpu_node_id_def = {
    "get_gpu_node_id",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_gpu_node_id_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_gpu_node_id(cache_file_path=None)\n--\n\n",
};

}  // namespace

PyMethodDef& get_gpu_node_id_definition() noexcept { return get_gpu_node_id_def; }

}  // namespace zorf::python
