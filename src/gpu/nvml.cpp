#include "gpu/nvml.hpp"

#include <dlfcn.h>

#include "gpu/device.hpp"
#include "support/expected.hpp"
#include "support/internal_failure.hpp"

namespace zorf::gpu {

std::expected<Nvml, NvmlError> Nvml::init() {
  auto library = Library::open(kNvmlSoname, RTLD_LAZY | RTLD_LOCAL);
  if (!library) return std::unexpected(NvmlError::libloading(std::move(library).error()));
  // Allocated before NVML is initialised: an allocation that failed after a
  // successful init would unload the library under a live NVML.
  auto lib = std::make_unique<NvmlLib>(NvmlLib::from_library(std::move(*library)));
  // On both failures below `lib` goes out of scope and closes the library;
  // NVML was never initialised, so there is nothing to shut down.
  const auto init = ZORF_TRY(lib->nvmlInit_v2.get());
  ZORF_TRY(nvml_try(init()));
  return Nvml(std::move(lib));
}

void Nvml::end() {
  if (!lib_) return;
  auto shutdown = lib_->nvmlShutdown.get();
  if (!shutdown) {
    std::string message = "Expected function, got error.: " + lib_->nvmlShutdown.error()->debug();
    std::move(*lib_).leak_library();
    lib_.reset();
    throw InternalFailure(std::move(message));
  }
  // Shutting down cannot fail in a way anyone could act on.
  (*shutdown)();
  lib_.reset();
}

Nvml::~Nvml() {
  if (!lib_) return;
  // May run while an exception unwinds: nothing here allocates or throws.
  if (auto* shutdown = lib_->nvmlShutdown.function()) {
    shutdown();
  } else {
    std::move(*lib_).leak_library();
  }
}

std::expected<std::uint32_t, NvmlError> Nvml::device_count() const {
  const auto get_count = ZORF_TRY(lib_->nvmlDeviceGetCount_v2.get());
  unsigned int count = 0;
  ZORF_TRY(nvml_try(get_count(&count)));
  return count;
}

std::expected<Device, NvmlError> Nvml::device_by_index(std::uint32_t index) const {
  const auto get_handle = ZORF_TRY(lib_->nvmlDeviceGetHandleByIndex_v2.get());
  nvmlDevice_t handle = nullptr;
  ZORF_TRY(nvml_try(get_handle(index, &handle)));
  return Device(*this, handle);
}

}  // namespace zorf::gpu
