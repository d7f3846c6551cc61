// Device: an NVML device handle, borrowed from the Nvml it came from.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "gpu/nvml_error.hpp"
#include "gpu/nvml_lib.hpp"

namespace zorf::gpu {

class Nvml;

class Device {
 public:
  // Size of the buffer handed to nvmlDeviceGetUUID.
  static constexpr std::size_t kUuidBufferSize = 96;

  Device(const Nvml& nvml, nvmlDevice_t handle) noexcept : nvml_(&nvml), handle_(handle) {}

  // The text NVML writes before the first NUL, checked to be UTF-8. When NVML
  // fills all 96 bytes without a NUL, all 96 bytes are the text.
  std::expected<std::string, NvmlError> uuid() const;

 private:
  const Nvml* nvml_;
  nvmlDevice_t handle_;
};

// The UUID text in a buffer NVML has written: the bytes before the first NUL
// (all of them when there is none), or Utf8Error.
std::expected<std::string, NvmlError> uuid_text(const char* buffer, std::size_t size);

}  // namespace zorf::gpu
