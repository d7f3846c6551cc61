#include "gpu/nvml_lib.hpp"

namespace zorf::gpu {
namespace {

// Each name is passed with its terminating NUL, so resolving it never copies.
template <std::size_t N>
std::expected<void*, LibraryError> resolve(const Library& library, const char (&name)[N]) {
  return library.get_impl(std::string_view(name, N));
}

}  // namespace

NvmlLib::NvmlLib(Library library)
    : nvmlInit_v2(resolve(library, "nvmlInit_v2")),
      nvmlShutdown(resolve(library, "nvmlShutdown")),
      nvmlDeviceGetCount_v2(resolve(library, "nvmlDeviceGetCount_v2")),
      nvmlDeviceGetHandleByIndex_v2(resolve(library, "nvmlDeviceGetHandleByIndex_v2")),
      nvmlDeviceGetUUID(resolve(library, "nvmlDeviceGetUUID")),
      library_(std::move(library)) {}

NvmlLib NvmlLib::from_library(Library library) { return NvmlLib(std::move(library)); }

}  // namespace zorf::gpu
