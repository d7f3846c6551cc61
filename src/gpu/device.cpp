#include "gpu/device.hpp"

#include <cstring>
#include <string_view>

#include "gpu/nvml.hpp"
#include "support/expected.hpp"
#include "support/utf8.hpp"

namespace zorf::gpu {

std::expected<std::string, NvmlError> uuid_text(const char* buffer, std::size_t size) {
  const void* nul = std::memchr(buffer, '\0', size);
  const std::string_view text(buffer, nul ? static_cast<const char*>(nul) - buffer : size);
  if (const auto error = check_utf8(text)) return std::unexpected(NvmlError::utf8(*error));
  return std::string(text);
}

std::expected<std::string, NvmlError> Device::uuid() const {
  const auto get_uuid = ZORF_TRY(nvml_->lib().nvmlDeviceGetUUID.get());
  char buffer[kUuidBufferSize] = {};
  ZORF_TRY(nvml_try(get_uuid(handle_, buffer, kUuidBufferSize)));
  return uuid_text(buffer, sizeof buffer);
}

}  // namespace zorf::gpu
