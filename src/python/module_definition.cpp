#include "python/module_definition.hpp"

#include "python/call_boundary.hpp"

namespace zorf::python {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorf_lib",  // m_name
    "",          // m_doc: an empty __doc__, not None
    0,           // m_size: no per-module state
    nullptr,     // m_methods: the function is added by the module body
    nullptr,     // m_slots
    nullptr,     // m_traverse
    nullptr,     // m_clear
    nullptr,     // m_free
};

PyMethodDef get_gpu_node_id_def = {
    "get_gpu_node_id",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_gpu_node_id_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_gpu_node_id(cache_file_path=None)\n--\n\n",
};

}  // namespace

PyModuleDef& module_definition() noexcept { return module_def; }
PyMethodDef& get_gpu_node_id_definition() noexcept { return get_gpu_node_id_def; }

void reset_module_definition() noexcept {
  static const PyModuleDef_Base fresh_base = PyModuleDef_HEAD_INIT;
  module_def.m_base = fresh_base;
}

}  // namespace zorf::python
