#include "python/py_text.hpp"

#include "support/utf8.hpp"

namespace zorf::python {

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
