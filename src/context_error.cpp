#include "context_error.hpp"

namespace zorf {

std::string_view ContextError::display() const noexcept {
  switch (step_) {
    case Step::ReadCache: return "Failed to read cache file";
    case Step::InitNvml: return "Failed to init nvml";
    case Step::DeviceCount: return "Failed to get nvml device count";
    case Step::NoGpus: return "No GPUs found";
    case Step::DeviceByIndex: return "Failed to get nvml device by index";
    case Step::DeviceUuid: return "Failed to get device uuid";
    case Step::WriteCache: return "Failed to write cache";
  }
  return "Failed";  // unreachable: every step is listed above
}

}  // namespace zorf
