// What the module keeps per interpreter runtime, forgotten when the runtime
// ends. An embedding application may finalise the runtime (Py_FinalizeEx) and
// start another in the same process; that one must get a module of its own,
// not pointers into objects the old runtime has freed, nor the old runtime's
// interpreter id.
#pragma once

#include "python/py_error.hpp"

namespace zorf::python {

// Registers, once per runtime, the clean-up that runs after finalisation.
// Called under the module cell's lock.
PyResult<void> forget_state_at_runtime_end();

}  // namespace zorf::python
