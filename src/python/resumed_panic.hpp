// An internal failure that was raised as PanicException, passed through
// Python code and came back: it carries on unwinding, without a second report.
#pragma once

#include <string>

#include "support/internal_failure.hpp"

namespace zorf::python {

class ResumedPanic : public InternalFailure {
 public:
  using InternalFailure::InternalFailure;
};

}  // namespace zorf::python
