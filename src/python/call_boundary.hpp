// The C entry behind get_gpu_node_id: argument parsing, the service call, and
// the conversion of its outcome into Python terms.
#pragma once

#include "python/py_ref.hpp"

namespace zorf::python {

// METH_FASTCALL | METH_KEYWORDS.
PyObject* get_gpu_node_id_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace zorf::python
