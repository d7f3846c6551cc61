// The definitions the interpreter reads the module from: its PyModuleDef and
// the method definition of get_gpu_node_id.
#pragma once

#include "python/py_ref.hpp"

namespace zorf::python {

PyModuleDef& module_definition() noexcept;
PyMethodDef& get_gpu_node_id_definition() noexcept;

// Gives the module definition a fresh header: the old one holds the finalised
// runtime's module index.
void reset_module_definition() noexcept;

}  // namespace zorf::python
