// The error of the node identifier service: the message of the step that
// failed, with the lower error that made it fail kept as its cause.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "gpu/nvml_error.hpp"
#include "support/not_regular_file.hpp"
#include "support/os_error.hpp"
#include "support/utf8.hpp"

namespace zorf {

class ContextError {
 public:
  using Cause = std::variant<std::monostate, gpu::NvmlError, OsError, Utf8Error, NotRegularFile>;

  // `message` is one of the service's fixed texts, so a view is enough.
  explicit ContextError(std::string_view message, Cause cause = {})
      : message_(message), cause_(std::move(cause)) {}

  // The plain rendering: the message alone, which is all callers ever show.
  std::string_view message() const noexcept { return message_; }
  const Cause& cause() const noexcept { return cause_; }
  // The message and every cause below it, for diagnostics.
  std::string chain() const;

 private:
  std::string_view message_;
  Cause cause_;
};

// Messages of the service's failing steps.
namespace messages {
inline constexpr std::string_view kReadCache = "Failed to read cache file";
inline constexpr std::string_view kInitNvml = "Failed to init nvml";
inline constexpr std::string_view kDeviceCount = "Failed to get nvml device count";
inline constexpr std::string_view kNoGpus = "No GPUs found";
inline constexpr std::string_view kDeviceByIndex = "Failed to get nvml device by index";
inline constexpr std::string_view kDeviceUuid = "Failed to get device uuid";
inline constexpr std::string_view kWriteCache = "Failed to write cache";
}  // namespace messages

// Wraps the error of a lower layer in the service's message for that step.
template <class T, class E>
std::expected<T, ContextError> with_context(std::expected<T, E>&& result, std::string_view message) {
  if (!result) return std::unexpected(ContextError(message, std::move(result).error()));
  if constexpr (std::is_void_v<T>)
    return {};
  else
    return std::move(result).value();
}

}  // namespace zorf
