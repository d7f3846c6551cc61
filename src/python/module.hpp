// The module object, made once per runtime by PyInit_zorf_lib.
#pragma once

namespace zorf::python {

// Drops the module object without releasing it, once the runtime that made
// it has been finalised.
void forget_module() noexcept;

}  // namespace zorf::python
