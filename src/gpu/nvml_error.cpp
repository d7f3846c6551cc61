#include "gpu/nvml_error.hpp"

#include <array>
#include <string_view>

namespace zorf::gpu {
namespace {

struct CodeKind {
  std::uint32_t code;
  NvmlErrorKind kind;
  std::string_view text;
};

constexpr std::array kCodeKinds{
    CodeKind{1, NvmlErrorKind::Uninitialized, "NVML was not first initialized with `Nvml::init()`"},
    CodeKind{2, NvmlErrorKind::InvalidArg, "a supplied argument was invalid"},
    CodeKind{3, NvmlErrorKind::NotSupported, "the requested operation is not available on the target device"},
    CodeKind{4, NvmlErrorKind::NoPermission,
             "the current user does not have permission to perform this operation"},
    CodeKind{5, NvmlErrorKind::AlreadyInitialized, "NVML was already initialized"},
    CodeKind{6, NvmlErrorKind::NotFound, "a query to find an object was unsuccessful"},
    CodeKind{7, NvmlErrorKind::InsufficientSize, "an input argument is not large enough"},
    CodeKind{8, NvmlErrorKind::InsufficientPower, "device's external power cables are not properly attached"},
    CodeKind{9, NvmlErrorKind::DriverNotLoaded, "NVIDIA driver is not loaded"},
    CodeKind{10, NvmlErrorKind::Timeout, "the provided timeout was reached"},
    CodeKind{11, NvmlErrorKind::IrqIssue, "NVIDIA kernel detected an interrupt issue with a device"},
    CodeKind{12, NvmlErrorKind::LibraryNotFound, "a shared library couldn't be found or loaded"},
    CodeKind{13, NvmlErrorKind::FunctionNotFound, "a function couldn't be found in a shared library"},
    CodeKind{14, NvmlErrorKind::CorruptedInfoROM, "the infoROM is corrupted"},
    CodeKind{15, NvmlErrorKind::GpuLost, "device fell off the bus or has otherwise become inacessible"},
    CodeKind{16, NvmlErrorKind::ResetRequired, "device requires a reset before it can be used again"},
    CodeKind{17, NvmlErrorKind::OperatingSystem, "device control has been blocked by the operating system/cgroups"},
    CodeKind{18, NvmlErrorKind::LibRmVersionMismatch, "RM detects a driver/library version mismatch"},
    CodeKind{19, NvmlErrorKind::InUse, "operation cannot be performed because the GPU is currently in use"},
    CodeKind{20, NvmlErrorKind::InsufficientMemory, "insufficient memory"},
    CodeKind{21, NvmlErrorKind::NoData, "no data"},
    CodeKind{22, NvmlErrorKind::VgpuEccNotSupported,
             "the requested vgpu operation is not available on the target device because ECC is enabled"},
    CodeKind{999, NvmlErrorKind::Unknown, "an internal driver error occured"},
};

}  // namespace

std::optional<std::uint32_t> NvmlError::unexpected_code() const noexcept {
  if (kind_ != NvmlErrorKind::UnexpectedVariant) return std::nullopt;
  return std::get<std::uint32_t>(payload_);
}

std::optional<std::uint32_t> NvmlError::required_size() const noexcept {
  if (kind_ != NvmlErrorKind::InsufficientSize) return std::nullopt;
  return std::get<std::optional<std::uint32_t>>(payload_);
}

std::string NvmlError::display() const {
  switch (kind_) {
    case NvmlErrorKind::Utf8Error:
      return "could not interpret string as utf-8";
    case NvmlErrorKind::LibloadingError:
      return "a libloading error occurred: " + std::get<LibraryError>(payload_).display();
    case NvmlErrorKind::FailedToLoadSymbol:
      return "function symbol failed to load: " + std::get<std::string>(payload_);
    case NvmlErrorKind::UnexpectedVariant:
      return "unexpected enum variant value: " + std::to_string(std::get<std::uint32_t>(payload_));
    case NvmlErrorKind::InsufficientSize: {
      std::string text = "an input argument is not large enough";
      if (const auto size = std::get<std::optional<std::uint32_t>>(payload_))
        text += ", needs to be at least " + std::to_string(*size);
      return text;
    }
    default:
      for (const CodeKind& entry : kCodeKinds)
        if (entry.kind == kind_) return std::string(entry.text);
      return "unknown NVML error";  // unreachable: every kind is listed above
  }
}

std::string cause_chain(const NvmlError& error) {
  if (const Utf8Error* utf8 = error.utf8_error()) return to_string(*utf8);
  if (const LibraryError* library = error.library_error()) {
    std::string chain = library->display();
    if (const NulError* nul = library->cause()) chain += ": " + to_string(*nul);
    return chain;
  }
  return {};
}

std::expected<void, NvmlError> nvml_try(std::uint32_t code) {
  if (code == 0) return {};
  for (const CodeKind& entry : kCodeKinds) {
    if (entry.code != code) continue;
    if (entry.kind == NvmlErrorKind::InsufficientSize) return std::unexpected(NvmlError::insufficient_size({}));
    return std::unexpected(NvmlError::of_kind(entry.kind));
  }
  return std::unexpected(NvmlError::unexpected_variant(code));
}

}  // namespace zorf::gpu
