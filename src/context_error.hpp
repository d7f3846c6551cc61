// The error of the node identifier service: the step that failed, with the
// lower error that made it fail kept as its cause.
#pragma once

#include <expected>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/any_error.hpp"
#include "support/error_protocol.hpp"

namespace zorf {

// The service's steps that can fail, in the order it takes them.
enum class Step {
  ReadCache,
  InitNvml,
  DeviceCount,
  NoGpus,
  DeviceByIndex,
  DeviceUuid,
  WriteCache,
};

class ContextError {
 public:
  explicit ContextError(Step step, AnyError cause = {}) : step_(step), cause_(std::move(cause)) {}

  // The step's message alone, which is all callers ever show.
  std::string_view display() const noexcept;
  ErrorRef cause() const noexcept { return cause_.get(); }

 private:
  Step step_;
  AnyError cause_;
};

// Wraps the error of a lower layer (one error, or a variant of several) as the
// failure of `step`.
template <class T, class E>
std::expected<T, ContextError> with_context(std::expected<T, E>&& result, Step step) {
  if (!result) return std::unexpected(ContextError(step, std::move(result).error()));
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return *std::move(result);
}

}  // namespace zorf
