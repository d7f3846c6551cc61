// The function get_gpu_node_id as the interpreter sees it: its method
// definition and the C entry behind it, which parses the arguments, calls
// the service and turns its outcome into Python terms.
#pragma once

#include "python/py_error.hpp"

namespace zorf::python {

PyMethodDef& get_gpu_node_id_definition() noexcept;

}  // namespace zorf::python
