// Nvml: one initialised NVML instance. It owns the entry table (and through it
// the library) and ends NVML before the library is closed.
#pragma once

#include <cassert>
#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include "gpu/nvml_error.hpp"
#include "gpu/nvml_lib.hpp"

namespace zorf::gpu {

class Device;

inline constexpr std::string_view kNvmlSoname = "libnvidia-ml.so.1";

class Nvml {
 public:
  // Opens kNvmlSoname through the loader's search path and runs nvmlInit_v2.
  // On a failed init the library is closed again and NVML is not shut down.
  static std::expected<Nvml, NvmlError> init();

  // A moved-from instance owns nothing and ends nothing.
  Nvml(Nvml&& other) noexcept = default;
  Nvml& operator=(Nvml&&) = delete;
  Nvml(const Nvml&) = delete;
  Nvml& operator=(const Nvml&) = delete;
  // Fallback for paths that unwind past end(): ends the instance as end() does
  // but, as a destructor must, without throwing.
  ~Nvml();

  // nvmlShutdown (its code ignored), then dlclose. A table without
  // nvmlShutdown cannot end NVML: that is an internal failure, and the library
  // is left open rather than unloaded under a live NVML.
  void end();

  std::expected<std::uint32_t, NvmlError> device_count() const;
  // The index goes to NVML unchecked; NVML's return code decides.
  std::expected<Device, NvmlError> device_by_index(std::uint32_t index) const;

  const NvmlLib& lib() const noexcept {
    assert(lib_ && "an Nvml used after it ended");
    return *lib_;
  }

 private:
  explicit Nvml(std::unique_ptr<NvmlLib> lib) noexcept : lib_(std::move(lib)) {}
  // Null once ended or moved from. On the heap so that init() can allocate it
  // before NVML is initialised, not after.
  std::unique_ptr<NvmlLib> lib_;
};

}  // namespace zorf::gpu
