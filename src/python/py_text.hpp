// Texts taken from Python objects for messages; these never fail.
#pragma once

#include <string>

#include "python/py_ref.hpp"

namespace zorf::python {

// The UTF-8 of a str; what cannot be encoded (lone surrogates) becomes U+FFFD.
std::string lossy_utf8(PyObject* text);

// str(object) as above. When str() itself fails, its exception is reported as
// unraisable and the text is "<unprintable T object>".
std::string str_of(PyObject* object);

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

}  // namespace zorf::python
